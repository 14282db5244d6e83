#include "fs/savefolder.h"
#include "ui/mainwindow.h"

#include "hostile/windowdriver.h"
#include "testsupport.h"

#include <QDirIterator>

using namespace TestSupport;
using namespace Hostile;

// Folders in, folders out: a dropped tree converts into the same tree
// under the save folder, made level by level and never through a link,
// and its results are not offered again.
class tst_SaveFolder : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void makeBelow_data();
    void makeBelow();
    void droppedTreeMirrored();
    void secondOpeningSkipsResults_data();
    void secondOpeningSkipsResults();
    void fileAndFolderTogether();
    void linksLeadNowhere_data();
    void linksLeadNowhere();

private:
    // Every file below dir, hidden ones and links to folders left out, as
    // sorted relative paths.
    static QStringList filesBelow(const QString &dir);
    static void drop(WindowDriver &d, const QList<QUrl> &urls, const QString &loaded);
    static void convert(WindowDriver &d, int failed = 0);

    QTemporaryDir settingsDir;
    QTemporaryDir tmp;
};

void tst_SaveFolder::initTestCase()
{
    QVERIFY(settingsDir.isValid() && tmp.isValid());
    isolateSettings(settingsDir);
}

QStringList tst_SaveFolder::filesBelow(const QString &dir)
{
    QStringList files;
    QDirIterator it(dir, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext())
        files << QDir(dir).relativeFilePath(it.next());
    files.sort();
    return files;
}

void tst_SaveFolder::drop(WindowDriver &d, const QList<QUrl> &urls, const QString &loaded)
{
    d.status->clearMessage();
    QVERIFY(dropUrls(d.original->viewport(), urls));
    QTRY_COMPARE_WITH_TIMEOUT(d.status->currentMessage(), loaded, 120000);
}

void tst_SaveFolder::convert(WindowDriver &d, int failed)
{
    d.status->clearMessage();
    QVERIFY(d.startCommand(BothCommand));
    QTRY_VERIFY_WITH_TIMEOUT(d.report().finished, 120000);
    QCOMPARE(d.report().failed, failed);
}

void tst_SaveFolder::makeBelow_data()
{
    QTest::addColumn<QString>("relative");
    QTest::addColumn<QString>("planted"); // "link:path" or "file:path" below the save folder
    QTest::addColumn<QString>("refusal"); // in the reason; empty: made

    QTest::newRow("nested, made") << "a/b/c" << QString() << QString();
    QTest::newRow("existing, kept") << "a/b" << "dir:a/b" << QString();
    QTest::newRow("a link on the way") << "a/b/c" << "link:a/b" << "is a link";
    QTest::newRow("a link at the end") << "a/b" << "link:a/b" << "is a link";
    QTest::newRow("a file on the way") << "a/b/c" << "file:a/b" << "a file has its name";
    QTest::newRow("up, refused") << "a/../../x" << QString() << "is not a folder below";
}

