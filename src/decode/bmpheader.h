#ifndef BMPHEADER_H
#define BMPHEADER_H

#include <QByteArray>

// The few fields of a BMP's header that PixbufDecoder checks its loader's
// work against: how its colours are stored and where its rows are.
struct BmpHeader
{
    BmpHeader() = default;
    // All zero when bytes are not a BMP with an info header of 40 bytes or
    // more (the old 12-byte header has neither short palettes nor fields).
    explicit BmpHeader(const QByteArray &bytes);

    int depth = 0;          // bits per pixel
    int paletteColours = 0; // entries the palette holds
    int paletteOffset = 0;  // where they start, 4 bytes each
    // Bit fields (16 or 32 bits per pixel): each channel's width in bits.
    bool bitFields = false;
    int redBits = 0, greenBits = 0, blueBits = 0, alphaBits = 0;
    quint32 alphaMask = 0; // from a header of version 4 or later
    // Where the pixels are: rows of width pixels from dataOffset, each
    // padded to four bytes, the bottom one first unless topDown.
    qint64 dataOffset = 0;
    int width = 0, height = 0;
    bool topDown = false;
    bool runLength = false; // RLE8 or RLE4

    // Whether the palette holds fewer colours than the indexes can name.
    bool paletteShort() const
    {
        return depth >= 1 && depth <= 8 && paletteColours > 0 && paletteColours < (1 << depth);
    }
};

#endif // BMPHEADER_H
