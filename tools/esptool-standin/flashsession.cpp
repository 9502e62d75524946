#include "flashsession.h"

#include "platform.h"
#include "scriptedrun.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {

const char usage[] =
        "usage: esptool [-h] [--chip {auto,esp32,esp32s2,esp32s3,esp32c3,esp32c6,esp32h2}]\n"
        "               [--port PORT] [--baud BAUD]\n"
        "               {write_flash,read_flash,erase_flash,chip_id,flash_id,...} ...\n";

const std::vector<std::string> knownChips = { "auto", "esp32", "esp32s2", "esp32s3", "esp32c3", "esp32c6", "esp32h2" };

const std::string troubleshooting = "https://docs.espressif.com/projects/esptool/en/latest/troubleshooting.html";

// The stub writes 16 KiB blocks; esptool reports progress once per block.
constexpr long long blockSize = 0x4000;

std::string hex8(long long value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08llx", value);
    return text;
}

// A whole number as Python's int(text, 0) reads it, or false.
bool parseNumber(const std::string &text, long long *value)
{
    if (text.empty() || text[0] == '-' || text[0] == '+')
        return false;
    char *end = nullptr;
    errno = 0;
    *value = std::strtoll(text.c_str(), &end, 0);
    return errno == 0 && end && *end == '\0';
}

} // namespace

void FlashSession::setFast(bool fast)
{
    m_fast = fast;
}

void FlashSession::setFailure(const std::string &failure)
{
    m_failure = failure;
}

bool FlashSession::parse(const std::vector<std::string> &arguments)
{
    size_t i = 0;
    for (; i < arguments.size(); ++i) {
        const std::string &arg = arguments[i];
        if (arg.empty() || arg[0] != '-')
            break;
        if (i + 1 >= arguments.size()) {
            m_parseError = "argument " + arg + ": expected one argument";
            return false;
        }
        const std::string &value = arguments[++i];
        long long number = 0;
        if (arg == "--chip" || arg == "-c") {
            if (std::find(knownChips.begin(), knownChips.end(), value) == knownChips.end()) {
                m_parseError = "argument --chip/-c: invalid choice: '" + value + "'";
                return false;
            }
            m_chip = value;
        } else if (arg == "--port" || arg == "-p") {
            m_port = value;
        } else if (arg == "--baud" || arg == "-b") {
            if (!parseNumber(value, &number)) {
                m_parseError = "argument --baud/-b: invalid int value: '" + value + "'";
                return false;
            }
        } else {
            m_parseError = "unrecognized arguments: " + arg;
            return false;
        }
    }
    if (i >= arguments.size()) {
        m_parseError = "the following arguments are required: operation";
        return false;
    }
    if (arguments[i] != "write_flash") {
        m_parseError = "argument operation: invalid choice: '" + arguments[i] + "'";
        return false;
    }
    ++i;
    if (i >= arguments.size() || (arguments.size() - i) % 2 != 0) {
        m_parseError = "argument <address> <filename>: Must be pairs of an address and the binary filename to write there";
        return false;
    }
    for (; i < arguments.size(); i += 2) {
        Image image;
        if (!parseNumber(arguments[i], &image.offset)) {
            m_parseError = "argument <address> <filename>: Address \"" + arguments[i] + "\" must be a number";
            return false;
        }
        image.path = arguments[i + 1];
        if (!Platform::isReadableFile(image.path, &image.size)) {
            m_parseError = "argument <address> <filename>: can't open '" + image.path
                    + "': [Errno 2] No such file or directory";
            return false;
        }
        m_images.push_back(image);
    }
    return true;
}

int FlashSession::usageError(const std::string &message) const
{
    writeStderr(usage);
    writeStderr("esptool: error: " + message + '\n');
    return 2;
}

int FlashSession::fatalError(const std::string &message) const
{
    say("\nA fatal error occurred: " + message);
    return 2;
}

int FlashSession::lostLink() const
{
    say("\nLost connection, retrying...");
    // esptool tries to open the port again seven times, a second apart (the
    // demo waits less), and then reports what broke the link.
    writeStdout("Waiting for the chip to reconnect");
    for (int i = 0; i < 7; ++i) {
        pause(300);
        writeStdout(".");
    }
    say("\nA serial exception error occurred: Could not configure port: (5, 'Input/output error')");
    say("Note: This error originates from pySerial. It is likely not a problem with esptool, "
        "but with the hardware connection or drivers.");
    say("For troubleshooting steps visit: " + troubleshooting);
    return 1;
}

