#ifndef SOURCEFORMAT_H
#define SOURCEFORMAT_H

#include <QString>
#include <QStringList>

// What Pictavo can read, told from a file's contents rather than its name:
// a folder searched for images takes in a photo saved without a suffix and
// leaves out a text file named ".jpg".
class SourceFormat
{
public:
    // Whether the file is one Pictavo reads. Only regular files are looked
    // into (SourceFile), so a FIFO in a folder is passed over, not waited on.
    static bool isImage(const QString &path);
    // The suffixes, in lower case, of the files Pictavo reads: for the
    // open dialog, which shows files by name.
    static const QStringList &suffixes();
};

#endif // SOURCEFORMAT_H
