#include "legacyfixtures.h"
#include "realfixtures.h"
#include "rawfixture.h"
#include "testsupport.h"

#include "sources/sourceformat.h"

#include <QProcess>
#include <QTest>

using namespace RealFixtures;
using namespace TestSupport;

// Files as other people's cameras and programs write them, each converted
// as the window converts it and compared with the picture it holds.
class tst_RealFiles : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void heifBrands_data();
    void heifBrands();
    void tinySides_data();
    void tinySides();
    void pngColourChunks_data();
    void pngColourChunks();
    void jxlColourEncodings_data();
    void jxlColourEncodings();
    void exifOrientation_data();
    void exifOrientation();
    void truncatedFiles_data();
    void truncatedFiles();
    void sameBytesTwice_data();
    void sameBytesTwice();

private:
    QTemporaryDir tmp;
    int serial = 0;
    QString outDir() { return tmp.filePath(QStringLiteral("out%1").arg(++serial)); }
    void convertsToHalfOf(const QString &path, const QImage &reference);
};

// Converts path at 50 % and checks the result against the picture the
// file holds, as seen upright in sRGB: its size and a mean delta E of 3.
void tst_RealFiles::convertsToHalfOf(const QString &path, const QImage &reference)
{
    const QString why = notHalfOf(path, outDir(), reference);
    QVERIFY2(why.isEmpty(), qPrintable(why));
}

void tst_RealFiles::initTestCase()
{
    QVERIFY(tmp.isValid());
    isolateSettings(tmp);
}

void tst_RealFiles::heifBrands_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("image");

    const QImage picture = pattern(QSize(64, 48));
    const QByteArray heic = heif(picture, heif_compression_HEVC);
    const QByteArray avif = heif(picture, heif_compression_AV1);
    const QString d = tmp.path() + '/';
    const auto row = [&](const char *name, const QByteArray &bytes, bool image) {
        QTest::newRow(name) << writeBytes(d + name, bytes) << image;
    };
    row("major-heic.heic", heic, true);
    row("major-mif1-heic-compatible.heic", withBrands(heic, "mif1", {"mif1", "heic"}), true);
    row("major-msf1-heic-compatible.heic", withBrands(heic, "msf1", {"msf1", "heic"}), true);
    row("major-mif1-only.heic", withBrands(heic, "mif1", {"miaf", "mif1"}), true);
    row("major-mif1-avif-compatible.avif", withBrands(avif, "mif1", {"miaf", "avif"}), true);
    row("major-avif.avif", avif, true);
    // A video shares the box, not the brands.
    row("major-mp42-isom.heic", withBrands(heic, "mp42", {"isom", "mp42"}), false);
}

void tst_RealFiles::heifBrands()
{
    QFETCH(QString, path);
    QFETCH(bool, image);
    QCOMPARE(SourceFormat::isImage(path), image);
    const Converted out = convert(path, outDir());
    QCOMPARE(out.result.written(), image);
    if (!image)
        return;
    const QImage reference = pattern(QSize(64, 48)).scaled(32, 24);
    QCOMPARE(out.image.size(), reference.size());
    QVERIFY2(meanDeltaE(out.image, reference) <= 3, qPrintable(QString::number(meanDeltaE(out.image, reference))));
}

void tst_RealFiles::tinySides_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("percent");
    QTest::addColumn<QSize>("written");
    const QString d = tmp.path() + '/';
    QTest::newRow("1x1 png at 50%") << writeImage(d + "one.png", QSize(1, 1), "png") << 50
                                    << QSize(1, 1);
    QTest::newRow("1x13 webp at 50%") << writeImage(d + "line.webp", QSize(1, 13), "webp") << 50
                                      << QSize(1, 6);
    QTest::newRow("13x1 bmp at 1%") << writeImage(d + "row.bmp", QSize(13, 1), "bmp") << 1
                                    << QSize(1, 1);
    QTest::newRow("2x2 heic at 10%")
            << writeBytes(d + "small.heic", heif(pattern(QSize(2, 2)), heif_compression_HEVC)) << 10
            << QSize(1, 1);
}

void tst_RealFiles::tinySides()
{
    QFETCH(QString, path);
    QFETCH(int, percent);
    QFETCH(QSize, written);
    const Converted out = convert(path, outDir(), percent);
    QVERIFY2(out.result.written(), qPrintable(out.result.reason));
    QCOMPARE(out.image.size(), written);
}

namespace {

QByteArray wideChrm()
{
    QByteArray body;
    for (const double v : {0.3127, 0.3290, 0.64, 0.33, 0.21, 0.71, 0.15, 0.06})
        body += be32(quint32(std::lround(v * 100000)));
    return PngChunks::make("cHRM", body);
}

} // namespace

