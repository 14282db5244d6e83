#include "conversion/batchrunner.h"
#include "conversion/conversionjob.h"
#include "base/imagelimits.h"
#include "ui/mainwindow.h"
#include "fs/targetnamer.h"

#include "hostile/hostilecorpus.h"
#include "hostile/windowdriver.h"
#include "testsupport.h"
#include "urlcatcher.h"

#include <QDesktopServices>
#include <QElapsedTimer>
#include <QProcess>
#include <QSignalSpy>
#include <QRegularExpression>
#include <QStandardPaths>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

using namespace Hostile;

using TestSupport::checksum;
using TestSupport::writeImage;

// What must never happen to a user's files, through the whole window:
// sources replaced on case-folding volumes, writes through planted links,
// reads that block for ever, memory that runs out, names that outgrow the
// file system, temporaries left behind.
class tst_Safety : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void notRegularSources_data();
    void notRegularSources();
    void linksInSaveFolder();
    void longNames_data();
    void longNames();
    void staleTemporariesRemoved();
    void caseFoldingVolume();
    void encoderOutOfMemory();
    void craftedWithinMemory_data();
    void craftedWithinMemory();

private:
    std::unique_ptr<MainWindow> newWindow(WindowDriver **driver);
    StatusReport openAndRun(WindowDriver &d, const QStringList &files, int command);
    QString freshDir(const QString &name);
    QString runUnderLimit(const QString &images, const QString &headroomMB,
                          const QString &percent, const QString &formatIndex);

    QTemporaryDir settingsDir;
    QTemporaryDir work;
    UrlCatcher sink;
    std::unique_ptr<WindowDriver> driver;
};

void tst_Safety::initTestCase()
{
    ImageLimits::configureProcess(); // as main() does
    QVERIFY(settingsDir.isValid() && work.isValid());
    TestSupport::isolateSettings(settingsDir);
    QDesktopServices::setUrlHandler(QStringLiteral("file"), &sink, "open");
}

void tst_Safety::cleanupTestCase()
{
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
}

QString tst_Safety::freshDir(const QString &name)
{
    const QString dir = work.filePath(name);
    QDir(dir).removeRecursively();
    QDir().mkpath(dir);
    return dir;
}

std::unique_ptr<MainWindow> tst_Safety::newWindow(WindowDriver **d)
{
    auto w = std::make_unique<MainWindow>();
    w->show();
    driver = std::make_unique<WindowDriver>(w.get());
    driver->autoOpen->setChecked(false);
    *d = driver.get();
    return w;
}

// Opens the files through the dialog, waits for every thumbnail, runs the
// command and waits for its report.
StatusReport tst_Safety::openAndRun(WindowDriver &d, const QStringList &files, int command)
{
    StatusReport report;
    if (!d.startOpen(files))
        return report;
    if (!QTest::qWaitFor([&]() {
            return d.status->currentMessage()
                    == QStringLiteral("%1 images loaded").arg(files.size());
        }, 30000))
        return report;
    if (!d.startCommand(command))
        return report;
    if (!QTest::qWaitFor([&]() { return d.report().finished; }, 60000))
        qWarning("the batch did not finish");
    return d.report();
}

void tst_Safety::notRegularSources_data()
{
    QTest::addColumn<bool>("replacedAfterOpening");
    QTest::newRow("fifo among the chosen files") << false;
    QTest::newRow("source replaced by a fifo before converting") << true;
}

void tst_Safety::notRegularSources()
{
    QFETCH(bool, replacedAfterOpening);
    const QString dir = freshDir(QStringLiteral("fifo"));
    const QString good = writeImage(dir + QStringLiteral("/good.png"), QSize(40, 30));
    const QString fifo = dir + QStringLiteral("/fifo-named-photo.jpg");
    if (replacedAfterOpening)
        writeImage(fifo, QSize(40, 30), "JPEG");
    else
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);

    WindowDriver *d = nullptr;
    auto w = newWindow(&d);
    QVERIFY(d->startOpen({good, fifo}));
    QTRY_COMPARE_WITH_TIMEOUT(d->status->currentMessage(), QStringLiteral("2 images loaded"),
                              120000);
    if (replacedAfterOpening) {
        QVERIFY(QFile::remove(fifo));
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    }
    QVERIFY(d->startCommand(BothCommand));
    QTRY_VERIFY_WITH_TIMEOUT(d->report().finished, 120000);
    QCOMPARE(TestSupport::withoutSaved(d->status->currentMessage()),
             QStringLiteral("Size and format convert finished, 1 of 2 images failed"));
    QCOMPARE(d->converted->count(), 1);
    // Closing does not wait on the FIFO either: the window goes at once.
    w.reset();
}

