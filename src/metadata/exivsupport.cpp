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

int ExivSupport::orientation(QByteArrayView bytes)
{
    try {
        const std::unique_ptr<Exiv2::Image> image = open(bytes);
        if (!image)
            return 0;
        image->readMetadata();
        const Exiv2::ExifData &exif = image->exifData();
        const auto tag = exif.findKey(Exiv2::ExifKey("Exif.Image.Orientation"));
        if (tag == exif.end() || tag->count() < 1)
            return 0;
        const long value = tag->toLong();
        return value >= 1 && value <= 8 ? int(value) : 0;
    } catch (const std::exception &) {
        return 0;
    }
}
