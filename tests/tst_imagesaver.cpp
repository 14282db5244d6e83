#include "imagesaver.h"

#include "testsupport.h"

#include <QSignalSpy>

using namespace TestSupport;

// Writing results: whole files or nothing.
class tst_ImageSaver : public QObject
{
    Q_OBJECT

private slots:
    void writesEveryFormat_data();
    void writesEveryFormat();
    void failureLeavesNothing_data();
    void failureLeavesNothing();
    void failedWriteKeepsOldFile();
    void savesInBackground();
    void laterOrderWins();
};

void tst_ImageSaver::writesEveryFormat_data()
{
    QTest::addColumn<QString>("format");
    for (const char *f : {"BMP", "JPG", "JPEG", "png", "PPM", "TIFF", "XBM", "XPM", "webp"})
        QTest::newRow(f) << QString::fromLatin1(f);
}

void tst_ImageSaver::writesEveryFormat()
{
    QFETCH(QString, format);
    QTemporaryDir tmp;
    const QString name = tmp.filePath("out é." + format);
    QCOMPARE(ImageSaver::write(pattern(QSize(20, 10), true), name, format), QString());
    QCOMPARE(QImage(name).size(), QSize(20, 10));
    QCOMPARE(QDir(tmp.path()).entryList(QDir::Files | QDir::Hidden).size(), 1);
}

void tst_ImageSaver::failureLeavesNothing_data()
{
    QTest::addColumn<QString>("format");
    QTest::addColumn<bool>("nullImage");
    QTest::addColumn<bool>("missingDir");
    QTest::newRow("no writer") << "gif" << false << false;
    QTest::newRow("empty format") << "" << false << false;
    QTest::newRow("null image") << "png" << true << false;
    QTest::newRow("missing directory") << "png" << false << true;
    QTest::newRow("xbm too") << "abc" << false << false;
}

void tst_ImageSaver::failureLeavesNothing()
{
    QFETCH(QString, format);
    QFETCH(bool, nullImage);
    QFETCH(bool, missingDir);
    QTemporaryDir tmp;
    const QString name = tmp.filePath(missingDir ? "none/x." + format : "x." + format);
    const QString error = ImageSaver::write(nullImage ? QImage() : pattern(QSize(8, 8)), name, format);
    QVERIFY(!error.isEmpty());
    QCOMPARE(QDir(tmp.path()).entryList(QDir::Files | QDir::Hidden | QDir::Dirs | QDir::NoDotAndDotDot),
             QStringList());
}

void tst_ImageSaver::failedWriteKeepsOldFile()
{
    QTemporaryDir tmp;
    const QString name = tmp.filePath("keep.png");
    writeImage(name, QSize(9, 9));
    const QByteArray before = checksum(name);
    // An image too large for the PNG writer's dimensions fails mid-way.
    QVERIFY(!ImageSaver::write(QImage(), name, "png").isEmpty());
    QVERIFY(!ImageSaver::write(pattern(QSize(4, 4)), name, "nosuchformat").isEmpty());
    QCOMPARE(checksum(name), before);
    QCOMPARE(QDir(tmp.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"keep.png"});
}

void tst_ImageSaver::savesInBackground()
{
    QTemporaryDir tmp;
    ImageSaver saver;
    saver.setThumbnailSide(256); // a list on a screen of twice the density
    QList<ImageSaver::Result> results;
    for (int i = 0; i < 4; ++i)
        saver.save(pattern(QSize(300, 200)), tmp.filePath(QStringLiteral("%1.png").arg(i)),
                   QStringLiteral("png"), 0,
                   [&results](const ImageSaver::Result &r) { results << r; });
    saver.save(pattern(QSize(3, 3)), tmp.filePath("bad.xyz"), QStringLiteral("xyz"), 0,
               [&results](const ImageSaver::Result &r) { results << r; });
    QTRY_COMPARE(results.size(), 5);
    int written = 0;
    for (const ImageSaver::Result &r : results) {
        if (r.ok()) {
            ++written;
            QCOMPARE(r.thumbnail.size(), QSize(256, 170));
        } else {
            QVERIFY(r.thumbnail.isNull());
            QVERIFY(r.errorString.contains(QLatin1String("xyz"), Qt::CaseInsensitive));
        }
    }
    QCOMPARE(written, 4);
}

void tst_ImageSaver::laterOrderWins()
{
    QTemporaryDir tmp;
    const QString name = tmp.filePath("same.png");
    ImageSaver saver;
    QList<ImageSaver::Result> results;
    auto record = [&results](const ImageSaver::Result &r) { results << r; };
    saver.save(pattern(QSize(20, 20)), name, QStringLiteral("png"), 2, record);
    QTRY_COMPARE(results.size(), 1);
    // An earlier batch's result arriving late does not replace it...
    saver.save(pattern(QSize(10, 10)), tmp.filePath("./same.png"), QStringLiteral("png"), 1, record);
    QTRY_COMPARE(results.size(), 2);
    QVERIFY(!results[1].ok());
    QCOMPARE(QImage(name).size(), QSize(20, 20));
    // ...but the same or a later one does.
    saver.save(pattern(QSize(30, 30)), name, QStringLiteral("png"), 3, record);
    QTRY_COMPARE(results.size(), 3);
    QVERIFY(results[2].ok());
    QCOMPARE(QImage(name).size(), QSize(30, 30));
    QCOMPARE(QDir(tmp.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"same.png"});
}

QTEST_MAIN(tst_ImageSaver)
#include "tst_imagesaver.moc"
