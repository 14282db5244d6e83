#include "thumbnail/exifthumbnail.h"
#include "base/imagelimits.h"
#include "base/pngchunks.h"
#include "decode/imageloader.h"
#include "thumbnail/thumbnailloader.h"

#include <QSet>

#include "testsupport.h"

#include <QElapsedTimer>
#include <QImageReader>
#include <QtEndian>

using namespace TestSupport;

// Reading images: orientation, sizes from headers, memory limits.
class tst_ImageLoader : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void displaySize_data();
    void displaySize();
    void rotatedReadsUpright();
    void readScaledExactSize_data();
    void readScaledExactSize();
    void largePhotoDecodes();
    void absurdHeaderFailsCleanly();
    void thumbnailBox_data();
    void thumbnailBox();
    void embeddedPreview_data();
    void embeddedPreview();
    void damagedExifIgnored();
    void loaderServesMovedJobsFirst();
    void loaderDeliversEveryJobOnce();

private:
    QTemporaryDir tmp;
};

void tst_ImageLoader::initTestCase()
{
    QVERIFY(tmp.isValid());
    isolateSettings(tmp.filePath(QStringLiteral("home")));
    ImageLimits::configureProcess();
}

void tst_ImageLoader::displaySize_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QSize>("expected");
    QTest::newRow("png") << writeImage(tmp.filePath("a.png"), QSize(31, 17)) << QSize(31, 17);
    QTest::newRow("jpeg") << writeImage(tmp.filePath("a.jpg"), QSize(64, 40)) << QSize(64, 40);
    QTest::newRow("rotated 90") << writeRotatedJpeg(tmp.filePath("r6.jpg"), QSize(64, 40), 6)
                                << QSize(40, 64);
    QTest::newRow("rotated 180") << writeRotatedJpeg(tmp.filePath("r3.jpg"), QSize(64, 40), 3)
                                 << QSize(64, 40);
    QTest::newRow("rotated 270") << writeRotatedJpeg(tmp.filePath("r8.jpg"), QSize(64, 40), 8)
                                 << QSize(40, 64);
    QTest::newRow("missing") << tmp.filePath("missing.png") << QSize();
}

void tst_ImageLoader::displaySize()
{
    QFETCH(QString, path);
    QFETCH(QSize, expected);
    QCOMPARE(ImageLoader::displaySize(path), expected);
    const QImage image = ImageLoader::read(path);
    QCOMPARE(image.isNull() ? QSize() : image.size(), expected);
}

void tst_ImageLoader::rotatedReadsUpright()
{
    // Stored with red top-left; orientation 6 turns it clockwise, so red
    // ends up top-right.
    const QString path = writeRotatedJpeg(tmp.filePath("upright.jpg"), QSize(80, 40), 6);
    const QImage image = ImageLoader::read(path);
    QCOMPARE(image.size(), QSize(40, 80));
    const QColor topRight = image.pixelColor(35, 5);
    QVERIFY2(topRight.red() > 200 && topRight.green() < 60, qPrintable(topRight.name()));
}

void tst_ImageLoader::readScaledExactSize_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QSize>("target");
    QTest::addColumn<int>("mode");
    QTest::addColumn<QSize>("expected");
    const QString jpg = writeImage(tmp.filePath("big.jpg"), QSize(1600, 1200));
    const QString png = writeImage(tmp.filePath("big.png"), QSize(300, 100));
    const QString turned = writeRotatedJpeg(tmp.filePath("turned.jpg"), QSize(400, 200), 6);
    QTest::newRow("jpeg halved") << jpg << QSize(800, 600) << int(Qt::IgnoreAspectRatio) << QSize(800, 600);
    QTest::newRow("jpeg odd size") << jpg << QSize(463, 347) << int(Qt::IgnoreAspectRatio) << QSize(463, 347);
    QTest::newRow("jpeg fit box") << jpg << QSize(100, 100) << int(Qt::KeepAspectRatio) << QSize(100, 75);
    QTest::newRow("jpeg enlarged") << jpg << QSize(2000, 1500) << int(Qt::IgnoreAspectRatio) << QSize(2000, 1500);
    QTest::newRow("png fit box") << png << QSize(100, 100) << int(Qt::KeepAspectRatio) << QSize(100, 33);
    QTest::newRow("rotated jpeg") << turned << QSize(50, 100) << int(Qt::IgnoreAspectRatio) << QSize(50, 100);
    QTest::newRow("empty target") << jpg << QSize(0, 0) << int(Qt::IgnoreAspectRatio) << QSize();
    QTest::newRow("invalid target") << jpg << QSize() << int(Qt::IgnoreAspectRatio) << QSize();
}

