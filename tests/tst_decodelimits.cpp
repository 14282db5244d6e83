#include "base/imagelimits.h"
#include "decode/imageloader.h"
#include "decode/sourcereader.h"
#include "fs/sourcefile.h"
#include "isolation/helperpool.h"
#include "isolation/isolatedread.h"

#include "legacyfixtures.h"
#include "rawfixture.h"
#include "realfixtures.h"
#include "testsupport.h"

#include <QtEndian>

#include <sys/resource.h>

using Step = ConversionResult::Step;
using RealFixtures::be16;
using RealFixtures::be32;
using LegacyFixtures::le16;
using LegacyFixtures::le32;

// What a decode is counted at: the bytes the libraries really take (depth,
// samples, working buffers, the size a HEIF picture really decodes at),
// so that a file whose real cost is past the limit fails before the large
// allocation, and the memory budget is asked for what the decode holds.
class tst_DecodeLimits : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void refusedBeforeDecoding_data();
    void refusedBeforeDecoding();
    void budgetAskedForRealBytes_data();
    void budgetAskedForRealBytes();

private:
    QTemporaryDir tmp;
};

namespace {

// An uncompressed RGB TIFF header of width x height pixels of samples
// samples each, over 16 bytes of data: a few hundred bytes that claim
// width x height x samples bytes of samples.
QByteArray tiffClaiming(quint32 width, quint32 height, quint16 samples)
{
    struct Entry { quint16 tag, type; quint32 value; };
    const QList<Entry> entries = {{256, 4, width}, {257, 4, height}, {258, 3, 8}, {259, 3, 1},
                                  {262, 3, 2}, {273, 4, 0}, {277, 3, samples}, {279, 4, 16},
                                  {284, 3, 1}};
    const quint32 data = 8 + 2 + 12 * quint32(entries.size()) + 4;
    QByteArray out = QByteArray("II*\0", 4) + le32(8) + le16(quint16(entries.size()));
    for (const Entry &e : entries) {
        const quint32 value = e.tag == 273 ? data : e.value;
        out += le16(e.tag) + le16(e.type) + le32(1)
                + (e.type == 3 ? le16(quint16(value)) + le16(0) : le32(value));
    }
    return out + le32(0) + QByteArray(16, '\0');
}

QByteArray box(const char *type, const QByteArray &body)
{
    return be32(quint32(8 + body.size())) + QByteArray(type, 4) + body;
}

QByteArray fullBox(const char *type, quint8 version, const QByteArray &body)
{
    return box(type, QByteArray(1, char(version)) + QByteArray(3, '\0') + body);
}

QByteArray ispe(quint32 width, quint32 height)
{
    return fullBox("ispe", 0, be32(width) + be32(height));
}

// An AVIF whose primary item is a grid of one 64 x 64 tile: its size box
// says 128 x 128, its grid data says side x side, which is what libheif
// would allocate for it.
QByteArray gridUnderSmallIspe(quint32 side)
{
    const QByteArray ftyp = box("ftyp", QByteArray("avif") + be32(0) + "avifmif1miaf");
    const QByteArray tile(16, '\x12');
    const auto meta = [&](quint32 tileAt) {
        const auto infe = [](quint16 id, const char *type) {
            return fullBox("infe", 2, be16(id) + be16(0) + QByteArray(type, 4) + QByteArray(1, '\0'));
        };
        const QByteArray grid = QByteArray("\0\1\0\0", 4) + be32(side) + be32(side);
        // Version 1: the grid's data in idat (method 1), the tile's in mdat.
        const QByteArray iloc = fullBox("iloc", 1, QByteArray("\x44\x00", 2) + be16(2)
                + be16(1) + be16(1) + be16(0) + be16(1) + be32(0) + be32(quint32(grid.size()))
                + be16(2) + be16(0) + be16(0) + be16(1) + be32(tileAt) + be32(quint32(tile.size())));
        const QByteArray ipco = box("ipco", ispe(128, 128) + ispe(64, 64)
                                                    + box("av1C", QByteArray("\x81\x00\x0c\x00", 4)));
        const QByteArray ipma = fullBox("ipma", 0, be32(2) + be16(1) + QByteArray("\x01\x81", 2)
                                                           + be16(2) + QByteArray("\x02\x02\x83", 3));
        return fullBox("meta", 0, fullBox("hdlr", 0, be32(0) + "pict" + QByteArray(13, '\0'))
                               + fullBox("pitm", 0, be16(1))
                               + fullBox("iinf", 0, be16(2) + infe(1, "grid") + infe(2, "av01"))
                               + fullBox("iref", 0, box("dimg", be16(1) + be16(1) + be16(2)))
                               + iloc + box("idat", grid) + box("iprp", ipco + ipma));
    };
    const quint32 tileAt = quint32(ftyp.size() + meta(0).size() + 8);
    return ftyp + meta(tileAt) + box("mdat", tile);
}

// A JPEG XL codestream header alone: side x side pixels of 16-bit RGB,
// the size and depth libjxl reports before it reads a frame.
QByteArray deepJxlHeader(quint32 side)
{
    QList<bool> bits;
    const auto put = [&bits](int n, quint32 v) {
        for (int i = 0; i < n; ++i)
            bits.append((v >> i) & 1);
    };
    put(1, 0);                    // not a multiple of 8
    put(2, 2), put(18, side - 1); // height: 18 bits
    put(3, 1);                    // width: as high
    put(1, 0), put(1, 0);         // metadata: not all default, no extra fields
    put(1, 0), put(2, 3), put(6, 15); // integer samples of 16 bits
    put(1, 0), put(2, 0), put(1, 0);  // 16-bit buffers, no extra channels, no XYB
    put(1, 1), put(2, 0), put(1, 1);  // sRGB, no extensions, default transforms
    QByteArray out("\xff\x0a", 2);
    for (qsizetype i = 0; i < bits.size(); i += 8) {
        quint8 byte = 0;
        for (int b = 0; b < 8 && i + b < bits.size(); ++b)
            byte |= quint8(bits[i + b]) << b;
        out.append(char(byte));
    }
    return out + QByteArray(16, '\0');
}

// A HEIC of side x side whose size boxes are rewritten to say 128 x 128.
QByteArray streamUnderSmallIspe(int side)
{
    QByteArray file = RealFixtures::heif(TestSupport::pattern(QSize(side, side)), heif_compression_HEVC);
    for (qsizetype at = file.indexOf("ispe"); at >= 0; at = file.indexOf("ispe", at + 1))
        file.replace(at + 8, 8, be32(128) + be32(128));
    return file;
}

qint64 peakResidentBytes()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return qint64(usage.ru_maxrss) * 1024;
}

} // namespace

