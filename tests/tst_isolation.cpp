#include "base/imagelimits.h"
#include "conversion/batchrunner.h"
#include "isolation/helperpool.h"
#include "ui/mainwindow.h"

#include "hostile/hostilecorpus.h"
#include "hostile/openedwindow.h"
#include "testsupport.h"
#include "urlcatcher.h"

#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QTest>

#include <csignal>
#include <cstring>
#include <memory>
#include <unistd.h>

using namespace Hostile;

// Through the real window: helpers that crash or freeze mid-batch cost the
// images they held and nothing else, and a file that never finishes
// decoding fails by its time limit.
class tst_Isolation : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void cleanup();

    void killedAndFrozenHelpersCostTheirImages();
    void truncatedRawFailsByItsTimeLimit();

private:

    QTemporaryDir settingsDir;
    QTemporaryDir work;
    UrlCatcher sink;
    double defaultScale = 1;
};

namespace {

// The helper processes this test process started, found as its children.
QList<pid_t> childHelpers()
{
    QList<pid_t> found;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString &entry : entries) {
        bool number = false;
        const pid_t pid = entry.toInt(&number);
        if (!number)
            continue;
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        // pid (comm) state ppid ...
        const QByteArray text = stat.readAll();
        const int close = text.lastIndexOf(')');
        const QList<QByteArray> rest = text.mid(close + 2).split(' ');
        if (text.mid(text.indexOf('(') + 1, close - text.indexOf('(') - 1) == "pictavo-helper"
            && rest.value(1).toInt() == ::getpid())
            found << pid;
    }
    return found;
}

// A Phase One RAW cut short after its header: the directory of its
// metadata block claims four billion entries, which libraw walks one by
// one past the end of the file.
QString writeTruncatedIiq(const QString &path)
{
    QByteArray bytes(1700, '\0');
    const auto put4 = [&](int at, quint32 value) { std::memcpy(bytes.data() + at, &value, 4); };
    std::memcpy(bytes.data(), "IIII\0waR", 8);
    put4(8, 16);       // the first directory
    put4(16, 1);       // one entry:
    put4(24, 0x110);   // the metadata block,
    put4(36, 64);      // at 64
    std::memcpy(bytes.data() + 64, "II", 2);
    put4(72, 16);      // its directory at 64 + 16,
    put4(80, 0xFFFFFFFFu); // of ever so many entries
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        return QString();
    return path;
}

} // namespace

void tst_Isolation::initTestCase()
{
    ImageLimits::configureProcess(); // as main() does
    QVERIFY(settingsDir.isValid() && work.isValid());
    TestSupport::isolateSettings(settingsDir);
    QDesktopServices::setUrlHandler(QStringLiteral("file"), &sink, "open");
    QVERIFY2(HelperPool::instance().available(), qPrintable(HelperPool::helperPath()));
    defaultScale = HelperPool::instance().timeScaleFactor();
}

void tst_Isolation::cleanupTestCase()
{
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
}

void tst_Isolation::cleanup()
{
    HelperPool::instance().setTimeScale(defaultScale);
    HelperPool::instance().endAll();
}

