#ifndef EXIFTHUMBNAIL_H
#define EXIFTHUMBNAIL_H

#include <QByteArrayView>
#include <QImage>
#include <QImageIOHandler>
#include <QSize>
#include <QString>

class SourceFile;

// The small preview that cameras store in a JPEG's EXIF block (the second
// image directory's JPEG). Decoding it costs next to nothing, where even a
// reduced decode of a progressive JPEG costs as much as a third of a full
// one. libjpeg walks the segments up to the frame header, skipping all but
// the EXIF block by seeking, and exiv2 decodes that block: the file's other
// metadata is never read, however large.
class ExifThumbnail
{
public:
    // Previews claiming a longer side than this are not decoded: cameras
    // store 160 x 120 up to about 640 x 480, and a larger claim would cost
    // its size in memory for a list thumbnail.
    static constexpr int maxPreviewSide = 1024;

    // What one parse of a JPEG's head tells a thumbnail.
    struct Head
    {
        QImage preview; // as stored, not turned; null when there is none
        QSize stored;   // the picture's size in its frame header; invalid when not found
        QImageIOHandler::Transformations orientation = QImageIOHandler::TransformationNone;
    };

    // The head of the JPEG file (read from its start; its position is
    // kept). An empty Head when the file is not a JPEG or its header is
    // broken.
    static Head inspect(SourceFile &file);

    // The embedded preview of a file in memory, as stored (not turned by
    // the orientation tag); a null image when there is none.
    static QImage fromBytes(QByteArrayView file);
};

#endif // EXIFTHUMBNAIL_H
