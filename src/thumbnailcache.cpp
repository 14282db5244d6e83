#include "thumbnailcache.h"

#include "sourcefile.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QImageReader>
#include <QImageWriter>
#include <QSaveFile>
#include <QUrl>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

namespace {

const char uriKey[] = "Thumb::URI";
const char mtimeKey[] = "Thumb::MTime";
const char sizeKey[] = "Thumb::Size";

const QString failFolder = QStringLiteral("fail/pictavo-" PICTAVO_VERSION);

// The folders are private to the user, as their pictures tell what the
// user looks at.
bool makeFolders(const QString &root, const QString &relative)
{
    // The thumbnails folder and those below it; what holds them is the
    // user's ordinary cache folder.
    if (!QDir().mkpath(QFileInfo(root).path()))
        return false;
    QString path = root;
    const QStringList below = relative.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    for (qsizetype i = -1; i < below.size(); ++i) {
        if (i >= 0)
            path += QLatin1Char('/') + below.at(i);
        const QFileInfo info(path);
        if (info.isDir())
            continue;
        // Another thread may make it meanwhile: only its absence counts.
        QDir(info.path()).mkdir(info.fileName(),
                                QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        if (!QFileInfo(path).isDir())
            return false;
    }
    return true;
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
    entry.image = readValid(root + QLatin1Char('/') + folderName + QLatin1Char('/') + entry.name,
                            entry, true);
    if (entry.image.isNull()) {
        entry.failed = !readValid(root + QLatin1Char('/') + failFolder + QLatin1Char('/')
                                          + entry.name,
                                  entry, false)
                                .isNull();
    }
    return entry;
}

QImage ThumbnailCache::readValid(const QString &file, const Entry &entry, bool picture) const
{
    // The cache is only as trustworthy as any other folder of the user's:
    // read it the way sources are read, and no larger than it may be.
    SourceFile source(file);
    if (!source.isOpen())
        return QImage();
    QImageReader reader(source.device(), "png");
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
    tagged.setText(QStringLiteral("Thumb::Image::Width"), QString::number(shown.width()));
    tagged.setText(QStringLiteral("Thumb::Image::Height"), QString::number(shown.height()));
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
    const QString root = rootPath();
    if (!makeFolders(root, folder))
        return false;
    image.setText(QLatin1String(uriKey), entry.uri);
    image.setText(QLatin1String(mtimeKey), QString::number(entry.mtime));
    image.setText(QLatin1String(sizeKey), QString::number(entry.size));
    image.setText(QStringLiteral("Software"), QStringLiteral("Pictavo " PICTAVO_VERSION));
    // Written beside its name and renamed into place, so that a reader
    // never sees half a picture; only the user may read it.
    QSaveFile file(root + QLatin1Char('/') + folder + QLatin1Char('/') + entry.name);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
    QImageWriter writer(&file, "png");
    if (!writer.write(image)) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}
