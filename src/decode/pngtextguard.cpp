#include "decode/pngtextguard.h"

#include "base/pngchunks.h"

#include <QIODevice>
#include <QImageReader>

#include <zlib.h>

#include <cstring>

namespace {

bool readAt(QIODevice *device, qint64 at, char *into, qint64 length)
{
    return device->seek(at) && device->read(into, length) == length;
}

// The bytes of a zlib stream of at most length bytes from at, once
// inflated, counted up to a little past allowance; the output goes to a
// scratch buffer, so memory stays constant.
qint64 inflatedSize(QIODevice *device, qint64 at, qint64 length, qint64 allowance)
{
    z_stream stream;
    std::memset(&stream, 0, sizeof stream);
    if (inflateInit(&stream) != Z_OK)
        return 0;
    constexpr qint64 piece = 16 * 1024;
    char input[piece];
    char output[piece];
    qint64 total = 0;
    int status = Z_OK;
    while (status == Z_OK && length > 0 && total <= allowance) {
        const qint64 n = qMin(piece, length);
        if (!readAt(device, at, input, n))
            break;
        at += n;
        length -= n;
        stream.next_in = reinterpret_cast<Bytef *>(input);
        stream.avail_in = uInt(n);
        do {
            stream.next_out = reinterpret_cast<Bytef *>(output);
            stream.avail_out = uInt(piece);
            status = inflate(&stream, Z_NO_FLUSH);
            total += piece - stream.avail_out;
        } while (status == Z_OK && stream.avail_out == 0 && total <= allowance);
    }
    inflateEnd(&stream);
    return total;
}

// Reads as the device it wraps with some byte ranges left out.
class FilteredDevice : public QIODevice
{
public:
    struct Piece
    {
        qint64 from; // where in the source
        qint64 length;
    };

    FilteredDevice(QIODevice *source, QList<Piece> pieces, QObject *parent)
        : QIODevice(parent), source(source), pieces(std::move(pieces))
    {
        for (const Piece &p : std::as_const(this->pieces))
            total += p.length;
        open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    }

    bool isSequential() const override { return false; }
    qint64 size() const override { return total; }
    bool seek(qint64 pos) override
    {
        if (pos < 0 || pos > total || !QIODevice::seek(pos))
            return false;
        at = pos;
        return true;
    }

protected:
    qint64 readData(char *data, qint64 maxSize) override
    {
        qint64 done = 0;
        qint64 start = 0; // of the current piece, in this device
        for (const Piece &p : std::as_const(pieces)) {
            if (done == maxSize)
                break;
            if (at >= start + p.length) {
                start += p.length;
                continue;
            }
            const qint64 offset = at - start;
            const qint64 n = qMin(maxSize - done, p.length - offset);
            if (!source->seek(p.from + offset))
                return done > 0 ? done : -1;
            const qint64 got = source->read(data + done, n);
            if (got <= 0)
                return done > 0 ? done : -1;
            done += got;
            at += got;
            if (got < n)
                break;
            start += p.length;
        }
        return done;
    }
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    QIODevice *source;
    QList<Piece> pieces;
    qint64 total = 0;
    qint64 at = 0;
};

} // namespace

PngTextGuard::PngTextGuard(QIODevice *device)
    : device(device)
{
    if (!device || !device->isOpen() || device->isSequential())
        return;
    const qint64 was = device->pos();
    fileSize = device->size();
    PngChunks chunks(device);
    png = chunks.isPng();
    qint64 text = 0;
    // The chunks as libpng meets them. Past the bound the text chunks are
    // only listed, for withoutText().
    PngChunks::Chunk chunk;
    while (chunks.next(&chunk)) {
        if (chunk.type == PngChunks::tag("tEXt") || chunk.type == PngChunks::tag("zTXt")
            || chunk.type == PngChunks::tag("iTXt")) {
            textChunks.append({chunk.at, qMin(chunk.end(), fileSize) - chunk.at});
            if (!overBound) {
                text += measure(chunk.dataAt(), chunk.type,
                                qMin(chunk.length, fileSize - chunk.dataAt()), maxTextBytes - text);
                overBound = text > maxTextBytes || textChunks.size() > maxTextChunks;
            }
        }
    }
    device->seek(was);
}

qint64 PngTextGuard::measure(qint64 at, quint32 type, qint64 length, qint64 allowance) const
{
    if (type == PngChunks::tag("tEXt") || length <= 0)
        return length;
    // The keyword and, in an international text, a flag, the method, a
    // language tag and a translated keyword come first, uncompressed.
    const qint64 prefixLength = qMin<qint64>(length, 4096);
    QByteArray prefix(prefixLength, Qt::Uninitialized);
    if (!readAt(device, at, prefix.data(), prefixLength))
        return length;
    qsizetype start = prefix.indexOf('\0');
    bool compressed = true;
    if (start >= 0 && type == PngChunks::tag("iTXt")) {
        compressed = start + 1 < prefix.size() && prefix.at(start + 1) != 0;
        start = prefix.indexOf('\0', start + 3); // past flag and method: the language
        if (start >= 0)
            start = prefix.indexOf('\0', start + 1); // the translated keyword
        if (start >= 0)
            ++start;
    } else if (start >= 0) {
        start += 2; // past the method
    }
    // Not laid out as text should be: counted at its length.
    if (start < 0 || start > length)
        return length;
    if (!compressed)
        return length;
    return start + inflatedSize(device, at + start, length - start, allowance - start);
}

QIODevice *PngTextGuard::withoutText(QObject *parent) const
{
    QList<FilteredDevice::Piece> kept;
    qint64 from = 0;
    for (const Range &r : textChunks) {
        if (r.at > from)
            kept.append({from, r.at - from});
        from = r.at + r.length;
    }
    if (fileSize > from)
        kept.append({from, fileSize - from});
    return new FilteredDevice(device, kept, parent);
}

void PngTextGuard::protect(QImageReader &reader)
{
    QIODevice *source = reader.device();
    if (!source)
        return;
    const PngTextGuard guard(source);
    if (guard.tooMuchText())
        reader.setDevice(guard.withoutText(source));
}
