#include "conversion/conversionjob.h"
#include "base/imagelimits.h"
#include "conversion/imagethread.h"

#include "testsupport.h"

#include <QSignalSpy>

using namespace TestSupport;

// One conversion worker.
class tst_ImageThread : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void jobs_data();
    void jobs();
    void formatConvertKeepsPixels();
    void percentWorkedOutOnWorker();
    void resultBeforeFinished();

private:
    QTemporaryDir tmp;
};

void tst_ImageThread::initTestCase()
{
    QVERIFY(tmp.isValid());
    ImageLimits::configureProcess();
}

void tst_ImageThread::jobs_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("mode");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QSize>("expectedSize"); // invalid: a null image
    QTest::addColumn<QString>("expectedFormat");
    const QString png = writeImage(tmp.filePath("pic.png"), QSize(40, 30));
    const QString upper = writeImage(tmp.filePath("photo.JPG"), QSize(40, 30), "JPEG");
    const QString bare = writeImage(tmp.filePath("bare"), QSize(40, 30), "PNG");
    QTest::newRow("size") << png << 0 << QSize(20, 15) << QSize(20, 15) << "png";
    QTest::newRow("size keeps suffix case") << upper << 0 << QSize(20, 15) << QSize(20, 15) << "JPG";
    QTest::newRow("size without suffix") << bare << 0 << QSize(20, 15) << QSize(20, 15) << "";
    QTest::newRow("size invalid target") << png << 0 << QSize() << QSize() << "png";
    QTest::newRow("size same as source") << png << 0 << QSize(40, 30) << QSize(40, 30) << "png";
    QTest::newRow("format") << png << 1 << QSize() << QSize(40, 30) << "TIFF";
    QTest::newRow("both") << upper << 2 << QSize(8, 6) << QSize(8, 6) << "png";
    QTest::newRow("undecodable") << tmp.filePath("missing.png") << 1 << QSize() << QSize() << "png";
}

void tst_ImageThread::jobs()
{
    QFETCH(QString, path);
    QFETCH(int, mode);
    QFETCH(QSize, size);
    QFETCH(QSize, expectedSize);
    QFETCH(QString, expectedFormat);

    QScopedPointer<ImageThread> thread;
    if (ConvertMode(mode) == ConvertMode::SizeConvert)
        thread.reset(new ImageThread(path, size));
    else if (ConvertMode(mode) == ConvertMode::FormatConvert)
        thread.reset(new ImageThread(path, expectedFormat));
    else
        thread.reset(new ImageThread(path, size, expectedFormat));
    QSignalSpy results(thread.data(), &ImageThread::imageConvertFinished);
    QSignalSpy finished(thread.data(), &QThread::finished);
    if (!expectedSize.isValid())
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^image failed\\.\\.\\."));
    thread->start();
    // The spies record on the worker; wait() orders their records before us.
    QVERIFY(thread->wait(10000));
    QCOMPARE(results.count(), 1);
    QCOMPARE(finished.count(), 1);
    const QImage image = results.at(0).at(0).value<QImage>();
    QCOMPARE(image.isNull() ? QSize() : image.size(), expectedSize);
    QCOMPARE(results.at(0).at(1).toString(), path);
    QCOMPARE(results.at(0).at(2).toString(), expectedFormat);
    QCOMPARE(thread->job()->result().step == ConversionResult::NoStep, expectedSize.isValid());
}

void tst_ImageThread::formatConvertKeepsPixels()
{
    const QString png = writeImage(tmp.filePath("same.png"), QSize(33, 21), "PNG", true);
    ImageThread thread(png, QStringLiteral("png"));
    QSignalSpy results(&thread, &ImageThread::imageConvertFinished);
    thread.start();
    QVERIFY(thread.wait(10000));
    QCOMPARE(results.count(), 1);
    QCOMPARE(results.at(0).at(0).value<QImage>().convertToFormat(QImage::Format_ARGB32),
             QImage(png).convertToFormat(QImage::Format_ARGB32));
}

void tst_ImageThread::percentWorkedOutOnWorker()
{
    // Stored 300 x 100 and turned by EXIF, so 29 % is taken of 100 x 300,
    // in double precision and truncated like the window's own rule.
    const QString turned = writeRotatedJpeg(tmp.filePath("pct.jpg"), QSize(300, 100), 6);
    ImageThread thread(turned, QSize(), QStringLiteral("png"));
    thread.setTargetPercent(29);
    QSignalSpy results(&thread, &ImageThread::imageConvertFinished);
    thread.start();
    QVERIFY(thread.wait(10000));
    QCOMPARE(results.count(), 1);
    QCOMPARE(results.at(0).at(0).value<QImage>().size(), QSize(int(100 * 0.29), int(300 * 0.29)));
}

void tst_ImageThread::resultBeforeFinished()
{
    const QString png = writeImage(tmp.filePath("order.png"), QSize(50, 50));
    QList<ImageThread *> threads;
    QStringList events;
    for (int i = 0; i < 6; ++i) {
        auto *t = new ImageThread(png, QSize(10 + i, 10));
        connect(t, &ImageThread::imageConvertFinished, this,
                [&events, i](QImage, QString, QString) { events << QStringLiteral("r%1").arg(i); });
        connect(t, &QThread::finished, this, [&events, i]() { events << QStringLiteral("f%1").arg(i); });
        threads << t;
    }
    for (ImageThread *t : threads)
        t->start();
    QTRY_COMPARE(events.size(), 12);
    for (int i = 0; i < 6; ++i) {
        QCOMPARE(events.count(QStringLiteral("r%1").arg(i)), 1);
        QVERIFY(events.indexOf(QStringLiteral("r%1").arg(i)) < events.indexOf(QStringLiteral("f%1").arg(i)));
    }
    qDeleteAll(threads);
}

QTEST_MAIN(tst_ImageThread)
#include "tst_imagethread.moc"
