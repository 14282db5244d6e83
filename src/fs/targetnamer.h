#ifndef TARGETNAMER_H
#define TARGETNAMER_H

#include <QHash>
#include <QMutex>
#include <QPair>
#include <QSet>
#include <QString>
#include <QStringList>

#include <atomic>

// Names the files a batch writes. The plain rule is directory + "/" +
// complete base name + "." + format; a name that would write over a source
// image, or over a file this batch has already named, moves on to
// "name (2).ext", "name (3).ext", ... and so does a name that exists as
// anything but a regular file (a symbolic link is never written through).
// Files from elsewhere are overwritten.
//
// Names are compared as the volume compares them: an existing file by its
// identity (device and inode), a name not yet written by the directory's
// own case rule, so that "phone.jpg" is "phone.JPG" on a camera card.
// Claims may come from several threads; the file-system work is done there,
// on first use, not where the batch is made.
class TargetNamer
{
public:
    explicit TargetNamer(const QStringList &sources = QStringList());

    // The plain name, joined as text: the directory is used as given. A
    // copy past the first is "name (copy).ext".
    static QString targetFileName(const QString &directory, const QString &sourcePath,
                                  const QString &format, int copy = 1);

    // A key under which two spellings of one file compare equal: "..",
    // doubled "/" and symbolic links resolved.
    static QString pathKey(const QString &path);

    // Whether names in this existing directory differ by case alone only
    // in spelling: found by creating a file and looking for it under
    // another case.
    static bool foldsCase(const QString &directory);

    // Whether the folder written to may be a symbolic link: not when the
    // program proposed it rather than the user choosing it. Yes by default.
    void setFolderMayBeLink(bool may) { folderLinkAllowed = may; }
    bool folderMayBeLink() const { return folderLinkAllowed; }

    // Makes more files untouchable, e.g. sources opened after the batch began.
    void protect(const QStringList &paths);

    // The name to write for this source, reserved for this batch. key, when
    // given, receives the name as the volume compares it: equal for two
    // spellings of one file, by case too where the folder ignores case.
    QString claim(const QString &directory, const QString &sourcePath, const QString &format,
                  QString *key = nullptr);

private:
    using FileId = QPair<quint64, quint64>;

    void resolvePending();
    QString nameKey(const QString &directoryKey, bool folds, const QString &fileName) const;
    bool isTaken(const QString &path, const QString &key, bool folds) const;

    // The file-system work runs under lock; protect() takes only
    // pendingLock, so that the window adding sources never waits for it.
    mutable QMutex lock;
    QMutex pendingLock;
    QStringList pending;              // protected, not yet looked at
    QSet<QString> protectedKeys;      // canonical paths of the sources
    QSet<QString> protectedFoldedKeys; // the same with case-folded names
    QSet<FileId> protectedIds;
    QSet<QString> claimedKeys;
    QHash<QString, bool> directoryFolds;
    std::atomic<bool> folderLinkAllowed{true};
};

#endif // TARGETNAMER_H
