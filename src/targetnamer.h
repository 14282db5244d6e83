#ifndef TARGETNAMER_H
#define TARGETNAMER_H

#include <QSet>
#include <QString>
#include <QStringList>

// Names the files a batch writes. The plain rule is directory + "/" +
// complete base name + "." + format; a name that would write over a source
// image, or over a file this batch has already written, moves on to
// "name (2).ext", "name (3).ext", ... Files from elsewhere are overwritten.
class TargetNamer
{
public:
    explicit TargetNamer(const QStringList &sources = QStringList());

    // The plain name, joined as text: the directory is used as given.
    static QString targetFileName(const QString &directory, const QString &sourcePath,
                                  const QString &format);

    // A key under which two spellings of one file compare equal: "..",
    // doubled "/" and symbolic links resolved.
    static QString pathKey(const QString &path);

    // Makes more files untouchable, e.g. sources opened after the batch began.
    void protect(const QStringList &paths);

    // The name to write for this source, reserved for this batch.
    QString claim(const QString &directory, const QString &sourcePath, const QString &format);

private:
    bool isTaken(const QString &key) const;

    QSet<QString> protectedKeys;
    QSet<QString> claimedKeys;
};

#endif // TARGETNAMER_H
