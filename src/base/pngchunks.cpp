#include "base/pngchunks.h"

#include <QIODevice>
#include <QtEndian>

#include <zlib.h>

#include <cstring>

namespace {

constexpr char signature[] = "\x89PNG\r\n\x1a\n";

} // namespace

PngChunks::PngChunks(QByteArrayView bytes)
    : bytes(bytes), size(bytes.size())
{
    png = bytes.startsWith(QByteArrayView(signature, signatureBytes));
}

PngChunks::PngChunks(QIODevice *device)
    : device(device)
{
    if (!device || !device->isOpen() || device->isSequential())
        return;
    size = device->size();
    char head[signatureBytes];
    png = readAt(0, head, signatureBytes) && std::memcmp(head, signature, signatureBytes) == 0;
}

bool PngChunks::readAt(qint64 from, char *into, qint64 length) const
{
    if (from < 0 || length > size - from)
        return false;
    if (!device) {
        std::memcpy(into, bytes.data() + from, size_t(length));
        return true;
    }
    return device->seek(from) && device->read(into, length) == length;
}

bool PngChunks::next(Chunk *chunk)
{
    char head[headBytes];
    if (!png || ended || !readAt(at, head, headBytes))
        return false;
    const qint64 length = qFromBigEndian<quint32>(head);
    if (length > maxLength) {
        ended = true;
        return false;
    }
    chunk->at = at;
    chunk->length = length;
    chunk->type = qFromBigEndian<quint32>(head + 4);
    chunk->whole = chunk->end() <= size;
    ended = chunk->type == tag("IEND") || !chunk->whole;
    at = chunk->end();
    return true;
}

QByteArray PngChunks::make(QByteArrayView type, QByteArrayView data)
{
    Q_ASSERT(type.size() == 4);
    QByteArray chunk(4, Qt::Uninitialized);
    qToBigEndian<quint32>(quint32(data.size()), chunk.data());
    chunk += type.first(4);
    chunk += data;
    const auto crc = quint32(::crc32(::crc32(0, nullptr, 0),
                                     reinterpret_cast<const Bytef *>(chunk.constData() + 4),
                                     uInt(chunk.size() - 4)));
    char sum[checksumBytes];
    qToBigEndian<quint32>(crc, sum);
    chunk.append(sum, checksumBytes);
    return chunk;
}
