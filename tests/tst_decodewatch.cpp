#include "decode/decodewatch.h"
#include "base/imagelimits.h"
#include "decode/imageloader.h"

#include "testsupport.h"

#include <QImageReader>
#include <QThreadPool>

#include <atomic>

using namespace TestSupport;

// Damage that decoders only warn about, told apart per thread.
class tst_DecodeWatch : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void reasons_data();
    void reasons();
    void concurrentReadsKeepTheirOwnWarnings();
    void otherThreadsWarningsIgnored();

private:
    QByteArray jpeg;
    QTemporaryDir tmp;
};

void tst_DecodeWatch::initTestCase()
{
    QVERIFY(tmp.isValid());
    ImageLimits::configureProcess();
    jpeg = noiseJpeg(QSize(96, 64));
    writeBytes(tmp.filePath("whole.jpg"), jpeg);
}

void tst_DecodeWatch::reasons_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("reason"); // empty: decodes
    const int size = int(jpeg.size());
    auto cut = [this](const char *name, const QByteArray &bytes) {
        return writeBytes(tmp.filePath(QLatin1String(name)), bytes);
    };
    const QString damaged = QStringLiteral("damaged file (data ends early)");
    QTest::newRow("whole") << tmp.filePath("whole.jpg") << QString();
    QTest::newRow("no end marker") << cut("truncated-before-eoi.jpg", jpeg.left(size - 2))
                                   << QString();
    QTest::newRow("cut in the scan") << cut("truncated-at-90-percent.jpg", jpeg.left(size * 9 / 10))
                                     << damaged;
    QTest::newRow("start marker only") << cut("truncated-at-2.jpg", jpeg.left(2))
                                       << QStringLiteral("damaged file");
    QTest::newRow("text") << cut("text-named-jpg.jpg", "holiday notes\n")
                          << QStringLiteral("not an image");
}

void tst_DecodeWatch::reasons()
{
    QFETCH(QString, path);
    QFETCH(QString, reason);
    QString error;
    QImageReader reader(path);
    const QImage image = DecodeWatch::read(reader, &error);
    QCOMPARE(error, reason);
    QCOMPARE(image.isNull(), !reason.isEmpty());
    // The loader's decode paths all go through the watch.
    error.clear();
    QCOMPARE(ImageLoader::readScaled(path, QSize(48, 32), Qt::KeepAspectRatio, &error).isNull(),
             !reason.isEmpty());
    QCOMPARE(error, reason);
}

void tst_DecodeWatch::concurrentReadsKeepTheirOwnWarnings()
{
    // Damaged and whole files decoded side by side: each read sees only the
    // warnings of its own thread.
    const QString whole = tmp.filePath("whole.jpg");
    const QString cut = writeTruncatedJpeg(tmp.filePath("truncated-half.jpg"));
    std::atomic<int> wrong{0};
    QThreadPool pool;
    pool.setMaxThreadCount(4);
    for (int i = 0; i < 64; ++i) {
        const bool damaged = i % 2;
        pool.start([&wrong, damaged, path = damaged ? cut : whole]() {
            QString error;
            if (ImageLoader::read(path, &error).isNull() != damaged)
                ++wrong;
        });
    }
    pool.waitForDone();
    QCOMPARE(wrong.load(), 0);
}

void tst_DecodeWatch::otherThreadsWarningsIgnored()
{
    DecodeWatch outer;
    {
        DecodeWatch inner;
        QThreadPool pool;
        pool.start([]() { qWarning("Premature end of JPEG file"); });
        pool.waitForDone();
        QVERIFY(inner.damage().isEmpty());
        qWarning("Premature end of JPEG file");
        QCOMPARE(inner.damage(), QStringLiteral("damaged file (data ends early)"));
    }
    QVERIFY(outer.damage().isEmpty());
}

QTEST_GUILESS_MAIN(tst_DecodeWatch)
#include "tst_decodewatch.moc"
