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
    if (!device || format != "gif" || device->size() < 1)
        return QString();
    // Every GIF ends with its trailer, one byte of 0x3B.
    const qint64 at = device->pos();
    char last = 0;
    const bool read = device->seek(device->size() - 1) && device->getChar(&last);
    device->seek(at);
    if (read && last != 0x3b) {
        return QCoreApplication::translate("FileCompleteness",
                                           "the file ends early: part of the picture may be "
                                           "missing");
    }
    return QString();
}
