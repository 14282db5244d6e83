#ifndef ORIENTATION_H
#define ORIENTATION_H

#include <QImage>
#include <QImageIOHandler>
#include <QSize>

// A picture's EXIF orientation, as Qt's readers report it: how a stored
// picture is turned to appear upright. A leaf.
namespace Orientation {

// The turn an EXIF orientation tag (1 to 8) stands for, as Qt's readers
// take it; none for any other value.
QImageIOHandler::Transformations fromExifTag(long tag);

// Whether the turn swaps width and height (a quarter turn either way).
inline bool sideways(QImageIOHandler::Transformations turn)
{
    return turn.testFlag(QImageIOHandler::TransformationRotate90);
}

// The size a stored picture appears at once turned; invalid stays invalid.
inline QSize shown(const QSize &stored, QImageIOHandler::Transformations turn)
{
    return stored.isValid() && sideways(turn) ? stored.transposed() : stored;
}

// The stored size that appears at shown: what a reader that scales before
// it turns is asked for.
inline QSize stored(const QSize &shown, QImageIOHandler::Transformations turn)
{
    return sideways(turn) ? shown.transposed() : shown;
}

// The image turned as an orientation tag says (what the readers do with
// setAutoTransform(true)), for images decoded some other way.
QImage applied(const QImage &image, QImageIOHandler::Transformations turn);

} // namespace Orientation

#endif // ORIENTATION_H
