#include "standin.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>

namespace Standin {

void resetEnvironment()
{
    for (const char *name : { "STANDIN_SCRIPT", "STANDIN_ARGS_FILE", "STANDIN_PID_FILE", "STANDIN_FAIL",
                              "STANDIN_FLOOD" })
        qunsetenv(name);
    qputenv("STANDIN_FAST", "1");
}

bool useScript(const QString &dir, const QJsonArray &steps)
{
    const QString path = QDir(dir).filePath(QStringLiteral("script.json"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    file.write(QJsonDocument(steps).toJson());
    qputenv("STANDIN_SCRIPT", path.toUtf8());
    return true;
}

} // namespace Standin
