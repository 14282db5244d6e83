#include "decode/imageloader.h"
#include "ui/mainwindow.h"
#include "decode/sourcereader.h"
#include "ui/thumbnaillist.h"
#include "thumbnail/thumbnailloader.h"
#include "ui_mainwindow.h"

#include "testsupport.h"
#include "windowfixture.h"

#include <QBuffer>
#include <QHelpEvent>
#include <QLocale>
#include <QToolTip>
#include <QListWidget>
#include <QToolButton>
#include <QProgressDialog>
#include <QScrollBar>
#include <QStatusBar>
#include <QtMath>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

using namespace TestSupport;

// The two lists' rows and thumbnails, removing images, and the save directory.
class tst_ImageLists : public QObject, private WindowFixture
{
    Q_OBJECT

private slots:
    void initTestCase();

    void openShowsRowsInOrderAndProposesDirectory();
    void openTwiceReplacesAndClearsConverted();
    void toolTipsTellSameNamesApart();
    void unreadableFileGetsRowWithoutPicture();
    void thumbnailsFitTheBox();
    void iconsKeepColourAndAlpha();
    void rotatedPhotoShownUpright();
    void nonAsciiAndSpacesInPaths();
    void nameNotUtf8ListedAndFailed();
    void rowsInViewWithoutLayout_data();
    void rowsInViewWithoutLayout();
    void removeNonAdjacentRows_data();
    void removeNonAdjacentRows();
    void removeNothingSelected();
    void deleteKeyRemovesSelected();
    void convertedRowReadsFile();
    void folderButtonAddsSlash();
    void folderButtonRootAndCancel();
    void newListHidesFailuresOfLastBatch();

private:
    static qreal screenRatio(QWidget *widget);

    QTemporaryDir settingsDir;
    QTemporaryDir tmp;
};

void tst_ImageLists::initTestCase()
{
    QVERIFY(settingsDir.isValid() && tmp.isValid());
    isolateSettings(settingsDir);
}

qreal tst_ImageLists::screenRatio(QWidget *widget)
{
    const qreal ratio = widget->devicePixelRatioF();
    if (qEnvironmentVariable("QT_SCALE_FACTOR") == QLatin1String("2"))
        [&]() { QCOMPARE(ratio, 2.0); }();
    return ratio;
}

void tst_ImageLists::openShowsRowsInOrderAndProposesDirectory()
{
    const QString dir = tmp.filePath(QStringLiteral("photos"));
    const QString a = writeImage(dir + "/b.png", QSize(300, 100));
    const QString b = writeImage(dir + "/a.jpg", QSize(80, 60));
    MainWindow w;
    w.show();
    w.ui->lineEditSaveDir->setText(QStringLiteral("/chosen/before/"));
    open(w, {a, b});
    QCOMPARE(w.imageFiles, (QStringList{a, b}));
    QCOMPARE(w.ui->listWidgetOriginal->count(), 2);
    QCOMPARE(w.ui->listWidgetOriginal->item(0)->text(), QStringLiteral("b.png"));
    QCOMPARE(w.ui->listWidgetOriginal->item(1)->text(), QStringLiteral("a.jpg"));
    QCOMPARE(w.lastOpenDir, dir);
    QCOMPARE(w.ui->lineEditSaveDir->text(), dir + "/ConvertedImages");
    QVERIFY(!QFileInfo::exists(dir + "/ConvertedImages"));
    // The loading dialog is gone once every thumbnail is in.
    QTRY_VERIFY(!w.findChild<QProgressDialog *>());
}

void tst_ImageLists::openTwiceReplacesAndClearsConverted()
{
    const QString first = writeImage(tmp.filePath("one/x.png"), QSize(20, 20));
    const QString second = writeImage(tmp.filePath("two/y.png"), QSize(20, 20));
    MainWindow w;
    open(w, {first});
    w.ui->listWidgetConvert->addItem(QStringLiteral("stale"));
    open(w, {second});
    QCOMPARE(w.imageFiles, QStringList{second});
    QCOMPARE(w.ui->listWidgetOriginal->count(), 1);
    QCOMPARE(w.ui->listWidgetConvert->count(), 0);
}

