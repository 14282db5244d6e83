#ifndef TEMPORARYNAME_H
#define TEMPORARYNAME_H

#include <QString>

// The names of the hidden files Pictavo makes for a moment in a folder it
// writes to: the temporaries that atomic writes rename into place, and the
// probes that tell whether a folder ignores case. One scheme, so that what
// a killed process left behind can be told from the user's own files:
//
//   .pictavo-PID-N.tmp         a write temporary
//   .pictavo-PID-N-case.tmp    a case probe
//
// PID is the writing process, N a number unique within it. Short, so that
// they fit wherever the file they stand for fits; compared exactly and
// case-sensitively, so that ".PICTAVO-7-1.TMP" or ".pictavo-1-backup.tmp",
// which we never make, are never taken for ours. Safe on any thread.
class TemporaryName
{
public:
    // A name no other temporary or probe of this process has had.
    static QString forWrite();
    static QString forProbe();

    // Whether fileName (without a folder) is one of the names above; pid,
    // when given, receives the process that made it.
    static bool isOurs(const QString &fileName, qint64 *pid = nullptr);
};

#endif // TEMPORARYNAME_H
