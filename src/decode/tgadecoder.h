#ifndef TGADECODER_H
#define TGADECODER_H

#include "decode/filebytesdecoder.h"

// TGA files of every kind the format has: colour-mapped (with a map that
// starts at any index, of 15, 16, 24 or 32-bit entries), true colour of
// 15, 16, 24 or 32 bits, grey of 8 bits or grey and alpha of 16, each
// plain or run-length coded, stored from any corner. 8-bit alpha (of 32-bit
// colours, 16-bit grey) is always read, the alpha bit of 16-bit colours
// where the header gives it meaning (the descriptor's attribute bits). A
// file whose pixels end early, or whose indexes point past its colour map,
// fails.
class TgaDecoder : public FileBytesDecoder
{
public:
    explicit TgaDecoder(QByteArray bytes);

    QByteArray format() const override { return QByteArrayLiteral("tga"); }
    QImage read(QString *errorString) override;

    struct Header
    {
        int idLength = 0;
        int mapType = 0;
        int type = 0;
        int mapFirst = 0;
        int mapLength = 0;
        int mapBits = 0;
        int width = 0;
        int height = 0;
        int depth = 0;
        int descriptor = 0;
    };

private:
    Header header;
};

#endif // TGADECODER_H
