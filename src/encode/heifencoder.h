#ifndef HEIFENCODER_H
#define HEIFENCODER_H

#include "encode/encodeoptions.h"

#include <QByteArray>
#include <QImage>
#include <QString>

// Writes HEIC and AVIF files through libheif (x265 for HEVC, aom for
// AV1), with the picture's alpha, its ICC profile and the EXIF and XMP
// blocks given.
class HeifEncoder
{
public:
    // Whether the format table gives format to libheif (HEIC, HEIF, AVIF).
    static bool handles(const QString &format);
    // Whether libheif has an encoder for format at run time.
    static bool canWrite(const QString &format);

    // The file's bytes, or empty with errorString set. native is libheif's
    // quality (0 to 100); options give lossless (AVIF only) and threads.
    static QByteArray encode(const QImage &image, const QString &format, double native,
                             const EncodeOptions &options, const FileBlocks &blocks,
                             QString *errorString);
};

#endif // HEIFENCODER_H
