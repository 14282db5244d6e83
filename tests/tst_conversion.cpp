#include "ui/mainwindow.h"
#include "ui_mainwindow.h"

#include "conversion/batchrunner.h"
#include "ui/batchstatus.h"
#include "isolation/helperpool.h"
#include "base/imagelimits.h"
#include "testsupport.h"
#include "urlcatcher.h"
#include "windowfixture.h"

#include <QDesktopServices>
#include <QDirIterator>
#include <QImageReader>
#include <QListWidget>
#include <QMessageBox>
#include <QStatusBar>

using namespace TestSupport;

// The conversion settings, the batch commands and the saving of results.
class tst_Conversion : public QObject, private WindowFixture
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();

    void percentSize_data();
    void percentSize();
    void fixedSizeIgnoresFile();
    void formatNames_data();
    void formatNames();

    void outputNames_data();
    void outputNames();
    void threeImagesThreeRows();
    void emptySourceListChangesNothing();
    void failuresAreCounted();
    void withoutHelperNothingIsRead();
    void sizesWritten();
    void settingsTakenAtCommand();
    void sourcesNeverOverwritten();
    void clashesWithinBatchGetNumbers();
    void earlierBatchOverwritten();
    void missingSaveDirectoryAsksOnce();
    void autoOpenAfterFinish();
    void writtenThumbnailShowsFile();

private:
    QStringList savedNames() const { return filesIn(outDir); }

    QTemporaryDir settingsDir;
    QTemporaryDir *tmp = nullptr;
    QString outDir;
    UrlCatcher catcher;
};

void tst_Conversion::initTestCase()
{
    ImageLimits::configureProcess(); // as main() does
    QVERIFY(settingsDir.isValid());
    isolateSettings(settingsDir);
    QDesktopServices::setUrlHandler(QStringLiteral("file"), &catcher, "open");
}

void tst_Conversion::cleanupTestCase()
{
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
}

void tst_Conversion::init()
{
    tmp = new QTemporaryDir;
    outDir = tmp->filePath(QStringLiteral("out"));
    catcher.urls.clear();
    catcher.existed.clear();
}

void tst_Conversion::cleanup()
{
    delete tmp;
    tmp = nullptr;
}

void tst_Conversion::percentSize_data()
{
    QTest::addColumn<int>("percent");
    QTest::addColumn<QSize>("source");
    QTest::addColumn<QSize>("expected");
    QTest::newRow("50% of 1024x768") << 50 << QSize(1024, 768) << QSize(512, 384);
    QTest::newRow("100% unchanged") << 100 << QSize(123, 45) << QSize(123, 45);
    QTest::newRow("33% truncated") << 33 << QSize(333, 333) << QSize(109, 109);
    QTest::newRow("29% of 100 is 28") << 29 << QSize(100, 100) << QSize(28, 28);
    QTest::newRow("57% of 100 is 56") << 57 << QSize(100, 100) << QSize(56, 56);
    QTest::newRow("1% of 50x40 keeps a pixel") << 1 << QSize(50, 40) << QSize(1, 1);
    QTest::newRow("50% of 1x13 keeps the line") << 50 << QSize(1, 13) << QSize(1, 6);
    QTest::newRow("50% of 1x1") << 50 << QSize(1, 1) << QSize(1, 1);
    QTest::newRow("1% of 150x100") << 1 << QSize(150, 100) << QSize(1, 1);
    QTest::newRow("1000% of 400x300") << 1000 << QSize(400, 300) << QSize(4000, 3000);
}

void tst_Conversion::percentSize()
{
    QFETCH(int, percent);
    QFETCH(QSize, source);
    QFETCH(QSize, expected);
    const QString file = writeImage(tmp->filePath("s.png"), source);
    QScopedPointer<MainWindow> w(window({file}, outDir));
    w->ui->spinBoxPercent->setValue(percent);
    QCOMPARE(w->getConvertSize(file), expected);
    QCOMPARE(w->getConvertSize(tmp->filePath("missing.png")), QSize(0, 0));
}

void tst_Conversion::fixedSizeIgnoresFile()
{
    QScopedPointer<MainWindow> w(window({}, outDir));
    w->ui->comboBoxSizeSettingMode->setCurrentIndex(1);
    w->ui->spinBoxWidth->setValue(640);
    w->ui->spinBoxHeight->setValue(480);
    QCOMPARE(w->getConvertSize(tmp->filePath("missing.png")), QSize(640, 480));
}

