#ifndef PHOTOMETADATA_H
#define PHOTOMETADATA_H

#include <QByteArray>
#include <QCoreApplication>
#include <QFlags>
#include <QSize>
#include <QString>
#include <QStringList>

#include <memory>

class SourceFile;

// What a photo carries besides its pixels: EXIF (capture date, camera,
// places), XMP and IPTC, and its ICC profile, read with exiv2 and written
// into a converted copy. The source is read through SourceFile, never
// opened by path, so a FIFO cannot block the library; exiv2's exceptions
// end here.
class PhotoMetadata
{
    Q_DECLARE_TR_FUNCTIONS(PhotoMetadata)

public:
    enum Part { Exif = 1, Xmp = 2, Iptc = 4, Profile = 8 };
    Q_DECLARE_FLAGS(Parts, Part)

    // What is read of a file exiv2 wants whole (all but JPEG): a TIFF's
    // metadata may follow its pixels, but a file padded to a gigabyte is
    // not read to its end.
    static constexpr qint64 readLimit = 128 * 1024 * 1024;

    PhotoMetadata();
    ~PhotoMetadata();

    // Sets exiv2 up for use from several threads (its XMP toolkit needs a
    // lock) and routes its complaints to the debug output. Every use of
    // exiv2 calls this first; calls after the first cost nothing.
    static void initLibrary();

    // The metadata of the file at path. Files of a kind exiv2 does not
    // know carry nothing. Of a file it cannot parse whole, what can be read
    // by itself is kept (a JPEG's EXIF beside a broken profile, a PNG's XMP
    // beside an over-long comment); lostParts() says what was not, and
    // errorString() why.
    static PhotoMetadata read(const QString &path);
    // The same from a source already open, so that the metadata comes from
    // the very file the pixels were decoded from.
    static PhotoMetadata read(SourceFile &file);

    bool hasMetadata() const; // EXIF, XMP or IPTC
    QByteArray iccProfile() const;
    QString errorString() const;
    Parts lostParts() const;
    // What lostParts() means to the user, one sentence a part; the
    // profile is left to the encoder, which knows whether it was needed.
    QStringList warnings() const;

    // Copies the EXIF, XMP and IPTC into encoded (a JPEG, PNG or TIFF file
    // in memory) and makes them true of it: no orientation to apply, the
    // pixel dimensions of size, no embedded thumbnail of the old picture.
    // The profile the writer put in stays. On failure encoded is left as
    // it was and errorString says why. warnings receives what the file
    // could not hold.
    bool writeInto(QByteArray *encoded, const QSize &size, QString *errorString,
                   QStringList *warnings = nullptr) const;

    // The EXIF (a TIFF structure, as after a JPEG's "Exif" mark) and the
    // XMP packet for a file whose writer takes them as blocks (WebP, HEIF,
    // JPEG XL), made true of it as writeInto() makes them: no orientation
    // to apply, the pixel dimensions of size, no old thumbnail. Those
    // formats have no IPTC block: its fields go into the XMP, under their
    // standard names. profile is the one the file gets (empty: none).
    // Either may be empty; false with errorString set when exiv2 failed.
    struct Blocks
    {
        QByteArray exif;
        QByteArray xmp;
    };
    bool blocksFor(const QSize &size, const QByteArray &profile, Blocks *blocks,
                   QString *errorString) const;

    // Set: writeInto() and blocksFor() leave out the photo's position and place names
    // (LocationTags), everything else is written as read.
    void setLocationRemoved(bool removed) { locationRemoved = removed; }
    bool isLocationRemoved() const { return locationRemoved; }

    // What was read; shared by the readers in photometadata.cpp.
    struct Data;

private:
    static void readJpeg(SourceFile &file, Data &data);
    static void readOther(SourceFile &file, Data &data);

    std::shared_ptr<Data> d;
    bool locationRemoved = false;
};

Q_DECLARE_OPERATORS_FOR_FLAGS(PhotoMetadata::Parts)

#endif // PHOTOMETADATA_H
