#include "sources/folderscanner.h"
#include "fs/savefolder.h"

#include "testsupport.h"

#include <QSignalSpy>

#include <sys/stat.h>

using namespace TestSupport;

// Dropped files and folders turned into the list to open.
class tst_FolderScanner : public QObject
{
    Q_OBJECT

private slots:
    void expand_data();
    void expand();
    void scanKeepsPathsAndSkipsResults_data();
    void scanKeepsPathsAndSkipsResults();
    void proposedSaveFolder_data();
    void proposedSaveFolder();
    void searchRunsOffTheWindow();
    void partsComeAsFound_data();
    void partsComeAsFound();

private:
    void makeFixture(const QString &root, const QStringList &fixture);
    QTemporaryDir tmp;
};

// Fixtures are written as "kind:relative/path", kind one of image (a PNG),
// text, fifo, dir, results (a folder we made to save into), or link
// ("link:from->to", to relative to from's folder).
void tst_FolderScanner::expand_data()
{
    QTest::addColumn<QStringList>("fixture");
    QTest::addColumn<QStringList>("dropped");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("natural order, case ignored")
            << QStringList{"image:t/img10.png", "image:t/img2.png", "image:t/IMG1.png",
                           "image:t/b.png", "image:t/A.png"}
            << QStringList{"t"}
            << QStringList{"t/A.png", "t/b.png", "t/IMG1.png", "t/img2.png", "t/img10.png"};
    QTest::newRow("own files before subfolders, nested")
            << QStringList{"image:t/z.png", "image:t/sub 2/b.png", "image:t/sub 10/a.png",
                           "image:t/sub 2/deeper/c.png", "dir:t/empty"}
            << QStringList{"t"}
            << QStringList{"t/z.png", "t/sub 2/b.png", "t/sub 2/deeper/c.png",
                           "t/sub 10/a.png"};
    QTest::newRow("hidden files and folders skipped")
            << QStringList{"image:t/.hidden.png", "image:t/.thumbs/a.png", "image:t/seen.png"}
            << QStringList{"t"} << QStringList{"t/seen.png"};
    QTest::newRow("link loop and links to folders not followed")
            << QStringList{"image:t/a.png", "link:t/loop->.", "image:other/b.png",
                           "link:t/elsewhere->../other", "link:t/file-link.png->a.png"}
            << QStringList{"t"} << QStringList{"t/a.png", "t/file-link.png"};
    QTest::newRow("by contents, not by name")
            << QStringList{"text:t/text-named-photo.jpg", "image:t/photo-without-suffix",
                           "fifo:t/fifo-named-photo.jpg"}
            << QStringList{"t"} << QStringList{"t/photo-without-suffix"};
    QTest::newRow("files dropped by themselves kept as they are")
            << QStringList{"text:notes.txt", "image:t/a.png"}
            << QStringList{"notes.txt", "missing.png", "t"}
            << QStringList{"notes.txt", "missing.png", "t/a.png"};
    QTest::newRow("a dropped link to a folder is searched")
            << QStringList{"image:real/a.png", "link:via->real"}
            << QStringList{"via"} << QStringList{"via/a.png"};
    QTest::newRow("empty folder") << QStringList{"dir:t/nothing"} << QStringList{"t"}
                                  << QStringList{};
}

void tst_FolderScanner::makeFixture(const QString &root, const QStringList &fixture)
{
    QVERIFY(QDir().mkpath(root));
    for (const QString &entry : std::as_const(fixture)) {
        const QString kind = entry.section(QLatin1Char(':'), 0, 0);
        const QString rest = entry.section(QLatin1Char(':'), 1);
        const QString path = root + QLatin1Char('/') + rest.section(QLatin1String("->"), 0, 0);
        QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
        if (kind == QLatin1String("image")) {
            QVERIFY(pattern(QSize(8, 8)).save(path, "PNG"));
        } else if (kind == QLatin1String("text")) {
            writeBytes(path, "not an image at all\n");
        } else if (kind == QLatin1String("fifo")) {
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        } else if (kind == QLatin1String("dir")) {
            QVERIFY(QDir().mkpath(path));
        } else if (kind == QLatin1String("results")) {
            QVERIFY(!QFileInfo::exists(path));
            QCOMPARE(SaveFolder::make(path, false), QString());
            if (!SaveFolder::holdsResults(path))
                QSKIP("this volume holds no extended attributes to mark folders of results");
        } else {
            QVERIFY(QFile::link(rest.section(QLatin1String("->"), 1), path));
        }
    }
}

