#include "ui/mainwindow.h"
#include "sources/folderscanner.h"
#include "ui_mainwindow.h"

#include "testsupport.h"
#include "windowfixture.h"

#include <QListWidget>
#include <QProgressDialog>
#include <QStatusBar>

using namespace TestSupport;

// The list of images as it is opened: what a cancelled dialog, missing
// paths, folders without images and large folders leave in it.
class tst_SourceListing : public QObject, private WindowFixture
{
    Q_OBJECT

private slots:
    void initTestCase();

    void cancelKeepsEverything();
    void openImagesListsMissingPath_data();
    void openImagesListsMissingPath();
    void folderWithoutImagesKeepsList();
    void largeFolderListedAsFound_data();
    void largeFolderListedAsFound();

private:
    QTemporaryDir settingsDir;
    QTemporaryDir tmp;
};

void tst_SourceListing::initTestCase()
{
    QVERIFY(settingsDir.isValid() && tmp.isValid());
    isolateSettings(settingsDir);
}

void tst_SourceListing::cancelKeepsEverything()
{
    const QString file = writeImage(tmp.filePath("keep/k.png"), QSize(20, 20));
    MainWindow w;
    open(w, {file});
    w.ui->listWidgetConvert->addItem(QStringLiteral("converted"));
    const QString saveDir = w.ui->lineEditSaveDir->text();
    const QString lastDir = w.lastOpenDir;
    answerFileDialog({});
    w.addImages();
    QCOMPARE(w.imageFiles, QStringList{file});
    QCOMPARE(w.ui->listWidgetOriginal->count(), 1);
    QCOMPARE(w.ui->listWidgetConvert->count(), 1);
    QCOMPARE(w.ui->lineEditSaveDir->text(), saveDir);
    QCOMPARE(w.lastOpenDir, lastDir);
}

void tst_SourceListing::openImagesListsMissingPath_data()
{
    // A few paths are looked at in the window's thread, many on the
    // scanner's: the outcome is the same.
    QTest::addColumn<int>("others");
    QTest::newRow("two paths") << 0;
    QTest::newRow("two hundred paths") << 198;
}

void tst_SourceListing::openImagesListsMissingPath()
{
    QFETCH(int, others);
    const QString dir = tmp.filePath(QStringLiteral("args-%1").arg(others));
    const QString good = writeImage(dir + "/good.png", QSize(30, 30));
    const QString missing = dir + "/gone.png";
    QStringList paths{missing, good};
    for (int i = 0; i < others; ++i) {
        const QString copy = dir + QStringLiteral("/x%1.png").arg(i);
        QVERIFY(QFile::copy(good, copy));
        paths << copy;
    }
    MainWindow w;
    w.openImages(paths);
    QTRY_COMPARE(w.ui->statusBar->currentMessage(),
                 QStringLiteral("%1 images loaded").arg(paths.size()));
    QCOMPARE(w.imageFiles, paths);
    QCOMPARE(w.ui->listWidgetOriginal->item(0)->text(), QStringLiteral("gone.png"));
    QVERIFY(iconOf(w.ui->listWidgetOriginal, 0).isNull());
    QTRY_VERIFY(!iconOf(w.ui->listWidgetOriginal, 1).isNull());
    QCOMPARE(w.ui->lineEditSaveDir->text(), dir + "/ConvertedImages");
}

void tst_SourceListing::folderWithoutImagesKeepsList()
{
    const QString file = writeImage(tmp.filePath("kept/k.png"), QSize(20, 20));
    QVERIFY(QDir().mkpath(tmp.filePath("nothing here/.hidden")));
    MainWindow w;
    open(w, {file});
    w.openImages({tmp.filePath("nothing here")});
    QTRY_COMPARE(w.ui->statusBar->currentMessage(), QStringLiteral("No images found"));
    QCOMPARE(w.imageFiles, QStringList{file});
    QCOMPARE(w.ui->listWidgetOriginal->count(), 1);
    QTRY_VERIFY(!w.findChild<QProgressDialog *>());
}

void tst_SourceListing::largeFolderListedAsFound_data()
{
    QTest::addColumn<bool>("listedBefore"); // the same folder, already open
    QTest::newRow("into an empty list") << false;
    QTest::newRow("over the list it replaces") << true;
}

// The rows of a large folder come in while it is searched, in the order of
// the whole list, and after the rows they replace have gone.
void tst_SourceListing::largeFolderListedAsFound()
{
    QFETCH(bool, listedBefore);
    const QString root = tmp.filePath(QStringLiteral("large-%1").arg(listedBefore));
    const QString photo = writeImage(root + "/photo.png", QSize(8, 8));
    const int count = int(2 * FolderScanner::partFiles + 1);
    QStringList files;
    for (int i = 0; i < count; ++i)
        files << root + QStringLiteral("/tree/img%1.png").arg(i);
    QVERIFY(linkCopies(photo, files));
    const QString loaded = QStringLiteral("%1 images loaded").arg(count);
    MainWindow w;
    QListWidget *list = w.ui->listWidgetOriginal;
    if (listedBefore) {
        w.openImages({root + "/tree"});
        QTRY_COMPARE(w.ui->statusBar->currentMessage(), loaded);
        w.ui->statusBar->clearMessage();
    }
    // What the window knows when the first new row comes in.
    qsizetype foundAtFirstRow = -1;
    int firstRow = -1;
    connect(list->model(), &QAbstractItemModel::rowsInserted, this,
            [&](const QModelIndex &, int first) {
                if (foundAtFirstRow >= 0)
                    return;
                foundAtFirstRow = w.imageFiles.size();
                firstRow = first;
            });
    w.openImages({root + "/tree"});
    QTRY_COMPARE(w.ui->statusBar->currentMessage(), loaded);
    QCOMPARE(w.imageFiles, files);
    QCOMPARE(list->count(), count);
    QCOMPARE(list->item(count - 1)->text(), QFileInfo(files.last()).fileName());
    QCOMPARE(firstRow, 0);
    QVERIFY2(foundAtFirstRow > 0 && foundAtFirstRow < count,
             qPrintable(QString::number(foundAtFirstRow)));
    QTRY_VERIFY(!w.findChild<QProgressDialog *>());
}

QTEST_MAIN(tst_SourceListing)
#include "tst_sourcelisting.moc"
