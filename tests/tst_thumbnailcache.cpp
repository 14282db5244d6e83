#include "ui/mainwindow.h"
#include "thumbnail/thumbnailcache.h"
#include "thumbnail/thumbnailloader.h"

#include "hostile/hostilecorpus.h"
#include "hostile/windowdriver.h"
#include "testsupport.h"

#include <QBuffer>
#include <QRandomGenerator>

#include <QCryptographicHash>
#include <QImageReader>
#include <QUrl>

#include <sys/stat.h>
#include <sys/types.h>
#include <utime.h>

using namespace TestSupport;

// The shared thumbnail cache: what is stored, what is trusted, what is not.
class tst_ThumbnailCache : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void storedAsOthersExpect_data();
    void storedAsOthersExpect();
    void usedWhileTheFileIsUnchanged();
    void othersThumbnailsUsed_data();
    void othersThumbnailsUsed();
    void unreadableFileRememberedUntilChanged();
    void nothingReadWithoutHelper();
    void smallPicturesAndOddFilesNotStored();
    void cameraPreviewsNotStored_data();
    void cameraPreviewsNotStored();
    void linksPlantedInCache_data();
    void linksPlantedInCache();
    void overgrownEntriesNotRead_data();
    void overgrownEntriesNotRead();

private:
    QString cacheFile(const QString &folder, const QString &path) const;
    static QImage tagged(const QString &path, QImage image);
    QString plant(const QString &path, const QImage &image, const QString &folder = "normal") const;
    static QSize none() { return QSize(0, 0); }
    static void setMTime(const QString &path, qint64 seconds);

    QTemporaryDir tmp;
    QString root;
};

void tst_ThumbnailCache::initTestCase()
{
    QVERIFY(tmp.isValid());
    isolateSettings(tmp.path());
    root = tmp.filePath(QStringLiteral("cache/thumbnails"));
    QCOMPARE(ThumbnailCache::rootPath(), root);
}

void tst_ThumbnailCache::init()
{
    QFile::remove(root); // a link a test planted
    QFile::remove(root + "/normal");
    QDir(root).removeRecursively();
}

QString tst_ThumbnailCache::cacheFile(const QString &folder, const QString &path) const
{
    const QByteArray uri = QUrl::fromLocalFile(path).toEncoded();
    return root + QLatin1Char('/') + folder + QLatin1Char('/')
            + QCryptographicHash::hash(uri, QCryptographicHash::Md5).toHex() + ".png";
}

// The image tagged as a thumbnail of the file at path as it is now, the
// way other programs tag them (without the file's size); tags it has
// already are kept.
QImage tst_ThumbnailCache::tagged(const QString &path, QImage image)
{
    const QString tags[][2] = {
            {"Thumb::URI", QString::fromLatin1(QUrl::fromLocalFile(path).toEncoded())},
            {"Thumb::MTime", QString::number(QFileInfo(path).lastModified().toSecsSinceEpoch())}};
    for (const auto &tag : tags) {
        if (image.text(tag[0]).isEmpty())
            image.setText(tag[0], tag[1]);
    }
    return image;
}

// Another program's entry for the file at path, in folder; its path.
QString tst_ThumbnailCache::plant(const QString &path, const QImage &image, const QString &folder) const
{
    const QString entry = cacheFile(folder, path);
    QDir().mkpath(QFileInfo(entry).path());
    if (!tagged(path, image).save(entry, "PNG"))
        return QString();
    return entry;
}

void tst_ThumbnailCache::setMTime(const QString &path, qint64 seconds)
{
    utimbuf times{time_t(seconds), time_t(seconds)};
    QCOMPARE(::utime(QFile::encodeName(path).constData(), &times), 0);
}

void tst_ThumbnailCache::storedAsOthersExpect_data()
{
    QTest::addColumn<int>("side");
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QSize>("expected");
    QTest::newRow("normal") << 128 << "normal" << QSize(128, 96);
    QTest::newRow("large, for 2x screens") << 256 << "large" << QSize(256, 192);
}

