#include "decode/tgadecoder.h"

#include "base/imagelimits.h"

#include <QColorSpace>
#include <QCoreApplication>
#include <QList>
#include <QtEndian>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("TgaDecoder", text);
}

enum Type { Mapped = 1, TrueColour = 2, Grey = 3, RleFlag = 8 };

int bytesOf(int bits)
{
    return (bits + 7) / 8;
}

// A colour of 15 or 16 bits (A RRRRR GGGGG BBBBB, little-endian), each
// channel widened to 8 bits so that full stays full.
QRgb fromSixteen(quint16 v, bool alpha)
{
    const auto widen = [](int c) { return (c << 3) | (c >> 2); };
    return qRgba(widen((v >> 10) & 31), widen((v >> 5) & 31), widen(v & 31),
                 alpha ? ((v & 0x8000) ? 255 : 0) : 255);
}

// One colour as stored in bits (15, 16, 24 or 32; blue first). A 32-bit
// colour's fourth byte is its alpha whatever the header says (writers
// leave the attribute bits 0); a 16-bit one's top bit only when alpha
// says the header gives it meaning.
QRgb colourOf(const uchar *p, int bits, bool alpha)
{
    if (bits <= 16)
        return fromSixteen(qFromLittleEndian<quint16>(p), alpha && bits == 16);
    return qRgba(p[2], p[1], p[0], bits == 32 ? p[3] : 255);
}

bool validHeader(const TgaDecoder::Header &h)
{
    const int kind = h.type & ~RleFlag;
    const bool colourDepth = h.depth == 15 || h.depth == 16 || h.depth == 24 || h.depth == 32;
    const bool mapBits = h.mapBits == 15 || h.mapBits == 16 || h.mapBits == 24 || h.mapBits == 32;
    if (h.width <= 0 || h.height <= 0 || h.mapType > 1 || (h.mapType == 1 && !mapBits && h.mapLength > 0))
        return false;
    switch (kind) {
    case Mapped:
        return h.mapType == 1 && h.mapLength > 0 && (h.depth == 8 || h.depth == 16);
    case TrueColour:
        return colourDepth;
    case Grey:
        return h.depth == 8 || h.depth == 16;
    default:
        return false;
    }
}

// Reads the pixels of a file, plain or in packets, as they are stored.
struct PixelStream
{
    PixelStream(const uchar *from, const uchar *to, int pixelBytes, bool runs)
        : at(from), end(to), size(pixelBytes), rle(runs)
    {
    }

    const uchar *at;
    const uchar *end;
    int size; // bytes a pixel
    bool rle;
    int left = 0; // of the current packet
    bool repeat = false;

    // The next pixel's bytes; null when the file ends first.
    const uchar *next()
    {
        if (!rle)
            return take();
        if (left == 0) {
            if (at >= end)
                return nullptr;
            const uchar packet = *at++;
            left = (packet & 0x7f) + 1;
            repeat = packet & 0x80;
            if (repeat) {
                last = take();
                if (!last)
                    return nullptr;
            }
        }
        --left;
        return repeat ? last : take();
    }

private:
    const uchar *last = nullptr;
    const uchar *take()
    {
        if (end - at < size)
            return nullptr;
        const uchar *p = at;
        at += size;
        return p;
    }
};

} // namespace

TgaDecoder::TgaDecoder(QByteArray fileBytes)
    : FileBytesDecoder(std::move(fileBytes))
{
    const auto *b = reinterpret_cast<const uchar *>(bytes.constData());
    if (bytes.size() < 18) {
        error = tr("damaged file (no picture size)");
        return;
    }
    header.idLength = b[0];
    header.mapType = b[1];
    header.type = b[2];
    header.mapFirst = qFromLittleEndian<quint16>(b + 3);
    header.mapLength = qFromLittleEndian<quint16>(b + 5);
    header.mapBits = b[7];
    header.width = qFromLittleEndian<quint16>(b + 12);
    header.height = qFromLittleEndian<quint16>(b + 14);
    header.depth = b[16];
    header.descriptor = b[17];
    if (!validHeader(header)) {
        error = tr("damaged file (not a TGA picture this program knows)");
        return;
    }
    shown = QSize(header.width, header.height);
    cost = ImageLimits::plus(bytes.size(), ImageLimits::bytesFor(shown));
}

QImage TgaDecoder::read(QString *errorString)
{
    if (!isValid())
        return failed(errorString, error);
    if (!admits(shown, cost, errorString))
        return QImage();
    const Header &h = header;
    const auto *b = reinterpret_cast<const uchar *>(bytes.constData());
    const uchar *end = b + bytes.size();
    const int kind = h.type & ~RleFlag;
    // Whether the header gives the 16-bit colours' top bit meaning.
    const bool alpha = (h.descriptor & 0x0f) != 0;
    const bool alphaChannel = alpha || (kind == Mapped ? h.mapBits == 32 : h.depth == 32)
            || (kind == Grey && h.depth == 16);

    // The colour map, which may start at any index; present (and skipped)
    // in files of other kinds too.
    const uchar *at = b + 18 + h.idLength;
    QList<QRgb> map;
    if (h.mapType == 1) {
        const int entry = bytesOf(h.mapBits);
        if (end - at < qint64(h.mapLength) * entry)
            return failed(errorString, tr("damaged file (data ends early)"));
        if (kind == Mapped) {
            map.reserve(h.mapLength);
            for (int i = 0; i < h.mapLength; ++i)
                map << colourOf(at + qsizetype(i) * entry, h.mapBits, alpha);
        }
        at += qsizetype(h.mapLength) * entry;
    }

    QImage image(shown, alphaChannel ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    if (image.isNull())
        return failed(errorString, ImageLimits::outOfMemory());
    PixelStream pixels(at, end, bytesOf(h.depth), (h.type & RleFlag) != 0);
    const bool fromTop = h.descriptor & 0x20;
    const bool fromRight = h.descriptor & 0x10;
    for (int row = 0; row < h.height; ++row) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(fromTop ? row : h.height - 1 - row));
        for (int column = 0; column < h.width; ++column) {
            const uchar *p = pixels.next();
            if (!p)
                return failed(errorString, tr("damaged file (data ends early)"));
            QRgb colour;
            if (kind == Mapped) {
                const int index = (h.depth == 8 ? p[0] : qFromLittleEndian<quint16>(p)) - h.mapFirst;
                if (index < 0 || index >= map.size()) {
                    return failed(errorString,
                                  tr("damaged file (colour indexes past the colour map)"));
                }
                colour = map.at(index);
            } else if (kind == Grey) {
                colour = qRgba(p[0], p[0], p[0], h.depth == 16 ? p[1] : 255);
            } else {
                colour = colourOf(p, h.depth, alpha);
            }
            line[fromRight ? h.width - 1 - column : column] = colour;
        }
    }
    image.setColorSpace(QColorSpace::SRgb);
    return image;
}
