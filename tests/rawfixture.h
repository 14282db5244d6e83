#ifndef RAWFIXTURE_H
#define RAWFIXTURE_H

#include <QFile>
#include <QImage>
#include <QList>

#include <algorithm>

#include <tiffio.h>

// Camera RAW files and CMYK TIFF scans made with libtiff, for the tests and
// the benchmarks.
namespace RawFixture {

// The tags that make a TIFF directory a DNG of the test camera, whose
// sensor sees linear sRGB.
inline void setDngCamera(TIFF *tiff)
{
    TIFFSetField(tiff, TIFFTAG_MAKE, "Tarnwick");
    TIFFSetField(tiff, TIFFTAG_MODEL, "Test Camera");
    const uint8_t version[4] = {1, 4, 0, 0};
    TIFFSetField(tiff, TIFFTAG_DNGVERSION, version);
    TIFFSetField(tiff, TIFFTAG_UNIQUECAMERAMODEL, "Tarnwick Test Camera");
    // XYZ to the sensor's colours.
    const float toCamera[9] = {3.2406f, -1.5372f, -0.4986f, -0.9689f, 1.8758f,
                               0.0415f, 0.0557f,  -0.2040f, 1.0570f};
    TIFFSetField(tiff, TIFFTAG_COLORMATRIX1, 9, toCamera);
    TIFFSetField(tiff, TIFFTAG_CALIBRATIONILLUMINANT1, 21); // D65
    const float neutral[3] = {1, 1, 1};
    TIFFSetField(tiff, TIFFTAG_ASSHOTNEUTRAL, 3, neutral);
}

// The tags of the sensor's RGGB mosaic, w x h samples of 16 bits, linear.
inline void setMosaic(TIFF *tiff, int w, int h)
{
    TIFFSetField(tiff, TIFFTAG_SUBFILETYPE, 0);
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, w);
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, h);
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 16);
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_CFA);
    TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    const uint16_t repeat[2] = {2, 2};
    TIFFSetField(tiff, TIFFTAG_CFAREPEATPATTERNDIM, repeat);
    TIFFSetField(tiff, TIFFTAG_CFAPATTERN, 4, "\0\1\1\2");
    const uint32_t white = 65535;
    TIFFSetField(tiff, TIFFTAG_WHITELEVEL, 1, &white);
}

// A DNG as cameras write it: a 256 x 192 preview first, the sensor's
// RGGB mosaic (16 bits, linear) in a sub-directory; orientation is the
// TIFF tag (6: stored on its side).
inline bool writeDng(const QString &path, const QImage &stored, const char *dateTime,
                     uint16_t orientation = ORIENTATION_RIGHTTOP)
{
    TIFF *tiff = TIFFOpen(QFile::encodeName(path).constData(), "w");
    if (!tiff)
        return false;
    TIFFSetField(tiff, TIFFTAG_SUBFILETYPE, FILETYPE_REDUCEDIMAGE);
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, 256);
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, 192);
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 3);
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tiff, TIFFTAG_ORIENTATION, orientation);
    TIFFSetField(tiff, TIFFTAG_DATETIME, dateTime);
    setDngCamera(tiff);
    toff_t subIfd = 0;
    TIFFSetField(tiff, TIFFTAG_SUBIFD, 1, &subIfd);
    QByteArray grey(256 * 3, char(128));
    for (uint32_t y = 0; y < 192; ++y)
        TIFFWriteScanline(tiff, grey.data(), y, 0);
    TIFFWriteDirectory(tiff);

    setMosaic(tiff, stored.width(), stored.height());
    const QImage rgb = stored.convertToFormat(QImage::Format_RGB32);
    QList<quint16> row(stored.width());
    for (int y = 0; y < stored.height(); ++y) {
        const auto *line = reinterpret_cast<const QRgb *>(rgb.constScanLine(y));
        for (int x = 0; x < stored.width(); ++x) {
            const QRgb p = line[x];
            const int channel = (y % 2) + (x % 2); // R G / G B
            const int v = channel == 0 ? qRed(p) : channel == 1 ? qGreen(p) : qBlue(p);
            row[x] = quint16(v * 257);
        }
        TIFFWriteScanline(tiff, row.data(), uint32_t(y), 0);
    }
    TIFFWriteDirectory(tiff);
    TIFFClose(tiff);
    return true;
}

// A CMYK TIFF of w x h samples (C, M, Y, K a pixel), with an ICC profile
// when one is given and the orientation tag.
inline bool writeCmykTiff(const QString &path, const QByteArray &samples, int w, int h,
                          const QByteArray &profile = QByteArray(),
                          uint16_t orientation = ORIENTATION_TOPLEFT)
{
    TIFF *tiff = TIFFOpen(QFile::encodeName(path).constData(), "w");
    if (!tiff)
        return false;
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, w);
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, h);
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 4);
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_SEPARATED);
    TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tiff, TIFFTAG_ORIENTATION, orientation);
    if (!profile.isEmpty())
        TIFFSetField(tiff, TIFFTAG_ICCPROFILE, uint32_t(profile.size()), profile.constData());
    QByteArray line(w * 4, Qt::Uninitialized);
    for (int y = 0; y < h; ++y) {
        std::copy_n(samples.constData() + qsizetype(y) * w * 4, w * 4, line.data());
        TIFFWriteScanline(tiff, line.data(), uint32_t(y), 0);
    }
    TIFFClose(tiff);
    return true;
}

} // namespace RawFixture

#endif // RAWFIXTURE_H
