#include "metadata/exivsupport.h"

#include <exiv2/exiv2.hpp>

std::unique_ptr<Exiv2::Image> ExivSupport::open(QByteArrayView bytes)
{
    // exiv2 0.27 hands out an auto_ptr; ours is the owner from here on.
    return std::unique_ptr<Exiv2::Image>(
            Exiv2::ImageFactory::open(reinterpret_cast<const Exiv2::byte *>(bytes.data()),
                                      long(bytes.size()))
                    .release());
}
