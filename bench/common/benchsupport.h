#ifndef BENCHSUPPORT_H
#define BENCHSUPPORT_H

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

class QQmlApplicationEngine;
class QQuickWindow;
class QObject;

namespace Bench {

// True when the program was started with --quick: one small run, only to
// show that the benchmark still works.
bool quick(const QStringList &arguments);

double median(QList<double> values);

// Time this thread has spent on a CPU, in milliseconds.
double threadCpuMilliseconds();

// The CPU time each of this process's threads has used, in ms, by thread
// name (threads of one name added up); in steps of the kernel's tick.
QHash<QString, double> threadCpuTimes();

// Peak resident set size of a running process, in MiB (this one by default).
double peakMemoryMiB(qint64 pid = 0);
// This process's resident set size now, in MiB.
double memoryMiB();

// Runs the stand-in (as its environment tells it) with its stdout on a pipe
// that a plain loop reads to the end: the floor for a job's time. Returns
// the wall time in milliseconds, or -1.
double plainPipeRun(qint64 *bytesRead);

// Tool output of one kind, about size bytes, as a tool could write it:
//   "lines"     progress lines of 60 bytes
//   "long-line" one line without a line feed
//   "colours"   an ANSI colour change before every character, 80 a line
//   "tabs"      one line of "ab" and a tab, repeated, without a line feed
//   "colours-unbroken"  an ANSI colour change before every character,
//               without a line feed
//   "coloured-last-line"  300 short lines, then a last line of size bytes
//               without a line feed: a colour change before every letter
//   "progress"  esptool v5's progress redrawn in place on a terminal
//               (CR, erase line, the update), a line feed every 1,000
//   "spacing"   lines with a tab and runs of spaces
//   "invalid"   invalid UTF-8 (stray and overlong bytes, sequences cut
//               short), control characters and NULs, 60 bytes a line
//   "random"    random bytes, 60 a line: mostly invalid UTF-8, but also
//               characters of dozens of scripts
// Empty for an unknown kind.
QByteArray toolOutput(const QString &kind, qint64 size);

// Prints one result row for scripts/bench.sh. A budget of 0 means none.
// Lower is better.
void report(const QString &name, double value, const QString &unit, double budget);

// The real Main.qml from the source tree with the controller published as
// flashController, as the program loads it; null if it cannot be created.
QQuickWindow *loadMainWindow(QQmlApplicationEngine &engine, QObject *controller);

// Runs this program again with these arguments in a child process, with its
// windows on a private Xvfb (2560x1700) that ends with it; returns the
// child's exit code. Without Xvfb it says so and returns 0: what needs a real
// X server is then left out.
int runSelfOnXvfb(const QStringList &arguments, int timeoutMilliseconds);

} // namespace Bench

#endif // BENCHSUPPORT_H
