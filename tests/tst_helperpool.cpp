#include "base/imagelimits.h"
#include "fs/sourcefile.h"
#include "isolation/helperpool.h"
#include "isolation/isolatedread.h"

#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sched.h>
#include <sys/wait.h>
#include <time.h>

// The helper processes: sandboxed, pixels back whole, and a helper that
// dies or freezes costs one request, never the caller.
class tst_HelperPool : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void helpersAreSandboxed();
    void pixelsComeBackWhole_data();
    void pixelsComeBackWhole();
    void idleHelperGivesMemoryBack();
    void brokenHelper_data();
    void brokenHelper();
    void relativeHelperNameStarts();
    void givingUpEndsTheHelper();
    void starvedHelperFinishes();

private:
    HelperOutcome thumbnailOf(const QString &path, std::function<bool()> abandoned = {});
    // Sends sig to every helper waiting for work, and waits until it took.
    void signalIdleHelpers(int sig);

    QTemporaryDir dir;
    QString picture;
    double defaultScale = 1;
};

void tst_HelperPool::initTestCase()
{
    ImageLimits::configureProcess();
    QVERIFY(dir.isValid());
    QVERIFY2(HelperPool::instance().available(), qPrintable(HelperPool::helperPath()));
    picture = TestSupport::writeImage(dir.filePath(QStringLiteral("picture.png")), QSize(300, 200));
    QVERIFY(!picture.isEmpty());
    defaultScale = HelperPool::instance().timeScaleFactor();
}

void tst_HelperPool::cleanup()
{
    HelperPool::instance().setTimeScale(defaultScale);
    HelperPool::instance().endAll();
}

HelperOutcome tst_HelperPool::thumbnailOf(const QString &path, std::function<bool()> abandoned)
{
    SourceFile file(path);
    HelperCall call;
    call.request.job = Protocol::Job::Thumbnail;
    call.request.name = path;
    call.request.side = 128;
    call.source = file.device()->handle();
    call.baseSeconds = 4;
    call.abandoned = std::move(abandoned);
    return HelperPool::instance().run(call);
}

void tst_HelperPool::signalIdleHelpers(int sig)
{
    const QList<pid_t> helpers = HelperPool::instance().processIds();
    QVERIFY(!helpers.isEmpty());
    for (const pid_t pid : helpers) {
        QCOMPARE(::kill(pid, sig), 0);
        siginfo_t info{};
        // Looked at, not reaped: the pool reaps its own.
        QCOMPARE(::waitid(P_PID, id_t(pid), &info,
                          (sig == SIGSTOP ? WSTOPPED : WEXITED) | WNOWAIT),
                 0);
    }
}

// Every helper runs with no new privileges and under its seccomp filter,
// as its status in /proc shows.
void tst_HelperPool::helpersAreSandboxed()
{
    const HelperOutcome outcome = thumbnailOf(picture);
    QCOMPARE(outcome.status, HelperOutcome::Done);
    QCOMPARE(outcome.image.size(), QSize(128, 85));
    QVERIFY(HelperPool::instance().sandboxed());
    const QList<pid_t> helpers = HelperPool::instance().processIds();
    QCOMPARE(helpers.size(), 1);
    QFile status(QStringLiteral("/proc/%1/status").arg(helpers.first()));
    QVERIFY(status.open(QIODevice::ReadOnly));
    const QByteArray text = status.readAll();
    QVERIFY2(text.contains("NoNewPrivs:\t1"), text.constData());
    QVERIFY2(text.contains("Seccomp:\t2"), text.constData());
}

void tst_HelperPool::pixelsComeBackWhole_data()
{
    QTest::addColumn<bool>("alpha");
    QTest::addColumn<QString>("format");
    QTest::addColumn<QSize>("size");
    // Small pictures are copied out of the shared memory, large ones mapped.
    QTest::newRow("png with alpha, copied") << true << QStringLiteral("png") << QSize(333, 127);
    QTest::newRow("opaque bmp, copied") << false << QStringLiteral("bmp") << QSize(333, 127);
    QTest::newRow("png with alpha, mapped") << true << QStringLiteral("png") << QSize(1111, 333);
}

