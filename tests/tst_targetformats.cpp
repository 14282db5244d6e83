#include "conversion/conversionjob.h"
#include "decode/imageloader.h"
#include "encode/outputformat.h"
#include "isolation/helperpool.h"
#include "metadata/photometadata.h"
#include "testsupport.h"

#include <QColorSpace>
#include <QImageWriter>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>

#include <exiv2/exiv2.hpp>

#include <cmath>

using namespace TestSupport;

// WebP, AVIF, JPEG XL and HEIC results, written by the helper through the
// field's libraries and read back through our own readers and exiftool.
class tst_TargetFormats : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void photoKeepsItsLookAndTags_data();
    void photoKeepsItsLookAndTags();
    void alphaIsKept_data();
    void alphaIsKept();
    void higherQualityWritesMoreBytes_data();
    void higherQualityWritesMoreBytes();
    void jpegBecomesJpegXlWithoutLoss_data();
    void jpegBecomesJpegXlWithoutLoss();
    void sizesAtTheEdges_data();
    void sizesAtTheEdges();

private:
    struct Outcome
    {
        ConversionResult result;
        QString file;
    };
    Outcome convert(const QString &source, const QString &format, int quality, bool lossless = false,
                    bool removeLocation = false, int percent = 0);
    // A photo-like JPEG: smooth light, fine detail, a camera's tags, a
    // place, and the orientation of a phone held upright.
    QString cameraPhoto(const QString &name, int orientation);
    QString exiftool(const QString &file, const QStringList &tags);

    QTemporaryDir settingsDir;
    QTemporaryDir tmp;
    int made = 0;
};

namespace {

QImage photoPixels(const QSize &size)
{
    QImage image(size, QImage::Format_RGB32);
    for (int y = 0; y < size.height(); ++y) {
        for (int x = 0; x < size.width(); ++x) {
            const int r = 40 + 170 * x / qMax(1, size.width() - 1);
            const int g = 60 + 120 * y / qMax(1, size.height() - 1);
            const int b = 128 + int(60 * std::sin(x / 7.0) * std::cos(y / 5.0));
            image.setPixel(x, y, qRgb(r, g, b));
        }
    }
    return image;
}

// CIE76 distance of two sRGB colours, through Lab (D65).
double deltaE(QRgb a, QRgb b)
{
    const auto lab = [](QRgb c, double out[3]) {
        const auto lin = [](int v) {
            const double s = v / 255.0;
            return s <= 0.04045 ? s / 12.92 : std::pow((s + 0.055) / 1.055, 2.4);
        };
        const double r = lin(qRed(c)), g = lin(qGreen(c)), bl = lin(qBlue(c));
        const double xyz[3] = {(0.4124 * r + 0.3576 * g + 0.1805 * bl) / 0.95047,
                               0.2126 * r + 0.7152 * g + 0.0722 * bl,
                               (0.0193 * r + 0.1192 * g + 0.9505 * bl) / 1.08883};
        double f[3];
        for (int i = 0; i < 3; ++i)
            f[i] = xyz[i] > 0.008856 ? std::cbrt(xyz[i]) : 7.787 * xyz[i] + 16.0 / 116;
        out[0] = 116 * f[1] - 16;
        out[1] = 500 * (f[0] - f[1]);
        out[2] = 200 * (f[1] - f[2]);
    };
    double la[3], lb[3];
    lab(a, la);
    lab(b, lb);
    return std::sqrt(std::pow(la[0] - lb[0], 2) + std::pow(la[1] - lb[1], 2)
                     + std::pow(la[2] - lb[2], 2));
}

double meanDeltaE(const QImage &a, const QImage &b)
{
    const QImage x = a.convertToFormat(QImage::Format_RGB32);
    const QImage y = b.convertToFormat(QImage::Format_RGB32);
    double sum = 0;
    for (int j = 0; j < x.height(); ++j)
        for (int i = 0; i < x.width(); ++i)
            sum += deltaE(x.pixel(i, j), y.pixel(i, j));
    return sum / (double(x.width()) * x.height());
}

} // namespace

void tst_TargetFormats::initTestCase()
{
    QVERIFY(settingsDir.isValid() && tmp.isValid());
    isolateSettings(settingsDir);
    PhotoMetadata::initLibrary();
    QVERIFY2(HelperPool::instance().available(), qPrintable(HelperPool::helperPath()));
}

