#include "thumbnail/exifthumbnail.h"

#include "metadata/jpeghead.h"
#include "base/orientation.h"
#include "metadata/photometadata.h"
#include "fs/sourcefile.h"

#include <QBuffer>
#include <QImageReader>

#include <exiv2/exiv2.hpp>

#include <cstdio>

#include <jpeglib.h>

namespace {

// A JPEG preview, decoded only when its own header claims a size within
// the bound: the sizes tags give may lie.
QImage decodePreview(QByteArray jpeg)
{
    QBuffer buffer(&jpeg);
    QImageReader reader(&buffer, "jpeg");
    const QSize claimed = reader.size();
    if (!claimed.isValid() || claimed.isEmpty()
        || qMax(claimed.width(), claimed.height()) > ExifThumbnail::maxPreviewSide)
        return QImage();
    return reader.read();
}

ExifThumbnail::Head headOf(QIODevice *device)
{
    ExifThumbnail::Head head;
    // Up to the frame header, the EXIF block alone read (of at most 64 KiB):
    // other programs' segments (one photo of ours carries 7 MB of XMP
    // before its frame) are skipped by seeking.
    const JpegHead jpeg(device, {JPEG_APP0 + 1}, QByteArray("Exif\0\0", 6));
    if (!jpeg.isValid())
        return head;
    if (!jpeg.size().isEmpty())
        head.stored = jpeg.size();
    const QByteArray exif = jpeg.segments().isEmpty() ? QByteArray()
                                                      : jpeg.segments().first().data.mid(6);
    if (exif.isEmpty())
        return head;
    PhotoMetadata::initLibrary();
    try {
        // The orientation and the EXIF thumbnail (the second directory's
        // JPEG), as exiv2 decodes the block.
        Exiv2::ExifData data;
        Exiv2::ExifParser::decode(data, reinterpret_cast<const Exiv2::byte *>(exif.constData()),
                                  uint32_t(exif.size()));
        const auto orientation = data.findKey(Exiv2::ExifKey("Exif.Image.Orientation"));
        if (orientation != data.end() && orientation->count() > 0)
            head.orientation = Orientation::fromExifTag(orientation->toLong());
        const Exiv2::ExifThumbC thumbnail(data);
        if (QByteArrayView(thumbnail.mimeType()) == "image/jpeg") {
            const Exiv2::DataBuf bytes = thumbnail.copy();
            if (bytes.size_ > 0)
                head.preview = decodePreview(QByteArray(reinterpret_cast<const char *>(bytes.pData_),
                                                        qsizetype(bytes.size_)));
        }
    } catch (const Exiv2::AnyError &) {
    } catch (const std::exception &) {
    }
    return head;
}

} // namespace

ExifThumbnail::Head ExifThumbnail::inspect(SourceFile &file)
{
    QIODevice *device = file.device();
    const qint64 at = device->pos();
    const Head head = headOf(device);
    device->seek(at);
    return head;
}

QImage ExifThumbnail::fromBytes(QByteArrayView file)
{
    QByteArray bytes = file.toByteArray();
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    return headOf(&buffer).preview;
}
