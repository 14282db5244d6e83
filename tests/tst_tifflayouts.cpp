#include "realfixtures.h"
#include "testsupport.h"

#include <QTest>

using namespace RealFixtures;
using namespace TestSupport;

// TIFF files in the layouts scanners, editors and HDR tools write, made
// with libtiff, each converted as the window converts it and compared with
// the picture it holds: size, orientation and colour.
class tst_TiffLayouts : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void layouts_data();
    void layouts();

private:
    QTemporaryDir tmp;
    int serial = 0;
};

void tst_TiffLayouts::initTestCase()
{
    QVERIFY(tmp.isValid());
    isolateSettings(tmp);
}

void tst_TiffLayouts::layouts_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QImage>("reference");
    const QSize size(64, 48);
    // Stored as the layout says; tagged orientations are stored a quarter
    // turn to the left, to be turned back.
    const auto row = [&](const char *name, const TiffLayout &layout, const QImage &picture,
                         const QImage &reference) {
        const QImage stored = layout.orientation == ORIENTATION_RIGHTTOP
                ? picture.transformed(QTransform().rotate(270))
                : picture;
        QVERIFY(writeTiff(tmp.filePath(name), stored, layout));
        QTest::newRow(name) << tmp.filePath(name) << reference;
    };
    TiffLayout layout;
    row("rgb8.tif", layout, ramp(size), ramp(size));
    layout.bits = 16;
    row("rgb16.tif", layout, ramp(size), ramp(size));
    layout.planar = true;
    row("rgb16-planar.tif", layout, ramp(size), ramp(size));
    layout.planar = false;
    layout.tiled = true;
    row("rgb16-tiled.tif", layout, ramp(size), ramp(size));
    // One tile larger than the picture on both sides, as some editors
    // write small pictures.
    layout.tile = 64;
    layout.compression = COMPRESSION_ADOBE_DEFLATE;
    row("rgb16-one-tile.tif", layout, ramp(QSize(60, 40)), ramp(QSize(60, 40)));
    layout.tile = 16;
    layout.compression = COMPRESSION_NONE;
    layout.tiled = false;
    layout.photometric = PHOTOMETRIC_MINISBLACK;
    row("grey16.tif", layout, ramp(size, true), ramp(size, true));
    layout.bits = 8;
    layout.alpha = true;
    QImage faded = ramp(size, true).convertToFormat(QImage::Format_ARGB32);
    QImage overWhite = ramp(size, true);
    for (int y = 0; y < size.height() / 2; ++y) {
        for (int x = 0; x < size.width(); ++x) {
            faded.setPixel(x, y, qRgba(0, 0, 0, 0));
            overWhite.setPixel(x, y, qRgb(255, 255, 255));
        }
    }
    row("grey8-alpha.tif", layout, faded, overWhite);
    layout.photometric = PHOTOMETRIC_RGB;
    layout.compression = COMPRESSION_LZW;
    row("rgba8-lzw.tif", layout, faded, overWhite);

    const auto only = [](int photometric, int bits, int orientation = ORIENTATION_TOPLEFT) {
        TiffLayout kind;
        kind.photometric = photometric;
        kind.bits = bits;
        kind.orientation = orientation;
        return kind;
    };
    row("cielab8.tif", only(PHOTOMETRIC_CIELAB, 8), ramp(size), ramp(size));
    row("cielab16-turned.tif", only(PHOTOMETRIC_CIELAB, 16, ORIENTATION_RIGHTTOP), ramp(size),
        ramp(size));
    TiffLayout labTiles = only(PHOTOMETRIC_CIELAB, 8);
    labTiles.tiled = true; // and tiles cut short at the right and bottom
    row("cielab8-tiled.tif", labTiles, ramp(QSize(60, 40)), ramp(QSize(60, 40)));
    row("logluv.tif", only(PHOTOMETRIC_LOGLUV, 32), ramp(size), ramp(size));
    row("logluv-grey.tif", only(PHOTOMETRIC_LOGLUV, 32), ramp(size, true), ramp(size, true));
    row("palette16.tif", only(PHOTOMETRIC_PALETTE, 16), pattern(size), pattern(size));
    row("palette16-turned.tif", only(PHOTOMETRIC_PALETTE, 16, ORIENTATION_RIGHTTOP), ramp(size),
        ramp(size));
}

void tst_TiffLayouts::layouts()
{
    QFETCH(QString, path);
    QFETCH(QImage, reference);
    const QString why = notHalfOf(path, tmp.filePath(QStringLiteral("out%1").arg(++serial)), reference);
    QVERIFY2(why.isEmpty(), qPrintable(why));
}

QTEST_MAIN(tst_TiffLayouts)
#include "tst_tifflayouts.moc"
