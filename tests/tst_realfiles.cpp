#include "realfixtures.h"
#include "testsupport.h"

#include "sources/sourceformat.h"

#include <QTest>

using namespace RealFixtures;
using namespace TestSupport;

// Files as other people's cameras and programs write them, each converted
// as the window converts it and compared with the picture it holds.
class tst_RealFiles : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void heifBrands_data();
    void heifBrands();
    void tinySides_data();
    void tinySides();

private:
    QTemporaryDir tmp;
    int serial = 0;
    QString outDir() { return tmp.filePath(QStringLiteral("out%1").arg(++serial)); }
};

void tst_RealFiles::initTestCase()
{
    QVERIFY(tmp.isValid());
    isolateSettings(tmp);
}

void tst_RealFiles::heifBrands_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("image");

    const QImage picture = pattern(QSize(64, 48));
    const QByteArray heic = heif(picture, heif_compression_HEVC);
    const QByteArray avif = heif(picture, heif_compression_AV1);
    const QString d = tmp.path() + '/';
    const auto row = [&](const char *name, const QByteArray &bytes, bool image) {
        QTest::newRow(name) << writeBytes(d + name, bytes) << image;
    };
    row("major-heic.heic", heic, true);
    row("major-mif1-heic-compatible.heic", withBrands(heic, "mif1", {"mif1", "heic"}), true);
    row("major-msf1-heic-compatible.heic", withBrands(heic, "msf1", {"msf1", "heic"}), true);
    row("major-mif1-only.heic", withBrands(heic, "mif1", {"miaf", "mif1"}), true);
    row("major-mif1-avif-compatible.avif", withBrands(avif, "mif1", {"miaf", "avif"}), true);
    row("major-avif.avif", avif, true);
    // A video shares the box, not the brands.
    row("major-mp42-isom.heic", withBrands(heic, "mp42", {"isom", "mp42"}), false);
}

void tst_RealFiles::heifBrands()
{
    QFETCH(QString, path);
    QFETCH(bool, image);
    QCOMPARE(SourceFormat::isImage(path), image);
    const Converted out = convert(path, outDir());
    QCOMPARE(out.result.written(), image);
    if (!image)
        return;
    const QImage reference = pattern(QSize(64, 48)).scaled(32, 24);
    QCOMPARE(out.image.size(), reference.size());
    QVERIFY2(meanDeltaE(out.image, reference) <= 3, qPrintable(QString::number(meanDeltaE(out.image, reference))));
}

void tst_RealFiles::tinySides_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("percent");
    QTest::addColumn<QSize>("written");
    const QString d = tmp.path() + '/';
    QTest::newRow("1x1 png at 50%") << writeImage(d + "one.png", QSize(1, 1), "png") << 50
                                    << QSize(1, 1);
    QTest::newRow("1x13 webp at 50%") << writeImage(d + "line.webp", QSize(1, 13), "webp") << 50
                                      << QSize(1, 6);
    QTest::newRow("13x1 bmp at 1%") << writeImage(d + "row.bmp", QSize(13, 1), "bmp") << 1
                                    << QSize(1, 1);
    QTest::newRow("2x2 heic at 10%")
            << writeBytes(d + "small.heic", heif(pattern(QSize(2, 2)), heif_compression_HEVC)) << 10
            << QSize(1, 1);
}

void tst_RealFiles::tinySides()
{
    QFETCH(QString, path);
    QFETCH(int, percent);
    QFETCH(QSize, written);
    const Converted out = convert(path, outDir(), percent);
    QVERIFY2(out.result.written(), qPrintable(out.result.reason));
    QCOMPARE(out.image.size(), written);
}

QTEST_MAIN(tst_RealFiles)
#include "tst_realfiles.moc"
