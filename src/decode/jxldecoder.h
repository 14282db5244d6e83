#ifndef JXLDECODER_H
#define JXLDECODER_H

#include "decode/imagedecoder.h"

#include <QByteArrayView>

// JPEG XL files through libjxl, upright as their orientation says, in 16
// bits a channel when they store more than 8, with their colour profile.
class JpegXlDecoder : public ImageDecoder
{
public:
    explicit JpegXlDecoder(QByteArray bytes);

    static bool recognizes(QByteArrayView head);

    QByteArray format() const override { return QByteArrayLiteral("jxl"); }
    QSize size() const override { return shown; }
    QImage read(QString *errorString) override;
    // The file, the picture (8 or 16 bits a sample, as read() makes it)
    // and libjxl's own planes of 32-bit samples while it decodes.
    qint64 decodeBytes() const override { return cost; }

private:
    QByteArray bytes;
    QSize shown;
    qint64 cost = 0;
};

#endif // JXLDECODER_H
