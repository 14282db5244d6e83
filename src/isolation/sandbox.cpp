#include "isolation/sandbox.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <iterator>
#include <csignal>
#include <fcntl.h>
#include <sched.h>
#include <seccomp.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// Calls that reach outside the process: files by name, the network,
// other programs and other processes. Refused with EPERM, which every
// library turns into an ordinary failure.
const int denied[] = {
    SCMP_SYS(open), SCMP_SYS(openat), SCMP_SYS(openat2), SCMP_SYS(creat),
    SCMP_SYS(open_by_handle_at), SCMP_SYS(name_to_handle_at),
    SCMP_SYS(socket), SCMP_SYS(socketpair), SCMP_SYS(connect), SCMP_SYS(bind),
    SCMP_SYS(listen), SCMP_SYS(accept), SCMP_SYS(accept4),
    SCMP_SYS(execve), SCMP_SYS(execveat), SCMP_SYS(fork), SCMP_SYS(vfork),
    SCMP_SYS(ptrace), SCMP_SYS(process_vm_readv), SCMP_SYS(process_vm_writev),
    SCMP_SYS(pidfd_open), SCMP_SYS(pidfd_getfd), SCMP_SYS(pidfd_send_signal),
    SCMP_SYS(rt_sigqueueinfo), SCMP_SYS(rt_tgsigqueueinfo),
    SCMP_SYS(mkdir), SCMP_SYS(mkdirat), SCMP_SYS(unlink), SCMP_SYS(unlinkat),
    SCMP_SYS(rmdir), SCMP_SYS(rename), SCMP_SYS(renameat), SCMP_SYS(renameat2),
    SCMP_SYS(link), SCMP_SYS(linkat), SCMP_SYS(symlink), SCMP_SYS(symlinkat),
    SCMP_SYS(chmod), SCMP_SYS(fchmodat), SCMP_SYS(chown), SCMP_SYS(lchown),
    SCMP_SYS(fchownat), SCMP_SYS(truncate), SCMP_SYS(mknod), SCMP_SYS(mknodat),
    SCMP_SYS(mount), SCMP_SYS(umount2), SCMP_SYS(chroot), SCMP_SYS(pivot_root),
    SCMP_SYS(setns), SCMP_SYS(unshare), SCMP_SYS(keyctl), SCMP_SYS(add_key),
    SCMP_SYS(request_key), SCMP_SYS(bpf), SCMP_SYS(perf_event_open),
    SCMP_SYS(userfaultfd), SCMP_SYS(io_uring_setup), SCMP_SYS(init_module),
    SCMP_SYS(finit_module), SCMP_SYS(kexec_load), SCMP_SYS(reboot),
    SCMP_SYS(setuid), SCMP_SYS(setgid), SCMP_SYS(setreuid), SCMP_SYS(setregid),
    SCMP_SYS(setresuid), SCMP_SYS(setresgid),
};

bool addFilter(QString *why)
{
    scmp_filter_ctx filter = seccomp_init(SCMP_ACT_ALLOW);
    if (!filter) {
        *why = QStringLiteral("seccomp_init failed");
        return false;
    }
    int rc = 0;
    for (const int call : denied) {
        // A call this kernel's headers do not know is negative: skipped.
        if (call < 0)
            continue;
        rc = seccomp_rule_add(filter, SCMP_ACT_ERRNO(EPERM), call, 0);
        if (rc != 0)
            break;
    }
    const scmp_datum_t self = scmp_datum_t(::getpid());
    // Signals only to itself: raise() and abort() stay, killing others goes.
    if (rc == 0)
        rc = seccomp_rule_add(filter, SCMP_ACT_ERRNO(EPERM), SCMP_SYS(kill), 1,
                              SCMP_A0(SCMP_CMP_NE, self));
    if (rc == 0)
        rc = seccomp_rule_add(filter, SCMP_ACT_ERRNO(EPERM), SCMP_SYS(tgkill), 1,
                              SCMP_A0(SCMP_CMP_NE, self));
    if (rc == 0)
        rc = seccomp_rule_add(filter, SCMP_ACT_ERRNO(EPERM), SCMP_SYS(tkill), 0);
    // Threads, not processes: clone3's flags sit in memory where the filter
    // cannot look, so it is refused as unknown and the C library falls back
    // to clone, whose flags can be checked.
    if (rc == 0)
        rc = seccomp_rule_add(filter, SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(clone3), 0);
    if (rc == 0)
        rc = seccomp_rule_add(filter, SCMP_ACT_ERRNO(EPERM), SCMP_SYS(clone), 1,
                              SCMP_A0(SCMP_CMP_MASKED_EQ, scmp_datum_t(CLONE_THREAD), 0));
    if (rc == 0)
        rc = seccomp_load(filter);
    seccomp_release(filter);
    if (rc != 0) {
        *why = QStringLiteral("seccomp: %1").arg(QString::fromLocal8Bit(strerror(-rc)));
        return false;
    }
    return true;
}

