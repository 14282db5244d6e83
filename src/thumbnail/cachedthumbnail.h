#ifndef CACHEDTHUMBNAIL_H
#define CACHEDTHUMBNAIL_H

#include "thumbnail/thumbnailcache.h"

#include <QImage>
#include <QSize>

// The shared thumbnail cache's entries as a helper reads them: the window
// opens them (ThumbnailCache::lookUp) and hands them over with the source,
// and their PNGs are parsed here, like any other file. The cache is only
// as trustworthy as any other folder of the user's: an entry stands for
// its file only while it is tagged with the file's URI, modification time
// and size, is no larger than a thumbnail may be, and holds no more text
// than its tags.
class CachedThumbnail
{
public:
    // The thumbnail the entry holds, fitted to side pixels; a null image
    // when it is not valid for the file. Entries smaller than side are of
    // pictures smaller than the box, shown enlarged from the file itself;
    // those over twice side are not thumbnails of this size. shown
    // receives the size the photo appears at, as the entry tags it
    // (invalid when it does not, or tags a size no picture has).
    static QImage picture(int descriptor, const ThumbnailCache::Tags &tags, int side,
                          QSize *shown);

    // Whether the mark that reading the file failed holds for it as it is.
    static bool failMarked(int descriptor, const ThumbnailCache::Tags &tags, int side);

private:
    static QImage read(int descriptor, const ThumbnailCache::Tags &tags, int least, int most);
};

#endif // CACHEDTHUMBNAIL_H
