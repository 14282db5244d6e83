#include "exifthumbnail.h"

#include "sourcefile.h"

#include <QBuffer>
#include <QImageReader>

namespace {

// An EXIF block lives in one APP1 segment, at most 64 KiB, near the start.
constexpr qint64 headLimit = 256 * 1024;
// Cameras store previews of 160 x 120 up to about 640 x 480.
constexpr int maxPreviewSide = 1024;

class TiffReader
{
public:
    explicit TiffReader(QByteArrayView tiff) : data(tiff) {}

    bool init()
    {
        if (data.size() < 8)
            return false;
        if (data[0] == 'I' && data[1] == 'I')
            little = true;
        else if (data[0] == 'M' && data[1] == 'M')
            little = false;
        else
            return false;
        return u16(2) == 42;
    }

    quint32 u16(qsizetype at) const
    {
        if (at < 0 || at + 2 > data.size())
            return 0;
        const auto b0 = quint8(data[at]), b1 = quint8(data[at + 1]);
        return little ? quint32(b0 | b1 << 8) : quint32(b1 | b0 << 8);
    }

    quint32 u32(qsizetype at) const
    {
        if (at < 0 || at + 4 > data.size())
            return 0;
        return little ? u16(at) | u16(at + 2) << 16 : u16(at) << 16 | u16(at + 2);
    }

    QByteArrayView data;
    bool little = true;
};

} // namespace

QImage ExifThumbnail::read(const QString &path)
{
    SourceFile file(path);
    if (!file.isOpen())
        return QImage();
    return fromJpegHeader(file.device()->read(headLimit));
}

QImage ExifThumbnail::fromJpegHeader(const QByteArray &head)
{
    if (head.size() < 4 || quint8(head[0]) != 0xFF || quint8(head[1]) != 0xD8)
        return QImage();
    qsizetype at = 2;
    while (at + 4 <= head.size()) {
        if (quint8(head[at]) != 0xFF)
            return QImage();
        const int marker = quint8(head[at + 1]);
        if (marker == 0xDA || marker == 0xD9) // image data: no EXIF before it
            return QImage();
        const qsizetype length = quint8(head[at + 2]) << 8 | quint8(head[at + 3]);
        if (length < 2)
            return QImage();
        const qsizetype body = at + 4;
        if (marker == 0xE1 && length >= 8 && body + length - 2 <= head.size()
            && QByteArrayView(head).sliced(body, 6) == QByteArrayView("Exif\0\0", 6)) {
            TiffReader tiff(QByteArrayView(head).sliced(body + 6, length - 8));
            if (!tiff.init())
                return QImage();
            // IFD0, then the next IFD (IFD1) describes the thumbnail.
            const quint32 ifd0 = tiff.u32(4);
            const quint32 ifd1 = tiff.u32(qsizetype(ifd0) + 2 + 12 * qsizetype(tiff.u16(ifd0)));
            if (ifd1 == 0)
                return QImage();
            quint32 offset = 0, size = 0;
            const quint32 entries = tiff.u16(ifd1);
            for (quint32 i = 0; i < entries; ++i) {
                const qsizetype entry = qsizetype(ifd1) + 2 + 12 * qsizetype(i);
                const quint32 tag = tiff.u16(entry);
                if (tag == 0x0201)
                    offset = tiff.u32(entry + 8);
                else if (tag == 0x0202)
                    size = tiff.u32(entry + 8);
            }
            if (offset == 0 || size == 0 || qsizetype(offset) + qsizetype(size) > tiff.data.size())
                return QImage();
            QByteArray jpeg = tiff.data.sliced(offset, size).toByteArray();
            QBuffer buffer(&jpeg);
            QImageReader reader(&buffer, "jpeg");
            // A preview is small; one that claims more is a lie that would
            // cost its claimed size in memory.
            const QSize claimed = reader.size();
            if (!claimed.isValid() || claimed.isEmpty()
                || qMax(claimed.width(), claimed.height()) > maxPreviewSide)
                return QImage();
            return reader.read();
        }
        at = body + length - 2;
    }
    return QImage();
}
