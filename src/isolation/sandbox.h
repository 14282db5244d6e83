#ifndef SANDBOX_H
#define SANDBOX_H

#include <QString>
#include <QtGlobal>

// The walls a helper process puts up around itself once it has loaded
// everything it will need and before it reads a user's file: no
// capabilities and no new privileges, a seccomp filter that allows only
// what reading and writing pictures needs (see SyscallFilter), Landlock
// behind it, limits on its address space, descriptors and file sizes, no
// core file. What it may still do is read the descriptors it is given and
// answer on the one socket it inherited.
namespace Sandbox {

struct Limits
{
    // Bytes of address space; 0: no limit (sanitizer builds reserve
    // terabytes of it up front).
    qint64 addressSpace = 0;
    // Descriptors the process may hold.
    int descriptors = 32;
    // Bytes any file may grow to: what the helper hands back in shared
    // memory is a file too, so this is the largest of those; 0: none
    // may be written at all.
    qint64 fileSize = 0;
    // Whether Landlock goes up behind the filter (where the kernel offers
    // it); off only to try the filter alone.
    bool landlock = true;
};

// Applies the walls to the calling process, for good. True when the
// capabilities are gone and the seccomp filter is in place; false, with
// why, when the kernel refused either (the limits are set either way). Where the kernel offers Landlock it is
// a second wall around the file system, and fileSystemRestricted says
// whether it went up.
bool apply(const Limits &limits, QString *why = nullptr, bool *fileSystemRestricted = nullptr);

// Landlock alone: from now on no path can be opened, made or changed, no
// TCP port bound or reached and no signal sent outside the process. Needs
// no-new-privileges set first. False, with why, where the kernel does not
// offer it.
bool restrictFileSystem(QString *why = nullptr);

// The address-space limit for a process that may hold budget bytes of
// pixels: what it has mapped now, plus the budget, plus room for the
// decoders' own tables. 0 under a sanitizer.
qint64 addressSpaceFor(qint64 budget);

} // namespace Sandbox

#endif // SANDBOX_H