void tst_ImageLoader::readScaledExactSize()
{
    QFETCH(QString, path);
    QFETCH(QSize, target);
    QFETCH(int, mode);
    QFETCH(QSize, expected);
    QString error;
    const QImage image = ImageLoader::readScaled(path, target, Qt::AspectRatioMode(mode), &error);
    QCOMPARE(image.isNull() ? QSize() : image.size(), expected);
    QCOMPARE(error.isEmpty(), !image.isNull());
}

void tst_ImageLoader::largePhotoDecodes()
{
    // 40 megapixels: over Qt's default 128 MB limit, well under ours.
    const QString path = tmp.filePath("forty-megapixels.jpg");
    QImage big(8000, 5000, QImage::Format_RGB32);
    big.fill(Qt::darkCyan);
    QVERIFY(big.save(path, "JPEG", 50));
    big = QImage();
    QCOMPARE(ImageLoader::read(path).size(), QSize(8000, 5000));
    QCOMPARE(thumbnailOf(path).size(), QSize(128, 80));
}

void tst_ImageLoader::absurdHeaderFailsCleanly()
{
    // A PNG that claims 100000 x 100000 pixels (40 GB decoded), followed
    // by a little compressed data and the end chunk.
    QByteArray header;
    const quint32 side = qToBigEndian<quint32>(100000);
    header.append(reinterpret_cast<const char *>(&side), 4);
    header.append(reinterpret_cast<const char *>(&side), 4);
    header.append("\x08\x06\x00\x00\x00", 5);
    QByteArray png("\x89PNG\r\n\x1a\n", 8);
    png += PngChunks::make("IHDR", header);
    png += PngChunks::make("IDAT", qCompress(QByteArray(64, '\0')).mid(4));
    png += PngChunks::make("IEND", {});
    const QString path = tmp.filePath("claims-100000x100000.png");
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(png);
    f.close();

    QCOMPARE(ImageLoader::displaySize(path), QSize(100000, 100000));
    QString error;
    QVERIFY(ImageLoader::read(path, &error).isNull());
    QCOMPARE(error, QStringLiteral("image too large (100000 x 100000)"));
    QVERIFY(ImageLoader::readScaled(path, QSize(50, 50), Qt::IgnoreAspectRatio).isNull());
    QVERIFY(thumbnailOf(path).isNull());
}

void tst_ImageLoader::thumbnailBox_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QSize>("expected");
    QTest::newRow("wide png") << writeImage(tmp.filePath("t1.png"), QSize(300, 100)) << QSize(128, 42);
    QTest::newRow("small enlarged") << writeImage(tmp.filePath("t2.png"), QSize(32, 32)) << QSize(128, 128);
    QTest::newRow("tall jpeg") << writeImage(tmp.filePath("t3.jpg"), QSize(600, 1200)) << QSize(64, 128);
    QTest::newRow("rotated jpeg") << writeRotatedJpeg(tmp.filePath("t4.jpg"), QSize(1200, 600), 6)
                                  << QSize(64, 128);
    QTest::newRow("unreadable") << tmp.filePath("none.png") << QSize();
}

void tst_ImageLoader::thumbnailBox()
{
    QFETCH(QString, path);
    QFETCH(QSize, expected);
    const QImage thumb = thumbnailOf(path);
    QCOMPARE(thumb.isNull() ? QSize() : thumb.size(), expected);
}

void tst_ImageLoader::embeddedPreview_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QSize>("expected");
    QTest::addColumn<bool>("fromPreview");
    QTest::addColumn<bool>("previewRead");
    QTest::newRow("preview used") << writeJpegWithPreview(tmp.filePath("p1.jpg"), QSize(640, 480), QSize(160, 120), 1)
                                  << QSize(128, 96) << true << true;
    QTest::newRow("preview turned") << writeJpegWithPreview(tmp.filePath("p2.jpg"), QSize(640, 480), QSize(160, 120), 6)
                                    << QSize(96, 128) << true << true;
    QTest::newRow("padded preview skipped") << writeJpegWithPreview(tmp.filePath("p3.jpg"), QSize(640, 360), QSize(160, 120), 1)
                                            << QSize(128, 72) << false << true;
    // Other segments between it and the pixels are skipped, not read.
    QTest::newRow("preview far from the pixels") << writeJpegWithPreview(tmp.filePath("p5.jpg"), QSize(640, 480), QSize(160, 120), 1, 8)
                                                 << QSize(128, 96) << true << true;
    QTest::newRow("small preview skipped") << writeJpegWithPreview(tmp.filePath("p4.jpg"), QSize(640, 480), QSize(80, 60), 1)
                                           << QSize(128, 96) << false << true;
    // Larger than any camera's preview: not decoded at its word.
    QTest::newRow("oversized preview ignored") << writeJpegWithPreview(tmp.filePath("p6.jpg"), QSize(640, 480), QSize(1200, 900), 1)
                                               << QSize(128, 96) << false << false;
}

