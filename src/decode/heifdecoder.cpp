#include "decode/heifdecoder.h"

#include "base/imagelimits.h"
#include "decode/heifboxes.h"

#include <QColorSpace>
#include <QPointF>

#include <libheif/heif.h>

#include <algorithm>
#include <cstring>

struct HeifDecoder::Data
{
    QByteArray bytes; // read in place by libheif
    heif_context *context = nullptr;
    heif_image_handle *handle = nullptr;
    bool avif = false;
    // As the picture appears, at the size it will really be decoded at:
    // the largest of the size box, the grid and the coded stream.
    QSize decoded;
    // Whether the grid or the stream is larger than the size box, and the
    // picture comes out at that larger size.
    bool oversized = false;

    ~Data()
    {
        if (handle)
            heif_image_handle_release(handle);
        if (context)
            heif_context_free(context);
    }
};

namespace {

QString reasonOf(const heif_error &e)
{
    return QStringLiteral("cannot read the HEIF file: %1")
            .arg(QString::fromUtf8(e.message ? e.message : "unknown error"));
}

// The nclx colour description as a colour space Qt knows; primaries from
// their chromaticities, the transfer named where Qt has it. The video
// curves (BT.709, BT.601, BT.2020) are close to sRGB's and shown as such.
QColorSpace colorSpaceOf(const heif_color_profile_nclx *nclx)
{
    QColorSpace::TransferFunction transfer = QColorSpace::TransferFunction::SRgb;
    float gamma = 0.0f;
    switch (nclx->transfer_characteristics) {
    case heif_transfer_characteristic_linear:
        transfer = QColorSpace::TransferFunction::Linear;
        break;
    case heif_transfer_characteristic_ITU_R_BT_470_6_System_M:
        transfer = QColorSpace::TransferFunction::Gamma;
        gamma = 2.2f;
        break;
    case heif_transfer_characteristic_ITU_R_BT_470_6_System_B_G:
        transfer = QColorSpace::TransferFunction::Gamma;
        gamma = 2.8f;
        break;
    default:
        break;
    }
    if (nclx->color_primaries == heif_color_primaries_ITU_R_BT_709_5
        || nclx->color_primaries == heif_color_primaries_unspecified) {
        return QColorSpace(QColorSpace::Primaries::SRgb, transfer, gamma);
    }
    return QColorSpace(QPointF(nclx->color_primary_white_x, nclx->color_primary_white_y),
                       QPointF(nclx->color_primary_red_x, nclx->color_primary_red_y),
                       QPointF(nclx->color_primary_green_x, nclx->color_primary_green_y),
                       QPointF(nclx->color_primary_blue_x, nclx->color_primary_blue_y),
                       transfer, gamma);
}

QByteArray metadataOf(heif_image_handle *handle, const char *type)
{
    if (!handle)
        return QByteArray();
    heif_item_id id = 0;
    if (heif_image_handle_get_list_of_metadata_block_IDs(handle, type, &id, 1) < 1)
        return QByteArray();
    QByteArray block(qsizetype(heif_image_handle_get_metadata_size(handle, id)), Qt::Uninitialized);
    if (block.isEmpty() || heif_image_handle_get_metadata(handle, id, block.data()).code != heif_error_Ok)
        return QByteArray();
    return block;
}

// A decoded heif_image as a QImage of its own (deep copy), 8 or 16 bits.
QImage toQImage(heif_image_handle *handle, QString *errorString)
{
    const bool alpha = heif_image_handle_has_alpha_channel(handle);
    const bool deep = heif_image_handle_get_luma_bits_per_pixel(handle) > 8;
    const heif_chroma chroma = deep
            ? (alpha ? heif_chroma_interleaved_RRGGBBAA_LE : heif_chroma_interleaved_RRGGBB_LE)
            : (alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB);
    heif_image *decoded = nullptr;
    const heif_error e = heif_decode_image(handle, &decoded, heif_colorspace_RGB, chroma, nullptr);
    if (e.code != heif_error_Ok)
        return ImageDecoder::failed(errorString, reasonOf(e));
    std::unique_ptr<heif_image, decltype(&heif_image_release)> image(decoded, heif_image_release);
    const int width = heif_image_get_width(decoded, heif_channel_interleaved);
    const int height = heif_image_get_height(decoded, heif_channel_interleaved);
    int stride = 0;
    const uint8_t *plane = heif_image_get_plane_readonly(decoded, heif_channel_interleaved, &stride);
    if (!plane || width <= 0 || height <= 0)
        return ImageDecoder::failed(errorString, QStringLiteral("cannot read the HEIF file: no picture decoded"));
    QImage out(width, height,
               deep ? (alpha ? QImage::Format_RGBA64 : QImage::Format_RGBX64)
                    : (alpha ? QImage::Format_RGBA8888 : QImage::Format_RGB888));
    if (out.isNull())
        return ImageDecoder::failed(errorString, ImageLimits::outOfMemory());
    if (!deep) {
        for (int y = 0; y < height; ++y)
            std::memcpy(out.scanLine(y), plane + qsizetype(y) * stride, size_t(width) * (alpha ? 4 : 3));
        return out;
    }
    // Samples of 10 or 12 bits, in the low bits: widened to 16, the top
    // bits repeated below so that white stays white.
    const int bits = qBound(9, heif_image_get_bits_per_pixel_range(decoded, heif_channel_interleaved), 16);
    const int shift = 16 - bits;
    const auto widen = [shift, bits](quint16 v) { return quint16((v << shift) | (v >> (bits - shift))); };
    const int channels = alpha ? 4 : 3;
    for (int y = 0; y < height; ++y) {
        const auto *in = reinterpret_cast<const quint16 *>(plane + qsizetype(y) * stride);
        auto *row = reinterpret_cast<quint16 *>(out.scanLine(y));
        for (int x = 0; x < width; ++x, in += channels, row += 4) {
            row[0] = widen(in[0]);
            row[1] = widen(in[1]);
            row[2] = widen(in[2]);
            row[3] = alpha ? widen(in[3]) : 0xffff;
        }
    }
    return out;
}

} // namespace

