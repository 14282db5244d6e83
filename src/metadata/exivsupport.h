#ifndef EXIVSUPPORT_H
#define EXIVSUPPORT_H

#include <QByteArrayView>

#include <memory>

namespace Exiv2 {
class Image;
}

// How this program hands bytes already in memory to exiv2.
namespace ExivSupport {

// The image exiv2 makes of bytes, which it reads in place: they must
// outlive it. Throws Exiv2::Error for bytes it takes for no image.
std::unique_ptr<Exiv2::Image> open(QByteArrayView bytes);

// The EXIF orientation tag (1 to 8) of the file in bytes, whatever its
// format carries EXIF in (a PNG's eXIf chunk, a WebP's EXIF chunk, ...);
// 0 when it has none or exiv2 cannot read the file.
int orientation(QByteArrayView bytes);

} // namespace ExivSupport

#endif // EXIVSUPPORT_H
