#include "conversion/convertsettings.h"

#include "decode/imageloader.h"
#include "encode/outputformat.h"

#include <QDebug>
#include <QFileInfo>

#include <cmath>
#include <limits>

QSize ConvertSettings::targetSize(const QString &path) const
{
    switch (sizeMode) {
    case SizeMode::Percent:
        if (!noEnlarge)
            return percentOf(path, percent);
        break;
    case SizeMode::Fixed:
        if (!noEnlarge)
            return fixedSize;
        break;
    case SizeMode::LongEdge:
    case SizeMode::ShortEdge:
        break;
    default:
        return QSize();
    }
    const QSize shown = ImageLoader::displaySize(path);
    return shown.isValid() ? targetFor(shown) : QSize(0, 0);
}

QSize ConvertSettings::targetFor(const QSize &shown) const
{
    QSize target;
    switch (sizeMode) {
    case SizeMode::Percent:
        target = percentOf(shown, percent);
        break;
    case SizeMode::Fixed:
        target = fixedSize;
        break;
    case SizeMode::LongEdge:
    case SizeMode::ShortEdge: {
        if (shown.isEmpty() || edge <= 0)
            return QSize(0, 0);
        const bool landscape = shown.width() >= shown.height();
        const bool widthSet = landscape == (sizeMode == SizeMode::LongEdge);
        const int set = widthSet ? shown.width() : shown.height();
        const int other = widthSet ? shown.height() : shown.width();
        // Rounded to the nearest pixel, and clamped before the conversion
        // to int so that a thin strip cannot wrap.
        const double scaled = std::round(double(other) * edge / set);
        const int follows = int(qBound(1.0, scaled, double(std::numeric_limits<int>::max())));
        target = widthSet ? QSize(edge, follows) : QSize(follows, edge);
        break;
    }
    default:
        return QSize();
    }
    if (!noEnlarge || shown.isEmpty())
        return target;
    // Fitted into a box, the picture is never larger than the box it fits
    // in; the other modes give its exact size.
    const QSize fitted = sizeMode == SizeMode::Fixed && !target.isEmpty()
            ? shown.scaled(target, Qt::KeepAspectRatio)
            : target;
    return fitted.width() > shown.width() || fitted.height() > shown.height() ? shown : target;
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

TargetFormat TargetFormat::original()
{
    TargetFormat format;
    format.kind = Kind::Original;
    return format;
}

TargetFormat TargetFormat::of(const OutputFormat &offered)
{
    TargetFormat format;
    format.kind = Kind::Fixed;
    format.fixedName = offered.suffix;
    return format;
}

TargetFormat TargetFormat::ofItem(int item)
{
    if (item == 0)
        return original();
    const QList<OutputFormat> &offered = OutputFormat::offered();
    if (item < 1 || item > offered.size())
        return TargetFormat();
    return of(offered.at(item - 1));
}

QString TargetFormat::nameFor(const QString &path) const
{
    switch (kind) {
    case Kind::Original:
        return QFileInfo(path).suffix();
    case Kind::Fixed:
        return fixedName;
    case Kind::None:
        break;
    }
    return QString();
}

bool TargetFormat::takesQuality(bool lossless) const
{
    if (kind != Kind::Fixed)
        return kind == Kind::Original;
    const OutputFormat row = OutputFormat::of(fixedName);
    return row.takesQuality() && !(lossless && row.lossless == OutputFormat::Lossless::Optional);
}

bool TargetFormat::takesLossless() const
{
    if (kind != Kind::Fixed)
        return kind == Kind::Original;
    return OutputFormat::of(fixedName).lossless == OutputFormat::Lossless::Optional;
}

Qt::AspectRatioMode ConvertSettings::aspectRatioMode() const
{
    return sizeMode == SizeMode::Fixed ? Qt::KeepAspectRatio : Qt::IgnoreAspectRatio;
}
