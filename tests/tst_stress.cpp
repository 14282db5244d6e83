#include "conversion/batchrunner.h"
#include "base/imagelimits.h"
#include "ui/mainwindow.h"

#include "hostile/hostilecorpus.h"
#include "hostile/openedwindow.h"
#include "testsupport.h"
#include "urlcatcher.h"

#include <QDesktopServices>
#include <QImageReader>
#include <QProcess>
#include <QRandomGenerator>
#include <QSettings>

#include <memory>

using namespace Hostile;

// Big batches, commands on top of each other, and quitting the real program
// half way through a batch.
class tst_Stress : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void thousandImages();
    void backToBackCommands_data();
    void backToBackCommands();
    void laterCommandKeepsTheName();
    void closingTheProgramMidBatch();

private:
    QStringList makeImages(const QString &dir, int count, const QSize &size);

    QTemporaryDir settingsDir;
    QTemporaryDir work;
    UrlCatcher sink;
};

void tst_Stress::initTestCase()
{
    ImageLimits::configureProcess(); // as main() does
    QVERIFY(settingsDir.isValid() && work.isValid());
    TestSupport::isolateSettings(settingsDir);
    QDesktopServices::setUrlHandler(QStringLiteral("file"), &sink, "open");
}

void tst_Stress::cleanupTestCase()
{
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
}

QStringList tst_Stress::makeImages(const QString &dir, int count, const QSize &size)
{
    QDir().mkpath(dir);
    QStringList files;
    const QImage image = TestSupport::pattern(size);
    for (int i = 0; i < count; ++i) {
        const QString path = QStringLiteral("%1/picture-%2.png").arg(dir).arg(i, 4, 10, QLatin1Char('0'));
        if (!image.save(path))
            qWarning() << "cannot write" << path;
        files << path;
    }
    return files;
}

// A thousand images in one batch: every one written and listed, and never
// more of them in flight than there are cores, however long the batch.
void tst_Stress::thousandImages()
{
    // Sanitizer runs are several times slower; a fifth proves the same.
    const int count = qEnvironmentVariableIntValue("PICTAVO_QUICK") ? 200 : 1000;
    const QString dir = work.filePath(QStringLiteral("thousand"));
    const QStringList files = makeImages(dir, count, QSize(24, 16));
    auto w = openedWindow(files);
    QVERIFY(w);
    WindowDriver d(w.get());
    QCOMPARE(d.original->count(), count);

    auto *queue = w->findChild<BatchRunner *>();
    QVERIFY(queue);
    int most = 0;
    int reports = 0;
    connect(queue, &BatchRunner::progressChanged, this, [&]() {
        most = qMax(most, queue->runningCount());
        ++reports;
    });
    d.format->setCurrentIndex(1); // BMP
    QVERIFY(d.startCommand(FormatCommand));
    most = qMax(most, queue->runningCount());
    QTRY_COMPARE_WITH_TIMEOUT(TestSupport::withoutSaved(d.status->currentMessage()),
                              QStringLiteral("Format convert finished"), 600000);
    // The start and the end at least; throttled in between.
    QVERIFY(reports >= 2);
    QVERIFY2(most >= 1 && most <= queue->maxInFlight(),
             qPrintable(QStringLiteral("%1 images in flight").arg(most)));

    const QString out = dir + QStringLiteral("/ConvertedImages");
    const QStringList written = filesIn(out);
    QCOMPARE(written.size(), count);
    QCOMPARE(d.converted->count(), count);
    for (const QString &name : written) {
        QString why;
        QVERIFY2(isCompleteImage(out + QLatin1Char('/') + name, QSize(24, 16), &why),
                 qPrintable(name + QStringLiteral(": ") + why));
    }
}

void tst_Stress::backToBackCommands_data()
{
    QTest::addColumn<int>("formatIndex");
    QTest::newRow("different names") << 2; // JPG beside the size results' png
    QTest::newRow("same names") << 0;      // both keep png
}

