#ifndef TOOLPROCESS_H
#define TOOLPROCESS_H

#include <QProcess>

// The process that runs the flashing tool. The released esptool.exe is a
// one-file bundle: a launcher that unpacks the real tool and runs it as its
// child. Ending the launcher alone would leave that child writing to the
// board and holding the port, so the tool is started such that it and
// everything it starts can be ended as one. That happens when this object
// is destroyed while the tool runs, and when the tool ends: whatever it
// left running is ended before finished reaches anyone else, and on Linux
// so is whatever of the tool's tree left the tool's process group and fell
// to this program. The tool's standard input is empty.
class ToolProcess : public QProcess
{
public:
    explicit ToolProcess(QObject *parent = nullptr);
    ~ToolProcess() override;

    // The port as the tool must be given it. Qt lists ports by name; on
    // Windows that name is what esptool opens, elsewhere esptool opens a
    // path, so a bare name becomes its device path under /dev. Paths and
    // URLs (socket://, rfc2217://) stay as they are.
    static QString portArgument(const QString &port);

private:
    void endProcessTree();
    void endLeftovers();
    void endAdopted();

    // Unix: the tool's process group, known still after the tool is reaped.
    qint64 m_processGroup = 0;
    // Windows: the job object that holds the running tool and its children,
    // if the tool could be put in one.
    Qt::HANDLE m_job = nullptr;
};

#endif // TOOLPROCESS_H
