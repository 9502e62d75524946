#include "flashsession.h"

#include "scriptedrun.h"

#include <QFileInfo>
#include <QThread>

namespace {

const char usage[] =
        "usage: esptool [-h] [--chip {auto,esp32,esp32s2,esp32s3,esp32c3,esp32c6,esp32h2}]\n"
        "               [--port PORT] [--baud BAUD]\n"
        "               {write_flash,read_flash,erase_flash,chip_id,flash_id,...} ...\n";

const QStringList knownChips = { QStringLiteral("auto"), QStringLiteral("esp32"),
                                 QStringLiteral("esp32s2"), QStringLiteral("esp32s3"),
                                 QStringLiteral("esp32c3"), QStringLiteral("esp32c6"),
                                 QStringLiteral("esp32h2") };

// The stub writes 16 KiB blocks; esptool reports progress once per block.
constexpr qint64 blockSize = 0x4000;

QString hex8(qint64 value)
{
    return QStringLiteral("0x%1").arg(value, 8, 16, QLatin1Char('0'));
}

} // namespace

void FlashSession::setFast(bool fast)
{
    m_fast = fast;
}

void FlashSession::setFailure(const QString &failure)
{
    m_failure = failure;
}

bool FlashSession::parse(const QStringList &arguments)
{
    int i = 0;
    for (; i < arguments.size(); ++i) {
        const QString &arg = arguments.at(i);
        if (!arg.startsWith(QLatin1Char('-')))
            break;
        if (i + 1 >= arguments.size()) {
            m_parseError = QStringLiteral("argument %1: expected one argument").arg(arg);
            return false;
        }
        const QString value = arguments.at(++i);
        if (arg == QLatin1String("--chip") || arg == QLatin1String("-c")) {
            if (!knownChips.contains(value)) {
                m_parseError = QStringLiteral("argument --chip/-c: invalid choice: '%1'").arg(value);
                return false;
            }
            m_chip = value;
        } else if (arg == QLatin1String("--port") || arg == QLatin1String("-p")) {
            m_port = value;
        } else if (arg == QLatin1String("--baud") || arg == QLatin1String("-b")) {
            bool ok = false;
            value.toInt(&ok);
            if (!ok) {
                m_parseError = QStringLiteral("argument --baud/-b: invalid int value: '%1'").arg(value);
                return false;
            }
        } else {
            m_parseError = QStringLiteral("unrecognized arguments: %1").arg(arg);
            return false;
        }
    }
    if (i >= arguments.size()) {
        m_parseError = QStringLiteral("the following arguments are required: operation");
        return false;
    }
    if (arguments.at(i) != QLatin1String("write_flash")) {
        m_parseError = QStringLiteral("argument operation: invalid choice: '%1'").arg(arguments.at(i));
        return false;
    }
    ++i;
    if (i >= arguments.size() || (arguments.size() - i) % 2 != 0) {
        m_parseError = QStringLiteral("argument <address> <filename>: Must be pairs of an address and the binary filename to write there");
        return false;
    }
    for (; i < arguments.size(); i += 2) {
        const QString &offsetText = arguments.at(i);
        bool ok = false;
        const qint64 offset = offsetText.toLongLong(&ok, 0);
        if (!ok || offset < 0) {
            m_parseError = QStringLiteral("argument <address> <filename>: Address \"%1\" must be a number").arg(offsetText);
            return false;
        }
        const QFileInfo file(arguments.at(i + 1));
        if (!file.isFile() || !file.isReadable()) {
            m_parseError = QStringLiteral("argument <address> <filename>: can't open '%1': [Errno 2] No such file or directory").arg(arguments.at(i + 1));
            return false;
        }
        m_images.append({ offset, file.filePath(), file.size() });
    }
    return true;
}

int FlashSession::usageError(const QString &message) const
{
    writeStderr(usage);
    writeStderr("esptool: error: " + message.toUtf8() + '\n');
    return 2;
}

int FlashSession::fatalError(const QString &message) const
{
    writeStderr("\nA fatal error occurred: " + message.toUtf8() + '\n');
    return 2;
}

void FlashSession::say(const QString &line) const
{
    writeStdout(line.toUtf8() + '\n');
}

void FlashSession::pause(int milliseconds) const
{
    if (!m_fast)
        QThread::msleep(ulong(milliseconds));
}