void tst_Conversion::formatNames_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("expected");
    QTest::newRow("original keeps case") << 0 << "/p/photo.JPG" << "JPG";
    QTest::newRow("original last suffix") << 0 << "/p/archive.tar.gz" << "gz";
    QTest::newRow("original no suffix") << 0 << "/p/README" << "";
    const QStringList fixed{"BMP", "JPG", "JPEG", "png", "PPM", "TIFF", "XBM", "XPM"};
    for (int i = 0; i < fixed.size(); ++i)
        QTest::newRow(qPrintable(fixed[i])) << i + 1 << "/p/a.jpg" << fixed[i];
}

void tst_Conversion::formatNames()
{
    QFETCH(int, index);
    QFETCH(QString, path);
    QFETCH(QString, expected);
    QScopedPointer<MainWindow> w(window({}, outDir));
    w->ui->comboBoxFormat->setCurrentIndex(index);
    QCOMPARE(w->getConvertFormat(path), expected);
}

void tst_Conversion::outputNames_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<int>("formatIndex");
    QTest::addColumn<bool>("slashDir");
    QTest::addColumn<QString>("expected");
    QTest::newRow("png") << "holiday.jpg" << 4 << false << "holiday.png";
    QTest::newRow("JPEG") << "holiday.png" << 3 << false << "holiday.JPEG";
    QTest::newRow("JPG") << "holiday.png" << 2 << false << "holiday.JPG";
    QTest::newRow("kept suffix case") << "photo.JPG" << 0 << false << "photo.JPG";
    QTest::newRow("dotted base") << "a.b.png" << 0 << false << "a.b.png";
    QTest::newRow("dir ending in slash") << "holiday.jpg" << 4 << true << "holiday.png";
}

void tst_Conversion::outputNames()
{
    QFETCH(QString, source);
    QFETCH(int, formatIndex);
    QFETCH(bool, slashDir);
    QFETCH(QString, expected);
    const QString file = writeImage(tmp->filePath("src/" + source), QSize(30, 20),
                                    QFileInfo(source).suffix().toLatin1().constData());
    QScopedPointer<MainWindow> w(window({file}, slashDir ? outDir + "/" : outDir));
    w->ui->comboBoxFormat->setCurrentIndex(formatIndex);
    runBatch(w.data(), &MainWindow::formatConvert);
    QCOMPARE(TestSupport::withoutSaved(w->ui->statusBar->currentMessage()), QStringLiteral("Format convert finished"));
    QCOMPARE(savedNames(), QStringList{expected});
    QCOMPARE(w->ui->listWidgetConvert->count(), 1);
    QCOMPARE(w->ui->listWidgetConvert->item(0)->text(), expected);
    QCOMPARE(QImage(outDir + "/" + expected).size(), QSize(30, 20));
}

void tst_Conversion::threeImagesThreeRows()
{
    QStringList files;
    for (const char *name : {"one.png", "two.png", "three.png"})
        files << writeImage(tmp->filePath(QStringLiteral("src/") + name), QSize(40, 30));
    QScopedPointer<MainWindow> w(window(files, outDir));
    w->ui->listWidgetConvert->addItem(QStringLiteral("from before"));
    w->ui->spinBoxPercent->setValue(50);
    runBatch(w.data(), &MainWindow::sizeConvert);
    QCOMPARE(TestSupport::withoutSaved(w->ui->statusBar->currentMessage()), QStringLiteral("Size convert finished"));
    QCOMPARE(w->ui->listWidgetConvert->count(), 3);
    QStringList rows;
    for (int i = 0; i < 3; ++i) {
        rows << w->ui->listWidgetConvert->item(i)->text();
        QVERIFY(!w->ui->listWidgetConvert->item(i)->icon().isNull());
    }
    rows.sort();
    QCOMPARE(rows, (QStringList{"one.png", "three.png", "two.png"}));
    QCOMPARE(QImage(outDir + "/two.png").size(), QSize(20, 15));
}

void tst_Conversion::emptySourceListChangesNothing()
{
    QScopedPointer<MainWindow> w(window({}, outDir));
    w->ui->checkBoxAutoOpenDir->setChecked(true);
    w->ui->listWidgetConvert->addItem(QStringLiteral("kept"));
    w->ui->statusBar->showMessage(QStringLiteral("before"));
    w->sizeConvert();
    w->formatConvert();
    w->bothConvert();
    QTest::qWait(50);
    QCOMPARE(w->ui->listWidgetConvert->count(), 1);
    QCOMPARE(w->ui->statusBar->currentMessage(), QStringLiteral("before"));
    QVERIFY(catcher.urls.isEmpty());
}