void tst_RealFiles::pngColourChunks_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QImage>("reference");
    const QString d = tmp.path() + "/png/";
    QDir().mkpath(d);
    const QSize size(64, 48);
    const auto row = [&](const char *name, const QByteArray &bytes, const QImage &reference) {
        QTest::newRow(name) << writeBytes(d + name, bytes) << reference;
    };
    const QByteArray gammaOne = PngChunks::make("gAMA", be32(100000));
    const QByteArray srgb = PngChunks::make("sRGB", QByteArray(1, '\0'));
    row("rgb-gama-1.0.png", png(linear(ramp(size)), 2, 16, {gammaOne}), ramp(size));
    row("rgb8-gama-1.0.png", png(linear(ramp(size)), 2, 8, {gammaOne}), ramp(size));
    row("grey-gama-1.0.png", png(linear(ramp(size, true)), 0, 16, {gammaOne}), ramp(size, true));
    row("grey-alpha-gama-1.0.png", png(linear(ramp(size, true)), 4, 16, {gammaOne}),
        ramp(size, true));
    row("rgb-gama-and-srgb.png",
        png(ramp(size), 2, 8, {PngChunks::make("gAMA", be32(45455)), srgb}), ramp(size));
    row("grey-gama-0.45.png", png(ramp(size, true), 0, 8, {PngChunks::make("gAMA", be32(45455))}),
        ramp(size, true));
    // Primaries of its own (cHRM) count when no sRGB or iCCP chunk overrules them.
    row("rgb-srgb-and-chrm-wide.png", png(ramp(size), 2, 8, {srgb, wideChrm()}), ramp(size));
    row("rgb-chrm-wide-without-gama.png", png(ramp(size), 2, 8, {wideChrm()}),
        viaLittleCms(ramp(size), wideProfile(2.2)));
    row("rgb-chrm-wide-gama-0.45.png",
        png(ramp(size), 2, 8, {PngChunks::make("gAMA", be32(45455)), wideChrm()}),
        viaLittleCms(ramp(size), wideProfile(2.2)));
    row("rgb16-chrm-wide-gama-1.0.png", png(ramp(size), 2, 16, {gammaOne, wideChrm()}),
        viaLittleCms(ramp(size), wideProfile(1.0)));
    // The profile wins over the chunks beside it.
    const QByteArray wide = wideProfile(2.2);
    const QByteArray iccp = PngChunks::make("iCCP", QByteArray("wide\0\0", 6) + qCompress(wide).mid(4));
    row("rgb-iccp-wide.png", png(ramp(size), 2, 8, {iccp}), viaLittleCms(ramp(size), wide));
    row("rgb-iccp-wide-and-gama-1.0.png", png(ramp(size), 2, 8, {gammaOne, iccp}),
        viaLittleCms(ramp(size), wide));
    // 16 bits with a transparent colour (black: none of its pixels) go
    // through libpng, which takes 16-bit samples for linear light unless told.
    const QByteArray blackOut = PngChunks::make("tRNS", be16(0) + be16(0) + be16(0));
    row("rgb16-trns.png", png(ramp(size), 2, 16, {blackOut}), ramp(size));
    row("rgb16-trns-iccp-wide-and-gama-1.0.png", png(ramp(size), 2, 16, {gammaOne, iccp, blackOut}),
        viaLittleCms(ramp(size), wide));
    // The transparent colour is the red quadrant's: it shows the white behind.
    QImage opened = pattern(size);
    for (int y = 0; y < size.height(); ++y)
        for (int x = 0; x < size.width(); ++x)
            if (opened.pixel(x, y) == qRgb(255, 0, 0))
                opened.setPixel(x, y, qRgb(255, 255, 255));
    row("rgb16-trns-red.png", png(pattern(size), 2, 16, {PngChunks::make("tRNS", be16(0xffff) + be16(0) + be16(0))}),
        opened);
    row("rgb8-trns-red.png", png(pattern(size), 2, 8, {PngChunks::make("tRNS", be16(255) + be16(0) + be16(0))}),
        opened);
}

void tst_RealFiles::pngColourChunks()
{
    QFETCH(QString, path);
    QFETCH(QImage, reference);
    convertsToHalfOf(path, reference);
}

