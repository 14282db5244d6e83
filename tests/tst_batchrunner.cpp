#include "conversion/batchrunner.h"
#include "conversion/convertsettings.h"
#include "base/imagelimits.h"
#include "conversion/imagethread.h"
#include "encode/outputformat.h"
#include "isolation/helperpool.h"
#include "ui/mainwindow.h"
#include "ui_mainwindow.h"

#include "testsupport.h"
#include "windowfixture.h"

#include <QRandomGenerator>
#include <QSignalSpy>
#include <QStatusBar>
#include <QThread>
#include <QTimer>

using namespace TestSupport;

// The runner of batches: places in flight, reports, stop and shutdown, on
// its own and behind the window's convert commands.
class tst_BatchRunner : public QObject, private WindowFixture
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void boundsAndReports();
    void stopEndsBatchWhole();
    void stopDoesNotWaitForLargeImage();
    void shutdownDropsWaiting();
    void secondCommandDuringBatch();
    void boundedWorkers();
    void closingMidBatch();

private:
    QStringList savedNames() const { return filesIn(outDir); }

    QTemporaryDir tmp;
    ConvertSettings toPng;
    // The window's tests: its settings, and a folder of each test's own
    // whose out/ is the save folder.
    QTemporaryDir settingsDir;
    QTemporaryDir *work = nullptr;
    QString outDir;
};

void tst_BatchRunner::initTestCase()
{
    QVERIFY(tmp.isValid() && settingsDir.isValid());
    isolateSettings(settingsDir);
    ImageLimits::configureProcess();
    toPng.sizeMode = SizeMode::Fixed;
    toPng.fixedSize = QSize(20, 20);
    toPng.format = TargetFormat::of(OutputFormat::of(QStringLiteral("PNG")));
}

void tst_BatchRunner::init()
{
    work = new QTemporaryDir;
    outDir = work->filePath(QStringLiteral("out"));
}

void tst_BatchRunner::cleanup()
{
    delete work;
    work = nullptr;
}

void tst_BatchRunner::boundsAndReports()
{
    QStringList files;
    for (int i = 0; i < 6; ++i)
        files << writeImage(tmp.filePath(QStringLiteral("b/%1.png").arg(i)), QSize(200, 200));
    files << tmp.filePath(QStringLiteral("b/missing.png"));
    BatchRunner runner;
    runner.setMaxInFlight(2);
    int most = 0;
    connect(&runner, &BatchRunner::imageConvertFinished, this,
            [&]() { most = qMax(most, runner.runningCount()); });
    QSignalSpy results(&runner, &BatchRunner::imageConvertFinished);
    QSignalSpy finished(&runner, &BatchRunner::batchFinished);
    QSignalSpy rows(&runner, &BatchRunner::rowWritten);
    QSignalSpy progress(&runner, &BatchRunner::progressChanged);
    const QString out = tmp.filePath(QStringLiteral("b/out"));
    runner.start(QStringLiteral("done"), ConvertMode::SizeConvert, toPng, files, out, true, true);
    // Workers are made only as places free up; the batch shows at once.
    QCOMPARE(runner.runningCount(), 2);
    QCOMPARE(runner.waitingCount(), 5);
    QCOMPARE(progress.count(), 1);
    QCOMPARE(progress.at(0).at(1).toInt(), 7);
    QVERIFY(finished.wait(20000));
    const auto report = finished.at(0).at(0).value<BatchReport>();
    QCOMPARE(report.finishedText, QStringLiteral("done"));
    QCOMPARE(report.total, 7);
    QCOMPARE(report.written, 6);
    QCOMPARE(report.failures.size(), 1);
    QCOMPARE(report.failures.at(0).step, ConversionResult::Open);
    QVERIFY(!report.stopped);
    QCOMPARE(report.directory, out);
    QVERIFY(report.openFolder);
    QCOMPARE(results.count(), 7); // every worker's, the unreadable one's too
    QCOMPARE(rows.count(), 6);
    QCOMPARE(rows.at(0).at(1).value<QImage>().size(), QSize(128, 128));
    QVERIFY(most <= 2);
    QCOMPARE(runner.runningCount(), 0);
    // The end of the work shows at once, and the time it took.
    QCOMPARE(progress.last().at(1).toInt(), 0);
    QVERIFY(progress.at(progress.count() - 2).at(2).toLongLong() >= 0);
}