void tst_Conversion::failuresAreCounted()
{
    const QString good = writeImage(tmp->filePath("src/good.png"), QSize(20, 20));
    const QString bad = tmp->filePath("src/text-named-jpg.jpg");
    QFile f(bad);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("plain text");
    f.close();
    const QString noSuffix = writeImage(tmp->filePath("src/nosuffix"), QSize(20, 20), "PNG");
    QScopedPointer<MainWindow> w(window({good, bad, noSuffix}, outDir));
    runBatch(w.data(), &MainWindow::sizeConvert);
    // The suffix-less file has no format to be written in.
    QCOMPARE(TestSupport::withoutSaved(w->ui->statusBar->currentMessage()),
             QStringLiteral("Size convert finished, 2 of 3 images failed"));
    QCOMPARE(savedNames(), QStringList{"good.png"});
    // The bytes before and after count the written file alone.
    const QString saved = BatchStatus::savedText(QFileInfo(good).size(),
                                                 QFileInfo(outDir + "/good.png").size());
    QVERIFY(w->ui->statusBar->currentMessage().endsWith(saved));
}

// Without the helper program nothing is read in the window's process: the
// status says so when the batch starts, and every image fails with why.
void tst_Conversion::withoutHelperNothingIsRead()
{
    const QString good = writeImage(tmp->filePath("src/good.png"), QSize(20, 20));
    const QByteArray helper = qgetenv("PICTAVO_HELPER");
    qputenv("PICTAVO_HELPER", QFile::encodeName(tmp->filePath("gone/pictavo-helper")));
    auto back = qScopeGuard([&helper]() { qputenv("PICTAVO_HELPER", helper); });
    QScopedPointer<MainWindow> w(window({good}, outDir));
    QStringList messages;
    connect(w->ui->statusBar, &QStatusBar::messageChanged, this,
            [&messages](const QString &m) { messages << m; });
    QList<ImageFailure> failures;
    connect(w->findChild<BatchRunner *>(), &BatchRunner::batchFinished, this,
            [&failures](const BatchReport &report) { failures = report.failures; });
    runBatch(w.data(), &MainWindow::sizeConvert);
    QCOMPARE(messages.value(0), HelperPool::missingText());
    QCOMPARE(w->ui->statusBar->currentMessage(), QStringLiteral("Size convert finished, 1 of 1 images failed"));
    QCOMPARE(failures.size(), 1);
    QCOMPARE(failures.first().reason, HelperPool::missingText());
    QVERIFY(savedNames().isEmpty());
}

void tst_Conversion::sizesWritten()
{
    const QString wide = writeImage(tmp->filePath("src/wide.png"), QSize(400, 200));
    const QString odd = writeImage(tmp->filePath("src/odd.bmp"), QSize(300, 100), "BMP");
    QScopedPointer<MainWindow> w(window({wide, odd}, outDir));

    // A width and height are a box the picture fits into.
    w->ui->comboBoxSizeSettingMode->setCurrentIndex(1);
    w->ui->spinBoxWidth->setValue(100);
    w->ui->spinBoxHeight->setValue(100);
    runBatch(w.data(), &MainWindow::sizeConvert);
    QCOMPARE(QImage(outDir + "/wide.png").size(), QSize(100, 50));
    QCOMPARE(QImage(outDir + "/odd.bmp").size(), QSize(100, 33));

    // A percentage gives exactly the truncated size.
    w->ui->comboBoxSizeSettingMode->setCurrentIndex(0);
    w->ui->spinBoxPercent->setValue(29);
    runBatch(w.data(), &MainWindow::sizeConvert);
    // In double precision 300 x 0.29 lands on 87, 100 x 0.29 just below 29.
    QCOMPARE(QImage(outDir + "/odd.bmp").size(), QSize(87, 28));
    QCOMPARE(QImage(outDir + "/wide.png").size(), QSize(115, 57));
}

