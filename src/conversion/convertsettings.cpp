#include "conversion/convertsettings.h"

#include "decode/imageloader.h"

#include <QDebug>
#include <QFileInfo>

#include <limits>

QSize ConvertSettings::targetSize(const QString &path) const
{
    switch (sizeMode) {
    case Percent:
        return percentOf(path, percent);
    case Fixed:
        return fixedSize;
    default:
        return QSize();
    }
}

QSize ConvertSettings::percentOf(const QString &path, int percent)
{
    const QSize size = ImageLoader::displaySize(path);
    return percentOf(size.isValid() ? size : QSize(0, 0), percent);
}

QSize ConvertSettings::percentOf(const QSize &size, int percent)
{
    const double factor = percent / 100.0;
    // Truncated, not rounded: 29 % of 100 pixels is 28. A header may claim
    // any size; clamped before the conversion to int, so that an absurd
    // claim stays a huge size (refused as too large) instead of wrapping.
    // A side of one pixel or more never shrinks to nothing: a 1-pixel
    // line at 50 % is still a 1-pixel line.
    const auto side = [factor](int length) {
        const int scaled = int(qMin(double(length) * factor, double(std::numeric_limits<int>::max())));
        return length > 0 && factor > 0 ? qMax(1, scaled) : scaled;
    };
    return QSize(side(size.width()), side(size.height()));
}

QString ConvertSettings::targetFormat(const QString &path) const
{
    switch (formatIndex) {
    case 0: return QFileInfo(path).suffix();
    case 1: return QStringLiteral("BMP");
    case 2: return QStringLiteral("JPG");
    case 3: return QStringLiteral("JPEG");
    case 4: return QStringLiteral("png");
    case 5: return QStringLiteral("PPM");
    case 6: return QStringLiteral("TIFF");
    case 7: return QStringLiteral("XBM");
    case 8: return QStringLiteral("XPM");
    default: return QString();
    }
}

Qt::AspectRatioMode ConvertSettings::aspectRatioMode() const
{
    return sizeMode == Fixed ? Qt::KeepAspectRatio : Qt::IgnoreAspectRatio;
}
