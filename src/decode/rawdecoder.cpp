#include "decode/rawdecoder.h"

#include "base/imagelimits.h"
#include "base/orientation.h"
#include "decode/rawstream.h"

#include <QColorSpace>

#include <libraw.h>

#include <algorithm>
#include <cstring>

namespace {

template<qsizetype N>
bool startsWith(QByteArrayView head, const char (&signature)[N])
{
    return head.startsWith(QByteArrayView(signature, N - 1)); // signatures hold zero bytes
}

QString reasonOf(int code)
{
    return QStringLiteral("cannot develop the RAW file: %1").arg(QString::fromUtf8(libraw_strerror(code)));
}

QString noPictureData()
{
    return QStringLiteral("no picture data in this RAW file");
}

// Whether the picture is one colour all but a few specks (fewer than one
// pixel in a hundred off its commonest colour by more than 32 levels):
// what libraw develops from sensor data that is not there (zeros, and
// whatever its buffer held past the bytes there were), never a photo.
bool oneColour(const QImage &image)
{
    if (image.isNull())
        return false;
    const QImage rgb = image.convertToFormat(QImage::Format_RGB888);
    qint64 counts[3][256] = {};
    for (int y = 0; y < rgb.height(); ++y) {
        const uchar *p = rgb.constScanLine(y);
        for (int x = 0; x < rgb.width() * 3; ++x)
            ++counts[x % 3][p[x]];
    }
    int common[3] = {};
    for (int c = 0; c < 3; ++c)
        common[c] = int(std::max_element(counts[c], counts[c] + 256) - counts[c]);
    qint64 off = 0;
    for (int y = 0; y < rgb.height(); ++y) {
        const uchar *p = rgb.constScanLine(y);
        for (int x = 0; x < rgb.width(); ++x, p += 3) {
            if (qAbs(p[0] - common[0]) > 32 || qAbs(p[1] - common[1]) > 32
                || qAbs(p[2] - common[2]) > 32)
                ++off;
        }
    }
    return off * 100 < qint64(rgb.width()) * rgb.height();
}

} // namespace

RawDecoder::RawDecoder(QByteArray fileBytes)
    : bytes(std::move(fileBytes))
{
    stream = std::make_unique<RawStream>(bytes.constData(), bytes.size());
    raw = std::make_unique<LibRaw>(LIBRAW_OPIONS_NO_DATAERR_CALLBACK);
    const int code = stream->valid() ? raw->open_datastream(stream.get()) : LIBRAW_IO_ERROR;
    if (code != LIBRAW_SUCCESS)
        error = reasonOf(code);
    else if (raw->imgdata.idata.raw_count == 0) // a plain TIFF: no sensor data
        error = reasonOf(LIBRAW_FILE_UNSUPPORTED);
}

RawDecoder::~RawDecoder() = default;

bool RawDecoder::recognizes(QByteArrayView head)
{
    return startsWith(head, "II*\0") || startsWith(head, "MM\0*") // TIFF-based
            || startsWith(head, "IIRO") || startsWith(head, "IIRS") || startsWith(head, "MMOR") // ORF
            || startsWith(head, "IIU\0")                                                      // RW2
            || startsWith(head, "IIII") || startsWith(head, "MMMM")                           // IIQ
            || startsWith(head, "FUJIFILMCCD-RAW")                                            // RAF
            || head.sliced(qMin<qsizetype>(6, head.size())).startsWith("HEAPCCDR")            // CRW
            || head.sliced(qMin<qsizetype>(4, head.size())).startsWith("ftypcrx ");           // CR3
}

QSize RawDecoder::size() const
{
    if (!isValid())
        return QSize();
    const libraw_image_sizes_t &sizes = raw->imgdata.sizes;
    QSize size(sizes.width, sizes.height);
    if (sizes.flip & 4) // a quarter turn
        size.transpose();
    return size;
}

qint64 RawDecoder::decodeBytes() const
{
    if (!isValid())
        return 0;
    const libraw_image_sizes_t &sizes = raw->imgdata.sizes;
    // A mosaic has one sample a site; sensors of full colour (and linear
    // DNGs) four.
    const qint64 sensorSample = raw->imgdata.idata.filters ? 2 : 8;
    const qint64 sensor = ImageLimits::bytesFor(QSize(sizes.raw_width, sizes.raw_height), sensorSample);
    const qint64 working = ImageLimits::bytesFor(QSize(sizes.width, sizes.height), 8 + 3);
    return ImageLimits::plus(ImageLimits::plus(bytes.size(), sensor), working);
}

