#include "encode/outputformat.h"

#include "encode/heifencoder.h"

#include <QImageWriter>

#include <initializer_list>

namespace {

bool isOneOf(const QString &format, std::initializer_list<const char *> names)
{
    for (const char *name : names) {
        if (format.compare(QLatin1String(name), Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

} // namespace

bool OutputFormat::canWrite(const QString &format)
{
    // HEIC and AVIF through libheif, when its encoders are there.
    return HeifEncoder::canWrite(format)
            || (!format.isEmpty()
                && QImageWriter::supportedImageFormats().contains(format.toLower().toUtf8()));
}

bool OutputFormat::carriesMetadata(const QString &format)
{
    return isOneOf(format, {"jpg", "jpeg", "png", "tif", "tiff", "webp"});
}

bool OutputFormat::dropsAlpha(const QString &format)
{
    return isOneOf(format, {"jpg", "jpeg", "bmp", "ppm", "pgm", "pbm", "xbm"});
}

bool OutputFormat::wantsSrgb(const QString &format)
{
    return isOneOf(format, {"bmp", "ppm", "pgm", "pbm", "xbm", "xpm"});
}

bool OutputFormat::isPng(const QString &format)
{
    return isOneOf(format, {"png"});
}

bool OutputFormat::isTiff(const QString &format)
{
    return isOneOf(format, {"tif", "tiff"});
}

bool OutputFormat::isXbm(const QString &format)
{
    return isOneOf(format, {"xbm"});
}

bool OutputFormat::keepsPixels(const QString &format)
{
    return !isOneOf(format, {"xpm"});
}
