#ifndef PLATFORM_H
#define PLATFORM_H

#include <cstdio>
#include <string>
#include <vector>

// What differs between the systems the stand-in runs on. Like the real
// esptool.exe it must run on its own from firmware/, so it uses nothing but
// the C++ runtime and the system. All strings are UTF-8.
namespace Platform {

// The command line without the program name.
std::vector<std::string> arguments(int argc, char *argv[]);
std::string environment(const char *name);

// The standard streams write bytes as they are, without line-end translation.
void useBinaryOutput();
// Text as a Python tool writes it to a pipe: UTF-8 where the system's
// encoding is UTF-8 or where PYTHONIOENCODING / PYTHONUTF8 ask for it,
// otherwise in the system's ANSI code page (Windows).
std::string encodeForPipe(const std::string &utf8);

std::FILE *openFile(const std::string &path, const char *mode);
// True for a regular file that can be read; its size goes to *size.
bool isReadableFile(const std::string &path, long long *size);

long processId();
void sleepMilliseconds(int milliseconds);
// Ends the process the way a crash does (a signal, or an access violation).
[[noreturn]] void crash();

// Starts a copy of this program with the same arguments and standard
// streams, minus the variable that made this one a launcher; waits for it
// and returns its exit code, as a one-file bundle's launcher does.
int runCopyOfSelf(int argc, char *argv[], const char *launcherVariable);
// Starts a copy of this program with the same standard streams and the
// variable set to the value, and does not wait for it; its process id, or 0.
long startCopyOfSelf(const char *markVariable, const char *value);
// Leaves the process group and the session this process was started in, as
// a daemon does (Unix; elsewhere nothing).
void leaveSession();
// From now on, when the process that started this one ends, the file at
// the path gets this process's id (Linux; elsewhere nothing).
void noteWhenOrphaned(const std::string &path);
// The files this process was given open beyond the standard streams, one
// line each: the descriptor and what it is ("5 socket:[1234]"); Linux only.
std::string inheritedFiles();
// Waits until everything written to stdout and stderr so far has been read
// by the program at the other end of the pipes, so that what is written
// next comes in a read of its own.
void waitUntilOutputIsRead();

// Whether esptool could open this port name at all, and the message it
// gives when it cannot.
bool isOpenablePortName(const std::string &port);
std::string portOpenError(const std::string &port);

} // namespace Platform

#endif // PLATFORM_H