HeifDecoder::HeifDecoder(QByteArray bytes)
    : d(std::make_unique<Data>())
{
    d->bytes = std::move(bytes);
    d->context = heif_context_alloc();
    heif_error e = heif_context_read_from_memory_without_copy(
            d->context, d->bytes.constData(), size_t(d->bytes.size()), nullptr);
    if (e.code == heif_error_Ok)
        e = heif_context_get_primary_image_handle(d->context, &d->handle);
    if (e.code != heif_error_Ok) {
        error = reasonOf(e);
        return;
    }
    const char *mime = heif_get_file_mime_type(
            reinterpret_cast<const uint8_t *>(d->bytes.constData()), int(qMin<qsizetype>(d->bytes.size(), 64)));
    d->avif = mime && std::strcmp(mime, "image/avif") == 0;

    // The handle reports the size shown: the size box ('ispe') cropped by
    // a clean aperture. The whole coded picture is decoded before the
    // crop, and a grid or a stream larger than the size box is decoded
    // whole all the same.
    const HeifBoxes::Coded coded = HeifBoxes::primary(d->bytes);
    const QSize shown(heif_image_handle_get_width(d->handle), heif_image_handle_get_height(d->handle));
    const QSize boxed = (coded.quarterTurn ? shown.transposed() : shown).expandedTo(coded.boxed);
    const QSize stored = boxed.expandedTo(coded.grid).expandedTo(coded.stream);
    d->decoded = coded.quarterTurn ? stored.transposed() : stored;
    // A stream is coded in whole blocks of up to 64 pixels and cropped to
    // the size box; a file whose grid or stream is larger than that comes
    // out at its larger size, and is that large.
    constexpr int padding = 64;
    d->oversized = stored.width() > boxed.width() + padding
            || stored.height() > boxed.height() + padding;
    // libheif's own wall: a grid larger on either side than the size
    // found here (and the blocks a stream is coded in) is refused by
    // libheif before it is allocated.
    constexpr int codedBlocks = 256;
    heif_context_set_maximum_image_size_limit(
            d->context, qMax(d->decoded.width(), d->decoded.height()) + codedBlocks);
}

QSize HeifDecoder::size() const
{
    // libheif gives the size with the rotation already applied.
    if (!d->handle)
        return QSize();
    if (d->oversized)
        return d->decoded;
    return QSize(heif_image_handle_get_width(d->handle), heif_image_handle_get_height(d->handle));
}

qint64 HeifDecoder::decodeBytes() const
{
    // Per pixel, at 8 bits: the decoded planes (three at 4:4:4, with an
    // alpha plane), libheif's interleaved RGB(A) and the QImage copy of it;
    // twice that at 10 or 12 bits.
    const bool deep = d->handle && heif_image_handle_get_luma_bits_per_pixel(d->handle) > 8;
    const qint64 perPixel = (3 + 1 + 4 + 4) * (deep ? 2 : 1);
    return ImageLimits::plus(d->bytes.size(), ImageLimits::bytesFor(d->decoded, perPixel));
}

