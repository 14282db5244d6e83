#include "photometadata.h"

#include "exivsupport.h"
#include "sourcefile.h"

#include <QDebug>

#include <exiv2/exiv2.hpp>

#include <mutex>

struct PhotoMetadata::Data
{
    Exiv2::ExifData exif;
    Exiv2::IptcData iptc;
    Exiv2::XmpData xmp;
    QByteArray icc;
    QString error;
};

namespace {

std::mutex xmpLock;

void lockXmp(void *, bool lock)
{
    if (lock)
        xmpLock.lock();
    else
        xmpLock.unlock();
}

// Tags of a TIFF source's first directory that describe how its pixels are
// stored, and its profile: true of the source file only.
bool describesSourceStorage(const Exiv2::Exifdatum &datum)
{
    if (datum.groupName() != "Image")
        return false;
    switch (datum.tag()) {
    case 0x00fe: // NewSubfileType
    case 0x0100: // ImageWidth
    case 0x0101: // ImageLength
    case 0x0102: // BitsPerSample
    case 0x0103: // Compression
    case 0x0106: // PhotometricInterpretation
    case 0x010a: // FillOrder
    case 0x0111: // StripOffsets
    case 0x0115: // SamplesPerPixel
    case 0x0116: // RowsPerStrip
    case 0x0117: // StripByteCounts
    case 0x011c: // PlanarConfiguration
    case 0x013d: // Predictor
    case 0x0140: // ColorMap
    case 0x0142: // TileWidth
    case 0x0143: // TileLength
    case 0x0144: // TileOffsets
    case 0x0145: // TileByteCounts
    case 0x014a: // SubIFDs
    case 0x0152: // ExtraSamples
    case 0x0153: // SampleFormat
    case 0x015b: // JPEGTables
    case 0x0212: // YCbCrSubSampling
    case 0x8773: // InterColorProfile
        return true;
    default:
        return false;
    }
}

template<typename Container, typename Key>
void setIfPresent(Container &data, const char *key, const std::string &value)
{
    const auto found = data.findKey(Key(key));
    if (found != data.end())
        found->setValue(value);
}

Exiv2::ExifData exifFor(const Exiv2::ExifData &source, const QSize &size)
{
    Exiv2::ExifData exif;
    for (const Exiv2::Exifdatum &datum : source) {
        if (!describesSourceStorage(datum))
            exif.add(datum);
    }
    if (exif.empty())
        return exif;
    // The pixels were turned upright when they were read.
    setIfPresent<Exiv2::ExifData, Exiv2::ExifKey>(exif, "Exif.Image.Orientation", "1");
    exif["Exif.Photo.PixelXDimension"] = uint32_t(size.width());
    exif["Exif.Photo.PixelYDimension"] = uint32_t(size.height());
    // A thumbnail of the old picture, in the old orientation.
    Exiv2::ExifThumb(exif).erase();
    return exif;
}

Exiv2::XmpData xmpFor(const Exiv2::XmpData &source, const QSize &size, bool sameProfile)
{
    Exiv2::XmpData xmp = source;
    using Key = Exiv2::XmpKey;
    if (!sameProfile) {
        // The pixels were converted (from CMYK, or into sRGB): the name of
        // the source's profile and its colour mode are no longer true.
        const auto profileName = xmp.findKey(Key("Xmp.photoshop.ICCProfile"));
        if (profileName != xmp.end())
            xmp.erase(profileName);
        const auto mode = xmp.findKey(Key("Xmp.photoshop.ColorMode"));
        if (mode != xmp.end() && mode->toString() == "4") // CMYK
            mode->setValue("3");                           // RGB
    }
    setIfPresent<Exiv2::XmpData, Key>(xmp, "Xmp.tiff.Orientation", "1");
    setIfPresent<Exiv2::XmpData, Key>(xmp, "Xmp.exif.PixelXDimension", std::to_string(size.width()));
    setIfPresent<Exiv2::XmpData, Key>(xmp, "Xmp.exif.PixelYDimension", std::to_string(size.height()));
    setIfPresent<Exiv2::XmpData, Key>(xmp, "Xmp.tiff.ImageWidth", std::to_string(size.width()));
    setIfPresent<Exiv2::XmpData, Key>(xmp, "Xmp.tiff.ImageLength", std::to_string(size.height()));
    const auto thumbnails = xmp.findKey(Key("Xmp.xmp.Thumbnails"));
    if (thumbnails != xmp.end())
        xmp.erase(thumbnails);
    return xmp;
}

} // namespace

