#ifndef WEBPENCODER_H
#define WEBPENCODER_H

#include "encode/encodeoptions.h"

#include <QByteArray>
#include <QImage>
#include <QString>

// Writes WebP files through libwebp, lossy (at libwebp's own quality) or
// without loss, with the alpha the picture has, and through libwebpmux
// the ICC profile and the EXIF and XMP blocks as the chunks readers look
// for.
class WebpEncoder
{
public:
    // The file's bytes, or empty with errorString set. native is libwebp's
    // quality (0 to 100); options give lossless and the threads.
    static QByteArray encode(const QImage &image, double native, const EncodeOptions &options,
                             const FileBlocks &chunks, QString *errorString);
};

#endif // WEBPENCODER_H