// The size command and the format command started one right after the
// other, before the first has written anything: both batches finish and
// are reported, every file is whole.
void tst_Stress::backToBackCommands()
{
    QFETCH(int, formatIndex);
    const int count = 24;
    const QSize size(200, 150);
    const QString dir = work.filePath(QStringLiteral("back-to-back-%1").arg(formatIndex));
    const QStringList files = makeImages(dir, count, size);
    auto w = openedWindow(files);
    QVERIFY(w);
    WindowDriver d(w.get());
    d.percent->setValue(50);
    d.format->setCurrentIndex(formatIndex);
    QStringList messages;
    connect(d.status, &QStatusBar::messageChanged, this, [&](const QString &m) {
        if (parseFinished(m).finished)
            messages << TestSupport::withoutSaved(m);
    });
    QVERIFY(d.startCommand(SizeCommand));
    QVERIFY(d.startCommand(FormatCommand));
    QTRY_COMPARE_WITH_TIMEOUT(messages.size(), 2, 300000);
    messages.sort();
    QCOMPARE(messages, (QStringList{QStringLiteral("Format convert finished"),
                                    QStringLiteral("Size convert finished")}));

    const QString out = dir + QStringLiteral("/ConvertedImages");
    const QStringList written = filesIn(out);
    QCOMPARE(written.size(), formatIndex == 0 ? count : 2 * count);
    // Rows: one per result written, of both batches.
    QCOMPARE(d.converted->count(), 2 * count);
    QStringList wrongSize;
    for (const QString &name : written) {
        // Which of two results for one name stays is laterCommandKeepsTheName's
        // business; here each name has its own size.
        const bool halved = name.endsWith(QLatin1String(".png")) && formatIndex != 0;
        QString why;
        QVERIFY2(isCompleteImage(out + QLatin1Char('/') + name, QSize(), &why),
                 qPrintable(name + QStringLiteral(": ") + why));
        if (formatIndex != 0
            && QImageReader(out + QLatin1Char('/') + name).size() != (halved ? size / 2 : size))
            wrongSize << name;
    }
    QVERIFY2(wrongSize.isEmpty(), qPrintable(QStringLiteral("wrong size: ")
                                         + wrongSize.join(QStringLiteral(", "))));
}

// Two commands on one picture that write the same name: what stays under
// the name is what the user asked for last.
void tst_Stress::laterCommandKeepsTheName()
{
    // The earlier command spends long in the PNG encoder (noise does not
    // compress); the later one writes a small picture quickly.
    const QString dir = work.filePath(QStringLiteral("later-wins"));
    QDir().mkpath(dir);
    QImage noise(2000, 1500, QImage::Format_RGB32);
    QRandomGenerator random(11);
    for (int y = 0; y < noise.height(); ++y) {
        auto *line = reinterpret_cast<quint32 *>(noise.scanLine(y));
        for (int x = 0; x < noise.width(); ++x)
            line[x] = 0xFF000000u | (random.generate() & 0xFFFFFFu);
    }
    const QString file = dir + QStringLiteral("/x.png");
    QVERIFY(noise.save(file));
    auto w = openedWindow({file});
    QVERIFY(w);
    WindowDriver d(w.get());
    d.percent->setValue(10);
    d.format->setCurrentIndex(4); // png: the same name as the size result
    QStringList messages;
    connect(d.status, &QStatusBar::messageChanged, this, [&](const QString &m) {
        if (parseFinished(m).finished)
            messages << m;
    });
    QVERIFY(d.startCommand(FormatCommand));
    QVERIFY(d.startCommand(SizeCommand));
    QTRY_COMPARE_WITH_TIMEOUT(messages.size(), 2, 300000);
    const QString out = dir + QStringLiteral("/ConvertedImages/x.png");
    QString why;
    QVERIFY2(isCompleteImage(out, QSize(), &why), qPrintable(why));
    // With two workers the batches' writes overlap: the saver keeps the
    // later command's file.
    QCOMPARE(QImageReader(out).size(), QSize(200, 150));
}