void tst_ThumbnailCache::storedAsOthersExpect()
{
    QFETCH(int, side);
    QFETCH(QString, folder);
    QFETCH(QSize, expected);
    const QString photo = writeImage(tmp.filePath("photos/a photo é.jpg"), QSize(800, 600));
    setMTime(photo, 1500000000);
    const QImage made = ThumbnailLoader::cachedFromFile(photo, side);
    QCOMPARE(made.size(), expected);

    const QString file = cacheFile(folder, photo);
    QImageReader reader(file);
    QCOMPARE(reader.format(), QByteArray("png"));
    const QImage stored = reader.read();
    QCOMPARE(stored.size(), expected);
    QCOMPARE(stored.text("Thumb::URI"), QString::fromLatin1(QUrl::fromLocalFile(photo).toEncoded()));
    QCOMPARE(stored.text("Thumb::MTime"), QStringLiteral("1500000000"));
    QCOMPARE(stored.text("Thumb::Size"), QString::number(QFileInfo(photo).size()));
    // Private to the user, and nothing half-written left beside it.
    struct stat st;
    QCOMPARE(::stat(QFile::encodeName(file).constData(), &st), 0);
    QCOMPARE(int(st.st_mode & 0777), 0600);
    QCOMPARE(::stat(QFile::encodeName(root).constData(), &st), 0);
    QCOMPARE(int(st.st_mode & 0777), 0700);
    QCOMPARE(QDir(root + "/" + folder).entryList(QDir::Files | QDir::Hidden).size(), 1);
}

void tst_ThumbnailCache::usedWhileTheFileIsUnchanged()
{
    const QString photo = writeImage(tmp.filePath("photos/b.jpg"), QSize(400, 400));
    setMTime(photo, 1500000000);
    ThumbnailLoader::cachedFromFile(photo, 128);
    // Mark the cached picture, so that using it shows.
    const QString file = cacheFile("normal", photo);
    QImage marked = QImageReader(file).read();
    marked.fill(Qt::magenta);
    QVERIFY(marked.save(file));
    QCOMPARE(ThumbnailLoader::cachedFromFile(photo, 128).pixelColor(0, 0), QColor(Qt::magenta));

    setMTime(photo, 1500000001);
    const QImage remade = ThumbnailLoader::cachedFromFile(photo, 128);
    QVERIFY(remade.pixelColor(0, 0) != QColor(Qt::magenta));
    QCOMPARE(QImageReader(file).read().text("Thumb::MTime"), QStringLiteral("1500000001"));
}

void tst_ThumbnailCache::othersThumbnailsUsed_data()
{
    QTest::addColumn<QSize>("stored");
    QTest::addColumn<QStringList>("tags");
    QTest::addColumn<QSize>("expected");
    QTest::addColumn<QSize>("shown");
    const QSize none(0, 0);
    QTest::newRow("as we make them") << QSize(128, 64) << QStringList() << QSize(128, 64) << QSize();
    QTest::newRow("with the file's size") << QSize(128, 64) << QStringList{"Thumb::Size=16"}
                                          << QSize(128, 64) << QSize();
    QTest::newRow("larger: fitted") << QSize(200, 100) << QStringList() << QSize(128, 64) << QSize();
    QTest::newRow("with the photo's size")
            << QSize(128, 64) << QStringList{"Thumb::Image::Width=4000", "Thumb::Image::Height=2000"}
            << QSize(128, 64) << QSize(4000, 2000);
    QTest::newRow("with a size no photo has: picture kept, size not")
            << QSize(128, 64)
            << QStringList{"Thumb::Image::Width=100000", "Thumb::Image::Height=100000"}
            << QSize(128, 64) << QSize();
    QTest::newRow("smaller: not used") << QSize(100, 50) << QStringList() << none << QSize();
    QTest::newRow("over twice the side: not used") << QSize(300, 150) << QStringList() << none << QSize();
    QTest::newRow("size of another file") << QSize(128, 64) << QStringList{"Thumb::Size=1"} << none
                                          << QSize();
    QTest::newRow("uri of another file") << QSize(128, 64) << QStringList{"Thumb::URI=file:///other.png"}
                                         << none << QSize();
    QTest::newRow("an older time") << QSize(128, 64) << QStringList{"Thumb::MTime=1400000000"} << none
                                   << QSize();
    QTest::newRow("a time that is no number") << QSize(128, 64) << QStringList{"Thumb::MTime=soon"}
                                              << none << QSize();
}

