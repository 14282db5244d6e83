#include "ui/mainwindow.h"
#include "ui_mainwindow.h"

#include "hostile/windowdriver.h"
#include "testsupport.h"

#include <QListWidget>
#include <QMimeData>
#include <QProgressDialog>
#include <QStatusBar>
#include <QUrl>

using namespace TestSupport;

// Files and folders dropped on the window: opened as Open Images opens
// them, wherever they land; drags without local files are left alone.
class tst_DropOpener : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void droppedFolderTreeOpensLikeOpenImages();
    void dragWithoutLocalFilesRefused_data();
    void dragWithoutLocalFilesRefused();

private:
    QTemporaryDir settingsDir;
    QTemporaryDir tmp;
};

void tst_DropOpener::initTestCase()
{
    QVERIFY(settingsDir.isValid() && tmp.isValid());
    isolateSettings(settingsDir);
}

void tst_DropOpener::droppedFolderTreeOpensLikeOpenImages()
{
    const QString root = tmp.filePath(QStringLiteral("dropped"));
    const QString a = writeImage(root + "/trip/img2.png", QSize(20, 10));
    const QString b = writeImage(root + "/trip/IMG10.png", QSize(20, 10));
    const QString c = writeImage(root + "/trip/day 1/x.jpg", QSize(20, 10));
    writeImage(root + "/trip/.cache/hidden.png", QSize(20, 10));
    writeBytes(root + "/trip/notes.txt", "not an image");
    QVERIFY(QFile::link(QStringLiteral(".."), root + "/trip/day 1/up"));
    const QString single = writeBytes(root + "/text-named-photo.jpg", "not an image");

    MainWindow w;
    w.show();
    QVERIFY(w.acceptDrops());
    w.ui->listWidgetConvert->addItem(QStringLiteral("converted before"));
    // Over either list, and over a field that takes text drops itself.
    for (QWidget *target : {w.ui->listWidgetConvert->viewport(),
                            w.ui->listWidgetOriginal->viewport(),
                            static_cast<QWidget *>(w.ui->lineEditSaveDir)}) {
        QVERIFY(Hostile::dropUrls(target, {QUrl::fromLocalFile(single), QUrl::fromLocalFile(root + "/trip")}));
        QTRY_COMPARE(w.ui->statusBar->currentMessage(), QStringLiteral("4 images loaded"));
        QCOMPARE(w.imageFiles, (QStringList{single, a, b, c}));
        QCOMPARE(w.ui->listWidgetOriginal->count(), 4);
        QCOMPARE(w.ui->listWidgetConvert->count(), 0);
        QCOMPARE(w.lastOpenDir, root);
        // Beside the dropped folder, whose tree its results keep.
        QCOMPARE(w.ui->lineEditSaveDir->text(), root + "/trip (converted)");
        QTRY_VERIFY(!w.findChild<QProgressDialog *>());
        w.ui->statusBar->clearMessage();
    }
    QCOMPARE(w.ui->lineEditSaveDir->text(), root + "/trip (converted)");
}

void tst_DropOpener::dragWithoutLocalFilesRefused_data()
{
    QTest::addColumn<QList<QUrl>>("urls");
    QTest::addColumn<QString>("text");
    QTest::newRow("text only") << QList<QUrl>{} << QStringLiteral("/some/path.png");
    QTest::newRow("web address") << QList<QUrl>{QUrl("https://example.org/a.png")} << QString();
}

void tst_DropOpener::dragWithoutLocalFilesRefused()
{
    QFETCH(QList<QUrl>, urls);
    QFETCH(QString, text);
    MainWindow w;
    w.show();
    QMimeData data;
    if (!urls.isEmpty())
        data.setUrls(urls);
    if (!text.isEmpty())
        data.setText(text);
    QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    enter.ignore();
    QApplication::sendEvent(&w, &enter);
    QVERIFY(!enter.isAccepted());
}

QTEST_MAIN(tst_DropOpener)
#include "tst_dropopener.moc"
