#ifndef SYSCALLFILTER_H
#define SYSCALLFILTER_H

#include <QString>

// The seccomp filter of a helper process: an allow-list of the system calls
// its readers and writers make once everything is loaded (reading the
// descriptors handed in, memory, threads, time, answering on its socket),
// with the arguments checked where a call could reach another process.
// Everything else is refused with EPERM (ENOSYS for clone3, so that the C
// library falls back to clone, whose flags the filter can see; ENOTTY for
// ioctl, the answer for a descriptor that is no terminal), and a call
// through another architecture's entry point (i386, x32) kills the process.
namespace SyscallFilter {

// Loads the filter into every thread of the calling process, for good.
// Needs no-new-privileges set first. False, with why, when the kernel or
// libseccomp refused it.
bool install(QString *why);

} // namespace SyscallFilter

#endif // SYSCALLFILTER_H
