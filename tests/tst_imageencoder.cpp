#include "cms/colorconverter.h"
#include "conversion/conversionjob.h"
#include "encode/imageencoder.h"
#include "decode/imageloader.h"
#include "encode/outputformat.h"
#include "metadata/photometadata.h"

#include "testsupport.h"
#include "photofixtures.h"

#include <QColorSpace>
#include <QImageReader>
#include <QImageWriter>

#include <exiv2/exiv2.hpp>
#include <lcms2.h>


// What a converted photo keeps: its metadata, its colours and its
// transparency, checked by reading the written files back; and the JPEG
// writer's own tables.
class tst_ImageEncoder : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void keepsWhatPhotosCarry_data();
    void keepsWhatPhotosCarry();
    void jpegTablesOptimized();

private:
    QString make(const QString &name, const QByteArray &bytes)
    {
        return TestSupport::writeBytes(tmp.filePath(name), bytes);
    }
    QTemporaryDir tmp;
};

// A pixel to look at, placed as a fraction of the output's size.
struct Probe
{
    QPointF at;
    QColor expected; // alpha compared too
    int tolerance;
};
Q_DECLARE_METATYPE(QList<Probe>)

enum Profile { AnyProfile, RgbOrNone, AdobeRgb, DisplayP3 };
enum { SourceInks = 4 };

using namespace PhotoFixtures;

namespace {

// Ink values (C, M, Y, K) of the four quadrants of the CMYK fixtures.
const int inks[SourceInks][4] = {{255, 0, 0, 0}, {20, 60, 80, 10}, {0, 0, 0, 255}, {0, 0, 0, 0}};

// A 64 x 64 CMYK JPEG of the four inks, written by libjpeg: as Adobe's
// programs write them (YCCK, inverted, with an APP14 marker) with a
// profile, or as plain CMYK without either.
QByteArray cmykJpeg(bool adobe, const QByteArray &profile)
{
    return TestSupport::cmykJpeg(QSize(64, 64), adobe ? JCS_YCCK : JCS_CMYK, adobe, profile,
                                 [adobe](int x, int y) {
                                     const int *ink = inks[(y >= 32 ? 2 : 0) + (x >= 32 ? 1 : 0)];
                                     std::array<int, 4> stored{};
                                     for (int c = 0; c < 4; ++c)
                                         stored[c] = adobe ? 255 - ink[c] : ink[c];
                                     return stored;
                                 });
}

// The inks in sRGB, as Little CMS makes them from the standard profile.
QList<Probe> cmykProbes(int tolerance)
{
    const QByteArray icc = ColorConverter::defaultCmykProfile();
    cmsHPROFILE cmyk = cmsOpenProfileFromMem(icc.constData(), cmsUInt32Number(icc.size()));
    cmsHPROFILE srgb = cmsCreate_sRGBProfile();
    cmsHTRANSFORM transform = cmsCreateTransform(cmyk, TYPE_CMYK_8, srgb, TYPE_RGB_8,
                                                 INTENT_RELATIVE_COLORIMETRIC,
                                                 cmsFLAGS_BLACKPOINTCOMPENSATION);
    QList<Probe> probes;
    for (int q = 0; q < SourceInks; ++q) {
        quint8 in[4], out[3];
        for (int c = 0; c < 4; ++c)
            in[c] = quint8(inks[q][c]);
        cmsDoTransform(transform, in, out, 1);
        probes << Probe{QPointF(q % 2 ? 0.75 : 0.25, q >= 2 ? 0.75 : 0.25),
                        QColor(out[0], out[1], out[2]), tolerance};
    }
    cmsDeleteTransform(transform);
    cmsCloseProfile(srgb);
    cmsCloseProfile(cmyk);
    return probes;
}

// A mid green in Adobe RGB, which sRGB shows as a different triple.
const QColor patch(60, 160, 90);

QByteArray taggedPatch(QColorSpace::NamedColorSpace space)
{
    QImage image(32, 32, QImage::Format_RGB32);
    image.fill(patch);
    image.setColorSpace(space);
    return encoded(image, "png");
}

QColor patchInSrgb()
{
    return QColorSpace(QColorSpace::AdobeRgb).transformationToColorSpace(QColorSpace::SRgb).map(patch);
}

// Black under its transparent left half, 50 % red on the right.
QByteArray logo()
{
    QImage image(64, 32, QImage::Format_ARGB32);
    image.fill(QColor(0, 0, 0, 0));
    for (int y = 0; y < 32; ++y) {
        for (int x = 32; x < 64; ++x)
            image.setPixel(x, y, qRgba(255, 0, 0, 128));
    }
    return encoded(image, "png");
}

// Red, and yellow made transparent by the palette's tRNS entry.
QByteArray palettePng()
{
    QImage image(32, 32, QImage::Format_Indexed8);
    image.setColorTable({qRgba(255, 0, 0, 255), qRgba(255, 255, 0, 0)});
    image.fill(1);
    for (int y = 0; y < 32; ++y) {
        for (int x = 0; x < 16; ++x)
            image.setPixel(x, y, 0);
    }
    return encoded(image, "png");
}

// A Display P3 photo stored on its side (EXIF orientation 6), as phones
// write them.
QByteArray p3Photo()
{
    QImage image(96, 64, QImage::Format_RGB32);
    image.fill(QColor(0, 200, 60));
    image.setColorSpace(QColorSpace::DisplayP3);
    return withMetadata(encoded(image, "jpeg"), [](Exiv2::Image &file) {
        file.exifData()["Exif.Image.Orientation"] = uint16_t(6);
    });
}

} // namespace