void tst_Conversion::settingsTakenAtCommand()
{
    QStringList files;
    for (int i = 0; i < 5; ++i)
        files << writeImage(tmp->filePath(QStringLiteral("src/%1.png").arg(i)), QSize(100, 80));
    QScopedPointer<MainWindow> w(window(files, outDir));
    w->batchRunner->setMaxInFlight(1);
    w->ui->spinBoxPercent->setValue(50);
    w->ui->comboBoxFormat->setCurrentIndex(1);
    w->ui->checkBoxAutoOpenDir->setChecked(true);
    w->bothConvert();
    // Changed while the batch waits: applies to the next batch only. So
    // does the save folder that opening other images proposes.
    w->ui->spinBoxPercent->setValue(10);
    w->ui->comboBoxFormat->setCurrentIndex(4);
    const QString other = writeImage(tmp->filePath(QStringLiteral("other/x.png")), QSize(8, 8));
    answerFileDialog({other});
    w->addImages();
    QCOMPARE(w->ui->lineEditSaveDir->text(), tmp->filePath(QStringLiteral("other/ConvertedImages")));
    QTRY_COMPARE(TestSupport::withoutSaved(w->ui->statusBar->currentMessage()),
                 QStringLiteral("Size and format convert finished"));
    for (int i = 0; i < 5; ++i)
        QCOMPARE(QImage(outDir + QStringLiteral("/%1.BMP").arg(i)).size(), QSize(50, 40));
    QCOMPARE(savedNames().size(), 5);
    QVERIFY(!QFileInfo::exists(tmp->filePath(QStringLiteral("other/ConvertedImages"))));
    QCOMPARE(catcher.urls, QList<QUrl>{QUrl::fromLocalFile(outDir)});
}

void tst_Conversion::sourcesNeverOverwritten()
{
    const QString dir = tmp->filePath("same");
    const QString a = writeImage(dir + "/a.png", QSize(40, 40));
    const QString b = writeImage(dir + "/b.jpg", QSize(40, 40));
    // A source whose name the other's result would take.
    const QString bAsPng = writeImage(dir + "/b.png", QSize(10, 10));
    QVERIFY(QFile::link(a, dir + "/link.png"));
    const QByteArray sumA = checksum(a), sumB = checksum(b), sumBPng = checksum(bAsPng);

    // The save directory spelled another way still names the same folder.
    QScopedPointer<MainWindow> w(window({a, b, bAsPng}, dir + "/../same//"));
    w->ui->comboBoxFormat->setCurrentIndex(4); // png
    w->ui->spinBoxPercent->setValue(50);
    runBatch(w.data(), &MainWindow::bothConvert);
    QCOMPARE(TestSupport::withoutSaved(w->ui->statusBar->currentMessage()),
             QStringLiteral("Size and format convert finished"));
    QCOMPARE(checksum(a), sumA);
    QCOMPARE(checksum(b), sumB);
    QCOMPARE(checksum(bAsPng), sumBPng);
    QStringList names = QDir(dir).entryList(QDir::Files);
    names.sort();
    QCOMPARE(names, (QStringList{"a (2).png", "a.png", "b (2).png", "b (3).png", "b.jpg",
                                 "b.png", "link.png"}));

    // A link to a source is the source.
    QScopedPointer<MainWindow> linked(window({dir + "/link.png"}, dir));
    runBatch(linked.data(), &MainWindow::sizeConvert);
    QCOMPARE(checksum(a), sumA);
    QVERIFY(QFileInfo(dir + "/link (2).png").isFile());
}

void tst_Conversion::clashesWithinBatchGetNumbers()
{
    const QString jpg = writeImage(tmp->filePath("src/a.jpg"), QSize(30, 30));
    const QString png = writeImage(tmp->filePath("src/a.png"), QSize(20, 20));
    const QString other = writeImage(tmp->filePath("src/more/a.bmp"), QSize(10, 10), "BMP");
    QScopedPointer<MainWindow> w(window({jpg, png, other}, outDir));
    w->ui->comboBoxFormat->setCurrentIndex(4);
    runBatch(w.data(), &MainWindow::formatConvert);
    QCOMPARE(savedNames(), (QStringList{"a (2).png", "a (3).png", "a.png"}));
    QList<QSize> sizes;
    for (const QString &name : savedNames())
        sizes << QImage(outDir + "/" + name).size();
    QVERIFY(sizes.contains(QSize(30, 30)) && sizes.contains(QSize(20, 20))
            && sizes.contains(QSize(10, 10)));
    QCOMPARE(w->ui->listWidgetConvert->count(), 3);
}

