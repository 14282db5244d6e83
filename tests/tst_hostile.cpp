#include "ui/mainwindow.h"

#include "hostile/hostilecorpus.h"
#include "hostile/tmpfsmount.h"
#include "hostile/windowdriver.h"
#include "base/imagelimits.h"
#include "testsupport.h"
#include "urlcatcher.h"

#include <QDesktopServices>
#include <QImageReader>
#include <QProcess>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QSet>

#include <memory>

using namespace Hostile;

// Damaged, odd and oddly named files through the whole path a user takes,
// all of them in one batch: the open dialog, each batch command, the
// writing and listing of results; and save folders that cannot take the
// results. What each file alone comes to is tst_conversionjob's.
class tst_Hostile : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();

    void corpusIsWhatItClaims();
    void wholeCorpus_data();
    void wholeCorpus();

    void saveDirIsAFile();
    void saveDirParentMissing();
    void saveDirReadOnly_data();
    void saveDirReadOnly();
    void diskFillsUp_data();
    void diskFillsUp();

private:
    std::unique_ptr<MainWindow> newWindow();
    void open(WindowDriver &d, const QStringList &files);
    void run(WindowDriver &d, int command, StatusReport *report);
    bool openAndRun(WindowDriver &d, const QStringList &files, int command, int formatIndex,
                    const QString &saveDir, StatusReport *report);
    void verifyCorpusUntouched();
    QString expectedName(const Case &c, int command, int formatIndex) const;
    QSize expectedSize(const Case &c, int command) const;
    QStringList faultSources(const QString &dir, int count, const QSize &size, bool noise);
    void failsThenRecovers(const QString &badDir, const QString &watchDir, int formatIndex);

    QTemporaryDir settingsDir;
    QTemporaryDir work;
    QString corpusDir;
    QString outDir;
    QList<Case> cases;
    QStringList paths;
    QList<QByteArray> sums;
    int checkedSources = 0;
    UrlCatcher sink;
};

void tst_Hostile::initTestCase()
{
    ImageLimits::configureProcess(); // as main() does
    QVERIFY(settingsDir.isValid() && work.isValid());
    TestSupport::isolateSettings(settingsDir);
    // A finished batch may open its folder; nothing is to be launched here.
    QDesktopServices::setUrlHandler(QStringLiteral("file"), &sink, "open");

    corpusDir = work.filePath(QStringLiteral("corpus"));
    outDir = corpusDir + QStringLiteral("/ConvertedImages");
    cases = corpus();
    paths = writeCorpus(corpusDir, cases);
    for (const QString &path : std::as_const(paths))
        sums << TestSupport::checksum(path);
    QCOMPARE(filesIn(corpusDir).size(), cases.size());
}

void tst_Hostile::cleanupTestCase()
{
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
    qInfo("%d hostile files, each checked unchanged after every batch (%d checks)",
          int(cases.size()), checkedSources);
}

void tst_Hostile::init()
{
    QDir(outDir).removeRecursively();
}

std::unique_ptr<MainWindow> tst_Hostile::newWindow()
{
    auto w = std::make_unique<MainWindow>();
    w->show();
    WindowDriver d(w.get());
    if (d.autoOpen)
        d.autoOpen->setChecked(false);
    return w;
}

void tst_Hostile::open(WindowDriver &d, const QStringList &files)
{
    QVERIFY(d.complete());
    QVERIFY2(d.startOpen(files), "the open dialog did not take the files");
    QTRY_COMPARE_WITH_TIMEOUT(d.status->currentMessage(),
                              QStringLiteral("%1 images loaded").arg(files.size()), 120000);
    QCOMPARE(d.original->count(), files.size());
}

void tst_Hostile::run(WindowDriver &d, int command, StatusReport *report)
{
    QVERIFY(d.startCommand(command));
    // No hang: every batch ends with its report, whatever its files hold.
    QTRY_VERIFY_WITH_TIMEOUT(d.report().finished, 120000);
    *report = d.report();
    QCOMPARE(report->command, WindowDriver::finishedTextOf(command));
}

