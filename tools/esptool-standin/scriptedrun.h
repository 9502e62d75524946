#ifndef SCRIPTEDRUN_H
#define SCRIPTEDRUN_H

#include <QByteArray>
#include <QString>

// Plays a JSON array of steps, each an object with one key:
//   {"out": "text"}  {"err": "text"}       text to stdout / stderr, as UTF-8
//   {"outHex": "e4bd"}  {"errHex": "ff"}   raw bytes, e.g. invalid UTF-8
//   {"sleep": 200}                         pause, in milliseconds
//   {"exit": 2}                            exit with that code
//   {"crash": true}                        die abnormally
//   {"hang": true}                         never end, until killed
// A script that runs out of steps exits with 0.
int runScript(const QString &scriptPath);

// Writes lineCount progress lines of about 60 bytes as fast as possible,
// in 4 KiB chunks as a block-buffered tool writes them to a pipe.
int runFlood(int lineCount);

void writeStdout(const QByteArray &bytes);
void writeStderr(const QByteArray &bytes);

#endif // SCRIPTEDRUN_H
