#include "decode/tgadecoder.h"

#include <QTest>
#include <QtEndian>

#include <functional>

// TGA layouts as other programs write them: colour maps that start past
// index 0 or hold 16-bit entries, grey with alpha coded in runs, 16-bit
// colour whose alpha bit the header gives no bits, pictures stored from
// the top right. Each is compared pixel for pixel with what it holds.
class tst_TgaDecoder : public QObject
{
    Q_OBJECT

private slots:
    void layouts_data();
    void layouts();
    void faults_data();
    void faults();
};

namespace {

constexpr int W = 8, H = 6;

QByteArray le16(int v)
{
    QByteArray out(2, '\0');
    qToLittleEndian<quint16>(quint16(v), out.data());
    return out;
}

struct Layout
{
    int type = 2;
    int depth = 24;
    int descriptor = 0;
    int mapFirst = 0;
    QList<QByteArray> map; // entries as stored
    int mapBits = 0;
};

// A file of layout whose pixel (x, y) is stored as pixel(x, y); rows go
// bottom up unless the descriptor says top down, columns right to left
// when it says so. With rle, each row is one raw packet of its left half
// and the rest as packets of one pixel repeated once each.
QByteArray tgaFile(const Layout &l, const std::function<QByteArray(int, int)> &pixel)
{
    QByteArray out;
    out += char(0);
    out += char(l.map.isEmpty() ? 0 : 1);
    out += char(l.type);
    out += le16(l.mapFirst) + le16(int(l.map.size())) + char(l.mapBits);
    out += le16(0) + le16(0) + le16(W) + le16(H) + char(l.depth) + char(l.descriptor);
    for (const QByteArray &entry : l.map)
        out += entry;
    const bool rle = l.type & 8;
    for (int row = 0; row < H; ++row) {
        const int y = (l.descriptor & 0x20) ? row : H - 1 - row;
        QList<QByteArray> stored;
        for (int column = 0; column < W; ++column)
            stored << pixel((l.descriptor & 0x10) ? W - 1 - column : column, y);
        if (!rle) {
            for (const QByteArray &p : stored)
                out += p;
            continue;
        }
        out += char(W / 2 - 1);
        for (int i = 0; i < W / 2; ++i)
            out += stored[i];
        for (int i = W / 2; i < W; ++i)
            out += char(0x80) + stored[i];
    }
    return out;
}

QImage pictureOf(const std::function<QRgb(int, int)> &colour)
{
    QImage image(W, H, QImage::Format_ARGB32);
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x)
            image.setPixel(x, y, colour(x, y));
    return image;
}

int widened(int five)
{
    return (five << 3) | (five >> 2);
}

QByteArray bgr(QRgb c)
{
    return QByteArray() + char(qBlue(c)) + char(qGreen(c)) + char(qRed(c));
}

QRgb mapColour(int k)
{
    return qRgb(k * 16, 255 - k * 16, (k * 70) % 256);
}

// Indexes of 8 bits into sixteen 24-bit entries, the first one index 16.
Layout mapFrom16()
{
    Layout l;
    l.type = 1;
    l.depth = 8;
    l.mapFirst = 16;
    l.mapBits = 24;
    for (int k = 0; k < 16; ++k)
        l.map << bgr(mapColour(k));
    return l;
}

} // namespace

