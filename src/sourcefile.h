#ifndef SOURCEFILE_H
#define SOURCEFILE_H

#include <QFile>
#include <QString>

// A source image file opened for reading, but only when it is a regular
// file. A FIFO, socket or device among the chosen files would block a
// reader in open() or read() for ever; it is refused without waiting, and
// so is a path that turns into one between the check and the open.
class SourceFile
{
public:
    explicit SourceFile(const QString &path);

    bool isOpen() const { return file.isOpen(); }
    // Why the file is not open: "not a regular file", or the system's word.
    QString errorString() const { return error; }
    QFile *device() { return &file; }

private:
    QFile file;
    QString error;
};

#endif // SOURCEFILE_H