void tst_Conversion::earlierBatchOverwritten()
{
    const QString file = writeImage(tmp->filePath("src/x.png"), QSize(40, 40));
    QScopedPointer<MainWindow> w(window({file}, outDir));
    runBatch(w.data(), &MainWindow::formatConvert);
    w->ui->statusBar->clearMessage();
    w->ui->spinBoxPercent->setValue(50);
    runBatch(w.data(), &MainWindow::sizeConvert);
    QCOMPARE(savedNames(), QStringList{"x.png"});
    QCOMPARE(QImage(outDir + "/x.png").size(), QSize(20, 20));
}

void tst_Conversion::missingSaveDirectoryAsksOnce()
{
    QStringList files;
    for (int i = 0; i < 3; ++i)
        files << writeImage(tmp->filePath(QStringLiteral("src/%1.png").arg(i)), QSize(10, 10));
    QScopedPointer<MainWindow> w(window(files, QString()));
    w->show();
    int boxes = 0;
    QString title, text;
    QTimer poll;
    connect(&poll, &QTimer::timeout, this, [&]() {
        if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
            ++boxes;
            title = box->windowTitle();
            text = box->text();
            box->accept();
        }
    });
    poll.start(10);
    w->formatConvert();
    QTRY_COMPARE(TestSupport::withoutSaved(w->ui->statusBar->currentMessage()),
                 QStringLiteral("Format convert finished, 3 of 3 images failed"));
    QTRY_VERIFY(!QApplication::activeModalWidget());
    QCOMPARE(boxes, 1);
    QCOMPARE(title, QStringLiteral("Save Diretory Not Setting"));
    QCOMPARE(text, QStringLiteral("Please select an exist directory to save convert images"));
    QCOMPARE(w->ui->listWidgetConvert->count(), 0);
}

void tst_Conversion::autoOpenAfterFinish()
{
    const QString file = writeImage(tmp->filePath("src/o.png"), QSize(10, 10));
    QScopedPointer<MainWindow> w(window({file}, outDir));
    runBatch(w.data(), &MainWindow::formatConvert);
    QVERIFY(catcher.urls.isEmpty());

    w->ui->checkBoxAutoOpenDir->setChecked(true);
    w->ui->statusBar->clearMessage();
    runBatch(w.data(), &MainWindow::sizeConvert);
    QCOMPARE(catcher.urls, QList<QUrl>{QUrl::fromLocalFile(outDir)});
    QCOMPARE(catcher.urls.first().toString(), QStringLiteral("file://") + outDir);
    QCOMPARE(catcher.existed, QList<bool>{true});

    // Nothing written, nothing to show: the folder may not even exist.
    QFile notAnImage(tmp->filePath("src/not-an-image.png"));
    QVERIFY(notAnImage.open(QIODevice::WriteOnly));
    notAnImage.write("text");
    notAnImage.close();
    w->imageFiles = QStringList{notAnImage.fileName()};
    w->ui->lineEditSaveDir->setText(tmp->filePath("never-made"));
    runBatch(w.data(), &MainWindow::sizeConvert);
    QCOMPARE(catcher.urls.size(), 1);

    // No opener to be had (as here, without the handler): said, not silent.
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
    auto back = qScopeGuard([this]() {
        QDesktopServices::setUrlHandler(QStringLiteral("file"), &catcher, "open");
    });
    w->imageFiles = QStringList{file};
    w->ui->lineEditSaveDir->setText(outDir);
    runBatch(w.data(), &MainWindow::sizeConvert);
    const QString status = w->ui->statusBar->currentMessage();
    QVERIFY2(status.startsWith(QLatin1String("Size convert finished, "))
                     && status.endsWith(QLatin1String(", the folder could not be opened")),
             qPrintable(status));
}

void tst_Conversion::writtenThumbnailShowsFile()
{
    const QString file = writeImage(tmp->filePath("src/colour.png"), QSize(64, 64));
    QScopedPointer<MainWindow> w(window({file}, outDir));
    w->ui->comboBoxFormat->setCurrentIndex(7); // XBM: black and white
    runBatch(w.data(), &MainWindow::formatConvert);
    QCOMPARE(w->ui->listWidgetConvert->count(), 1);
    const QImage thumb = w->ui->listWidgetConvert->item(0)->icon().pixmap(128, 128).toImage();
    QVERIFY(!thumb.isNull());
    for (int y = 0; y < thumb.height(); y += 7)
        for (int x = 0; x < thumb.width(); x += 7) {
            const QRgb p = thumb.pixel(x, y);
            QVERIFY(qGray(p) == 0 || qGray(p) == 255);
        }
}

QTEST_MAIN(tst_Conversion)
#include "tst_conversion.moc"
