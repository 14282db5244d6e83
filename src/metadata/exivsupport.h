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

} // namespace ExivSupport

#endif // EXIVSUPPORT_H
