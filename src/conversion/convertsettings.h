#ifndef CONVERTSETTINGS_H
#define CONVERTSETTINGS_H

#include "encode/encodeoptions.h"
#include "decode/resampler.h"

#include <QSize>
#include <QString>

struct OutputFormat;

// How the Size tab gives the target size; the values are its items' order.
enum class SizeMode {
    Percent = 0,   // a percentage of each image's own size
    Fixed = 1,     // one width and height for all, as a box the picture fits
    LongEdge = 2,  // the longer side to edge pixels, the other in proportion
    ShortEdge = 3, // the shorter side to edge pixels, the other in proportion
};

// The Format tab's choice: each source's own format ("Original"), one of
// the offered formats (OutputFormat::offered()), or none (no item).
class TargetFormat
{
public:
    TargetFormat() = default;
    static TargetFormat original();
    static TargetFormat of(const OutputFormat &format);
    // The tab's item: 0 "Original", then the offered formats in order;
    // anything else is no choice.
    static TargetFormat ofItem(int item);

    // The format name of path's result, which is also its suffix: the
    // source's own suffix (as spelled) for "Original", the offered
    // format's suffix ("png" for PNG), a null string for no choice.
    QString nameFor(const QString &path) const;

    // Whether the Format tab's quality means anything for this choice
    // (lossless: the lossless box is checked), and its lossless box. For
    // "Original" both do: some sources' own formats take them.
    bool takesQuality(bool lossless) const;
    bool takesLossless() const;

private:
    enum class Kind { None, Original, Fixed };
    Kind kind = Kind::None;
    QString fixedName;
};

// What a conversion is to produce, as the Size and Format tabs said when
// the command was given. A batch keeps its own copy, so that moving the
// slider mid-batch does not change the images still waiting.
struct ConvertSettings
{
    SizeMode sizeMode = SizeMode::Percent;
    int percent = 100;
    QSize fixedSize;
    // The side the edge modes set, in pixels.
    int edge = 2048;
    // A picture already smaller than its target keeps its own size.
    bool noEnlarge = false;
    Scaling scaling = Scaling::Fast;
    TargetFormat format = TargetFormat::original();
    // Each result gets its source's file dates.
    bool keepDates = false;
    // Results leave the photo's position and place names behind.
    bool removeLocation = false;
    // The Format tab's quality and lossless choice; the encoder threads
    // the batch gives each image (BatchRunner).
    EncodeOptions encoding;

    // Target size of one file. Percent: the image's own size (as it
    // appears) times percent / 100, truncated but never below one pixel
    // a side; a file that cannot be read
    // gives 0 x 0. Fixed: the width and height as given. Any other mode:
    // an invalid size. Edge modes and never enlarging: targetFor() of the
    // size the image appears at (0 x 0 for a file that cannot be read).
    QSize targetSize(const QString &path) const;

    // The size to scale a picture that appears at shown to, in this mode:
    // Percent as percentOf(); Fixed the box (which the picture is then
    // fitted into); LongEdge and ShortEdge that side at edge pixels and
    // the other in proportion, rounded, at least 1. With noEnlarge a
    // picture that already fits keeps its size (shown).
    QSize targetFor(const QSize &shown) const;

    // Target format name, which is also the suffix of the output file.
    QString targetFormat(const QString &path) const { return format.nameFor(path); }

    // The percent rule on its own: the image's size as it appears, times
    // percent / 100, each side truncated, at least 1; 0 x 0 for an
    // unreadable file.
    static QSize percentOf(const QString &path, int percent);
    static QSize percentOf(const QSize &shown, int percent);

    // Fixed sizes are a box the picture is fitted into.
    Qt::AspectRatioMode aspectRatioMode() const;
};

#endif // CONVERTSETTINGS_H