void tst_ImageEncoder::initTestCase()
{
    QVERIFY(tmp.isValid());
    PhotoMetadata::initLibrary(); // before the fixtures use exiv2
    make("photo.jpg", photo());
    QByteArray scribbled = photo();
    for (int i = 40; i < 200; ++i) // inside the EXIF block
        scribbled[i] = char(i * 7);
    make("exif-scribbled.jpg", scribbled);
    // The profile is a megabyte: the frame header lies far into the file.
    make("cmyk-adobe-profile.jpg",
         withMetadata(cmykJpeg(true, ColorConverter::defaultCmykProfile()), [](Exiv2::Image &file) {
             file.xmpData()["Xmp.photoshop.ColorMode"] = "4"; // CMYK
             file.xmpData()["Xmp.photoshop.ICCProfile"] = "Coated FOGRA39";
         }));
    make("cmyk-plain.jpg", cmykJpeg(false, QByteArray()));
    make("adobe-rgb.png", taggedPatch(QColorSpace::AdobeRgb));
    make("srgb.png", taggedPatch(QColorSpace::SRgb));
    make("logo.png", logo());
    make("palette-trns.png", palettePng());
    make("p3-turned-by-exif.jpg", p3Photo());
    QVERIFY(TestSupport::fileBytes(tmp.filePath("palette-trns.png")).contains("tRNS"));
}

