#ifndef CMYKTIFF_H
#define CMYKTIFF_H

#include "decode/filebytesdecoder.h"

#include <QByteArrayView>

// TIFF files of CMYK samples (8 or 16 bits, in strips), as scanners and
// print work deliver them. Qt's reader turns their ink values into RGB as
// if they were screen colours; here they are converted through the file's
// own CMYK profile, or the standard one when it has none (ColorConverter).
class CmykTiff : public FileBytesDecoder
{
public:
    explicit CmykTiff(QByteArray bytes);

    static bool recognizes(QByteArrayView head);
    // Whether bytes is a CMYK TIFF this decoder reads.
    static bool isCmyk(const QByteArray &bytes);
    // Whether the first picture of a TIFF file is a DNG's, or marked as a
    // reduced preview of another (as camera RAW files have it): the file is
    // not to be read as a plain TIFF, which would give the preview.
    static bool startsWithPreview(const QByteArray &bytes);

    QByteArray format() const override { return QByteArrayLiteral("tiff"); }
    QImage read(QString *errorString) override;

    // decodeBytes() counts the file, the picture (twice when it is turned) and a strip of
    // the stored samples, which libtiff reads whole.
};

#endif // CMYKTIFF_H
