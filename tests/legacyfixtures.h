#ifndef LEGACYFIXTURES_H
#define LEGACYFIXTURES_H

#include <QByteArray>
#include <QImage>
#include <QList>
#include <QtEndian>

#include <functional>

// TGA and BMP files in the layouts other programs write and Qt 6.4's
// readers get wrong, written byte by byte (ImageMagick writes some of them,
// but not 16-bit TGA, RLE4 or odd bit fields), each with the picture it
// holds: the colours after the file's own rounding, so that a reader that
// gets them right matches exactly.
namespace LegacyFixtures {

inline QByteArray le16(quint16 v)
{
    QByteArray b(2, '\0');
    qToLittleEndian(v, b.data());
    return b;
}
inline QByteArray le32(quint32 v)
{
    QByteArray b(4, '\0');
    qToLittleEndian(v, b.data());
    return b;
}

// The picture behind every fixture: colour ramps across and down, a grey
// band, and a dark corner, so that swapped channels, flips and wrong
// scaling all show.
inline QRgb scene(int x, int y, const QSize &size)
{
    const int r = x * 255 / (size.width() - 1);
    const int g = y * 255 / (size.height() - 1);
    if (y >= size.height() * 3 / 4)
        return qRgb(r, r, r);
    if (x < size.width() / 8 && y < size.height() / 8)
        return qRgb(10, 20, 30);
    return qRgb(r, g, 255 - r);
}

// A file and what it holds.
struct Fixture
{
    QByteArray bytes;
    QImage picture;
};

inline int scaled(int v, int bits) // 8-bit v to a bits-wide field
{
    const int max = (1 << bits) - 1;
    return (v * max + 127) / 255;
}
inline int widened(int v, int bits) // back to 8 bits, full range
{
    const int max = (1 << bits) - 1;
    return (v * 255 + max / 2) / max;
}

// The picture made of colours from a palette of 16 or 256 entries: the
// nearest of a fixed set of ramps.
inline QList<QRgb> palette(int colours)
{
    QList<QRgb> table;
    for (int i = 0; i < colours; ++i) {
        const int v = i * 255 / (colours - 1);
        table << (colours == 16 ? qRgb(v, 255 - v, v / 2) : qRgb(v, (i * 37) & 0xff, 255 - v));
    }
    return table;
}
inline int paletteIndex(int x, int y, const QSize &size, int colours)
{
    return (x * colours / size.width() + y) % colours;
}

// --- TGA -------------------------------------------------------------------

enum class TgaKind { TrueColour24, TrueColour32, TrueColour16, ColourMapped, Grey };

// A TGA of size in kind, RLE-compressed or not, stored from the bottom row
// up (as most programs write it) or from the top.
inline Fixture tga(const QSize &size, TgaKind kind, bool rle, bool topDown = false)
{
    const int w = size.width(), h = size.height();
    const QList<QRgb> table = palette(256);
    Fixture f;
    f.picture = QImage(size, QImage::Format_ARGB32);
    const int depth = kind == TgaKind::TrueColour24 ? 24 : kind == TgaKind::TrueColour32 ? 32
                    : kind == TgaKind::TrueColour16 ? 16 : 8;
    int type = kind == TgaKind::ColourMapped ? 1 : kind == TgaKind::Grey ? 3 : 2;
    if (rle)
        type += 8;
    QByteArray header;
    header += char(0);                                        // no id
    header += char(kind == TgaKind::ColourMapped ? 1 : 0);    // colour map
    header += char(type);
    header += le16(0) + le16(kind == TgaKind::ColourMapped ? 256 : 0)
            + char(kind == TgaKind::ColourMapped ? 24 : 0);
    header += le16(0) + le16(0) + le16(quint16(w)) + le16(quint16(h)) + char(depth);
    header += char((kind == TgaKind::TrueColour32 ? 8 : kind == TgaKind::TrueColour16 ? 1 : 0)
                   | (topDown ? 0x20 : 0));
    f.bytes = header;
    if (kind == TgaKind::ColourMapped)
        for (QRgb c : table)
            f.bytes += char(qBlue(c)) + QByteArray(1, char(qGreen(c))) + char(qRed(c));
    // Each pixel as stored, and what it shows.
    const auto pixel = [&](int x, int y, QRgb *shown) {
        const QRgb c = scene(x, y, size);
        QByteArray out;
        switch (kind) {
        case TgaKind::TrueColour24:
            *shown = c;
            out += char(qBlue(c)) + QByteArray(1, char(qGreen(c))) + char(qRed(c));
            break;
        case TgaKind::TrueColour32: {
            const int alpha = x < w / 4 ? 0 : x < w / 2 ? 128 : 255;
            *shown = qRgba(qRed(c), qGreen(c), qBlue(c), alpha);
            out += char(qBlue(c)) + QByteArray(1, char(qGreen(c))) + char(qRed(c)) + char(alpha);
            break;
        }
        case TgaKind::TrueColour16: {
            const int r = scaled(qRed(c), 5), g = scaled(qGreen(c), 5), b = scaled(qBlue(c), 5);
            *shown = qRgb(widened(r, 5), widened(g, 5), widened(b, 5));
            out += le16(quint16(0x8000 | r << 10 | g << 5 | b));
            break;
        }
        case TgaKind::ColourMapped: {
            const int i = paletteIndex(x, y, size, 256);
            *shown = table[i];
            out += char(i);
            break;
        }
        case TgaKind::Grey: {
            const int v = qGray(c);
            *shown = qRgb(v, v, v);
            out += char(v);
            break;
        }
        }
        return out;
    };
    for (int row = 0; row < h; ++row) {
        const int y = topDown ? row : h - 1 - row;
        QList<QByteArray> stored;
        for (int x = 0; x < w; ++x) {
            QRgb shown;
            stored << pixel(x, y, &shown);
            f.picture.setPixel(x, y, shown);
        }
        if (!rle) {
            for (const QByteArray &p : stored)
                f.bytes += p;
            continue;
        }
        // Runs of equal pixels as repeat packets, the rest as raw packets;
        // packets never cross a row, as the format asks.
        for (int x = 0; x < w;) {
            int run = 1;
            while (x + run < w && run < 128 && stored[x + run] == stored[x])
                ++run;
            if (run > 1) {
                f.bytes += char(0x80 | (run - 1)) + stored[x];
                x += run;
                continue;
            }
            int raw = 1;
            while (x + raw < w && raw < 128
                   && (x + raw + 1 >= w || stored[x + raw + 1] != stored[x + raw]))
                ++raw;
            f.bytes += char(raw - 1);
            for (int i = 0; i < raw; ++i)
                f.bytes += stored[x + i];
            x += raw;
        }
    }
    return f;
}

// --- BMP -------------------------------------------------------------------

// A BMP file around an info header of 40 bytes (plus the three masks when
// bit fields are used), a palette and the pixel data. With a longer
// infoSize (108: version 4, 124: version 5) the four masks are part of the
// header, which names sRGB.
inline QByteArray bmpFile(const QSize &size, int depth, int compression, const QByteArray &masks,
                          const QList<QRgb> &colours, const QByteArray &data, int infoSize = 40)
{
    QByteArray palette;
    for (QRgb c : colours)
        palette += char(qBlue(c)) + QByteArray(1, char(qGreen(c))) + char(qRed(c)) + char(0);
    QByteArray header = le32(quint32(infoSize)) + le32(quint32(size.width()))
            + le32(quint32(size.height())) + le16(1) + le16(quint16(depth))
            + le32(quint32(compression)) + le32(quint32(data.size())) + le32(2835) + le32(2835)
            + le32(quint32(colours.size())) + le32(0);
    if (infoSize > 40) {
        header += masks.leftJustified(16, '\0') + le32(0x73524742); // 'sRGB'
        header = header.leftJustified(infoSize, '\0'); // no end points, gamma or profile
    } else {
        header += masks;
    }
    const quint32 offset = quint32(14 + header.size() + palette.size());
    QByteArray out = "BM" + le32(offset + quint32(data.size())) + le32(0) + le32(offset);
    return out + header + palette + data;
}

// A BMP of 16 or 32 bits per pixel whose red, green and blue take the
// widths given, packed from the top bit of the used ones down (so 5-6-5 is
// the usual 16-bit layout); with fields false, 16 bits are the implicit
// 5-5-5 layout with no masks in the file. An alpha of some bits goes above
// red, its mask in a header of infoSize (108 or 124 bytes): transparent in
// the left quarter, half so in the next (as near as its bits come).
inline Fixture bmpChannels(const QSize &size, int depth, int red, int green, int blue,
                           bool fields = true, int alpha = 0, int infoSize = 40)
{
    Fixture f;
    f.picture = QImage(size, alpha ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    const quint32 blueMask = (1u << blue) - 1;
    const quint32 greenMask = ((1u << green) - 1) << blue;
    const quint32 redMask = quint32((quint64(1) << red) - 1) << (green + blue);
    const quint32 alphaMask = quint32(((quint64(1) << alpha) - 1) << (red + green + blue));
    QByteArray data;
    for (int y = size.height() - 1; y >= 0; --y) {
        QByteArray row;
        for (int x = 0; x < size.width(); ++x) {
            const QRgb c = scene(x, y, size);
            const quint32 r = quint32(scaled(qRed(c), red)), g = quint32(scaled(qGreen(c), green)),
                          b = quint32(scaled(qBlue(c), blue));
            const int opacity = x < size.width() / 4 ? 0 : x < size.width() / 2 ? 128 : 255;
            const quint32 a = alpha ? quint32(scaled(opacity, alpha)) : 0;
            f.picture.setPixel(x, y, qRgba(widened(int(r), red), widened(int(g), green),
                                           widened(int(b), blue), alpha ? widened(int(a), alpha) : 255));
            const quint32 v = quint32(quint64(a) << (red + green + blue)) | r << (green + blue)
                    | g << blue | b;
            row += depth == 16 ? le16(quint16(v)) : le32(v);
        }
        while (row.size() % 4)
            row += '\0';
        data += row;
    }
    QByteArray masks = fields ? le32(redMask) + le32(greenMask) + le32(blueMask) : QByteArray();
    if (alpha)
        masks += le32(alphaMask);
    f.bytes = bmpFile(size, depth, fields ? 3 : 0, masks, {}, data, infoSize);
    return f;
}

// A BMP of 4 or 8 bits per pixel with a palette of 16 or 256 colours,
// uncompressed or RLE-compressed (runs of equal indexes, the rest as
// absolute runs, each row closed by an end-of-line).
inline Fixture bmpIndexed(const QSize &size, int depth, bool rle)
{
    const int colours = 1 << depth;
    const QList<QRgb> table = palette(colours);
    Fixture f;
    f.picture = QImage(size, QImage::Format_RGB32);
    QByteArray data;
    for (int y = size.height() - 1; y >= 0; --y) {
        QList<int> index;
        for (int x = 0; x < size.width(); ++x) {
            // Runs of four, so that the compression has something to do.
            index << paletteIndex(x / 4 * 4, y, size, colours);
            f.picture.setPixel(x, y, table[index.last()]);
        }
        QByteArray row;
        if (!rle) {
            for (int x = 0; x < index.size(); x += (depth == 8 ? 1 : 2))
                row += char(depth == 8 ? index[x] : index[x] << 4 | index.value(x + 1));
            while (row.size() % 4)
                row += '\0';
            data += row;
            continue;
        }
        for (int x = 0; x < index.size();) {
            int run = 1;
            while (x + run < index.size() && run < 255 && index[x + run] == index[x])
                ++run;
            if (run >= 3) {
                row += char(run) + QByteArray(1, char(depth == 8 ? index[x] : index[x] << 4 | index[x]));
                x += run;
                continue;
            }
            // An absolute run of at least three pixels, padded to a word.
            const int n = qMin(qMax(3, run), int(index.size()) - x);
            if (n < 3) {
                for (int i = 0; i < n; ++i)
                    row += char(1) + QByteArray(1, char(depth == 8 ? index[x + i] : index[x + i] << 4));
                x += n;
                continue;
            }
            QByteArray packed;
            for (int i = 0; i < n; i += (depth == 8 ? 1 : 2))
                packed += char(depth == 8 ? index[x + i]
                                          : index[x + i] << 4 | (i + 1 < n ? index[x + i + 1] : 0));
            row += char(0) + QByteArray(1, char(n)) + packed;
            if (packed.size() % 2)
                row += '\0';
            x += n;
        }
        data += row + QByteArray("\0\0", 2);
    }
    data += QByteArray("\0\1", 2);
    f.bytes = bmpFile(size, depth, rle ? (depth == 8 ? 1 : 2) : 0, {}, table, data);
    return f;
}

// An 8-bit BMP whose palette holds four colours while its lower half uses
// index 200.
inline QByteArray bmpIndexPastPalette(const QSize &size)
{
    const QList<QRgb> four = {qRgb(255, 0, 0), qRgb(0, 255, 0), qRgb(0, 0, 255), qRgb(255, 255, 0)};
    QByteArray data;
    for (int y = size.height() - 1; y >= 0; --y) {
        QByteArray row;
        for (int x = 0; x < size.width(); ++x)
            row += char(y >= size.height() / 2 ? 200 : x * 4 / size.width());
        while (row.size() % 4)
            row += '\0';
        data += row;
    }
    return bmpFile(size, 8, 0, {}, four, data);
}

// An 8-bit BMP compressed with RLE8: each row a run of its own colour,
// the rows below the middle skipped with a delta escape, the bitmap ended
// early; the skipped pixels are the background (palette entry 0).
inline QByteArray bmpRleSkipping(const QSize &size)
{
    QByteArray palette;
    for (int i = 0; i < 256; ++i)
        palette += QByteArray() + char(i) + char(255 - i) + char((i * 7) & 0xff) + char(0);
    QByteArray data;
    const int w = size.width(), h = size.height();
    for (int y = 0; y < h / 2; ++y) { // bottom-up: the lower half is written
        for (int x = 0; x < w; x += 255)
            data += QByteArray() + char(qMin(255, w - x)) + char(1 + y % 200);
        data += QByteArray("\0\0", 2); // end of line
    }
    data += QByteArray("\0\2\0", 3) + char(1); // move up a row, then
    data += QByteArray() + char(qMin(w, 255) / 2) + char(250);
    data += QByteArray("\0\1", 2); // end of bitmap
    const quint32 offset = 14 + 40 + quint32(palette.size());
    QByteArray file = "BM" + le32(offset + quint32(data.size())) + le32(0) + le32(offset);
    file += le32(40) + le32(quint32(w)) + le32(quint32(h)) + le16(1) + le16(8) + le32(1)
            + le32(quint32(data.size())) + le32(2835) + le32(2835) + le32(256) + le32(0);
    return file + palette + data;
}

} // namespace LegacyFixtures

#endif // LEGACYFIXTURES_H
