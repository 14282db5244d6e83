#ifndef READERCOST_H
#define READERCOST_H

#include <QByteArray>
#include <QSize>

class QIODevice;

// What Qt's own readers take to decode a file, counted from the file's
// depth and samples rather than four bytes a pixel: a 16-bit PNG becomes
// a picture of eight bytes a pixel, and libtiff holds a whole strip or
// tile of the stored samples beside the picture, however many samples the
// header claims. The TIFF header is read with libtiff itself, the way the
// plug-in will read it, before the plug-in sees the file.
namespace ReaderCost {

// Bytes reading the file in device (format as Qt's reader named it, the
// picture of size) takes at its peak. The device is left where it was.
qint64 of(QIODevice *device, const QByteArray &format, const QSize &size);

// Bytes a pixel of a picture whose samples have this many bits takes in
// the QImage a reader makes of it: 4 up to 8 bits, 8 up to 16, else 16.
qint64 pictureBytesPerPixel(int bitsPerSample);

} // namespace ReaderCost

#endif // READERCOST_H
