#ifndef SAVEFOLDER_H
#define SAVEFOLDER_H

#include <QString>

// The save folder and the folders made below it for a converted tree.
//
// The save folder is made when missing, and only it: a missing parent means
// a mistyped path, not a tree to make. A folder we make is marked as one of
// results, so that a later search of a folder above it passes over it. The
// mark is an extended attribute of the folder, not a file in it: nothing
// that lists the folder (a gallery, a sync tool, the user sharing it) sees
// anything but the results, and it follows the folder when it is renamed or
// moved (a name or a record in the settings would not). Volumes without
// extended attributes (FAT, exFAT, some network shares) keep no mark; there
// only the save folder of the moment is passed over. A folder that existed
// before gets no mark: it may hold the user's own photos too.
//
// Subfolders are made one level at a time from the save folder, each
// opened without following a link, so that a link planted anywhere in the
// tree (by an archive, say) never leads a result outside it.
class SaveFolder
{
public:
    // The extended attribute that marks a folder of results we made.
    static const char markName[];

    // Makes directory when missing. mayBeLink: the user chose it, so it may
    // be a link. The reason when it cannot be used, else empty.
    static QString make(const QString &directory, bool mayBeLink);

    // Makes the folders of relative ("a/b", never "..") below directory,
    // which exists, one level at a time, never through a link. The reason
    // when one cannot be made or is not a plain folder, else empty.
    static QString makeBelow(const QString &directory, const QString &relative);

    // Whether directory is a folder of results we made (bears the mark).
    static bool holdsResults(const QString &directory);
};

#endif // SAVEFOLDER_H
