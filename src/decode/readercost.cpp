#include "decode/readercost.h"

#include "base/imagelimits.h"
#include "decode/tiffstream.h"

#include <QIODevice>
#include <QtEndian>

#include <tiffio.h>

#include <cstdio>

namespace {

tsize_t readProc(thandle_t h, tdata_t data, tsize_t size)
{
    return tsize_t(static_cast<QIODevice *>(h)->read(static_cast<char *>(data), qint64(size)));
}

tsize_t writeProc(thandle_t, tdata_t, tsize_t)
{
    return 0;
}

toff_t seekProc(thandle_t h, toff_t offset, int whence)
{
    auto *device = static_cast<QIODevice *>(h);
    const qint64 base = whence == SEEK_CUR ? device->pos() : whence == SEEK_END ? device->size() : 0;
    const qint64 to = base + qint64(offset);
    if (to < 0 || !device->seek(to))
        return toff_t(-1);
    return toff_t(to);
}

int closeProc(thandle_t)
{
    return 0;
}

toff_t sizeProc(thandle_t h)
{
    return toff_t(static_cast<QIODevice *>(h)->size());
}

int quiet(TIFF *, void *, const char *, const char *, va_list)
{
    return 1;
}

// The stored samples of one strip or tile, which libtiff reads whole, and
// the picture Qt's plug-in makes; an unreadable header costs the picture.
qint64 tiffCost(QIODevice *device, const QSize &size)
{
    TIFFOpenOptions *options = TIFFOpenOptionsAlloc();
    TIFFOpenOptionsSetErrorHandlerExtR(options, quiet, nullptr);
    TIFFOpenOptionsSetWarningHandlerExtR(options, quiet, nullptr);
    // The header's own tables (strip offsets and the like) are small; a
    // header that claims more is not believed.
    TIFFOpenOptionsSetMaxSingleMemAlloc(options, 64 * 1024 * 1024);
    TIFF *tiff = TIFFClientOpenExt("source", "rm", device, readProc, writeProc, seekProc,
                                   closeProc, sizeProc, nullptr, nullptr, options);
    TIFFOpenOptionsFree(options);
    if (!tiff)
        return ImageLimits::bytesFor(size);
    uint32_t width = 0, height = 0;
    uint16_t bits = 1, samples = 1;
    TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &height);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &samples);
    const QSize stored(int(qMin<uint32_t>(width, INT_MAX)), int(qMin<uint32_t>(height, INT_MAX)));
    const qint64 block = TiffStream::blockBytes(tiff);
    TIFFClose(tiff);
    // The picture, or the samples as stored where they take more: a
    // header of 2559 samples a pixel is what the reader is up against.
    const qint64 storedPerPixel = (qint64(samples) * bits + 7) / 8;
    const qint64 picture = ImageLimits::bytesFor(
            stored.expandedTo(size), qMax(ReaderCost::pictureBytesPerPixel(bits), storedPerPixel));
    return ImageLimits::plus(picture, block);
}

// The bit depth in a PNG's header.
int pngDepth(QIODevice *device)
{
    // The signature, the IHDR chunk's length and type, width, height, depth.
    const QByteArray head = device->peek(8 + 8 + 9);
    if (head.size() < 25 || head.sliced(12, 4) != "IHDR")
        return 8;
    return quint8(head.at(24));
}

} // namespace

qint64 ReaderCost::pictureBytesPerPixel(int bitsPerSample)
{
    return bitsPerSample <= 8 ? 4 : bitsPerSample <= 16 ? 8 : 16;
}

qint64 ReaderCost::of(QIODevice *device, const QByteArray &format, const QSize &size)
{
    if (!device || !device->isOpen())
        return ImageLimits::bytesFor(size);
    const qint64 at = device->pos();
    qint64 cost = ImageLimits::bytesFor(size);
    if (format == "tiff") {
        device->seek(0);
        cost = tiffCost(device, size);
    } else if (format == "png") {
        device->seek(0);
        cost = ImageLimits::bytesFor(size, pictureBytesPerPixel(pngDepth(device)));
    }
    device->seek(at);
    return cost;
}
