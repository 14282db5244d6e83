#include "isolation/sandbox.h"

#include "walledchild.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

using namespace WalledChild;

// The walls a helper puts up around itself, tried call by call in a
// forked child: what could reach another process, a file by its name or
// the metadata of the file it was given fails; what the readers and
// writers need on the descriptor they are given and in shared memory
// still works. Once with the filter and Landlock, once with the filter
// alone, and once with Landlock alone for what it refuses itself (behind
// the filter its refusals would never be seen).
class tst_Sandbox : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void call_data();
    void call();
    void statusShowsWalls_data();
    void statusShowsWalls();

private:
    QTemporaryDir dir;
};

namespace {

enum class Outcome { Works, Refused, Other };

// What a probe has to hand, set up before the walls go up.
struct Fixture
{
    int given = -1;          // a user's file as the window hands it over
    QByteArray other;        // a file nobody handed over
    pid_t parent = 0;        // the window
    int parentNice = 0;
    int parentPolicy = SCHED_OTHER;
    int terminal = -1;       // the child's controlling terminal, when one could be made
};

// The probes' argument, short for the table.
using F = const Fixture &;

// The mark the folder scanner takes for its own results folders.
constexpr const char *mark = "user.pictavo.results";

// Newer calls than this system's headers may name; the numbers are the
// same on every architecture.
constexpr long sysOpenTree = 428;
constexpr long sysFsopen = 430;
constexpr long sysFchmodat2 = 452;

// 0 when the call did what it was asked, else its errno.
int result(long rc)
{
    return rc < 0 ? errno : 0;
}

// A descriptor the call should not have had: closed, and the call worked.
int madeDescriptor(long fd)
{
    if (fd < 0)
        return errno;
    ::close(int(fd));
    return 0;
}

int readGiven(const Fixture &f)
{
    char bytes[5] = {};
    if (::pread(f.given, bytes, 4, 0) != 4)
        return errno ? errno : EIO;
    return qstrcmp(bytes, "seed") == 0 ? 0 : EIO;
}

int mapGiven(const Fixture &f)
{
    void *map = ::mmap(nullptr, 4, PROT_READ, MAP_PRIVATE, f.given, 0);
    if (map == MAP_FAILED)
        return errno;
    const bool same = std::memcmp(map, "seed", 4) == 0;
    ::munmap(map, 4);
    return same ? 0 : EIO;
}

// Shared memory as a helper hands pictures back: made, written, sealed,
// mapped.
int sealedMemory(const Fixture &)
{
    const int fd = ::memfd_create("walled", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd < 0)
        return errno;
    int error = 0;
    if (::ftruncate(fd, 4096) != 0 || ::pwrite(fd, "seed", 4, 0) != 4
        || ::fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) != 0)
        error = errno;
    void *map = error ? MAP_FAILED : ::mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 0);
    if (!error && map == MAP_FAILED)
        error = errno;
    if (!error && std::memcmp(map, "seed", 4) != 0)
        error = EIO;
    if (map != MAP_FAILED)
        ::munmap(map, 4096);
    ::close(fd);
    return error;
}

int thread(const Fixture &)
{
    int seen = 0;
    try {
        std::thread worker([&seen]() { seen = 1; });
        worker.join();
    } catch (const std::system_error &e) {
        return e.code().value();
    }
    return seen ? 0 : EIO;
}

volatile sig_atomic_t raised = 0;

int raiseOnItself(const Fixture &)
{
    ::signal(SIGUSR1, [](int) { raised = 1; });
    if (::raise(SIGUSR1) != 0)
        return errno;
    return raised ? 0 : EIO;
}

int ownLimits(const Fixture &)
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return errno;
    cpu_set_t cpus;
    return result(::sched_getaffinity(0, sizeof cpus, &cpus));
}

int limitOfParent(const Fixture &f)
{
    rlimit old{};
    return result(::prlimit(f.parent, RLIMIT_FSIZE, nullptr, &old));
}

