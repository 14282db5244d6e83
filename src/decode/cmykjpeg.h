#ifndef CMYKJPEG_H
#define CMYKJPEG_H

#include <QByteArrayView>
#include <QImage>
#include <QSize>
#include <QString>

// JPEG files of four components (CMYK, or YCCK that decodes to CMYK), as
// print work and picture agencies deliver them. Qt's reader turns their ink
// values into RGB as if they were screen colours, far too saturated; here
// they are decoded to ink values and converted to sRGB through the file's
// own CMYK profile, or the standard one when it has none.
class CmykJpeg
{
public:
    // Whether jpeg is a JPEG file whose frame has four components. jpeg
    // may be only the start of the file: headerFound, when given, says
    // whether it held the whole header, or more bytes are needed to tell.
    static bool isCmyk(QByteArrayView jpeg, bool *headerFound = nullptr);

    // The picture as stored (not turned by an orientation tag), in sRGB,
    // QImage::Format_RGB32. With a valid scaledSize it comes out at that
    // size, most of the reduction done by the decoder itself. A null image
    // on failure, and when the picture would not fit in the allocation
    // limit; errorString then says why.
    static QImage read(QByteArrayView jpeg, const QSize &scaledSize, QString *errorString);
};

#endif // CMYKJPEG_H