// Two photos of one name (a phone's received and sent pictures) look the
// same in the list: their tooltips say where each is, how large it shows
// and how large its file is.
void tst_ImageLists::toolTipsTellSameNamesApart()
{
    const QString dir = tmp.filePath(QStringLiteral("WhatsApp"));
    const QString received = writeImage(dir + "/Images/IMG-20240620-WA0001.jpg", QSize(300, 200));
    const QString sent = writeImage(dir + "/Sent/IMG-20240620-WA0001.jpg", QSize(120, 160));
    MainWindow w;
    w.show();
    w.openImages({dir});
    QTRY_COMPARE(w.ui->statusBar->currentMessage(), QStringLiteral("2 images loaded"));
    QListWidget *list = w.ui->listWidgetOriginal;
    QTRY_VERIFY(!list->item(0)->icon().isNull() && !list->item(1)->icon().isNull());
    QCOMPARE(list->item(0)->text(), list->item(1)->text());
    const QStringList wanted{
            received + QStringLiteral("\n300 × 200 pixels, ")
                    + QLocale().formattedDataSize(QFileInfo(received).size(), 1,
                                                  QLocale::DataSizeTraditionalFormat),
            sent + QStringLiteral("\n120 × 160 pixels, ")
                    + QLocale().formattedDataSize(QFileInfo(sent).size(), 1,
                                                  QLocale::DataSizeTraditionalFormat)};
    for (int row = 0; row < 2; ++row) {
        const QRect rect = list->visualItemRect(list->item(row));
        QHelpEvent hover(QEvent::ToolTip, rect.center(), list->viewport()->mapToGlobal(rect.center()));
        QApplication::sendEvent(list->viewport(), &hover);
        QTRY_COMPARE(QToolTip::text(), wanted.at(row));
        QToolTip::hideText();
    }
}

void tst_ImageLists::unreadableFileGetsRowWithoutPicture()
{
    const QString good = writeImage(tmp.filePath("mixed/good.png"), QSize(40, 40));
    const QString bad = tmp.filePath("mixed/text-named-png.png");
    QFile f(bad);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("this is not an image\n");
    f.close();
    MainWindow w;
    open(w, {bad, good});
    QCOMPARE(w.ui->listWidgetOriginal->item(0)->text(), QStringLiteral("text-named-png.png"));
    QVERIFY(iconOf(w.ui->listWidgetOriginal, 0).isNull());
    QTRY_VERIFY(!iconOf(w.ui->listWidgetOriginal, 1).isNull());
}

void tst_ImageLists::thumbnailsFitTheBox()
{
    const QString wide = writeImage(tmp.filePath("box/wide.png"), QSize(300, 100));
    const QString small = writeImage(tmp.filePath("box/small.bmp"), QSize(32, 32), "BMP");
    const QString photo = writeImage(tmp.filePath("box/photo.jpg"), QSize(1600, 1200));
    MainWindow w;
    open(w, {wide, small, photo});
    // Also run on a screen of twice the density (QT_SCALE_FACTOR=2), where
    // the same box holds twice the pixels each way.
    const qreal ratio = screenRatio(w.ui->listWidgetOriginal);
    const int side = qCeil(128 * ratio);
    const QList<QSize> expected{QSize(300, 100).scaled(side, side, Qt::KeepAspectRatio),
                                QSize(side, side),
                                QSize(1600, 1200).scaled(side, side, Qt::KeepAspectRatio)};
    for (int row = 0; row < 3; ++row) {
        const QIcon icon = iconOf(w.ui->listWidgetOriginal, row);
        QVERIFY(!icon.isNull());
        QCOMPARE(icon.availableSizes().value(0), expected[row]);
        const QPixmap shown = icon.pixmap(QSize(128, 128), ratio);
        QCOMPARE(shown.size(), expected[row]);
        QCOMPARE(shown.devicePixelRatio(), ratio);
    }
}

