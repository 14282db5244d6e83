#include "conversion/conversionjob.h"
#include "conversion/convertsettings.h"
#include "conversion/imagethread.h"
#include "decode/imageloader.h"

#include "testsupport.h"

#include <QTemporaryDir>
#include <QtTest>

// The size each mode gives a photo, as written: worked out by the window
// from the size the picture appears at (after its EXIF turn), in the
// helper's request.
class tst_ConvertSettings : public QObject
{
    Q_OBJECT

private slots:
    void writtenSize_data();
    void writtenSize();
    void edgeRule_data();
    void edgeRule();

private:
    QTemporaryDir tmp;
};

using namespace TestSupport;

namespace {

struct Source
{
    const char *name;
    QSize stored;
    quint16 orientation;
};

// Each appears as 300 x 200 (landscape) or 200 x 300 (portrait), two of
// them only once turned by their EXIF orientation.
const Source sources[] = {
    {"landscape", QSize(300, 200), 1},
    {"portrait", QSize(200, 300), 1},
    {"turned landscape", QSize(200, 300), 6},
    {"turned portrait", QSize(300, 200), 8},
};

struct Mode
{
    const char *name;
    SizeMode mode;
    int value; // percent, box side or edge
    QSize landscape; // the result of a 300 x 200 picture
};

const Mode modes[] = {
    {"50 %", SizeMode::Percent, 50, QSize(150, 100)},
    {"150 %", SizeMode::Percent, 150, QSize(450, 300)},
    {"box 120", SizeMode::Fixed, 120, QSize(120, 80)},
    {"box 900", SizeMode::Fixed, 900, QSize(900, 600)},
    // 200 * 100 / 300 = 66.7: rounded to the nearest pixel, not truncated.
    {"long edge 100", SizeMode::LongEdge, 100, QSize(100, 67)},
    {"long edge 1000", SizeMode::LongEdge, 1000, QSize(1000, 667)},
    {"short edge 70", SizeMode::ShortEdge, 70, QSize(105, 70)},
    {"short edge 500", SizeMode::ShortEdge, 500, QSize(750, 500)},
};

ConvertSettings settingsFor(SizeMode mode, int value, bool noEnlarge)
{
    ConvertSettings settings;
    settings.sizeMode = mode;
    settings.percent = value;
    settings.fixedSize = QSize(value, value);
    settings.edge = value;
    settings.noEnlarge = noEnlarge;
    return settings;
}

} // namespace

void tst_ConvertSettings::writtenSize_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("value");
    QTest::addColumn<QSize>("stored");
    QTest::addColumn<int>("orientation");
    QTest::addColumn<bool>("noEnlarge");
    QTest::addColumn<QSize>("expected");
    // What the window works out: a box stays the box the picture is then
    // fitted into, unless the picture keeps its own size.
    QTest::addColumn<QSize>("target");
    for (const Mode &mode : modes) {
        for (const Source &source : sources) {
            const QSize shown = source.orientation >= 5 ? source.stored.transposed() : source.stored;
            const bool portrait = shown.height() > shown.width();
            const QSize result = portrait ? mode.landscape.transposed() : mode.landscape;
            for (const bool noEnlarge : {false, true}) {
                const bool enlarges = result.width() > shown.width();
                const QSize expected = noEnlarge && enlarges ? shown : result;
                const QSize box(mode.value, mode.value);
                QTest::addRow("%s, %s%s", mode.name, source.name, noEnlarge ? ", never enlarge" : "")
                        << int(mode.mode) << mode.value << source.stored << int(source.orientation)
                        << noEnlarge << expected
                        << (mode.mode == SizeMode::Fixed && expected != shown ? box : expected);
            }
        }
    }
}

void tst_ConvertSettings::writtenSize()
{
    QFETCH(int, mode);
    QFETCH(int, value);
    QFETCH(QSize, stored);
    QFETCH(int, orientation);
    QFETCH(bool, noEnlarge);
    QFETCH(QSize, expected);
    QFETCH(QSize, target);

    const QString path = writeRotatedJpeg(
            tmp.filePath(QStringLiteral("%1x%2-o%3.jpg").arg(stored.width()).arg(stored.height()).arg(orientation)),
            stored, quint16(orientation));
    ConvertSettings settings = settingsFor(SizeMode(mode), value, noEnlarge);
    settings.format = TargetFormat::ofItem(4); // PNG
    // The window's own look-up agrees with what the worker writes.
    QCOMPARE(settings.targetSize(path), target);

    QScopedPointer<ImageThread> thread(ImageThread::create(ConvertMode::SizeConvert, settings, path));
    thread->start();
    QVERIFY(thread->wait(30000));
    QVERIFY(thread->job());
    QTemporaryDir out(tmp.filePath(QStringLiteral("out-XXXXXX")));
    const ConversionResult written = thread->job()->write(ConversionJob::Target(out.path()));
    QCOMPARE(written.outcome, ConversionResult::Written);
    QCOMPARE(ImageLoader::displaySize(written.fileName), expected);
    // Upright: the top left quarter of the picture as it appears is red.
    const QImage result = ImageLoader::read(written.fileName);
    const QImage upright = ImageLoader::read(path);
    const QPoint corner(result.width() / 8, result.height() / 8);
    const QPoint sourceCorner(upright.width() / 8, upright.height() / 8);
    QCOMPARE(QColor(result.pixel(corner)).hue() / 30, QColor(upright.pixel(sourceCorner)).hue() / 30);
}

void tst_ConvertSettings::edgeRule_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("edge");
    QTest::addColumn<QSize>("shown");
    QTest::addColumn<QSize>("expected");
    QTest::addRow("a strip keeps one pixel") << int(SizeMode::LongEdge) << 100 << QSize(10000, 3) << QSize(100, 1);
    QTest::addRow("square, long") << int(SizeMode::LongEdge) << 64 << QSize(500, 500) << QSize(64, 64);
    QTest::addRow("square, short") << int(SizeMode::ShortEdge) << 64 << QSize(500, 500) << QSize(64, 64);
    QTest::addRow("a strip's short side") << int(SizeMode::ShortEdge) << 65535 << QSize(100000, 2)
                                           << QSize(std::numeric_limits<int>::max(), 65535);
    QTest::addRow("nothing to scale") << int(SizeMode::LongEdge) << 100 << QSize(0, 0) << QSize(0, 0);
}

void tst_ConvertSettings::edgeRule()
{
    QFETCH(int, mode);
    QFETCH(int, edge);
    QFETCH(QSize, shown);
    QFETCH(QSize, expected);
    QCOMPARE(settingsFor(SizeMode(mode), edge, false).targetFor(shown), expected);
}

QTEST_MAIN(tst_ConvertSettings)
#include "tst_convertsettings.moc"