void tst_FolderScanner::expand()
{
    QFETCH(QStringList, fixture);
    QFETCH(QStringList, dropped);
    QFETCH(QStringList, expected);
    QVERIFY(tmp.isValid());
    const QString root = tmp.filePath(QString::fromLatin1(QTest::currentDataTag()));
    makeFixture(root, fixture);
    QStringList absolute;
    for (const QString &path : std::as_const(dropped))
        absolute << root + QLatin1Char('/') + path;
    QStringList found = FolderScanner::expand(absolute);
    for (QString &path : found)
        path = QDir(root).relativeFilePath(path);
    QCOMPARE(found, expected);
}

// Expected files are written "file" (straight into the save folder) or
// "file>subfolder".
void tst_FolderScanner::scanKeepsPathsAndSkipsResults_data()
{
    QTest::addColumn<QStringList>("fixture");
    QTest::addColumn<QStringList>("dropped");
    QTest::addColumn<QStringList>("skip");
    QTest::addColumn<QStringList>("expected");
    QTest::addColumn<int>("skipped");

    QTest::newRow("one folder: paths below it")
            << QStringList{"image:Phone/DCIM/100CANON/IMG_1.png",
                           "image:Phone/DCIM/101CANON/IMG_1.png", "image:Phone/top.png"}
            << QStringList{"Phone"} << QStringList{}
            << QStringList{"Phone/top.png", "Phone/DCIM/100CANON/IMG_1.png>DCIM/100CANON",
                           "Phone/DCIM/101CANON/IMG_1.png>DCIM/101CANON"}
            << 0;
    QTest::newRow("several folders: each under its own name")
            << QStringList{"image:a/x.png", "image:b/x.png", "image:b/in/y.png"}
            << QStringList{"a", "b"} << QStringList{}
            << QStringList{"a/x.png>a", "b/x.png>b", "b/in/y.png>b/in"} << 0;
    QTest::newRow("several folders of one name stay apart")
            << QStringList{"image:one/DCIM/x.png", "image:two/DCIM/x.png"}
            << QStringList{"one/DCIM", "two/DCIM"} << QStringList{}
            << QStringList{"one/DCIM/x.png>DCIM", "two/DCIM/x.png>DCIM (2)"} << 0;
    QTest::newRow("a file and a folder")
            << QStringList{"image:loose.png", "image:t/sub/a.png"}
            << QStringList{"loose.png", "t"} << QStringList{}
            << QStringList{"loose.png", "t/sub/a.png>sub"} << 0;
    QTest::newRow("folders of results skipped")
            << QStringList{"image:t/a.png", "results:t/ConvertedImages", "image:t/ConvertedImages/a.png",
                           "results:t/deep/out", "image:t/deep/out/b.png", "image:t/deep/c.png"}
            << QStringList{"t"} << QStringList{}
            << QStringList{"t/a.png", "t/deep/c.png>deep"} << 2;
    QTest::newRow("the save folder skipped")
            << QStringList{"image:t/a.png", "image:t/chosen/a.png"}
            << QStringList{"t"} << QStringList{"t/chosen"} << QStringList{"t/a.png"} << 1;
    QTest::newRow("a folder of results given is searched")
            << QStringList{"results:out", "image:out/a.png"}
            << QStringList{"out"} << QStringList{"out"} << QStringList{"out/a.png"} << 0;
    QTest::newRow("a link to a folder outside not followed")
            << QStringList{"image:t/a.png", "image:outside/secret.png", "link:t/away->../outside"}
            << QStringList{"t"} << QStringList{} << QStringList{"t/a.png"} << 0;
}

void tst_FolderScanner::scanKeepsPathsAndSkipsResults()
{
    QFETCH(QStringList, fixture);
    QFETCH(QStringList, dropped);
    QFETCH(QStringList, skip);
    QFETCH(QStringList, expected);
    QFETCH(int, skipped);
    QVERIFY(tmp.isValid());
    const QString root = tmp.filePath(QStringLiteral("scan ") + QTest::currentDataTag());
    makeFixture(root, fixture);
    const auto absolute = [&root](const QStringList &paths) {
        QStringList result;
        for (const QString &path : paths)
            result << root + QLatin1Char('/') + path;
        return result;
    };
    const SourceTree tree = FolderScanner::scan(absolute(dropped), absolute(skip));
    QStringList found;
    for (const QString &file : tree.files) {
        const QString sub = tree.subfolderOf(file);
        found << QDir(root).relativeFilePath(file) + (sub.isEmpty() ? QString() : ">" + sub);
    }
    QCOMPARE(found, expected);
    QCOMPARE(tree.skippedFolders, skipped);
}

