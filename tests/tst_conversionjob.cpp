#include "conversion/conversionjob.h"
#include "hostile/hostilecorpus.h"
#include "base/imagelimits.h"
#include "base/pngchunks.h"
#include "decode/imageloader.h"
#include "encode/outputformat.h"
#include "fs/targetnamer.h"
#include "isolation/helperpool.h"

#include "testsupport.h"

#include <QColorSpace>
#include <QDir>
#include <QRandomGenerator>

#include <csignal>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

using namespace TestSupport;
using Result = ConversionResult;

// One photo from its file to the written copy, through ConversionJob::run():
// each row a source named after its fault, or a target that fails.
class tst_ConversionJob : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void onePhoto_data();
    void onePhoto();
    void laterOrderWins();
    void claimedSizes_data();
    void claimedSizes();
    void helperEndedWhileEncoding();

private:
    QTemporaryDir tmp;
};

void tst_ConversionJob::initTestCase()
{
    QVERIFY(tmp.isValid());
    ImageLimits::configureProcess();
}

namespace {

QByteArray encoded(const QImage &image, const char *format)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return bytes;
}

// A PNG with a text under a keyword libpng would not write itself.
QByteArray pngWithKeyword(const QByteArray &keyword)
{
    const QByteArray png = encoded(pattern(QSize(20, 10)), "png");
    // After the signature and the header chunk.
    return png.left(33) + PngChunks::make("tEXt", keyword + '\0' + "a note") + png.mid(33);
}

// A JPEG whose profile describes itself with name.
QByteArray jpegWithProfileNamed(const QString &name)
{
    QColorSpace space(QColorSpace::DisplayP3);
    space.setDescription(name);
    QImage image = pattern(QSize(20, 10));
    image.setColorSpace(space);
    return encoded(image, "jpeg");
}

} // namespace

void tst_ConversionJob::onePhoto_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<ConvertMode>("mode");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QString>("format");
    QTest::addColumn<QString>("folder"); // under the row's own directory
    QTest::addColumn<int>("outcome");
    QTest::addColumn<int>("step");
    QTest::addColumn<QSize>("written"); // as read back

    const QString dir = tmp.filePath(QStringLiteral("sources"));
    const QString photo = writeImage(dir + "/photo é.png", QSize(20, 10), "PNG", true);
    const QString jpeg = writeImage(dir + "/photo.JPG", QSize(40, 30), "JPEG");
    const auto both = ConvertMode::BothConvert;
    const auto format = ConvertMode::FormatConvert;
    const auto size = ConvertMode::SizeConvert;
    QStringList suffixes;
    for (const OutputFormat &offered : OutputFormat::offered())
        suffixes << offered.suffix;
    for (const QString &f : std::as_const(suffixes)) {
        QTest::addRow("writes %s", qPrintable(f)) << photo << format << QSize() << f
                                      << "out" << int(Result::Written) << int(Result::NoStep)
                                      << QSize(20, 10);
    }
    QTest::newRow("scaled and kept suffix")
            << jpeg << size << QSize(20, 15) << "JPG" << "out" << int(Result::Written)
            << int(Result::NoStep) << QSize(20, 15);
    QTest::newRow("turned upright") << writeRotatedJpeg(dir + "/turned-by-exif.jpg", QSize(30, 10), 6)
                                    << both << QSize(10, 30) << "png" << "out"
                                    << int(Result::Written) << int(Result::NoStep) << QSize(10, 30);

    // libpng refuses such keywords (and profile names, written as one),
    // failing the whole file: they are repaired or dropped.
    const QList<QPair<const char *, QByteArray>> odd{
            {"blank-keyword.png", pngWithKeyword(" ")},
            {"control-keyword.png", pngWithKeyword("\x1f")},
            {"profile-named-blank.jpg", jpegWithProfileNamed(QStringLiteral(" "))},
            {"profile-named-control.jpg", jpegWithProfileNamed(QStringLiteral("\x1f"))}};
    for (const auto &[name, bytes] : odd) {
        QTest::newRow(name) << writeBytes(dir + '/' + name, bytes) << format << QSize() << "png"
                            << "out" << int(Result::Written) << int(Result::NoStep) << QSize(20, 10);
    }

    QTest::newRow("missing source") << dir + "/missing.png" << format << QSize() << "png"
                                    << "out" << int(Result::Failed) << int(Result::Open) << QSize();
#ifdef Q_OS_UNIX
    const QString fifo = dir + "/fifo-named-photo.jpg";
    ::mkfifo(QFile::encodeName(fifo).constData(), 0600);
    QTest::newRow("fifo") << fifo << format << QSize() << "png" << "out"
                          << int(Result::Failed) << int(Result::Open) << QSize();
