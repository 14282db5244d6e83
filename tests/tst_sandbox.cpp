#include "isolation/sandbox.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

// The walls a helper puts up around itself, tried in a forked child: what
// reaches outside the process fails, what it is for (reading the
// descriptor it was given, handing pixels back in shared memory) still
// works. Landlock is tried alone too, since behind the filter its refusals
// would never be seen.
class tst_Sandbox : public QObject
{
    Q_OBJECT

private slots:
    void childIsWalledIn_data();
    void childIsWalledIn();
};

namespace {

// What the child found, one bit each.
enum Finding {
    WallsUp = 1,
    OpenRefused = 2,
    SocketRefused = 4,
    ExecRefused = 8,
    DescriptorRead = 16,
    StatusShowsIt = 32,
    KillOthersRefused = 64,
    SharedMemoryWorks = 128,
};

enum class Walls { All, LandlockAlone };

bool refused(long rc)
{
    return rc < 0 && (errno == EPERM || errno == EACCES);
}

int walledChild(Walls walls, int given, const char *elsewhere)
{
    int found = 0;
    if (walls == Walls::All) {
        if (Sandbox::apply(Sandbox::Limits()))
            found |= WallsUp;
    } else if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && Sandbox::restrictFileSystem()) {
        found |= WallsUp;
    }
    errno = 0;
    if (refused(::open(elsewhere, O_RDONLY)))
        found |= OpenRefused;
    errno = 0;
    if (refused(::socket(AF_UNIX, SOCK_STREAM, 0)))
        found |= SocketRefused;
    char *const argv[] = {const_cast<char *>("/bin/true"), nullptr};
    errno = 0;
    if (refused(::execve("/bin/true", argv, nullptr)))
        found |= ExecRefused;
    char bytes[5] = {};
    if (::pread(given, bytes, 4, 0) == 4 && qstrcmp(bytes, "seed") == 0)
        found |= DescriptorRead;
    errno = 0;
    if (refused(::kill(::getppid(), 0)))
        found |= KillOthersRefused;
    const int shared = ::memfd_create("walled", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (shared >= 0 && ::ftruncate(shared, 4096) == 0 && ::pwrite(shared, "seed", 4, 0) == 4)
        found |= SharedMemoryWorks;
    return found;
}

int landlockVersion()
{
    const long version = ::syscall(SYS_landlock_create_ruleset, nullptr, 0, 1u);
    return version > 0 ? int(version) : 0;
}

} // namespace

void tst_Sandbox::childIsWalledIn_data()
{
    QTest::addColumn<Walls>("walls");
    QTest::addColumn<int>("expected");
    QTest::newRow("filter and Landlock")
            << Walls::All
            << (WallsUp | OpenRefused | SocketRefused | ExecRefused | DescriptorRead | StatusShowsIt
                | KillOthersRefused | SharedMemoryWorks);
    // Sockets are the filter's alone; signals to others are Landlock's
    // from its sixth version.
    QTest::newRow("Landlock alone")
            << Walls::LandlockAlone
            << (WallsUp | OpenRefused | ExecRefused | DescriptorRead | StatusShowsIt
                | SharedMemoryWorks | (landlockVersion() >= 6 ? KillOthersRefused : 0));
}

void tst_Sandbox::childIsWalledIn()
{
    QFETCH(Walls, walls);
    QFETCH(int, expected);
    if (walls == Walls::LandlockAlone && landlockVersion() == 0)
        QSKIP("this kernel does not offer Landlock");
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString givenPath = dir.filePath(QStringLiteral("given"));
    const QString otherPath = dir.filePath(QStringLiteral("other"));
    for (const QString &path : {givenPath, otherPath}) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("seed");
    }
    const int given = ::open(QFile::encodeName(givenPath).constData(), O_RDONLY | O_CLOEXEC);
    QVERIFY(given >= 0);
    const QByteArray other = QFile::encodeName(otherPath);
    int report[2];
    QCOMPARE(::pipe(report), 0);

    const pid_t child = ::fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        ::close(report[0]);
        const int found = walledChild(walls, given, other.constData());
        // Stopped until the parent has read our status, then out without
        // exit handlers (they belong to the parent).
        ::write(report[1], &found, sizeof found);
        ::raise(SIGSTOP);
        ::_exit(0);
    }
    ::close(report[1]);
    ::close(given);
    int found = 0;
    QCOMPARE(::read(report[0], &found, sizeof found), ssize_t(sizeof found));
    ::close(report[0]);
    int status = 0;
    QCOMPARE(::waitpid(child, &status, WUNTRACED), child);
    QFile procStatus(QStringLiteral("/proc/%1/status").arg(child));
    QVERIFY(procStatus.open(QIODevice::ReadOnly));
    const QByteArray text = procStatus.readAll();
    if (text.contains("NoNewPrivs:\t1")
        && (walls == Walls::LandlockAlone || text.contains("Seccomp:\t2")))
        found |= StatusShowsIt;
    ::kill(child, SIGKILL);
    ::waitpid(child, &status, 0);

    QVERIFY2(found & WallsUp, "the kernel refused the walls");
    QCOMPARE(found, expected);
}

QTEST_GUILESS_MAIN(tst_Sandbox)
#include "tst_sandbox.moc"
