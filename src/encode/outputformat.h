#ifndef OUTPUTFORMAT_H
#define OUTPUTFORMAT_H

#include <QCoreApplication>
#include <QList>
#include <QSize>
#include <QString>

// The formats results are written in, one row each, and what their files
// hold. The Format tab's choices, the encoder and the writers read this
// table rather than keeping lists of their own.
struct OutputFormat
{
    Q_DECLARE_TR_FUNCTIONS(OutputFormat)

public:
    enum class Writer {
        Qt,       // Qt's image writer of that name
        Png,      // PngWriter: Qt's chunks, the pixels compressed by libdeflate
        HeifHevc, // libheif, HEVC-coded (HEIC)
        HeifAv1,  // libheif, AV1-coded (AVIF)
        WebP,     // libwebp, with libwebpmux for the metadata chunks
        JpegXl,   // libjxl, with boxes for the metadata
    };
    enum class Alpha {
        None,  // the writer drops it and keeps whatever colour lies under it
        OnOff, // each pixel shown or not
        Full,
    };
    // Whether the Format tab's quality and lossless choice mean anything.
    enum class Lossless {
        Always,   // no quality: every pixel is kept (PNG, TIFF), or the format cannot do better
        Never,    // lossy only, at the tab's quality (JPEG, HEIC)
        Optional, // at the tab's quality, or without loss when asked (WebP, AVIF, JPEG XL)
    };
    // A point of a quality curve: the tab's number and the encoder's own
    // parameter it stands for; values between points are interpolated.
    struct QualityPoint
    {
        int quality;
        double native;
    };

    QString name;   // as the Format tab names it: "PNG", "JPEG XL"
    QString suffix; // of a result when the Format tab picks it, as spelled there: "png"
    Writer writer;
    Alpha alpha;
    bool profile;  // keeps an ICC profile; without one, readers take the pixels as sRGB
    bool metadata; // gets the source's EXIF and XMP, and its IPTC (or the IPTC in its XMP)
    int bits;      // per channel, at most
    Lossless lossless = Lossless::Always;
    // The encoder's parameter by the tab's quality, rising or falling;
    // empty when the format takes no quality.
    QList<QualityPoint> curve;
    // Largest side the encoder takes (0: only the decode limits hold).
    int maxSide = 0;

    // Every row: the Format tab's choices after "Original", in its order,
    // then the formats a source's own suffix may name (TIF, PGM, PBM,
    // HEIF).
    static const QList<OutputFormat> &all();
    // The Format tab's choices only.
    static const QList<OutputFormat> &offered();

    // The row of a format name or suffix, in any case ("jxl" and "JPEG XL"
    // alike). Any other name gets a row of its own, for Qt's writer of
    // that name, taken to hold alpha and a profile, no metadata, 8 bits.
    static OutputFormat of(const QString &name);

    bool takesQuality() const { return !curve.isEmpty(); }
    // The encoder's own parameter for the tab's quality (1 to 100).
    double native(int quality) const;
    // Why a picture of size cannot be written in this format, in the
    // user's words; empty when it can.
    QString sizeProblem(const QSize &size) const;
};

#endif // OUTPUTFORMAT_H
