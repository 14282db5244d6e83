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
    void smallPicturesAndOddFilesNotStored();
    void cameraPreviewsNotStored_data();
    void cameraPreviewsNotStored();
    void linksPlantedInCache_data();
    void linksPlantedInCache();
    void overgrownEntriesNotRead_data();
    void overgrownEntriesNotRead();

private:
    QString cacheFile(const QString &folder, const QString &path) const;
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
    const ThumbnailCache cache(128);
    QCOMPARE(cache.lookUp(photo).image.pixelColor(0, 0), QColor(Qt::magenta));

    setMTime(photo, 1500000001);
    QVERIFY(cache.lookUp(photo).image.isNull());
    const QImage remade = ThumbnailLoader::cachedFromFile(photo, 128);
    QVERIFY(remade.pixelColor(0, 0) != QColor(Qt::magenta));
    QCOMPARE(QImageReader(file).read().text("Thumb::MTime"), QStringLiteral("1500000001"));
}

void tst_ThumbnailCache::othersThumbnailsUsed_data()
{
    QTest::addColumn<QSize>("stored");
    QTest::addColumn<QString>("size");
    QTest::addColumn<QSize>("expected");
    QTest::newRow("as we make them") << QSize(128, 64) << "" << QSize(128, 64);
    QTest::newRow("larger: fitted") << QSize(200, 100) << "" << QSize(128, 64);
    QTest::newRow("smaller: not used") << QSize(100, 50) << "" << QSize(0, 0);
    QTest::newRow("size of another file") << QSize(128, 64) << "1" << QSize(0, 0);
}

void tst_ThumbnailCache::othersThumbnailsUsed()
{
    QFETCH(QSize, stored);
    QFETCH(QString, size);
    QFETCH(QSize, expected);
    const QString photo = writeImage(tmp.filePath("photos/c.png"), QSize(600, 300));
    QImage other = pattern(stored);
    other.setText("Thumb::URI", QString::fromLatin1(QUrl::fromLocalFile(photo).toEncoded()));
    other.setText("Thumb::MTime",
                  QString::number(QFileInfo(photo).lastModified().toSecsSinceEpoch()));
    if (!size.isEmpty())
        other.setText("Thumb::Size", size);
    QDir().mkpath(root + "/normal");
    QVERIFY(other.save(cacheFile("normal", photo)));
    QCOMPARE(ThumbnailCache(128).lookUp(photo).image.size(), expected);
}

void tst_ThumbnailCache::unreadableFileRememberedUntilChanged()
{
    const QString broken = tmp.filePath("photos/not-an-image.jpg");
    QDir().mkpath(QFileInfo(broken).path());
    QFile f(broken);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("this is text, not a picture");
    f.close();
    setMTime(broken, 1500000000);
    QVERIFY(ThumbnailLoader::cachedFromFile(broken, 128).isNull());
    const QString failure = cacheFile("fail/pictavo-" PICTAVO_VERSION, broken);
    QVERIFY(QFileInfo::exists(failure));
    QVERIFY(ThumbnailCache(128).lookUp(broken).failed);
    QVERIFY(!QFileInfo::exists(cacheFile("normal", broken)));

    // Made a picture since: read again.
    writeImage(broken, QSize(300, 200), "JPEG");
    setMTime(broken, 1500000005);
    QVERIFY(!ThumbnailCache(128).lookUp(broken).failed);
    QCOMPARE(ThumbnailLoader::cachedFromFile(broken, 128).size(), QSize(128, 85));
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
    QImage planted = pattern(QSize(128, 64));
    planted.setText("Thumb::URI", QString::fromLatin1(QUrl::fromLocalFile(photo).toEncoded()));
    planted.setText("Thumb::MTime",
                    QString::number(QFileInfo(photo).lastModified().toSecsSinceEpoch()));
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

    QVERIFY(ThumbnailCache(128).lookUp(photo).image.isNull());
    // Made again and stored in its place.
    QCOMPARE(ThumbnailLoader::cachedFromFile(photo, 128).size(), QSize(128, 64));
    QVERIFY(QFileInfo(cacheFile("normal", photo)).size() < 20 * 1024);
}

QTEST_MAIN(tst_ThumbnailCache)
#include "tst_thumbnailcache.moc"
