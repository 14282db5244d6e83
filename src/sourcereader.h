#ifndef SOURCEREADER_H
#define SOURCEREADER_H

#include "sourcefile.h"

#include <QImage>
#include <QImageReader>
#include <QString>

// An image reader over a source file opened the safe way (SourceFile),
// turning images upright as their orientation says. check() refuses, before
// anything is decoded, a file that is not open or whose header claims more
// pixels than the allocation limit admits; read() turns an allocation
// failure into a failed image instead of an exception, and decodes CMYK
// JPEGs to true colour (CmykJpeg), which Qt's reader does not.
class SourceReader
{
public:
    explicit SourceReader(const QString &path);

    bool check(QString *errorString);
    QImage read(QString *errorString);

    bool isOpen() const { return file.isOpen(); }
    QImageReader &reader() { return imageReader; }
    // The opened file itself, for what else is read from the same open
    // (the metadata).
    SourceFile &source() { return file; }

private:
    SourceFile file; // declared first: the reader reads from it
    QImageReader imageReader;
};

#endif // SOURCEREADER_H
