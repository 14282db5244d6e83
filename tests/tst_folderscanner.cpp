#include "sources/folderscanner.h"

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
    void searchRunsOffTheWindow();

private:
    QTemporaryDir tmp;
};

// Fixtures are written as "kind:relative/path", kind one of image (a PNG),
// text, fifo, dir, or link ("link:from->to", to relative to from's folder).
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

void tst_FolderScanner::expand()
{
    QFETCH(QStringList, fixture);
    QFETCH(QStringList, dropped);
    QFETCH(QStringList, expected);
    QVERIFY(tmp.isValid());
    const QString root = tmp.filePath(QString::fromLatin1(QTest::currentDataTag()));
    QVERIFY(QDir().mkpath(root));
    for (const QString &entry : std::as_const(fixture)) {
        const QString kind = entry.section(QLatin1Char(':'), 0, 0);
        const QString rest = entry.section(QLatin1Char(':'), 1);
        const QString path = root + QLatin1Char('/') + rest.section(QLatin1String("->"), 0, 0);
        QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
        if (kind == QLatin1String("image"))
            QVERIFY(pattern(QSize(8, 8)).save(path, "PNG"));
        else if (kind == QLatin1String("text"))
            writeBytes(path, "not an image at all\n");
        else if (kind == QLatin1String("fifo"))
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        else if (kind == QLatin1String("dir"))
            QVERIFY(QDir().mkpath(path));
        else
            QVERIFY(QFile::link(rest.section(QLatin1String("->"), 1), path));
    }
    QStringList absolute;
    for (const QString &path : std::as_const(dropped))
        absolute << root + QLatin1Char('/') + path;
    QStringList found = FolderScanner::expand(absolute);
    for (QString &path : found)
        path = QDir(root).relativeFilePath(path);
    QCOMPARE(found, expected);
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
    QCOMPARE(finished.at(0).at(0).toStringList(), QStringList{second});
    Q_UNUSED(first);
}

QTEST_MAIN(tst_FolderScanner)
#include "tst_folderscanner.moc"
