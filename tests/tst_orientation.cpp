#include "base/orientation.h"
#include "decode/imageloader.h"

#include "rawfixture.h"
#include "testsupport.h"

#include <QImageReader>

// Turning pictures upright as their EXIF orientation says: the one table of
// tags and turns, as Qt's JPEG reader, the RAW decoder and the CMYK TIFF
// decoder apply it.
class tst_Orientation : public QObject
{
    Q_OBJECT

private slots:
    void likeReader_data();
    void likeReader();

private:
    QTemporaryDir tmp;
};

namespace {

// White with a dark block in the top-left corner, wider than high: where
// the block ends up and which side is longer tell all eight turns apart.
QImage marked(const QSize &size)
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(Qt::white);
    for (int y = 0; y < size.height() / 3; ++y)
        for (int x = 0; x < size.width() / 4; ++x)
            image.setPixel(x, y, qRgb(0, 0, 0));
    return image;
}

// The corner (0 top-left, 1 top-right, 2 bottom-right, 3 bottom-left) that
// is dark; -1 when not exactly one is.
int darkCorner(const QImage &image)
{
    const int w = image.width() - 1, h = image.height() - 1;
    const QPoint corners[4] = {{4, 4}, {w - 4, 4}, {w - 4, h - 4}, {4, h - 4}};
    int found = -1;
    for (int i = 0; i < 4; ++i) {
        if (qGray(image.pixel(corners[i])) < 128) {
            if (found >= 0)
                return -1;
            found = i;
        }
    }
    return found;
}

// The picture as C, M, Y, K samples: white as no ink, the block in black.
QByteArray cmykSamples(const QImage &image)
{
    QByteArray samples(qsizetype(image.width()) * image.height() * 4, char(0));
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (qGray(image.pixel(x, y)) < 128)
                samples[(qsizetype(y) * image.width() + x) * 4 + 3] = char(255);
    return samples;
}

} // namespace

void tst_Orientation::likeReader_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("orientation");
    for (const char *kind : {"jpeg", "raw", "cmyk tiff"})
        for (int orientation = 1; orientation <= 8; ++orientation)
            QTest::addRow("%s %d", kind, orientation) << QString::fromLatin1(kind) << orientation;
}

// Tags read and images decoded some other way turn as Qt's readers turn
// theirs.
void tst_Orientation::likeReader()
{
    QFETCH(QString, kind);
    QFETCH(int, orientation);
    const QImageIOHandler::Transformations turn = Orientation::fromExifTag(orientation);
    if (kind == QLatin1String("jpeg")) {
        const QString path = TestSupport::writeRotatedJpeg(
                tmp.filePath(QStringLiteral("o%1.jpg").arg(orientation)), QSize(60, 30),
                quint16(orientation));
        QImageReader raw(path);
        raw.setAutoTransform(false);
        const QImage stored = raw.read();
        QImageReader turned(path);
        turned.setAutoTransform(true);
        QCOMPARE(turn, turned.transformation());
        const QImage upright = turned.read();
        QCOMPARE(Orientation::shown(stored.size(), turn), upright.size());
        QCOMPARE(Orientation::stored(upright.size(), turn), stored.size());
        QCOMPARE(Orientation::applied(stored, turn), upright);
        return;
    }
    // The decoders' own files: where the marked corner ends up.
    const QImage stored = marked(QSize(64, 48));
    QString path;
    if (kind == QLatin1String("raw")) {
        path = tmp.filePath(QStringLiteral("o%1.dng").arg(orientation));
        QVERIFY(RawFixture::writeDng(path, stored, "2024:05:06 07:08:09", uint16_t(orientation)));
    } else {
        path = tmp.filePath(QStringLiteral("o%1-cmyk.tif").arg(orientation));
        QVERIFY(RawFixture::writeCmykTiff(path, cmykSamples(stored), stored.width(),
                                          stored.height(), QByteArray(), uint16_t(orientation)));
    }
    QString why;
    const QImage upright = ImageLoader::read(path, &why);
    QVERIFY2(!upright.isNull(), qPrintable(why));
    const QImage expected = Orientation::applied(stored, turn);
    QCOMPARE(upright.size(), expected.size());
    QCOMPARE(darkCorner(upright), darkCorner(expected));
}

QTEST_MAIN(tst_Orientation)
#include "tst_orientation.moc"