#endif
    QTest::newRow("empty target size") << photo << size << QSize() << "png" << "out"
                                       << int(Result::Failed) << int(Result::Fit) << QSize();
    for (const char *f : {"gif", "", "abc"}) {
        QTest::addRow("no writer for '%s'", f) << photo << format << QSize()
                                               << QString::fromLatin1(f) << "out"
                                               << int(Result::Failed) << int(Result::Encode)
                                               << QSize();
    }
    QTest::newRow("folder parent missing") << photo << format << QSize() << "png" << "no/out"
                                           << int(Result::Failed) << int(Result::Folder) << QSize();
    QTest::newRow("folder is a file") << photo << format << QSize() << "png" << "blocker"
                                      << int(Result::Failed) << int(Result::Folder) << QSize();

    // The hostile corpus: each file through each command, sized at 50 %.
    // Files that a decoder may patch over or refuse are left to the
    // window's batches of the whole corpus, which only count them.
    const QList<Hostile::Case> cases = Hostile::corpus();
    const QStringList paths = Hostile::writeCorpus(tmp.filePath(QStringLiteral("corpus")), cases);
    // Where a file that must fail stops; the others stop at decoding.
    const QHash<QString, int> stops{{"claims-100000x100000.png", Result::Admit},
                                    {"nosuffix", Result::Encode}};
    const char *commands[] = {"size", "format", "both"};
    for (int i = 0; i < cases.size(); ++i) {
        const Hostile::Case &c = cases.at(i);
        const QSize shown = c.shown.isValid() ? c.shown : QSize(96, 64);
        // The commands number as the job's modes do.
        for (int command : {Hostile::SizeCommand, Hostile::FormatCommand, Hostile::BothCommand}) {
            if (c.outcome[command] == Hostile::Outcome::Either)
                continue;
            const bool fails = c.outcome[command] == Hostile::Outcome::Fails;
            const QSize target = command == Hostile::FormatCommand
                    ? QSize()
                    : QSize(qMax(1, shown.width() * Hostile::percent / 100),
                            qMax(1, shown.height() * Hostile::percent / 100));
            QTest::addRow("%s %s", qPrintable(c.fileName), commands[command])
                    << paths.at(i) << ConvertMode(command) << target
                    << (command == Hostile::SizeCommand || c.formatIndex == 0
                                ? QFileInfo(c.fileName).suffix()
                                : Hostile::formatOfIndex(c.formatIndex))
                    << "out" << int(fails ? Result::Failed : Result::Written)
                    << (fails ? stops.value(c.fileName, Result::Decode) : int(Result::NoStep))
                    << (fails ? QSize() : target.isValid() ? target : c.shown);
        }
    }
}

void tst_ConversionJob::onePhoto()
{
    QFETCH(QString, source);
    QFETCH(ConvertMode, mode);
    QFETCH(QSize, size);
    QFETCH(QString, format);
    QFETCH(QString, folder);
    QFETCH(int, outcome);
    QFETCH(int, step);
    QFETCH(QSize, written);

    QTemporaryDir work;
    // A file already there, which a failure must leave as it was.
    const QString keep = writeImage(work.filePath("keep.png"), QSize(9, 9));
    const QByteArray kept = checksum(keep);
    writeBytes(work.filePath("blocker"), QByteArray());
    // A FIFO is not to be opened: it would block.
    const bool regular = QFileInfo(source).isFile();
    const QByteArray before = regular ? checksum(source) : QByteArray();

    ConversionJob job(source, mode, size, 0, format, Qt::IgnoreAspectRatio);
    ConversionJob::Target target;
    target.directory = work.filePath(folder);
    const Result result = job.run(target);
    QCOMPARE(int(result.outcome), outcome);
    QCOMPARE(int(result.step), step);
    QVERIFY(result.warnings.isEmpty());
    if (regular)
        QCOMPARE(checksum(source), before);
    QCOMPARE(checksum(keep), kept);
    if (outcome != Result::Written) {
        QVERIFY(!result.reason.isEmpty());
        QVERIFY(result.preview.isNull());
        QCOMPARE(QDir(work.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 (QStringList{"blocker", "keep.png"}));
        return;
    }
    QCOMPARE(result.fileName, target.directory + QLatin1Char('/')
                                      + QFileInfo(source).completeBaseName() + '.' + format);
    QCOMPARE(ImageLoader::read(result.fileName).size(), written);
    QVERIFY(!result.preview.isNull());
    // Whole files only: no temporary is left beside it.
    QCOMPARE(QDir(target.directory).entryList(QDir::Files | QDir::Hidden).size(), 1);
}

void tst_ConversionJob::laterOrderWins()
{
    const QString dir = tmp.filePath(QStringLiteral("order"));
    CommitOrder order;
    auto write = [&](const QSize &size, int batch) {
        ConversionJob job(tmp.filePath("order-src/same.png"), ConvertMode::FormatConvert,
                          QSize(), 0, QStringLiteral("png"), Qt::IgnoreAspectRatio);
        job.setImage(pattern(size));
        ConversionJob::Target target;
        target.directory = dir;
        target.namer = std::make_shared<TargetNamer>();
        target.commitOrder = &order;
        target.order = batch;
        return job.write(target);
    };
    QCOMPARE(int(write(QSize(20, 20), 2).outcome), int(Result::Written));
    // An earlier batch's result arriving late does not replace it, and is
    // no failure...
    const Result late = write(QSize(10, 10), 1);
    QCOMPARE(int(late.outcome), int(Result::Superseded));
    QCOMPARE(QImage(dir + "/same.png").size(), QSize(20, 20));
    // ...but the same or a later one does.
    QCOMPARE(int(write(QSize(30, 30), 3).outcome), int(Result::Written));
    QCOMPARE(QImage(dir + "/same.png").size(), QSize(30, 30));
    QCOMPARE(QDir(dir).entryList(QDir::Files | QDir::Hidden), QStringList{"same.png"});
}

void tst_ConversionJob::claimedSizes_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("percent");
    QTest::newRow("claims-30000x30000.jpg") << Hostile::jpegClaiming(QSize(30000, 30000)) << 50;
    // Within the decode limit, but not at 200 %.
    QTest::newRow("claims-16000x16000.png") << Hostile::hugePng(16000, 16000) << 200;
    // Within the limit, but 1000 % of it does not fit in an int.
    QTest::newRow("claims-250000000x1.tif") << Hostile::tiffClaimingWidth(250000000) << 1000;
}