tst_TargetFormats::Outcome tst_TargetFormats::convert(const QString &source, const QString &format,
                                                      int quality, bool lossless,
                                                      bool removeLocation, int percent)
{
    const QString out = tmp.filePath(QStringLiteral("out-%1").arg(++made));
    ConversionJob job(source, percent > 0 ? ConvertMode::BothConvert : ConvertMode::FormatConvert,
                      QSize(), percent, format, Qt::IgnoreAspectRatio);
    EncodeOptions options;
    options.quality = quality;
    options.lossless = lossless;
    job.setEncoding(options);
    job.setRemoveLocation(removeLocation);
    Outcome outcome;
    outcome.result = job.run(ConversionJob::Target(out));
    outcome.file = outcome.result.fileName;
    return outcome;
}

QString tst_TargetFormats::cameraPhoto(const QString &name, int orientation)
{
    const QString path = tmp.filePath(name);
    QImage pixels = photoPixels(QSize(96, 64));
    pixels.setColorSpace(QColorSpace::SRgb);
    if (!pixels.save(path, "JPEG", 92))
        return QString();
    auto file = Exiv2::ImageFactory::open(QFile::encodeName(path).toStdString());
    file->readMetadata();
    Exiv2::ExifData &exif = file->exifData();
    exif["Exif.Image.Make"] = "Tarnwick Optics";
    exif["Exif.Image.Model"] = "TW-7";
    exif["Exif.Image.Orientation"] = uint16_t(orientation);
    exif["Exif.Photo.DateTimeOriginal"] = "2024:07:14 18:30:00";
    exif["Exif.Photo.ExposureTime"] = Exiv2::URational(1, 250);
    exif["Exif.GPSInfo.GPSLatitudeRef"] = "N";
    exif["Exif.GPSInfo.GPSLatitude"] = Exiv2::URationalValue();
    exif["Exif.GPSInfo.GPSLatitude"].setValue("48/1 23/1 0/1");
    Exiv2::XmpData &xmp = file->xmpData();
    xmp["Xmp.dc.title"] = "lang=x-default Harbour at dusk";
    xmp["Xmp.xmp.Rating"] = "4";
    Exiv2::IptcData &iptc = file->iptcData();
    iptc["Iptc.Application2.Caption"] = "Boats coming in";
    file->writeMetadata();
    return path;
}

QString tst_TargetFormats::exiftool(const QString &file, const QStringList &tags)
{
    QProcess process;
    QStringList arguments{QStringLiteral("-s"), QStringLiteral("-n")};
    for (const QString &tag : tags)
        arguments << QLatin1Char('-') + tag;
    process.start(QStringLiteral("exiftool"), arguments << file);
    process.waitForFinished(60000);
    return QString::fromUtf8(process.readAllStandardOutput());
}

void tst_TargetFormats::photoKeepsItsLookAndTags_data()
{
    QTest::addColumn<QString>("format");
    for (const char *format : {"webp", "avif", "jxl", "heic"})
        QTest::newRow(format) << QString::fromLatin1(format);
}

void tst_TargetFormats::photoKeepsItsLookAndTags()
{
    QFETCH(QString, format);
    if (QStandardPaths::findExecutable(QStringLiteral("exiftool")).isEmpty())
        QSKIP("exiftool (libimage-exiftool-perl) is needed");
    // Stored 96 x 64 on its side: it appears 64 x 96.
    const QString photo = cameraPhoto(format + "-photo.jpg", 6);
    QVERIFY(!photo.isEmpty());
    const Outcome done = convert(photo, format, 95, false, true);
    QVERIFY2(done.result.written(), qPrintable(done.result.reason));
    QVERIFY2(done.file.endsWith(QLatin1Char('.') + format), qPrintable(done.file));

    QString why;
    const QImage back = ImageLoader::read(done.file, &why);
    QVERIFY2(!back.isNull(), qPrintable(why));
    QCOMPARE(back.size(), QSize(64, 96));
    const QImage upright = ImageLoader::read(photo, &why);
    QCOMPARE(upright.size(), QSize(64, 96));
    const double distance = meanDeltaE(upright, back);
    QVERIFY2(distance <= 3, qPrintable(QString::number(distance)));

    const QString tags = exiftool(done.file, {"Make", "Model", "DateTimeOriginal", "ExposureTime",
                                              "Orientation", "Title", "Description", "Rating",
                                              "GPSLatitude"});
    QVERIFY2(tags.contains(QRegularExpression("Make\\s*: Tarnwick Optics")), qPrintable(tags));
    QVERIFY2(tags.contains(QRegularExpression("Model\\s*: TW-7")), qPrintable(tags));
    QVERIFY2(tags.contains(QRegularExpression("DateTimeOriginal\\s*: 2024:07:14 18:30:00")),
             qPrintable(tags));
    QVERIFY2(tags.contains(QRegularExpression("ExposureTime\\s*: 0.004")), qPrintable(tags));
    QVERIFY2(tags.contains(QRegularExpression("Title\\s*: Harbour at dusk")), qPrintable(tags));
    QVERIFY2(tags.contains(QRegularExpression("Rating\\s*: 4")), qPrintable(tags));
    // The IPTC caption, which these formats have no block for, in the XMP.
    QVERIFY2(tags.contains(QRegularExpression("Description\\s*: Boats coming in")), qPrintable(tags));
    // The pixels are upright; no viewer should turn them again.
    QVERIFY2(!tags.contains(QRegularExpression("Orientation\\s*: [2-8]")), qPrintable(tags));
    QVERIFY2(!tags.contains(QStringLiteral("GPSLatitude")), qPrintable(tags));
}

