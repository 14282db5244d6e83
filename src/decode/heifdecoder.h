#ifndef HEIFDECODER_H
#define HEIFDECODER_H

#include "decode/imagedecoder.h"

#include <QByteArrayView>

#include <memory>

// HEIC/HEIF (phones) and AVIF files through libheif: the primary picture,
// turned by the container's rotation and mirroring (which supersede any
// EXIF orientation inside), in 16 bits a channel when the file stores more
// than 8, with its ICC or nclx colour.
class HeifDecoder : public ImageDecoder
{
public:
    explicit HeifDecoder(QByteArray bytes);
    ~HeifDecoder() override;

    static bool recognizes(QByteArrayView head);

    QByteArray format() const override;
    QSize size() const override;
    QImage read(QString *errorString) override;
    // The file, the decoded planes, their conversion to RGB and the
    // picture, at the size the file will really decode at.
    qint64 decodeBytes() const override;
    QImage preview() override;

    // The metadata blocks the file carries: EXIF from its TIFF header on,
    // and XMP. Empty when there are none.
    QByteArray exif() const;
    QByteArray xmp() const;

private:
    struct Data;
    std::unique_ptr<Data> d;
};

#endif // HEIFDECODER_H
