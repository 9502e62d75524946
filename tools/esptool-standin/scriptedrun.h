#ifndef SCRIPTEDRUN_H
#define SCRIPTEDRUN_H

#include <string>

// Plays a script of steps, one per line, each a word and its argument:
//   out <hex>     text to stdout (UTF-8 bytes, written as a Python tool
//   err <hex>     writes text to a pipe) / to stderr
//   outbytes <hex>  errbytes <hex>   raw bytes, e.g. invalid UTF-8
//   env <name>    "<name>=<value>" and a line feed to stdout, the value of
//                 that environment variable (empty when unset)
//   sleep <ms>    pause
//   exit <code>   exit with that code
//   crash         die abnormally
//   hang          never end (in practice: not for five minutes), until killed
//   input         read standard input to its end
//   leavechild    start a child that hangs and is not waited for; it
//                 records its id in STANDIN_PID_FILE as the tool does, and
//                 the tool goes on once it has
//   leavesession  the same, with a child that first leaves the tool's
//                 process group and session (setsid(), Unix)
//   waitfile <hex>  wait until the file at this path (UTF-8, in hex) exists
//   drained       wait until the program has read all output so far, so
//                 that the next output comes in a read of its own
//   noteorphaned <hex>  create the file at this path, and when this
//                 process's parent ends, append this process's id to it
//                 (Linux)
//   openfiles <hex>  write the descriptors this process was given open,
//                 beyond the standard streams, to the file at this path
//                 (Linux), at once and whole
// A script that runs out of steps exits with 0.
int runScript(const std::string &scriptPath);
// A child left behind by "leavechild" or "leavesession" has this variable
// set to one of the two kinds; it records its id and hangs, as the step
// "hang" does.
inline constexpr char leftBehindVariable[] = "STANDIN_LEFT_BEHIND";
inline constexpr char leftInGroup[] = "group";
inline constexpr char leftInOwnSession[] = "session";
int runLeftBehind(const std::string &kind);
int runLeftBehind();
// Adds a process id to STANDIN_PID_FILE, if it is set.
void recordProcessId(long processId);
// Writes the content to the file the environment variable names, if any,
// opened in this fopen() mode.
void reportTo(const char *variable, const std::string &content, const char *mode);

// Writes the file's bytes to stdout as fast as possible, in 4 KiB chunks
// as a block-buffered tool writes them to a pipe.
int replayFile(const std::string &path);

void writeStdout(const std::string &bytes);
void writeStderr(const std::string &bytes);

#endif // SCRIPTEDRUN_H
