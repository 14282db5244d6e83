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
    QList<ImageSaver::Result> results;
    for (int i = 0; i < 4; ++i)
        saver.save(pattern(QSize(300, 200)), tmp.filePath(QStringLiteral("%1.png").arg(i)),
                   QStringLiteral("png"),
                   [&results](const ImageSaver::Result &r) { results << r; });
    saver.save(pattern(QSize(3, 3)), tmp.filePath("bad.xyz"), QStringLiteral("xyz"),
               [&results](const ImageSaver::Result &r) { results << r; });
    QTRY_COMPARE(results.size(), 5);
    int written = 0;
    for (const ImageSaver::Result &r : results) {
        if (r.ok()) {
            ++written;
            QCOMPARE(r.thumbnail.size(), QSize(128, 85));
        } else {
            QVERIFY(r.thumbnail.isNull());
            QVERIFY(r.errorString.contains(QLatin1String("xyz")));
        }
    }
    QCOMPARE(written, 4);
}

QTEST_MAIN(tst_ImageSaver)
#include "tst_imagesaver.moc"
