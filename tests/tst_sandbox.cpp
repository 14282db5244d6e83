#include "isolation/sandbox.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

// The walls a helper puts up around itself, tried in a forked child: what
// reaches outside the process fails, what it is for (reading the
// descriptor it was given) still works.
class tst_Sandbox : public QObject
{
    Q_OBJECT

private slots:
    void childIsWalledIn();
};

namespace {

// What the child found, one bit each; all set is the expected outcome.
enum Finding {
    Filtered = 1,
    OpenRefused = 2,
    SocketRefused = 4,
    ExecRefused = 8,
    DescriptorRead = 16,
    StatusShowsIt = 32,
    KillOthersRefused = 64,
};

int walledChild(int given, const char *elsewhere)
{
    int found = 0;
    if (Sandbox::apply(Sandbox::Limits()))
        found |= Filtered;
    errno = 0;
    if (::open(elsewhere, O_RDONLY) < 0 && errno == EPERM)
        found |= OpenRefused;
    errno = 0;
    if (::socket(AF_UNIX, SOCK_STREAM, 0) < 0 && errno == EPERM)
        found |= SocketRefused;
    char *const argv[] = {const_cast<char *>("/bin/true"), nullptr};
    errno = 0;
    if (::execve("/bin/true", argv, nullptr) < 0 && errno == EPERM)
        found |= ExecRefused;
    char bytes[5] = {};
    if (::pread(given, bytes, 4, 0) == 4 && qstrcmp(bytes, "seed") == 0)
        found |= DescriptorRead;
    errno = 0;
    if (::kill(::getppid(), 0) < 0 && errno == EPERM)
        found |= KillOthersRefused;
    return found;
}

} // namespace

void tst_Sandbox::childIsWalledIn()
{
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
        const int found = walledChild(given, other.constData());
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
    if (text.contains("NoNewPrivs:\t1") && text.contains("Seccomp:\t2"))
        found |= StatusShowsIt;
    ::kill(child, SIGKILL);
    ::waitpid(child, &status, 0);

    QVERIFY2(found & Filtered, "the kernel refused the filter");
    QVERIFY(found & OpenRefused);
    QVERIFY(found & SocketRefused);
    QVERIFY(found & ExecRefused);
    QVERIFY(found & KillOthersRefused);
    QVERIFY(found & DescriptorRead);
    QVERIFY(found & StatusShowsIt);
}

QTEST_GUILESS_MAIN(tst_Sandbox)
#include "tst_sandbox.moc"