void tst_ImageLists::iconsKeepColourAndAlpha()
{
    // Half opaque red, half clear; grey; green: however the list keeps the
    // pictures, each shows its own pixels.
    QImage halfClear(40, 40, QImage::Format_ARGB32);
    halfClear.fill(Qt::transparent);
    for (int y = 0; y < 40; ++y)
        for (int x = 0; x < 20; ++x)
            halfClear.setPixel(x, y, qRgba(255, 0, 0, 255));
    QImage grey(40, 40, QImage::Format_Grayscale8);
    grey.fill(QColor(100, 100, 100));
    QImage green(40, 40, QImage::Format_RGB32);
    green.fill(QColor(10, 200, 30));
    QStringList files;
    for (const auto &[name, image] : {std::pair{"clear.png", halfClear}, {"grey.png", grey},
                                      {"green.png", green}}) {
        files << tmp.filePath(QStringLiteral("pixels/") + QLatin1String(name));
        QVERIFY(QDir().mkpath(tmp.filePath(QStringLiteral("pixels"))) && image.save(files.last()));
    }
    MainWindow w;
    open(w, files);
    const qreal ratio = screenRatio(w.ui->listWidgetOriginal);
    auto shown = [&](int row) {
        return iconOf(w.ui->listWidgetOriginal, row).pixmap(QSize(128, 128), ratio).toImage();
    };
    const QImage first = shown(0);
    QCOMPARE(first.pixel(5, 64), qRgba(255, 0, 0, 255));
    QCOMPARE(qAlpha(first.pixel(first.width() - 5, 64)), 0);
    QCOMPARE(shown(1).pixel(64, 64), qRgb(100, 100, 100));
    QCOMPARE(shown(2).pixel(64, 64), qRgb(10, 200, 30));
}

void tst_ImageLists::rotatedPhotoShownUpright()
{
    // Stored 200 x 100, orientation 6: appears 100 wide and 200 high.
    const QString rotated = writeRotatedJpeg(tmp.filePath("rot/turned.jpg"), QSize(200, 100), 6);
    MainWindow w;
    open(w, {rotated});
    QCOMPARE(iconOf(w.ui->listWidgetOriginal, 0).availableSizes().value(0), QSize(64, 128));
    QCOMPARE(w.getConvertSize(rotated), QSize(100, 200));
}

void tst_ImageLists::nonAsciiAndSpacesInPaths()
{
    const QString dir = tmp.filePath(QStringLiteral("my photos é/中文"));
    const QString file = writeImage(dir + QStringLiteral("/été 1.png"), QSize(50, 50));
    MainWindow w;
    open(w, {file});
    QCOMPARE(w.ui->listWidgetOriginal->item(0)->text(), QStringLiteral("été 1.png"));
    QTRY_VERIFY(!iconOf(w.ui->listWidgetOriginal, 0).isNull());
    QCOMPARE(w.ui->lineEditSaveDir->text(), dir + "/ConvertedImages");
}