void tst_FolderScanner::proposedSaveFolder_data()
{
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QStringList>("folders");
    QTest::addColumn<QString>("expected");
    QTest::newRow("files alone") << QStringList{"/p/a.png", "/q/b.png"} << QStringList{}
                                 << QStringLiteral("/p/ConvertedImages");
    QTest::newRow("file in the root") << QStringList{"/a.png"} << QStringList{}
                                      << QStringLiteral("/ConvertedImages");
    QTest::newRow("one folder") << QStringList{"/m/Phone/a.png"} << QStringList{"/m/Phone"}
                                << QStringLiteral("/m/Phone (converted)");
    QTest::newRow("one folder after a file")
            << QStringList{"/x/a.png", "/m/Phone/b.png"} << QStringList{"/m/Phone"}
            << QStringLiteral("/m/Phone (converted)");
    QTest::newRow("several folders") << QStringList{"/m/A/a.png"} << QStringList{"/m/A", "/m/B"}
                                     << QStringLiteral("/m/ConvertedImages");
    QTest::newRow("one inside another")
            << QStringList{"/m/A/a.png"} << QStringList{"/m/A/in", "/m/A"}
            << QStringLiteral("/m/ConvertedImages");
    QTest::newRow("the root") << QStringList{"/a.png"} << QStringList{"/"}
                              << QStringLiteral("/ConvertedImages");
}

void tst_FolderScanner::proposedSaveFolder()
{
    QFETCH(QStringList, files);
    QFETCH(QStringList, folders);
    QFETCH(QString, expected);
    SourceTree tree = SourceTree::flat(files);
    tree.folders = folders;
    QCOMPARE(tree.proposedSaveFolder(), expected);
}

void tst_FolderScanner::searchRunsOffTheWindow()
{
    // Two searches in a row: only the second one's result is told.
    const QString root = tmp.filePath(QStringLiteral("async"));
    const QString first = writeImage(root + "/one/a.png", QSize(8, 8));
    const QString second = writeImage(root + "/two/b.png", QSize(8, 8));
    FolderScanner scanner;
    QSignalSpy finished(&scanner, &FolderScanner::finished);
    scanner.start({root + "/one"});
    scanner.start({root + "/two"});
    QVERIFY(finished.wait());
    QTest::qWait(50);
    QCOMPARE(finished.count(), 1);
    QCOMPARE(qvariant_cast<SourceTree>(finished.at(0).at(0)).files, QStringList{second});
    Q_UNUSED(first);
}

void tst_FolderScanner::partsComeAsFound_data()
{
    QTest::addColumn<bool>("onItsThread"); // start() and its signals, or scan()
    QTest::newRow("scan") << false;
    QTest::newRow("start") << true;
}

// A large folder's photos are handed over in parts while the search goes
// on: one after another they are the result, in its order, each with its
// results' subfolders.
void tst_FolderScanner::partsComeAsFound()
{
    QFETCH(bool, onItsThread);
    const QString root = tmp.filePath(QStringLiteral("parts-%1").arg(onItsThread));
    const QString photo = writeImage(root + "/one.png", QSize(8, 8));
    const qsizetype count = 2 * FolderScanner::partFiles + 100;
    QStringList links;
    for (qsizetype i = 0; i < count; ++i)
        links << root + QStringLiteral("/tree/sub %1/img%2.png").arg(i % 3).arg(i);
    QVERIFY(linkCopies(photo, links));
    QList<SourceTree> parts;
    SourceTree tree;
    if (onItsThread) {
        FolderScanner scanner;
        connect(&scanner, &FolderScanner::found, this, [&](const SourceTree &part) {
            QVERIFY(tree.files.isEmpty()); // none after the end
            parts << part;
        });
        connect(&scanner, &FolderScanner::finished, this,
                [&tree](const SourceTree &whole) { tree = whole; });
        scanner.start({root + "/tree", photo});
        QTRY_VERIFY(!tree.files.isEmpty());
    } else {
        tree = FolderScanner::scan({root + "/tree", photo}, {}, nullptr,
                                   [&parts](const SourceTree &part) { parts << part; });
    }
    QCOMPARE(tree.files.size(), count + 1);
    QVERIFY2(parts.size() >= 3, qPrintable(QString::number(parts.size())));
    QStringList joined;
    for (const SourceTree &part : std::as_const(parts)) {
        QVERIFY(part.files.size() <= FolderScanner::partFiles);
        QCOMPARE(part.folders, tree.folders);
        for (const QString &file : part.files)
            QCOMPARE(part.subfolderOf(file), tree.subfolderOf(file));
        joined << part.files;
    }
    QCOMPARE(joined, tree.files);
    QCOMPARE(tree.subfolderOf(tree.files.first()), QStringLiteral("sub 0"));
    QCOMPARE(tree.files.last(), photo);
}

QTEST_MAIN(tst_FolderScanner)
#include "tst_folderscanner.moc"
