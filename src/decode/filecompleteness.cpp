#include "decode/filecompleteness.h"

#include <QCoreApplication>
#include <QIODevice>
#include <QtEndian>

#include <cstdlib>

namespace {

// Bytes the header of a BMP says its pixel data ends at; 0 when it does
// not say (or is too short to tell, which the reader then reports).
qint64 bmpDataEnd(const QByteArray &head)
{
    if (head.size() < 54 || !head.startsWith("BM"))
        return 0;
    const auto *h = reinterpret_cast<const uchar *>(head.constData());
    const qint64 offset = qFromLittleEndian<quint32>(h + 10);
    const quint32 infoSize = qFromLittleEndian<quint32>(h + 14);
    if (infoSize < 40) // the old OS/2 header: left to the reader
        return 0;
    const qint64 width = qFromLittleEndian<qint32>(h + 18);
    const qint64 height = std::llabs(qFromLittleEndian<qint32>(h + 22));
    const int bits = qFromLittleEndian<quint16>(h + 28);
    const quint32 compression = qFromLittleEndian<quint32>(h + 30);
    const qint64 imageSize = qFromLittleEndian<quint32>(h + 34);
    if (width <= 0 || bits <= 0)
        return 0;
    switch (compression) {
    case 0: // uncompressed
    case 3: // bit fields
    case 6: // bit fields with alpha
        return offset + (width * bits + 31) / 32 * 4 * height;
    case 1: // RLE8
    case 2: // RLE4
        return imageSize > 0 ? offset + imageSize : 0;
    default:
        return 0;
    }
}

// Where the first scan of a progressive JPEG's picture starts: after the
// segments before it, each skipped by its length (an EXIF preview inside
// one has markers of its own); -1 when the file has none, or its frame is
// sequential (whose data, cut short, libjpeg reports itself).
qint64 firstProgressiveScan(QIODevice *device)
{
    bool progressive = false;
    if (!device->seek(0) || device->read(2) != QByteArray("\xff\xd8", 2))
        return -1;
    qint64 at = 2;
    for (int segments = 0; segments < 4096; ++segments) {
        if (!device->seek(at))
            return -1;
        const QByteArray marker = device->read(4);
        if (marker.size() < 4 || quint8(marker[0]) != 0xff)
            return -1;
        const quint8 type = quint8(marker[1]);
        if (type == 0xff) { // fill byte
            ++at;
            continue;
        }
        const qint64 length = qFromBigEndian<quint16>(marker.constData() + 2);
        // The progressive frames: Huffman or arithmetic coded, any precision.
        if (type == 0xc2 || type == 0xc6 || type == 0xca || type == 0xce)
            progressive = true;
        if (type == 0xda)
            return progressive ? at + 2 + length : -1;
        if (type == 0xd9 || length < 2)
            return -1;
        at += 2 + length;
    }
    return -1;
}

// Whether the bytes from `from` on hold an end-of-image marker. Coded data
// never holds one (a 0xFF there is followed by 0 or a restart marker).
bool endMarkerAfter(QIODevice *device, qint64 from)
{
    constexpr qint64 piece = 1 << 20;
    char previous = 0;
    for (qint64 at = from; device->seek(at); at += piece) {
        const QByteArray bytes = device->read(piece);
        if (bytes.isEmpty())
            return false;
        if ((previous == '\xff' && bytes[0] == '\xd9') || bytes.contains("\xff\xd9"))
            return true;
        previous = bytes.back();
    }
    return false;
}

QString endsEarly()
{
    return QCoreApplication::translate("FileCompleteness",
                                       "the file ends early: part of the picture may be missing");
}

// A progressive JPEG whose data stops before its end marker: libjpeg
// paints what it has and says nothing when the cut falls between two
// scans. (A sequential file that only lacks the marker is whole.)
QString jpegWarning(QIODevice *device)
{
    const qint64 at = device->pos();
    // Most files end with the marker; only the others are looked through.
    const bool ends = device->seek(device->size() - 2) && device->read(2) == "\xff\xd9";
    const qint64 scan = ends ? -1 : firstProgressiveScan(device);
    const bool whole = scan < 0 || endMarkerAfter(device, scan);
    device->seek(at);
    return whole ? QString() : endsEarly();
}

} // namespace

QString FileCompleteness::damage(QIODevice *device, const QByteArray &format)
{
    if (!device || format != "bmp")
        return QString();
    const qint64 at = device->pos();
    if (!device->seek(0))
        return QString();
    const QByteArray head = device->read(54);
    device->seek(at);
    const qint64 end = bmpDataEnd(head);
    if (end > 0 && device->size() < end)
        return QCoreApplication::translate("FileCompleteness", "damaged file (data ends early)");
    return QString();
}

QString FileCompleteness::warning(QIODevice *device, const QByteArray &format)
{
    if (device && format == "jpeg")
        return jpegWarning(device);
    if (!device || format != "gif" || device->size() < 1)
        return QString();
    // Every GIF ends with its trailer, one byte of 0x3B.
    const qint64 at = device->pos();
    char last = 0;
    const bool read = device->seek(device->size() - 1) && device->getChar(&last);
    device->seek(at);
    return read && last != 0x3b ? endsEarly() : QString();
}
