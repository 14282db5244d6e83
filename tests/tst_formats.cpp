#include "conversion/conversionjob.h"
#include "encode/heifencoder.h"
#include "base/imagelimits.h"
#include "decode/decoderfactory.h"
#include "decode/imageloader.h"
#include "rawfixture.h"
#include "sources/sourceformat.h"
#include "decode/sourcereader.h"
#include "testsupport.h"
#include "thumbnail/thumbnailloader.h"

#include <QColorSpace>
#include <QImageWriter>
#include <QTransform>

#include <exiv2/exiv2.hpp>
#include <jxl/encode.h>
#include <lcms2.h>
#include <libheif/heif.h>
#include <tiffio.h>

using namespace TestSupport;

// The kinds of files phones, cameras and scanners write, each made here,
// converted to JPG at half size: the size, the picture upright, the capture
// date kept where the file carries one.
class tst_Formats : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void toldByContent_data();
    void toldByContent();
    void convertsToHalfSizeJpg_data();
    void convertsToHalfSizeJpg();
    void noWriterForRawOriginal();
    void cmykTiffThroughItsProfile();
    void deepHeicKeepsSixteenBits();

private:
    QTemporaryDir dir;
};

namespace {

const QSize sceneSize(400, 300); // as the picture appears
const char *const captured = "2024:05:06 07:08:09";

// Stored turned a quarter to the left, tagged to be turned back (6).
QImage storedScene()
{
    return pattern(sceneSize).transformed(QTransform().rotate(270));
}

QByteArray heif(const QImage &stored, heif_compression_format compression, int bits = 8)
{
    heif_context *context = heif_context_alloc();
    heif_encoder *encoder = nullptr;
    heif_context_get_encoder_for_format(context, compression, &encoder);
    heif_encoder_set_lossy_quality(encoder, 90);
    const QImage rgb = stored.convertToFormat(QImage::Format_RGB888);
    heif_image *image = nullptr;
    heif_image_create(rgb.width(), rgb.height(), heif_colorspace_RGB,
                      bits > 8 ? heif_chroma_interleaved_RRGGBB_LE : heif_chroma_interleaved_RGB, &image);
    heif_image_add_plane(image, heif_channel_interleaved, rgb.width(), rgb.height(), bits);
    int stride = 0;
    uint8_t *plane = heif_image_get_plane(image, heif_channel_interleaved, &stride);
    for (int y = 0; y < rgb.height(); ++y) {
        const uchar *in = rgb.constScanLine(y);
        if (bits == 8) {
            memcpy(plane + y * stride, in, size_t(rgb.width()) * 3);
            continue;
        }
        auto *out = reinterpret_cast<quint16 *>(plane + y * stride);
        for (int i = 0; i < rgb.width() * 3; ++i)
            out[i] = quint16(in[i] * ((1 << bits) - 1) / 255);
    }
    heif_encoding_options *options = heif_encoding_options_alloc();
    options->image_orientation = heif_orientation_rotate_90_cw;
    heif_image_handle *handle = nullptr;
    heif_context_encode_image(context, image, encoder, options, &handle);
    heif_encoding_options_free(options);
    // A phone's capture date, in the EXIF block phones write.
    Exiv2::ExifData exif;
    exif["Exif.Photo.DateTimeOriginal"] = captured;
    Exiv2::Blob blob;
    Exiv2::ExifParser::encode(blob, Exiv2::littleEndian, exif);
    heif_context_add_exif_metadata(context, handle, blob.data(), int(blob.size()));
    heif_image_handle_release(handle);
    QByteArray bytes;
    heif_writer writer{1, [](heif_context *, const void *data, size_t size, void *user) {
                           static_cast<QByteArray *>(user)->append(static_cast<const char *>(data),
                                                                   qsizetype(size));
                           return heif_error{heif_error_Ok, heif_suberror_Unspecified, ""};
                       }};
    heif_context_write(context, &writer, &bytes);
    heif_image_release(image);
    heif_encoder_release(encoder);
    heif_context_free(context);
    return bytes;
}

QByteArray jxl(const QImage &stored)
{
    const QImage rgb = stored.convertToFormat(QImage::Format_RGB888);
    JxlEncoder *encoder = JxlEncoderCreate(nullptr);
    JxlBasicInfo info;
    JxlEncoderInitBasicInfo(&info);
    info.xsize = uint32_t(rgb.width());
    info.ysize = uint32_t(rgb.height());
    info.bits_per_sample = 8;
    info.orientation = JXL_ORIENT_ROTATE_90_CW;
    JxlEncoderSetBasicInfo(encoder, &info);
    JxlColorEncoding srgb;
    JxlColorEncodingSetToSRGB(&srgb, JXL_FALSE);
    JxlEncoderSetColorEncoding(encoder, &srgb);
    JxlEncoderFrameSettings *settings = JxlEncoderFrameSettingsCreate(encoder, nullptr);
    const JxlPixelFormat format{3, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, rgb.bytesPerLine() % 4 ? 1u : 4u};
    QByteArray pixels;
    for (int y = 0; y < rgb.height(); ++y)
        pixels.append(reinterpret_cast<const char *>(rgb.constScanLine(y)), rgb.width() * 3);
    const JxlPixelFormat packed{3, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
    Q_UNUSED(format);
    JxlEncoderAddImageFrame(settings, &packed, pixels.constData(), size_t(pixels.size()));
    JxlEncoderCloseInput(encoder);
    QByteArray out(1 << 16, Qt::Uninitialized);
    size_t used = 0;
    for (;;) {
        uint8_t *next = reinterpret_cast<uint8_t *>(out.data()) + used;
        size_t avail = size_t(out.size()) - used;
        const JxlEncoderStatus status = JxlEncoderProcessOutput(encoder, &next, &avail);
        used = size_t(next - reinterpret_cast<uint8_t *>(out.data()));
        if (status != JXL_ENC_NEED_MORE_OUTPUT)
            break;
        out.resize(out.size() * 2);
    }
    JxlEncoderDestroy(encoder);
    out.truncate(qsizetype(used));
    return out;
}

QString captureDate(const QString &path)
{
    try {
        auto image = Exiv2::ImageFactory::open(QFile::encodeName(path).toStdString());
        image->readMetadata();
        const Exiv2::ExifData &exif = image->exifData();
        for (const char *key : {"Exif.Photo.DateTimeOriginal", "Exif.Image.DateTime"}) {
            const auto found = exif.findKey(Exiv2::ExifKey(key));
            if (found != exif.end())
                return QString::fromStdString(found->toString());
        }
    } catch (const Exiv2::AnyError &) {
    }
    return QString();
}

QString save(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        qWarning() << "could not write fixture" << path;
    return path;
}

// An uncompressed true-colour TGA 2 file as most programs write it (bottom
// row first, with the footer); Qt reads TGA but has no writer for it.
QByteArray tga(const QImage &image)
{
    QByteArray bytes(18, '\0');
    bytes[2] = 2;
    bytes[12] = char(image.width() & 0xff);
    bytes[13] = char(image.width() >> 8);
    bytes[14] = char(image.height() & 0xff);
    bytes[15] = char(image.height() >> 8);
    bytes[16] = 24;
    for (int y = image.height() - 1; y >= 0; --y) {
        for (int x = 0; x < image.width(); ++x) {
            const QRgb p = image.pixel(x, y);
            bytes.append(char(qBlue(p))).append(char(qGreen(p))).append(char(qRed(p)));
        }
    }
    bytes.append(QByteArray(8, '\0')).append("TRUEVISION-XFILE.", 17).append('\0');
    return bytes;
}

// An animated GIF of two frames, the quadrant pattern and then all
// yellow; Qt reads GIF but has no writer for it. The LZW stream holds
// literals only, cleared every two codes so that codes stay 3 bits wide.
QByteArray animatedGif(const QSize &size)
{
    const auto le16 = [](QByteArray &b, int v) { b.append(char(v & 0xff)).append(char(v >> 8)); };
    QByteArray gif("GIF89a");
    le16(gif, size.width());
    le16(gif, size.height());
    gif.append(char(0x81)).append('\0').append('\0'); // a table of 4 colours
    gif.append("\xff\0\0\0\xff\0\0\0\xff\xff\xff\0", 12);
    gif.append("\x21\xff\x0bNETSCAPE2.0\x03\x01\0\0\0", 19); // loop for ever
    for (int frame = 0; frame < 2; ++frame) {
        gif.append("\x21\xf9\x04\0\x0a\0\0\0", 8); // 1/10 s a frame
        gif.append(',');
        le16(gif, 0);
        le16(gif, 0);
        le16(gif, size.width());
        le16(gif, size.height());
        gif.append('\0').append('\x02'); // no local table; LZW minimum code size 2
        QByteArray codes;
        quint32 bits = 0;
        int count = 0;
        const auto put = [&](int code) {
            bits |= quint32(code) << count;
            count += 3;
            while (count >= 8) {
                codes.append(char(bits & 0xff));
                bits >>= 8;
                count -= 8;
            }
        };
        for (int i = 0; i < size.width() * size.height(); ++i) {
            const int x = i % size.width(), y = i / size.width();
            if (i % 2 == 0)
                put(4); // clear
            put(frame == 1 ? 3 : (y >= size.height() / 2) * 2 + (x >= size.width() / 2));
        }
        put(5); // end of information
        if (count > 0)
            codes.append(char(bits & 0xff));
        for (qsizetype at = 0; at < codes.size(); at += 255) {
            const QByteArray block = codes.mid(at, 255);
            gif.append(char(block.size())).append(block);
        }
        gif.append('\0');
    }
    gif.append(';');
    return gif;
}

QString writeWith(const QString &path, const QImage &image, const char *format)
{
    QImageWriter writer(path, format);
    if (!writer.write(image))
        qWarning() << "could not write fixture" << path << writer.errorString();
    return path;
}

bool isRed(QRgb p)
{
    return qRed(p) > 150 && qGreen(p) < 110 && qBlue(p) < 110;
}

// Writes image as format under name through the conversion's own writer.
bool writeAs(const QImage &image, const QString &name, const QString &format)
{
    // A source of the same name elsewhere, so that the result takes name.
    const QFileInfo info(name);
    ConversionJob job(info.path() + QStringLiteral("/no-source/") + info.fileName(),
                      ConvertMode::FormatConvert, QSize(), 0, format, Qt::IgnoreAspectRatio);
    job.setImage(image);
    const ConversionResult result = job.write(ConversionJob::Target(info.path()));
    if (result.outcome != ConversionResult::Written)
        qWarning() << result.reason;
    return result.outcome == ConversionResult::Written
            && QFileInfo(result.fileName) == QFileInfo(name);
}

} // namespace

void tst_Formats::initTestCase()
{
    QVERIFY(dir.isValid());
    isolateSettings(dir);
    ImageLimits::configureProcess();
}

void tst_Formats::toldByContent_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QByteArray>("format"); // the signature's; empty: not an image
    const QImage small = pattern(QSize(16, 12));
    const auto encoded = [&](const char *format) {
        QByteArray bytes;
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        const bool mono = format == QByteArray("xbm");
        QImageWriter(&buffer, format).write(mono ? small.convertToFormat(QImage::Format_Mono) : small);
        return bytes;
    };
    for (const char *format : {"jpeg", "png", "bmp", "tiff", "webp", "icns", "xbm", "xpm"})
        QTest::newRow(format) << encoded(format) << QByteArray(format);
    for (const char *format : {"pbm", "pgm", "ppm"})
        QTest::newRow(format) << encoded(format) << QByteArray("pnm");
    QTest::newRow("ascii pgm with a comment") << QByteArray("P2\n# scanned\n2 1\n255\n0 255\n")
                                              << QByteArray("pnm");
    QTest::newRow("gif") << animatedGif(QSize(8, 8)) << QByteArray("gif");
    QTest::newRow("tga") << tga(small) << QByteArray("tga");
    QTest::newRow("heic") << heif(small, heif_compression_HEVC) << QByteArray("heif");
    QTest::newRow("jpeg xl") << jxl(small) << QByteArray("jxl");
    // Not images, whatever their names would say.
    QTest::newRow("text") << QByteArray("not an image at all\n") << QByteArray();
    QTest::newRow("empty") << QByteArray() << QByteArray();
    QTest::newRow("text starting P1") << QByteArray("P1 is the first point\n") << QByteArray();
    QTest::newRow("text starting BM") << QByteArray("BMW service notes, 2024\n") << QByteArray();
    QTest::newRow("c header") << QByteArray("#define VERSION 3\n") << QByteArray();
    QTest::newRow("wave sound") << QByteArray("RIFF\x24\0\0\0WAVEfmt ", 16) << QByteArray();
    QTest::newRow("pdf") << QByteArray("%PDF-1.7\n%\xe2\xe3\xcf\xd3\n") << QByteArray();
    QTest::newRow("zip") << QByteArray("PK\x03\x04\x14\0\0\0\x08\0", 10) << QByteArray();
    QByteArray header(18, '\0');
    header[2] = 2;
    header[16] = 24; // a TGA's fields, but of no pixels
    QTest::newRow("tga of zero pixels") << header << QByteArray();
}

