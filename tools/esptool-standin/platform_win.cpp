#include "platform.h"

#include <cctype>
#include <cstdlib>

#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <shellapi.h>

namespace {

std::wstring toWide(const std::string &utf8)
{
    const int length = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), nullptr, 0);
    std::wstring wide(size_t(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), wide.data(), length);
    return wide;
}

std::string fromWide(const wchar_t *wide, int length, UINT codePage = CP_UTF8)
{
    const int size = WideCharToMultiByte(codePage, 0, wide, length, nullptr, 0, nullptr, nullptr);
    std::string bytes(size_t(size), '\0');
    WideCharToMultiByte(codePage, 0, wide, length, bytes.data(), size, nullptr, nullptr);
    return bytes;
}

std::string lowered(std::string text)
{
    for (char &c : text)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// Starts this program again with the same command line and the standard
// streams and environment of this one.
bool startSelf(PROCESS_INFORMATION *child)
{
    wchar_t self[MAX_PATH * 4];
    if (!GetModuleFileNameW(nullptr, self, DWORD(std::size(self))))
        return false;
    std::wstring commandLine = GetCommandLineW();
    STARTUPINFOW startup {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    return CreateProcessW(self, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, child);
}

} // namespace

namespace Platform {

std::vector<std::string> arguments(int, char *[])
{
    // argv is in the ANSI code page; the wide command line has every character.
    int count = 0;
    wchar_t **wide = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::string> result;
    for (int i = 1; i < count; ++i)
        result.push_back(fromWide(wide[i], int(wcslen(wide[i]))));
    LocalFree(wide);
    return result;
}

std::string environment(const char *name)
{
    const wchar_t *value = _wgetenv(toWide(name).c_str());
    return value ? fromWide(value, int(wcslen(value))) : std::string();
}

void useBinaryOutput()
{
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
}

std::string encodeForPipe(const std::string &utf8)
{
    const std::string encoding = lowered(environment("PYTHONIOENCODING"));
    if (encoding.rfind("utf-8", 0) == 0 || encoding.rfind("utf8", 0) == 0 || environment("PYTHONUTF8") == "1")
        return utf8;
    const std::wstring wide = toWide(utf8);
    return fromWide(wide.data(), int(wide.size()), CP_ACP);
}

std::FILE *openFile(const std::string &path, const char *mode)
{
    return _wfopen(toWide(path).c_str(), toWide(mode).c_str());
}

bool isReadableFile(const std::string &path, long long *size)
{
    WIN32_FILE_ATTRIBUTE_DATA data {};
    if (!GetFileAttributesExW(toWide(path).c_str(), GetFileExInfoStandard, &data)
        || (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return false;
    std::FILE *file = openFile(path, "rb");
    if (!file)
        return false;
    std::fclose(file);
    *size = (static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return true;
}

long processId()
{
    return long(GetCurrentProcessId());
}

void sleepMilliseconds(int milliseconds)
{
    Sleep(DWORD(milliseconds));
}

void crash()
{
    // Ends the way a crashed process looks to its parent, without the error
    // reporting or the debugger that a real crash would start.
    TerminateProcess(GetCurrentProcess(), DWORD(EXCEPTION_ACCESS_VIOLATION));
    std::abort();
}

int runCopyOfSelf(int, char *[], const char *launcherVariable)
{
    SetEnvironmentVariableW(toWide(launcherVariable).c_str(), nullptr);
    PROCESS_INFORMATION child {};
    if (!startSelf(&child))
        return 3;
    CloseHandle(child.hThread);
    WaitForSingleObject(child.hProcess, INFINITE);
    DWORD exitCode = 3;
    GetExitCodeProcess(child.hProcess, &exitCode);
    CloseHandle(child.hProcess);
    return int(exitCode);
}

long startCopyOfSelf(const char *markVariable, const char *value)
{
    const std::wstring variable = toWide(markVariable);
    SetEnvironmentVariableW(variable.c_str(), toWide(value).c_str());
    PROCESS_INFORMATION child {};
    const bool started = startSelf(&child);
    SetEnvironmentVariableW(variable.c_str(), nullptr);
    if (!started)
        return 0;
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
    return long(child.dwProcessId);
}

void leaveSession()
{
}

void noteWhenOrphaned(const std::string &)
{
}

std::string inheritedFiles()
{
    return std::string();
}

void waitUntilOutputIsRead()
{
    // The writing end of a Windows pipe cannot see what the reader has
    // taken, so this gives the reader a moment instead: the one step that
    // counts on time.
    sleepMilliseconds(300);
}

bool isOpenablePortName(const std::string &port)
{
    // pySerial opens a URL (socket://, rfc2217://) with its handler, and
    // anything else as "\\.\" + the name, where only COM devices answer.
    if (port.find("://") != std::string::npos)
        return true;
    std::string name = lowered(port);
    if (name.rfind("\\\\.\\", 0) == 0)
        name.erase(0, 4);
    if (name.size() < 4 || name.compare(0, 3, "com") != 0)
        return false;
    for (size_t i = 3; i < name.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(name[i])))
            return false;
    }
    return true;
}

std::string portOpenError(const std::string &port)
{
    return "Could not open " + port + ", the port is busy or doesn't exist.\n(could not open port '" + port
            + "': FileNotFoundError(2, 'The system cannot find the file specified.', None, 2))";
}

} // namespace Platform
