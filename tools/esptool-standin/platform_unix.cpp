#include "platform.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <thread>

#ifdef __linux__
#include <sys/prctl.h>
#endif

#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/ioctl.h>
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

long startCopyOfSelf(const char *markVariable, const char *value)
{
    setenv(markVariable, value, 1);
    char name[] = "esptool";
    char *childArgv[] = { name, nullptr };
    const pid_t child = startSelf(childArgv);
    unsetenv(markVariable);
    return long(child);
}

void leaveSession()
{
    setsid();
}

namespace {

// Opened and filled in before the handler can run, so that the handler
// does no more than one write: the sooner it is done, the surer it is done
// before whatever ends this process too.
int orphanNoteFile = -1;
char orphanNote[32];

void onOrphaned(int)
{
    [[maybe_unused]] const ssize_t written = write(orphanNoteFile, orphanNote, std::strlen(orphanNote));
}

} // namespace

void noteWhenOrphaned(const std::string &path)
{
#ifdef __linux__
    orphanNoteFile = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (orphanNoteFile < 0)
        return;
    std::snprintf(orphanNote, sizeof orphanNote, "%ld\n", long(getpid()));
    struct sigaction action = {};
    action.sa_handler = onOrphaned;
    sigemptyset(&action.sa_mask);
    sigaction(SIGUSR1, &action, nullptr);
    prctl(PR_SET_PDEATHSIG, SIGUSR1);
#else
    (void)path;
#endif
}

std::string inheritedFiles()
{
    std::string files;
    DIR *directory = opendir("/proc/self/fd");
    if (!directory)
        return files;
    while (const dirent *entry = readdir(directory)) {
        const int descriptor = std::atoi(entry->d_name);
        if (descriptor <= STDERR_FILENO || descriptor == dirfd(directory))
            continue;
        char target[4096];
        const std::string link = std::string("/proc/self/fd/") + entry->d_name;
        const ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
        target[length > 0 ? length : 0] = '\0';
        files += std::string(entry->d_name) + ' ' + target + '\n';
    }
    closedir(directory);
    return files;
}

void waitUntilOutputIsRead()
{
    // A pipe tells either end how much in it is still unread.
    for (const int channel : { STDOUT_FILENO, STDERR_FILENO }) {
        int unread = 0;
        while (ioctl(channel, FIONREAD, &unread) == 0 && unread > 0)
            sleepMilliseconds(1);
    }
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
