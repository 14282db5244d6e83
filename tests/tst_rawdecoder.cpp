#include "decode/rawdecoder.h"

#include "rawfixture.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <tiffio.h>

// Camera RAW files whose sensor data is missing or cut short: developed,
// they are a picture of one colour or half black, which must not pass for
// the photo. And the white balance a photo is developed with: the
// camera's where the file states one, daylight where it does not.
class tst_RawDecoder : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void sensorData_data();
    void sensorData();
    void whiteBalance_data();
    void whiteBalance();

private:
    QTemporaryDir tmp;
};

namespace {

enum class Fault { None, Zeros, Specks, PastEnd, CutShort, Placeholder };

// A DNG of one directory, the sensor's RGGB mosaic (16 bits, linear) in a
// single strip, with no preview: a gradient, zeros, or zeros with specks.
// Or stripped as exiftool strips a DNG: the mosaic said to be lossless
// JPEG, its strip a line of text.
QByteArray bareDng(const QString &path, Fault fault)
{
    constexpr int w = 64, h = 48;
    TIFF *tiff = TIFFOpen(QFile::encodeName(path).constData(), "w");
    if (!tiff)
        return QByteArray();
    RawFixture::setMosaic(tiff, w, h);
    TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, h);
    RawFixture::setDngCamera(tiff);
    if (fault == Fault::Placeholder) {
        TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_JPEG);
        char text[] = "<Dummy raw image data>";
        TIFFWriteRawStrip(tiff, 0, text, tmsize_t(sizeof text - 1));
        TIFFClose(tiff);
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    QList<quint16> row(w);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x)
            row[x] = fault == Fault::Zeros ? 0
                    : fault == Fault::Specks ? (y == 0 && x < 8 ? 3000 : 0)
                                             : quint16((x * 1000 + y * 300) % 65536);
        TIFFWriteScanline(tiff, row.data(), uint32_t(y), 0);
    }
    TIFFClose(tiff);
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Where the value of the first directory's StripOffsets tag (one LONG)
// lies in a little-endian TIFF; -1 when it is not found.
qsizetype stripOffsetField(const QByteArray &tiff)
{
    const auto *b = reinterpret_cast<const uchar *>(tiff.constData());
    const quint32 ifd = qFromLittleEndian<quint32>(b + 4);
    if (ifd + 2 > quint32(tiff.size()))
        return -1;
    const int entries = qFromLittleEndian<quint16>(b + ifd);
    for (int i = 0; i < entries; ++i) {
        const qsizetype entry = ifd + 2 + 12 * i;
        if (entry + 12 > tiff.size())
            return -1;
        if (qFromLittleEndian<quint16>(b + entry) == TIFFTAG_STRIPOFFSETS)
            return entry + 8;
    }
    return -1;
}

QByteArray withFault(QByteArray dng, Fault fault)
{
    const qsizetype field = stripOffsetField(dng);
    if (field < 0)
        return QByteArray();
    quint32 offset = qFromLittleEndian<quint32>(dng.constData() + field);
    if (fault == Fault::PastEnd)
        offset = quint32(dng.size() + 4096);
    else if (fault == Fault::CutShort)
        offset = quint32(dng.size()) - 64 * 48; // half the strip's bytes left
    qToLittleEndian<quint32>(offset, dng.data() + field);
    return dng;
}

// A Kodak C330's headerless file, told by its size alone: 1232 x 912
// pixels that the camera stored developed, a luma byte each and chroma
// bytes shared by two (Cb, Cr), with no white balance stated. A warm
// scene: a luma gradient, Cb below and Cr above the middle.
QByteArray kodakC330()
{
    constexpr int w = 1232, h = 912;
    QByteArray bytes(qsizetype(w) * h * 2, Qt::Uninitialized);
    char *p = bytes.data();
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            *p++ = char(40 + x * 180 / w);
            *p++ = char(x % 2 == 0 ? 112 : 150);
        }
    }
    return bytes;
}

