#ifndef SAMPLETIFF_H
#define SAMPLETIFF_H

#include "decode/filebytesdecoder.h"

// The TIFF layouts whose colours libtiff's RGBA reading gets wrong or
// refuses, read here as samples and converted into sRGB: CIE L*a*b*
// (through Little CMS, neutral staying neutral whatever white the file
// names, where libtiff shows D50 white on a D65 display: yellow), LogLuv
// and LogL (as CIE XYZ floats of D65 white, where libtiff's 8-bit path
// assumes an equal-energy white and a gamma of 2.0) and palettes of
// 16-bit indexes (which libtiff and Qt refuse). Strips or tiles, samples
// contiguous, with or without alpha; turned upright as the file says.
class SampleTiff : public FileBytesDecoder
{
public:
    explicit SampleTiff(QByteArray bytes);

    // Whether bytes is a TIFF of one of the layouts above.
    static bool wanted(const QByteArray &bytes);

    QByteArray format() const override { return QByteArrayLiteral("tiff"); }
    QImage read(QString *errorString) override;

    // decodeBytes() counts the file, the picture (twice when it is turned), a band of stored
    // rows as tall as a strip or tile, and libtiff's own block.
};

#endif // SAMPLETIFF_H
