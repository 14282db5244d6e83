#include "decode/jxldecoder.h"

#include "base/imagelimits.h"
#include "cms/colorconverter.h"

#include <QColorSpace>

#include <jxl/decode.h>
#include <jxl/thread_parallel_runner.h>

#include <memory>

namespace {

struct Decoder
{
    JxlDecoder *decoder = JxlDecoderCreate(nullptr);
    void *runner = nullptr;
    ~Decoder()
    {
        JxlDecoderDestroy(decoder);
        if (runner)
            JxlThreadParallelRunnerDestroy(runner);
    }
};

const QString damaged = QStringLiteral("cannot read the JPEG XL file: damaged or truncated");

} // namespace

JpegXlDecoder::JpegXlDecoder(QByteArray fileBytes)
    : FileBytesDecoder(std::move(fileBytes))
{
    // The header alone: the basic information comes first in the stream.
    Decoder d;
    JxlDecoderSubscribeEvents(d.decoder, JXL_DEC_BASIC_INFO);
    JxlDecoderSetInput(d.decoder, reinterpret_cast<const uint8_t *>(bytes.constData()),
                       size_t(bytes.size()));
    JxlDecoderCloseInput(d.decoder);
    JxlBasicInfo info;
    if (JxlDecoderProcessInput(d.decoder) != JXL_DEC_BASIC_INFO
        || JxlDecoderGetBasicInfo(d.decoder, &info) != JXL_DEC_SUCCESS) {
        error = damaged;
        return;
    }
    shown = QSize(int(qMin<uint32_t>(info.xsize, INT_MAX)), int(qMin<uint32_t>(info.ysize, INT_MAX)));
    if (info.orientation > JXL_ORIENT_ROTATE_180) // the quarter turns
        shown.transpose();
    const bool deep = info.bits_per_sample > 8;
    const qint64 channels = qint64(info.num_color_channels) + info.num_extra_channels;
    // Measured: a lossless 16-bit RGB file takes 24 bytes a pixel.
    const qint64 perPixel = (deep ? 8 : 4) + 4 * (qMax<qint64>(3, channels) + 1);
    cost = ImageLimits::plus(bytes.size(), ImageLimits::bytesFor(shown, perPixel));
}

bool JpegXlDecoder::recognizes(QByteArrayView head)
{
    const JxlSignature signature =
            JxlSignatureCheck(reinterpret_cast<const uint8_t *>(head.data()), size_t(head.size()));
    return signature == JXL_SIG_CODESTREAM || signature == JXL_SIG_CONTAINER;
}

QImage JpegXlDecoder::read(QString *errorString)
{
    if (!isValid())
        return failed(errorString, error);
    Decoder d;
    d.runner = JxlThreadParallelRunnerCreate(nullptr, JxlThreadParallelRunnerDefaultNumWorkerThreads());
    if (d.runner)
        JxlDecoderSetParallelRunner(d.decoder, JxlThreadParallelRunner, d.runner);
    JxlDecoderSubscribeEvents(d.decoder, JXL_DEC_BASIC_INFO | JXL_DEC_COLOR_ENCODING | JXL_DEC_FULL_IMAGE);
    JxlDecoderSetInput(d.decoder, reinterpret_cast<const uint8_t *>(bytes.constData()),
                       size_t(bytes.size()));
    JxlDecoderCloseInput(d.decoder);

    JxlPixelFormat format{4, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
    QImage image;
    QByteArray icc;
    bool grey = false;
    for (;;) {
        switch (JxlDecoderProcessInput(d.decoder)) {
        case JXL_DEC_BASIC_INFO: {
            JxlBasicInfo info;
            if (JxlDecoderGetBasicInfo(d.decoder, &info) != JXL_DEC_SUCCESS)
                return failed(errorString, damaged);
            const bool deep = info.bits_per_sample > 8;
            format.data_type = deep ? JXL_TYPE_UINT16 : JXL_TYPE_UINT8;
            const bool alpha = info.alpha_bits > 0;
            grey = info.num_color_channels == 1;
            image = QImage(shown, deep ? (alpha ? QImage::Format_RGBA64 : QImage::Format_RGBX64)
                                       : (alpha ? QImage::Format_RGBA8888 : QImage::Format_RGBX8888));
            if (image.isNull())
                return failed(errorString, ImageLimits::outOfMemory());
            break;
        }
        case JXL_DEC_COLOR_ENCODING: {
            // Pictures kept in libjxl's own colour space (lossy ones) come
            // out in sRGB; the others as stored, with their profile.
            JxlColorEncoding srgb{};
            srgb.color_space = grey ? JXL_COLOR_SPACE_GRAY : JXL_COLOR_SPACE_RGB;
            srgb.white_point = JXL_WHITE_POINT_D65;
            srgb.primaries = JXL_PRIMARIES_SRGB;
            srgb.transfer_function = JXL_TRANSFER_FUNCTION_SRGB;
            srgb.rendering_intent = JXL_RENDERING_INTENT_PERCEPTUAL;
            JxlDecoderSetPreferredColorProfile(d.decoder, &srgb);
            size_t size = 0;
            if (JxlDecoderGetICCProfileSize(d.decoder, &format, JXL_COLOR_PROFILE_TARGET_DATA, &size)
                        == JXL_DEC_SUCCESS
                && size > 0) {
                icc.resize(qsizetype(size));
                if (JxlDecoderGetColorAsICCProfile(d.decoder, &format, JXL_COLOR_PROFILE_TARGET_DATA,
                                                   reinterpret_cast<uint8_t *>(icc.data()), size)
                    != JXL_DEC_SUCCESS)
                    icc.clear();
            }
            break;
        }
        case JXL_DEC_NEED_IMAGE_OUT_BUFFER: {
            size_t needed = 0;
            if (image.isNull()
                || JxlDecoderImageOutBufferSize(d.decoder, &format, &needed) != JXL_DEC_SUCCESS
                || needed != size_t(image.sizeInBytes())
                || image.bytesPerLine() != image.width() * (format.data_type == JXL_TYPE_UINT16 ? 8 : 4))
                return failed(errorString, damaged);
            if (JxlDecoderSetImageOutBuffer(d.decoder, &format, image.bits(), needed) != JXL_DEC_SUCCESS)
                return failed(errorString, damaged);
            break;
        }
        case JXL_DEC_FULL_IMAGE:
            break;
        case JXL_DEC_SUCCESS:
            if (image.isNull())
                return failed(errorString, damaged);
            if (icc.isEmpty())
                return image;
            if (grey) {
                // Grey comes out as RGB, which a grey profile does not fit
                // as a tag: the pixels are converted into sRGB instead.
                QString why;
                const QImage srgb = ColorConverter::toSrgb(image, icc, &why);
                if (!srgb.isNull())
                    return srgb;
            }
            return withProfile(image, icc);
        default: // an error, or input that ends too soon
            return failed(errorString, damaged);
        }
    }
}