void FlashSession::say(const std::string &line) const
{
    writeStdout(Platform::encodeForPipe(line + '\n'));
}

void FlashSession::pause(int milliseconds) const
{
    if (!m_fast)
        Platform::sleepMilliseconds(milliseconds);
}

int FlashSession::run(const std::vector<std::string> &arguments)
{
    if (!parse(arguments))
        return usageError(m_parseError);

    say("esptool.py v4.12.0 (demo stand-in: no device is written)");
    if (m_port.empty())
        return fatalError("No serial port given; use --port");
    say("Serial port " + m_port);
    if (!Platform::isOpenablePortName(m_port))
        return fatalError(Platform::portOpenError(m_port) + "\n\nHint: Check if the port is correct and ESP connected\n");
    // Every sync that no chip answers adds a dot: a board usually answers
    // after a few, and esptool gives up after seven rounds of five.
    writeStdout("Connecting...");
    const int unansweredSyncs = m_failure == "connect" ? 35 : 3;
    for (int i = 0; i < unansweredSyncs; ++i) {
        pause(80);
        writeStdout(".");
    }
    writeStdout("\n");
    if (m_failure == "connect") {
        return fatalError("Failed to connect to ESP32-S3: No serial data received.\n"
                          "For troubleshooting steps visit: " + troubleshooting);
    }
    if (!m_chip.empty() && m_chip != "auto" && m_chip != "esp32s3") {
        std::string upper = m_chip;
        std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char c) { return char(std::toupper(c)); });
        return fatalError("This chip is ESP32-S3, not " + upper + ". Wrong --chip argument?");
    }

    say("Chip is ESP32-S3 (QFN56) (revision v0.2)");
    say("Features: WiFi, BLE, Embedded PSRAM 8MB (AP_3v3)");
    say("Crystal is 40MHz");
    say("MAC: 7c:df:a1:e0:5a:3c");
    pause(150);
    say("Uploading stub...");
    pause(200);
    say("Running stub...");
    say("Stub running...");
    pause(100);
    say("Configuring flash size...");

    long long totalBytes = 0;
    for (const Image &image : m_images)
        totalBytes += image.size;
    // About three and a half seconds of writing for the whole set, like a
    // 460800 baud link with a small firmware.
    const double millisecondsPerByte = totalBytes > 0 ? 3500.0 / double(totalBytes) : 0.0;

    for (const Image &image : m_images) {
        const long long end = image.offset + std::max(image.size, 1LL) - 1;
        say("Flash will be erased from " + hex8(image.offset) + " to " + hex8(end | 0xfff) + "...");
    }

    char line[160];
    for (size_t index = 0; index < m_images.size(); ++index) {
        const Image &image = m_images[index];
        const long long compressed = std::max(image.size * 6 / 10, image.size > 0 ? 1LL : 0LL);
        say("Compressed " + std::to_string(image.size) + " bytes to " + std::to_string(compressed) + "...");
        const long long blocks = std::max((compressed + blockSize - 1) / blockSize, 1LL);
        const bool dropLink = m_failure == "write" && index == m_images.size() - 1;
        for (long long block = 0; block < blocks; ++block) {
            const long long percent = 100 * (block + 1) / blocks;
            const long long at = image.offset + block * blockSize * image.size / std::max(compressed, 1LL);
            say("Writing at " + hex8(at) + "... (" + std::to_string(percent) + " %)");
            pause(int(millisecondsPerByte * double(image.size) / double(blocks)));
            if (dropLink && percent >= 50)
                return lostLink();
        }
        const double seconds = std::max(0.1, millisecondsPerByte * double(image.size) / 1000.0);
        std::snprintf(line, sizeof line, "Wrote %lld bytes (%lld compressed) at %s in %.1f seconds (effective %.1f kbit/s)...",
                      image.size, compressed, hex8(image.offset).c_str(), seconds,
                      double(image.size) * 8.0 / 1000.0 / seconds);
        say(line);
        say("Hash of data verified.");
    }

    say("");
    say("Leaving...");
    say("Hard resetting via RTS pin...");
    return 0;
}
