#ifndef CONVERTSETTINGS_H
#define CONVERTSETTINGS_H

#include <QSize>
#include <QString>

// What a conversion is to produce, as the Size and Format tabs said when
// the command was given. A batch keeps its own copy, so that moving the
// slider mid-batch does not change the images still waiting.
struct ConvertSettings
{
    enum SizeMode { Percent = 0, Fixed = 1 };

    int sizeMode = Percent;
    int percent = 100;
    QSize fixedSize;
    int formatIndex = 0;

    // Target size of one file. Percent: the image's own size (as it
    // appears) times percent / 100, truncated but never below one pixel
    // a side; a file that cannot be read
    // gives 0 x 0. Fixed: the width and height as given. Any other mode:
    // an invalid size.
    QSize targetSize(const QString &path) const;

    // Target format name, which is also the suffix of the output file:
    // the source's own suffix (as spelled) for "Original", "png" for PNG,
    // the item text for the other formats, a null string for no item.
    QString targetFormat(const QString &path) const;

    // The percent rule on its own: the image's size as it appears, times
    // percent / 100, each side truncated, at least 1; 0 x 0 for an
    // unreadable file.
    static QSize percentOf(const QString &path, int percent);
    static QSize percentOf(const QSize &shown, int percent);

    // Fixed sizes are a box the picture is fitted into.
    Qt::AspectRatioMode aspectRatioMode() const;
};

#endif // CONVERTSETTINGS_H