// Landlock's interface as the running kernel may know it, newer than the
// build machine's headers: each version adds rights, and a ruleset names
// only those its kernel knows.
struct LandlockRuleset
{
    quint64 handledFileSystem = 0;
    quint64 handledNetwork = 0;
    quint64 scoped = 0;
};

constexpr quint64 fileSystemRightsOfVersion[] = {
    0,
    (1ull << 13) - 1, // 1: execute, read, write, list, make and remove
    (1ull << 14) - 1, // 2: link or rename into another folder
    (1ull << 15) - 1, // 3: truncate
    (1ull << 15) - 1, // 4: (network rights only)
    (1ull << 16) - 1, // 5: device ioctl
};
constexpr quint64 networkRights = 3; // bind and connect on TCP, version 4 on
constexpr quint64 scopes = 3; // abstract sockets and signals, version 6 on

int landlockVersion()
{
#if defined(SYS_landlock_create_ruleset)
    const long version = ::syscall(SYS_landlock_create_ruleset, nullptr, 0, 1u /* version */);
    return version > 0 ? int(version) : 0;
#else
    return 0;
#endif
}

// A Landlock domain that handles every right its kernel knows and grants
// none: no file or folder can be opened, made or changed by name, no TCP
// port bound or reached, no signal sent out, whatever the seccomp filter
// lets through. Descriptors the process already holds keep working.
bool restrictWithLandlock(QString *why)
{
#if defined(SYS_landlock_create_ruleset)
    const int version = landlockVersion();
    if (version == 0) {
        *why = QStringLiteral("landlock: not offered by this kernel");
        return false;
    }
    LandlockRuleset ruleset;
    const int last = int(std::size(fileSystemRightsOfVersion)) - 1;
    ruleset.handledFileSystem = fileSystemRightsOfVersion[qMin(version, last)];
    size_t size = sizeof(quint64);
    if (version >= 4) {
        ruleset.handledNetwork = networkRights;
        size = 2 * sizeof(quint64);
    }
    if (version >= 6) {
        ruleset.scoped = scopes;
        size = sizeof ruleset;
    }
    const int fd = int(::syscall(SYS_landlock_create_ruleset, &ruleset, size, 0u));
    if (fd < 0) {
        *why = QStringLiteral("landlock: %1").arg(QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    const long rc = ::syscall(SYS_landlock_restrict_self, fd, 0u);
    const int error = errno;
    ::close(fd);
    if (rc != 0) {
        *why = QStringLiteral("landlock: %1").arg(QString::fromLocal8Bit(strerror(error)));
        return false;
    }
    return true;
#else
    *why = QStringLiteral("landlock: not known to this build");
    return false;
#endif
}

#if !defined(PICTAVO_SANITIZE)
qint64 mappedNow()
{
    // VmSize from the process's status, in kB.
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmSize:"))
            return line.mid(7).trimmed().split(' ').value(0).toLongLong() * 1024;
    }
    return 0;
}
#endif

} // namespace

qint64 Sandbox::addressSpaceFor(qint64 budget)
{
#if defined(PICTAVO_SANITIZE)
    Q_UNUSED(budget);
    return 0;
#else
    // Thread stacks and the decoders' tables come on top of the pixels.
    return mappedNow() + budget + 512ll * 1024 * 1024;
#endif
}

bool Sandbox::restrictFileSystem(QString *why)
{
    QString reason;
    const bool restricted = restrictWithLandlock(&reason);
    if (why)
        *why = reason;
    return restricted;
}

bool Sandbox::apply(const Limits &limits, QString *why, bool *fileSystemRestricted)
{
    QString reason;
    if (limits.addressSpace > 0) {
        const rlimit space{rlim_t(limits.addressSpace), rlim_t(limits.addressSpace)};
        ::setrlimit(RLIMIT_AS, &space);
    }
    if (limits.descriptors > 0) {
        const rlimit files{rlim_t(limits.descriptors), rlim_t(limits.descriptors)};
        ::setrlimit(RLIMIT_NOFILE, &files);
    }
    bool filtered = false;
    bool walled = false;
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
        reason = QStringLiteral("no_new_privs: %1").arg(QString::fromLocal8Bit(strerror(errno)));
    } else {
        filtered = addFilter(&reason);
        // The second wall: should the filter miss a call that opens by
        // name (a new one, or one reached in a way it does not see), the
        // kernel still refuses the path itself.
        QString landlockWhy;
        walled = restrictWithLandlock(&landlockWhy);
    }
    if (fileSystemRestricted)
        *fileSystemRestricted = walled;
    if (why)
        *why = reason;
    return filtered;
}
