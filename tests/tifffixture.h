#ifndef TIFFFIXTURE_H
#define TIFFFIXTURE_H

#include <QFile>
#include <QImage>
#include <QString>

#include <lcms2.h>
#include <tiffio.h>

#include <cmath>
#include <cstring>
#include <vector>

namespace RealFixtures {

// A TIFF of picture through libtiff: samples of bits (8 or 16), RGB or
// grey (photometric), with alpha (unassociated) or not, contiguous or
// planar, in strips or tiles of 16 x 16. Also CIE L*a*b* (8 or 16 bits,
// D50 as the TIFF default white, the values from Little CMS), LogLuv
// (CIE XYZ floats of D65 white, SGILOG compressed) and 16-bit palette
// (pixel n is index n, at most 65536 pixels).
struct TiffLayout
{
    int bits = 8;
    int photometric = PHOTOMETRIC_RGB;
    bool alpha = false;
    bool planar = false;
    bool tiled = false;
    int tile = 16; // the side of a tile, a multiple of 16
    int compression = COMPRESSION_NONE;
    int orientation = ORIENTATION_TOPLEFT;
};

inline bool writeTiff(const QString &path, const QImage &picture, const TiffLayout &layout)
{
    TIFF *tiff = TIFFOpen(QFile::encodeName(path).constData(), "w");
    if (!tiff)
        return false;
    const int photometric = layout.photometric;
    const int colours = photometric == PHOTOMETRIC_MINISBLACK || photometric == PHOTOMETRIC_PALETTE ? 1 : 3;
    const int samples = colours + (layout.alpha ? 1 : 0);
    const int w = picture.width(), h = picture.height();
    const bool luv = photometric == PHOTOMETRIC_LOGLUV;
    const int bits = luv ? 32 : layout.bits;
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, w);
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, h);
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, bits);
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, samples);
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, photometric);
    TIFFSetField(tiff, TIFFTAG_COMPRESSION, luv ? COMPRESSION_SGILOG : layout.compression);
    if (luv) {
        TIFFSetField(tiff, TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_IEEEFP);
        TIFFSetField(tiff, TIFFTAG_SGILOGDATAFMT, SGILOGDATAFMT_FLOAT);
    }
    TIFFSetField(tiff, TIFFTAG_ORIENTATION, layout.orientation);
    TIFFSetField(tiff, TIFFTAG_PLANARCONFIG,
                 layout.planar ? PLANARCONFIG_SEPARATE : PLANARCONFIG_CONTIG);
    if (layout.alpha) {
        const uint16_t extra[1] = {EXTRASAMPLE_UNASSALPHA};
        TIFFSetField(tiff, TIFFTAG_EXTRASAMPLES, 1, extra);
    }
    if (layout.tiled) {
        TIFFSetField(tiff, TIFFTAG_TILEWIDTH, layout.tile);
        TIFFSetField(tiff, TIFFTAG_TILELENGTH, layout.tile);
    } else {
        TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, 8);
    }
    const QImage rgba = picture.convertToFormat(QImage::Format_RGBA64);
    const auto pixel = [&](int x, int y) {
        return reinterpret_cast<const quint16 *>(rgba.constScanLine(y)) + 4 * x;
    };
    if (photometric == PHOTOMETRIC_PALETTE) {
        std::vector<uint16_t> map[3];
        for (int c = 0; c < 3; ++c) {
            map[c].assign(size_t(1) << layout.bits, 0);
            for (int i = 0; i < qMin(w * h, 1 << layout.bits); ++i)
                map[c][size_t(i)] = pixel(i % w, i / w)[c];
        }
        TIFFSetField(tiff, TIFFTAG_COLORMAP, map[0].data(), map[1].data(), map[2].data());
    }
    // L*a*b* of each pixel, or XYZ in linear light through sRGB's matrix.
    std::vector<double> colour(size_t(w) * h * 3);
    if (photometric == PHOTOMETRIC_CIELAB) {
        const QImage rgb = picture.convertToFormat(QImage::Format_RGB888);
        cmsHPROFILE srgb = cmsCreate_sRGBProfile();
        cmsHPROFILE lab = cmsCreateLab4Profile(nullptr);
        cmsHTRANSFORM toLab = cmsCreateTransform(srgb, TYPE_RGB_8, lab, TYPE_Lab_DBL,
                                                 INTENT_RELATIVE_COLORIMETRIC, 0);
        for (int y = 0; y < h; ++y)
            cmsDoTransform(toLab, rgb.constScanLine(y), colour.data() + size_t(y) * w * 3,
                           cmsUInt32Number(w));
        cmsDeleteTransform(toLab);
        cmsCloseProfile(lab);
        cmsCloseProfile(srgb);
    } else if (luv) {
        const auto lin = [](quint16 v) {
            const double c = v / 65535.0;
            return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
        };
        for (int i = 0; i < w * h; ++i) {
            const quint16 *p = pixel(i % w, i / w);
            const double r = lin(p[0]), g = lin(p[1]), b = lin(p[2]);
            colour[size_t(i) * 3] = 0.4124 * r + 0.3576 * g + 0.1805 * b;
            colour[size_t(i) * 3 + 1] = 0.2126 * r + 0.7152 * g + 0.0722 * b;
            colour[size_t(i) * 3 + 2] = 0.0193 * r + 0.1192 * g + 0.9505 * b;
        }
    }
    // One sample of the pixel at x, y as 16 bits (the top 8 for 8 bits).
    const auto sample = [&](int x, int y, int s) -> quint16 {
        const quint16 *p = pixel(x, y);
        const double *c = colour.data() + (size_t(y) * w + x) * 3;
        if (s >= colours)
            return p[3];
        if (photometric == PHOTOMETRIC_PALETTE)
            return quint16(y * w + x);
        if (photometric == PHOTOMETRIC_CIELAB) { // L unsigned, a and b signed
            if (s == 0)
                return quint16(std::lround(c[0] * 65535 / 100));
            return layout.bits == 16 ? quint16(qint16(std::lround(c[s] * 256)))
                                     : quint16(quint8(qint8(std::lround(c[s]))) << 8);
        }
        if (colours == 1)
            return quint16((p[0] * 299 + p[1] * 587 + p[2] * 114) / 1000);
        return p[s];
    };
    const int perPixel = layout.planar ? 1 : samples;
    const int bytes = bits / 8;
    const auto put = [&](uchar *to, int x, int y, int s) {
        if (luv) {
            const float f = float(colour[(size_t(y) * w + x) * 3 + size_t(s)]);
            memcpy(to, &f, 4);
            return;
        }
        const quint16 v = sample(x, y, s);
        if (bytes == 2)
            memcpy(to, &v, 2);
        else
            *to = uchar(v >> 8);
    };
    const int planes = layout.planar ? samples : 1;
    for (int plane = 0; plane < planes; ++plane) {
        if (layout.tiled) {
            const int side = layout.tile;
            QByteArray tile(side * side * perPixel * bytes, '\0');
            for (int ty = 0; ty < h; ty += side) {
                for (int tx = 0; tx < w; tx += side) {
                    tile.fill('\0');
                    for (int y = ty; y < qMin(h, ty + side); ++y)
                        for (int x = tx; x < qMin(w, tx + side); ++x)
                            for (int s = 0; s < perPixel; ++s)
                                put(reinterpret_cast<uchar *>(tile.data())
                                            + (((y - ty) * side + (x - tx)) * perPixel + s) * bytes,
                                    x, y, layout.planar ? plane : s);
                    TIFFWriteTile(tiff, tile.data(), uint32_t(tx), uint32_t(ty), 0, uint16_t(plane));
                }
            }
        } else {
            QByteArray row(w * perPixel * bytes, '\0');
            for (int y = 0; y < h; ++y) {
                for (int x = 0; x < w; ++x)
                    for (int s = 0; s < perPixel; ++s)
                        put(reinterpret_cast<uchar *>(row.data()) + (x * perPixel + s) * bytes, x, y,
                            layout.planar ? plane : s);
                TIFFWriteScanline(tiff, row.data(), uint32_t(y), uint16_t(plane));
            }
        }
    }
    TIFFClose(tiff);
    return true;
}

} // namespace RealFixtures

#endif // TIFFFIXTURE_H