// A folder's images are told by their first bytes, against the one table
// of signatures: no reader's plug-in looks at the file in the window.
void tst_Formats::toldByContent()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QByteArray, format);
    QVERIFY(!bytes.isNull() || format.isEmpty());
    const QString named = save(dir.filePath(QStringLiteral("without-suffix-") + QTest::currentDataTag()),
                               bytes);
    QCOMPARE(DecoderFactory::formatOf(bytes.left(DecoderFactory::headBytes)), format);
    QCOMPARE(SourceFormat::isImage(named), !format.isEmpty());
    // The same file named as a photo: its name counts for nothing.
    const QString jpg = save(named + ".jpg", bytes);
    QCOMPARE(SourceFormat::isImage(jpg), !format.isEmpty());
}

void tst_Formats::convertsToHalfSizeJpg_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<QSize>("shown"); // the photo's size, not its preview's
    QTest::addColumn<bool>("dated");
    QTest::addColumn<QString>("failure"); // the start of the reason, when it must fail

    const QString d = dir.path() + QLatin1Char('/');
    const QImage stored = storedScene();
    QTest::newRow("heic") << save(d + "phone.heic", heif(stored, heif_compression_HEVC)) << sceneSize
                          << true << QString();
    QTest::newRow("avif") << save(d + "web.avif", heif(stored, heif_compression_AV1)) << sceneSize
                          << true << QString();
    QTest::newRow("jpeg xl") << save(d + "new.jxl", jxl(stored)) << sceneSize << false << QString();
    const QByteArray heic = heif(stored, heif_compression_HEVC);
    QTest::newRow("truncated heic") << save(d + "truncated-at-half.heic", heic.left(heic.size() / 2))
                                    << sceneSize << false << QStringLiteral("cannot read the HEIF file");
    // A gigabyte that costs nothing on disk is not read into memory.
    const QString sparse = save(d + "padded-to-1g.heic", heic);
    QVERIFY(QFile::resize(sparse, 1LL << 30));
    QTest::newRow("sparse 1 GB heic") << sparse << sceneSize << false
                                      << QStringLiteral("file too large to read");
    const QByteArray jpegXl = jxl(stored);
    QTest::newRow("truncated jxl") << save(d + "truncated-at-half.jxl", jpegXl.left(jpegXl.size() / 2))
                                   << sceneSize << false << QStringLiteral("cannot read the JPEG XL file");
    QVERIFY(RawFixture::writeDng(d + "camera.dng", stored, captured));
    QTest::newRow("dng, not its preview") << d + "camera.dng" << sceneSize << true << QString();
    QFile::copy(d + "camera.dng", d + "dng-named.nef");
    QTest::newRow("dng named .nef") << d + "dng-named.nef" << sceneSize << true << QString();
    QFile dng(d + "camera.dng");
    QVERIFY(dng.open(QIODevice::ReadOnly));
    const QByteArray whole = dng.readAll();
    // The preview and its directory come first and survive; the mosaic
    // does not: the photo fails rather than its preview standing in.
    QTest::newRow("truncated-dng") << save(d + "truncated-mosaic.dng", whole.left(whole.size() * 3 / 4))
                                   << sceneSize << false << QStringLiteral("cannot develop the RAW file");
    const QImage upright = pattern(sceneSize);
    QTest::newRow("webp") << writeWith(d + "web.webp", upright, "webp") << sceneSize << false << QString();
    QTest::newRow("animated gif, first frame") << save(d + "moving.gif", animatedGif(sceneSize))
                                               << sceneSize << false << QString();
    QTest::newRow("tga") << save(d + "old.tga", tga(upright)) << sceneSize << false << QString();
    QTest::newRow("icns") << writeWith(d + "icon.icns", pattern(QSize(256, 256)), "icns") << QSize(256, 256)
                          << false << QString();
    QImage deep = upright.convertToFormat(QImage::Format_RGBA64);
    QTest::newRow("16-bit png") << writeWith(d + "deep.png", deep, "png") << sceneSize << false << QString();
}

