#include "decode/sampletiff.h"

#include "base/imagelimits.h"
#include "base/orientation.h"
#include "decode/tiffstream.h"

#include <QColorSpace>

#include <lcms2.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

using TiffStream::Stream;

namespace {

QString reasonOf(const Stream &stream)
{
    return QStringLiteral("cannot read the TIFF file: %1").arg(stream.message);
}

enum class Kind { None, Lab, LogLuv, Palette16 };

// The layout of the current directory, when it is one read here.
struct Layout
{
    Kind kind = Kind::None;
    uint32_t width = 0, height = 0;
    uint16_t bits = 8, samples = 1, extra = 0, orientation = ORIENTATION_TOPLEFT;
    int colours = 3; // samples of colour before the alpha sample, if any
};

Layout layoutOf(TIFF *tiff)
{
    Layout l;
    uint16_t photometric = 0, planar = PLANARCONFIG_CONTIG, compression = COMPRESSION_NONE;
    const uint16_t *extraTypes = nullptr;
    TIFFGetField(tiff, TIFFTAG_PHOTOMETRIC, &photometric);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &l.bits);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &l.samples);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_EXTRASAMPLES, &l.extra, &extraTypes);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_COMPRESSION, &compression);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_ORIENTATION, &l.orientation);
    if (!TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &l.width) || !TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &l.height)
        || l.width == 0 || l.height == 0 || l.width > INT_MAX || l.height > INT_MAX
        || planar != PLANARCONFIG_CONTIG)
        return l;
    const bool logCoded = compression == COMPRESSION_SGILOG || compression == COMPRESSION_SGILOG24;
    if (photometric == PHOTOMETRIC_CIELAB && (l.bits == 8 || l.bits == 16) && l.samples >= 3) {
        l.kind = Kind::Lab;
    } else if ((photometric == PHOTOMETRIC_LOGLUV || photometric == PHOTOMETRIC_LOGL) && logCoded) {
        // Read as floats: X, Y, Z, or Y alone.
        TIFFSetField(tiff, TIFFTAG_SGILOGDATAFMT, SGILOGDATAFMT_FLOAT);
        l.colours = photometric == PHOTOMETRIC_LOGL ? 1 : 3;
        l.bits = 32;
        l.samples = uint16_t(l.colours);
        l.kind = Kind::LogLuv;
    } else if (photometric == PHOTOMETRIC_PALETTE && l.bits == 16 && l.samples >= 1) {
        l.colours = 1;
        l.kind = Kind::Palette16;
    }
    if (l.samples < l.colours)
        l.kind = Kind::None;
    return l;
}

// sRGB's curve, from linear light (clamped to 0..1) to 8 bits.
uchar encoded(double linear)
{
    const double c = qBound(0.0, linear, 1.0);
    const double v = c <= 0.0031308 ? 12.92 * c : 1.055 * std::pow(c, 1 / 2.4) - 0.055;
    return uchar(std::lround(v * 255));
}

} // namespace

SampleTiff::SampleTiff(QByteArray fileBytes)
    : FileBytesDecoder(std::move(fileBytes))
{
    Stream stream(bytes);
    const TiffStream::TiffHandle tiff = TiffStream::open(&stream);
    const Layout layout = tiff ? layoutOf(tiff.get()) : Layout();
    if (layout.kind == Kind::None) {
        error = reasonOf(stream);
        return;
    }
    const QSize stored(int(layout.width), int(layout.height));
    shown = Orientation::shown(stored, Orientation::fromExifTag(layout.orientation));
    const qint64 picture = ImageLimits::bytesFor(shown);
    uint32_t bandRows = 1;
    if (TIFFIsTiled(tiff.get()))
        TIFFGetField(tiff.get(), TIFFTAG_TILELENGTH, &bandRows);
    const qint64 band = ImageLimits::bytesFor(QSize(stored.width(), int(qMin<uint32_t>(bandRows, INT_MAX))),
                                              qint64(layout.samples) * layout.bits / 8);
    cost = ImageLimits::plus(ImageLimits::plus(bytes.size(), TiffStream::blockBytes(tiff.get())),
                             ImageLimits::plus(band, layout.orientation == ORIENTATION_TOPLEFT
                                                       ? picture : 2 * picture));
}

bool SampleTiff::wanted(const QByteArray &bytes)
{
    Stream stream(bytes);
    const TiffStream::TiffHandle tiff = TiffStream::open(&stream);
    return tiff && layoutOf(tiff.get()).kind != Kind::None;
}

