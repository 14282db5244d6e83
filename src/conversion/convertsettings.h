#ifndef CONVERTSETTINGS_H
#define CONVERTSETTINGS_H

#include "encode/encodeoptions.h"

#include <QSize>
#include <QString>

struct OutputFormat;

// How the Size tab gives the target size; the values are its items' order.
enum class SizeMode {
    Percent = 0, // a percentage of each image's own size
    Fixed = 1,   // one width and height for all, as a box the picture fits
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
    // an invalid size.
    QSize targetSize(const QString &path) const;

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
