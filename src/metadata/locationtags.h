#ifndef LOCATIONTAGS_H
#define LOCATIONTAGS_H

namespace Exiv2 {
class ExifData;
class XmpData;
class IptcData;
} // namespace Exiv2

// Where a photo was taken, as its metadata tells it: the GPS position
// (EXIF's GPS directory and its XMP copy, the positions in the IPTC
// extension's locations) and the place names (city, state, country,
// sublocation, in IPTC and in their XMP forms). Removed together, so that a
// photo shared without its position does not give its town away instead.
class LocationTags
{
public:
    // Removes them; every other tag stays as it is.
    static void remove(Exiv2::ExifData &exif, Exiv2::XmpData &xmp, Exiv2::IptcData &iptc);

    // Whether one of them is in the data.
    static bool present(const Exiv2::ExifData &exif, const Exiv2::XmpData &xmp,
                        const Exiv2::IptcData &iptc);
};

#endif // LOCATIONTAGS_H