void tst_Formats::convertsToHalfSizeJpg()
{
    QFETCH(QString, source);
    QFETCH(QSize, shown);
    QFETCH(bool, dated);
    QFETCH(QString, failure);

    // A folder dropped on the window lists it.
    QVERIFY(SourceFormat::isImage(source));
    // Half size, as the window's 50 % would ask for it.
    ConversionJob job(source, ConvertMode::BothConvert, QSize(), 50, QStringLiteral("JPG"),
                      Qt::IgnoreAspectRatio);
    const ConversionResult converted =
            job.run(ConversionJob::Target(dir.filePath(QStringLiteral("out"))));
    if (!failure.isEmpty()) {
        QCOMPARE(converted.outcome, ConversionResult::Failed);
        QVERIFY2(converted.reason.startsWith(failure), qPrintable(converted.reason));
        return;
    }
    QCOMPARE(ImageLoader::displaySize(source), shown);
    QVERIFY2(converted.outcome == ConversionResult::Written, qPrintable(converted.reason));
    const QString target = converted.fileName;
    const QImage result(target);
    QCOMPARE(result.size(), shown / 2);
    // Upright: the red quarter is at the top left, nowhere else.
    const int w = result.width(), h = result.height();
    QVERIFY2(isRed(result.pixel(w / 4, h / 4)), qPrintable(QColor(result.pixel(w / 4, h / 4)).name()));
    QVERIFY(!isRed(result.pixel(3 * w / 4, 3 * h / 4)));
    QVERIFY(!isRed(result.pixel(3 * w / 4, h / 4)));
    if (dated)
        QCOMPARE(captureDate(target), QString::fromLatin1(captured));
    // The list's thumbnail comes from the same decoder.
    const QImage thumbnail = thumbnailOf(source);
    QCOMPARE(qMax(thumbnail.width(), thumbnail.height()), ThumbnailLoader::thumbnailSide);
}