void tst_TgaDecoder::layouts_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QImage>("picture");

    // Indexes 16 to 31, into a map whose first entry is index 16.
    QTest::newRow("colour-map-from-index-16.tga")
            << tgaFile(mapFrom16(),
                       [](int x, int y) { return QByteArray(1, char(16 + (x + y) % 16)); })
            << pictureOf([](int x, int y) { return mapColour((x + y) % 16); });
    {
        // Entries of 16 bits: red in bits 10 to 14, blue in the lowest.
        Layout l;
        l.type = 9;
        l.depth = 8;
        l.mapBits = 16;
        l.descriptor = 0x20;
        for (int k = 0; k < 32; ++k)
            l.map << le16(k << 10 | (31 - k) << 5 | (k * 3) % 32);
        QTest::newRow("colour-map-16-bit-entries-rle.tga")
                << tgaFile(l, [](int x, int y) { return QByteArray(1, char((x * 4 + y) % 32)); })
                << pictureOf([](int x, int y) {
                       const int k = (x * 4 + y) % 32;
                       return qRgb(widened(k), widened(31 - k), widened((k * 3) % 32));
                   });
    }
    {
        Layout l;
        l.type = 11;
        l.depth = 16;
        l.descriptor = 8; // eight alpha bits, stored from the bottom left
        QTest::newRow("grey-alpha-rle-bottom-left.tga")
                << tgaFile(l, [](int x, int y) {
                       return QByteArray() + char(y * 40) + char(x < 2 ? 0 : x * 30);
                   })
                << pictureOf([](int x, int y) { return qRgba(y * 40, y * 40, y * 40, x < 2 ? 0 : x * 30); });
    }
    {
        // The attribute bits give the alpha bit no meaning: opaque.
        Layout l;
        l.type = 2;
        l.depth = 16;
        QTest::newRow("truecolour-16-no-alpha-bits.tga")
                << tgaFile(l, [](int x, int y) { return le16(x * 4 << 10 | y * 5 << 5 | (x + y)); })
                << pictureOf([](int x, int y) {
                       return qRgb(widened(x * 4), widened(y * 5), widened(x + y));
                   });
    }
    {
        // Writers leave the attribute bits 0 on 32-bit files with alpha.
        Layout l;
        l.type = 2;
        l.depth = 32;
        QTest::newRow("truecolour-32-no-attribute-bits.tga")
                << tgaFile(l, [](int x, int y) { return bgr(qRgb(x * 30, y * 40, 100)) + char(x * 36); })
                << pictureOf([](int x, int y) { return qRgba(x * 30, y * 40, 100, x * 36); });
    }
    {
        Layout l;
        l.type = 10;
        l.depth = 32;
        l.descriptor = 0x38; // eight alpha bits, from the top right
        QTest::newRow("truecolour-32-rle-top-right.tga")
                << tgaFile(l, [](int x, int y) {
                       return bgr(qRgb(x * 30, y * 40, 100)) + char(x * 32 + 31);
                   })
                << pictureOf([](int x, int y) { return qRgba(x * 30, y * 40, 100, x * 32 + 31); });
    }
}

void tst_TgaDecoder::layouts()
{
    QFETCH(QByteArray, file);
    QFETCH(QImage, picture);

    TgaDecoder decoder(file);
    QVERIFY2(decoder.isValid(), qPrintable(decoder.errorString()));
    QCOMPARE(decoder.size(), QSize(W, H));
    QString why;
    const QImage image = decoder.read(&why);
    QVERIFY2(!image.isNull(), qPrintable(why));
    const QImage got = image.convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < H; ++y) {
        for (int x = 0; x < W; ++x) {
            const QRgb want = picture.pixel(x, y);
            const QRgb have = got.pixel(x, y);
            // A transparent pixel's colour is not seen.
            if (qAlpha(want) == 0 && qAlpha(have) == 0)
                continue;
            QVERIFY2(have == want, qPrintable(QStringLiteral("at %1,%2: %3, not %4")
                                                      .arg(x).arg(y)
                                                      .arg(have, 8, 16, QLatin1Char('0'))
                                                      .arg(want, 8, 16, QLatin1Char('0'))));
        }
    }
}

void tst_TgaDecoder::faults_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("reason");

    const Layout l = mapFrom16();
    const QByteArray whole = tgaFile(l, [](int x, int) { return QByteArray(1, char(16 + x)); });
    QTest::newRow("index-below-map-start.tga")
            << tgaFile(l, [](int x, int) { return QByteArray(1, char(x)); })
            << QStringLiteral("damaged file (colour indexes past the colour map)");
    QTest::newRow("pixels-cut-short.tga") << whole.left(whole.size() - 5)
                                          << QStringLiteral("damaged file (data ends early)");
    QTest::newRow("map-cut-short.tga") << whole.left(18 + 20)
                                       << QStringLiteral("damaged file (data ends early)");
}

void tst_TgaDecoder::faults()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, reason);

    TgaDecoder decoder(file);
    QVERIFY(decoder.isValid());
    QString why;
    QVERIFY(decoder.read(&why).isNull());
    QCOMPARE(why, reason);
}

QTEST_MAIN(tst_TgaDecoder)
#include "tst_tgadecoder.moc"
