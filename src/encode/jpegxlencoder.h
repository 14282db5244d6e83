#ifndef JPEGXLENCODER_H
#define JPEGXLENCODER_H

#include "encode/encodeoptions.h"

#include <QByteArray>
#include <QImage>
#include <QString>

// Writes JPEG XL files through libjxl: from pixels, lossy at a distance
// or without loss, with the alpha the picture has and its ICC profile
// (sRGB when it has none); or from a JPEG file without touching its
// pixels, with what rebuilds that file byte for byte. EXIF and XMP go in
// as the "Exif" and "xml " boxes.
class JpegXlEncoder
{
public:
    // libjxl's default effort, its own tool's too.
    static constexpr int effort = 7;

    // The file's bytes, or empty with errorString set. distance is
    // libjxl's (1 visually lossless); options give lossless and threads.
    static QByteArray encode(const QImage &image, double distance, const EncodeOptions &options,
                             const FileBlocks &boxes, QString *errorString);

    // The JPEG file jpeg recoded without loss: djxl gives back the very
    // bytes. Its own EXIF and XMP are carried as boxes by libjxl. Empty
    // with errorString set when libjxl cannot take this JPEG (CMYK,
    // arithmetic coding, damaged data).
    static QByteArray transcode(const QByteArray &jpeg, const EncodeOptions &options,
                                QString *errorString);
};

#endif // JPEGXLENCODER_H
