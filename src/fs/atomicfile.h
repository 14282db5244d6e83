#ifndef ATOMICFILE_H
#define ATOMICFILE_H

#include <QByteArray>
#include <QString>

#include <functional>

// Puts a whole file in place or none. The bytes go to a hidden temporary
// file in the target's folder, named by TemporaryName, so that what a
// killed process left behind can be told from the user's files and cleared. The rename that
// ends the write replaces whatever entry has the name, a link included; it
// never writes through one, and nothing is created outside the folder.
class AtomicFile
{
public:
    // Writes bytes to fileName. Returns an empty string on success, else the
    // reason in the user's words ("disk full", "permission denied", ...).
    // mayCommit, when given, is asked last, just before the rename.
    static QString write(const QByteArray &bytes, const QString &fileName,
                         const std::function<bool()> &mayCommit = {});

#ifdef Q_OS_UNIX
    // How writeInto() makes the file.
    struct Options
    {
        unsigned mode = 0666; // before the umask
        bool durable = true;  // flushed to the disk before the rename
    };
    // The core of write(), for a folder the caller has opened itself (the
    // thumbnail cache opens each of its folders without following links):
    // bytes into a new hidden temporary in the folder open as directory,
    // renamed over name once whole. 0 on success, else the errno of the
    // step that failed, ECANCELED when mayCommit said no; no temporary is
    // left either way.
    static int writeInto(int directory, const QByteArray &name, const QByteArray &bytes,
                         const Options &options, const std::function<bool()> &mayCommit = {});
#endif

    // Removes our temporaries and case probes in directory that nobody can
    // still be writing: untouched for an hour and made by a process that
    // has ended, or untouched for a day. The user's files, whatever they
    // are called, stay. Returns how many were removed.
    static int removeStale(const QString &directory);

    // The user's words for a system error number: ours for the errors a
    // write meets most, the system's own (in the user's language) for the
    // rest.
    static QString reasonFor(int error);
};

#endif // ATOMICFILE_H