// One helper killed with SIGSEGV and another frozen with SIGSTOP while they
// convert: the batch finishes, at most those two images fail and say why,
// every other one is written whole.
void tst_Isolation::killedAndFrozenHelpersCostTheirImages()
{
    const QString dir = work.filePath(QStringLiteral("faults"));
    QDir().mkpath(dir);
    const int count = 12;
    const QSize size(3000, 2000);
    const QImage picture = TestSupport::pattern(size);
    QStringList files;
    for (int i = 0; i < count; ++i) {
        const QString path = QStringLiteral("%1/photo-%2.png").arg(dir).arg(i, 2, 10, QLatin1Char('0'));
        QVERIFY(picture.save(path));
        files << path;
    }
    auto w = openedWindow(files);
    QVERIFY(w);
    WindowDriver d(w.get());
    auto *runner = w->findChild<BatchRunner *>();
    QVERIFY(runner);
    BatchReport report;
    bool finished = false;
    connect(runner, &BatchRunner::batchFinished, this, [&](const BatchReport &r) {
        report = r;
        finished = true;
    });
    // The frozen one is ended after several seconds, not a minute; the
    // others stay well within theirs even on a busy machine.
    HelperPool &pool = HelperPool::instance();
    pool.setTimeScale(defaultScale / 2);
    d.format->setCurrentIndex(1); // BMP
    QVERIFY(d.startCommand(FormatCommand));
    // Two helpers converting for the batch (others may be making list
    // thumbnails of the files written).
    const QString decoding = QStringLiteral("convert");
    QTRY_VERIFY_WITH_TIMEOUT(pool.busyProcessIds(decoding).size() >= 2 || finished, 120000);
    QVERIFY2(!finished, "the batch ended before two helpers were at work");
    const QList<pid_t> busy = pool.busyProcessIds(decoding);
    const QList<pid_t> children = childHelpers();
    for (const pid_t pid : busy)
        QVERIFY(children.contains(pid));
    QCOMPARE(::kill(busy.at(0), SIGSEGV), 0);
    QCOMPARE(::kill(busy.at(1), SIGSTOP), 0);

    QTRY_VERIFY_WITH_TIMEOUT(finished, 300000);
    QVERIFY(report.failures.size() >= 1 && report.failures.size() <= 2);
    for (const ImageFailure &failure : std::as_const(report.failures)) {
        // Decoding or encoding, whichever step it was at.
        QVERIFY2(failure.reason == QLatin1String("the decoder stopped on this file")
                         || failure.reason == QLatin1String("the encoder stopped on this file")
                         || failure.reason.startsWith(QLatin1String("reading took longer than "))
                         || failure.reason.startsWith(QLatin1String("encoding took longer than ")),
                 qPrintable(failure.reason));
    }
    QCOMPARE(report.written + report.failures.size(), count);
    const QString out = dir + QStringLiteral("/ConvertedImages");
    const QStringList written = filesIn(out);
    QCOMPARE(written.size(), report.written); // and no temporary beside them
    for (const QString &name : written) {
        QString why;
        QVERIFY2(isCompleteImage(out + QLatin1Char('/') + name, size, &why),
                 qPrintable(name + QStringLiteral(": ") + why));
    }
    // Neither helper is left behind.
    QTRY_VERIFY(!childHelpers().contains(busy.at(0)) && !childHelpers().contains(busy.at(1)));
}

// A RAW whose header never finishes parsing: its thumbnail gives up, the
// list loads, its conversion fails by its time limit, and the next batch
// runs.
void tst_Isolation::truncatedRawFailsByItsTimeLimit()
{
    const QString dir = work.filePath(QStringLiteral("raw"));
    QDir().mkpath(dir);
    const QStringList files{
            TestSupport::writeImage(dir + QStringLiteral("/before.png"), QSize(64, 48)),
            writeTruncatedIiq(dir + QStringLiteral("/truncated-at-1700.iiq")),
            TestSupport::writeImage(dir + QStringLiteral("/after.png"), QSize(64, 48))};
    QVERIFY(!files.contains(QString()));
    HelperPool &pool = HelperPool::instance();
    pool.setTimeScale(defaultScale / 4);
    auto w = openedWindow(files);
    QVERIFY(w);
    WindowDriver d(w.get());
    auto *runner = w->findChild<BatchRunner *>();
    QVERIFY(runner);
    QList<BatchReport> reports;
    connect(runner, &BatchRunner::batchFinished, this,
            [&](const BatchReport &r) { reports << r; });
    d.format->setCurrentIndex(4); // png
    for (int batch = 1; batch <= 2; ++batch) {
        QVERIFY(d.startCommand(FormatCommand));
        QTRY_COMPARE_WITH_TIMEOUT(reports.size(), batch, 300000);
        const BatchReport &report = reports.last();
        QCOMPARE(report.written, 2);
        QCOMPARE(report.failures.size(), 1);
        QCOMPARE(report.failures.first().path, files.at(1));
        QVERIFY2(report.failures.first().reason.startsWith(QLatin1String("reading took longer than ")),
                 qPrintable(report.failures.first().reason));
    }
    QCOMPARE(filesIn(dir + QStringLiteral("/ConvertedImages")),
             (QStringList{QStringLiteral("after.png"), QStringLiteral("before.png")}));
}

QTEST_MAIN(tst_Isolation)
#include "tst_isolation.moc"
