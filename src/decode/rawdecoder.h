#ifndef RAWDECODER_H
#define RAWDECODER_H

#include "decode/imagedecoder.h"

#include <QByteArrayView>

#include <memory>

class LibRaw;
class RawStream;

// Camera RAW files (DNG, CR2, NEF, ARW, RAF, ORF, RW2, PEF and the others
// libraw knows), developed with the camera's white balance into sRGB, at
// half size when that is still as large as wanted. The small preview such
// files carry serves for list thumbnails only: a RAW picture that cannot be
// developed fails, whatever preview it has.
class RawDecoder : public ImageDecoder
{
public:
    // Valid when libraw takes the file for a camera RAW; a plain TIFF
    // is not one.
    explicit RawDecoder(QByteArray bytes);
    ~RawDecoder() override;

    // The signature of a RAW format that is not TIFF-based (ORF, RW2,
    // RAF, CRW, CR3; others only libraw itself tells), or a TIFF
    // header (which may be a DNG, NEF, CR2, ARW or PEF; only the decoder
    // made of the whole file can tell).
    static bool recognizes(QByteArrayView head);

    QByteArray format() const override { return QByteArrayLiteral("raw"); }
    QSize size() const override;
    bool canScale() const override { return true; }
    void setScaledSize(const QSize &size) override { scaledSize = size; }
    QImage read(QString *errorString) override;
    // The file, the sensor data, libraw's working picture of four 16-bit
    // samples a pixel and its 8-bit RGB copy: about 13 bytes a pixel.
    qint64 decodeBytes() const override;
    QImage preview() override;

private:
    QByteArray bytes;
    std::unique_ptr<RawStream> stream; // read by raw, so outlives it
    std::unique_ptr<LibRaw> raw;
    QSize scaledSize;
};

#endif // RAWDECODER_H