QImage RawDecoder::read(QString *errorString)
{
    if (!isValid())
        return failed(errorString, error);
    const QSize full = size();
    const QSize wanted = scaledSize.isValid() && !scaledSize.isEmpty() ? scaledSize : full;
    libraw_output_params_t &params = raw->imgdata.params;
    // The camera's white balance where the file states one, multipliers or
    // -1 (the camera balanced automatically: measured from the picture).
    // Where it states none (old cameras that store developed YCbCr, a
    // headerless file), libraw would balance the picture grey all the same,
    // turning a warm or cool scene neutral: daylight's balance is taken.
    const float *asShot = raw->imgdata.color.cam_mul;
    params.use_camera_wb = asShot[0] == -1 || (asShot[0] > 0 && asShot[2] > 0);
    params.output_color = 1; // sRGB
    params.output_bps = 8;
    params.gamm[0] = 1 / 2.4; // the sRGB curve, not BT.709's
    params.gamm[1] = 12.92;
    params.half_size = wanted.width() * 2 <= full.width() && wanted.height() * 2 <= full.height();
    noted.clear();
    // Where the file says its sensor data starts and how long it is (a
    // length of 0 where the format does not say).
    const libraw_internal_data_t *internal = raw->get_internal_data_pointer();
    const qint64 dataAt = internal->unpacker_data.data_offset;
    const qint64 dataLength = internal->unpacker_data.data_size;
    if (dataAt >= bytes.size())
        return failed(errorString, noPictureData());
    stream->startCounting();
    int code = raw->unpack();
    // No coding of sensor data spends less than a byte on a row: a loader
    // that read less found no sensor data, and wrote none.
    if (code == LIBRAW_SUCCESS && stream->bytesRead() < raw->imgdata.sizes.raw_height)
        return failed(errorString, noPictureData());
    const bool cutShort = dataAt + dataLength > bytes.size();
    if (code == LIBRAW_IO_ERROR && cutShort)
        return failed(errorString, QStringLiteral("damaged file (data ends early)"));
    if (code == LIBRAW_SUCCESS)
        code = raw->dcraw_process();
    if (code != LIBRAW_SUCCESS)
        return failed(errorString, reasonOf(code));
    // libraw develops what it could read, the rest of the sensor black.
    if (raw->error_count() > 0 || cutShort)
        noted << QStringLiteral("the file ends early: part of the picture may be missing");
    libraw_processed_image_t *processed = raw->dcraw_make_mem_image(&code);
    if (!processed)
        return failed(errorString, reasonOf(code));
    std::unique_ptr<libraw_processed_image_t, decltype(&LibRaw::dcraw_clear_mem)> owner(
            processed, LibRaw::dcraw_clear_mem);
    if (processed->type != LIBRAW_IMAGE_BITMAP || processed->colors != 3 || processed->bits != 8)
        return failed(errorString, QStringLiteral("cannot develop the RAW file: unexpected output"));
    const int width = processed->width;
    const int height = processed->height;
    QImage image(width, height, QImage::Format_RGB888);
    if (image.isNull())
        return failed(errorString, ImageLimits::outOfMemory());
    for (int y = 0; y < height; ++y)
        std::memcpy(image.scanLine(y), processed->data + qsizetype(y) * width * 3, size_t(width) * 3);
    owner.reset();
    // A picture of one colour is no picture, unless the camera's own
    // preview shows the same.
    if (oneColour(image) && !oneColour(preview())) {
        raw->recycle();
        return failed(errorString, noPictureData());
    }
    raw->recycle();
    if (image.size() != wanted) {
        image = image.scaled(wanted, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        if (image.isNull())
            return failed(errorString, QStringLiteral("cannot scale to %1 x %2").arg(wanted.width()).arg(wanted.height()));
    }
    image.setColorSpace(QColorSpace::SRgb);
    return image;
}

QImage RawDecoder::preview()
{
    if (!isValid() || raw->unpack_thumb() != LIBRAW_SUCCESS)
        return QImage();
    const libraw_thumbnail_t &thumbnail = raw->imgdata.thumbnail;
    if (thumbnail.tformat != LIBRAW_THUMBNAIL_JPEG || !thumbnail.thumb)
        return QImage();
    QImage image;
    image.loadFromData(QByteArrayView(thumbnail.thumb, qsizetype(thumbnail.tlength)), "jpeg");
    // Previews are stored as the sensor saw the scene, like the photo.
    const int flip = raw->imgdata.sizes.flip;
    const int orientation = flip == 3 ? 3 : flip == 5 ? 8 : flip == 6 ? 6 : 1;
    return Orientation::applied(image, Orientation::fromExifTag(orientation));
}
