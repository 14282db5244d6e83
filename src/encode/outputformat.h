#ifndef OUTPUTFORMAT_H
#define OUTPUTFORMAT_H

#include <QList>
#include <QString>

// The formats results are written in, one row each, and what their files
// hold. The Format tab's choices, the encoder and the HEIF writer read
// this table rather than keeping lists of their own.
struct OutputFormat
{
    enum class Writer {
        Qt,       // Qt's image writer of that name
        Png,      // PngWriter: Qt's chunks, the pixels compressed by libdeflate
        HeifHevc, // libheif, HEVC-coded (HEIC)
        HeifAv1,  // libheif, AV1-coded (AVIF)
    };
    enum class Alpha {
        None,  // the writer drops it and keeps whatever colour lies under it
        OnOff, // each pixel shown or not
        Full,
    };

    QString name;   // as the user names it, upper case: "PNG"
    QString suffix; // of a result when the Format tab picks it, as spelled there: "png"
    Writer writer;
    Alpha alpha;
    bool profile;  // keeps an ICC profile; without one, readers take the pixels as sRGB
    bool metadata; // gets the source's EXIF, XMP and IPTC
    int bits;      // per channel, at most

    // Every row: the Format tab's choices after "Original", in its order,
    // then the formats a source's own suffix may name (TIF, PGM, PBM, WEBP,
    // HEIC, HEIF, AVIF).
    static const QList<OutputFormat> &all();
    // The Format tab's choices only.
    static const QList<OutputFormat> &offered();

    // The row of a format name, in any case. Any other name gets a row of
    // its own, for Qt's writer of that name, taken to hold alpha and a
    // profile, no metadata, 8 bits.
    static OutputFormat of(const QString &name);
};

#endif // OUTPUTFORMAT_H
