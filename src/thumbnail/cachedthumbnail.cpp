#include "thumbnail/cachedthumbnail.h"

#include "decode/pngtextguard.h"
#include "fs/sourcefile.h"
#include "isolation/validator.h"

#include <QBuffer>
#include <QImageReader>

QImage CachedThumbnail::read(int descriptor, const ThumbnailCache::Tags &tags, int least, int most)
{
    SourceFile file(descriptor);
    // One byte over the bound tells an entry that grew since it was opened.
    QByteArray bytes = file.contents(ThumbnailCache::maxEntryBytes + 1);
    if (bytes.isEmpty() || bytes.size() > ThumbnailCache::maxEntryBytes || tags.uri.isEmpty())
        return QImage();
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    if (PngTextGuard(&buffer).tooMuchText())
        return QImage();
    QImageReader reader(&buffer, "png");
    const QSize stored = reader.size();
    const int longest = qMax(stored.width(), stored.height());
    if (longest < least || longest > most)
        return QImage();
    // The tags are read with the picture: before it, the reader splits
    // keys at colons.
    const QImage image = reader.read();
    if (image.isNull() || image.size() != stored
        || image.text(QLatin1String(ThumbnailCache::uriKey)) != tags.uri)
        return QImage();
    bool ok = false;
    if (image.text(QLatin1String(ThumbnailCache::mtimeKey)).toLongLong(&ok) != tags.mtime || !ok)
        return QImage();
    // Other programs may leave the size out; one that is there must match.
    const QString size = image.text(QLatin1String(ThumbnailCache::sizeKey));
    if (!size.isEmpty() && (size.toLongLong(&ok) != tags.size || !ok))
        return QImage();
    return image;
}

QImage CachedThumbnail::picture(int descriptor, const ThumbnailCache::Tags &tags, int side,
                                QSize *shown)
{
    *shown = QSize();
    const QImage image = read(descriptor, tags, side, 2 * side);
    if (image.isNull())
        return image;
    bool wide = false;
    bool high = false;
    const QSize tagged(image.text(QLatin1String(ThumbnailCache::shownWidthKey)).toInt(&wide),
                       image.text(QLatin1String(ThumbnailCache::shownHeightKey)).toInt(&high));
    if (wide && high && !tagged.isEmpty()
        && qint64(tagged.width()) * tagged.height() <= Validator::maxPixels)
        *shown = tagged;
    if (qMax(image.width(), image.height()) == side)
        return image;
    return image.scaled(side, side, Qt::KeepAspectRatio, Qt::FastTransformation);
}

bool CachedThumbnail::failMarked(int descriptor, const ThumbnailCache::Tags &tags, int side)
{
    return !read(descriptor, tags, 1, side).isNull();
}
