#ifndef EXIFTHUMBNAIL_H
#define EXIFTHUMBNAIL_H

#include <QImage>
#include <QString>

// The small preview that cameras store in a JPEG's EXIF block. Decoding it
// costs next to nothing, where even a reduced decode of a progressive JPEG
// costs as much as a third of a full one.
class ExifThumbnail
{
public:
    // The embedded preview of the JPEG at path, as stored (not turned by
    // the orientation tag); a null image when there is none.
    static QImage read(const QString &path);

    // The preview parsed out of a JPEG file's leading bytes.
    static QImage fromJpegHeader(const QByteArray &head);
};

#endif // EXIFTHUMBNAIL_H
