#include "metadata/locationtags.h"

#include <exiv2/exiv2.hpp>

#include <string>

namespace {

bool startsWith(const std::string &text, const char *prefix)
{
    return text.rfind(prefix, 0) == 0;
}

bool isLocation(const Exiv2::Exifdatum &datum)
{
    // The GPS directory, and the pointer to it in the first one.
    return datum.groupName() == "GPSInfo" || datum.key() == "Exif.Image.GPSTag";
}

bool isLocation(const Exiv2::Xmpdatum &datum)
{
    const std::string key = datum.key();
    static const char *const prefixes[] = {
        "Xmp.exif.GPS",                // the EXIF position's XMP copy
        "Xmp.iptcExt.LocationCreated", // structures with a position and names
        "Xmp.iptcExt.LocationShown",
        "Xmp.photoshop.City",
        "Xmp.photoshop.State",
        "Xmp.photoshop.Country",
        "Xmp.iptc.Location",
        "Xmp.iptc.CountryCode",
    };
    for (const char *prefix : prefixes) {
        if (startsWith(key, prefix))
            return true;
    }
    return false;
}

bool isLocation(const Exiv2::Iptcdatum &datum)
{
    if (datum.record() != Exiv2::IptcDataSets::application2)
        return false;
    switch (datum.tag()) {
    case Exiv2::IptcDataSets::LocationCode:
    case Exiv2::IptcDataSets::LocationName:
    case Exiv2::IptcDataSets::City:
    case Exiv2::IptcDataSets::SubLocation:
    case Exiv2::IptcDataSets::ProvinceState:
    case Exiv2::IptcDataSets::CountryCode:
    case Exiv2::IptcDataSets::CountryName:
        return true;
    default:
        return false;
    }
}

template<typename Data>
void removeFrom(Data &data)
{
    for (auto it = data.begin(); it != data.end();) {
        if (isLocation(*it))
            it = data.erase(it);
        else
            ++it;
    }
}

template<typename Data>
bool anyIn(const Data &data)
{
    for (const auto &datum : data) {
        if (isLocation(datum))
            return true;
    }
    return false;
}

} // namespace

void LocationTags::remove(Exiv2::ExifData &exif, Exiv2::XmpData &xmp, Exiv2::IptcData &iptc)
{
    removeFrom(exif);
    removeFrom(xmp);
    removeFrom(iptc);
}

bool LocationTags::present(const Exiv2::ExifData &exif, const Exiv2::XmpData &xmp,
                           const Exiv2::IptcData &iptc)
{
    return anyIn(exif) || anyIn(xmp) || anyIn(iptc);
}