// A conversion's read: the picture from the helper's shared memory is the
// one a reader in this process makes, pixel for pixel.
void tst_HelperPool::pixelsComeBackWhole()
{
    QFETCH(bool, alpha);
    QFETCH(QString, format);
    QFETCH(QSize, size);
    const QString path = dir.filePath(QStringLiteral("whole.") + format);
    const QImage made = TestSupport::pattern(size, alpha);
    QVERIFY(made.save(path));
    SourceFile file(path);
    IsolatedRead::Request request;
    qint64 admitted = 0;
    request.admit = [&](qint64 bytes) {
        admitted = bytes;
        return true;
    };
    const IsolatedRead::Result read = IsolatedRead::read(file, path, request);
    QVERIFY2(!read.image.isNull(), qPrintable(read.reason));
    // The picture and its copy in shared memory, at least.
    QVERIFY(admitted >= 2 * ImageLimits::bytesFor(size));
    const QImage here(path);
    QCOMPARE(read.image.format(), here.format());
    QCOMPARE(read.image, here);
}

namespace {

qint64 residentKiB(pid_t pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QRegularExpressionMatch m =
            QRegularExpression(QStringLiteral("VmRSS:\\s+(\\d+) kB")).match(QString::fromLatin1(status.readAll()));
    return m.hasMatch() ? m.captured(1).toLongLong() : -1;
}

} // namespace

// A helper keeps what one request freed for the next, but not for good:
// once it has waited a while for a request, its memory is what it was.
void tst_HelperPool::idleHelperGivesMemoryBack()
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // The sanitizers' allocators replace malloc's: freed memory sits in
    // their quarantine and is not trimmed when the helper goes idle.
    QSKIP("the sanitizer's allocator keeps freed memory");
#endif
    const QString path = dir.filePath(QStringLiteral("retained.bmp"));
    QVERIFY(TestSupport::pattern(QSize(3000, 3000), false).save(path)); // 34 MiB decoded
    QCOMPARE(thumbnailOf(picture).status, HelperOutcome::Done);
    const QList<pid_t> helpers = HelperPool::instance().processIds();
    QCOMPARE(helpers.size(), 1);
    const qint64 before = residentKiB(helpers.first());
    QVERIFY(before > 0);
    {
        SourceFile file(path);
        const IsolatedRead::Result read = IsolatedRead::read(file, path, IsolatedRead::Request());
        QVERIFY2(!read.image.isNull(), qPrintable(read.reason));
    }
    QCOMPARE(HelperPool::instance().processIds(), helpers);
    QTRY_VERIFY_WITH_TIMEOUT(residentKiB(helpers.first()) < before + 8 * 1024, 120000);
}

void tst_HelperPool::brokenHelper_data()
{
    QTest::addColumn<int>("sig");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("reason");
    // Dead while it waited: seen before it is given work, and replaced.
    QTest::newRow("crashed") << int(SIGSEGV) << int(HelperOutcome::Done) << QString();
    // Frozen: it takes the work and never answers.
    QTest::newRow("frozen") << int(SIGSTOP) << int(HelperOutcome::TimedOut)
                            << QStringLiteral("reading took longer than \\d+ s");
}