QImage SampleTiff::read(QString *errorString)
{
    if (!isValid())
        return failed(errorString, error);
    Stream stream(bytes);
    const TiffStream::TiffHandle tiff = TiffStream::open(&stream);
    const Layout l = tiff ? layoutOf(tiff.get()) : Layout();
    if (l.kind == Kind::None)
        return failed(errorString, reasonOf(stream));
    const QSize stored(int(l.width), int(l.height));
    if (!admits(stored, cost, errorString))
        return QImage();
    QImage image(stored, QImage::Format_RGBA8888);
    if (image.isNull())
        return failed(errorString, ImageLimits::outOfMemory());
    image.fill(0);

    // Rows come a band at a time: a row of a strip, or a row of tiles.
    const int width = stored.width();
    const qsizetype pixelBytes = qsizetype(l.samples) * l.bits / 8;
    const qsizetype rowBytes = pixelBytes * width;
    const bool tiled = TIFFIsTiled(tiff.get());
    uint32_t tileWidth = 0, tileLength = 1;
    if (tiled) {
        TIFFGetField(tiff.get(), TIFFTAG_TILEWIDTH, &tileWidth);
        TIFFGetField(tiff.get(), TIFFTAG_TILELENGTH, &tileLength);
        if (tileWidth == 0 || tileLength == 0 || qsizetype(TIFFTileSize(tiff.get())) != qsizetype(tileWidth) * tileLength * pixelBytes)
            return failed(errorString, reasonOf(stream));
    }
    std::vector<uchar> band, tile;
    try {
        band.resize(size_t(rowBytes) * tileLength);
        tile.resize(tiled ? size_t(TIFFTileSize(tiff.get())) : 0);
    } catch (const std::bad_alloc &) {
        return failed(errorString, ImageLimits::outOfMemory());
    }
    const auto readBand = [&](uint32_t top) {
        if (!tiled)
            return TIFFReadScanline(tiff.get(), band.data(), top, 0) >= 0;
        for (uint32_t left = 0; left < l.width; left += tileWidth) {
            if (TIFFReadTile(tiff.get(), tile.data(), left, top, 0, 0) < 0)
                return false;
            const size_t across = size_t(qMin(tileWidth, l.width - left)) * size_t(pixelBytes);
            for (uint32_t y = 0; y < tileLength && top + y < l.height; ++y)
                memcpy(band.data() + size_t(y) * size_t(rowBytes) + left * size_t(pixelBytes),
                       tile.data() + size_t(y) * tileWidth * size_t(pixelBytes), across);
        }
        return true;
    };

    // The colours of one stored row into 8-bit sRGB, alpha aside.
    cmsHPROFILE lab = cmsCreateLab4Profile(nullptr);
    cmsHPROFILE srgb = cmsCreate_sRGBProfile();
    // L*a*b* as relative to the file's own white: neutral stays neutral.
    const std::shared_ptr<void> fromLab(
            l.kind == Kind::Lab ? cmsCreateTransform(lab, TYPE_Lab_DBL, srgb, TYPE_RGBA_8,
                                                     INTENT_RELATIVE_COLORIMETRIC, 0)
                                : nullptr,
            [](void *t) { if (t) cmsDeleteTransform(t); });
    cmsCloseProfile(lab);
    cmsCloseProfile(srgb);
    if (l.kind == Kind::Lab && !fromLab)
        return failed(errorString, QStringLiteral("cannot convert CIE L*a*b* colours"));
    uint16_t *map[3] = {};
    if (l.kind == Kind::Palette16 && !TIFFGetField(tiff.get(), TIFFTAG_COLORMAP, &map[0], &map[1], &map[2]))
        return failed(errorString, reasonOf(stream));
    std::vector<cmsCIELab> labRow(l.kind == Kind::Lab ? size_t(width) : 0);
    const auto convertRow = [&](const uchar *in, uchar *out) {
        const auto sample16 = [&](int x, int s) {
            quint16 v;
            memcpy(&v, in + x * pixelBytes + s * 2, 2);
            return v;
        };
        const auto sample32 = [&](int x, int s) {
            float v;
            memcpy(&v, in + x * pixelBytes + s * 4, 4);
            return double(v);
        };
        for (int x = 0; x < width; ++x) {
            uchar *rgba = out + 4 * x;
            switch (l.kind) {
            case Kind::Lab:
                if (l.bits == 8) {
                    const uchar *p = in + x * pixelBytes;
                    labRow[size_t(x)] = {p[0] * 100.0 / 255, double(qint8(p[1])), double(qint8(p[2]))};
                } else {
                    labRow[size_t(x)] = {sample16(x, 0) * 100.0 / 65535,
                                         qint16(sample16(x, 1)) / 256.0, qint16(sample16(x, 2)) / 256.0};
                }
                break;
            case Kind::LogLuv: { // XYZ of D65 white into linear sRGB
                const double Y = sample32(x, l.colours == 1 ? 0 : 1);
                const double X = l.colours == 1 ? 0.9505 * Y : sample32(x, 0);
                const double Z = l.colours == 1 ? 1.0890 * Y : sample32(x, 2);
                rgba[0] = encoded(3.2406 * X - 1.5372 * Y - 0.4986 * Z);
                rgba[1] = encoded(-0.9689 * X + 1.8758 * Y + 0.0415 * Z);
                rgba[2] = encoded(0.0557 * X - 0.2040 * Y + 1.0570 * Z);
                break;
            }
            case Kind::Palette16: {
                const quint16 i = sample16(x, 0);
                for (int c = 0; c < 3; ++c)
                    rgba[c] = uchar(map[c][i] >> 8);
                break;
            }
            case Kind::None:
                break;
            }
            // The first extra sample is taken for alpha, unassociated.
            if (l.samples <= l.colours)
                rgba[3] = 255;
            else if (l.bits == 8)
                rgba[3] = in[x * pixelBytes + l.colours];
            else if (l.bits == 16)
                rgba[3] = uchar(sample16(x, l.colours) >> 8);
            else
                rgba[3] = 255;
        }
        if (l.kind == Kind::Lab) {
            // Little CMS writes R, G, B and leaves alpha alone.
            cmsDoTransform(fromLab.get(), labRow.data(), out, cmsUInt32Number(width));
        }
    };

    for (uint32_t top = 0; top < l.height; top += tileLength) {
        if (!readBand(top))
            return failed(errorString, reasonOf(stream));
        for (uint32_t y = top; y < qMin(l.height, top + tileLength); ++y)
            convertRow(band.data() + size_t(y - top) * size_t(rowBytes), image.scanLine(int(y)));
    }
    image.setColorSpace(QColorSpace::SRgb);
    return Orientation::applied(image, Orientation::fromExifTag(l.orientation));
}