void tst_BatchRunner::stopEndsBatchWhole()
{
    QStringList files;
    for (int i = 0; i < 12; ++i)
        files << writeImage(tmp.filePath(QStringLiteral("s/%1.png").arg(i)), QSize(300, 300));
    BatchRunner runner;
    runner.setMaxInFlight(2);
    QSignalSpy finished(&runner, &BatchRunner::batchFinished);
    QSignalSpy rows(&runner, &BatchRunner::rowWritten);
    const QString out = tmp.filePath(QStringLiteral("s/out"));
    runner.start(QStringLiteral("done"), ConvertMode::FormatConvert, toPng, files, out, true, false);
    QVERIFY(rows.wait(20000));
    runner.stop();
    QCOMPARE(runner.waitingCount(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 120000);
    const auto report = finished.at(0).at(0).value<BatchReport>();
    QVERIFY(report.stopped);
    QVERIFY(report.written >= 1 && report.written < 12);
    QCOMPARE(report.failures.size(), 0);
    // What was written is whole and listed; nothing else is in the folder.
    QTRY_COMPARE(runner.runningCount(), 0);
    const QStringList names = QDir(out).entryList(QDir::Files | QDir::Hidden);
    QCOMPARE(names.size(), report.written);
    QCOMPARE(rows.count(), report.written);
    for (const QString &name : names)
        QCOMPARE(QImage(out + QLatin1Char('/') + name).size(), QSize(300, 300));
}

// A large image still being encoded does not hold the stopped batch's
// report back; it is dropped when it gets to its commit.
void tst_BatchRunner::stopDoesNotWaitForLargeImage()
{
    QImage noise(2500, 2500, QImage::Format_RGB32);
    QRandomGenerator random(3);
    for (int y = 0; y < noise.height(); ++y)
        for (int x = 0; x < noise.width(); ++x)
            noise.setPixel(x, y, random.generate());
    const QString large = tmp.filePath(QStringLiteral("l/0-large-noise.png"));
    QDir().mkpath(tmp.filePath(QStringLiteral("l")));
    QVERIFY(noise.save(large));
    QStringList files{large};
    for (int i = 0; i < 10; ++i)
        files << writeImage(tmp.filePath(QStringLiteral("l/%1.png").arg(i)), QSize(50, 50));
    BatchRunner runner;
    runner.setMaxInFlight(2);
    QSignalSpy rows(&runner, &BatchRunner::rowWritten);
    int runningAtReport = -1;
    BatchReport report;
    connect(&runner, &BatchRunner::batchFinished, this, [&](const BatchReport &r) {
        report = r;
        runningAtReport = runner.runningCount();
    });
    const QString out = tmp.filePath(QStringLiteral("l/out"));
    runner.start(QStringLiteral("done"), ConvertMode::FormatConvert, toPng, files, out, true, false);
    QVERIFY(rows.wait(20000));
    runner.stop();
    QTRY_VERIFY_WITH_TIMEOUT(runningAtReport >= 0, 120000);
    QVERIFY(report.stopped);
    QVERIFY(runningAtReport >= 1); // the large one at least, still being encoded
    QTRY_COMPARE_WITH_TIMEOUT(runner.runningCount(), 0, 120000);
    QCOMPARE(rows.count(), report.written);
    QStringList names = QDir(out).entryList(QDir::Files | QDir::Hidden);
    QCOMPARE(names.size(), report.written);
    QVERIFY(!names.contains(QStringLiteral("0-large-noise.png")));
}

void tst_BatchRunner::shutdownDropsWaiting()
{
    QStringList files(5, writeImage(tmp.filePath("d/s.png"), QSize(400, 400)));
    auto *runner = new BatchRunner;
    runner->setMaxInFlight(1);
    QSignalSpy results(runner, &BatchRunner::imageConvertFinished);
    runner->start(QStringLiteral("done"), ConvertMode::SizeConvert, toPng, files,
                  tmp.filePath("d/out"), true, false);
    QCOMPARE(runner->runningCount(), 1);
    delete runner; // waits for the running one, drops the rest
    QCoreApplication::processEvents();
    QCOMPARE(results.count(), 0);
    QVERIFY(!QFileInfo::exists(tmp.filePath("d/out/s.png")));
}

void tst_BatchRunner::secondCommandDuringBatch()
{
    QStringList files;
    for (int i = 0; i < 12; ++i)
        files << writeImage(work->filePath(QStringLiteral("src/%1.png").arg(i)), QSize(200, 200));
    QScopedPointer<MainWindow> w(window(files, outDir));
    w->batchRunner->setMaxInFlight(1);
    QStringList messages;
    connect(w->ui->statusBar, &QStatusBar::messageChanged, this,
            [&](const QString &m) { if (!m.isEmpty()) messages << TestSupport::withoutSaved(m); });
    w->sizeConvert();
    QVERIFY(w->batchRunner->waitingCount() > 0);
    w->ui->comboBoxFormat->setCurrentIndex(2);
    w->formatConvert();
    QTRY_COMPARE_WITH_TIMEOUT(messages.size(), 2, 120000);
    QVERIFY(messages.contains(QStringLiteral("Size convert finished")));
    QVERIFY(messages.contains(QStringLiteral("Format convert finished")));
    // Late results of the first batch are listed after the list was cleared.
    QCOMPARE(w->ui->listWidgetConvert->count(), 24);
    QCOMPARE(savedNames().size(), 24);
}

void tst_BatchRunner::boundedWorkers()
{
    QStringList files;
    for (int i = 0; i < 20; ++i)
        files << writeImage(work->filePath(QStringLiteral("src/%1.png").arg(i)), QSize(600, 600));
    QScopedPointer<MainWindow> w(window(files, outDir));
    int most = 0;
    // Of the images in flight, one per core is in the helpers; the others
    // wait for a helper rather than share the cores.
    qsizetype inHelpers = 0;
    QTimer poll;
    connect(&poll, &QTimer::timeout, this, [&]() {
        most = qMax(most, w->batchRunner->runningCount());
        inHelpers = qMax(inHelpers, HelperPool::instance().busyProcessIds(QStringLiteral("convert")).size());
    });
    poll.start(1);
    w->bothConvert();
    QCOMPARE(w->batchRunner->runningCount(), w->batchRunner->maxInFlight());
    // Twenty images through the helpers: seconds under a sanitizer.
    QTRY_COMPARE_WITH_TIMEOUT(TestSupport::withoutSaved(w->ui->statusBar->currentMessage()),
                              QStringLiteral("Size and format convert finished"), 120000);
    QVERIFY(most <= BatchRunner::defaultMaxInFlight());
    QVERIFY(BatchRunner::defaultMaxInFlight() <= QThread::idealThreadCount() + 2);
    QVERIFY2(inHelpers >= 1 && inHelpers <= QThread::idealThreadCount(),
             qPrintable(QStringLiteral("%1 in the helpers at once").arg(inHelpers)));
    QCOMPARE(savedNames().size(), 20);
}

void tst_BatchRunner::closingMidBatch()
{
    QStringList files;
    for (int i = 0; i < 30; ++i)
        files << writeImage(work->filePath(QStringLiteral("src/%1.png").arg(i)), QSize(300, 300));
    auto *w = window(files, outDir);
    w->show();
    w->bothConvert();
    QTRY_VERIFY(!savedNames().isEmpty());
    w->close();
    delete w; // waits for what is running, drops the rest
    // Whatever was written is whole: no temporary leftovers, every file decodes.
    for (const QString &name : savedNames()) {
        QVERIFY2(name.endsWith(QLatin1String(".png")), qPrintable(name));
        QVERIFY(!QImage(outDir + "/" + name).isNull());
    }
    QVERIFY(savedNames().size() < 30);
}

QTEST_MAIN(tst_BatchRunner)
#include "tst_batchrunner.moc"
