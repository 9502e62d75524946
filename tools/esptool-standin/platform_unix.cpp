#include "platform.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <thread>

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace Platform {

std::vector<std::string> arguments(int argc, char *argv[])
{
    return std::vector<std::string>(argv + 1, argv + argc);
}

std::string environment(const char *name)
{
    const char *value = std::getenv(name);
    return value ? value : "";
}

void useBinaryOutput()
{
}

std::string encodeForPipe(const std::string &utf8)
{
    return utf8;
}

std::FILE *openFile(const std::string &path, const char *mode)
{
    return std::fopen(path.c_str(), mode);
}

bool isReadableFile(const std::string &path, long long *size)
{
    struct stat info {};
    if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || access(path.c_str(), R_OK) != 0)
        return false;
    *size = info.st_size;
    return true;
}

long processId()
{
    return long(getpid());
}

void sleepMilliseconds(int milliseconds)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void crash()
{
    std::abort();
}

namespace {

// Starts this program again with these arguments (null-terminated) and the
// standard streams and environment of this one; its id, or 0.
pid_t startSelf(char *argv[])
{
    char self[4096];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0)
        return 0;
    self[length] = '\0';
    pid_t child = 0;
    return posix_spawn(&child, self, nullptr, nullptr, argv, environ) == 0 ? child : 0;
}

} // namespace

int runCopyOfSelf(int argc, char *argv[], const char *launcherVariable)
{
    unsetenv(launcherVariable);
    std::vector<char *> childArgv(argv, argv + argc);
    childArgv.push_back(nullptr);
    const pid_t child = startSelf(childArgv.data());
    if (child == 0)
        return 3;
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
    }
    if (WIFSIGNALED(status)) {
        // Die the same way, as a launcher that only relays would.
        std::signal(WTERMSIG(status), SIG_DFL);
        std::raise(WTERMSIG(status));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 3;
}

long startCopyOfSelf(const char *markVariable)
{
    setenv(markVariable, "1", 1);
    char name[] = "esptool";
    char *childArgv[] = { name, nullptr };
    const pid_t child = startSelf(childArgv);
    unsetenv(markVariable);
    return long(child);
}

bool isOpenablePortName(const std::string &port)
{
    // pySerial opens the name as a file: a bare "ttyUSB0" is a file in the
    // working directory. URLs (socket://, rfc2217://) go to their handlers.
    return port.rfind('/', 0) == 0 || port.find("://") != std::string::npos;
}

std::string portOpenError(const std::string &port)
{
    return "Could not open " + port + ", the port is busy or doesn't exist.\n([Errno 2] could not open port "
            + port + ": [Errno 2] No such file or directory: '" + port + "')";
}

} // namespace Platform