void tst_TargetFormats::alphaIsKept_data()
{
    QTest::addColumn<QString>("format");
    QTest::addColumn<bool>("lossless");
    QTest::newRow("webp") << "webp" << false;
    QTest::newRow("webp lossless") << "webp" << true;
    QTest::newRow("avif") << "avif" << false;
    QTest::newRow("jxl") << "jxl" << false;
    QTest::newRow("jxl lossless") << "jxl" << true;
    QTest::newRow("heic") << "heic" << false;
}

void tst_TargetFormats::alphaIsKept()
{
    QFETCH(QString, format);
    QFETCH(bool, lossless);
    // Left half clear, right half opaque, over a picture.
    QImage logo = photoPixels(QSize(64, 32)).convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < logo.height(); ++y)
        for (int x = 0; x < logo.width() / 2; ++x)
            logo.setPixel(x, y, qRgba(0, 0, 0, 0));
    const QString source = tmp.filePath(QStringLiteral("logo-%1-%2.png").arg(format).arg(lossless));
    QVERIFY(logo.save(source, "PNG"));
    const Outcome done = convert(source, format, 90, lossless);
    QVERIFY2(done.result.written(), qPrintable(done.result.reason));
    QString why;
    const QImage back = ImageLoader::read(done.file, &why);
    QVERIFY2(!back.isNull(), qPrintable(why));
    QVERIFY(back.hasAlphaChannel());
    QCOMPARE(qAlpha(back.pixel(8, 16)), 0);
    QCOMPARE(qAlpha(back.pixel(56, 16)), 255);
    if (lossless)
        QCOMPARE(back.convertToFormat(QImage::Format_ARGB32).pixel(50, 10), logo.pixel(50, 10));
}

void tst_TargetFormats::higherQualityWritesMoreBytes_data()
{
    photoKeepsItsLookAndTags_data();
}

void tst_TargetFormats::higherQualityWritesMoreBytes()
{
    QFETCH(QString, format);
    const QString source = tmp.filePath(format + "-detail.png");
    QVERIFY(photoPixels(QSize(160, 120)).save(source, "PNG"));
    const Outcome low = convert(source, format, 40);
    const Outcome high = convert(source, format, 90);
    QVERIFY2(low.result.written() && high.result.written(),
             qPrintable(low.result.reason + high.result.reason));
    const qint64 lowBytes = QFileInfo(low.file).size();
    const qint64 highBytes = QFileInfo(high.file).size();
    QVERIFY2(highBytes > lowBytes, qPrintable(QStringLiteral("%1 <= %2").arg(highBytes).arg(lowBytes)));
    // What the status bar adds up.
    QCOMPARE(high.result.writtenBytes, highBytes);
    QCOMPARE(high.result.sourceBytes, QFileInfo(source).size());
}

void tst_TargetFormats::jpegBecomesJpegXlWithoutLoss_data()
{
    QTest::addColumn<int>("orientation");
    QTest::addColumn<int>("percent");
    QTest::addColumn<bool>("removeLocation");
    QTest::addColumn<bool>("sameBytes");
    QTest::newRow("as it is") << 1 << 0 << false << true;
    QTest::newRow("at 100 %") << 1 << 100 << false << true;
    QTest::newRow("turned") << 6 << 0 << false << false;
    QTest::newRow("resized") << 1 << 50 << false << false;
    QTest::newRow("location removed") << 1 << 0 << true << false;
}