void tst_Formats::noWriterForRawOriginal()
{
    ConversionJob raw(dir.filePath(QStringLiteral("a.CR2")), ConvertMode::FormatConvert, QSize(), 0,
                      QStringLiteral("CR2"), Qt::IgnoreAspectRatio);
    raw.setImage(pattern(QSize(8, 8)));
    const ConversionResult refused = raw.write(ConversionJob::Target(dir.path()));
    QCOMPARE(refused.step, ConversionResult::Encode);
    QCOMPARE(refused.reason, QStringLiteral("no writer for CR2 files: choose a target format"));
    for (const char *format : {"heic", "avif"}) {
        if (!HeifEncoder::canWrite(QLatin1String(format)))
            continue;
        const QString name = dir.filePath(QStringLiteral("written.") + QLatin1String(format));
        QVERIFY(writeAs(pattern(QSize(64, 48)), name, QLatin1String(format)));
        QString why;
        const QImage back = ImageLoader::read(name, &why);
        QCOMPARE(back.size(), QSize(64, 48));
        QVERIFY(isRed(back.pixel(8, 8)));
    }
}

// A CMYK TIFF with a profile of its own: the colours Little CMS makes of
// it, within a ΔE of 1.5.
void tst_Formats::cmykTiffThroughItsProfile()
{
    QFile profileFile(QStringLiteral(":/profiles/default-cmyk.icc"));
    QVERIFY(profileFile.open(QIODevice::ReadOnly));
    const QByteArray profile = profileFile.readAll();
    const QString path = dir.filePath(QStringLiteral("scan-cmyk.tif"));
    const int w = 64, h = 32;
    QByteArray samples(w * h * 4, Qt::Uninitialized);
    for (int i = 0; i < w * h; ++i) {
        const int x = i % w, y = i / w;
        samples[i * 4 + 0] = char(x * 4);
        samples[i * 4 + 1] = char(y * 8);
        samples[i * 4 + 2] = char((x + y) * 2);
        samples[i * 4 + 3] = char(x < w / 2 ? 0 : 60);
    }
    QVERIFY(RawFixture::writeCmykTiff(path, samples, w, h, profile));

    QString why;
    const QImage image = ImageLoader::read(path, &why);
    QVERIFY2(!image.isNull(), qPrintable(why));
    QCOMPARE(image.size(), QSize(w, h));

    cmsHPROFILE cmyk = cmsOpenProfileFromMem(profile.constData(), cmsUInt32Number(profile.size()));
    cmsHPROFILE srgb = cmsCreate_sRGBProfile();
    cmsHPROFILE lab = cmsCreateLab4Profile(nullptr);
    cmsHTRANSFORM toSrgb = cmsCreateTransform(cmyk, TYPE_CMYK_8, srgb, TYPE_RGB_8, INTENT_RELATIVE_COLORIMETRIC,
                                              cmsFLAGS_BLACKPOINTCOMPENSATION);
    cmsHTRANSFORM toLab = cmsCreateTransform(srgb, TYPE_RGB_8, lab, TYPE_Lab_DBL, INTENT_RELATIVE_COLORIMETRIC, 0);
    double worst = 0;
    for (int i = 0; i < w * h; ++i) {
        uchar expected[3];
        cmsDoTransform(toSrgb, samples.constData() + i * 4, expected, 1);
        const QRgb got = image.pixel(i % w, i / w);
        const uchar actual[3] = {uchar(qRed(got)), uchar(qGreen(got)), uchar(qBlue(got))};
        cmsCIELab a, b;
        cmsDoTransform(toLab, expected, &a, 1);
        cmsDoTransform(toLab, actual, &b, 1);
        worst = qMax(worst, cmsCIE2000DeltaE(&a, &b, 1, 1, 1));
    }
    cmsDeleteTransform(toSrgb);
    cmsDeleteTransform(toLab);
    cmsCloseProfile(cmyk);
    cmsCloseProfile(srgb);
    cmsCloseProfile(lab);
    QVERIFY2(worst <= 1.5, qPrintable(QString::number(worst)));
}

// A 10-bit HEIC comes out in 16 bits a channel, white still white, and
// a PNG of it keeps them.
void tst_Formats::deepHeicKeepsSixteenBits()
{
    const QString path = save(dir.filePath(QStringLiteral("deep.heic")),
                              heif(pattern(QSize(64, 48)).transformed(QTransform().rotate(270)),
                                   heif_compression_HEVC, 10));
    QString why;
    const QImage image = ImageLoader::read(path, &why);
    QVERIFY2(!image.isNull(), qPrintable(why));
    QCOMPARE(image.depth(), 64);
    QCOMPARE(image.size(), QSize(64, 48));
    QVERIFY2(image.pixelColor(8, 8).red() > 240, qPrintable(image.pixelColor(8, 8).name()));
    const QString png = path + QStringLiteral(".png");
    QVERIFY(writeAs(image, png, QStringLiteral("png")));
    QCOMPARE(QImage(png).depth(), 64);
}

QTEST_MAIN(tst_Formats)
#include "tst_formats.moc"
