#ifndef PNGCHUNKS_H
#define PNGCHUNKS_H

#include <QByteArray>
#include <QByteArrayView>

class QIODevice;

// The chunk list of a PNG file, walked as libpng meets it: each chunk's
// place, type and length, read with small reads, never its data. The walk
// stops after the end chunk (IEND), at a length no PNG may have (2^31 or
// more) and where not even a chunk's length and type are left. A chunk
// cut short by the end of the file is still listed (whole() tells); the
// next one is not looked for. Checksums are not checked: the readers
// decide what a bad one costs.
class PngChunks
{
public:
    struct Chunk
    {
        qint64 at = 0;     // of its length field, from the file's start
        qint64 length = 0; // of its data, as the file gives it
        quint32 type = 0;  // the four letters, big-endian: tag("IDAT")
        bool whole = false; // its data and checksum are all in the file

        qint64 dataAt() const { return at + headBytes; }
        qint64 end() const { return at + headBytes + length + checksumBytes; }
    };

    static constexpr qint64 signatureBytes = 8;
    static constexpr qint64 headBytes = 8; // a chunk's length and type
    static constexpr qint64 checksumBytes = 4;
    static constexpr qint64 maxLength = 0x7fffffff;

    static constexpr quint32 tag(const char (&name)[5])
    {
        return quint32(uchar(name[0])) << 24 | quint32(uchar(name[1])) << 16
                | quint32(uchar(name[2])) << 8 | quint32(uchar(name[3]));
    }

    // Walks bytes, which must outlive the walker.
    explicit PngChunks(QByteArrayView bytes);
    // Walks a random-access device from its start; its position moves.
    explicit PngChunks(QIODevice *device);

    // The bytes start with the PNG signature; without it there are no chunks.
    bool isPng() const { return png; }
    // The next chunk into chunk, or false at the end of the walk.
    bool next(Chunk *chunk);

    // A whole chunk: its length, type (four letters), data and the CRC-32
    // of type and data.
    static QByteArray make(QByteArrayView type, QByteArrayView data);

private:
    bool readAt(qint64 at, char *into, qint64 length) const;

    QByteArrayView bytes;
    QIODevice *device = nullptr;
    qint64 size = 0;
    qint64 at = signatureBytes;
    bool png = false;
    bool ended = false;
};

#endif // PNGCHUNKS_H