PhotoMetadata::PhotoMetadata()
    : d(std::make_shared<Data>())
{
}

PhotoMetadata::~PhotoMetadata() = default;

void PhotoMetadata::initLibrary()
{
    static std::once_flag once;
    std::call_once(once, []() {
        Exiv2::XmpParser::initialize(lockXmp, nullptr);
        // Its warnings are about oddities it reads past; its errors are
        // worth a line among ours.
        Exiv2::LogMsg::setLevel(Exiv2::LogMsg::error);
        Exiv2::LogMsg::setHandler([](int, const char *text) {
            qDebug().noquote() << "exiv2:" << QString::fromUtf8(text).trimmed();
        });
    });
}

PhotoMetadata PhotoMetadata::read(const QString &path)
{
    SourceFile file(path);
    return read(file);
}

PhotoMetadata PhotoMetadata::read(SourceFile &file)
{
    initLibrary();
    PhotoMetadata metadata;
    if (!file.isOpen()) {
        metadata.d->error = file.errorString();
        return metadata;
    }
    try {
        const QByteArray bytes = file.contents(); // read in place by exiv2
        const std::unique_ptr<Exiv2::Image> image = ExivSupport::open(bytes);
        image->readMetadata();
        metadata.d->exif = image->exifData();
        metadata.d->iptc = image->iptcData();
        metadata.d->xmp = image->xmpData();
        if (image->iccProfileDefined()) {
            const Exiv2::DataBuf *icc = image->iccProfile();
            metadata.d->icc = QByteArray(reinterpret_cast<const char *>(icc->pData_), icc->size_);
        }
    } catch (const Exiv2::AnyError &e) {
        if (e.code() != Exiv2::kerMemoryContainsUnknownImageType)
            metadata.d->error = QString::fromUtf8(e.what());
    } catch (const std::exception &e) {
        metadata.d->error = QString::fromUtf8(e.what());
    }
    return metadata;
}

bool PhotoMetadata::hasMetadata() const
{
    return !d->exif.empty() || !d->iptc.empty() || !d->xmp.empty();
}

QByteArray PhotoMetadata::iccProfile() const
{
    return d->icc;
}

QString PhotoMetadata::errorString() const
{
    return d->error;
}

bool PhotoMetadata::writeInto(QByteArray *encoded, const QSize &size, QString *errorString) const
{
    initLibrary();
    try {
        const std::unique_ptr<Exiv2::Image> image = ExivSupport::open(*encoded);
        // What the writer put there (the profile, a TIFF's own layout) is
        // read first, so that it is written back.
        image->readMetadata();
        const Exiv2::DataBuf *profile = image->iccProfile();
        const bool sameProfile = QByteArrayView(reinterpret_cast<const char *>(profile->pData_),
                                                profile->size_)
                == QByteArrayView(d->icc);
        image->setExifData(exifFor(d->exif, size));
        image->setIptcData(d->iptc);
        image->setXmpData(xmpFor(d->xmp, size, sameProfile));
        image->writeMetadata();

        Exiv2::BasicIo &io = image->io();
        if (io.open() != 0)
            throw Exiv2::Error(Exiv2::kerDataSourceOpenFailed, "memory");
        QByteArray written(qsizetype(io.size()), Qt::Uninitialized);
        io.seek(0, Exiv2::BasicIo::beg);
        const long got = io.read(reinterpret_cast<Exiv2::byte *>(written.data()), long(written.size()));
        io.close();
        if (got != long(written.size()))
            throw Exiv2::Error(Exiv2::kerInputDataReadFailed);
        *encoded = written;
        return true;
    } catch (const Exiv2::AnyError &e) {
        if (errorString)
            *errorString = QString::fromUtf8(e.what());
    } catch (const std::exception &e) {
        if (errorString)
            *errorString = QString::fromUtf8(e.what());
    }
    return false;
}