void tst_RealFiles::jxlColourEncodings_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QImage>("reference");
    const QString d = tmp.path() + "/jxl/";
    QDir().mkpath(d);
    const QSize size(64, 48);
    // Samples as stored; the reference is what they stand for, in sRGB.
    const auto linearStored = [](const QImage &picture) {
        return linear(picture).convertToFormat(QImage::Format_ARGB32);
    };
    // Grey fading out towards the top.
    QImage fading = ramp(size, true).convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < size.height(); ++y)
        for (int x = 0; x < size.width(); ++x)
            fading.setPixel(x, y, (fading.pixel(x, y) & 0xffffff) | uint(255 * y / (size.height() - 1)) << 24);
    for (const bool lossless : {true, false}) {
        const char *how = lossless ? "lossless" : "lossy";
        QTest::addRow("rgb srgb %s", how)
                << writeBytes(d + how + "-rgb.jxl", jxl(ramp(size), false, false, lossless)) << ramp(size);
        QTest::addRow("grey srgb %s", how)
                << writeBytes(d + how + "-grey.jxl", jxl(ramp(size, true), true, false, lossless))
                << ramp(size, true);
        QTest::addRow("rgb linear %s", how)
                << writeBytes(d + how + "-rgb-linear.jxl",
                              jxl(linearStored(ramp(size)), false, true, lossless))
                << ramp(size);
        QTest::addRow("grey linear %s", how)
                << writeBytes(d + how + "-grey-linear.jxl",
                              jxl(linearStored(ramp(size, true)), true, true, lossless))
                << ramp(size, true);
        QTest::addRow("grey alpha srgb %s", how)
                << writeBytes(d + how + "-grey-alpha.jxl", jxl(fading, true, false, lossless, true))
                << fading;
        QTest::addRow("grey alpha linear %s", how)
                << writeBytes(d + how + "-grey-alpha-linear.jxl",
                              jxl(linearStored(fading), true, true, lossless, true))
                << fading;
    }
}

void tst_RealFiles::jxlColourEncodings()
{
    QFETCH(QString, path);
    QFETCH(QImage, reference);
    convertsToHalfOf(path, reference);
}

void tst_RealFiles::exifOrientation_data()
{
    QTest::addColumn<QString>("path");
    const QString d = tmp.path() + "/turned/";
    QDir().mkpath(d);
    // Stored a quarter turn to the left, tagged 6 to be turned back.
    const QImage stored = pattern(QSize(64, 48)).transformed(QTransform().rotate(270));
    const QByteArray exif = exifBlock(6);
    QByteArray jpeg;
    {
        QBuffer buffer(&jpeg);
        buffer.open(QIODevice::WriteOnly);
        stored.save(&buffer, "jpg", 95);
    }
    const QByteArray app1 = QByteArray("Exif\0\0", 6) + exif;
    jpeg.insert(2, QByteArray("\xff\xe1", 2) + be16(quint16(app1.size() + 2)) + app1);
    QTest::newRow("jpg") << writeBytes(d + "turned.jpg", jpeg);
    QTest::newRow("png eXIf") << writeBytes(d + "turned.png", png(stored, 2, 8, {PngChunks::make("eXIf", exif)}));
    QTest::newRow("png eXIf and gAMA")
            << writeBytes(d + "turned-linear.png",
                          png(linear(stored), 2, 16, {PngChunks::make("gAMA", be32(100000)), PngChunks::make("eXIf", exif)}));
    QTest::newRow("webp EXIF") << writeBytes(d + "turned.webp", webpWithExif(stored, exif));
    TiffLayout tagged;
    tagged.orientation = ORIENTATION_RIGHTTOP; // 6
    QVERIFY(writeTiff(d + "turned.tif", stored, tagged));
    QTest::newRow("tiff") << d + "turned.tif";
}

void tst_RealFiles::exifOrientation()
{
    QFETCH(QString, path);
    convertsToHalfOf(path, pattern(QSize(64, 48)));
}

// What each format's file cut short gives: Fails, or Warns (written, with
// a warning on its image that it is incomplete). Never a silent success.
enum Cut { Fails, Warns };

void tst_RealFiles::truncatedFiles_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("cut");
    const QString d = tmp.path() + "/cut/";
    QDir().mkpath(d);
    const QImage picture = pattern(QSize(96, 64));
    const auto encoded = [&](const char *format) {
        QByteArray bytes;
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        picture.save(&buffer, format, 90);
        return bytes;
    };
    const auto row = [&](const QString &name, const QByteArray &whole, int cut) {
        const QString file = QStringLiteral("%1-truncated-at-60-percent.%2").arg(name, name);
        QTest::newRow(qPrintable(file)) << writeBytes(d + file, whole.left(whole.size() * 6 / 10))
                                        << cut;
    };
    row("jpg", encoded("jpg"), Fails);
    row("png", encoded("png"), Fails);
    row("bmp", encoded("bmp"), Fails);
    row("tif", encoded("tif"), Fails);
    row("webp", encoded("webp"), Fails);
    row("heic", heif(picture, heif_compression_HEVC), Fails);
    // A RAW file is never converted from its preview instead.
    QVERIFY(RawFixture::writeDng(d + "whole.dng", pattern(QSize(64, 48)), "2024:01:02 03:04:05"));
    row("dng", fileBytes(d + "whole.dng"), Fails);
    // A CRW's signature with nothing behind it: libraw's reason, not Qt's.
    QTest::newRow("crw-signature-only.crw")
            << writeBytes(d + "crw-signature-only.crw", QByteArray("II\x1a\0\0\0HEAPCCDR", 14)
                                                                + QByteArray(200, '\0'))
            << int(Fails);
    // A GIF of one frame without its closing byte: the frame is whole.
    // (The literal is split so that "D" is not read into the hex escape.)
    const QByteArray gif("GIF89a\x01\x00\x01\x00\x80\x00\x00\xff\xff\xff\x00\x00\x00"
                         ",\x00\x00\x00\x00\x01\x00\x01\x00\x00\x02\x02" "D\x01\x00", 35);
    QTest::newRow("gif-without-trailer.gif") << writeBytes(d + "gif-without-trailer.gif", gif) << int(Warns);
}