// The real program's way out: the window closed while a batch runs. The
// driver builds the window as main() does (see hostile/closemidbatch.cpp).
void tst_Stress::closingTheProgramMidBatch()
{
#ifndef PICTAVO_CLOSE_DRIVER
    QSKIP("built without the close driver");
#else
    const int count = 40;
    QTemporaryDir home;
    QVERIFY(home.isValid());
    const QString pictures = home.filePath(QStringLiteral("Pictures"));
    makeImages(pictures, count, QSize(800, 600));
    const QString confDir = home.filePath(QStringLiteral(".config/Tarnwick"));
    QVERIFY(QDir().mkpath(confDir));
    const QString conf = confDir + QStringLiteral("/Pictavo.conf");
    {
        QFile f(conf);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Text));
        f.write("[mainwindow]\n");
        f.write("lastopendir=" + pictures.toUtf8() + "\n");
        f.write("autoopen=false\n");
    }
    const QString runtime = home.filePath(QStringLiteral("runtime"));
    QVERIFY(QDir().mkpath(runtime));
    QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    QProcess driver;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), home.path());
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home.filePath(QStringLiteral(".config")));
    env.insert(QStringLiteral("XDG_CACHE_HOME"), home.filePath(QStringLiteral(".cache")));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    driver.setProcessEnvironment(env);
    driver.start(QStringLiteral(PICTAVO_CLOSE_DRIVER), {pictures});
    QVERIFY2(driver.waitForStarted(), qPrintable(driver.errorString()));
    QVERIFY2(driver.waitForFinished(300000), "the program did not end after its window closed");
    const QString out = QString::fromLocal8Bit(driver.readAllStandardOutput());
    const QString err = QString::fromLocal8Bit(driver.readAllStandardError());
    QVERIFY2(driver.exitStatus() == QProcess::NormalExit, qPrintable(err.right(4000)));
    QVERIFY2(driver.exitCode() == 0, qPrintable(out + err.right(4000)));
    QVERIFY2(!err.contains(QLatin1String("QThread: Destroyed while thread is still running")),
             qPrintable(err.right(4000)));
    QVERIFY2(out.contains(QLatin1String("event loop returned 0")), qPrintable(out));

    // Closed while images were still to come.
    const QRegularExpressionMatch closed =
            QRegularExpression(QStringLiteral("closing after (\\d+) of (\\d+)")).match(out);
    QVERIFY2(closed.hasMatch(), qPrintable(out));
    QCOMPARE(closed.captured(2).toInt(), count);
    QVERIFY(closed.captured(1).toInt() < count);

    // Settings were stored on the way out.
    QSettings stored(conf, QSettings::IniFormat);
    stored.beginGroup(QStringLiteral("mainwindow"));
    QVERIFY2(stored.contains(QStringLiteral("maximized")), "settings not stored on close");
    QCOMPARE(stored.value(QStringLiteral("lastopendir")).toString(), pictures);

    // Only whole files, fewer than the batch would have made.
    const QString converted = pictures + QStringLiteral("/ConvertedImages");
    const QStringList written = filesIn(converted);
    QVERIFY(!written.isEmpty());
    QVERIFY(written.size() < count);
    for (const QString &name : written) {
        QVERIFY2(QRegularExpression(QStringLiteral("^picture-\\d{4}\\.png$")).match(name).hasMatch(),
                 qPrintable(QStringLiteral("left behind: ") + name));
        QString why;
        QVERIFY2(isCompleteImage(converted + QLatin1Char('/') + name, QSize(800, 600), &why),
                 qPrintable(name + QStringLiteral(": ") + why));
    }
#endif
}

QTEST_MAIN(tst_Stress)
#include "tst_stress.moc"
