#include "encode/heifencoder.h"

#include "base/imagelimits.h"
#include "encode/outputformat.h"

#include <QColorSpace>

#include <libheif/heif.h>

#include <cstring>
#include <memory>

namespace {

heif_compression_format compressionFor(const QString &format)
{
    return OutputFormat::of(format).writer == OutputFormat::Writer::HeifAv1
            ? heif_compression_AV1
            : heif_compression_HEVC;
}

QString reasonOf(const heif_error &e)
{
    return QStringLiteral("cannot write the HEIF file: %1")
            .arg(QString::fromUtf8(e.message ? e.message : "unknown error"));
}

heif_error appendTo(heif_context *, const void *data, size_t size, void *user)
{
    static_cast<QByteArray *>(user)->append(static_cast<const char *>(data), qsizetype(size));
    return heif_error{heif_error_Ok, heif_suberror_Unspecified, "ok"};
}

} // namespace

bool HeifEncoder::handles(const QString &format)
{
    const OutputFormat::Writer writer = OutputFormat::of(format).writer;
    return writer == OutputFormat::Writer::HeifHevc || writer == OutputFormat::Writer::HeifAv1;
}

bool HeifEncoder::canWrite(const QString &format)
{
    return handles(format) && heif_have_encoder_for_format(compressionFor(format));
}

QByteArray HeifEncoder::encode(const QImage &source, const QString &format, QString *errorString)
{
    auto fail = [errorString](const QString &why) {
        if (errorString)
            *errorString = why;
        return QByteArray();
    };
    if (!canWrite(format))
        return fail(QStringLiteral("no writer for %1 files: choose a target format").arg(format.toUpper()));
    const bool alpha = source.hasAlphaChannel();
    const QImage pixels = source.convertToFormat(alpha ? QImage::Format_RGBA8888 : QImage::Format_RGB888);
    if (pixels.isNull())
        return fail(ImageLimits::outOfMemory());

    std::unique_ptr<heif_context, decltype(&heif_context_free)> context(heif_context_alloc(),
                                                                         heif_context_free);
    heif_encoder *rawEncoder = nullptr;
    heif_error e = heif_context_get_encoder_for_format(context.get(), compressionFor(format), &rawEncoder);
    if (e.code != heif_error_Ok)
        return fail(reasonOf(e));
    std::unique_ptr<heif_encoder, decltype(&heif_encoder_release)> encoder(rawEncoder,
                                                                           heif_encoder_release);
    heif_encoder_set_lossy_quality(encoder.get(), defaultQuality);

    heif_image *rawImage = nullptr;
    e = heif_image_create(pixels.width(), pixels.height(), heif_colorspace_RGB,
                          alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB, &rawImage);
    if (e.code != heif_error_Ok)
        return fail(reasonOf(e));
    std::unique_ptr<heif_image, decltype(&heif_image_release)> image(rawImage, heif_image_release);
    e = heif_image_add_plane(rawImage, heif_channel_interleaved, pixels.width(), pixels.height(), 8);
    if (e.code != heif_error_Ok)
        return fail(reasonOf(e));
    int stride = 0;
    uint8_t *plane = heif_image_get_plane(rawImage, heif_channel_interleaved, &stride);
    const size_t rowBytes = size_t(pixels.width()) * (alpha ? 4 : 3);
    for (int y = 0; y < pixels.height(); ++y)
        std::memcpy(plane + qsizetype(y) * stride, pixels.constScanLine(y), rowBytes);
    const QColorSpace space = pixels.colorSpace();
    if (space.isValid() && space != QColorSpace(QColorSpace::SRgb)) {
        const QByteArray icc = space.iccProfile();
        heif_image_set_raw_color_profile(rawImage, "prof", icc.constData(), size_t(icc.size()));
    }

    e = heif_context_encode_image(context.get(), rawImage, encoder.get(), nullptr, nullptr);
    if (e.code != heif_error_Ok)
        return fail(reasonOf(e));
    QByteArray bytes;
    heif_writer writer{1, appendTo};
    e = heif_context_write(context.get(), &writer, &bytes);
    if (e.code != heif_error_Ok || bytes.isEmpty())
        return fail(reasonOf(e));
    return bytes;
}
