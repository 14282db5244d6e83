#ifndef THUMBNAILCACHE_H
#define THUMBNAILCACHE_H

#include "fs/descriptor.h"

#include <QImage>
#include <QString>

// The thumbnails that desktop programs share under $XDG_CACHE_HOME/thumbnails:
// normal/ holds pictures of at most 128 pixels, large/ of at most 256. A
// thumbnail is a PNG named after the MD5 of its file's URI and tagged with
// that URI and the file's modification time; it stands for the file while
// the file keeps that time. Files that could not be read are remembered in
// fail/pictavo-<version>/, so that they are not decoded again for nothing.
// The folders are opened name by name without following links, and only
// when they are the user's own; entries are written beside their name and
// renamed into place, so nothing outside the cache is ever written.
// The window opens the entries and writes them; it never parses one: what
// they hold is read in a helper (CachedThumbnail), like any other file.
// Holds no state beyond its size: safe to use on any thread.
class ThumbnailCache
{
public:
    // The keys of a thumbnail's text that give the size the photo appears
    // at (upright), as the cache stores them and thumbnails carry them.
    static constexpr const char *shownWidthKey = "Thumb::Image::Width";
    static constexpr const char *shownHeightKey = "Thumb::Image::Height";

    // The tags every entry carries, which name the file it stands for.
    static constexpr const char *uriKey = "Thumb::URI";
    static constexpr const char *mtimeKey = "Thumb::MTime";
    static constexpr const char *sizeKey = "Thumb::Size";
    // A thumbnail of 256 pixels with its tags is well under this; anything
    // larger in the cache is not a thumbnail, and is not read.
    static constexpr qint64 maxEntryBytes = 300 * 1024;

    // What an entry must be tagged with to stand for its file.
    struct Tags
    {
        QString uri;      // empty when the file is not a regular file
        qint64 mtime = 0; // seconds since the epoch
        qint64 size = 0;
    };

    // What is known of one file: its stat() and the cache's entries for
    // it, opened (regular files of at most maxEntryBytes) and unread.
    struct Entry
    {
        Tags tags;
        QString name;         // MD5 of the URI + ".png"
        Descriptor picture;   // the cached thumbnail
        Descriptor failMark;  // the mark that reading it failed before
    };

    // pixelSide: the longest side, in pixels, of the thumbnails asked for.
    explicit ThumbnailCache(int pixelSide);

    // Whether one of the folders has thumbnails of this size.
    bool hasFolder() const { return !folderName.isEmpty(); }

    // Stats the file (never opens it) and opens what the cache holds for
    // it, without reading a byte of that.
    Entry lookUp(const QString &path) const;

    // Stores a thumbnail made from the file as it was at lookUp(); shown is
    // the size the picture appears at. Pictures no larger than the
    // thumbnail are not stored: reading them costs as little as reading a
    // thumbnail.
    void store(const Entry &entry, const QImage &thumbnail, const QSize &shown) const;
    void storeFailure(const Entry &entry) const;

    // $XDG_CACHE_HOME/thumbnails (~/.cache/thumbnails when unset).
    static QString rootPath();
    static QString uriOf(const QString &path);

private:
    static bool write(const QString &folder, const Entry &entry, QImage image);

    int side;
    QString folderName;
};

#endif // THUMBNAILCACHE_H