void tst_RealFiles::truncatedFiles()
{
    QFETCH(QString, path);
    QFETCH(int, cut);
    const Converted out = convert(path, outDir());
    qDebug().noquote() << out.result.reason << out.result.warnings;
    QCOMPARE(out.result.written(), cut == Warns);
    if (cut == Warns)
        QVERIFY(!out.result.warnings.isEmpty());
}

void tst_RealFiles::sameBytesTwice_data()
{
    QTest::addColumn<QString>("path");
    const QString d = tmp.path() + "/twice/";
    QDir().mkpath(d);
    const QImage picture = pattern(QSize(60, 40), true);
    const auto row = [&](const char *name, const QByteArray &bytes) {
        QTest::newRow(name) << writeBytes(d + name, bytes);
    };
    row("sixteen-bit-trns.png",
        png(picture, 2, 16, {PngChunks::make("tRNS", be16(0xffff) + be16(0) + be16(0))}));
    row("eight-bit-trns.png", png(picture, 2, 8, {PngChunks::make("tRNS", be16(255) + be16(0) + be16(0))}));
    TiffLayout planar;
    planar.bits = 16;
    planar.planar = true;
    QVERIFY(writeTiff(d + "planar-16.tif", picture, planar));
    QTest::newRow("planar-16.tif") << d + "planar-16.tif";
    row("rle8-skipping-pixels.bmp", LegacyFixtures::bmpRleSkipping(QSize(60, 40)));
    row("rle4.bmp", LegacyFixtures::bmpIndexed(QSize(60, 40), 4, true).bytes);
    row("colour-mapped-rle.tga",
        LegacyFixtures::tga(QSize(60, 40), LegacyFixtures::TgaKind::ColourMapped, true).bytes);
    const QByteArray rleTga = LegacyFixtures::tga(QSize(60, 40), LegacyFixtures::TgaKind::TrueColour24, true).bytes;
    row("truecolour-rle-truncated-at-60-percent.tga", rleTga.left(rleTga.size() * 6 / 10));
    QByteArray bmp;
    {
        QBuffer buffer(&bmp);
        buffer.open(QIODevice::WriteOnly);
        pattern(QSize(60, 40)).save(&buffer, "bmp");
    }
    row("truncated-at-60-percent.bmp", bmp.left(bmp.size() * 6 / 10));
    QVERIFY(RawFixture::writeDng(d + "full.dng", pattern(QSize(64, 48)), "2024:01:02 03:04:05"));
    const QByteArray dng = fileBytes(d + "full.dng");
    row("dng-cut-in-sensor-data.dng", dng.left(dng.size() - 64 * 48));
    row("dng-cut-before-sensor-data.dng", dng.left(dng.size() - 64 * 48 * 2 - 200));
}

void tst_RealFiles::sameBytesTwice()
{
    QFETCH(QString, path);
    QByteArray outcome[2];
    QByteArray bytes[2];
    const char *fillings[2] = {"85", "170"};
    for (int i = 0; i < 2; ++i) {
        const QString out = outDir();
        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("MALLOC_PERTURB_"), QLatin1String(fillings[i]));
        process.setProcessEnvironment(env);
        process.start(QStringLiteral(PICTAVO_CONVERT_ONCE), {path, out, "50", "png"});
        QVERIFY(process.waitForFinished(60000));
        QCOMPARE(process.exitCode(), 0);
        outcome[i] = process.readAllStandardOutput();
        const QByteArrayList lines = outcome[i].split('\n');
        if (lines.value(0).startsWith("written "))
            bytes[i] = fileBytes(QString::fromUtf8(lines[0].mid(8)));
        outcome[i].replace(out.toUtf8(), "OUT");
    }
    qDebug().noquote() << outcome[0].trimmed();
    QCOMPARE(outcome[0], outcome[1]);
    QVERIFY2(bytes[0] == bytes[1], "different pixels from the same file");
}

QTEST_MAIN(tst_RealFiles)
#include "tst_realfiles.moc"
