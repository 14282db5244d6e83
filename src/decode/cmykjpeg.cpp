#include "decode/cmykjpeg.h"

#include "cms/colorconverter.h"
#include "base/imagelimits.h"
#include "decode/imagedecoder.h"

#include <QCoreApplication>
#include <QByteArray>
#include <QColorSpace>

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <vector>

#include <jpeglib.h>

namespace {

// libjpeg reports a fatal error by calling error_exit, which must not
// return: it jumps back to the function that called into libjpeg.
struct Decoder
{
    jpeg_decompress_struct info{};
    jpeg_error_mgr errors{};
    std::jmp_buf failed;
    char message[JMSG_LENGTH_MAX] = {};

    Decoder()
    {
        info.err = jpeg_std_error(&errors);
        errors.error_exit = [](j_common_ptr common) {
            auto *self = reinterpret_cast<Decoder *>(common->client_data);
            common->err->format_message(common, self->message);
            std::longjmp(self->failed, 1);
        };
        // Corrupt data is reported as a warning; the picture still comes
        // out, as Qt's own reader does, so warnings are not printed.
        errors.emit_message = [](j_common_ptr, int) {};
        info.client_data = this;
        jpeg_create_decompress(&info);
    }
    ~Decoder() { jpeg_destroy_decompress(&info); }
    Decoder(const Decoder &) = delete;
    Decoder &operator=(const Decoder &) = delete;
};

// The smallest of libjpeg's scales n/8 at which the picture still covers
// wanted, so that what is left to scale afterwards is at most twice as big.
unsigned scaleNumerator(const QSize &stored, const QSize &wanted)
{
    for (unsigned n = 1; n < 8; ++n) {
        const qint64 w = (qint64(stored.width()) * n + 7) / 8;
        const qint64 h = (qint64(stored.height()) * n + 7) / 8;
        if (w >= wanted.width() && h >= wanted.height())
            return n;
    }
    return 8;
}

QByteArray iccProfileOf(j_decompress_ptr info)
{
    JOCTET *data = nullptr;
    unsigned int size = 0;
    if (!jpeg_read_icc_profile(info, &data, &size) || !data)
        return QByteArray();
    QByteArray profile(reinterpret_cast<const char *>(data), qsizetype(size));
    std::free(data);
    return profile;
}

// The parts that call into libjpeg, each with its own jump target and
// nothing but plain values of its own, so that a jump out of libjpeg skips
// no destructor. They return false when libjpeg gave up.
bool readHeader(Decoder *decoder, QByteArrayView jpeg, bool keepProfile)
{
    if (setjmp(decoder->failed) != 0)
        return false;
    jpeg_mem_src(&decoder->info, reinterpret_cast<const unsigned char *>(jpeg.data()),
                 static_cast<unsigned long>(jpeg.size()));
    if (keepProfile)
        jpeg_save_markers(&decoder->info, JPEG_APP0 + 2, 0xFFFF);
    return jpeg_read_header(&decoder->info, TRUE) == JPEG_HEADER_OK;
}

bool setUpOutput(Decoder *decoder, unsigned scaleNum)
{
    if (setjmp(decoder->failed) != 0)
        return false;
    decoder->info.out_color_space = JCS_CMYK; // YCCK comes out as CMYK too
    decoder->info.scale_num = scaleNum;
    decoder->info.scale_denom = 8;
    jpeg_calc_output_dimensions(&decoder->info);
    return true;
}

bool decodeRows(Decoder *decoder, uchar *row, QImage *image, const ColorConverter *converter)
{
    if (setjmp(decoder->failed) != 0)
        return false;
    jpeg_decompress_struct *info = &decoder->info;
    jpeg_start_decompress(info);
    const int width = int(info->output_width);
    while (info->output_scanline < info->output_height) {
        const int y = int(info->output_scanline);
        JSAMPROW samples = row;
        if (jpeg_read_scanlines(info, &samples, 1) != 1)
            break;
        converter->convertRow(row, image->scanLine(y), width);
    }
    jpeg_finish_decompress(info);
    return true;
}

QString failure(const Decoder &decoder)
{
    return QStringLiteral("cannot read the CMYK JPEG: ") + QString::fromLocal8Bit(decoder.message);
}

} // namespace

bool CmykJpeg::isCmyk(QByteArrayView jpeg, bool *headerFound)
{
    if (headerFound)
        *headerFound = true;
    if (jpeg.size() < 4 || quint8(jpeg[0]) != 0xFF || quint8(jpeg[1]) != 0xD8)
        return false;
    Decoder decoder;
    const bool read = readHeader(&decoder, jpeg, false);
    if (headerFound)
        *headerFound = read;
    return read && decoder.info.num_components == 4;
}

QImage CmykJpeg::read(QByteArrayView jpeg, const QSize &scaledSize, QString *errorString)
{
    Decoder decoder;
    if (!readHeader(&decoder, jpeg, true))
        return ImageDecoder::failed(errorString, failure(decoder));
    if (decoder.info.num_components != 4)
        return ImageDecoder::failed(errorString, QCoreApplication::translate("CmykJpeg", "not a CMYK JPEG"));
    const QSize stored(int(decoder.info.image_width), int(decoder.info.image_height));
    const bool scaled = scaledSize.isValid() && !scaledSize.isEmpty();
    if (!ImageDecoder::admits(stored, errorString)
        || (scaled && !ImageDecoder::admits(scaledSize, errorString)))
        return QImage();
    if (!setUpOutput(&decoder, scaled ? scaleNumerator(stored, scaledSize) : 8))
        return ImageDecoder::failed(errorString, failure(decoder));
    const QSize decoded(int(decoder.info.output_width), int(decoder.info.output_height));

    // Adobe's programs write CMYK with 255 for no ink, and mark their files
    // with an APP14 segment; files without it store plain ink values.
    const ColorConverter converter =
            ColorConverter::fromCmyk(iccProfileOf(&decoder.info), decoder.info.saw_Adobe_marker);
    if (!converter.isValid())
        return ImageDecoder::failed(errorString, converter.errorString());

    QImage image;
    std::vector<uchar> row;
    try {
        image = QImage(decoded, QImage::Format_RGB32);
        row.resize(size_t(decoded.width()) * 4);
    } catch (const std::bad_alloc &) {
        return ImageDecoder::failed(errorString, ImageLimits::outOfMemory());
    }
    if (image.isNull())
        return ImageDecoder::failed(errorString, ImageLimits::outOfMemory());
    image.fill(0xFFFFFFFF); // the converter leaves the fourth byte alone
    if (!decodeRows(&decoder, row.data(), &image, &converter))
        return ImageDecoder::failed(errorString, failure(decoder));
    image.setColorSpace(QColorSpace::SRgb);

    if (scaled && scaledSize != decoded) {
        image = ImageLimits::orNull(
                [&]() {
                    return image.scaled(scaledSize, Qt::IgnoreAspectRatio,
                                        Qt::SmoothTransformation);
                },
                nullptr);
        if (image.isNull())
            return ImageDecoder::failed(errorString, QCoreApplication::translate("CmykJpeg", "cannot scale to %1 x %2")
                                .arg(scaledSize.width()).arg(scaledSize.height()));
        image.setColorSpace(QColorSpace::SRgb);
    }
    return image;
}
