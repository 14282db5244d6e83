#include "isolation/sandbox.h"

#include "isolation/syscallfilter.h"

#include <QFile>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <iterator>
#include <linux/capability.h>
#include <linux/securebits.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

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

void setLimit(int resource, qint64 value)
{
    const rlimit limit{rlim_t(value), rlim_t(value)};
    ::setrlimit(resource, &limit);
}

void setLimits(const Sandbox::Limits &limits)
{
    if (limits.addressSpace > 0)
        setLimit(RLIMIT_AS, limits.addressSpace);
    if (limits.descriptors > 0)
        setLimit(RLIMIT_NOFILE, limits.descriptors);
    // No core file of a user's photo's pixels anywhere.
    setLimit(RLIMIT_CORE, 0);
    // No file grows past what the helper hands back; a write that would
    // fails with EFBIG rather than killing it.
    setLimit(RLIMIT_FSIZE, limits.fileSize);
    ::signal(SIGXFSZ, SIG_IGN);
}

// Whatever capabilities the process holds (all of them when run as root)
// are dropped for good: the bounding and ambient sets emptied, root's
// uid no longer bringing them back, then the sets themselves cleared.
// True when none is left.
bool dropCapabilities(QString *why)
{
    ::prctl(PR_SET_KEEPCAPS, 0, 0, 0, 0);
    ::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
    // These need CAP_SETPCAP, which only a privileged process holds; for
    // others they fail and there is nothing to drop.
    ::prctl(PR_SET_SECUREBITS,
            SECBIT_KEEP_CAPS_LOCKED | SECBIT_NO_SETUID_FIXUP | SECBIT_NO_SETUID_FIXUP_LOCKED
                    | SECBIT_NOROOT | SECBIT_NOROOT_LOCKED | SECBIT_NO_CAP_AMBIENT_RAISE
                    | SECBIT_NO_CAP_AMBIENT_RAISE_LOCKED,
            0, 0, 0);
    for (int cap = 0; ::prctl(PR_CAPBSET_READ, cap, 0, 0, 0) >= 0; ++cap)
        ::prctl(PR_CAPBSET_DROP, cap, 0, 0, 0);
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct none[_LINUX_CAPABILITY_U32S_3] = {};
    if (::syscall(SYS_capset, &header, none) != 0) {
        *why = QStringLiteral("capset: %1").arg(QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    __user_cap_data_struct left[_LINUX_CAPABILITY_U32S_3] = {};
    if (::syscall(SYS_capget, &header, left) != 0 || left[0].effective || left[0].permitted
        || left[1].effective || left[1].permitted) {
        *why = QStringLiteral("capabilities could not be dropped");
        return false;
    }
    return true;
}

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
    setLimits(limits);
    bool filtered = false;
    bool walled = false;
    if (!dropCapabilities(&reason)) {
        // Root's powers kept would outlast any filter: no sandbox claimed.
    } else if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
        reason = QStringLiteral("no_new_privs: %1").arg(QString::fromLocal8Bit(strerror(errno)));
    } else {
        // The second wall, put up first: the filter then refuses the
        // calls that make it. Should the filter miss a call that opens by
        // name (a new one, or one reached in a way it does not see), the
        // kernel still refuses the path itself.
        QString landlockWhy;
        walled = limits.landlock && restrictWithLandlock(&landlockWhy);
        filtered = SyscallFilter::install(&reason);
    }
    if (fileSystemRestricted)
        *fileSystemRestricted = walled;
    if (why)
        *why = reason;
    return filtered;
}
