#include "legacyfixtures.h"
#include "realfixtures.h"
#include "testsupport.h"

#include <QTest>
#include <QtEndian>

using namespace LegacyFixtures;
using namespace RealFixtures;

// TGA and BMP files in the layouts Qt 6.4's readers refuse or get wrong,
// each converted as the window converts it (at full size, so that every
// pixel is compared) against the picture the file holds.
class tst_PixbufDecoder : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void variants_data();
    void variants();
    void faults_data();
    void faults();

private:
    QTemporaryDir tmp;
    int serial = 0;
    QString outDir() { return tmp.filePath(QStringLiteral("out%1").arg(++serial)); }
};

namespace {

// An RLE8 BMP whose rows end early (end-of-line codes) and skip pixels
// (deltas): what it skips shows its palette's first colour, as Windows
// and other readers show it.
Fixture rleWithSkips(const QSize &size)
{
    const int w = size.width(), h = size.height();
    const QList<QRgb> table = palette(256);
    Fixture f;
    f.picture = QImage(size, QImage::Format_RGB32);
    f.picture.fill(table[0]);
    QByteArray data;
    for (int row = 0; row < h; ++row) {
        const int y = h - 1 - row; // bottom up
        const int index = 1 + row % 200;
        if (row % 3 == 0) { // the left half, then the end of the line
            data += char(w / 2) + QByteArray(1, char(index)) + QByteArray("\0\0", 2);
            for (int x = 0; x < w / 2; ++x)
                f.picture.setPixel(x, y, table[index]);
        } else if (row % 3 == 1) { // a skip of 5, then the rest
            data += QByteArray("\0\2\5\0", 4) + char(w - 5) + char(index) + QByteArray("\0\0", 2);
            for (int x = 5; x < w; ++x)
                f.picture.setPixel(x, y, table[index]);
        } else {
            data += char(w) + QByteArray(1, char(index)) + QByteArray("\0\0", 2);
            for (int x = 0; x < w; ++x)
                f.picture.setPixel(x, y, table[index]);
        }
    }
    data += QByteArray("\0\1", 2);
    f.bytes = bmpFile(size, 8, 1, QByteArray(), table, data);
    return f;
}

} // namespace

void tst_PixbufDecoder::initTestCase()
{
    QVERIFY(tmp.isValid());
    TestSupport::isolateSettings(tmp);
}

void tst_PixbufDecoder::variants_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QImage>("picture");
    const QString d = tmp.path() + "/variants/";
    QDir().mkpath(d);
    const QSize size(64, 48);
    const auto row = [&](const char *name, const Fixture &f) {
        QTest::newRow(name) << TestSupport::writeBytes(d + name, f.bytes) << f.picture;
    };
    row("truecolour-24.tga", tga(size, TgaKind::TrueColour24, false));
    row("truecolour-24-top-down.tga", tga(size, TgaKind::TrueColour24, false, true));
    row("truecolour-24-rle.tga", tga(size, TgaKind::TrueColour24, true));
    row("truecolour-32-alpha-rle.tga", tga(size, TgaKind::TrueColour32, true));
    row("truecolour-16.tga", tga(size, TgaKind::TrueColour16, false));
    row("truecolour-16-rle.tga", tga(size, TgaKind::TrueColour16, true));
    row("colour-mapped.tga", tga(size, TgaKind::ColourMapped, false));
    row("colour-mapped-rle.tga", tga(size, TgaKind::ColourMapped, true));
    row("grey.tga", tga(size, TgaKind::Grey, false));
    row("grey-rle.tga", tga(size, TgaKind::Grey, true, true));
    row("rgb555-no-masks.bmp", bmpChannels(size, 16, 5, 5, 5, false));
    row("fields-565.bmp", bmpChannels(size, 16, 5, 6, 5));
    row("fields-555.bmp", bmpChannels(size, 16, 5, 5, 5));
    row("fields-2-3-1.bmp", bmpChannels(size, 16, 2, 3, 1));
    row("fields-4-4-4.bmp", bmpChannels(size, 16, 4, 4, 4));
    row("fields-11-11-10.bmp", bmpChannels(size, 32, 11, 11, 10));
    row("fields-8-8-8.bmp", bmpChannels(size, 32, 8, 8, 8));
    row("fields-argb-4444-v4.bmp", bmpChannels(size, 16, 4, 4, 4, true, 4, 108));
    row("fields-argb-1555-v5.bmp", bmpChannels(size, 16, 5, 5, 5, true, 1, 124));
    row("fields-argb-8888-v5.bmp", bmpChannels(size, 32, 8, 8, 8, true, 8, 124));
    row("indexed-8.bmp", bmpIndexed(size, 8, false));
    row("indexed-4.bmp", bmpIndexed(size, 4, false));
    row("rle8.bmp", bmpIndexed(size, 8, true));
    row("rle4.bmp", bmpIndexed(size, 4, true));
    // Pixels that start past the palette, where the header's offset says.
    const auto gapped = [](Fixture f) {
        const auto *h = reinterpret_cast<const uchar *>(f.bytes.constData());
        const quint32 offset = qFromLittleEndian<quint32>(h + 10);
        f.bytes.insert(offset, QByteArray(100, '\x7f'));
        qToLittleEndian<quint32>(offset + 100, f.bytes.data() + 10);
        qToLittleEndian<quint32>(quint32(f.bytes.size()), f.bytes.data() + 2);
        return f;
    };
    row("indexed-8-pixels-past-a-gap.bmp", gapped(bmpIndexed(size, 8, false)));
    row("rle8-skipped-pixels.bmp", rleWithSkips(size));
    row("rle4-pixels-past-a-gap.bmp", gapped(bmpIndexed(size, 4, true)));
}

