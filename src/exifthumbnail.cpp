#include "exifthumbnail.h"

#include "photometadata.h"
#include "sourcefile.h"

#include <QBuffer>
#include <QImageReader>

#include <exiv2/exiv2.hpp>

#include <memory>

namespace {

// An EXIF block lives in one APP1 segment, at most 64 KiB, near the start.
constexpr qint64 headLimit = 256 * 1024;

// The thumbnail list wants a preview whose longer side is at least this.
constexpr int wantedSide = 128;

// A JPEG preview, decoded only when its own header claims a size within
// the bound: the sizes exiv2 lists come from tags, which may lie.
QImage decodePreview(const Exiv2::PreviewImage &preview)
{
    QByteArray jpeg(reinterpret_cast<const char *>(preview.pData()), qsizetype(preview.size()));
    QBuffer buffer(&jpeg);
    QImageReader reader(&buffer, "jpeg");
    const QSize claimed = reader.size();
    if (!claimed.isValid() || claimed.isEmpty()
        || qMax(claimed.width(), claimed.height()) > ExifThumbnail::maxPreviewSide)
        return QImage();
    return reader.read();
}

// The preview, or a null image; parsed set to false when exiv2 gave up on
// the bytes (which may be only the start of the file).
QImage previewOf(QByteArrayView file, bool *parsed)
{
    *parsed = true;
    if (file.isEmpty())
        return QImage();
    PhotoMetadata::initLibrary();
    try {
        std::unique_ptr<Exiv2::Image> image(
                Exiv2::ImageFactory::open(reinterpret_cast<const Exiv2::byte *>(file.data()),
                                          long(file.size()))
                        .release());
        if (image->mimeType() != "image/jpeg")
            return QImage();
        image->readMetadata();
        const Exiv2::PreviewManager manager(*image);
        // Listed smallest first: the first one big enough for the list
        // costs least to decode, else the largest one there is.
        QImage best;
        for (const Exiv2::PreviewProperties &properties : manager.getPreviewProperties()) {
            if (properties.mimeType_ != "image/jpeg"
                || int(qMax(properties.width_, properties.height_)) > ExifThumbnail::maxPreviewSide)
                continue;
            const QImage preview = decodePreview(manager.getPreviewImage(properties));
            if (preview.isNull())
                continue;
            best = preview;
            if (qMax(best.width(), best.height()) >= wantedSide)
                break;
        }
        return best;
    } catch (const Exiv2::AnyError &) {
    } catch (const std::exception &) {
    }
    *parsed = false;
    return QImage();
}

} // namespace

QImage ExifThumbnail::read(const QString &path)
{
    SourceFile file(path);
    if (!file.isOpen())
        return QImage();
    // The metadata segments come before the pixels and are usually far
    // smaller than the file: the head is enough unless other segments
    // push the pixels beyond it.
    const QByteArray head = file.contents(headLimit);
    bool parsed = false;
    const QImage preview = previewOf(head, &parsed);
    if (parsed || head.size() < headLimit)
        return preview;
    return fromBytes(file.contents());
}

QImage ExifThumbnail::fromBytes(QByteArrayView file)
{
    bool parsed = false;
    return previewOf(file, &parsed);
}