// Opens the files, picks the format and (when given) the save folder, and
// runs the command; false when a check on the way failed.
bool tst_Hostile::openAndRun(WindowDriver &d, const QStringList &files, int command,
                             int formatIndex, const QString &saveDir, StatusReport *report)
{
    open(d, files);
    if (QTest::currentTestFailed())
        return false;
    d.format->setCurrentIndex(formatIndex);
    if (!saveDir.isEmpty())
        d.saveDir->setText(saveDir);
    run(d, command, report);
    return !QTest::currentTestFailed();
}

void tst_Hostile::verifyCorpusUntouched()
{
    for (int i = 0; i < paths.size(); ++i) {
        QVERIFY2(TestSupport::checksum(paths[i]) == sums[i],
                 qPrintable(QStringLiteral("source changed: ") + cases[i].fileName));
        ++checkedSources;
    }
    // Nothing written beside the sources either.
    QStringList expected;
    for (const Case &c : std::as_const(cases))
        expected << c.fileName;
    QStringList present = filesIn(corpusDir);
    present.removeAll(QStringLiteral("ConvertedImages"));
    expected.sort();
    QCOMPARE(present, expected);
}

QString tst_Hostile::expectedName(const Case &c, int command, int formatIndex) const
{
    const QFileInfo info(c.fileName);
    const QString format = command == SizeCommand || formatIndex == 0
            ? info.suffix()
            : formatOfIndex(formatIndex);
    return info.completeBaseName() + QLatin1Char('.') + format;
}

QSize tst_Hostile::expectedSize(const Case &c, int command) const
{
    if (!c.shown.isValid() || command == FormatCommand)
        return c.shown;
    // A percentage truncates, keeping a pixel, as the conversion settings promise.
    return QSize(qMax(1, c.shown.width() * percent / 100), qMax(1, c.shown.height() * percent / 100));
}

void tst_Hostile::corpusIsWhatItClaims()
{
    QSet<QString> bases;
    for (const Case &c : std::as_const(cases))
        bases.insert(QFileInfo(c.fileName).completeBaseName().toLower());
    QCOMPARE(bases.size(), cases.size());

    auto path = [this](const char *name) { return corpusDir + QLatin1Char('/') + QString::fromUtf8(name); };

    QImageReader huge(path("claims-100000x100000.png"));
    QCOMPARE(huge.size(), QSize(100000, 100000));
    QVERIFY(huge.read().isNull());

    QImageReader cmyk(path("cmyk-inverted.jpg"));
    const QImage cmykImage = cmyk.read();
    QVERIFY2(!cmykImage.isNull(), qPrintable(cmyk.errorString()));
    QCOMPARE(cmykImage.size(), QSize(96, 64));
    const QList<QPair<QPoint, QColor>> quadrants{{QPoint(10, 10), Qt::red},
                                                {QPoint(80, 10), Qt::green},
                                                {QPoint(10, 50), Qt::blue},
                                                {QPoint(80, 50), Qt::yellow}};
    for (const auto &[point, colour] : quadrants) {
        const QColor seen = cmykImage.pixelColor(point);
        QVERIFY2(qAbs(seen.red() - colour.red()) < 16 && qAbs(seen.green() - colour.green()) < 16
                         && qAbs(seen.blue() - colour.blue()) < 16,
                 qPrintable(seen.name() + QStringLiteral(" instead of ") + colour.name()));
    }

    QVERIFY(TestSupport::fileBytes(path("progressive.jpg")).contains("\xFF\xC2"));

    QImageReader tiff(path("two-pages.tiff"));
    QCOMPARE(tiff.imageCount(), 2);
    QCOMPARE(tiff.read().size(), QSize(80, 60));
    QVERIFY(tiff.jumpToNextImage());
    QCOMPARE(tiff.read().size(), QSize(40, 30));

    QImageReader rotated(path("exif-rotated-6.jpg"));
    rotated.setAutoTransform(true);
    QCOMPARE(rotated.read().size(), QSize(64, 96));

    // Bit depth and colour type straight from IHDR.
    auto ihdr = [&](const char *name) {
        const QByteArray b = TestSupport::fileBytes(path(name));
        return qMakePair(int(quint8(b.at(24))), int(quint8(b.at(25))));
    };
    QCOMPARE(ihdr("sixteen-bit-rgba.png"), qMakePair(16, 6));
    QCOMPARE(ihdr("sixteen-bit-gray.png"), qMakePair(16, 0));
    QCOMPARE(ihdr("grayscale.png"), qMakePair(8, 0));
    QCOMPARE(ihdr("palette.png").second, 3);
    QCOMPARE(ihdr("one-bit.png").first, 1);

    QCOMPARE(QFileInfo(path("zero-bytes.jpg")).size(), 0);
    for (const Case &c : std::as_const(cases)) {
        if (c.outcome[FormatCommand] == Outcome::Converts) {
            QImageReader reader(corpusDir + QLatin1Char('/') + c.fileName);
            reader.setAutoTransform(true);
            QCOMPARE(reader.read().size(), c.shown);
        }
    }
}

