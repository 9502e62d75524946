// esptool stand-in: plays esptool for the tests, the demo and the
// benchmarks. Like the real esptool.exe it runs on its own from firmware/
// (plain C++, no Qt), and prints nothing that esptool would not print.
//
// Environment (it inherits the flasher's, so tests steer it from outside):
//   STANDIN_ARGS_FILE  write the argument list there as a JSON array first
//   STANDIN_PID_FILE   add the process id there, one line per process
//   STANDIN_LAUNCHER   "1": behave like a one-file bundle's launcher: run a
//                      copy of this program as a child and wait for it
//   STANDIN_SCRIPT     a file with steps to play instead of a session
//                      (see scriptedrun.h)
//   STANDIN_FAST       "1": a session without pauses
//   STANDIN_FAIL       a session that fails: "connect" (no chip answers) or
//                      "write" (the link drops while writing firmware.bin)
//   STANDIN_REPLAY     a file whose bytes to write as fast as it can,
//                      instead of a session
// Without STANDIN_SCRIPT it plays a realistic esptool session and checks the
// command line the way the real tool does.

#include "flashsession.h"
#include "platform.h"
#include "scriptedrun.h"

#include <cstdio>
#include <cstdlib>

namespace {

std::string jsonString(const std::string &text)
{
    std::string json = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            json += '\\';
            json += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            json += escaped;
        } else {
            json += c;
        }
    }
    return json + '"';
}

} // namespace

int main(int argc, char *argv[])
{
    const std::string leftBehind = Platform::environment(leftBehindVariable);
    if (!leftBehind.empty())
        return runLeftBehind(leftBehind);
    Platform::useBinaryOutput();
    const std::vector<std::string> arguments = Platform::arguments(argc, argv);

    std::string list = "[";
    for (const std::string &argument : arguments)
        list += (list.size() > 1 ? ", " : "") + jsonString(argument);
    reportTo("STANDIN_ARGS_FILE", list + "]\n", "wb");
    recordProcessId(Platform::processId());

    if (Platform::environment("STANDIN_LAUNCHER") == "1")
        return Platform::runCopyOfSelf(argc, argv, "STANDIN_LAUNCHER");

    const std::string script = Platform::environment("STANDIN_SCRIPT");
    if (!script.empty())
        return runScript(script);

    const std::string replay = Platform::environment("STANDIN_REPLAY");
    if (!replay.empty())
        return replayFile(replay);

    FlashSession session;
    session.setFast(Platform::environment("STANDIN_FAST") == "1");
    session.setFailure(Platform::environment("STANDIN_FAIL"));
    return session.run(arguments);
}
