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
    std::FILE *file = Platform::openFile(scriptPath, "rb");
    if (!file) {
        writeStderr("esptool stand-in: cannot read script " + scriptPath + '\n');
        return 3;
    }
    std::string script;
    char buffer[4096];
    for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
        script.append(buffer, got);
    std::fclose(file);

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
        else if (step == "input") {
            while (std::fread(buffer, 1, sizeof buffer, stdin) > 0) {
            }
        } else if (step == "leavechild") {
            // Recorded here, before this process can end: a child recording
            // itself might come too late for whoever looks.
            recordProcessId(Platform::startCopyOfSelf(leftBehindVariable));
        }
    }
    return 0;
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
    const std::string path = Platform::environment("STANDIN_PID_FILE");
    std::FILE *file = path.empty() || processId <= 0 ? nullptr : Platform::openFile(path, "ab");
    if (!file)
        return;
    std::fprintf(file, "%ld\n", processId);
    std::fclose(file);
}

int replayFile(const std::string &path)
{
    std::FILE *file = Platform::openFile(path, "rb");
    if (!file) {
        writeStderr("esptool stand-in: cannot read " + path + '\n');
        return 3;
    }
    // Pipe-sized chunks, as a block-buffered tool writes to a pipe.
    char buffer[4096];
    for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
        writeStdout(std::string(buffer, got));
    std::fclose(file);
    return 0;
}
