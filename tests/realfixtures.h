#ifndef REALFIXTURES_H
#define REALFIXTURES_H

#include "conversion/conversionjob.h"

#include <QColorSpace>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>

#include <libheif/heif.h>
#include <lcms2.h>

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
    ConversionJob job(source, ConversionJob::BothConvert, QSize(), percent, format,
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

} // namespace RealFixtures

#endif // REALFIXTURES_H
