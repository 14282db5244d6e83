#ifndef PHOTOMETADATA_H
#define PHOTOMETADATA_H

#include <QByteArray>
#include <QSize>
#include <QString>

#include <memory>

class SourceFile;

// What a photo carries besides its pixels: EXIF (capture date, camera,
// places), XMP and IPTC, and its ICC profile, read with exiv2 and written
// into a converted copy. The source is read through SourceFile, never
// opened by path, so a FIFO cannot block the library; exiv2's exceptions
// end here.
class PhotoMetadata
{
public:
    PhotoMetadata();
    ~PhotoMetadata();

    // Sets exiv2 up for use from several threads (its XMP toolkit needs a
    // lock) and routes its complaints to the debug output. Every use of
    // exiv2 calls this first; calls after the first cost nothing.
    static void initLibrary();

    // The metadata of the file at path. Files of a kind exiv2 does not
    // know carry nothing; a file it cannot parse carries nothing, and
    // errorString() says why.
    static PhotoMetadata read(const QString &path);
    // The same from a source already open, so that the metadata comes from
    // the very file the pixels were decoded from.
    static PhotoMetadata read(SourceFile &file);

    bool hasMetadata() const; // EXIF, XMP or IPTC
    QByteArray iccProfile() const;
    QString errorString() const;

    // Copies the EXIF, XMP and IPTC into encoded (a JPEG, PNG or TIFF file
    // in memory) and makes them true of it: no orientation to apply, the
    // pixel dimensions of size, no embedded thumbnail of the old picture.
    // The profile the writer put in stays. On failure encoded is left as
    // it was and errorString says why.
    bool writeInto(QByteArray *encoded, const QSize &size, QString *errorString) const;

private:
    struct Data;
    std::shared_ptr<Data> d;
};

#endif // PHOTOMETADATA_H