void tst_ImageEncoder::keepsWhatPhotosCarry_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("format");
    QTest::addColumn<int>("percent");
    QTest::addColumn<bool>("metadata"); // EXIF, XMP and IPTC copied and true
    QTest::addColumn<int>("profile");
    QTest::addColumn<QList<Probe>>("probes");

    const QList<Probe> upright{{QPointF(0.5, 0.2), Qt::red, 40}, {QPointF(0.5, 0.8), Qt::blue, 40}};
    for (const char *format : {"jpg", "png", "tiff", "webp"})
        QTest::addRow("photo %s", format) << "photo.jpg" << format << 50 << true << int(AnyProfile) << upright;
    QTest::newRow("photo bmp") << "photo.jpg" << "bmp" << 100 << false << int(AnyProfile) << upright;
    QTest::newRow("damaged exif still written")
            << "exif-scribbled.jpg" << "jpg" << 100 << false << int(AnyProfile) << QList<Probe>();

    QTest::newRow("cmyk with profile, jpg")
            << "cmyk-adobe-profile.jpg" << "jpg" << 100 << false << int(RgbOrNone) << cmykProbes(8);
    QTest::newRow("cmyk with profile, bmp at 50 %")
            << "cmyk-adobe-profile.jpg" << "bmp" << 50 << false << int(RgbOrNone) << cmykProbes(5);
    QTest::newRow("cmyk without profile, png")
            << "cmyk-plain.jpg" << "png" << 100 << false << int(RgbOrNone) << cmykProbes(5);

    const QList<Probe> adobe{{QPointF(0.5, 0.5), patch, 1}};
    const QList<Probe> converted{{QPointF(0.5, 0.5), patchInSrgb(), 2}};
    QTest::newRow("adobe rgb png keeps profile") << "adobe-rgb.png" << "png" << 100 << false << int(AdobeRgb) << adobe;
    QTest::newRow("adobe rgb jpg keeps profile") << "adobe-rgb.png" << "jpg" << 100 << false << int(AdobeRgb)
                                                 << QList<Probe>{{QPointF(0.5, 0.5), patch, 4}};
    for (const char *format : {"bmp", "ppm", "xpm"})
        QTest::addRow("adobe rgb %s in srgb", format) << "adobe-rgb.png" << format << 100 << false << int(AnyProfile) << converted;
    for (const char *format : {"png", "jpg", "tiff"}) {
        QTest::addRow("p3 turned upright keeps p3, %s", format)
                << "p3-turned-by-exif.jpg" << format << 100 << false << int(DisplayP3)
                << QList<Probe>{{QPointF(0.5, 0.5), QColor(0, 200, 60), 4}};
    }
    QTest::newRow("srgb bmp unchanged") << "srgb.png" << "bmp" << 100 << false << int(AnyProfile) << adobe;

    const QColor white(255, 255, 255);
    const QList<Probe> flat{{QPointF(0.25, 0.5), white, 1}, {QPointF(0.75, 0.5), QColor(255, 127, 127), 1}};
    const QList<Probe> kept{{QPointF(0.25, 0.5), QColor(0, 0, 0, 0), 0},
                            {QPointF(0.75, 0.5), QColor(255, 0, 0, 128), 0}};
    for (const char *format : {"bmp", "ppm"}) {
        QTest::addRow("logo %s on white", format) << "logo.png" << format << 100 << false << int(AnyProfile) << flat;
        QTest::addRow("logo %s on white at 50 %%", format) << "logo.png" << format << 50 << false << int(AnyProfile) << flat;
    }
    QTest::newRow("logo jpg on white") << "logo.png" << "jpg" << 100 << false << int(AnyProfile)
                                       << QList<Probe>{{QPointF(0.25, 0.5), white, 3}, {QPointF(0.75, 0.5), QColor(255, 127, 127), 4}};
    QTest::newRow("logo xbm thresholded") << "logo.png" << "xbm" << 100 << false << int(AnyProfile)
                                          << QList<Probe>{{QPointF(0.25, 0.5), white, 0}, {QPointF(0.75, 0.5), white, 0}};
    QTest::newRow("logo png keeps alpha") << "logo.png" << "png" << 100 << false << int(AnyProfile) << kept;
    QTest::newRow("logo tiff keeps alpha") << "logo.png" << "tiff" << 100 << false << int(AnyProfile) << kept;

    const QList<Probe> palette{{QPointF(0.25, 0.5), Qt::red, 0}, {QPointF(0.75, 0.5), QColor(255, 255, 0, 0), 0}};
    QTest::newRow("palette tiff keeps alpha") << "palette-trns.png" << "tiff" << 100 << false << int(AnyProfile) << palette;
    QTest::newRow("palette png keeps alpha") << "palette-trns.png" << "png" << 100 << false << int(AnyProfile) << palette;
}

