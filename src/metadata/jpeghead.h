#ifndef JPEGHEAD_H
#define JPEGHEAD_H

#include <QByteArray>
#include <QList>
#include <QSize>

class QIODevice;

// What comes before a JPEG's picture data: the frame header and the
// segments programs keep there. libjpeg walks the segments, and those not
// asked for are skipped by seeking, never read, so a file padded to any
// size costs only what its head holds. What is kept is bounded: past
// keptLimit bytes further segments are skipped and truncated() is set.
class JpegHead
{
public:
    static constexpr qint64 keptLimit = 16 * 1024 * 1024;

    struct Segment
    {
        int marker = 0;  // JPEG_APP0 + n, JPEG_COM
        QByteArray data; // after the length
    };

    // Reads the head of the JPEG on device from its start; the device's
    // position is kept. markers: the segments to keep (APPn, COM).
    // signature, when given: only the first segment whose data starts
    // with it is kept (an "Exif\0\0" APP1 among XMP ones); the others are
    // skipped once their first bytes are seen.
    explicit JpegHead(QIODevice *device, const QList<int> &markers = {},
                      const QByteArray &signature = QByteArray());

    // Whether a frame header was found: false for no JPEG, a broken head,
    // or one that ends before its frame.
    bool isValid() const { return valid; }
    QSize size() const { return frame; }
    int components() const { return componentCount; }
    const QList<Segment> &segments() const { return kept; }
    bool truncated() const { return overLimit; }

private:
    bool valid = false;
    QSize frame;
    int componentCount = 0;
    QList<Segment> kept;
    bool overLimit = false;
};

#endif // JPEGHEAD_H
