#ifndef RGBATIFF_H
#define RGBATIFF_H

#include "decode/filebytesdecoder.h"

// The TIFF layouts Qt's reader gets wrong, through libtiff's own RGBA
// conversion: planar samples of more than 8 bits, grey with alpha (whose
// transparent parts Qt makes black), and CIELab and LogLuv in layouts
// SampleTiff does not read (planar). Other TIFF files go to Qt's reader,
// which keeps 16 bits a channel.
class RgbaTiff : public FileBytesDecoder
{
public:
    explicit RgbaTiff(QByteArray bytes);

    // Whether bytes is a TIFF of one of the layouts above.
    static bool wanted(const QByteArray &bytes);

    QByteArray format() const override { return QByteArrayLiteral("tiff"); }
    QImage read(QString *errorString) override;

    // decodeBytes() counts the file, the picture (twice when it is turned) and a strip or tile
    // of the stored samples.
};

#endif // RGBATIFF_H
