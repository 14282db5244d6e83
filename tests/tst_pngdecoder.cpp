#include "decode/pngdecoder.h"

#include "base/pngchunks.h"
#include "realfixtures.h"

#include <QTest>

#include <zlib.h>

#include <algorithm>

// PNG files the decoder reads itself (their own gamma, primaries, a 16-bit
// transparent colour), stored interlaced (Adam7) as well as row by row:
// both must come out alike.
class tst_PngDecoder : public QObject
{
    Q_OBJECT

private slots:
    void interlacedLikeRows_data();
    void interlacedLikeRows();
};

namespace {

using RealFixtures::be16;
using RealFixtures::be32;

// A 16-bit PNG of picture (colour type 2, RGB, or 6, RGBA), stored in
// Adam7's seven passes, with the chunks given before the picture data.
QByteArray interlacedPng(const QImage &picture, int colourType, const QByteArrayList &chunks)
{
    static constexpr int passes[7][4] = {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4},
                                         {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}};
    const QImage rgba = picture.convertToFormat(QImage::Format_RGBA64);
    const int channels = colourType == 6 ? 4 : 3;
    QByteArray raw;
    for (const auto &pass : passes) {
        if (pass[0] >= rgba.width())
            continue;
        for (int y = pass[1]; y < rgba.height(); y += pass[3]) {
            raw.append(char(0)); // no filter
            const auto *line = reinterpret_cast<const quint16 *>(rgba.constScanLine(y));
            for (int x = pass[0]; x < rgba.width(); x += pass[2]) {
                for (int c = 0; c < channels; ++c)
                    raw += be16(line[4 * x + c]);
            }
        }
    }
    uLongf packedSize = compressBound(uLong(raw.size()));
    QByteArray packed(qsizetype(packedSize), Qt::Uninitialized);
    compress(reinterpret_cast<Bytef *>(packed.data()), &packedSize,
             reinterpret_cast<const Bytef *>(raw.constData()), uLong(raw.size()));
    packed.truncate(qsizetype(packedSize));
    QByteArray file("\x89PNG\r\n\x1a\n", 8);
    file += PngChunks::make("IHDR", be32(quint32(picture.width())) + be32(quint32(picture.height()))
                                     + char(16) + char(colourType) + QByteArray(2, '\0')
                                     + char(1));
    for (const QByteArray &chunk : chunks)
        file += chunk;
    file += PngChunks::make("IDAT", packed);
    file += PngChunks::make("IEND", QByteArray());
    return file;
}

QImage colourful(int w, int h, bool alpha)
{
    QImage image(w, h, QImage::Format_RGBA64);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            image.setPixelColor(x, y, QColor::fromRgba64(quint16(x * 65535 / (w - 1)),
                                                         quint16(y * 65535 / (h - 1)),
                                                         quint16(((x + y) * 4000) % 65536),
                                                         alpha ? quint16(20000 + x * 1000) : 65535));
        }
    }
    return image;
}

QImage decoded(const QByteArray &file)
{
    PngDecoder decoder(file);
    QString why;
    const QImage image = decoder.read(&why);
    if (image.isNull())
        qWarning() << "not decoded:" << why;
    return image.convertToFormat(QImage::Format_ARGB32);
}

// The largest difference of one channel between two pictures.
int largestDifference(const QImage &a, const QImage &b)
{
    int largest = 0;
    for (int y = 0; y < a.height(); ++y) {
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
            largest = std::max({largest, qAbs(qRed(p) - qRed(q)), qAbs(qGreen(p) - qGreen(q)),
                                qAbs(qBlue(p) - qBlue(q)), qAbs(qAlpha(p) - qAlpha(q))});
        }
    }
    return largest;
}

} // namespace

void tst_PngDecoder::interlacedLikeRows_data()
{
    QTest::addColumn<int>("colourType");
    QTest::addColumn<QByteArrayList>("chunks");

    const QByteArray linear = PngChunks::make("gAMA", be32(100000));
    const QByteArray dark = PngChunks::make("gAMA", be32(30000));
    QTest::newRow("RGB, gamma 1.0") << 2 << QByteArrayList{linear};
    QTest::newRow("RGBA, gamma 1.0") << 6 << QByteArrayList{linear};
    QTest::newRow("RGB, gamma 0.3") << 2 << QByteArrayList{dark};
    QTest::newRow("RGB, transparent colour")
            << 2 << QByteArrayList{PngChunks::make("tRNS", be16(0) + be16(0) + be16(0))};
}

void tst_PngDecoder::interlacedLikeRows()
{
    QFETCH(int, colourType);
    QFETCH(QByteArrayList, chunks);

    const QImage picture = colourful(32, 32, colourType == 6);
    const QByteArray rows = RealFixtures::png(picture, colourType, 16, chunks);
    const QByteArray passes = interlacedPng(picture, colourType, chunks);
    QVERIFY(PngDecoder::recognizes(rows));
    QVERIFY(PngDecoder::recognizes(passes));
    const QImage fromRows = decoded(rows);
    const QImage fromPasses = decoded(passes);
    QVERIFY(!fromRows.isNull() && !fromPasses.isNull());
    QCOMPARE(fromPasses.size(), fromRows.size());
    QVERIFY2(largestDifference(fromPasses, fromRows) <= 2,
             qPrintable(QStringLiteral("differ by %1").arg(largestDifference(fromPasses, fromRows))));
}

QTEST_MAIN(tst_PngDecoder)
#include "tst_pngdecoder.moc"