void tst_Safety::linksInSaveFolder()
{
    const QString src = freshDir(QStringLiteral("links/src"));
    const QString out = freshDir(QStringLiteral("links/src/ConvertedImages"));
    const QString outside = freshDir(QStringLiteral("links/outside"));
    const QString profile = outside + QStringLiteral("/.profile");
    {
        QFile f(profile);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("export PATH=/usr/bin\n");
    }
    const QByteArray profileSum = checksum(profile);
    // An unpacked archive's folder: one link to a file elsewhere, one
    // dangling link that would create a file elsewhere.
    QVERIFY(QFile::link(QStringLiteral("../../outside/.profile"), out + QStringLiteral("/IMG_0001.png")));
    QVERIFY(QFile::link(QStringLiteral("../../outside/created.png"), out + QStringLiteral("/IMG_0002.png")));
    const QStringList files{writeImage(src + QStringLiteral("/IMG_0001.jpg"), QSize(32, 24), "JPEG"),
                            writeImage(src + QStringLiteral("/IMG_0002.jpg"), QSize(32, 24), "JPEG")};

    WindowDriver *d = nullptr;
    auto w = newWindow(&d);
    d->format->setCurrentIndex(4); // png
    const StatusReport report = openAndRun(*d, files, FormatCommand);
    QVERIFY(report.finished);
    QCOMPARE(report.failed, 0);
    QCOMPARE(checksum(profile), profileSum);
    QCOMPARE(filesIn(outside), QStringList{QStringLiteral(".profile")});
    QCOMPARE(QFileInfo(out + QStringLiteral("/IMG_0001.png")).symLinkTarget(), profile);
    const QStringList written = filesIn(out);
    QCOMPARE(written, (QStringList{QStringLiteral("IMG_0001 (2).png"), QStringLiteral("IMG_0001.png"),
                                   QStringLiteral("IMG_0002 (2).png"), QStringLiteral("IMG_0002.png")}));
    QCOMPARE(QImage(out + QStringLiteral("/IMG_0002 (2).png")).size(), QSize(32, 24));

    // The proposed save folder itself a link: followed only once chosen.
    const QString planted = freshDir(QStringLiteral("links/planted"));
    QVERIFY(QFile::link(QStringLiteral("../outside"), planted + QStringLiteral("/ConvertedImages")));
    const QString photo = writeImage(planted + QStringLiteral("/IMG_0003.jpg"), QSize(32, 24), "JPEG");
    QSignalSpy reports(w->findChild<BatchRunner *>(), &BatchRunner::batchFinished);
    const StatusReport refused = openAndRun(*d, {photo}, FormatCommand);
    QCOMPARE(refused.failed, 1);
    QCOMPARE(reports.size(), 1);
    const QList<ImageFailure> failures = reports.at(0).at(0).value<BatchReport>().failures;
    QCOMPARE(int(failures.value(0).step), int(ConversionResult::Folder));
    QCOMPARE(filesIn(outside), QStringList{QStringLiteral(".profile")});
    d->saveDir->setText(planted + QStringLiteral("/ConvertedImages/")); // as the folder button gives
    QVERIFY(d->startCommand(FormatCommand));
    QTRY_VERIFY_WITH_TIMEOUT(d->report().finished, 120000);
    QCOMPARE(d->report().failed, 0);
    QVERIFY(QFileInfo::exists(outside + QStringLiteral("/IMG_0003.png")));
}

void tst_Safety::longNames_data()
{
    QTest::addColumn<int>("baseBytes");
    QTest::addColumn<bool>("saveBesideSources");
    QTest::addColumn<int>("failed");
    // 250 + ".png": at the limit with no room for a temporary's suffix.
    QTest::newRow("near the limit, written twice") << 250 << false << 0;
    // The result would take the source's name; "name (2).png" is too long.
    QTest::newRow("renaming would pass the limit") << 251 << true << 1;
}

