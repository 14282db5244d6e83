#include "encode/webpencoder.h"

#include "base/imagelimits.h"

#include <QCoreApplication>

#include <webp/encode.h>
#include <webp/mux.h>

#include <memory>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("WebpEncoder", text);
}

QString reasonOf(WebPEncodingError error)
{
    switch (error) {
    case VP8_ENC_ERROR_OUT_OF_MEMORY:
    case VP8_ENC_ERROR_BITSTREAM_OUT_OF_MEMORY:
        return ImageLimits::outOfMemory();
    case VP8_ENC_ERROR_BAD_DIMENSION:
        return tr("the picture is too large for a WebP file");
    case VP8_ENC_ERROR_PARTITION0_OVERFLOW:
    case VP8_ENC_ERROR_PARTITION_OVERFLOW:
        return tr("the picture is too detailed for a WebP file at this size");
    default:
        return tr("cannot write the WebP file (libwebp error %1)").arg(int(error));
    }
}

// The file with the chunks put in by libwebpmux, which also turns a
// simple file into the extended one they need.
QByteArray withChunks(const QByteArray &plain, const FileBlocks &chunks, QString *why)
{
    if (chunks.icc.isEmpty() && chunks.exif.isEmpty() && chunks.xmp.isEmpty())
        return plain;
    const WebPData image{reinterpret_cast<const uint8_t *>(plain.constData()), size_t(plain.size())};
    std::unique_ptr<WebPMux, decltype(&WebPMuxDelete)> mux(WebPMuxCreate(&image, 0), WebPMuxDelete);
    if (!mux) {
        *why = ImageLimits::outOfMemory();
        return QByteArray();
    }
    const std::pair<const char *, const QByteArray *> blocks[] = {
            {"ICCP", &chunks.icc}, {"EXIF", &chunks.exif}, {"XMP ", &chunks.xmp}};
    for (const auto &[fourcc, bytes] : blocks) {
        if (bytes->isEmpty())
            continue;
        const WebPData data{reinterpret_cast<const uint8_t *>(bytes->constData()),
                            size_t(bytes->size())};
        if (WebPMuxSetChunk(mux.get(), fourcc, &data, 0) != WEBP_MUX_OK) {
            *why = tr("cannot put the %1 chunk into the WebP file").arg(QString::fromLatin1(fourcc).trimmed());
            return QByteArray();
        }
    }
    WebPData assembled;
    WebPDataInit(&assembled);
    if (WebPMuxAssemble(mux.get(), &assembled) != WEBP_MUX_OK) {
        *why = tr("cannot assemble the WebP file");
        return QByteArray();
    }
    QByteArray bytes(reinterpret_cast<const char *>(assembled.bytes), qsizetype(assembled.size));
    WebPDataClear(&assembled);
    return bytes;
}

} // namespace

QByteArray WebpEncoder::encode(const QImage &source, double native, const EncodeOptions &options,
                               const FileBlocks &chunks, QString *errorString)
{
    auto fail = [errorString](const QString &why) {
        if (errorString)
            *errorString = why;
        return QByteArray();
    };
    const bool alpha = source.hasAlphaChannel();
    const QImage pixels = source.convertToFormat(alpha ? QImage::Format_RGBA8888 : QImage::Format_RGB888);
    if (pixels.isNull())
        return fail(ImageLimits::outOfMemory());

    WebPConfig config;
    if (!WebPConfigInit(&config))
        return fail(tr("the WebP library does not match the one built against"));
    // Lossy: libwebp's slowest method and a quarter of its default
    // spatial noise shaping (quantizers nearer uniform): on photos about
    // 15 % fewer bytes at the same butteraugli distance than its tool's
    // defaults (method 4, 50), at 1.4 to 3 times the time
    // (docs/quality.md). Lossless: the tool's effort, 75.
    config.method = options.lossless ? 4 : 6;
    config.sns_strength = 25;
    config.lossless = options.lossless ? 1 : 0;
    config.quality = options.lossless ? 75.0f : float(qBound(0.0, native, 100.0));
    // libwebp runs at most one thread beside the caller's.
    config.thread_level = options.threads > 1 ? 1 : 0;
    if (!WebPValidateConfig(&config))
        return fail(tr("cannot write the WebP file: the settings are out of range"));

    WebPPicture picture;
    if (!WebPPictureInit(&picture))
        return fail(tr("the WebP library does not match the one built against"));
    std::unique_ptr<WebPPicture, decltype(&WebPPictureFree)> owned(&picture, WebPPictureFree);
    picture.width = pixels.width();
    picture.height = pixels.height();
    picture.use_argb = options.lossless ? 1 : 0;
    const int imported = alpha ? WebPPictureImportRGBA(&picture, pixels.constBits(), int(pixels.bytesPerLine()))
                               : WebPPictureImportRGB(&picture, pixels.constBits(), int(pixels.bytesPerLine()));
    if (!imported)
        return fail(reasonOf(picture.error_code));

    WebPMemoryWriter memory;
    WebPMemoryWriterInit(&memory);
    std::unique_ptr<WebPMemoryWriter, decltype(&WebPMemoryWriterClear)> written(&memory,
                                                                               WebPMemoryWriterClear);
    picture.writer = WebPMemoryWrite;
    picture.custom_ptr = &memory;
    if (!WebPEncode(&config, &picture))
        return fail(reasonOf(picture.error_code));
    const QByteArray plain(reinterpret_cast<const char *>(memory.mem), qsizetype(memory.size));
    QString why;
    const QByteArray bytes = withChunks(plain, chunks, &why);
    if (bytes.isEmpty())
        return fail(why);
    return bytes;
}