// The source cannot be decoded: what comes back is the cache's alone, and
// the cache's entry is not written again.
void tst_ThumbnailCache::othersThumbnailsUsed()
{
    QFETCH(QSize, stored);
    QFETCH(QStringList, tags);
    QFETCH(QSize, expected);
    QFETCH(QSize, shown);
    const QString photo = writeBytes(tmp.filePath("photos/c-not-decodable.png"), "no picture here\n");
    QImage other = pattern(stored);
    for (const QString &tag : std::as_const(tags))
        other.setText(tag.section('=', 0, 0), tag.section('=', 1));
    const QString entry = plant(photo, other);
    const QByteArray planted = fileBytes(entry);
    const QImage made = ThumbnailLoader::cachedFromFile(photo, 128);
    QCOMPARE(made.isNull() ? none() : made.size(), expected);
    const QSize said(made.text("Thumb::Image::Width").toInt(), made.text("Thumb::Image::Height").toInt());
    QCOMPARE(said.isEmpty() ? QSize() : said, shown);
    QCOMPARE(fileBytes(entry), planted);
    // What was not used counts for nothing: the source is read and fails.
    QCOMPARE(QFileInfo::exists(cacheFile("fail/pictavo-" PICTAVO_VERSION, photo)), made.isNull());
}

void tst_ThumbnailCache::unreadableFileRememberedUntilChanged()
{
    const QString broken = writeBytes(tmp.filePath("photos/not-an-image.jpg"),
                                      "this is text, not a picture");
    setMTime(broken, 1500000000);
    QVERIFY(ThumbnailLoader::cachedFromFile(broken, 128).isNull());
    const QString failure = cacheFile("fail/pictavo-" PICTAVO_VERSION, broken);
    QVERIFY(QFileInfo::exists(failure));
    QVERIFY(!QFileInfo::exists(cacheFile("normal", broken)));

    // Made a picture since: read again.
    writeImage(broken, QSize(300, 200), "JPEG");
    setMTime(broken, 1500000005);
    QCOMPARE(ThumbnailLoader::cachedFromFile(broken, 128).size(), QSize(128, 85));
    QVERIFY(QFileInfo::exists(cacheFile("normal", broken)));

    // A mark that holds for the file as it is now: not read, no thumbnail.
    const QString marked = writeImage(tmp.filePath("photos/marked.jpg"), QSize(300, 200), "JPEG");
    QImage mark(1, 1, QImage::Format_ARGB32);
    mark.fill(Qt::transparent);
    plant(marked, mark, "fail/pictavo-" PICTAVO_VERSION);
    QVERIFY(ThumbnailLoader::cachedFromFile(marked, 128).isNull());
    QVERIFY(!QFileInfo::exists(cacheFile("normal", marked)));
}

// The cache's entries are files like any other: without a helper to
// parse them, a valid one gives no thumbnail either, and nothing is
// written.
void tst_ThumbnailCache::nothingReadWithoutHelper()
{
    const QString photo = writeImage(tmp.filePath("photos/g.jpg"), QSize(400, 200));
    const QString entry = plant(photo, pattern(QSize(128, 64)));
    const QByteArray planted = fileBytes(entry);
    const QByteArray helper = qgetenv("PICTAVO_HELPER");
    qputenv("PICTAVO_HELPER", QFile::encodeName(tmp.filePath("no-such-helper")));
    const QImage made = ThumbnailLoader::cachedFromFile(photo, 128);
    qputenv("PICTAVO_HELPER", helper);
    QVERIFY(made.isNull());
    QCOMPARE(fileBytes(entry), planted);
    QVERIFY(!QFileInfo::exists(cacheFile("fail/pictavo-" PICTAVO_VERSION, photo)));
    QCOMPARE(ThumbnailLoader::cachedFromFile(photo, 128).size(), QSize(128, 64));
}