int scheduleParent(const Fixture &f)
{
    const sched_param param{};
    return result(::sched_setscheduler(f.parent, f.parentPolicy, &param));
}

int readParentMemory(const Fixture &f)
{
    static char byte = 0;
    char into = 0;
    iovec local{&into, 1};
    iovec remote{&byte, 1};
    return result(::process_vm_readv(f.parent, &local, 1, &remote, 1, 0));
}

int recordLockGiven(const Fixture &f)
{
    struct flock lock{};
    lock.l_type = F_RDLCK;
    lock.l_whence = SEEK_SET;
    return result(::fcntl(f.given, F_SETLK, &lock));
}

int typeIntoTerminal(const Fixture &f)
{
    const char key = '\n';
    return result(::ioctl(f.terminal, TIOCSTI, &key));
}

int systemVMemory(const Fixture &)
{
    // A key nobody made: ENOENT where the call is allowed.
    return result(::shmget(key_t(0x70637476), 4096, 0));
}

int runProgram(const Fixture &)
{
    char *const argv[] = {const_cast<char *>("/bin/true"), nullptr};
    return result(::execve("/bin/true", argv, nullptr));
}

int forkProcess(const Fixture &)
{
    const pid_t pid = ::fork();
    if (pid == 0)
        ::_exit(0);
    if (pid < 0)
        return errno;
    ::waitpid(pid, nullptr, 0);
    return 0;
}

struct Probe
{
    const char *name;
    Outcome withFilter;
    // Landlock refuses it by itself, from this version on (0: never).
    int landlockFrom;
    int (*run)(const Fixture &);
};

const Probe probes[] = {
    {"pread of the given file", Outcome::Works, 0, readGiven},
    {"mmap of the given file", Outcome::Works, 0, mapGiven},
    {"memfd with seals", Outcome::Works, 0, sealedMemory},
    {"thread", Outcome::Works, 0, thread},
    {"raise on itself", Outcome::Works, 0, raiseOnItself},
    {"own limits and processors", Outcome::Works, 0, ownLimits},
    {"prlimit64 on the parent", Outcome::Refused, 0, limitOfParent},
    {"setpriority on the parent", Outcome::Refused, 0,
     [](F f) { return result(::setpriority(PRIO_PROCESS, id_t(f.parent), f.parentNice)); }},
    {"sched_setscheduler on the parent", Outcome::Refused, 0, scheduleParent},
    {"kill of the parent", Outcome::Refused, 6, [](F f) { return result(::kill(f.parent, 0)); }},
    {"tgkill of the parent", Outcome::Refused, 6,
     [](F f) { return result(::syscall(SYS_tgkill, f.parent, f.parent, 0)); }},
    {"process_vm_readv of the parent", Outcome::Refused, 0, readParentMemory},
    {"open by name", Outcome::Refused, 1,
     [](F f) { return madeDescriptor(::open(f.other.constData(), O_RDONLY | O_CLOEXEC)); }},
    {"truncate by name", Outcome::Refused, 3,
     [](F f) { return result(::truncate(f.other.constData(), 4)); }},
    {"utimensat by name", Outcome::Refused, 0,
     [](F f) { return result(::utimensat(AT_FDCWD, f.other.constData(), nullptr, 0)); }},
    {"setxattr by name", Outcome::Refused, 0,
     [](F f) { return result(::setxattr(f.other.constData(), mark, "1", 1, 0)); }},
    {"fchmodat2 by name", Outcome::Refused, 0,
     [](F f) { return result(::syscall(sysFchmodat2, AT_FDCWD, f.other.constData(), 0644, 0)); }},
    {"fchmod of the given file", Outcome::Refused, 0,
     [](F f) { return result(::fchmod(f.given, 0644)); }},
    {"fchown of the given file", Outcome::Refused, 0,
     [](F f) { return result(::fchown(f.given, ::geteuid(), gid_t(-1))); }},
    {"futimens of the given file", Outcome::Refused, 0,
     [](F f) { return result(::futimens(f.given, nullptr)); }},
    {"fsetxattr of the given file", Outcome::Refused, 0,
     [](F f) { return result(::fsetxattr(f.given, mark, "1", 1, 0)); }},
    {"flock of the given file", Outcome::Refused, 0,
     [](F f) { return result(::flock(f.given, LOCK_SH | LOCK_NB)); }},
    {"F_SETLK on the given file", Outcome::Refused, 0, recordLockGiven},
    {"F_SETLEASE on the given file", Outcome::Refused, 0,
     [](F f) { return result(::fcntl(f.given, F_SETLEASE, F_RDLCK)); }},
    {"F_SETSIG on the given file", Outcome::Refused, 0,
     [](F f) { return result(::fcntl(f.given, F_SETSIG, SIGKILL)); }},
    {"F_SETOWN on the given file", Outcome::Refused, 0,
     [](F f) { return result(::fcntl(f.given, F_SETOWN, f.parent)); }},
    {"F_SETFL on the given file", Outcome::Refused, 0,
     [](F f) { return result(::fcntl(f.given, F_SETFL, O_NONBLOCK)); }},
    {"TIOCSTI on its terminal", Outcome::Refused, 0, typeIntoTerminal},
    {"inotify_init1", Outcome::Refused, 0,
     [](F) { return madeDescriptor(::inotify_init1(IN_CLOEXEC)); }},
    {"fanotify_init", Outcome::Refused, 0,
     [](F) { return madeDescriptor(::syscall(SYS_fanotify_init, 0, O_RDONLY)); }},
    {"open_tree", Outcome::Refused, 0,
     [](F) { return madeDescriptor(::syscall(sysOpenTree, AT_FDCWD, "/", 0)); }},
    {"fsopen", Outcome::Refused, 0,
     [](F) { return madeDescriptor(::syscall(sysFsopen, "tmpfs", 0)); }},
    {"acct", Outcome::Refused, 0, [](F) { return result(::acct(nullptr)); }},
    {"shmget", Outcome::Refused, 0, systemVMemory},
    {"socket", Outcome::Refused, 0,
     [](F) { return madeDescriptor(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)); }},
    {"execve", Outcome::Refused, 1, runProgram},
    {"fork", Outcome::Refused, 0, forkProcess},
};