void tst_Hostile::wholeCorpus_data()
{
    QTest::addColumn<int>("command");
    QTest::addColumn<int>("formatIndex");
    QTest::newRow("size") << int(SizeCommand) << 0;
    QTest::newRow("format to png") << int(FormatCommand) << 4;
    QTest::newRow("format to original") << int(FormatCommand) << 0;
    QTest::newRow("both to JPG") << int(BothCommand) << 2;
    QTest::newRow("both to TIFF") << int(BothCommand) << 6;
}

// Every file the dialog shows, opened together: one batch, each file
// counted once, converted or failed.
void tst_Hostile::wholeCorpus()
{
    QFETCH(int, command);
    QFETCH(int, formatIndex);
    QList<Case> chosen;
    QStringList files;
    for (int i = 0; i < cases.size(); ++i) {
        // The dialog's filter hides a file without a suffix; the job's
        // own tests take it.
        if (QFileInfo(cases[i].fileName).suffix().isEmpty())
            continue;
        chosen << cases[i];
        files << paths[i];
    }
    auto w = newWindow();
    WindowDriver d(w.get());
    d.percent->setValue(percent);
    StatusReport report;
    if (!openAndRun(d, files, command, formatIndex, QString(), &report))
        return;
    const int total = report.total < 0 ? int(files.size()) : report.total;
    QCOMPARE(total, files.size());

    int mustFail = 0, mayFail = 0;
    for (const Case &c : std::as_const(chosen)) {
        mustFail += c.outcome[command] == Outcome::Fails;
        mayFail += c.outcome[command] == Outcome::Either;
    }
    QVERIFY2(report.failed >= mustFail && report.failed <= mustFail + mayFail,
             qPrintable(QStringLiteral("%1 failed; between %2 and %3 expected")
                                .arg(report.failed).arg(mustFail).arg(mustFail + mayFail)));

    QStringList written = filesIn(outDir);
    QCOMPARE(written.size() + report.failed, files.size());
    QCOMPARE(d.converted->count(), written.size());
    for (const Case &c : std::as_const(chosen)) {
        const QString name = expectedName(c, command, formatIndex);
        const bool there = written.removeOne(name);
        const Outcome outcome = c.outcome[command];
        if (outcome == Outcome::Fails)
            QVERIFY2(!there, qPrintable(name + QStringLiteral(" should have failed")));
        if (outcome == Outcome::Converts)
            QVERIFY2(there, qPrintable(name + QStringLiteral(" is missing")));
        if (there) {
            QString why;
            QVERIFY2(isCompleteImage(outDir + QLatin1Char('/') + name,
                                     outcome == Outcome::Converts ? expectedSize(c, command)
                                                                  : QSize(),
                                     &why),
                     qPrintable(name + QStringLiteral(": ") + why));
        }
    }
    // Nothing else: no temporary files, no second copies.
    QVERIFY2(written.isEmpty(), qPrintable(written.join(QStringLiteral(", "))));
    verifyCorpusUntouched();
}

