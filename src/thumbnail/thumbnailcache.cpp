#include "thumbnail/thumbnailcache.h"

#include "decode/pngtextguard.h"
#include "fs/atomicfile.h"
#include "fs/descriptor.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QImageWriter>
#include <QUrl>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#else
#include <QSaveFile>
#endif

namespace {

const char uriKey[] = "Thumb::URI";
const char mtimeKey[] = "Thumb::MTime";
const char sizeKey[] = "Thumb::Size";

const QString failFolder = QStringLiteral("fail/pictavo-" PICTAVO_VERSION);

// A thumbnail of 256 pixels with its tags is well under this; anything
// larger in the cache is not a thumbnail, and is not read.
constexpr qint64 maxEntryBytes = 300 * 1024;

#ifdef Q_OS_UNIX
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

// The entry's bytes: a regular file of at most maxEntryBytes, opened
// without following a link and without waiting on a FIFO.
QByteArray readEntry(const QString &root, const QString &folder, const QString &name)
{
    const Descriptor dir = openCacheFolder(root, folder, false);
    if (!dir.isOpen())
        return QByteArray();
    const Descriptor file(::openat(dir.get(), QFile::encodeName(name).constData(),
                                   O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat st;
    if (!file.isOpen() || ::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode)
        || st.st_size > maxEntryBytes)
        return QByteArray();
    QByteArray bytes(qsizetype(st.st_size), Qt::Uninitialized);
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::read(file.get(), bytes.data() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += n;
    }
    bytes.truncate(done);
    return bytes;
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
#else
QByteArray readEntry(const QString &root, const QString &folder, const QString &name)
{
    QFile file(root + QLatin1Char('/') + folder + QLatin1Char('/') + name);
    if (QFileInfo(file).isSymLink() || !file.open(QIODevice::ReadOnly) || file.size() > maxEntryBytes)
        return QByteArray();
    return file.read(maxEntryBytes);
}

bool writeEntry(const QString &root, const QString &folder, const QString &name,
                const QByteArray &bytes)
{
    if (!QDir().mkpath(root + QLatin1Char('/') + folder))
        return false;
    QSaveFile file(root + QLatin1Char('/') + folder + QLatin1Char('/') + name);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size()) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}
#endif

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
#ifdef Q_OS_UNIX
    struct stat st;
    if (::stat(QFile::encodeName(path).constData(), &st) != 0 || !S_ISREG(st.st_mode))
        return entry;
    entry.mtime = st.st_mtime;
    entry.size = st.st_size;
#else
    const QFileInfo info(path);
    if (!info.isFile())
        return entry;
    entry.mtime = info.lastModified().toSecsSinceEpoch();
    entry.size = info.size();
#endif
    const QString root = rootPath();
    entry.uri = uriOf(path);
    // The cache's own pictures get no thumbnails of their own.
    if (entry.uri.startsWith(uriOf(root) + QLatin1Char('/'))) {
        entry.uri.clear();
        return entry;
    }
    entry.name = QString::fromLatin1(
                         QCryptographicHash::hash(entry.uri.toUtf8(), QCryptographicHash::Md5)
                                 .toHex())
            + QLatin1String(".png");
    if (!hasFolder())
        return entry;
    entry.image = readValid(readEntry(root, folderName, entry.name), entry, true);
    if (entry.image.isNull())
        entry.failed = !readValid(readEntry(root, failFolder, entry.name), entry, false).isNull();
    return entry;
}

QImage ThumbnailCache::readValid(QByteArray bytes, const Entry &entry, bool picture) const
{
    // The cache is only as trustworthy as any other folder of the user's:
    // a picture no larger than it may be, and text no more than its tags.
    if (bytes.isEmpty())
        return QImage();
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    if (PngTextGuard(&buffer).tooMuchText())
        return QImage();
    QImageReader reader(&buffer, "png");
    const QSize stored = reader.size();
    const int longest = qMax(stored.width(), stored.height());
    // Smaller ones are of pictures smaller than the box, which are shown
    // enlarged from the file itself.
    if (picture ? (longest < side || longest > 2 * side) : longest > side)
        return QImage();
    // The tags are read with the picture: before it, the reader splits
    // keys at colons.
    const QImage image = reader.read();
    if (image.isNull() || image.text(QLatin1String(uriKey)) != entry.uri)
        return QImage();
    bool ok = false;
    if (image.text(QLatin1String(mtimeKey)).toLongLong(&ok) != entry.mtime || !ok)
        return QImage();
    const QString size = image.text(QLatin1String(sizeKey));
    if (!size.isEmpty() && size.toLongLong() != entry.size)
        return QImage();
    if (!picture || longest == side)
        return image;
    return image.scaled(side, side, Qt::KeepAspectRatio, Qt::FastTransformation);
}

void ThumbnailCache::store(const Entry &entry, const QImage &thumbnail, const QSize &shown) const
{
    if (entry.uri.isEmpty() || !hasFolder() || thumbnail.isNull()
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
    if (entry.uri.isEmpty())
        return;
    QImage empty(1, 1, QImage::Format_ARGB32);
    empty.fill(Qt::transparent);
    write(failFolder, entry, empty);
}

bool ThumbnailCache::write(const QString &folder, const Entry &entry, QImage image)
{
    image.setText(QLatin1String(uriKey), entry.uri);
    image.setText(QLatin1String(mtimeKey), QString::number(entry.mtime));
    image.setText(QLatin1String(sizeKey), QString::number(entry.size));
    image.setText(QStringLiteral("Software"), QStringLiteral("Pictavo " PICTAVO_VERSION));
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "png");
    if (!writer.write(image))
        return false;
    return writeEntry(rootPath(), folder, entry.name, bytes);
}