// The child's controlling terminal: a pseudo-terminal it leads, as a shell
// that started the window would be. -1 where none can be made.
int controllingTerminal()
{
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0)
        return -1;
    const int terminal = ::open(::ptsname(master), O_RDWR | O_CLOEXEC);
    if (terminal < 0 || ::setsid() < 0 || ::ioctl(terminal, TIOCSCTTY, 0) != 0)
        return -1;
    return terminal;
}

int nothing()
{
    return 0;
}

Outcome outcomeOf(int error)
{
    if (error == 0)
        return Outcome::Works;
    // ENOTTY: the filter's answer to any ioctl.
    return error == EPERM || error == EACCES || error == ENOTTY ? Outcome::Refused : Outcome::Other;
}

} // namespace

void tst_Sandbox::initTestCase()
{
    QVERIFY(dir.isValid());
    for (const char *name : {"given", "other"}) {
        QFile file(dir.filePath(QLatin1String(name)));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("seed");
    }
}

void tst_Sandbox::call_data()
{
    QTest::addColumn<Walls>("walls");
    QTest::addColumn<int>("probe");
    QTest::addColumn<Outcome>("expected");
    const std::pair<Walls, const char *> sets[] = {{Walls::Both, "filter and Landlock"},
                                                   {Walls::FilterAlone, "filter alone"},
                                                   {Walls::LandlockAlone, "Landlock alone"}};
    for (const auto &[walls, wallsName] : sets) {
        for (int i = 0; i < int(std::size(probes)); ++i) {
            const Probe &probe = probes[i];
            const bool works = probe.withFilter == Outcome::Works;
            if (walls == Walls::LandlockAlone && !works && probe.landlockFrom == 0)
                continue;
            QTest::addRow("%s, %s", probe.name, wallsName) << walls << i << probe.withFilter;
        }
    }
}