void tst_Safety::longNames()
{
    QFETCH(int, baseBytes);
    QFETCH(bool, saveBesideSources);
    QFETCH(int, failed);
    const QString dir = freshDir(QStringLiteral("long"));
    // Non-ASCII: two bytes a letter in UTF-8.
    const QString base = QString(baseBytes / 2, QChar(0x00E9)) + QString(baseBytes % 2, QLatin1Char('x'));
    const QString source = writeImage(dir + QLatin1Char('/') + base + QStringLiteral(".png"), QSize(20, 20));
    const QByteArray sum = checksum(source);
    WindowDriver *d = nullptr;
    auto w = newWindow(&d);
    d->format->setCurrentIndex(4);
    StatusReport report = openAndRun(*d, {source}, FormatCommand);
    if (saveBesideSources) {
        d->saveDir->setText(dir);
        QVERIFY(d->startCommand(FormatCommand));
        QTRY_VERIFY_WITH_TIMEOUT(d->status->currentMessage().startsWith("Format convert finished"), 120000);
        report = d->report();
    } else {
        QVERIFY(d->startCommand(FormatCommand)); // the same name again
        QTRY_VERIFY_WITH_TIMEOUT(d->report().finished, 120000);
        report = d->report();
    }
    QCOMPARE(report.failed, failed);
    QCOMPARE(checksum(source), sum);
    for (const QString &name : filesIn(dir + QStringLiteral("/ConvertedImages")) + filesIn(dir))
        QVERIFY2(!name.startsWith(QLatin1String(".pictavo-")), qPrintable(name));
}

void tst_Safety::staleTemporariesRemoved()
{
    const QString dir = freshDir(QStringLiteral("stale"));
    const QString out = dir + QStringLiteral("/ConvertedImages");
    QDir().mkpath(out);
    // A process number that is not in use: the killed run's.
    qint64 deadPid = 4000000;
    while (::kill(pid_t(deadPid), 0) == 0 || errno == EPERM)
        ++deadPid;
    const QString ours = QStringLiteral(".pictavo-%1-7.tmp").arg(deadPid);
    const QString probe = QStringLiteral(".pictavo-%1-8-case.tmp").arg(deadPid);
    const QString young = QStringLiteral(".pictavo-%1-9.tmp").arg(deadPid);
    // The user's, named like ours but not as we name them.
    const QStringList lookAlikes{QStringLiteral(".pictavo-1-backup.tmp"),
                                 QStringLiteral(".PICTAVO-99999-7.TMP"),
                                 QStringLiteral(".pictavo-%1-07.tmp").arg(deadPid),
                                 QStringLiteral(".hidden-notes.tmp")};
    const qint64 twoHoursAgo = QDateTime::currentSecsSinceEpoch() - 7200;
    for (const QString &name : lookAlikes + QStringList{ours, probe, young}) {
        const QString path = TestSupport::writeBytes(out + QLatin1Char('/') + name, "half a picture");
        if (name != young) {
            const timeval times[2] = {{time_t(twoHoursAgo), 0}, {time_t(twoHoursAgo), 0}};
            QCOMPARE(::utimes(QFile::encodeName(path).constData(), times), 0);
        }
    }
    WindowDriver *d = nullptr;
    auto w = newWindow(&d);
    const StatusReport report =
            openAndRun(*d, {writeImage(dir + QStringLiteral("/a.png"), QSize(10, 10))}, FormatCommand);
    QVERIFY(report.finished);
    QStringList kept = lookAlikes + QStringList{young, QStringLiteral("a.png")};
    kept.sort();
    QTRY_COMPARE(filesIn(out), kept);
}

