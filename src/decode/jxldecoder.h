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

private:
    QByteArray bytes;
    QSize shown;
};

#endif // JXLDECODER_H
