#ifndef REALFIXTURES_H
#define REALFIXTURES_H

#include "base/pngchunks.h"
#include "conversion/conversionjob.h"
#include "tifffixture.h"

#include <QBuffer>
#include <QColorSpace>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>

#include <exiv2/exiv2.hpp>
#include <jxl/encode.h>
#include <libheif/heif.h>
#include <lcms2.h>
#include <zlib.h>

#include <cmath>
#include <cstring>

// Files as other programs write them, made in the test with the libraries
// the program links, and what the program makes of them.
namespace RealFixtures {

// A HEIF or AVIF file of picture, as libheif writes it (major brand heic
// or avif, then mif1 among the compatible ones).
inline QByteArray heif(const QImage &picture, heif_compression_format compression)
{
    heif_context *context = heif_context_alloc();
    heif_encoder *encoder = nullptr;
    heif_context_get_encoder_for_format(context, compression, &encoder);
    heif_encoder_set_lossy_quality(encoder, 95);
    const QImage rgb = picture.convertToFormat(QImage::Format_RGB888);
    heif_image *image = nullptr;
    heif_image_create(rgb.width(), rgb.height(), heif_colorspace_RGB,
                      heif_chroma_interleaved_RGB, &image);
    heif_image_add_plane(image, heif_channel_interleaved, rgb.width(), rgb.height(), 8);
    int stride = 0;
    uint8_t *plane = heif_image_get_plane(image, heif_channel_interleaved, &stride);
    for (int y = 0; y < rgb.height(); ++y)
        memcpy(plane + y * stride, rgb.constScanLine(y), size_t(rgb.width()) * 3);
    heif_context_encode_image(context, image, encoder, nullptr, nullptr);
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

// The same file with its ftyp box's major brand and compatible brands
// replaced (as many as it had room for; the rest repeat the last).
inline QByteArray withBrands(QByteArray file, const QByteArray &major, const QByteArrayList &compatible)
{
    file.replace(8, 4, major);
    const quint32 boxSize = (quint32(quint8(file[0])) << 24) | (quint32(quint8(file[1])) << 16)
            | (quint32(quint8(file[2])) << 8) | quint32(quint8(file[3]));
    for (qsizetype at = 16, i = 0; at + 4 <= qsizetype(boxSize); at += 4, ++i)
        file.replace(at, 4, compatible.value(qMin(i, compatible.size() - 1)));
    return file;
}

inline QByteArray be16(quint16 v) { return QByteArray() + char(v >> 8) + char(v & 0xff); }
inline QByteArray be32(quint32 v) { return be16(quint16(v >> 16)) + be16(quint16(v & 0xffff)); }

// A PNG of picture as libpng's writers store it: colourType 0 (grey),
// 2 (RGB), 4 (grey and alpha) or 6 (RGBA), depth 8 or 16 bits, with the
// chunks given (each whole, from pngChunk) before the picture data.
inline QByteArray png(const QImage &picture, int colourType, int depth,
                      const QByteArrayList &chunks = {})
{
    const QImage rgba = picture.convertToFormat(QImage::Format_RGBA64);
    const int channels = colourType == 0 ? 1 : colourType == 2 ? 3 : colourType == 4 ? 2 : 4;
    QByteArray raw;
    for (int y = 0; y < rgba.height(); ++y) {
        raw.append(char(0)); // no filter
        const auto *line = reinterpret_cast<const quint16 *>(rgba.constScanLine(y));
        for (int x = 0; x < rgba.width(); ++x) {
            const quint16 *p = line + 4 * x;
            const quint16 grey = quint16((p[0] * 299 + p[1] * 587 + p[2] * 114) / 1000);
            const quint16 all[4] = {p[0], p[1], p[2], p[3]};
            const quint16 ga[2] = {grey, p[3]};
            const quint16 *samples = channels <= 2 ? ga : all;
            for (int c = 0; c < channels; ++c) {
                if (depth == 16)
                    raw += be16(samples[c]);
                else
                    raw.append(char(samples[c] >> 8));
            }
        }
    }
    uLongf packedSize = compressBound(uLong(raw.size()));
    QByteArray packed(qsizetype(packedSize), Qt::Uninitialized);
    compress(reinterpret_cast<Bytef *>(packed.data()), &packedSize,
             reinterpret_cast<const Bytef *>(raw.constData()), uLong(raw.size()));
    packed.truncate(qsizetype(packedSize));
    QByteArray file("\x89PNG\r\n\x1a\n", 8);
    file += PngChunks::make("IHDR", be32(quint32(picture.width())) + be32(quint32(picture.height()))
                                     + char(depth) + char(colourType) + QByteArray(3, '\0'));
    for (const QByteArray &chunk : chunks)
        file += chunk;
    file += PngChunks::make("IDAT", packed);
    file += PngChunks::make("IEND", QByteArray());
    return file;
}

// An EXIF block from its TIFF header on, with an orientation tag.
inline QByteArray exifBlock(quint16 orientation)
{
    Exiv2::ExifData exif;
    exif["Exif.Image.Orientation"] = orientation;
    Exiv2::Blob blob;
    Exiv2::ExifParser::encode(blob, Exiv2::littleEndian, exif);
    return QByteArray(reinterpret_cast<const char *>(blob.data()), qsizetype(blob.size()));
}

// A WebP of picture in the extended layout, with an EXIF chunk.
inline QByteArray webpWithExif(const QImage &picture, const QByteArray &exif)
{
    QByteArray simple;
    {
        QBuffer buffer(&simple);
        buffer.open(QIODevice::WriteOnly);
        picture.save(&buffer, "webp", 95);
    }
    const auto le = [](quint32 v, int bytes) {
        QByteArray out;
        for (int i = 0; i < bytes; ++i)
            out.append(char((v >> (8 * i)) & 0xff));
        return out;
    };
    QByteArray chunks = "VP8X" + le(10, 4) + char(0x08) + QByteArray(3, '\0')
            + le(quint32(picture.width() - 1), 3) + le(quint32(picture.height() - 1), 3);
    chunks += simple.mid(12); // the picture's own chunk
    chunks += "EXIF" + le(quint32(exif.size()), 4) + exif;
    if (exif.size() % 2)
        chunks += '\0';
    return "RIFF" + le(quint32(chunks.size() + 4), 4) + "WEBP" + chunks;
}

// A JPEG XL of picture's samples (8 bits, as they are), grey or RGB, with
// its alpha or without, described as sRGB or as linear light, lossless
// (the samples kept, as stored) or lossy (libjxl then keeps its own colour
// space, XYB).
inline QByteArray jxl(const QImage &picture, bool grey, bool linearLight, bool lossless,
                      bool alpha = false)
{
    JxlEncoder *encoder = JxlEncoderCreate(nullptr);
    JxlBasicInfo info;
    JxlEncoderInitBasicInfo(&info);
    info.xsize = uint32_t(picture.width());
    info.ysize = uint32_t(picture.height());
    info.bits_per_sample = 8;
    info.num_color_channels = grey ? 1 : 3;
    info.num_extra_channels = alpha ? 1 : 0;
    info.alpha_bits = alpha ? 8 : 0;
    info.uses_original_profile = lossless ? JXL_TRUE : JXL_FALSE;
    JxlEncoderSetBasicInfo(encoder, &info);
    JxlColorEncoding colour;
    if (linearLight)
        JxlColorEncodingSetToLinearSRGB(&colour, grey ? JXL_TRUE : JXL_FALSE);
    else
        JxlColorEncodingSetToSRGB(&colour, grey ? JXL_TRUE : JXL_FALSE);
    JxlEncoderSetColorEncoding(encoder, &colour);
    JxlEncoderFrameSettings *settings = JxlEncoderFrameSettingsCreate(encoder, nullptr);
    if (lossless)
        JxlEncoderSetFrameLossless(settings, JXL_TRUE);
    else
        JxlEncoderSetFrameDistance(settings, 0.5f);
    const QImage rgba = picture.convertToFormat(QImage::Format_RGBA8888);
    QByteArray samples;
    for (int y = 0; y < rgba.height(); ++y) {
        const uchar *line = rgba.constScanLine(y);
        for (int x = 0; x < rgba.width(); ++x) {
            samples.append(reinterpret_cast<const char *>(line + 4 * x), grey ? 1 : 3);
            if (alpha)
                samples.append(char(line[4 * x + 3]));
        }
    }
    const JxlPixelFormat format{uint32_t((grey ? 1 : 3) + (alpha ? 1 : 0)), JXL_TYPE_UINT8,
                                JXL_NATIVE_ENDIAN, 0};
    JxlEncoderAddImageFrame(settings, &format, samples.constData(), size_t(samples.size()));
    JxlEncoderCloseInput(encoder);
    QByteArray out(1 << 16, '\0');
    uint8_t *next = reinterpret_cast<uint8_t *>(out.data());
    size_t available = size_t(out.size());
    while (JxlEncoderProcessOutput(encoder, &next, &available) == JXL_ENC_NEED_MORE_OUTPUT) {
        const qsizetype used = next - reinterpret_cast<uint8_t *>(out.data());
        out.resize(out.size() * 2);
        next = reinterpret_cast<uint8_t *>(out.data()) + used;
        available = size_t(out.size() - used);
    }
    out.truncate(next - reinterpret_cast<uint8_t *>(out.data()));
    JxlEncoderDestroy(encoder);
    return out;
}

// Smooth ramps of colour (or grey), where a wrong gamma shows.
inline QImage ramp(const QSize &size, bool grey = false)
{
    QImage image(size, QImage::Format_RGB32);
    for (int y = 0; y < size.height(); ++y) {
        for (int x = 0; x < size.width(); ++x) {
            const int r = x * 255 / (size.width() - 1);
            const int g = y * 255 / (size.height() - 1);
            image.setPixel(x, y, grey ? qRgb(r, r, r) : qRgb(r, g, 128));
        }
    }
    image.setColorSpace(QColorSpace::SRgb);
    return image;
}

// The same picture with its samples in linear light, as a file with a
// gamma of 1.0 stores them.
inline QImage linear(const QImage &picture)
{
    QImage deep = picture.convertToFormat(QImage::Format_RGBA64);
    deep.setColorSpace(QColorSpace::SRgb);
    deep.convertToColorSpace(QColorSpace::SRgbLinear);
    return deep;
}

// Wide primaries (Adobe RGB's) with a pure power curve of gamma, as a PNG's
// cHRM and gAMA chunks describe them, as an ICC profile.
inline QByteArray wideProfile(double gamma)
{
    const cmsCIExyY white = {0.3127, 0.3290, 1};
    const cmsCIExyYTRIPLE primaries = {{0.64, 0.33, 1}, {0.21, 0.71, 1}, {0.15, 0.06, 1}};
    cmsToneCurve *curve = cmsBuildGamma(nullptr, gamma);
    cmsToneCurve *curves[3] = {curve, curve, curve};
    cmsHPROFILE profile = cmsCreateRGBProfile(&white, &primaries, curves);
    cmsUInt32Number size = 0;
    cmsSaveProfileToMem(profile, nullptr, &size);
    QByteArray icc(qsizetype(size), '\0');
    cmsSaveProfileToMem(profile, icc.data(), &size);
    cmsCloseProfile(profile);
    cmsFreeToneCurve(curve);
    return icc;
}


// picture's samples as Little CMS sees them in sRGB when they are in the
// colour space of icc: the reference for a file that says so.
inline QImage viaLittleCms(const QImage &picture, const QByteArray &icc)
{
    const QImage in = picture.convertToFormat(QImage::Format_RGB888);
    QImage out(in.size(), QImage::Format_RGB888);
    cmsHPROFILE from = cmsOpenProfileFromMem(icc.constData(), cmsUInt32Number(icc.size()));
    cmsHPROFILE srgb = cmsCreate_sRGBProfile();
    cmsHTRANSFORM t = cmsCreateTransform(from, TYPE_RGB_8, srgb, TYPE_RGB_8, INTENT_PERCEPTUAL, 0);
    for (int y = 0; y < in.height(); ++y)
        cmsDoTransform(t, in.constScanLine(y), out.scanLine(y), cmsUInt32Number(in.width()));
    cmsDeleteTransform(t);
    cmsCloseProfile(srgb);
    cmsCloseProfile(from);
    out.setColorSpace(QColorSpace::SRgb);
    return out;
}

// The result of converting one file at percent as the window does it, in
// PNG, and the written picture.
struct Converted
{
    ConversionResult result;
    QImage image;
};

inline Converted convert(const QString &source, const QString &outDir, int percent = 50,
                         const QString &format = QStringLiteral("png"))
{
    ConversionJob job(source, ConvertMode::BothConvert, QSize(), percent, format,
                      Qt::IgnoreAspectRatio);
    Converted converted;
    converted.result = job.run(ConversionJob::Target(outDir));
    if (converted.result.written())
        converted.image = QImage(converted.result.fileName);
    return converted;
}

// Mean CIE76 colour difference between two pictures of the same size,
// each taken in its own colour space (sRGB when untagged), transparent
// parts over white, through Little CMS. A large number when they differ
// in size.
inline double meanDeltaE(const QImage &a, const QImage &b)
{
    if (a.size() != b.size() || a.isNull())
        return 1e9;
    const auto srgbOverWhite = [](const QImage &picture) {
        QImage srgb = picture.convertToFormat(QImage::Format_ARGB32);
        if (picture.colorSpace().isValid() && picture.colorSpace() != QColorSpace::SRgb)
            srgb.convertToColorSpace(QColorSpace::SRgb);
        QImage flat(srgb.size(), QImage::Format_RGB888);
        for (int y = 0; y < srgb.height(); ++y) {
            const auto *in = reinterpret_cast<const QRgb *>(srgb.constScanLine(y));
            uchar *out = flat.scanLine(y);
            for (int x = 0; x < srgb.width(); ++x) {
                const int alpha = qAlpha(in[x]);
                out[3 * x] = uchar((qRed(in[x]) * alpha + 255 * (255 - alpha)) / 255);
                out[3 * x + 1] = uchar((qGreen(in[x]) * alpha + 255 * (255 - alpha)) / 255);
                out[3 * x + 2] = uchar((qBlue(in[x]) * alpha + 255 * (255 - alpha)) / 255);
            }
        }
        return flat;
    };
    const QImage fa = srgbOverWhite(a);
    const QImage fb = srgbOverWhite(b);
    cmsHPROFILE srgb = cmsCreate_sRGBProfile();
    cmsHPROFILE lab = cmsCreateLab4Profile(nullptr);
    cmsHTRANSFORM toLab = cmsCreateTransform(srgb, TYPE_RGB_8, lab, TYPE_Lab_DBL,
                                             INTENT_RELATIVE_COLORIMETRIC, 0);
    double sum = 0;
    QList<cmsCIELab> la(a.width()), lb(a.width());
    for (int y = 0; y < a.height(); ++y) {
        cmsDoTransform(toLab, fa.constScanLine(y), la.data(), cmsUInt32Number(a.width()));
        cmsDoTransform(toLab, fb.constScanLine(y), lb.data(), cmsUInt32Number(a.width()));
        for (int x = 0; x < a.width(); ++x)
            sum += cmsDeltaE(&la[x], &lb[x]);
    }
    cmsDeleteTransform(toLab);
    cmsCloseProfile(lab);
    cmsCloseProfile(srgb);
    return sum / (double(a.width()) * a.height());
}

// Why converting path at 50 % into outDir does not give reference (the
// picture the file holds, upright, in sRGB) at half its size: not written,
// another size, or a mean delta E over 3. Empty when it does.
inline QString notHalfOf(const QString &path, const QString &outDir, const QImage &reference)
{
    const Converted out = convert(path, outDir);
    if (!out.result.written())
        return QStringLiteral("not written: ") + out.result.reason;
    const QImage expected = reference.scaled(reference.size() / 2);
    if (out.image.size() != expected.size())
        return QStringLiteral("%1 x %2 written, %3 x %4 expected")
                .arg(out.image.width()).arg(out.image.height())
                .arg(expected.width()).arg(expected.height());
    const double deltaE = meanDeltaE(out.image, expected);
    return deltaE <= 3 ? QString() : QStringLiteral("mean delta E %1").arg(deltaE);
}

} // namespace RealFixtures

#endif // REALFIXTURES_H