void tst_ThumbnailCache::smallPicturesAndOddFilesNotStored()
{
    const QString small = writeImage(tmp.filePath("photos/small.png"), QSize(100, 50));
    QCOMPARE(ThumbnailLoader::cachedFromFile(small, 128).size(), QSize(128, 64));
    const QString fifo = tmp.filePath("photos/fifo-named-photo.jpg");
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    QVERIFY(ThumbnailLoader::cachedFromFile(fifo, 128).isNull());
    // An odd size has no folder: made, not stored.
    const QString photo = writeImage(tmp.filePath("photos/d.jpg"), QSize(800, 600));
    QCOMPARE(ThumbnailLoader::cachedFromFile(photo, 192).size(), QSize(192, 144));
    QVERIFY(!QFileInfo::exists(root + "/normal") && !QFileInfo::exists(root + "/fail"));
}

void tst_ThumbnailCache::cameraPreviewsNotStored_data()
{
    QTest::addColumn<QSize>("photo");
    QTest::addColumn<QSize>("preview");
    QTest::addColumn<quint16>("orientation");
    QTest::addColumn<QSize>("expected");
    QTest::addColumn<bool>("fromPreview");
    QTest::newRow("camera photo with its preview") << QSize(640, 480) << QSize(160, 120) << quint16(1)
                                                   << QSize(128, 96) << true;
    QTest::newRow("upright camera photo") << QSize(640, 480) << QSize(160, 120) << quint16(8)
                                          << QSize(96, 128) << true;
    QTest::newRow("preview with black bands") << QSize(640, 360) << QSize(160, 120) << quint16(1)
                                              << QSize(128, 72) << false;
    QTest::newRow("preview smaller than the list's") << QSize(640, 480) << QSize(80, 60) << quint16(1)
                                                     << QSize(128, 96) << false;
}

// A camera's embedded preview is a thumbnail the file carries already:
// used when it will do, and not copied into the cache; other photos are
// decoded and stored.
void tst_ThumbnailCache::cameraPreviewsNotStored()
{
    QFETCH(QSize, photo);
    QFETCH(QSize, preview);
    QFETCH(quint16, orientation);
    QFETCH(QSize, expected);
    QFETCH(bool, fromPreview);
    const QString path = writeJpegWithPreview(tmp.filePath("photos/camera.jpg"), photo, preview,
                                              orientation);
    const QImage made = ThumbnailLoader::cachedFromFile(path, 128);
    QCOMPARE(made.size(), expected);
    // The preview is plain green; the picture has red, green, blue and yellow.
    const QColor corner = made.pixelColor(2, 2);
    QCOMPARE(corner.red() < 80 && corner.green() > 180, fromPreview);
    QCOMPARE(QFileInfo::exists(cacheFile("normal", path)), !fromPreview);
}

enum class Plant { LinkToFile, DanglingLink, FolderLink, ThumbnailsLink, OpenToAll };
Q_DECLARE_METATYPE(Plant)

void tst_ThumbnailCache::linksPlantedInCache_data()
{
    QTest::addColumn<Plant>("plant");
    QTest::newRow("entry linked to the user's notes") << Plant::LinkToFile;
    QTest::newRow("entry linked to a file not there yet") << Plant::DanglingLink;
    QTest::newRow("normal/ linked to another folder") << Plant::FolderLink;
    QTest::newRow("thumbnails/ linked to another folder") << Plant::ThumbnailsLink;
    QTest::newRow("thumbnails/ open to everyone") << Plant::OpenToAll;
}

