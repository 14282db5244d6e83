#ifndef IMAGEENCODER_H
#define IMAGEENCODER_H

#include "encode/encodeoptions.h"

#include <QByteArray>
#include <QImage>
#include <QCoreApplication>
#include <QString>
#include <QStringList>

#include <functional>

class PhotoMetadata;
struct OutputFormat;

// Turns a converted image into the bytes of its output file, keeping what
// the format can hold (OutputFormat) of what the source photo carried:
// - formats that keep a profile keep the picture's, and those that take
//   metadata get the source's EXIF, XMP and IPTC, made true of the new
//   file (PhotoMetadata);
// - formats without a profile get their pixels converted to sRGB from
//   whatever profile the picture has;
// - formats without alpha get transparent pixels laid on white (1-bit
//   formats are then thresholded), rather than showing whatever colour
//   happens to be stored under them;
// - TIFF is compressed without loss.
// A metadata problem never fails an image: the pixels are still encoded,
// the warnings say what was not copied and the debug output why. Safe to call from any thread.
class ImageEncoder
{
    Q_DECLARE_TR_FUNCTIONS(ImageEncoder)

public:
    // The file's bytes, or empty with errorString set when the writer
    // failed, with the source's metadata already read (from the open the
    // pixels came from); sourceName names it in the debug output, and an
    // empty one carries nothing over. written, when given, receives the
    // pixels handed to the writer: what a lossless output file shows.
    // warnings, when given, receives what the file lacks that the source
    // had, in the user's words. options give the quality (for the
    // formats that take one, mapped through the format table) and the
    // encoder's threads. A failed allocation is thrown (std::bad_alloc)
    // to the caller, which fails the one image.
    static QByteArray encode(const QImage &image, const QString &format,
                             const PhotoMetadata &metadata, const QString &sourceName,
                             QString *errorString, QImage *written = nullptr,
                             QStringList *warnings = nullptr,
                             const EncodeOptions &options = EncodeOptions());

    // Whether there is a writer for format: Qt's, or libwebp's, libjxl's
    // and libheif's for the formats the table gives them.
    static bool canWrite(const QString &format);

    // Whether encoding image as format will look at the source's metadata:
    // to copy it, or for the profile of a picture Qt found none in.
    static bool needsMetadata(const QImage &image, const QString &format);

    // The pixels a format gets: flattened, thresholded, converted to sRGB
    // as above. sourceProfile is asked for the source file's ICC profile
    // only when the picture has no colour space Qt could read.
    // warnings receives what could not be done (a profile that does not fit).
    static QImage prepared(const QImage &image, const QString &format,
                           const std::function<QByteArray()> &sourceProfile,
                           QStringList *warnings = nullptr);

    // Off, the encoder writes pixels only, as plain Qt would: for
    // measuring what the metadata and colour work costs.
    static void setCarryOver(bool on);

private:
    // encode() for the formats the field's libraries write: the metadata
    // as blocks, the size checked against the format's limits first.
    static QByteArray encodeBlocks(const QImage &pixels, const OutputFormat &holds,
                                   const PhotoMetadata &metadata, const QString &sourceName,
                                   QString *errorString, QImage *written, QStringList *warnings,
                                   const EncodeOptions &options, bool carry, QStringList noted);
};

#endif // IMAGEENCODER_H