void tst_Sandbox::call()
{
    QFETCH(Walls, walls);
    QFETCH(int, probe);
    QFETCH(Outcome, expected);
    const int version = landlockVersion();
    if (walls == Walls::LandlockAlone && version < qMax(1, probes[probe].landlockFrom))
        QSKIP("this kernel's Landlock does not refuse it");
#if defined(__SANITIZE_THREAD__)
    // The thread sanitizer cannot start a thread in a child forked from
    // threads, and runs a signal's handler only at its next interception:
    // these two are tried in the other builds.
    if (probes[probe].run == ::thread || probes[probe].run == raiseOnItself)
        QSKIP("not under the thread sanitizer");
#endif
    Fixture fixture;
    fixture.given = ::open(QFile::encodeName(dir.filePath(QStringLiteral("given"))).constData(),
                           O_RDONLY | O_CLOEXEC);
    QVERIFY(fixture.given >= 0);
    fixture.other = QFile::encodeName(dir.filePath(QStringLiteral("other")));
    fixture.parent = ::getpid();
    errno = 0;
    fixture.parentNice = ::getpriority(PRIO_PROCESS, 0);
    fixture.parentPolicy = ::sched_getscheduler(0);
    const bool needsTerminal = probes[probe].run == typeIntoTerminal;
    const auto ready = [&]() {
        return needsTerminal && (fixture.terminal = controllingTerminal()) < 0 ? -2 : 0;
    };
    const Child child = forkChild(walls, false, ready, [&]() {
        errno = 0;
        return probes[probe].run(fixture);
    });
    ::close(fixture.given);
    QVERIFY(child.pid > 0);
    bool said = false;
    const int error = reportOf(child, &said);
    int status = 0;
    QCOMPARE(::waitpid(child.pid, &status, 0), child.pid);
    QVERIFY2(said, "the child died");
    QVERIFY2(error != -1, "the walls did not go up");
    if (error == -2)
        QSKIP("no pseudo-terminal to be had here");
    const QString reason = QStringLiteral("%1 (%2)").arg(QString::fromLocal8Bit(strerror(error)));
    QVERIFY2(outcomeOf(error) == expected, qPrintable(reason.arg(error)));
}

void tst_Sandbox::statusShowsWalls_data()
{
    QTest::addColumn<Walls>("walls");
    QTest::newRow("filter and Landlock") << Walls::Both;
    QTest::newRow("filter alone") << Walls::FilterAlone;
}

// What the kernel says of a walled-in process: no new privileges, a
// filter, and no capability left, root or not.
void tst_Sandbox::statusShowsWalls()
{
    QFETCH(Walls, walls);
    const Child child = forkChild(walls, true, nothing, nothing);
    QVERIFY(child.pid > 0);
    bool said = false;
    const int found = reportOf(child, &said);
    int status = 0;
    ::waitpid(child.pid, &status, WUNTRACED);
    QFile procStatus(QStringLiteral("/proc/%1/status").arg(child.pid));
    const QByteArray text = procStatus.open(QIODevice::ReadOnly) ? procStatus.readAll() : "";
    // Ended before anything is compared: a stopped child left behind
    // would hang up on this whole process group when it goes.
    ::kill(child.pid, SIGKILL);
    ::waitpid(child.pid, &status, 0);
    QVERIFY(said);
    QCOMPARE(found, 0);
    QVERIFY2(text.contains("NoNewPrivs:\t1"), text.constData());
    QVERIFY2(text.contains("Seccomp:\t2"), text.constData());
    for (const char *set : {"CapInh", "CapPrm", "CapEff", "CapAmb"})
        QVERIFY2(text.contains(QByteArray(set) + ":\t0000000000000000"), text.constData());
}

QTEST_GUILESS_MAIN(tst_Sandbox)
#include "tst_sandbox.moc"
