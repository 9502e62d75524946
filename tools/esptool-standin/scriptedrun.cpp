#include "scriptedrun.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>

#include <cstdio>
#include <cstdlib>

void writeStdout(const QByteArray &bytes)
{
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

void writeStderr(const QByteArray &bytes)
{
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fflush(stderr);
}

int runScript(const QString &scriptPath)
{
    QFile file(scriptPath);
    if (!file.open(QIODevice::ReadOnly)) {
        writeStderr("esptool stand-in: cannot read script " + scriptPath.toUtf8() + '\n');
        return 3;
    }
    const QJsonArray steps = QJsonDocument::fromJson(file.readAll()).array();
    for (const QJsonValue &value : steps) {
        const QJsonObject step = value.toObject();
        if (step.contains(QLatin1String("out")))
            writeStdout(step.value(QLatin1String("out")).toString().toUtf8());
        else if (step.contains(QLatin1String("err")))
            writeStderr(step.value(QLatin1String("err")).toString().toUtf8());
        else if (step.contains(QLatin1String("outHex")))
            writeStdout(QByteArray::fromHex(step.value(QLatin1String("outHex")).toString().toLatin1()));
        else if (step.contains(QLatin1String("errHex")))
            writeStderr(QByteArray::fromHex(step.value(QLatin1String("errHex")).toString().toLatin1()));
        else if (step.contains(QLatin1String("sleep")))
            QThread::msleep(ulong(step.value(QLatin1String("sleep")).toInt()));
        else if (step.contains(QLatin1String("exit")))
            return step.value(QLatin1String("exit")).toInt();
        else if (step.contains(QLatin1String("crash")))
            std::abort();
        else if (step.contains(QLatin1String("hang")))
            for (;;)
                QThread::sleep(1);
    }
    return 0;
}

int runFlood(int lineCount)
{
    constexpr int chunkSize = 4096;
    QByteArray chunk;
    chunk.reserve(chunkSize + 128);
    for (int line = 0; line < lineCount; ++line) {
        const int percent = int((qint64(line) + 1) * 100 / lineCount);
        const QByteArray text = "Writing at 0x"
                + QByteArray::number(0x10000 + line * 0x400, 16).rightJustified(8, '0')
                + "... (" + QByteArray::number(percent) + " %)";
        chunk += text.leftJustified(59, ' ') + '\n';
        if (chunk.size() >= chunkSize) {
            writeStdout(chunk);
            chunk.clear();
        }
    }
    writeStdout(chunk);
    return 0;
}