// A DNG of a warm scene whose camera states its white balance (as-shot
// neutral 1, 1, 1).
QByteArray warmDng(const QString &path)
{
    QImage scene(64, 48, QImage::Format_RGB32);
    for (int y = 0; y < scene.height(); ++y)
        for (int x = 0; x < scene.width(); ++x)
            scene.setPixel(x, y, qRgb(120 + 2 * x, 90 + 2 * x, 60 + 2 * x));
    if (!RawFixture::writeDng(path, scene, "2024:01:02 03:04:05", ORIENTATION_TOPLEFT))
        return QByteArray();
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

void tst_RawDecoder::initTestCase()
{
    QVERIFY(tmp.isValid());
}

void tst_RawDecoder::sensorData_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("fault");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<QString>("warning");

    const QString none = QStringLiteral("no picture data in this RAW file");
    QTest::newRow("whole") << "whole.dng" << int(Fault::None) << QString() << QString();
    // Stripped of its sensor data: zeros where the mosaic was, and no
    // preview showing anything else.
    QTest::newRow("zeros") << "sensor-data-zeros.dng" << int(Fault::Zeros) << none << QString();
    // Zeros but for the few bytes left of the data, as stripped files are.
    QTest::newRow("zeros and specks") << "sensor-data-zeros-specks.dng" << int(Fault::Specks) << none
                                      << QString();
    QTest::newRow("past end") << "sensor-data-past-end.dng" << int(Fault::PastEnd) << none
                              << QString();
    // Half the mosaic there: libraw stops at the end of the file.
    QTest::newRow("cut short") << "sensor-data-cut-short.dng" << int(Fault::CutShort)
                               << QStringLiteral("damaged file (data ends early)") << QString();
    // libraw's loader stops at the text without a word, the mosaic left
    // as its memory was: after another photo, that photo's leftovers.
    QTest::newRow("placeholder text") << "sensor-data-placeholder.dng" << int(Fault::Placeholder)
                                      << none << QString();
}

void tst_RawDecoder::sensorData()
{
    QFETCH(QString, name);
    QFETCH(int, fault);
    QFETCH(QString, reason);
    QFETCH(QString, warning);

    // A photo developed first, as the helper develops one file after
    // another.
    {
        RawDecoder before(bareDng(tmp.filePath(QStringLiteral("before.dng")), Fault::None));
        QString why;
        QVERIFY2(!before.read(&why).isNull(), qPrintable(why));
    }
    const QByteArray whole = bareDng(tmp.filePath(name), Fault(fault));
    QVERIFY(!whole.isEmpty());
    const QByteArray bytes = withFault(whole, Fault(fault));
    QVERIFY(!bytes.isEmpty());
    RawDecoder decoder(bytes);
    QVERIFY2(decoder.isValid(), qPrintable(decoder.errorString()));
    QString why;
    const QImage image = decoder.read(&why);
    if (!reason.isEmpty()) {
        QVERIFY(image.isNull());
        QCOMPARE(why, reason);
        return;
    }
    QVERIFY2(!image.isNull(), qPrintable(why));
    QCOMPARE(image.size(), QSize(64, 48));
    QCOMPARE(decoder.warnings(), warning.isEmpty() ? QStringList() : QStringList{warning});
}

void tst_RawDecoder::whiteBalance_data()
{
    QTest::addColumn<QString>("name");

    QTest::newRow("stated by the camera") << "warm-as-shot.dng";
    QTest::newRow("none stated") << "warm-no-balance.raw";
}

// A warm scene stays warm: where the file states no white balance it is
// developed in daylight's, not balanced grey.
void tst_RawDecoder::whiteBalance()
{
    QFETCH(QString, name);

    const QByteArray bytes = name.endsWith(QLatin1String(".dng")) ? warmDng(tmp.filePath(name)) : kodakC330();
    QVERIFY(!bytes.isEmpty());
    RawDecoder decoder(bytes);
    QVERIFY2(decoder.isValid(), qPrintable(decoder.errorString()));
    QString why;
    const QImage image = decoder.read(&why).convertToFormat(QImage::Format_RGB32);
    QVERIFY2(!image.isNull(), qPrintable(why));
    qint64 red = 0, blue = 0;
    for (int y = 0; y < image.height(); ++y) {
        const auto *line = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            red += qRed(line[x]);
            blue += qBlue(line[x]);
        }
    }
    const qint64 pixels = qint64(image.width()) * image.height();
    QVERIFY2(red - blue > 20 * pixels,
             qPrintable(QStringLiteral("mean red %1, blue %2").arg(red / pixels).arg(blue / pixels)));
}

QTEST_MAIN(tst_RawDecoder)
#include "tst_rawdecoder.moc"
