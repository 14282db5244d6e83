#include "encode/jpegxlencoder.h"

#include "base/imagelimits.h"

#include <QCoreApplication>
#include <QtEndian>

#include <jxl/encode_cxx.h>
#include <jxl/thread_parallel_runner_cxx.h>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("JpegXlEncoder", text);
}

QString reasonOf(JxlEncoder *encoder, const char *what)
{
    switch (JxlEncoderGetError(encoder)) {
    case JXL_ENC_ERR_OOM:
        return ImageLimits::outOfMemory();
    case JXL_ENC_ERR_JBRD:
    case JXL_ENC_ERR_BAD_INPUT:
        return tr("libjxl cannot take this JPEG without decoding it");
    case JXL_ENC_ERR_NOT_SUPPORTED:
        return tr("libjxl does not support %1 here").arg(QString::fromLatin1(what));
    default:
        return tr("cannot write the JPEG XL file (%1)").arg(QString::fromLatin1(what));
    }
}

// An encoder with the threads options allow: none of its own for one,
// the calling thread working alone.
struct Session
{
    JxlEncoderPtr encoder = JxlEncoderMake(nullptr);
    JxlThreadParallelRunnerPtr runner;
    JxlEncoderFrameSettings *settings = nullptr;

    bool start(const EncodeOptions &options)
    {
        if (!encoder)
            return false;
        if (options.threads > 1) {
            runner = JxlThreadParallelRunnerMake(nullptr, size_t(options.threads));
            if (!runner
                || JxlEncoderSetParallelRunner(encoder.get(), JxlThreadParallelRunner, runner.get())
                        != JXL_ENC_SUCCESS)
                return false;
        }
        settings = JxlEncoderFrameSettingsCreate(encoder.get(), nullptr);
        return settings
                && JxlEncoderFrameSettingsSetOption(settings, JXL_ENC_FRAME_SETTING_EFFORT,
                                                    JpegXlEncoder::effort)
                == JXL_ENC_SUCCESS;
    }

    // Everything the encoder has, once its input is closed.
    QByteArray output(QString *why)
    {
        QByteArray bytes(64 * 1024, Qt::Uninitialized);
        qsizetype used = 0;
        for (;;) {
            auto *next = reinterpret_cast<uint8_t *>(bytes.data() + used);
            size_t left = size_t(bytes.size() - used);
            const JxlEncoderStatus status = JxlEncoderProcessOutput(encoder.get(), &next, &left);
            used = qsizetype(next - reinterpret_cast<uint8_t *>(bytes.data()));
            if (status == JXL_ENC_SUCCESS)
                break;
            if (status != JXL_ENC_NEED_MORE_OUTPUT) {
                *why = reasonOf(encoder.get(), "the encoding");
                return QByteArray();
            }
            bytes.resize(bytes.size() * 2);
        }
        bytes.resize(used);
        return bytes;
    }
};

bool addBox(JxlEncoder *encoder, const char *type, const QByteArray &contents)
{
    return JxlEncoderAddBox(encoder, type, reinterpret_cast<const uint8_t *>(contents.constData()),
                            size_t(contents.size()), JXL_FALSE)
            == JXL_ENC_SUCCESS;
}

} // namespace

