#ifndef SOURCETREE_H
#define SOURCETREE_H

#include <QHash>
#include <QMetaType>
#include <QString>
#include <QStringList>

// What opening files and folders found, and where each result goes below
// the save folder. A photo found in a folder that was given keeps its path
// below that folder, so that a tree converts into the same tree and two
// photos of one name in two folders stay apart; when several folders are
// given, each keeps its own name on top, so that their trees do not mix.
// A file given by itself goes straight into the save folder, as a file
// picked in the open dialog does.
struct SourceTree
{
    QStringList files;                  // to open, in order, absolute
    QHash<QString, QString> subfolders; // by file: "a/b" below the save folder
    QStringList folders;                // the folders given, absolute
    int skippedFolders = 0;             // folders of results passed over

    // Only files, each going straight into the save folder.
    static SourceTree flat(const QStringList &files);

    // The subfolder of file's result, or empty.
    QString subfolderOf(const QString &file) const { return subfolders.value(file); }

    // The save folder to propose for these files: for one folder given,
    // "NAME (converted)" beside it; for several, "ConvertedImages" beside
    // the first of them; never inside a folder given. For files alone,
    // "ConvertedImages" beside the first file.
    QString proposedSaveFolder() const;

    // The rule for files alone: "ConvertedImages" in file's folder.
    static QString besideFile(const QString &file);
};

Q_DECLARE_METATYPE(SourceTree)

#endif // SOURCETREE_H