void tst_TargetFormats::jpegBecomesJpegXlWithoutLoss()
{
    QFETCH(int, orientation);
    QFETCH(int, percent);
    QFETCH(bool, removeLocation);
    QFETCH(bool, sameBytes);
    const QString djxl = QStandardPaths::findExecutable(QStringLiteral("djxl"));
    if (djxl.isEmpty())
        QSKIP("djxl (libjxl-tools) is needed");
    const QString photo = cameraPhoto(QStringLiteral("transcode-%1.jpg").arg(QTest::currentDataTag()),
                                      orientation);
    const Outcome done = convert(photo, QStringLiteral("jxl"), 75, true, removeLocation, percent);
    QVERIFY2(done.result.written(), qPrintable(done.result.reason));
    const QString rebuilt = done.file + ".jpg";
    QProcess process;
    process.start(djxl, {done.file, rebuilt});
    QVERIFY(process.waitForFinished(60000));
    const QByteArray original = fileBytes(photo);
    if (sameBytes) {
        QCOMPARE(process.exitCode(), 0);
        QVERIFY(fileBytes(rebuilt) == original);
        QVERIFY(done.result.warnings.isEmpty());
        return;
    }
    if (removeLocation) {
        // The JPEG comes back whole, without its position.
        QCOMPARE(process.exitCode(), 0);
        const QImage a = ImageLoader::read(rebuilt), b = ImageLoader::read(photo);
        QCOMPARE(a, b);
        auto file = Exiv2::ImageFactory::open(QFile::encodeName(rebuilt).toStdString());
        file->readMetadata();
        QVERIFY(file->exifData().findKey(Exiv2::ExifKey("Exif.GPSInfo.GPSLatitude"))
                == file->exifData().end());
        QVERIFY(file->exifData().findKey(Exiv2::ExifKey("Exif.Image.Make")) != file->exifData().end());
        return;
    }
    // Its pixels were encoded, without loss, and the warning says why.
    QVERIFY(fileBytes(rebuilt) != original);
    QCOMPARE(done.result.warnings.size(), 1);
    QVERIFY2(done.result.warnings.first().contains(orientation != 1 ? "turned" : "resized"),
             qPrintable(done.result.warnings.first()));
}

void tst_TargetFormats::sizesAtTheEdges_data()
{
    QTest::addColumn<QString>("format");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QString>("refusal"); // empty: written
    for (const char *format : {"webp", "avif", "jxl", "heic"}) {
        const QString f = QString::fromLatin1(format);
        QTest::addRow("%s 1 x 1", format) << f << QSize(1, 1) << QString();
        QTest::addRow("%s 17 x 9", format) << f << QSize(17, 9) << QString();
    }
    QTest::newRow("webp 16384 wide") << "webp" << QSize(16384, 2) << "16383 pixels a side";
    QTest::newRow("heic 16385 wide") << "heic" << QSize(16385, 2) << "16384 pixels a side";
    QTest::newRow("avif 65537 wide") << "avif" << QSize(65537, 2) << "65536 pixels a side";
}

void tst_TargetFormats::sizesAtTheEdges()
{
    QFETCH(QString, format);
    QFETCH(QSize, size);
    QFETCH(QString, refusal);
    const QString source = tmp.filePath(QStringLiteral("edge-%1.png").arg(++made));
    QVERIFY(photoPixels(size).save(source, "PNG"));
    const Outcome done = convert(source, format, 75);
    if (!refusal.isEmpty()) {
        QVERIFY(!done.result.written());
        QCOMPARE(done.result.step, ConversionResult::Encode);
        QVERIFY2(done.result.reason.contains(refusal), qPrintable(done.result.reason));
        QVERIFY(QDir(tmp.filePath(QStringLiteral("out-%1").arg(made))).isEmpty());
        return;
    }
    QVERIFY2(done.result.written(), qPrintable(done.result.reason));
    QString why;
    const QImage back = ImageLoader::read(done.file, &why);
    QVERIFY2(!back.isNull(), qPrintable(why));
    QCOMPARE(back.size(), size);
}

QTEST_MAIN(tst_TargetFormats)
#include "tst_targetformats.moc"
