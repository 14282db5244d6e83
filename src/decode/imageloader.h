#ifndef IMAGELOADER_H
#define IMAGELOADER_H

#include "base/conversionresult.h"
#include "base/orientation.h"
#include "decode/resampler.h"

#include <QImage>
#include <QImageIOHandler>
#include <QSize>
#include <QString>

#include <functional>

class SourceReader;

// Reads image files the way the whole application sees them: turned as their
// EXIF orientation says, and within a memory limit that admits large photos
// but refuses files whose headers claim absurd dimensions.
// Every function is safe to call from any thread.
class ImageLoader
{
public:
    // Width and height as the image appears (rotated by its orientation),
    // taken from the header where the reader can tell, else by decoding.
    // An invalid size when the file is not a readable image (or not a
    // regular file).
    static QSize displaySize(const QString &path);

    // Decodes the whole image, turned upright. A null image on failure;
    // errorString, when given, then says why.
    // admit, when given, is told the bytes the decode will take once the
    // header has been read, and may wait; false fails the read.
    using Admit = std::function<bool(qint64 bytes)>;
    static QImage read(const QString &path, QString *errorString = nullptr,
                       const Admit &admit = {});

    // The same from a source the caller opened; failedStep, when given,
    // says which step failed.
    static QImage read(SourceReader &source, QString *errorString, const Admit &admit,
                       ConversionResult::Step *failedStep);

    // Decodes the image turned upright at exactly targetSize (as it
    // appears). Fast: where the decoder can scale while it decodes (JPEG)
    // that is done, which is several times faster than decoding in full;
    // otherwise the full image is scaled without smoothing. Smooth: the
    // decoder shrinks only as far as it stays exact, pays and leaves room
    // above the target (SourceReader::smoothScaledSize), then Resampler
    // filters. A result that would not
    // fit in the allocation limit fails before any work, with its size in
    // the reason.
    static QImage readScaled(const QString &path, const QSize &targetSize,
                             Qt::AspectRatioMode mode, QString *errorString = nullptr);

    // The same, with the target worked out from the size the image appears
    // at, so that the header is read once.
    static QImage readScaled(const QString &path,
                             const std::function<QSize(const QSize &shown)> &targetFor,
                             Qt::AspectRatioMode mode, QString *errorString = nullptr,
                             const Admit &admit = {}, Scaling scaling = Scaling::Fast);
    static QImage readScaled(SourceReader &source,
                             const std::function<QSize(const QSize &shown)> &targetFor,
                             Qt::AspectRatioMode mode, QString *errorString, const Admit &admit,
                             ConversionResult::Step *failedStep, Scaling scaling = Scaling::Fast);
};

#endif // IMAGELOADER_H
