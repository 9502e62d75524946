#include "scriptedrun.h"

#include "platform.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace {

std::string fromHex(const std::string &hex)
{
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes += char(std::strtol(hex.substr(i, 2).c_str(), nullptr, 16));
    return bytes;
}

// The whole file, or false with a word on stderr.
bool readFile(const std::string &path, std::string *content)
{
    std::FILE *file = Platform::openFile(path, "rb");
    if (!file) {
        writeStderr("esptool stand-in: cannot read " + path + '\n');
        return false;
    }
    char buffer[4096];
    for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
        content->append(buffer, got);
    std::fclose(file);
    return true;
}

bool fileExists(const std::string &path)
{
    std::FILE *file = Platform::openFile(path, "rb");
    if (file)
        std::fclose(file);
    return file != nullptr;
}

// Bounded, like a hang, so that a test that dies first leaves nothing
// waiting for long.
constexpr int patience = 300000;

void waitForFile(const std::string &path)
{
    for (int waited = 0; !fileExists(path) && waited < patience; waited += 10)
        Platform::sleepMilliseconds(10);
}

bool isRecorded(long processId)
{
    std::string ids;
    const std::string path = Platform::environment("STANDIN_PID_FILE");
    std::FILE *file = Platform::openFile(path, "rb");
    if (!file)
        return false;
    char buffer[4096];
    for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
        ids.append(buffer, got);
    std::fclose(file);
    return ("\n" + ids).find("\n" + std::to_string(processId) + "\n") != std::string::npos;
}

// A child left behind records its own id once it runs; whoever looks for
// it must find it running, so this process goes on only after that.
void leaveChild(const char *kind)
{
    const long child = Platform::startCopyOfSelf(leftBehindVariable, kind);
    if (child == 0 || Platform::environment("STANDIN_PID_FILE").empty())
        return;
    for (int waited = 0; !isRecorded(child) && waited < patience; waited += 10)
        Platform::sleepMilliseconds(10);
}

} // namespace

void writeStdout(const std::string &bytes)
{
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    std::fflush(stdout);
}

void writeStderr(const std::string &bytes)
{
    std::fwrite(bytes.data(), 1, bytes.size(), stderr);
    std::fflush(stderr);
}

int runScript(const std::string &scriptPath)
{
    std::string script;
    if (!readFile(scriptPath, &script))
        return 3;

    std::istringstream lines(script);
    for (std::string line; std::getline(lines, line);) {
        const size_t space = line.find(' ');
        const std::string step = line.substr(0, space);
        const std::string argument = space == std::string::npos ? std::string() : line.substr(space + 1);
        if (step == "out")
            writeStdout(Platform::encodeForPipe(fromHex(argument)));
        else if (step == "err")
            writeStderr(Platform::encodeForPipe(fromHex(argument)));
        else if (step == "outbytes")
            writeStdout(fromHex(argument));
        else if (step == "errbytes")
            writeStderr(fromHex(argument));
        else if (step == "env")
            writeStdout(argument + '=' + Platform::environment(argument.c_str()) + '\n');
        else if (step == "sleep")
            Platform::sleepMilliseconds(std::atoi(argument.c_str()));
        else if (step == "exit")
            return std::atoi(argument.c_str());
        else if (step == "crash")
            Platform::crash();
        else if (step == "hang")
            return runLeftBehind();
        else if (step == "waitfile")
            waitForFile(fromHex(argument));
        else if (step == "drained")
            Platform::waitUntilOutputIsRead();
        else if (step == "noteorphaned")
            Platform::noteWhenOrphaned(fromHex(argument));
        else if (step == "openfiles") {
            // Complete or not there at all, for whoever waits for it.
            const std::string path = fromHex(argument);
            const std::string files = Platform::inheritedFiles();
            std::FILE *file = Platform::openFile(path + ".part", "wb");
            if (file) {
                std::fwrite(files.data(), 1, files.size(), file);
                std::fclose(file);
                std::rename((path + ".part").c_str(), path.c_str());
            }
        }
        else if (step == "input") {
            char buffer[4096];
            while (std::fread(buffer, 1, sizeof buffer, stdin) > 0) {
            }
        } else if (step == "leavechild") {
            leaveChild(leftInGroup);
        } else if (step == "leavesession") {
            leaveChild(leftInOwnSession);
        }
    }
    return 0;
}

int runLeftBehind(const std::string &kind)
{
    if (kind == leftInOwnSession)
        Platform::leaveSession();
    recordProcessId(Platform::processId());
    return runLeftBehind();
}

int runLeftBehind()
{
    // Bounded, so that a test that dies before it can end the tool leaves
    // nothing behind for long.
    Platform::sleepMilliseconds(300000);
    return 3;
}

void recordProcessId(long processId)
{
    if (processId > 0)
        reportTo("STANDIN_PID_FILE", std::to_string(processId) + '\n', "ab");
}

void reportTo(const char *variable, const std::string &content, const char *mode)
{
    const std::string path = Platform::environment(variable);
    std::FILE *file = path.empty() ? nullptr : Platform::openFile(path, mode);
    if (!file)
        return;
    std::fwrite(content.data(), 1, content.size(), file);
    std::fclose(file);
}

int replayFile(const std::string &path)
{
    std::string bytes;
    if (!readFile(path, &bytes))
        return 3;
    // Pipe-sized chunks, as a block-buffered tool writes to a pipe.
    constexpr size_t chunkSize = 4096;
    for (size_t at = 0; at < bytes.size(); at += chunkSize)
        writeStdout(bytes.substr(at, chunkSize));
    return 0;
}