void tst_SaveFolder::makeBelow()
{
    QFETCH(QString, relative);
    QFETCH(QString, planted);
    QFETCH(QString, refusal);
    const QString root = tmp.filePath(QStringLiteral("below ") + QTest::currentDataTag());
    const QString outside = root + "/outside";
    const QString save = root + "/save";
    QVERIFY(QDir().mkpath(outside) && QDir().mkpath(save));
    const QString at = save + "/" + planted.section(QLatin1Char(':'), 1);
    if (!planted.isEmpty())
        QVERIFY(QDir().mkpath(QFileInfo(at).path()));
    if (planted.startsWith("link:"))
        QVERIFY(QFile::link(outside, at));
    else if (planted.startsWith("file:"))
        writeBytes(at, "a file");
    else if (planted.startsWith("dir:"))
        QVERIFY(QDir().mkpath(at));

    const QString why = SaveFolder::makeBelow(save, relative);
    if (refusal.isEmpty()) {
        QCOMPARE(why, QString());
        QVERIFY(QFileInfo(save + "/" + relative).isDir());
    } else {
        QVERIFY2(why.contains(refusal), qPrintable(why));
    }
    // Nothing is ever made through the link, nor above the save folder.
    QCOMPARE(QDir(outside).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
    QVERIFY(!QFileInfo::exists(root + "/x"));
    // Folders made below the save folder carry no mark: it holds them.
    QVERIFY(!SaveFolder::holdsResults(save + "/a"));
}

void tst_SaveFolder::droppedTreeMirrored()
{
    const QString phone = tmp.filePath(QStringLiteral("mirror/Phone"));
    QStringList expected;
    for (const QString camera : {"100CANON", "101CANON"}) {
        for (const QString name : {"IMG_0015", "IMG_0016"}) {
            writeImage(phone + "/DCIM/" + camera + "/" + name + ".JPG", QSize(40, 30), "JPEG");
            expected << "DCIM/" + camera + "/" + name + ".JPG";
        }
    }
    writeImage(phone + "/cover.png", QSize(40, 30));
    expected << "cover.JPG";
    expected.sort();

    MainWindow w;
    w.show();
    WindowDriver d(&w);
    QVERIFY(d.complete());
    drop(d, {QUrl::fromLocalFile(phone)}, QStringLiteral("5 images loaded"));
    const QString out = tmp.filePath(QStringLiteral("mirror/Phone (converted)"));
    QCOMPARE(d.saveDir->text(), out);
    d.format->setCurrentIndex(d.format->findText(QStringLiteral("JPG")));
    d.percent->setValue(50);
    convert(d);
    // Same names in two folders stay apart: no "(2)" anywhere.
    QCOMPARE(filesBelow(out), expected);
    QCOMPARE(QImage(out + "/DCIM/101CANON/IMG_0016.JPG").size(), QSize(20, 15));
    QCOMPARE(d.converted->count(), 5);
    // Nothing but the results in it; the mark is on the folder.
    QCOMPARE(QDir(out).entryList(QDir::Files | QDir::Hidden), QStringList{"cover.JPG"});
    if (!SaveFolder::holdsResults(out))
        qWarning("this volume holds no extended attributes: folders of results are not marked");

    // Converted again: the same files, written over.
    convert(d);
    QCOMPARE(filesBelow(out), expected);
}

void tst_SaveFolder::secondOpeningSkipsResults_data()
{
    QTest::addColumn<bool>("openedOneByOne");
    QTest::addColumn<QString>("resultsIn"); // below the tree

    // Open Images proposes ConvertedImages beside the first photo, inside
    // the tree: we made it, so it is marked.
    QTest::newRow("proposed beside the photos") << true << "DCIM/100CANON/ConvertedImages";
    // A folder the user chose inside the tree is not marked, but it is the
    // save folder of the moment.
    QTest::newRow("chosen inside the tree") << false << "out";
}

void tst_SaveFolder::secondOpeningSkipsResults()
{
    QFETCH(bool, openedOneByOne);
    QFETCH(QString, resultsIn);
    const QString phone = tmp.filePath(QStringLiteral("again %1/Phone").arg(QTest::currentDataTag()));
    const QStringList photos{writeImage(phone + "/DCIM/100CANON/a.png", QSize(20, 20)),
                             writeImage(phone + "/DCIM/100CANON/b.png", QSize(20, 20))};
    MainWindow w;
    w.show();
    WindowDriver d(&w);
    if (openedOneByOne) {
        QVERIFY(d.startOpen(photos));
        QTRY_COMPARE(d.status->currentMessage(), QStringLiteral("2 images loaded"));
        QCOMPARE(d.saveDir->text(), phone + "/" + resultsIn);
    } else {
        drop(d, {QUrl::fromLocalFile(phone)}, QStringLiteral("2 images loaded"));
        QVERIFY(QDir().mkpath(phone + "/" + resultsIn));
        d.saveDir->setText(phone + "/" + resultsIn + "/"); // as the folder button sets it
    }
    d.format->setCurrentIndex(d.format->findText(QStringLiteral("JPG")));
    convert(d);
    QCOMPARE(filesBelow(phone + "/" + resultsIn).size(), 2);
    if (openedOneByOne && !SaveFolder::holdsResults(phone + "/" + resultsIn))
        QSKIP("this volume holds no extended attributes to mark folders of results");

    drop(d, {QUrl::fromLocalFile(phone)},
         QStringLiteral("2 images loaded, 1 folder of converted images skipped"));
    QCOMPARE(d.original->count(), 2);
    QCOMPARE(d.original->item(0)->text(), QStringLiteral("a.png"));
    QCOMPARE(d.original->item(1)->text(), QStringLiteral("b.png"));
}

void tst_SaveFolder::fileAndFolderTogether()
{
    const QString root = tmp.filePath(QStringLiteral("together"));
    const QString loose = writeImage(root + "/elsewhere/loose.png", QSize(20, 20));
    writeImage(root + "/Trip/a.png", QSize(20, 20));
    writeImage(root + "/Trip/day 2/a.png", QSize(20, 20));
    MainWindow w;
    w.show();
    WindowDriver d(&w);
    drop(d, {QUrl::fromLocalFile(loose), QUrl::fromLocalFile(root + "/Trip")},
         QStringLiteral("3 images loaded"));
    QCOMPARE(d.saveDir->text(), root + "/Trip (converted)");
    d.format->setCurrentIndex(d.format->findText(QStringLiteral("PNG")));
    convert(d);
    // The file dropped by itself goes straight in, as one picked would.
    QCOMPARE(filesBelow(root + "/Trip (converted)"),
             (QStringList{"a.png", "day 2/a.png", "loose.png"}));
}

void tst_SaveFolder::linksLeadNowhere_data()
{
    QTest::addColumn<QString>("link");    // made to point at the outside folder
    QTest::addColumn<QString>("loaded");
    QTest::addColumn<int>("failed");
    QTest::addColumn<QStringList>("written");

    // A link to a folder inside the dropped tree is not followed.
    QTest::newRow("in the dropped tree") << "Trip/away" << "2 images loaded" << 0
                                         << QStringList{"a.png", "sub/b.png"};
    // A link planted where a subfolder of results goes is not written
    // through: that image fails, the others are written.
    QTest::newRow("in the save tree") << "Trip (converted)/sub" << "2 images loaded" << 1
                                      << QStringList{"a.png"};
}

void tst_SaveFolder::linksLeadNowhere()
{
    QFETCH(QString, link);
    QFETCH(QString, loaded);
    QFETCH(int, failed);
    QFETCH(QStringList, written);
    const QString root = tmp.filePath(QStringLiteral("links ") + QTest::currentDataTag());
    writeImage(root + "/Trip/a.png", QSize(20, 20));
    writeImage(root + "/Trip/sub/b.png", QSize(20, 20));
    writeImage(root + "/outside/secret.png", QSize(20, 20));
    QVERIFY(QDir().mkpath(QFileInfo(root + "/" + link).path()));
    QVERIFY(QFile::link(root + "/outside", root + "/" + link));

    MainWindow w;
    w.show();
    WindowDriver d(&w);
    drop(d, {QUrl::fromLocalFile(root + "/Trip")}, loaded);
    d.format->setCurrentIndex(d.format->findText(QStringLiteral("PNG")));
    convert(d, failed);
    QCOMPARE(filesBelow(root + "/Trip (converted)"), written);
    QCOMPARE(filesBelow(root + "/outside"), QStringList{"secret.png"});
}

QTEST_MAIN(tst_SaveFolder)
#include "tst_savefolder.moc"
