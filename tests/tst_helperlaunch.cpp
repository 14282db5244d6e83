#include "isolation/helperlaunch.h"
#include "isolation/helperpool.h"

#include <QDir>
#include <QFile>
#include <QTest>

#include <csignal>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

// A real pictavo-helper, started as the window starts one, looked at
// through /proc once it says it is ready: nothing of the window's is left
// to it but its socket.
class tst_HelperLaunch : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void startsWithNothing_data();
    void startsWithNothing();
    void environment_data();
    void environment();

private:
    QByteArray proc(const char *name) const;
    HelperLaunch::Process helper;
};

void tst_HelperLaunch::initTestCase()
{
    // What a user's session might hold, and a helper has no use for.
    qputenv("PICTAVO_PRIVATE", "1");
    qputenv("HOME", "/home/somebody");
    qputenv("LC_TIME", "C");
    // Blocked here, as a worker's signals may be.
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
    QString why;
    QVERIFY2(HelperLaunch::start(QFile::encodeName(HelperPool::helperPath()), &helper, &why),
             qPrintable(why));
    pthread_sigmask(SIG_UNBLOCK, &blocked, nullptr);
    // Ready: it has loaded everything and put its sandbox up.
    pollfd p{helper.socket, POLLIN, 0};
    QCOMPARE(::poll(&p, 1, 60000), 1);
}

void tst_HelperLaunch::cleanupTestCase()
{
    ::kill(helper.pid, SIGKILL);
    ::waitpid(helper.pid, nullptr, 0);
    ::close(helper.socket);
}

QByteArray tst_HelperLaunch::proc(const char *name) const
{
    QFile file(QStringLiteral("/proc/%1/%2").arg(helper.pid).arg(QLatin1String(name)));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void tst_HelperLaunch::startsWithNothing_data()
{
    QTest::addColumn<QString>("what");
    for (const char *row : {"descriptors", "standard descriptors", "working folder", "session",
                            "no terminal", "limits", "signals", "every thread filtered",
                            "no widgets or network"})
        QTest::newRow(row) << QString::fromLatin1(row);
}

void tst_HelperLaunch::startsWithNothing()
{
    QFETCH(QString, what);
    const QString fd = QStringLiteral("/proc/%1/fd").arg(helper.pid);
    // Fields after the name in parentheses: state, parent, group, session, terminal.
    const QByteArray stat = proc("stat");
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    if (what == QLatin1String("descriptors")) {
        // 0 to 3, and what it made itself while loading (an event loop's
        // wake-up): nothing of the window's.
        const QStringList open = QDir(fd).entryList(QDir::Files | QDir::System);
        QCOMPARE(open.mid(0, 4), QStringList({"0", "1", "2", "3"}));
        for (const QString &n : open.mid(4)) {
            const QString target = QFile::symLinkTarget(fd + QLatin1Char('/') + n);
            QVERIFY2(target.isEmpty() || target.contains(QLatin1String("anon_inode:")),
                     qPrintable(target));
        }
    } else if (what == QLatin1String("standard descriptors")) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
        // Sanitizer builds leave the helper the window's stderr, where
        // their reports belong.
        const std::initializer_list<const char *> quiet = {"0", "1"};
#else
        const std::initializer_list<const char *> quiet = {"0", "1", "2"};
#endif
        for (const char *n : quiet)
            QCOMPARE(QFile::symLinkTarget(fd + QLatin1Char('/') + QLatin1String(n)),
                     QStringLiteral("/dev/null"));
    } else if (what == QLatin1String("working folder")) {
        QCOMPARE(QFile::symLinkTarget(QStringLiteral("/proc/%1/cwd").arg(helper.pid)),
                 QStringLiteral("/"));
    } else if (what == QLatin1String("session")) {
        QCOMPARE(fields.value(3).toInt(), int(helper.pid));
    } else if (what == QLatin1String("no terminal")) {
        QCOMPARE(fields.value(4).toInt(), 0);
    } else if (what == QLatin1String("limits")) {
        const QByteArray limits = proc("limits").simplified();
        QVERIFY2(limits.contains("Max core file size 0 0 bytes"), limits.constData());
        QVERIFY2(!limits.contains("Max file size unlimited"), limits.constData());
    } else if (what == QLatin1String("signals")) {
        QVERIFY(proc("status").contains("SigBlk:\t0000000000000000"));
    } else if (what == QLatin1String("no widgets or network")) {
        // What reading and writing images needs, and nothing of the window's.
        const QByteArray maps = proc("maps");
        QVERIFY(maps.contains("libQt6Core"));
        QVERIFY(!maps.contains("libQt6Widgets"));
        QVERIFY(!maps.contains("libQt6Network"));
    } else {
        const QString tasks = QStringLiteral("/proc/%1/task").arg(helper.pid);
        const QStringList threads = QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        QVERIFY(!threads.isEmpty());
        for (const QString &thread : threads) {
            QFile status(tasks + QLatin1Char('/') + thread + QStringLiteral("/status"));
            QVERIFY(status.open(QIODevice::ReadOnly));
            const QByteArray text = status.readAll();
            QVERIFY2(text.contains("Seccomp:\t2"), text.constData());
#if defined(__SANITIZE_THREAD__)
            // The thread sanitizer's own thread starts before main() and,
            // capabilities being a thread's own, keeps them: the helper's
            // thread is checked here, every thread in the other builds.
            if (thread != QString::number(helper.pid))
                continue;
#endif
            QVERIFY2(text.contains("CapEff:\t0000000000000000"), text.constData());
        }
    }
}

void tst_HelperLaunch::environment_data()
{
    QTest::addColumn<QByteArray>("entry");
    QTest::addColumn<bool>("kept");
    QTest::newRow("locale") << QByteArray("LANG=de_DE.UTF-8") << true;
    QTest::newRow("locale category") << QByteArray("LC_TIME=C") << true;
    QTest::newRow("plug-ins") << QByteArray("QT_PLUGIN_PATH=/opt/qt") << true;
    QTest::newRow("sanitizer") << QByteArray("ASAN_OPTIONS=detect_leaks=1") << true;
    QTest::newRow("home") << QByteArray("HOME=/home/somebody") << false;
    QTest::newRow("path") << QByteArray("PATH=/usr/bin") << false;
    QTest::newRow("preload") << QByteArray("LD_PRELOAD=/tmp/x.so") << false;
    QTest::newRow("display") << QByteArray("DISPLAY=:0") << false;
    QTest::newRow("a name beginning like a kept one") << QByteArray("LANGX=1") << false;
    QTest::newRow("no value") << QByteArray("LANG") << false;
}

void tst_HelperLaunch::environment()
{
    QFETCH(QByteArray, entry);
    QFETCH(bool, kept);
    const char *const given[] = {"TZ=UTC", entry.constData(), nullptr};
    QList<QByteArray> expected{"TZ=UTC"};
    if (kept)
        expected << entry;
    QCOMPARE(HelperLaunch::environmentFrom(given), expected);
    // And the real helper has what it was given, no more.
    const QList<QByteArray> real = proc("environ").split('\0');
    QVERIFY(real.contains("LC_TIME=C"));
    QVERIFY(!real.contains("PICTAVO_PRIVATE=1"));
    QVERIFY(!real.contains("HOME=/home/somebody"));
}

QTEST_GUILESS_MAIN(tst_HelperLaunch)
#include "tst_helperlaunch.moc"
