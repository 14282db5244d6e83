#include "decode/rgbatiff.h"

#include "base/imagelimits.h"
#include "base/orientation.h"
#include "decode/tiffstream.h"

#include <QColorSpace>

using TiffStream::Stream;

namespace {

QString reasonOf(const Stream &stream)
{
    return QStringLiteral("cannot read the TIFF file: %1").arg(stream.message);
}

} // namespace

RgbaTiff::RgbaTiff(QByteArray fileBytes)
    : FileBytesDecoder(std::move(fileBytes))
{
    Stream stream(bytes);
    const TiffStream::TiffHandle tiff = TiffStream::open(&stream);
    uint32_t width = 0, height = 0;
    uint16_t orientation = ORIENTATION_TOPLEFT;
    if (!tiff || !TIFFGetField(tiff.get(), TIFFTAG_IMAGEWIDTH, &width)
        || !TIFFGetField(tiff.get(), TIFFTAG_IMAGELENGTH, &height) || width == 0 || height == 0
        || width > INT_MAX || height > INT_MAX) {
        error = reasonOf(stream);
        return;
    }
    TIFFGetFieldDefaulted(tiff.get(), TIFFTAG_ORIENTATION, &orientation);
    shown = Orientation::shown(QSize(int(width), int(height)), Orientation::fromExifTag(orientation));
    const qint64 picture = ImageLimits::bytesFor(shown);
    cost = ImageLimits::plus(ImageLimits::plus(bytes.size(), TiffStream::blockBytes(tiff.get())),
                             orientation == ORIENTATION_TOPLEFT ? picture : 2 * picture);
}

bool RgbaTiff::wanted(const QByteArray &bytes)
{
    Stream stream(bytes);
    const TiffStream::TiffHandle tiff = TiffStream::open(&stream);
    if (!tiff)
        return false;
    uint16_t photometric = 0, bits = 8, planar = PLANARCONFIG_CONTIG, extra = 0;
    const uint16_t *extraTypes = nullptr;
    TIFFGetField(tiff.get(), TIFFTAG_PHOTOMETRIC, &photometric);
    TIFFGetFieldDefaulted(tiff.get(), TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tiff.get(), TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetFieldDefaulted(tiff.get(), TIFFTAG_EXTRASAMPLES, &extra, &extraTypes);
    const bool grey = photometric == PHOTOMETRIC_MINISBLACK || photometric == PHOTOMETRIC_MINISWHITE;
    // Qt's reader reads deeper samples tile by tile, and fails on a
    // picture that one tile holds whole.
    uint32_t width = 0, height = 0, tileWidth = 0, tileLength = 0;
    TIFFGetField(tiff.get(), TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tiff.get(), TIFFTAG_IMAGELENGTH, &height);
    const bool oneTile = TIFFIsTiled(tiff.get()) && TIFFGetField(tiff.get(), TIFFTAG_TILEWIDTH, &tileWidth)
            && TIFFGetField(tiff.get(), TIFFTAG_TILELENGTH, &tileLength) && tileWidth >= width
            && tileLength >= height;
    return (planar == PLANARCONFIG_SEPARATE && bits > 8) || (grey && extra > 0) || (oneTile && bits > 8)
            || photometric == PHOTOMETRIC_CIELAB || photometric == PHOTOMETRIC_LOGLUV
            || photometric == PHOTOMETRIC_LOGL;
}

QImage RgbaTiff::read(QString *errorString)
{
    if (!isValid())
        return failed(errorString, error);
    Stream stream(bytes);
    const TiffStream::TiffHandle tiff = TiffStream::open(&stream);
    if (!tiff)
        return failed(errorString, reasonOf(stream));
    char message[1024] = {};
    TIFFRGBAImage rgba;
    if (!TIFFRGBAImageOK(tiff.get(), message) || !TIFFRGBAImageBegin(&rgba, tiff.get(), 1, message))
        return failed(errorString, QStringLiteral("cannot read the TIFF file: %1").arg(QString::fromLatin1(message)));
    const QSize stored(int(rgba.width), int(rgba.height));
    // Rows as stored, top first: the file's orientation is applied below.
    rgba.req_orientation = ORIENTATION_TOPLEFT;
    const uint16_t orientation = rgba.orientation;
    rgba.orientation = ORIENTATION_TOPLEFT;
    if (!admits(stored, cost, errorString)) {
        TIFFRGBAImageEnd(&rgba);
        return QImage();
    }
    // libtiff gives R, G, B, A bytes, alpha premultiplied.
    QImage image(stored, QImage::Format_RGBA8888_Premultiplied);
    if (image.isNull()) {
        TIFFRGBAImageEnd(&rgba);
        return failed(errorString, ImageLimits::outOfMemory());
    }
    image.fill(0);
    const bool whole = image.bytesPerLine() == stored.width() * 4
            && TIFFRGBAImageGet(&rgba, reinterpret_cast<uint32_t *>(image.bits()), rgba.width,
                                rgba.height);
    TIFFRGBAImageEnd(&rgba);
    if (!whole)
        return failed(errorString, reasonOf(stream));
    image.setColorSpace(QColorSpace::SRgb);
    return Orientation::applied(image, Orientation::fromExifTag(orientation));
}