QStringList tst_Hostile::faultSources(const QString &dir, int count, const QSize &size, bool noise)
{
    QStringList files;
    QRandomGenerator random(7);
    for (int i = 0; i < count; ++i) {
        QImage image = TestSupport::pattern(size);
        if (noise) {
            // Noise does not compress: every result is as big as its pixels.
            for (int y = 0; y < image.height(); ++y) {
                auto *line = reinterpret_cast<quint32 *>(image.scanLine(y));
                for (int x = 0; x < image.width(); ++x)
                    line[x] = 0xFF000000u | (random.generate() & 0xFFFFFFu);
            }
        }
        const QString path = QStringLiteral("%1/picture-%2.png").arg(dir).arg(i);
        QDir().mkpath(dir);
        if (!image.save(path))
            qWarning() << "cannot write" << path;
        files << path;
    }
    return files;
}

// The batch into badDir fails for every image and is counted; nothing
// appears in watchDir; then the same window converts into a good folder.
void tst_Hostile::failsThenRecovers(const QString &badDir, const QString &watchDir,
                                    int formatIndex)
{
    const QString srcDir = work.filePath(QStringLiteral("fault-sources"));
    const QStringList files = faultSources(srcDir, 4, QSize(120, 90), false);
    QList<QByteArray> before;
    for (const QString &f : files)
        before << TestSupport::checksum(f);
    const QStringList watched = filesIn(watchDir);

    auto w = newWindow();
    WindowDriver d(w.get());
    StatusReport report;
    if (!openAndRun(d, files, FormatCommand, formatIndex, badDir, &report))
        return;
    QCOMPARE(TestSupport::withoutSaved(d.status->currentMessage()),
             QStringLiteral("Format convert finished, 4 of 4 images failed"));
    QCOMPARE(d.converted->count(), 0);
    QCOMPARE(filesIn(watchDir), watched);

    // The window is still good for work.
    const QString good = work.filePath(QStringLiteral("good-after-fault"));
    QDir(good).removeRecursively();
    d.saveDir->setText(good);
    run(d, FormatCommand, &report);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(TestSupport::withoutSaved(d.status->currentMessage()), QStringLiteral("Format convert finished"));
    QCOMPARE(d.converted->count(), 4);
    const QStringList written = filesIn(good);
    QCOMPARE(written.size(), 4);
    for (const QString &name : written) {
        QString why;
        QVERIFY2(isCompleteImage(good + QLatin1Char('/') + name, QSize(120, 90), &why),
                 qPrintable(name + QStringLiteral(": ") + why));
    }
    for (int i = 0; i < files.size(); ++i)
        QCOMPARE(TestSupport::checksum(files[i]), before[i]);
}

void tst_Hostile::saveDirIsAFile()
{
    const QString blocker = work.filePath(QStringLiteral("blocker"));
    QFile f(blocker);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("a file where the folder should be\n");
    f.close();
    const QByteArray sum = TestSupport::checksum(blocker);
    failsThenRecovers(blocker, work.path(), 4);
    QCOMPARE(TestSupport::checksum(blocker), sum);
}

void tst_Hostile::saveDirParentMissing()
{
    failsThenRecovers(work.filePath(QStringLiteral("no/such/parent")), work.path(), 4);
    QVERIFY(!QFileInfo::exists(work.filePath(QStringLiteral("no"))));
}

void tst_Hostile::saveDirReadOnly_data()
{
    QTest::addColumn<QString>("subfolder");
    QTest::newRow("the read-only folder itself") << QString();
    QTest::newRow("a folder to make inside it") << QStringLiteral("/ConvertedImages");
}

