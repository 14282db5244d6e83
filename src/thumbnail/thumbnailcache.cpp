#include "thumbnail/thumbnailcache.h"

#include "fs/atomicfile.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImageWriter>
#include <QUrl>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString failFolder = QStringLiteral("fail/pictavo-" PICTAVO_VERSION);

// One folder below parent, never through a link, and only when it is the
// user's own; made, private to the user, when make is set and it is
// missing. Anyone who may write into the cache (a restored or shared home,
// a careless script) could otherwise point a folder of it anywhere.
Descriptor openFolder(int parent, const QString &name, bool make)
{
    const QByteArray native = QFile::encodeName(name);
    const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    Descriptor dir(::openat(parent, native.constData(), flags));
    if (!dir.isOpen() && errno == ENOENT && make) {
        // Another thread may make it meanwhile: only its absence counts.
        if (::mkdirat(parent, native.constData(), 0700) == 0 || errno == EEXIST)
            dir = Descriptor(::openat(parent, native.constData(), flags));
    }
    struct stat st;
    if (dir.isOpen() && (::fstat(dir.get(), &st) != 0 || st.st_uid != ::geteuid()))
        return Descriptor();
    return dir;
}

// A folder of the cache, relative to its root, opened one name at a time.
// What holds the root is the user's ordinary cache folder, which may well
// be a link of the user's own making.
Descriptor openCacheFolder(const QString &root, const QString &relative, bool make)
{
    const QString base = QFileInfo(root).path();
    if (make && !QDir().mkpath(base))
        return Descriptor();
    Descriptor dir(::open(QFile::encodeName(base).constData(),
                          O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir.isOpen())
        return dir;
    dir = openFolder(dir.get(), QFileInfo(root).fileName(), make);
    struct stat st;
    // The pictures tell what the user looks at: the shared rule keeps the
    // thumbnails folder private, whoever made it.
    if (make && dir.isOpen() && ::fstat(dir.get(), &st) == 0 && (st.st_mode & 077))
        ::fchmod(dir.get(), 0700);
    for (const QString &name : relative.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        if (!dir.isOpen())
            break;
        dir = openFolder(dir.get(), name, make);
    }
    return dir;
}

// The entry, opened for the helper that reads it: a regular file of at
// most maxEntryBytes, opened without following a link and without waiting
// on a FIFO. Not a byte of it is read here.
Descriptor openEntry(const QString &root, const QString &folder, const QString &name)
{
    const Descriptor dir = openCacheFolder(root, folder, false);
    if (!dir.isOpen())
        return Descriptor();
    Descriptor file(::openat(dir.get(), QFile::encodeName(name).constData(),
                             O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat st;
    if (!file.isOpen() || ::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode)
        || st.st_size > ThumbnailCache::maxEntryBytes)
        return Descriptor();
    return file;
}

// Puts the bytes in place under name in the folder: written to a hidden
// temporary beside it and renamed over the name, so that a reader never
// sees half a picture and a link planted at either name is replaced, never
// followed. Not flushed to the disk: a torn entry after a crash is only a
// picture that fails to read, and is made again.
bool writeEntry(const QString &root, const QString &folder, const QString &name,
                const QByteArray &bytes)
{
    const Descriptor dir = openCacheFolder(root, folder, true);
    return dir.isOpen()
            && AtomicFile::writeInto(dir.get(), QFile::encodeName(name), bytes,
                                     AtomicFile::Options{0600, false})
            == 0;
}

} // namespace

ThumbnailCache::ThumbnailCache(int pixelSide)
    : side(pixelSide)
{
    if (pixelSide == 128)
        folderName = QStringLiteral("normal");
    else if (pixelSide == 256)
        folderName = QStringLiteral("large");
}

QString ThumbnailCache::rootPath()
{
    QString base = qEnvironmentVariable("XDG_CACHE_HOME");
    if (base.isEmpty() || !QDir::isAbsolutePath(base))
        base = QDir::homePath() + QLatin1String("/.cache");
    return QDir::cleanPath(base) + QLatin1String("/thumbnails");
}

QString ThumbnailCache::uriOf(const QString &path)
{
    const QString absolute = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    return QString::fromLatin1(QUrl::fromLocalFile(absolute).toEncoded());
}

ThumbnailCache::Entry ThumbnailCache::lookUp(const QString &path) const
{
    Entry entry;
    struct stat st;
    if (::stat(QFile::encodeName(path).constData(), &st) != 0 || !S_ISREG(st.st_mode))
        return entry;
    entry.tags.mtime = st.st_mtime;
    entry.tags.size = st.st_size;
    const QString root = rootPath();
    entry.tags.uri = uriOf(path);
    // The cache's own pictures get no thumbnails of their own.
    if (entry.tags.uri.startsWith(uriOf(root) + QLatin1Char('/'))) {
        entry.tags.uri.clear();
        return entry;
    }
    entry.name = QString::fromLatin1(
                         QCryptographicHash::hash(entry.tags.uri.toUtf8(), QCryptographicHash::Md5)
                                 .toHex())
            + QLatin1String(".png");
    if (!hasFolder())
        return entry;
    entry.picture = openEntry(root, folderName, entry.name);
    entry.failMark = openEntry(root, failFolder, entry.name);
    return entry;
}

void ThumbnailCache::store(const Entry &entry, const QImage &thumbnail, const QSize &shown) const
{
    if (entry.tags.uri.isEmpty() || !hasFolder() || thumbnail.isNull()
        || qMax(shown.width(), shown.height()) <= side
        || qMax(thumbnail.width(), thumbnail.height()) != side)
        return;
    QImage tagged = thumbnail;
    tagged.setText(QString::fromLatin1(shownWidthKey), QString::number(shown.width()));
    tagged.setText(QString::fromLatin1(shownHeightKey), QString::number(shown.height()));
    write(folderName, entry, tagged);
}

void ThumbnailCache::storeFailure(const Entry &entry) const
{
    if (entry.tags.uri.isEmpty())
        return;
    QImage empty(1, 1, QImage::Format_ARGB32);
    empty.fill(Qt::transparent);
    write(failFolder, entry, empty);
}

bool ThumbnailCache::write(const QString &folder, const Entry &entry, QImage image)
{
    image.setText(QLatin1String(uriKey), entry.tags.uri);
    image.setText(QLatin1String(mtimeKey), QString::number(entry.tags.mtime));
    image.setText(QLatin1String(sizeKey), QString::number(entry.tags.size));
    image.setText(QStringLiteral("Software"), QStringLiteral("Pictavo " PICTAVO_VERSION));
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "png");
    if (!writer.write(image))
        return false;
    return writeEntry(rootPath(), folder, entry.name, bytes);
}