void tst_DecodeLimits::initTestCase()
{
    ImageLimits::configureProcess(); // as main() does
    QVERIFY(tmp.isValid());
    QVERIFY2(HelperPool::instance().available(), qPrintable(HelperPool::helperPath()));
}

void tst_DecodeLimits::refusedBeforeDecoding_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("reason");
    // 65535 x 900 pixels at four bytes a pixel pass; at 2559 samples a
    // pixel they are 150 GB.
    QTest::newRow("tiff") << "claims-2559-samples-a-pixel.tif" << tiffClaiming(65535, 900, 2559)
                          << "image too large (65535 x 900)";
    QTest::newRow("avif grid") << "ispe-128-over-grid-16384.avif" << gridUnderSmallIspe(16384)
                               << "image too large (16384 x 16384)";
    // Under the pixel limit at four bytes; eight bytes a pixel in the
    // picture and libjxl's planes beside it.
    QTest::newRow("jxl 16-bit") << "deep-16383-squared.jxl" << deepJxlHeader(16383)
                                << "image too large (16383 x 16383)";
}

// Refused with the size it really has, in this process and in a helper,
// before the memory budget is asked and before the pixels are allocated.
void tst_DecodeLimits::refusedBeforeDecoding()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, reason);
    const QString path = TestSupport::writeBytes(tmp.filePath(name), bytes);
    QList<qint64> asked;
    const auto admit = [&asked](qint64 bytes) {
        asked << bytes;
        return true;
    };

    SourceReader here(path);
    QString why;
    Step step = Step::NoStep;
    QVERIFY(ImageLoader::read(here, &why, admit, &step).isNull());
    QCOMPARE(why, reason);
    QCOMPARE(step, Step::Admit);
    QVERIFY(asked.isEmpty());
    QVERIFY2(peakResidentBytes() < 512LL * 1024 * 1024, qPrintable(QString::number(peakResidentBytes())));

    SourceFile file(path);
    IsolatedRead::Request request;
    request.admit = admit;
    const IsolatedRead::Result there = IsolatedRead::read(file, path, request);
    QVERIFY(there.image.isNull());
    QCOMPARE(there.reason, reason);
    QCOMPARE(there.step, Step::Admit);
    QVERIFY(asked.isEmpty());
}

void tst_DecodeLimits::budgetAskedForRealBytes_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<qint64>("atLeast");
    const QImage picture = TestSupport::pattern(QSize(256, 256));
    const qint64 pixels = 256 * 256;
    QByteArray png, tiff;
    QBuffer pngBuffer(&png), tiffBuffer(&tiff);
    QVERIFY(picture.convertToFormat(QImage::Format_RGBX64).save(&pngBuffer, "png"));
    QVERIFY(picture.convertToFormat(QImage::Format_RGBX64).save(&tiffBuffer, "tiff"));
    QTest::newRow("png 16-bit") << "deep-256.png" << png << 8 * pixels;
    QTest::newRow("tiff 16-bit") << "deep-256.tif" << tiff << 8 * pixels;
    QTest::newRow("jxl") << "lossless-256.jxl" << RealFixtures::jxl(picture, false, false, true)
                         << 20 * pixels;
    const QString dng = tmp.filePath("sensor-256.dng");
    QVERIFY(RawFixture::writeDng(dng, picture, "2024:05:01 12:00:00", ORIENTATION_TOPLEFT));
    QTest::newRow("dng") << "sensor-256.dng" << TestSupport::fileBytes(dng) << 13 * pixels;
    // The HEVC stream is 512 x 512 whatever the size box says.
    QTest::newRow("heic stream") << "ispe-128-over-stream-512.heic" << streamUnderSmallIspe(512)
                                 << 8 * 512 * 512LL;
}

// The memory budget is asked for what the decode takes, not for four
// bytes a pixel of the size the header gives.
void tst_DecodeLimits::budgetAskedForRealBytes()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, bytes);
    QFETCH(qint64, atLeast);
    const QString path = TestSupport::writeBytes(tmp.filePath(name), bytes);
    SourceFile file(path);
    QList<qint64> asked;
    IsolatedRead::Request request;
    request.admit = [&asked](qint64 bytes) {
        asked << bytes;
        return false; // what was asked is all this looks at
    };
    const IsolatedRead::Result result = IsolatedRead::read(file, path, request);
    QCOMPARE(result.step, Step::Admit);
    QCOMPARE(asked.size(), 1);
    QVERIFY2(asked.first() >= atLeast, qPrintable(QStringLiteral("%1 < %2").arg(asked.first()).arg(atLeast)));
    QVERIFY(asked.first() <= ImageLimits::decodeLimitBytes);
}

QTEST_MAIN(tst_DecodeLimits)
#include "tst_decodelimits.moc"
