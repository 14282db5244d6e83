#ifndef PNGTEXTGUARD_H
#define PNGTEXTGUARD_H

#include <QList>

class QIODevice;
class QImageReader;
class QObject;

// Measures the text a PNG carries before anything decodes it. Qt's reader
// inflates every compressed text chunk (zTXt, iTXt; libpng allows 8 MB each
// and a thousand of them) and keeps the texts with the image, outside any
// check of the image's size: a file of a few kilobytes can cost gigabytes.
// The guard walks the chunk list with small reads and measures compressed
// texts by inflating them into a scratch buffer, stopping as soon as the
// bound is passed, so its own cost is bounded whatever the file claims.
class PngTextGuard
{
public:
    // The text one image may bring along: far more than any real file
    // needs (its metadata is read apart, by the metadata library).
    static constexpr qint64 maxTextBytes = 1024 * 1024;
    static constexpr int maxTextChunks = 256;

    // Walks the PNG on device from its start; the device's position is
    // left where it was. A device that holds no PNG is not read further.
    explicit PngTextGuard(QIODevice *device);

    bool isPng() const { return png; }
    // More text, once inflated, or more text chunks than the bounds above.
    bool tooMuchText() const { return overBound; }

    // A device that reads as the PNG without its text chunks, and that
    // lives as long as parent; the source device is read as needed.
    QIODevice *withoutText(QObject *parent) const;

    // Gives the reader the PNG without its text chunks when its text is
    // too much; other files are left as they are. To be called before the
    // reader reads anything, the header included: reading the size reads
    // the text chunks before the first picture data.
    static void protect(QImageReader &reader);

private:
    qint64 measure(qint64 at, quint32 type, qint64 length, qint64 allowance) const;

    QIODevice *device;
    bool png = false;
    bool overBound = false;
    qint64 fileSize = 0;
    // The text chunks, whole (length, type, data and checksum), in order.
    struct Range
    {
        qint64 at;
        qint64 length;
    };
    QList<Range> textChunks;
};

#endif // PNGTEXTGUARD_H