// A FAT image mounted with FUSE, as a camera card is: names differ by case
// only in spelling there.
void tst_Safety::caseFoldingVolume()
{
    const QString image = work.filePath(QStringLiteral("card.img"));
    const QString card = freshDir(QStringLiteral("card"));
    const QString why = TestSupport::mountFat(image, card, 16);
    if (!why.isEmpty())
        QSKIP(qPrintable(why));
    auto unmount = qScopeGuard([card]() { TestSupport::unmountFat(card); });

    // Batches probing the card at once each see that it folds case.
    {
        std::atomic<int> folding{0};
        std::vector<std::thread> probes;
        for (int i = 0; i < 4; ++i)
            probes.emplace_back([&]() { folding += TargetNamer::foldsCase(card); });
        for (std::thread &t : probes)
            t.join();
        QCOMPARE(folding.load(), 4);
    }

    const QStringList files{writeImage(card + QStringLiteral("/phone.jpg"), QSize(64, 48), "JPEG"),
                            writeImage(card + QStringLiteral("/IMG_1.JPG"), QSize(30, 20), "JPEG"),
                            writeImage(card + QStringLiteral("/img_1.png"), QSize(20, 30))};
    QList<QByteArray> sums;
    for (const QString &f : files)
        sums << checksum(f);

    WindowDriver *d = nullptr;
    auto w = newWindow(&d);
    d->format->setCurrentIndex(2); // JPG: phone.JPG is phone.jpg here
    QVERIFY(d->startOpen({files.first()}));
    QTRY_COMPARE_WITH_TIMEOUT(d->status->currentMessage(), QStringLiteral("1 images loaded"), 120000);
    d->saveDir->setText(card);
    QVERIFY(d->startCommand(BothCommand));
    QTRY_VERIFY_WITH_TIMEOUT(d->report().finished, 120000);
    QCOMPARE(d->report().failed, 0);
    QCOMPARE(checksum(files[0]), sums[0]);
    QVERIFY(QFileInfo::exists(card + QStringLiteral("/phone (2).JPG")));

    // Two sources whose BMP results are one file on this volume.
    d->format->setCurrentIndex(1);
    QVERIFY(d->startOpen(files.mid(1)));
    QTRY_COMPARE_WITH_TIMEOUT(d->status->currentMessage(), QStringLiteral("2 images loaded"), 120000);
    d->saveDir->setText(card);
    QVERIFY(d->startCommand(FormatCommand));
    QTRY_VERIFY_WITH_TIMEOUT(d->report().finished, 120000);
    QCOMPARE(d->report().failed, 0);
    QStringList bmps = QDir(card).entryList({QStringLiteral("*.BMP"), QStringLiteral("*.bmp")});
    QCOMPARE(bmps.size(), 2);
    QCOMPARE(d->converted->count(), 2);
    for (int i = 0; i < files.size(); ++i)
        QCOMPARE(checksum(files[i]), sums[i]);

    // An earlier batch's result that comes in late under another spelling
    // of a later batch's file does not replace it.
    const QString elsewhere = freshDir(QStringLiteral("spellings"));
    CommitOrder order;
    auto late = [&](const QString &name, const QSize &size, int batch) {
        ConversionJob job(writeImage(elsewhere + name, QSize(5, 5)), ConvertMode::FormatConvert,
                          QSize(), 0, QStringLiteral("png"), Qt::IgnoreAspectRatio);
        job.setImage(QImage(size, QImage::Format_RGB32));
        ConversionJob::Target target;
        target.directory = card;
        target.namer = std::make_shared<TargetNamer>();
        target.commitOrder = &order;
        target.order = batch;
        return job.write(target);
    };
    const ConversionResult first = late(QStringLiteral("/Late.png"), QSize(20, 20), 3);
    QCOMPARE(int(first.outcome), int(ConversionResult::Written));
    QCOMPARE(int(late(QStringLiteral("/late.png"), QSize(10, 10), 2).outcome),
             int(ConversionResult::Superseded));
    QCOMPARE(QImage(first.fileName).size(), QSize(20, 20));
}

// 500 % of a 3-megapixel picture to BMP with too little address space left
// for its encoded bytes: that image fails, the batch and the program go on.
void tst_Safety::encoderOutOfMemory()
{
#ifndef PICTAVO_MEMORY_DRIVER
    QSKIP("no address-space limit can hold under a sanitizer");
#else
    const QString images = freshDir(QStringLiteral("oom/images"));
    writeImage(images + QStringLiteral("/large.png"), QSize(2000, 1500));
    writeImage(images + QStringLiteral("/small.png"), QSize(40, 30));
    // 10000 x 7500 pixels take 300 MB in the helper, which sends back only
    // their BMP: 225 MB, more than this process has room for.
    const QString out = runUnderLimit(images, QStringLiteral("200"), QStringLiteral("500"),
                                      QStringLiteral("1"));
    QVERIFY2(out.contains(QLatin1String(
                     "report: Size and format convert finished, 1 of 2 images failed")),
             qPrintable(out));
    // In this process (the encoder), or in a helper started under the
    // limit (the decoder, scaling up).
    QVERIFY2(out.contains(QLatin1String("out of memory"))
                     || out.contains(QLatin1String("needs more memory than the limit")),
             qPrintable(out));
    QCOMPARE(filesIn(images + QStringLiteral("/ConvertedImages")), QStringList{QStringLiteral("small.BMP")});
#endif
}