// A Latin-1 name from an old camera or a zip archive: Qt's own listings
// leave it out, and a desktop's file dialog hands it over with U+FFFD for
// the byte that is not UTF-8, a path that names no file. The row is
// listed; reading it says why it fails.
void tst_ImageLists::nameNotUtf8ListedAndFailed()
{
    const QString dir = tmp.filePath(QStringLiteral("latin1"));
    QDir().mkpath(dir);
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    QVERIFY(pattern(QSize(40, 30)).save(&buffer, "png"));
    const QByteArray native = QFile::encodeName(dir) + "/caf\xe9.png";
    const int fd = ::open(native.constData(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    QVERIFY(fd >= 0);
    QCOMPARE(::write(fd, png.constData(), size_t(png.size())), ssize_t(png.size()));
    ::close(fd);
    // Qt could not remove it with the folder.
    const auto remove = qScopeGuard([native]() { ::unlink(native.constData()); });
    QVERIFY(QDir(dir).isEmpty());
    const QString path = QFile::decodeName(native);
    QCOMPARE(QFileInfo(path).fileName(), QStringLiteral("caf\uFFFD.png"));

    QListWidget list;
    list.setIconSize(QSize(128, 128));
    ThumbnailLoader loader;
    ThumbnailList rows(&list, &loader);
    int loaded = 0;
    rows.addRows({path}, [&loaded]() { ++loaded; });
    QTRY_COMPARE(loaded, 1);
    QCOMPARE(list.item(0)->text(), QStringLiteral("caf\uFFFD.png"));
    QVERIFY(list.item(0)->icon().isNull());
    SourceReader source(path);
    QString reason;
    ConversionResult::Step step = ConversionResult::NoStep;
    QVERIFY(ImageLoader::read(source, &reason, {}, &step).isNull());
    QCOMPARE(int(step), int(ConversionResult::Open));
    // Said as it is, not as the system's word for a missing file.
    QVERIFY(!reason.isEmpty() && reason != QString::fromLocal8Bit(std::strerror(ENOENT)));
}

void tst_ImageLists::rowsInViewWithoutLayout_data()
{
    QTest::addColumn<double>("scrolledTo"); // of the scroll bar's range
    QTest::newRow("top") << 0.0;
    QTest::newRow("middle") << 0.5;
    QTest::newRow("bottom") << 1.0;
}

// The rows the list takes for those on screen, found from the scroll bar,
// are those the laid-out view shows.
void tst_ImageLists::rowsInViewWithoutLayout()
{
    QFETCH(double, scrolledTo);
    MainWindow w;
    w.resize(900, 900);
    w.show();
    QListWidget *list = w.ui->listWidgetOriginal;
    auto *rows = list->findChild<ThumbnailList *>();
    QVERIFY(rows);
    QStringList names;
    for (int i = 0; i < 500; ++i)
        names << QStringLiteral("missing-%1.jpg").arg(i);
    list->addItems(names);
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QScrollBar *bar = list->verticalScrollBar();
    QTRY_VERIFY(bar->maximum() > 0);
    if (list->viewport()->height() < 2 * list->sizeHintForRow(0))
        QSKIP("the screen has no room for the list");
    bar->setValue(int(bar->maximum() * scrolledTo));
    const QPair<int, int> taken = rows->rowsInView(1);
    int first = -1;
    int last = -1;
    for (int row = 0; row < list->count(); ++row) {
        const QRect r = list->visualRect(list->model()->index(row, 0));
        if (r.bottom() >= 0 && r.top() < list->viewport()->height()) {
            if (first < 0)
                first = row;
            last = row;
        }
    }
    QCOMPARE(taken.first, first);
    // A row more or two, of those partly shown: their thumbnails come early.
    QVERIFY2(taken.second >= last && taken.second <= last + 2,
             qPrintable(QStringLiteral("%1 for %2").arg(taken.second).arg(last)));
}

void tst_ImageLists::removeNonAdjacentRows_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<QList<int>>("selected");
    QTest::newRow("two runs") << 5 << QList<int>{3, 0, 2};
    QList<int> everyOther;
    for (int row = 1; row < 150; row += 2)
        everyOther << row;
    QTest::newRow("75 runs") << 150 << everyOther;
}

void tst_ImageLists::removeNonAdjacentRows()
{
    QFETCH(int, count);
    QFETCH(QList<int>, selected);
    QStringList files;
    for (int i = 0; i < count; ++i)
        files << writeImage(tmp.filePath(QStringLiteral("rm%1/%2.png").arg(count).arg(i)), QSize(10, 10));
    MainWindow w;
    open(w, files);
    w.ui->listWidgetConvert->addItem(QStringLiteral("converted"));
    for (int row : selected)
        w.ui->listWidgetOriginal->item(row)->setSelected(true);
    w.removeImages();
    QCOMPARE(w.ui->statusBar->currentMessage(),
             QStringLiteral("%1 images removed.").arg(selected.size()));
    QStringList left;
    for (int i = 0; i < count; ++i) {
        if (!selected.contains(i))
            left << files[i];
    }
    QCOMPARE(w.imageFiles, left);
    QListWidget *list = w.ui->listWidgetOriginal;
    QCOMPARE(list->count(), left.size());
    for (int row = 0; row < left.size(); ++row)
        QCOMPARE(list->item(row)->text(), QFileInfo(left[row]).fileName());
    // The rows now near the view have their pictures, the others none.
    const QPair<int, int> kept = list->findChild<ThumbnailList *>()->keptRows();
    QVERIFY(kept.second >= kept.first);
    for (int row = 0; row < left.size(); ++row) {
        if (row >= kept.first && row <= kept.second)
            QTRY_VERIFY(!iconOf(list, row).isNull());
        else
            QVERIFY(iconOf(list, row).isNull());
    }
    QCOMPARE(w.ui->listWidgetConvert->count(), 1);
}

void tst_ImageLists::removeNothingSelected()
{
    const QString file = writeImage(tmp.filePath("none/n.png"), QSize(10, 10));
    MainWindow w;
    open(w, {file});
    w.removeImages();
    QCOMPARE(w.ui->statusBar->currentMessage(), QStringLiteral("0 images removed."));
    QCOMPARE(w.imageFiles.size(), 1);
}

void tst_ImageLists::deleteKeyRemovesSelected()
{
    QStringList files;
    for (int i = 0; i < 4; ++i)
        files << writeImage(tmp.filePath(QStringLiteral("del/%1.png").arg(i)), QSize(10, 10));
    MainWindow w;
    w.show();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    open(w, files);
    QTRY_VERIFY(!w.findChild<QProgressDialog *>());
    w.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    w.ui->listWidgetOriginal->item(0)->setSelected(true);
    w.ui->listWidgetOriginal->item(2)->setSelected(true);
    // In a field, Delete is the field's.
    w.ui->tabWidget->setCurrentWidget(w.ui->tabSize);
    w.ui->spinBoxPercent->setFocus();
    QTest::keyClick(w.ui->spinBoxPercent, Qt::Key_Delete);
    QCOMPARE(w.imageFiles.size(), 4);
    w.ui->listWidgetOriginal->setFocus();
    QTRY_VERIFY(w.ui->listWidgetOriginal->hasFocus());
    QTest::keyClick(w.ui->listWidgetOriginal, Qt::Key_Delete);
    QCOMPARE(w.ui->statusBar->currentMessage(), QStringLiteral("2 images removed."));
    QCOMPARE(w.imageFiles, (QStringList{files[1], files[3]}));
    QCOMPARE(w.ui->listWidgetOriginal->count(), 2);
}

void tst_ImageLists::convertedRowReadsFile()
{
    const QString small = writeImage(tmp.filePath("conv/small.png"), QSize(32, 32));
    MainWindow w;
    w.addConvertImageToList(small);
    w.addConvertImageToList(tmp.filePath("conv/gone.png"));
    QCOMPARE(w.ui->listWidgetConvert->count(), 2);
    QCOMPARE(w.ui->listWidgetConvert->item(0)->text(), QStringLiteral("small.png"));
    QCOMPARE(w.ui->listWidgetConvert->item(1)->text(), QStringLiteral("gone.png"));
    QTRY_VERIFY(!iconOf(w.ui->listWidgetConvert, 0).isNull());
    const int side = qCeil(128 * screenRatio(w.ui->listWidgetConvert));
    QCOMPARE(iconOf(w.ui->listWidgetConvert, 0).availableSizes().value(0), QSize(side, side));
    QVERIFY(iconOf(w.ui->listWidgetConvert, 1).isNull());
}

void tst_ImageLists::folderButtonAddsSlash()
{
    const QString out = tmp.filePath(QStringLiteral("out dir"));
    QDir().mkpath(out);
    MainWindow w;
    w.show();
    answerFileDialog({}, out);
    w.ui->toolButtonSaveDir->click();
    QCOMPARE(w.ui->lineEditSaveDir->text(), out + "/");
}

void tst_ImageLists::folderButtonRootAndCancel()
{
    MainWindow w;
    w.show();
    answerFileDialog({}, QStringLiteral("/"));
    w.ui->toolButtonSaveDir->click();
    QCOMPARE(w.ui->lineEditSaveDir->text(), QStringLiteral("/"));

    w.ui->lineEditSaveDir->setText(QStringLiteral("/proposed/ConvertedImages"));
    answerFileDialog({});
    w.ui->toolButtonSaveDir->click();
    QCOMPARE(w.ui->lineEditSaveDir->text(), QStringLiteral("/proposed/ConvertedImages"));
}

void tst_ImageLists::newListHidesFailuresOfLastBatch()
{
    const QString bad = writeBytes(tmp.filePath("fail/text-named-png.png"), "not an image");
    const QString good = writeImage(tmp.filePath("fail/good.png"), QSize(20, 20));
    MainWindow w;
    w.show();
    open(w, {bad});
    w.sizeConvert();
    QTRY_VERIFY(w.ui->statusBar->currentMessage().contains(QStringLiteral("1 of 1 images failed")));
    auto *failures = w.findChild<QToolButton *>(QStringLiteral("toolButtonFailures"));
    QVERIFY(failures && failures->isVisible());
    w.openImages({good});
    QVERIFY(!failures->isVisible());
}

QTEST_MAIN(tst_ImageLists)
#include "tst_imagelists.moc"
