#ifndef SOURCEREADER_H
#define SOURCEREADER_H

#include "decode/imagedecoder.h"
#include "fs/sourcefile.h"

#include <QImage>
#include <QImageReader>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

// An image reader over a source file opened the safe way (SourceFile),
// turning images upright as their orientation says. check() refuses, before
// anything is decoded, a file that is not open or whose header claims more
// pixels than the allocation limit admits; read() turns an allocation
// failure into a failed image instead of an exception, and decodes CMYK
// JPEGs to true colour (CmykJpeg), which Qt's reader does not. Files Qt
// does not read, or reads wrongly (HEIF, AVIF, JPEG XL, camera RAW, CMYK
// TIFF), go to an ImageDecoder instead; the accessors below answer for
// whichever of the two reads the file.
class SourceReader
{
public:
    explicit SourceReader(const QString &path);
    // The same over a file opened elsewhere (SourceFile(int)); name is
    // only looked at for its suffix.
    SourceReader(int descriptor, const QString &name);

    bool check(QString *errorString);
    QImage read(QString *errorString);

    bool isOpen() const { return file.isOpen(); }
    QImageReader &reader() { return imageReader; }
    // The opened file itself, for what else is read from the same open
    // (the metadata).
    SourceFile &source() { return file; }

    // The stored size and the turn that makes it upright (none for the
    // decoders, whose sizes are upright already).
    QSize size();
    // Bytes decoding the whole picture takes at its peak, from the file's
    // depth and samples (ImageDecoder::decodeBytes, ReaderCost); what the
    // memory budget is asked for.
    qint64 decodeBytes();
    QImageIOHandler::Transformations transformation();
    // Whether the picture can be made smaller while it is decoded, and the
    // stored size to make it (before any turn).
    bool canScale();
    void setScaledSize(const QSize &size);
    // The stored size to decode at before Lanczos filtering to target: the
    // decoder's own shrinking where it stays exact. A JPEG's scaled inverse
    // DCT by n/8, where both sides divide evenly (Qt's reader resamples
    // otherwise) and the result keeps at least 1.3 times the target for the
    // filter: the smaller the decode, the faster, and the DCT's own
    // shrinking is a fair filter; a decoder that scales (with a plainer
    // filter of its own) is asked for twice the target. The full size where
    // nothing smaller qualifies.
    QSize smoothScaledSize(const QSize &target);
    // A preview the file carries for thumbnails (RAW and HEIF files).
    QImage preview();
    // What the picture read() gave may lack, in the user's words (a file
    // that ends early but still decodes): for a warning on the result.
    QStringList warnings() const { return damage; }

private:
    void setUp(const QString &name);

    SourceFile file; // declared first: the reader reads from it
    QImageReader imageReader;
    std::unique_ptr<ImageDecoder> decoder; // when Qt's reader is not the one
    QStringList damage;
    // The turn an EXIF block asks for where Qt's reader does not look for
    // one (PNG, WebP); worked out once.
    QImageIOHandler::Transformations exifTurn();
    std::optional<QImageIOHandler::Transformations> ownTurn;
    std::optional<qint64> cost;
};

#endif // SOURCEREADER_H