HeifDecoder::~HeifDecoder() = default;

bool HeifDecoder::recognizes(QByteArrayView head)
{
    const auto *data = reinterpret_cast<const uint8_t *>(head.data());
    const int length = int(head.size());
    const heif_filetype_result type = heif_check_filetype(data, length);
    // Also those of a kind libheif cannot decode: its reason beats a guess.
    if (type == heif_filetype_yes_supported || type == heif_filetype_yes_unsupported)
        return true;
    if (type != heif_filetype_maybe)
        return false;
    // Most cameras and phones write the general image brand (mif1, or msf1
    // for a sequence) as the major one, and name the codec among the
    // compatible brands; libheif is only "not sure" of those. The ftyp box
    // says what the file holds whatever its major brand is.
    // The box may be longer than the head: the brands within it are enough.
    static const QByteArrayView brands[] = {"heic", "heix", "heim", "heis", "hevc", "hevx",
                                            "hevm", "hevs", "avif", "avis", "mif1", "msf1"};
    if (length < 12 || head.sliced(4, 4) != "ftyp")
        return false;
    const quint32 boxSize = (quint32(data[0]) << 24) | (quint32(data[1]) << 16)
            | (quint32(data[2]) << 8) | quint32(data[3]);
    const qsizetype end = qMin<qsizetype>(head.size(), boxSize);
    // The major brand at 8, the minor version at 12, the compatible ones after.
    for (qsizetype at = 8; at + 4 <= end; at += at == 8 ? 8 : 4) {
        const QByteArrayView brand = head.sliced(at, 4);
        if (std::find(std::begin(brands), std::end(brands), brand) != std::end(brands))
            return true;
    }
    return false;
}

QByteArray HeifDecoder::format() const
{
    return d->avif ? QByteArrayLiteral("avif") : QByteArrayLiteral("heif");
}


QImage HeifDecoder::read(QString *errorString)
{
    if (!d->handle)
        return ImageDecoder::failed(errorString, error);
    QImage image = toQImage(d->handle, errorString);
    if (image.isNull())
        return image;
    switch (heif_image_handle_get_color_profile_type(d->handle)) {
    case heif_color_profile_type_prof:
    case heif_color_profile_type_rICC: {
        QByteArray icc(qsizetype(heif_image_handle_get_raw_color_profile_size(d->handle)),
                       Qt::Uninitialized);
        if (!icc.isEmpty()
            && heif_image_handle_get_raw_color_profile(d->handle, icc.data()).code == heif_error_Ok)
            return withProfile(image, icc);
        break;
    }
    case heif_color_profile_type_nclx: {
        heif_color_profile_nclx *nclx = nullptr;
        if (heif_image_handle_get_nclx_color_profile(d->handle, &nclx).code == heif_error_Ok && nclx) {
            image.setColorSpace(colorSpaceOf(nclx));
            heif_nclx_color_profile_free(nclx);
            return image;
        }
        break;
    }
    default:
        break;
    }
    image.setColorSpace(QColorSpace::SRgb);
    return image;
}

QImage HeifDecoder::preview()
{
    if (!d->handle)
        return QImage();
    heif_item_id id = 0;
    if (heif_image_handle_get_list_of_thumbnail_IDs(d->handle, &id, 1) < 1)
        return QImage();
    heif_image_handle *thumbnail = nullptr;
    if (heif_image_handle_get_thumbnail(d->handle, id, &thumbnail).code != heif_error_Ok)
        return QImage();
    QImage image = toQImage(thumbnail, nullptr);
    heif_image_handle_release(thumbnail);
    return image;
}

QByteArray HeifDecoder::exif() const
{
    // The block starts with the offset of the TIFF header within it.
    const QByteArray block = metadataOf(d->handle, "Exif");
    if (block.size() < 4)
        return QByteArray();
    const quint32 offset = (quint32(quint8(block[0])) << 24) | (quint32(quint8(block[1])) << 16)
            | (quint32(quint8(block[2])) << 8) | quint32(quint8(block[3]));
    if (offset > quint32(block.size() - 4))
        return QByteArray();
    return block.mid(4 + qsizetype(offset));
}

QByteArray HeifDecoder::xmp() const
{
    return metadataOf(d->handle, "mime");
}