void tst_PixbufDecoder::variants()
{
    QFETCH(QString, path);
    QFETCH(QImage, picture);
    const Converted out = convert(path, outDir(), 100);
    QVERIFY2(out.result.written(), qPrintable(out.result.reason));
    QVERIFY(out.result.warnings.isEmpty());
    QCOMPARE(out.image.size(), picture.size());
    const double deltaE = meanDeltaE(out.image, picture);
    QVERIFY2(deltaE <= 3, qPrintable(QStringLiteral("mean delta E %1").arg(deltaE)));
    // Upright, and no channel swapped: the corners as they should be.
    const QImage shown = out.image.convertToFormat(QImage::Format_ARGB32);
    for (const QPoint corner : {QPoint(0, 0), QPoint(63, 0), QPoint(0, 47), QPoint(63, 47)}) {
        const QRgb is = shown.pixel(corner), should = picture.pixel(corner);
        QVERIFY2(qAbs(qRed(is) - qRed(should)) + qAbs(qGreen(is) - qGreen(should))
                         + qAbs(qBlue(is) - qBlue(should)) <= 6,
                 qPrintable(QStringLiteral("at %1,%2: %3 for %4")
                                    .arg(corner.x()).arg(corner.y())
                                    .arg(is, 8, 16).arg(should, 8, 16)));
    }
}

void tst_PixbufDecoder::faults_data()
{
    QTest::addColumn<QString>("path");
    const QString d = tmp.path() + "/faults/";
    QDir().mkpath(d);
    const QSize size(64, 48);
    const auto row = [&](const QString &name, const QByteArray &bytes) {
        QTest::newRow(qPrintable(name)) << TestSupport::writeBytes(d + name, bytes);
    };
    const auto cut = [&](const char *name, const QByteArray &whole) {
        row(QStringLiteral("%1-truncated-at-60-percent.%2")
                    .arg(QString::fromLatin1(name).section('.', 0, 0),
                         QString::fromLatin1(name).section('.', 1)),
            whole.left(whole.size() * 6 / 10));
    };
    cut("truecolour-24.tga", tga(size, TgaKind::TrueColour24, false).bytes);
    cut("truecolour-24-rle.tga", tga(size, TgaKind::TrueColour24, true).bytes);
    cut("colour-mapped-rle.tga", tga(size, TgaKind::ColourMapped, true).bytes);
    cut("fields-565.bmp", bmpChannels(size, 16, 5, 6, 5).bytes);
    cut("indexed-8.bmp", bmpIndexed(size, 8, false).bytes);
    cut("rle8.bmp", bmpIndexed(size, 8, true).bytes);
    cut("rle4.bmp", bmpIndexed(size, 4, true).bytes);
    row("index-past-palette.bmp", bmpIndexPastPalette(size));
    row("header-only.tga", tga(size, TgaKind::Grey, false).bytes.left(18));
    row("header-only.bmp", bmpChannels(size, 16, 5, 6, 5).bytes.left(70));
}

// A damaged file fails with a reason: never a picture with rows nobody
// wrote or colours from past the palette.
void tst_PixbufDecoder::faults()
{
    QFETCH(QString, path);
    const Converted out = convert(path, outDir(), 100);
    QVERIFY2(!out.result.written(), "converted although damaged");
    QVERIFY(!out.result.reason.isEmpty());
    qDebug().noquote() << out.result.reason;
}

QTEST_MAIN(tst_PixbufDecoder)
#include "tst_pixbufdecoder.moc"
