#ifndef FILEBYTESDECODER_H
#define FILEBYTESDECODER_H

#include "decode/imagedecoder.h"

#include <utility>

// A decoder that holds the whole file and reads its header in its
// constructor: what the picture looks like and what decoding it will take
// are known before read(). The libraries behind these (libtiff, libjxl)
// read from memory.
class FileBytesDecoder : public ImageDecoder
{
public:
    QSize size() const override { return shown; }
    qint64 decodeBytes() const override { return cost; }

protected:
    explicit FileBytesDecoder(QByteArray fileBytes) : bytes(std::move(fileBytes)) {}

    QByteArray bytes;
    // As the picture appears: turned as the file says.
    QSize shown;
    // What decodeBytes() answers, counted by the constructor.
    qint64 cost = 0;
};

#endif // FILEBYTESDECODER_H
