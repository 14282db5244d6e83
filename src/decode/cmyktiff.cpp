#include "decode/cmyktiff.h"

#include "cms/colorconverter.h"
#include "base/imagelimits.h"
#include "base/orientation.h"
#include "decode/tiffstream.h"

#include <QColorSpace>

#include <tiffio.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

using TiffStream::Stream;
using TiffStream::TiffHandle;
using TiffStream::open;

namespace {

struct Layout
{
    uint32_t width = 0, height = 0;
    uint16_t bits = 0, samples = 0, planar = PLANARCONFIG_CONTIG, orientation = ORIENTATION_TOPLEFT;
};

bool cmykLayout(TIFF *tiff, Layout *layout)
{
    uint16_t photometric = 0, inkSet = INKSET_CMYK;
    if (!TIFFGetField(tiff, TIFFTAG_PHOTOMETRIC, &photometric) || photometric != PHOTOMETRIC_SEPARATED)
        return false;
    TIFFGetFieldDefaulted(tiff, TIFFTAG_INKSET, &inkSet);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &layout->samples);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &layout->bits);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_PLANARCONFIG, &layout->planar);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_ORIENTATION, &layout->orientation);
    TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &layout->width);
    TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &layout->height);
    return inkSet == INKSET_CMYK && layout->samples >= 4 && (layout->bits == 8 || layout->bits == 16)
            && !TIFFIsTiled(tiff) && layout->width > 0 && layout->height > 0
            && layout->width <= INT_MAX && layout->height <= INT_MAX;
}

} // namespace

CmykTiff::CmykTiff(QByteArray fileBytes)
    : FileBytesDecoder(std::move(fileBytes))
{
    Stream stream(bytes);
    const TiffHandle tiff = open(&stream);
    Layout layout;
    if (!tiff || !cmykLayout(tiff.get(), &layout)) {
        error = QStringLiteral("cannot read the CMYK TIFF: %1").arg(stream.message);
        return;
    }
    shown = QSize(int(layout.width), int(layout.height));
    if (layout.orientation > ORIENTATION_BOTLEFT) // the quarter turns
        shown.transpose();
    const qint64 picture = ImageLimits::bytesFor(shown);
    cost = ImageLimits::plus(ImageLimits::plus(bytes.size(), TiffStream::blockBytes(tiff.get())),
                             layout.orientation == ORIENTATION_TOPLEFT ? picture : 2 * picture);
}

bool CmykTiff::recognizes(QByteArrayView head)
{
    return head.startsWith(QByteArrayView("II*\0", 4)) || head.startsWith(QByteArrayView("MM\0*", 4));
}

bool CmykTiff::isCmyk(const QByteArray &bytes)
{
    Stream stream(bytes);
    const TiffHandle tiff = open(&stream);
    Layout layout;
    return tiff && cmykLayout(tiff.get(), &layout);
}

bool CmykTiff::startsWithPreview(const QByteArray &bytes)
{
    Stream stream(bytes);
    const TiffHandle tiff = open(&stream);
    if (!tiff)
        return false;
    uint32_t subfileType = 0;
    const void *dngVersion = nullptr;
    return TIFFGetField(tiff.get(), TIFFTAG_DNGVERSION, &dngVersion)
            || (TIFFGetField(tiff.get(), TIFFTAG_SUBFILETYPE, &subfileType)
                && (subfileType & FILETYPE_REDUCEDIMAGE));
}

QImage CmykTiff::read(QString *errorString)
{
    if (!isValid())
        return failed(errorString, error);
    Stream stream(bytes);
    const TiffHandle tiff = open(&stream);
    Layout layout;
    if (!tiff || !cmykLayout(tiff.get(), &layout))
        return failed(errorString, QStringLiteral("cannot read the CMYK TIFF: %1").arg(stream.message));
    const QSize stored(int(layout.width), int(layout.height));
    if (!admits(stored, cost, errorString))
        return QImage();

    uint32_t iccSize = 0;
    const void *iccData = nullptr;
    QByteArray icc;
    if (TIFFGetField(tiff.get(), TIFFTAG_ICCPROFILE, &iccSize, &iccData) && iccData)
        icc = QByteArray(static_cast<const char *>(iccData), qsizetype(iccSize));
    const ColorConverter converter = ColorConverter::fromCmyk(icc, false);
    if (!converter.isValid())
        return failed(errorString, converter.errorString());

    QImage image(stored, QImage::Format_RGB32);
    if (image.isNull())
        return failed(errorString, ImageLimits::outOfMemory());
    image.fill(0xFFFFFFFF); // the converter leaves the fourth byte alone
    const int width = stored.width();
    const bool separate = layout.planar == PLANARCONFIG_SEPARATE;
    const tmsize_t lineSize = TIFFScanlineSize(tiff.get());
    std::vector<uchar> line, cmyk(size_t(width) * 4);
    try {
        line.resize(size_t(lineSize));
    } catch (const std::bad_alloc &) {
        return failed(errorString, ImageLimits::outOfMemory());
    }
    const int step = layout.bits / 8;
    // 16-bit samples are in the machine's order once libtiff has read them;
    // their high byte is what the 8-bit conversion wants.
    const int high = Q_BYTE_ORDER == Q_LITTLE_ENDIAN && step == 2 ? 1 : 0;
    for (int y = 0; y < stored.height(); ++y) {
        for (int plane = 0; plane < (separate ? 4 : 1); ++plane) {
            if (TIFFReadScanline(tiff.get(), line.data(), uint32_t(y), uint16_t(plane)) < 0)
                return failed(errorString, QStringLiteral("cannot read the CMYK TIFF: %1").arg(stream.message));
            for (int x = 0; x < width; ++x) {
                if (separate)
                    cmyk[size_t(x) * 4 + plane] = line[size_t(x) * step + high];
                else
                    for (int c = 0; c < 4; ++c)
                        cmyk[size_t(x) * 4 + c] = line[(size_t(x) * layout.samples + c) * step + high];
            }
        }
        converter.convertRow(cmyk.data(), image.scanLine(y), width);
    }
    image.setColorSpace(QColorSpace::SRgb);
    return Orientation::applied(image, Orientation::fromExifTag(layout.orientation));
}
