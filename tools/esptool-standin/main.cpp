// esptool stand-in.
//
// Environment (it inherits the flasher's, so tests steer it from outside):
//   STANDIN_ARGS_FILE  write the argument list there as a JSON array first
//   STANDIN_PID_FILE   write the process id there first
//   STANDIN_SCRIPT     a JSON file with steps to play instead of a session
//                      (see scriptedrun.h)
//   STANDIN_FAST       "1": a session without pauses
//   STANDIN_FAIL       a session that fails: "connect" (no chip answers) or
//                      "write" (the link drops while writing firmware.bin)
//   STANDIN_FLOOD      N: instead of a session, write N progress lines as
//                      fast as it can, in pipe-sized chunks
// Without STANDIN_SCRIPT it plays a realistic esptool session and checks the
// command line the way the real tool does.

#include "flashsession.h"
#include "scriptedrun.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>

// Writes the content to the file the environment variable names, if any.
static void reportTo(const char *variable, const QByteArray &content)
{
    QFile file(qEnvironmentVariable(variable));
    if (!file.fileName().isEmpty() && file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(content);
}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList arguments = QCoreApplication::arguments();
    arguments.removeFirst();

    reportTo("STANDIN_ARGS_FILE", QJsonDocument(QJsonArray::fromStringList(arguments)).toJson());
    reportTo("STANDIN_PID_FILE", QByteArray::number(QCoreApplication::applicationPid()));

    const QString script = qEnvironmentVariable("STANDIN_SCRIPT");
    if (!script.isEmpty())
        return runScript(script);

    const int floodLines = qEnvironmentVariableIntValue("STANDIN_FLOOD");
    if (floodLines > 0)
        return runFlood(floodLines);

    FlashSession session;
    session.setFast(qEnvironmentVariable("STANDIN_FAST") == QLatin1String("1"));
    session.setFailure(qEnvironmentVariable("STANDIN_FAIL"));
    return session.run(arguments);
}
