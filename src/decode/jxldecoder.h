#ifndef JXLDECODER_H
#define JXLDECODER_H

#include "decode/filebytesdecoder.h"

#include <QByteArrayView>

// JPEG XL files through libjxl, upright as their orientation says, in 16
// bits a channel when they store more than 8, with their colour profile.
class JpegXlDecoder : public FileBytesDecoder
{
public:
    explicit JpegXlDecoder(QByteArray bytes);

    static bool recognizes(QByteArrayView head);

    QByteArray format() const override { return QByteArrayLiteral("jxl"); }
    QImage read(QString *errorString) override;

    // decodeBytes() counts the file, the picture (8 or 16 bits a sample, as read() makes it)
    // and libjxl's own planes of 32-bit samples while it decodes.
};

#endif // JXLDECODER_H