void tst_ImageEncoder::keepsWhatPhotosCarry()
{
    QFETCH(QString, source);
    QFETCH(QString, format);
    QFETCH(int, percent);
    QFETCH(bool, metadata);
    QFETCH(int, profile);
    QFETCH(QList<Probe>, probes);

    const QString sourcePath = tmp.filePath(source);
    const QString outDir = tmp.filePath(QStringLiteral("out/%1").arg(QTest::currentDataTag()));
    QDir().mkpath(tmp.filePath(QStringLiteral("out")));
    ConversionJob job(sourcePath, ConvertMode::SizeConvert, QSize(), percent, format,
                      Qt::IgnoreAspectRatio);
    const ConversionResult result = job.run(ConversionJob::Target(outDir));
    QVERIFY2(result.written(), qPrintable(result.detail));
    const QString target = result.fileName;
    const QSize size = job.targetSize();

    QImageReader reader(target);
    reader.setAutoTransform(false); // what the pixels are, not what a tag says
    const QImage written = reader.read();
    QVERIFY2(!written.isNull(), qPrintable(reader.errorString()));
    QCOMPARE(written.size(), size);
    const QImage argb = written.convertToFormat(QImage::Format_ARGB32);
    for (const Probe &probe : probes) {
        const QPoint at(int(probe.at.x() * argb.width()), int(probe.at.y() * argb.height()));
        const QColor seen = argb.pixelColor(at);
        // No colour to speak of under alpha 0.
        const bool invisible = probe.expected.alpha() == 0;
        const bool close = qAbs(seen.alpha() - probe.expected.alpha()) <= qMax(probe.tolerance, 1)
                && (invisible
                    || (qAbs(seen.red() - probe.expected.red()) <= probe.tolerance
                        && qAbs(seen.green() - probe.expected.green()) <= probe.tolerance
                        && qAbs(seen.blue() - probe.expected.blue()) <= probe.tolerance));
        QVERIFY2(close, qPrintable(QStringLiteral("(%1, %2): %3 instead of %4")
                                           .arg(at.x()).arg(at.y())
                                           .arg(seen.name(QColor::HexArgb), probe.expected.name(QColor::HexArgb))));
    }
    if (profile == AdobeRgb)
        QCOMPARE(written.colorSpace(), QColorSpace(QColorSpace::AdobeRgb));
    if (profile == DisplayP3) {
        QCOMPARE(written.colorSpace(), QColorSpace(QColorSpace::DisplayP3));
        QCOMPARE(written.size(), QSize(64, 96));
    }

    if (!OutputFormat::of(format).metadata)
        return;
    const QByteArray bytes = TestSupport::fileBytes(target);
    const std::unique_ptr<Exiv2::Image> file = openExiv2(bytes);
    file->readMetadata();
    if (profile == RgbOrNone) {
        // Never a CMYK profile on RGB pixels, nor XMP that says so.
        if (file->iccProfileDefined()) {
            QCOMPARE(QByteArray(reinterpret_cast<const char *>(file->iccProfile()->pData_) + 16, 4),
                     QByteArray("RGB "));
        }
        QVERIFY(tagOf(*file, "Xmp.photoshop.ColorMode") != QLatin1String("4"));
        QCOMPARE(tagOf(*file, "Xmp.photoshop.ICCProfile"), QString());
    }
    if (format.startsWith(QLatin1String("tif")))
        QCOMPARE(tagOf(*file, "Exif.Image.Compression"), QStringLiteral("5")); // LZW
    if (format == QLatin1String("png") && metadata) {
        // The standard chunk, not the old text form.
        QVERIFY(bytes.contains("eXIf"));
        QVERIFY(!bytes.contains("Raw profile type exif"));
    }
    if (!metadata)
        return;
    QCOMPARE(tagOf(*file, "Exif.Photo.DateTimeOriginal"), QStringLiteral("2024:07:14 18:30:00"));
    QCOMPARE(tagOf(*file, "Exif.Image.Make"), QStringLiteral("Tarnwick Optics"));
    QCOMPARE(tagOf(*file, "Exif.GPSInfo.GPSLatitude"), QStringLiteral("48/1 23/1 0/1"));
    QCOMPARE(tagOf(*file, "Xmp.xmp.Rating"), QStringLiteral("4"));
    // WebP holds no IPTC: it goes into the XMP.
    QCOMPARE(tagOf(*file, format == QLatin1String("webp") ? "Xmp.photoshop.City"
                                                         : "Iptc.Application2.City"),
             QStringLiteral("Brest"));
    // True of the new file: upright pixels, its own size, no old thumbnail.
    QCOMPARE(tagOf(*file, "Exif.Image.Orientation"), QStringLiteral("1"));
    QCOMPARE(tagOf(*file, "Xmp.tiff.Orientation"), QStringLiteral("1"));
    QCOMPARE(tagOf(*file, "Exif.Photo.PixelXDimension"), QString::number(written.width()));
    QCOMPARE(tagOf(*file, "Exif.Photo.PixelYDimension"), QString::number(written.height()));
    QCOMPARE(Exiv2::ExifThumbC(file->exifData()).copy().size_, 0);
}

// The JPEG writer's own Huffman tables: fewer bytes than Qt's default write
// of the same picture at the same quality, and the very same pixels.
void tst_ImageEncoder::jpegTablesOptimized()
{
    const QImage picture = QImage::fromData(TestSupport::noiseJpeg(QSize(200, 150)));
    const QString source = make("noise.png", encoded(picture, "png"));
    QByteArray plain;
    {
        QBuffer buffer(&plain);
        buffer.open(QIODevice::WriteOnly);
        QVERIFY(QImageWriter(&buffer, "jpeg").write(QImage(source)));
    }
    ConversionJob job(source, ConvertMode::FormatConvert, QSize(), 0, QStringLiteral("jpg"),
                      Qt::IgnoreAspectRatio);
    const ConversionResult result = job.run(ConversionJob::Target(tmp.filePath("optimized")));
    QVERIFY2(result.written(), qPrintable(result.detail));
    const QByteArray optimized = TestSupport::fileBytes(result.fileName);
    QVERIFY2(optimized.size() < plain.size(),
             qPrintable(QStringLiteral("%1 bytes, not fewer than %2").arg(optimized.size()).arg(plain.size())));
    QCOMPARE(QImage::fromData(optimized).convertToFormat(QImage::Format_RGB32),
             QImage::fromData(plain).convertToFormat(QImage::Format_RGB32));
}

QTEST_MAIN(tst_ImageEncoder)
#include "tst_imageencoder.moc"
