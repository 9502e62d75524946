#ifndef RUNNINGPROGRAM_H
#define RUNNINGPROGRAM_H

#include "xvfbdisplay.h"

#include <QImage>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>

#include <utility>

// How many colours a picture has, counted on every other pixel: a blank or
// half-drawn window has few.
int colourCount(const QImage &image);

// Whatever QML reports (a reference to something the program did not
// publish, a type error, a binding loop) names a QML file and a line.
QString qmlDiagnostics(const QString &errors);

// The program is started as a user starts it: only the display is the test's.
QProcessEnvironment userEnvironment();

// A program running in its own X server, as a user sees it.
class RunningProgram
{
public:
    RunningProgram() = default;
    ~RunningProgram();
    Q_DISABLE_COPY_MOVE(RunningProgram)

    // With a signal given, the program starts with that signal ignored, as
    // nohup starts a program with SIGHUP ignored.
    bool start(const QString &program, const QStringList &arguments, const QProcessEnvironment &environment,
               int ignoredSignal = 0);

    void sendSignal(int signal) const;
    // Whether the program has taken the signal: it is no longer pending.
    bool hasTaken(int signal) const;
    bool waitForEnd();

    const QProcess &process() const { return m_process; }
    QString errorString() const { return m_error; }
    const XvfbDisplay &display() const { return m_display; }
    XvfbDisplay &display() { return m_display; }
    Window window() const { return m_window; }

    // A picture once two in a row show the same drawn window (the first
    // frames take a while, in a sanitizer build and under Wine), or the
    // last one after a minute.
    QImage settledPicture() const;

    // Closes the window as a window manager does; the program's exit code
    // and its stderr, or -1 if it did not end.
    std::pair<int, QString> close();

private:
    XvfbDisplay m_display;
    QProcess m_process;
    Window m_window = 0;
    QString m_error;
};

#endif // RUNNINGPROGRAM_H