int FlashSession::run(const QStringList &arguments)
{
    if (!parse(arguments))
        return usageError(m_parseError);

    say(QStringLiteral("esptool.py v4.7.0 (demo stand-in: no device is written)"));
    if (m_port.isEmpty())
        return fatalError(QStringLiteral("No serial port given; use --port"));
    say(QStringLiteral("Serial port %1").arg(m_port));
    writeStdout("Connecting");
    for (int i = 0; i < 6; ++i) {
        pause(80);
        writeStdout(".");
    }
    writeStdout("\n");
    if (m_failure == QLatin1String("connect")) {
        pause(300);
        return fatalError(QStringLiteral("Failed to connect to ESP32-S3: No serial data received.\n"
                                         "For troubleshooting steps visit: "
                                         "https://docs.espressif.com/projects/esptool/en/latest/troubleshooting.html"));
    }
    if (!m_chip.isEmpty() && m_chip != QLatin1String("auto") && m_chip != QLatin1String("esp32s3"))
        return fatalError(QStringLiteral("This chip is ESP32-S3, not %1. Wrong --chip argument?")
                                  .arg(m_chip.toUpper()));

    say(QStringLiteral("Chip is ESP32-S3 (QFN56) (revision v0.2)"));
    say(QStringLiteral("Features: WiFi, BLE, Embedded PSRAM 8MB (AP_3v3)"));
    say(QStringLiteral("Crystal is 40MHz"));
    say(QStringLiteral("MAC: 7c:df:a1:e0:5a:3c"));
    pause(150);
    say(QStringLiteral("Uploading stub..."));
    pause(200);
    say(QStringLiteral("Running stub..."));
    say(QStringLiteral("Stub running..."));
    pause(100);
    say(QStringLiteral("Configuring flash size..."));

    qint64 totalBytes = 0;
    for (const Image &image : m_images)
        totalBytes += image.size;
    // About three and a half seconds of writing for the whole set, like a
    // 460800 baud link with a small firmware.
    const double millisecondsPerByte = totalBytes > 0 ? 3500.0 / double(totalBytes) : 0.0;

    for (const Image &image : m_images) {
        const qint64 end = image.offset + qMax<qint64>(image.size, 1) - 1;
        say(QStringLiteral("Flash will be erased from %1 to %2...")
                    .arg(hex8(image.offset), hex8(end | 0xfff)));
    }

    for (int index = 0; index < m_images.size(); ++index) {
        const Image &image = m_images.at(index);
        const qint64 compressed = qMax<qint64>(image.size * 6 / 10, image.size > 0 ? 1 : 0);
        say(QStringLiteral("Compressed %1 bytes to %2...").arg(image.size).arg(compressed));
        const qint64 blocks = qMax<qint64>((compressed + blockSize - 1) / blockSize, 1);
        const bool dropLink = m_failure == QLatin1String("write") && index == m_images.size() - 1;
        for (qint64 block = 0; block < blocks; ++block) {
            const qint64 percent = 100 * (block + 1) / blocks;
            say(QStringLiteral("Writing at %1... (%2 %)")
                        .arg(hex8(image.offset + block * blockSize * image.size / qMax<qint64>(compressed, 1)))
                        .arg(percent));
            pause(int(millisecondsPerByte * double(image.size) / double(blocks)));
            if (dropLink && percent >= 40) {
                writeStderr("\nA serial exception error occurred: Could not configure port: "
                            "(5, 'Input/output error')\n"
                            "Note: This error originates from pySerial. It is likely not a problem "
                            "with esptool, but with the hardware connection or drivers.\n");
                return 1;
            }
        }
        const double seconds = qMax(0.1, millisecondsPerByte * double(image.size) / 1000.0);
        say(QStringLiteral("Wrote %1 bytes (%2 compressed) at %3 in %4 seconds (effective %5 kbit/s)...")
                    .arg(image.size)
                    .arg(compressed)
                    .arg(hex8(image.offset))
                    .arg(seconds, 0, 'f', 1)
                    .arg(double(image.size) * 8.0 / 1000.0 / seconds, 0, 'f', 1));
        say(QStringLiteral("Hash of data verified."));
    }

    say(QString());
    say(QStringLiteral("Leaving..."));
    say(QStringLiteral("Hard resetting via RTS pin..."));
    return 0;
}