// Anyone who can write into the cache (a shared or restored home, a
// careless script) plants links there; opening images must write nothing
// through them.
void tst_ThumbnailCache::linksPlantedInCache()
{
    QFETCH(Plant, plant);
    const QString photo = writeImage(tmp.filePath("photos/f.jpg"), QSize(400, 300), "JPEG");
    const QString outside = tmp.filePath("outside");
    QDir(outside).removeRecursively();
    const QString notes = writeBytes(outside + "/notes.txt", "my notes\n");
    const QString entry = cacheFile("normal", photo);
    QDir().mkpath(root + "/normal");
    switch (plant) {
    case Plant::LinkToFile:
        QVERIFY(QFile::link(notes, entry));
        break;
    case Plant::DanglingLink:
        QVERIFY(QFile::link(outside + "/created.png", entry));
        break;
    case Plant::FolderLink:
        QDir(root + "/normal").removeRecursively();
        QVERIFY(QFile::link(outside, root + "/normal"));
        break;
    case Plant::ThumbnailsLink:
        QDir(root).removeRecursively();
        QVERIFY(QFile::link(outside, root));
        break;
    case Plant::OpenToAll:
        QCOMPARE(::chmod(QFile::encodeName(root).constData(), 0777), 0);
        break;
    }

    MainWindow w;
    w.show();
    Hostile::WindowDriver d(&w);
    QVERIFY(d.startOpen({photo}));
    QTRY_COMPARE(d.status->currentMessage(), QStringLiteral("1 images loaded"));
    QTRY_VERIFY(!d.original->item(0)->icon().isNull());
    QCOMPARE(fileBytes(notes), QByteArray("my notes\n"));
    QCOMPARE(QDir(outside).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList{"notes.txt"});
    struct stat st;
    switch (plant) {
    case Plant::LinkToFile:
    case Plant::DanglingLink:
    case Plant::OpenToAll:
        // The link replaced by the thumbnail itself.
        QCOMPARE(::lstat(QFile::encodeName(entry).constData(), &st), 0);
        QVERIFY(S_ISREG(st.st_mode));
        QCOMPARE(QImageReader(entry).size(), QSize(128, 96));
        QCOMPARE(::stat(QFile::encodeName(root).constData(), &st), 0);
        QCOMPARE(int(st.st_mode & 0777), 0700);
        break;
    case Plant::FolderLink:
    case Plant::ThumbnailsLink:
        break;
    }
}

void tst_ThumbnailCache::overgrownEntriesNotRead_data()
{
    QTest::addColumn<int>("textChunks");
    QTest::addColumn<int>("padding");
    // 30 chunks of 7 MB of text each in about 250 KB: gigabytes once Qt's
    // reader has inflated them and kept them as strings.
    QTest::newRow("ztxt-bomb-in-thumbnail.png") << 30 << 0;
    QTest::newRow("thumbnail-past-300-kb.png") << 0 << 800 * 1024;
}

void tst_ThumbnailCache::overgrownEntriesNotRead()
{
    QFETCH(int, textChunks);
    QFETCH(int, padding);
    const QString photo = writeImage(tmp.filePath("photos/e.jpg"), QSize(400, 200));
    QImage planted = tagged(photo, pattern(QSize(128, 64)));
    planted.fill(Qt::magenta);
    QString noise; // text that no compression shrinks
    for (int i = 0; i < padding; ++i)
        noise += QChar(u'a' + QRandomGenerator::global()->bounded(26));
    if (padding > 0)
        planted.setText("Padding", noise);
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    QVERIFY(planted.save(&buffer, "png"));
    if (textChunks > 0)
        png = Hostile::textBombPng(png, "zTXt", textChunks, 7000000);
    QCOMPARE(png.size() > 300 * 1024, padding > 0);
    writeBytes(cacheFile("normal", photo), png);

    // Made again from the photo, and stored in its place.
    const QImage made = ThumbnailLoader::cachedFromFile(photo, 128);
    QCOMPARE(made.size(), QSize(128, 64));
    QVERIFY(made.pixelColor(0, 0) != QColor(Qt::magenta));
    QVERIFY(QFileInfo(cacheFile("normal", photo)).size() < 20 * 1024);
}

QTEST_MAIN(tst_ThumbnailCache)
#include "tst_thumbnailcache.moc"
