#ifndef PNGDECODER_H
#define PNGDECODER_H

#include "decode/imagedecoder.h"

#include <QByteArrayView>

// The PNG files Qt's reader gets wrong, through libpng's own conversion
// into 8-bit sRGB: 16-bit pictures with a transparent colour (tRNS),
// which Qt 6.4 garbles, and pictures whose gamma (gAMA) is not sRGB's and
// that name no colour space (sRGB, iCCP) to stand for it, which Qt leaves
// uncorrected in grey, and pictures whose primaries (cHRM) are not sRGB's,
// which Qt ignores without a gAMA chunk. Primaries and a profile (iCCP),
// which libpng leaves alone, are applied afterwards (tagged or converted
// through Little CMS). Everything else goes to Qt's reader. Turned upright
// as its EXIF block says.
class PngDecoder : public ImageDecoder
{
public:
    explicit PngDecoder(QByteArray bytes);

    // Whether the PNG starting with head is one of the kinds above; head
    // must reach the first IDAT chunk, where every chunk concerned comes.
    static bool recognizes(QByteArrayView head);

    QByteArray format() const override { return QByteArrayLiteral("png"); }
    QSize size() const override;
    QImage read(QString *errorString) override;
    // The file (twice when its gAMA chunk is left out for a profile) and
    // the picture (twice when it is turned); libpng works a row at a time.
    qint64 decodeBytes() const override;

private:
    QByteArray bytes;
    QSize stored;
    QImageIOHandler::Transformations turn; // from its EXIF block (eXIf)
};

#endif // PNGDECODER_H
