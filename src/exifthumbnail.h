#ifndef EXIFTHUMBNAIL_H
#define EXIFTHUMBNAIL_H

#include <QByteArrayView>
#include <QImage>
#include <QString>

// The small preview that cameras store in a JPEG's EXIF block, found by
// exiv2's preview manager. Decoding it costs next to nothing, where even a
// reduced decode of a progressive JPEG costs as much as a third of a full
// one.
class ExifThumbnail
{
public:
    // Previews claiming a longer side than this are not decoded: cameras
    // store 160 x 120 up to about 640 x 480, and a larger claim would cost
    // its size in memory for a list thumbnail.
    static constexpr int maxPreviewSide = 1024;

    // The embedded preview of the file at path, as stored (not turned by
    // the orientation tag); a null image when there is none.
    static QImage read(const QString &path);

    // The same for a file already in memory.
    static QImage fromBytes(QByteArrayView file);
};

#endif // EXIFTHUMBNAIL_H