// A header's claim, or the target it makes, is weighed before anything is
// decoded or allocated at its word, and before any folder is made.
void tst_ConversionJob::claimedSizes()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, percent);
    QTemporaryDir work;
    const QString source = writeBytes(work.filePath(QString::fromLatin1(QTest::currentDataTag())),
                                      bytes);
    ConversionJob job(source, ConvertMode::SizeConvert, QSize(), percent,
                      QFileInfo(source).suffix(), Qt::IgnoreAspectRatio);
    const Result result = job.run(ConversionJob::Target(work.filePath(QStringLiteral("out"))));
    QCOMPARE(int(result.outcome), int(Result::Failed));
    QCOMPARE(int(result.step), int(Result::Admit));
    QVERIFY(!QFileInfo::exists(work.filePath(QStringLiteral("out"))));
}

// A helper that dies while it encodes costs that photo alone: it fails at
// the encoding step and says so, nothing is written for it, and the next
// photo gets a new helper.
void tst_ConversionJob::helperEndedWhileEncoding()
{
    HelperPool &pool = HelperPool::instance();
    QVERIFY2(pool.available(), qPrintable(HelperPool::helperPath()));
    QTemporaryDir work;
    // Noise, which takes deflate a good while: the helper is still at it
    // when it is killed.
    QImage noise(3000, 2000, QImage::Format_RGB32);
    QRandomGenerator random(23);
    for (int y = 0; y < noise.height(); ++y)
        random.fillRange(reinterpret_cast<quint32 *>(noise.scanLine(y)), noise.width());
    const QString source = work.filePath(QStringLiteral("noise.bmp"));
    QVERIFY(noise.save(source));
    const QString out = work.filePath(QStringLiteral("out"));
    ConversionJob job(source, ConvertMode::FormatConvert, QSize(), 0, QStringLiteral("png"),
                      Qt::IgnoreAspectRatio);
    QList<pid_t> killed;
    job.setStepReached([&](Result::Step step) {
        if (step != Result::Encode)
            return;
        killed = pool.busyProcessIds(QStringLiteral("convert"));
        for (const pid_t pid : std::as_const(killed))
            ::kill(pid, SIGSEGV);
    });
    const Result result = job.run(ConversionJob::Target(out));
    QCOMPARE(killed.size(), 1);
    QCOMPARE(int(result.outcome), int(Result::Failed));
    QCOMPARE(result.reason, QStringLiteral("the encoder stopped on this file"));
    QCOMPARE(int(result.step), int(Result::Encode));
    QVERIFY(!QFileInfo::exists(out));

    ConversionJob next(source, ConvertMode::FormatConvert, QSize(), 0, QStringLiteral("png"),
                       Qt::IgnoreAspectRatio);
    const Result written = next.run(ConversionJob::Target(out));
    QCOMPARE(int(written.outcome), int(Result::Written));
    QCOMPARE(QImage(written.fileName).size(), QSize(3000, 2000));
    QVERIFY(!pool.processIds().contains(killed.first()));
}

QTEST_MAIN(tst_ConversionJob)
#include "tst_conversionjob.moc"