void tst_Hostile::saveDirReadOnly()
{
    QFETCH(QString, subfolder);
    const QString mountPoint = work.filePath(QStringLiteral("read-only"));
    // Root writes through permission bits, so a read-only mount it is, or
    // an immutable folder where mounting is not allowed.
    TmpfsMount mount(mountPoint, QStringLiteral("ro,size=1m"));
    bool immutable = false;
    if (!mount.isMounted()) {
        immutable = QProcess::execute(QStringLiteral("chattr"),
                                      {QStringLiteral("+i"), mountPoint}) == 0;
        if (!immutable)
            QSKIP(qPrintable(QStringLiteral("no read-only folder can be made here (") + mount.error()
                             + QStringLiteral("; chattr +i failed too)")));
    }
    // Undone even when a check fails, or the folder could not be removed.
    const auto mutableAgain = qScopeGuard([&]() {
        if (immutable)
            QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("-i"), mountPoint});
    });
    failsThenRecovers(mountPoint + subfolder, mountPoint, 4);
}

void tst_Hostile::diskFillsUp_data()
{
    QTest::addColumn<int>("formatIndex");
    for (int index : {1, 2, 4, 5, 6})
        QTest::addRow("%s", qPrintable(formatOfIndex(index))) << index;
}

// A 2 MB file system takes the first result or two of ten noise pictures;
// the rest fail as the disk fills. Whatever was written is whole.
void tst_Hostile::diskFillsUp()
{
    QFETCH(int, formatIndex);
    const int count = 10;
    const QSize size(800, 600);
    const QString srcDir = work.filePath(QStringLiteral("noise"));
    QStringList files;
    for (int i = 0; i < count; ++i)
        files << QStringLiteral("%1/picture-%2.png").arg(srcDir).arg(i);
    if (!QFileInfo::exists(files.last()))
        files = faultSources(srcDir, count, size, true);

    const QString full = work.filePath(QStringLiteral("full-") + formatOfIndex(formatIndex));
    TmpfsMount mount(full, QStringLiteral("size=2m"));
    if (!mount.isMounted())
        QSKIP(qPrintable(QStringLiteral("cannot mount a small file system: ") + mount.error()));

    auto w = newWindow();
    WindowDriver d(w.get());
    StatusReport report;
    if (!openAndRun(d, files, FormatCommand, formatIndex, full, &report))
        return;
    QVERIFY2(report.failed > 0, qPrintable(d.status->currentMessage()));
    QCOMPARE(report.total, count);

    const QString format = formatOfIndex(formatIndex);
    const QStringList written = filesIn(full);
    QCOMPARE(written.size() + report.failed, count);
    QCOMPARE(d.converted->count(), written.size());
    QStringList broken;
    for (const QString &name : written) {
        QVERIFY2(QRegularExpression(QStringLiteral("^picture-\\d\\.") + format + QLatin1Char('$'))
                         .match(name).hasMatch(),
                 qPrintable(QStringLiteral("left behind: ") + name));
        QString why;
        if (!isCompleteImage(full + QLatin1Char('/') + name, size, &why))
            broken << name + QStringLiteral(": ") + why;
    }
    // Qt's TIFF writer hands libtiff's last strip over in one write, and a
    // full disk takes only part of it without an error: the saver must
    // notice the short count itself.
    QVERIFY2(broken.isEmpty(), qPrintable(broken.join(QStringLiteral("; "))));

    // Room again: the same window writes all ten.
    const QString good = work.filePath(QStringLiteral("room-") + format);
    d.saveDir->setText(good);
    run(d, FormatCommand, &report);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(TestSupport::withoutSaved(d.status->currentMessage()), QStringLiteral("Format convert finished"));
    QCOMPARE(filesIn(good).size(), count);
    QDir(good).removeRecursively();
}

QTEST_MAIN(tst_Hostile)
#include "tst_hostile.moc"
