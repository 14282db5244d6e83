#include "decode/bmpheader.h"

#include <QtEndian>

#include <QtAlgorithms>

#include <climits>

BmpHeader::BmpHeader(const QByteArray &bytes)
{
    constexpr int fileHeader = 14;
    if (bytes.size() < fileHeader + 40 || !bytes.startsWith("BM"))
        return;
    const auto *h = reinterpret_cast<const uchar *>(bytes.constData());
    const quint32 infoSize = qFromLittleEndian<quint32>(h + fileHeader);
    if (infoSize < 40 || infoSize > 1024)
        return;
    const int bits = qFromLittleEndian<quint16>(h + fileHeader + 14);
    const quint32 compression = qFromLittleEndian<quint32>(h + fileHeader + 16);
    const quint32 used = qFromLittleEndian<quint32>(h + fileHeader + 32);
    depth = bits;
    runLength = compression == 1 || compression == 2;
    dataOffset = qFromLittleEndian<quint32>(h + 10);
    const qint32 signedHeight = qFromLittleEndian<qint32>(h + fileHeader + 8);
    width = qFromLittleEndian<qint32>(h + fileHeader + 4);
    topDown = signedHeight < 0;
    height = signedHeight == INT_MIN ? 0 : qAbs(signedHeight);
    if (bits <= 8) {
        const qint64 offset = fileHeader + qint64(infoSize);
        // A palette said to run past the file is the loader's to refuse.
        if (used <= 256 && offset + 4 * qint64(used) <= bytes.size()) {
            paletteColours = int(used);
            paletteOffset = int(offset);
        }
    }
    constexpr quint32 biBitfields = 3;
    if (compression == biBitfields && (bits == 16 || bits == 32)
        && bytes.size() >= fileHeader + 40 + 16) {
        // The masks follow a 40-byte header, or are part of a longer one:
        // either way at the same place.
        const uchar *masks = h + fileHeader + 40;
        redBits = qPopulationCount(qFromLittleEndian<quint32>(masks));
        greenBits = qPopulationCount(qFromLittleEndian<quint32>(masks + 4));
        blueBits = qPopulationCount(qFromLittleEndian<quint32>(masks + 8));
        if (infoSize >= 56) {
            alphaMask = qFromLittleEndian<quint32>(masks + 12);
            alphaBits = qPopulationCount(alphaMask);
        }
        // The loader falls back to its own layout when a mask is empty.
        bitFields = redBits && greenBits && blueBits;
    }
}