QByteArray JpegXlEncoder::encode(const QImage &source, double distance, const EncodeOptions &options,
                              const FileBlocks &boxes, QString *errorString)
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
    Session session;
    if (!session.start(options))
        return fail(ImageLimits::outOfMemory());
    JxlEncoder *encoder = session.encoder.get();

    JxlBasicInfo info;
    JxlEncoderInitBasicInfo(&info);
    info.xsize = uint32_t(pixels.width());
    info.ysize = uint32_t(pixels.height());
    info.bits_per_sample = 8;
    info.num_color_channels = 3;
    info.num_extra_channels = alpha ? 1 : 0;
    info.alpha_bits = alpha ? 8 : 0;
    // Lossless keeps the pixels as they are in their own space; lossy
    // works in libjxl's own and notes the profile to convert back to.
    info.uses_original_profile = options.lossless ? JXL_TRUE : JXL_FALSE;
    if (!boxes.exif.isEmpty() || !boxes.xmp.isEmpty())
        JxlEncoderUseBoxes(encoder);
    if (JxlEncoderSetBasicInfo(encoder, &info) != JXL_ENC_SUCCESS)
        return fail(reasonOf(encoder, "a picture of this size"));
    bool colour = false;
    if (!boxes.icc.isEmpty()) {
        colour = JxlEncoderSetICCProfile(encoder, reinterpret_cast<const uint8_t *>(boxes.icc.constData()),
                                         size_t(boxes.icc.size()))
                == JXL_ENC_SUCCESS;
    }
    if (!colour) {
        JxlColorEncoding srgb;
        JxlColorEncodingSetToSRGB(&srgb, JXL_FALSE);
        if (JxlEncoderSetColorEncoding(encoder, &srgb) != JXL_ENC_SUCCESS)
            return fail(reasonOf(encoder, "the colour space"));
    }

    if (!boxes.exif.isEmpty()) {
        // The box starts with the offset of the TIFF header in it.
        QByteArray exif(4, '\0');
        exif += boxes.exif;
        if (!addBox(encoder, "Exif", exif))
            return fail(reasonOf(encoder, "the EXIF box"));
    }
    if (!boxes.xmp.isEmpty() && !addBox(encoder, "xml ", boxes.xmp))
        return fail(reasonOf(encoder, "the XMP box"));
    JxlEncoderCloseBoxes(encoder);

    if (options.lossless) {
        if (JxlEncoderSetFrameLossless(session.settings, JXL_TRUE) != JXL_ENC_SUCCESS)
            return fail(reasonOf(encoder, "lossless frames"));
    } else if (JxlEncoderSetFrameDistance(session.settings, float(qBound(0.1, distance, 25.0)))
               != JXL_ENC_SUCCESS) {
        return fail(reasonOf(encoder, "this distance"));
    }
    // Qt pads rows to four bytes; libjxl takes that as the row alignment.
    const JxlPixelFormat format{alpha ? 4u : 3u, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN,
                                4};
    if (JxlEncoderAddImageFrame(session.settings, &format, pixels.constBits(),
                                size_t(pixels.sizeInBytes()))
        != JXL_ENC_SUCCESS)
        return fail(reasonOf(encoder, "the picture"));
    JxlEncoderCloseInput(encoder);
    QString why;
    const QByteArray bytes = session.output(&why);
    return bytes.isEmpty() ? fail(why) : bytes;
}

QByteArray JpegXlEncoder::transcode(const QByteArray &jpeg, const EncodeOptions &options,
                                 QString *errorString)
{
    auto fail = [errorString](const QString &why) {
        if (errorString)
            *errorString = why;
        return QByteArray();
    };
    Session session;
    if (!session.start(options))
        return fail(ImageLimits::outOfMemory());
    JxlEncoder *encoder = session.encoder.get();
    // The JPEG's EXIF and XMP become boxes, and rebuild its segments.
    JxlEncoderUseBoxes(encoder);
    if (JxlEncoderStoreJPEGMetadata(encoder, JXL_TRUE) != JXL_ENC_SUCCESS)
        return fail(reasonOf(encoder, "JPEG reconstruction"));
    if (JxlEncoderAddJPEGFrame(session.settings, reinterpret_cast<const uint8_t *>(jpeg.constData()),
                               size_t(jpeg.size()))
        != JXL_ENC_SUCCESS)
        return fail(reasonOf(encoder, "this JPEG"));
    JxlEncoderCloseInput(encoder);
    QString why;
    const QByteArray bytes = session.output(&why);
    return bytes.isEmpty() ? fail(why) : bytes;
}
