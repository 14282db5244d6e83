#ifndef SOURCEFILE_H
#define SOURCEFILE_H

#include <QByteArray>
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
    // A file someone else opened (by the rules above), given as its
    // descriptor: this object reads its own copy from the start. A helper
    // process reads the window's files this way, never by name.
    explicit SourceFile(int descriptor);

    bool isOpen() const { return file.isOpen(); }
    // Why the file is not open, in the user's words: "not a regular file",
    // "file name is not valid UTF-8", or the system's.
    QString errorString() const { return error; }
    QFile *device() { return &file; }

    // The whole file, or its first maxBytes, for parsers that want it in
    // memory (the metadata library, the CMYK decoder). Read, not mapped: a
    // mapped file that someone truncates meanwhile kills the process. A
    // reader sharing device() finds it where it left it. Empty when the
    // file is not open or cannot be read.
    QByteArray contents(qint64 maxBytes = -1);

private:
    QFile file;
    QString error;
};

#endif // SOURCEFILE_H