void tst_HelperPool::brokenHelper()
{
    QFETCH(int, sig);
    QFETCH(int, status);
    QFETCH(QString, reason);
    QCOMPARE(thumbnailOf(picture).status, HelperOutcome::Done);
    signalIdleHelpers(sig);
    HelperPool::instance().setTimeScale(defaultScale / 8);
    const HelperOutcome outcome = thumbnailOf(picture);
    QCOMPARE(int(outcome.status), status);
    QVERIFY2(QRegularExpression(QStringLiteral("^(%1)$").arg(reason)).match(outcome.reason).hasMatch()
                     || (reason.isEmpty() && outcome.reason.isEmpty()),
             qPrintable(outcome.reason));
    // The next request gets a helper that works.
    const HelperOutcome next = thumbnailOf(picture);
    QCOMPARE(next.status, HelperOutcome::Done);
    QVERIFY(!next.image.isNull());
}

// A helper named relative to the working folder starts, although it is
// run from /.
void tst_HelperPool::relativeHelperNameStarts()
{
    const QByteArray absolute = qgetenv("PICTAVO_HELPER");
    QVERIFY(QFileInfo(QFile::decodeName(absolute)).isAbsolute());
    qputenv("PICTAVO_HELPER", QFile::encodeName(QDir::current().relativeFilePath(QFile::decodeName(absolute))));
    const HelperOutcome outcome = thumbnailOf(picture);
    qputenv("PICTAVO_HELPER", absolute);
    QCOMPARE(outcome.status, HelperOutcome::Done);
    QCOMPARE(outcome.image.size(), QSize(128, 85));
}

// A caller that gives up (Stop, Quit) does not wait for the helper: it is
// ended, whatever it is doing.
void tst_HelperPool::givingUpEndsTheHelper()
{
    QCOMPARE(thumbnailOf(picture).status, HelperOutcome::Done);
    const QList<pid_t> before = HelperPool::instance().processIds();
    signalIdleHelpers(SIGSTOP);
    int asked = 0;
    const HelperOutcome outcome = thumbnailOf(picture, [&]() { return ++asked > 2; });
    QCOMPARE(outcome.status, HelperOutcome::Abandoned);
    for (const pid_t pid : before)
        QVERIFY(!HelperPool::instance().processIds().contains(pid));
}

// A busy machine is not a stuck helper: one that gets next to no processor
// time for longer than its allowance on the clock still finishes.
void tst_HelperPool::starvedHelperFinishes()
{
    // Large enough to need more processor time than the helper gets while
    // it is starved.
    const QString large = TestSupport::writeImage(dir.filePath(QStringLiteral("large.bmp")),
                                                  QSize(2000, 1500));
    QCOMPARE(thumbnailOf(picture).status, HelperOutcome::Done);
    const QList<pid_t> helpers = HelperPool::instance().processIds();
    QCOMPARE(helpers.size(), 1);
    // The helper and a busy process on one processor, the helper at the
    // idle policy: while the busy one runs the helper gets a fraction of a
    // percent of it.
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(0, &one);
    const sched_param none{};
    if (::sched_setaffinity(helpers.first(), sizeof one, &one) != 0
        || ::sched_setscheduler(helpers.first(), SCHED_IDLE, &none) != 0)
        QSKIP("cannot pin the helper or lower its priority here");
    HelperPool::instance().setTimeScale(defaultScale / 8);
    const double allowed = 4 * defaultScale / 8;
    const pid_t busy = ::fork();
    QVERIFY(busy >= 0);
    if (busy == 0) {
        ::sched_setaffinity(0, sizeof one, &one);
        timespec now{};
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        const double until = double(now.tv_sec) + now.tv_nsec / 1e9 + 2 * allowed;
        while (double(now.tv_sec) + now.tv_nsec / 1e9 < until)
            ::clock_gettime(CLOCK_MONOTONIC, &now);
        ::_exit(0);
    }
    const HelperOutcome outcome = thumbnailOf(large);
    int status = 0;
    ::kill(busy, SIGKILL);
    ::waitpid(busy, &status, 0);
    QCOMPARE(outcome.status, HelperOutcome::Done);
    QCOMPARE(outcome.image.size(), QSize(128, 96));
}

QTEST_GUILESS_MAIN(tst_HelperPool)
#include "tst_helperpool.moc"
