#ifndef PHOTOFIXTURES_H
#define PHOTOFIXTURES_H

#include <QBuffer>
#include <QByteArray>
#include <QImage>
#include <QPainter>
#include <QString>

#include <exiv2/exiv2.hpp>

#include <functional>
#include <memory>

// Photos as cameras write them, made with Qt's writers and exiv2, and
// their tags read back: for the tests of what a converted copy keeps.
namespace PhotoFixtures {

inline QByteArray encoded(const QImage &image, const char *format)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format, 95);
    return bytes;
}

// exiv2 reads the bytes in place: they must outlive the image.
inline std::unique_ptr<Exiv2::Image> openExiv2(const QByteArray &bytes)
{
    return std::unique_ptr<Exiv2::Image>(
            Exiv2::ImageFactory::open(reinterpret_cast<const Exiv2::byte *>(bytes.constData()),
                                      long(bytes.size()))
                    .release());
}

// The file with metadata added by edit.
inline QByteArray withMetadata(const QByteArray &original, const std::function<void(Exiv2::Image &)> &edit)
{
    const std::unique_ptr<Exiv2::Image> file = openExiv2(original);
    file->readMetadata();
    edit(*file);
    file->writeMetadata();
    Exiv2::BasicIo &io = file->io();
    io.open();
    QByteArray bytes(qsizetype(io.size()), Qt::Uninitialized);
    io.read(reinterpret_cast<Exiv2::byte *>(bytes.data()), long(bytes.size()));
    return bytes;
}

// 96 x 64 as stored, red on the left and blue on the right, with a camera's
// EXIF (orientation 6, so it shows 64 x 96 with red on top, and a
// thumbnail), XMP and IPTC.
inline QByteArray photo()
{
    QImage image(96, 64, QImage::Format_RGB32);
    image.fill(Qt::blue);
    QPainter(&image).fillRect(0, 0, 48, 64, Qt::red);
    return withMetadata(encoded(image, "jpeg"), [&image](Exiv2::Image &file) {
    Exiv2::ExifData &exif = file.exifData();
    exif["Exif.Image.Make"] = "Tarnwick Optics";
    exif["Exif.Image.Orientation"] = uint16_t(6);
    exif["Exif.Photo.DateTimeOriginal"] = "2024:07:14 18:30:00";
    exif["Exif.Photo.PixelXDimension"] = uint32_t(96);
    exif["Exif.GPSInfo.GPSLatitudeRef"] = "N";
    exif["Exif.GPSInfo.GPSLatitude"] = Exiv2::URationalValue();
    exif["Exif.GPSInfo.GPSLatitude"].setValue("48/1 23/1 0/1");
    const QByteArray thumbnail = encoded(image.scaled(48, 32), "jpeg");
    Exiv2::ExifThumb(exif).setJpegThumbnail(reinterpret_cast<const Exiv2::byte *>(thumbnail.data()),
                                            long(thumbnail.size()));
    file.xmpData()["Xmp.xmp.Rating"] = "4";
    file.xmpData()["Xmp.tiff.Orientation"] = "6";
    file.iptcData()["Iptc.Application2.City"] = "Brest";
    });
}

inline QString tagOf(const Exiv2::Image &image, const char *key)
{
    const std::string name(key);
    if (name.rfind("Exif.", 0) == 0) {
        const auto found = image.exifData().findKey(Exiv2::ExifKey(name));
        return found == image.exifData().end() ? QString() : QString::fromStdString(found->toString());
    }
    if (name.rfind("Xmp.", 0) == 0) {
        const auto found = image.xmpData().findKey(Exiv2::XmpKey(name));
        return found == image.xmpData().end() ? QString() : QString::fromStdString(found->toString());
    }
    const auto found = image.iptcData().findKey(Exiv2::IptcKey(name));
    return found == image.iptcData().end() ? QString() : QString::fromStdString(found->toString());
}

} // namespace PhotoFixtures

#endif // PHOTOFIXTURES_H
