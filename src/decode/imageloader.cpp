#include "decode/imageloader.h"

#include "base/imagelimits.h"
#include "decode/sourcereader.h"

#include <QCoreApplication>
#include <QImageReader>

namespace {

using Step = ConversionResult::Step;

QString sizeText(const QSize &size)
{
    return QStringLiteral("%1 x %2").arg(size.width()).arg(size.height());
}

QImage failed(QString *errorString, const QString &text, Step *failedStep, Step step)
{
    if (errorString)
        *errorString = text;
    if (failedStep)
        *failedStep = step;
    return QImage();
}

QImage decoded(SourceReader &source, QString *errorString, Step *failedStep)
{
    QImage image = source.read(errorString);
    if (image.isNull() && failedStep)
        *failedStep = Step::Decode;
    return image;
}

} // namespace

QSize ImageLoader::displaySize(const QString &path)
{
    SourceReader source(path);
    if (!source.isOpen())
        return QSize();
    const QSize size = source.size();
    if (!size.isValid()) {
        // Some handlers cannot tell the size without decoding.
        const QImage image = source.read(nullptr);
        return image.isNull() ? QSize() : image.size();
    }
    // size() reports the stored size, not the size as the picture appears.
    return Orientation::shown(size, source.transformation());
}

QImage ImageLoader::read(const QString &path, QString *errorString, const Admit &admit)
{
    SourceReader source(path);
    return read(source, errorString, admit, nullptr);
}

QImage ImageLoader::read(SourceReader &source, QString *errorString, const Admit &admit,
                         Step *failedStep)
{
    if (!source.check(errorString)) {
        if (failedStep)
            *failedStep = source.isOpen() ? Step::Admit : Step::Open;
        return QImage();
    }
    // The decode at its peak, or the picture twice: a helper hands it back
    // in shared memory, and for a moment holds both the decoded copy and
    // the shared one.
    const qint64 held = ImageLimits::plus(ImageLimits::bytesFor(source.size()),
                                          ImageLimits::bytesFor(source.size()));
    if (admit && !admit(qMax(source.decodeBytes(), held)))
        return failed(errorString, QCoreApplication::translate("ImageLoader", "cancelled"), failedStep, Step::Admit);
    return decoded(source, errorString, failedStep);
}

QImage ImageLoader::readScaled(const QString &path, const QSize &targetSize,
                               Qt::AspectRatioMode mode, QString *errorString)
{
    return readScaled(
            path, [targetSize](const QSize &) { return targetSize; }, mode, errorString);
}

QImage ImageLoader::readScaled(const QString &path,
                               const std::function<QSize(const QSize &shown)> &targetFor,
                               Qt::AspectRatioMode mode, QString *errorString,
                               const Admit &admit, Scaling scaling)
{
    SourceReader source(path);
    return readScaled(source, targetFor, mode, errorString, admit, nullptr, scaling);
}

QImage ImageLoader::readScaled(SourceReader &source,
                               const std::function<QSize(const QSize &shown)> &targetFor,
                               Qt::AspectRatioMode mode, QString *errorString, const Admit &admit,
                               Step *failedStep, Scaling scaling)
{
    if (!source.check(errorString)) {
        if (failedStep)
            *failedStep = source.isOpen() ? Step::Admit : Step::Open;
        return QImage();
    }
    const QSize stored = source.size();
    const QImageIOHandler::Transformations turn = source.transformation();
    QImage image;
    QSize shown = Orientation::shown(stored, turn);
    if (!stored.isValid()) {
        // The header does not tell: the size comes from the decoded picture.
        image = decoded(source, errorString, failedStep);
        if (image.isNull())
            return image;
        shown = image.size();
    }
    const QSize targetSize = targetFor(shown);
    if (targetSize.isEmpty()) {
        return failed(errorString,
                      QCoreApplication::translate("ImageLoader", "empty target size %1").arg(sizeText(targetSize)),
                      failedStep, Step::Fit);
    }
    // Fitting a long thin picture into a box can round its short side to
    // nothing; it keeps one pixel.
    QSize wanted = shown.scaled(targetSize, mode);
    if (!shown.isEmpty())
        wanted = wanted.expandedTo(QSize(1, 1));
    if (!ImageLimits::fitsLimit(wanted)) {
        return failed(errorString, QCoreApplication::translate("ImageLoader", "target too large (%1)").arg(sizeText(wanted)),
                      failedStep, Step::Admit);
    }
    // The decoded picture and the result, or (enlarged) the result twice
    // when it is handed back in shared memory; filtering takes room of its
    // own besides.
    const bool smooth = scaling == Scaling::Smooth;
    const qint64 result = ImageLimits::bytesFor(wanted);
    const qint64 work = smooth ? Resampler::workBytes(shown, wanted) : 0;
    if (admit && !admit(ImageLimits::plus(qMax(ImageLimits::plus(source.decodeBytes(), result),
                                               ImageLimits::plus(result, result)),
                                          work)))
        return failed(errorString, QCoreApplication::translate("ImageLoader", "cancelled"), failedStep, Step::Admit);
    if (image.isNull()) {
        // Only shrink while decoding; enlarging gains nothing there.
        const bool shrinking = !wanted.isEmpty() && wanted.width() <= shown.width()
                && wanted.height() <= shown.height();
        if (shrinking && source.canScale()) {
            // The reader scales before it turns.
            const QSize wantedStored = Orientation::stored(wanted, turn);
            const QSize decodeAt = smooth ? source.smoothScaledSize(wantedStored) : wantedStored;
            if (decodeAt != source.size())
                source.setScaledSize(decodeAt);
        }
        image = decoded(source, errorString, failedStep);
        if (image.isNull() || image.size() == wanted)
            return image;
    }
    const QImage scaled = ImageLimits::orNull(
            [&]() {
                return smooth ? Resampler::lanczos3(image, wanted)
                              : image.scaled(wanted, Qt::IgnoreAspectRatio, Qt::FastTransformation);
            },
            nullptr);
    if (scaled.isNull()) {
        return failed(errorString, QCoreApplication::translate("ImageLoader", "cannot scale to %1").arg(sizeText(targetSize)),
                      failedStep, Step::Fit);
    }
    return scaled;
}