// Runs the memory driver on the PNGs in images; returns what it printed,
// its errors after.
QString tst_Safety::runUnderLimit(const QString &images, const QString &headroomMB,
                                  const QString &percent, const QString &formatIndex)
{
#ifdef PICTAVO_MEMORY_DRIVER
    const QString warmUp = freshDir(QStringLiteral("warm-up"));
    writeImage(warmUp + QStringLiteral("/w1.png"), QSize(40, 30));
    writeImage(warmUp + QStringLiteral("/w2.png"), QSize(40, 30));
    QProcess driver;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), settingsDir.path());
    env.insert(QStringLiteral("XDG_CACHE_HOME"), settingsDir.filePath(QStringLiteral("cache")));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    // Each failed image's reason is a diagnostic of the batch, off unless asked for.
    env.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("pictavo.convert.debug=true"));
    driver.setProcessEnvironment(env);
    driver.start(QStringLiteral(PICTAVO_MEMORY_DRIVER),
                 {images, warmUp, headroomMB, percent, formatIndex});
    if (!driver.waitForFinished(120000))
        qWarning("the memory driver did not finish");
    if (driver.exitStatus() != QProcess::NormalExit)
        qWarning("the memory driver crashed");
    return QString::fromLocal8Bit(driver.readAllStandardOutput())
            + QString::fromLocal8Bit(driver.readAllStandardError()).right(3000);
#else
    Q_UNUSED(images);
    Q_UNUSED(headroomMB);
    Q_UNUSED(percent);
    Q_UNUSED(formatIndex);
    return QString();
#endif
}

void tst_Safety::craftedWithinMemory_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<qint64>("paddedTo"); // the file's size on disk; 0: as it is
    QTest::addColumn<QSize>("written");   // at 50 %
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    QVERIFY(TestSupport::pattern(QSize(300, 200)).save(&buffer, "png"));
    // 20 chunks of 7 MB of text each, about 150 KB on disk: Qt's reader
    // would inflate and keep them all, 140 MB and their copies as strings.
    QTest::newRow("ztxt-bomb-before-pixels.png")
            << textBombPng(png, "zTXt", 20, 7000000, false) << qint64(0) << QSize(150, 100);
    QTest::newRow("itxt-bomb-after-pixels.png")
            << textBombPng(png, "iTXt", 20, 7000000, true) << qint64(0) << QSize(150, 100);
    // A 4.5 KB JPEG padded to a gigabyte (sparse: a few kilobytes on
    // disk): only what the photo holds is read, not the padding.
    QTest::newRow("padded-to-1-gb.jpg")
            << TestSupport::noiseJpeg(QSize(40, 30)) << (qint64(1) << 30) << QSize(20, 15);
}

// A crafted source (text bombs, a sparse gigabyte) converts like any
// other, thumbnail included, and the program stays within 400 MiB all along.
void tst_Safety::craftedWithinMemory()
{
#ifndef PICTAVO_MEMORY_DRIVER
    QSKIP("no address-space limit can hold under a sanitizer");
#else
    QFETCH(QByteArray, bytes);
    QFETCH(qint64, paddedTo);
    QFETCH(QSize, written);
    const QString images = freshDir(QStringLiteral("bombs"));
    const QString source = TestSupport::writeBytes(
            images + QLatin1Char('/') + QString::fromLatin1(QTest::currentDataTag()), bytes);
    if (paddedTo > 0)
        QVERIFY(QFile::resize(source, paddedTo));
    QElapsedTimer clock;
    clock.start();
    const QString out = runUnderLimit(images, QStringLiteral("400"), QStringLiteral("50"),
                                      QStringLiteral("4"));
    QVERIFY2(out.contains(QLatin1String("report: Size and format convert finished\n")),
             qPrintable(out));
    static const QRegularExpression peakLine(QStringLiteral("peak resident MiB: (\\d+)"));
    const int peak = peakLine.match(out).captured(1).toInt();
    qInfo("%s: peak %d MiB, %lld ms", QTest::currentDataTag(), peak, clock.elapsed());
    QVERIFY2(peak > 0 && peak <= 400, qPrintable(out));
    QCOMPARE(QImage(images + QStringLiteral("/ConvertedImages/")
                    + QFileInfo(QString::fromLatin1(QTest::currentDataTag())).completeBaseName()
                    + QStringLiteral(".png")).size(),
             written);
#endif
}

QTEST_MAIN(tst_Safety)
#include "tst_safety.moc"
