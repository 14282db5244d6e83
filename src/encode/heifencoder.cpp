#include "encode/heifencoder.h"

#include "base/imagelimits.h"
#include "encode/outputformat.h"

#include <libheif/heif.h>

#include <cmath>
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

// The encoder's own threads: aom takes a count, x265 a pool and the
// frames it codes at once.
void capThreads(heif_encoder *encoder, heif_compression_format compression, int threads)
{
    const QByteArray count = QByteArray::number(threads);
    if (compression == heif_compression_AV1) {
        heif_encoder_set_parameter_integer(encoder, "threads", threads);
    } else {
        heif_encoder_set_parameter_string(encoder, "x265:pools", count.constData());
        heif_encoder_set_parameter_string(encoder, "x265:frame-threads", "1");
    }
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

QByteArray HeifEncoder::encode(const QImage &source, const QString &format, double native,
                               const EncodeOptions &options, const FileBlocks &blocks,
                               QString *errorString)
{
    auto fail = [errorString](const QString &why) {
        if (errorString)
            *errorString = why;
        return QByteArray();
    };
    if (!canWrite(format))
        return fail(QStringLiteral("no writer for %1 files: choose a target format").arg(format.toUpper()));
    const heif_compression_format compression = compressionFor(format);
    const bool lossless = options.lossless && compression == heif_compression_AV1;
    const bool alpha = source.hasAlphaChannel();
    const QImage pixels = source.convertToFormat(alpha ? QImage::Format_RGBA8888 : QImage::Format_RGB888);
    if (pixels.isNull())
        return fail(ImageLimits::outOfMemory());

    std::unique_ptr<heif_context, decltype(&heif_context_free)> context(heif_context_alloc(),
                                                                         heif_context_free);
    heif_encoder *rawEncoder = nullptr;
    heif_error e = heif_context_get_encoder_for_format(context.get(), compression, &rawEncoder);
    if (e.code != heif_error_Ok)
        return fail(reasonOf(e));
    std::unique_ptr<heif_encoder, decltype(&heif_encoder_release)> encoder(rawEncoder,
                                                                           heif_encoder_release);
    capThreads(rawEncoder, compression, options.threads);
    if (lossless) {
        heif_encoder_set_lossless(rawEncoder, 1);
        heif_encoder_set_parameter_string(rawEncoder, "chroma", "444");
    } else {
        heif_encoder_set_lossy_quality(rawEncoder, int(std::lround(qBound(0.0, native, 100.0))));
    }

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
    if (!blocks.icc.isEmpty())
        heif_image_set_raw_color_profile(rawImage, "prof", blocks.icc.constData(), size_t(blocks.icc.size()));

    std::unique_ptr<heif_encoding_options, decltype(&heif_encoding_options_free)> encoding(
            heif_encoding_options_alloc(), heif_encoding_options_free);
    // Without loss the pixels are coded as they are, in RGB, not in YCbCr.
    heif_color_profile_nclx *rgb = heif_nclx_color_profile_alloc();
    std::unique_ptr<heif_color_profile_nclx, decltype(&heif_nclx_color_profile_free)> nclx(
            rgb, heif_nclx_color_profile_free);
    if (lossless && rgb) {
        rgb->matrix_coefficients = heif_matrix_coefficients_RGB_GBR;
        rgb->full_range_flag = 1;
        encoding->output_nclx_profile = rgb;
    }
    heif_image_handle *rawHandle = nullptr;
    e = heif_context_encode_image(context.get(), rawImage, rawEncoder, encoding.get(), &rawHandle);
    if (e.code != heif_error_Ok)
        return fail(reasonOf(e));
    std::unique_ptr<heif_image_handle, decltype(&heif_image_handle_release)> handle(
            rawHandle, heif_image_handle_release);
    if (!blocks.exif.isEmpty()) {
        e = heif_context_add_exif_metadata(context.get(), rawHandle, blocks.exif.constData(),
                                           int(blocks.exif.size()));
        if (e.code != heif_error_Ok)
            return fail(reasonOf(e));
    }
    if (!blocks.xmp.isEmpty()) {
        e = heif_context_add_XMP_metadata(context.get(), rawHandle, blocks.xmp.constData(),
                                          int(blocks.xmp.size()));
        if (e.code != heif_error_Ok)
            return fail(reasonOf(e));
    }
    QByteArray bytes;
    heif_writer writer{1, appendTo};
    e = heif_context_write(context.get(), &writer, &bytes);
    if (e.code != heif_error_Ok || bytes.isEmpty())
        return fail(reasonOf(e));
    return bytes;
}