void tst_ImageLoader::embeddedPreview()
{
    QFETCH(QString, path);
    QFETCH(QSize, expected);
    QFETCH(bool, fromPreview);
    QFETCH(bool, previewRead);
    QCOMPARE(!ExifThumbnail::fromBytes(fileBytes(path)).isNull(), previewRead);
    const QImage thumb = thumbnailOf(path);
    QCOMPARE(thumb.size(), expected);
    // The preview is plain green; the picture has red, green, blue and yellow.
    const QColor corner = thumb.pixelColor(2, 2);
    QCOMPARE(corner.red() < 80 && corner.green() > 180, fromPreview);
}

void tst_ImageLoader::damagedExifIgnored()
{
    const QString good = writeJpegWithPreview(tmp.filePath("d.jpg"), QSize(320, 240), QSize(160, 120), 1);
    const QByteArray bytes = fileBytes(good);
    // Cut inside the EXIF block, and scribbled offsets: no preview, no crash.
    for (int cut : {3, 10, 30, 60, 100})
        QVERIFY(ExifThumbnail::fromBytes(bytes.left(cut)).isNull());
    QByteArray scribbled = bytes;
    for (int i = 30; i < 80; ++i)
        scribbled[i] = char(0xFF);
    QVERIFY(ExifThumbnail::fromBytes(scribbled).isNull());
    QVERIFY(ExifThumbnail::fromBytes(QByteArray(1000, '\0')).isNull());
    QVERIFY(ExifThumbnail::fromBytes(fileBytes(writeImage(tmp.filePath("plain.jpg"), QSize(50, 50)))).isNull());
}

void tst_ImageLoader::loaderServesMovedJobsFirst()
{
    QStringList files;
    for (int i = 0; i < 40; ++i)
        files << writeImage(tmp.filePath(QStringLiteral("queue/%1.png").arg(i)), QSize(300, 200));
    ThumbnailLoader loader;
    // One worker: jobs end in the order they are taken, whatever the timing.
    loader.setMaxWorkers(1);
    QStringList order;
    QList<quint64> tickets;
    for (const QString &path : files)
        tickets << loader.request(path, [&order, path](const QImage &) { order << path; });
    // The rows scrolled to, as the list asks for them.
    loader.prioritize(tickets.mid(30, 5));
    QTRY_COMPARE(order.size(), 40);
    // The jobs taken before the move, in asked order, then the moved ones.
    const int first = int(order.indexOf(files.at(30)));
    QVERIFY(first >= 0 && first <= 30);
    QCOMPARE(order.mid(0, first), files.mid(0, first));
    QCOMPARE(order.mid(first, 5), files.mid(30, 5));
}

void tst_ImageLoader::loaderDeliversEveryJobOnce()
{
    const QString a = writeImage(tmp.filePath(QStringLiteral("once/a.png")), QSize(300, 200));
    const QString b = writeImage(tmp.filePath(QStringLiteral("once/b.jpg")), QSize(200, 300));
    ThumbnailLoader loader;
    QList<int> delivered(2000, 0);
    QList<quint64> tickets;
    for (int i = 0; i < delivered.size(); ++i)
        tickets << loader.request(i % 2 ? a : b, [&delivered, i](const QImage &) { ++delivered[i]; });
    // Moved while the workers take jobs, some more than once, some done.
    for (int round = 0; round < 50; ++round) {
        loader.prioritize(tickets.mid((round * 37) % 1900, 60));
        QTest::qWait(1);
    }
    QTRY_VERIFY_WITH_TIMEOUT(!delivered.contains(0), 120000);
    QCOMPARE(QSet<int>(delivered.begin(), delivered.end()), QSet<int>{1});
}

QTEST_MAIN(tst_ImageLoader)
#include "tst_imageloader.moc"
