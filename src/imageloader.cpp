#include "imageloader.h"

#include "sourcereader.h"

#include <QImageIOHandler>
#include <QImageReader>
#include <QTransform>

#include <new>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace {

bool rotatesSideways(QImageIOHandler::Transformations t)
{
    return t.testFlag(QImageIOHandler::TransformationRotate90);
}

QString sizeText(const QSize &size)
{
    return QStringLiteral("%1 x %2").arg(size.width()).arg(size.height());
}

void setError(QString *errorString, const QString &text)
{
    if (errorString)
        *errorString = text;
}

QImage scaledTo(const QImage &image, const QSize &targetSize, Qt::AspectRatioMode mode,
                QString *errorString)
{
    QImage scaled;
    try {
        scaled = image.scaled(targetSize, mode, Qt::FastTransformation);
    } catch (const std::bad_alloc &) {
        scaled = QImage();
    }
    if (scaled.isNull())
        setError(errorString, QStringLiteral("cannot scale to %1").arg(sizeText(targetSize)));
    return scaled;
}

} // namespace

bool ImageLoader::fitsLimit(const QSize &size)
{
    return bytesFor(size) <= qint64(allocationLimitMB) * 1024 * 1024;
}

qint64 ImageLoader::bytesFor(const QSize &size)
{
    if (size.isEmpty())
        return 0;
    return qint64(size.width()) * qint64(size.height()) * 4;
}

void ImageLoader::configureReaders()
{
    QImageReader::setAllocationLimit(allocationLimitMB);
#ifdef __GLIBC__
    // Decoded photos are tens of megabytes each. Left to its moving
    // threshold, glibc serves them from heaps that keep the memory after it
    // is freed, so the process grows with the length of a batch; mapped
    // blocks go back to the system at once.
    mallopt(M_MMAP_THRESHOLD, 1024 * 1024);
#endif
}

QSize ImageLoader::displaySize(const QString &path)
{
    SourceReader source(path);
    if (!source.isOpen())
        return QSize();
    QSize size = source.size();
    if (!size.isValid()) {
        // Some handlers cannot tell the size without decoding.
        const QImage image = source.read(nullptr);
        return image.isNull() ? QSize() : image.size();
    }
    // size() reports the stored size; a rotation by 90 or 270 degrees
    // swaps the sides as the picture appears.
    if (rotatesSideways(source.transformation()))
        size.transpose();
    return size;
}

QImage ImageLoader::read(const QString &path, QString *errorString, const Admit &admit)
{
    SourceReader source(path);
    if (!source.check(errorString))
        return QImage();
    if (admit && !admit(bytesFor(source.size()))) {
        setError(errorString, QStringLiteral("cancelled"));
        return QImage();
    }
    return source.read(errorString);
}

QImage ImageLoader::transformed(const QImage &image, QImageIOHandler::Transformations turn)
{
    if (image.isNull() || turn == QImageIOHandler::TransformationNone)
        return image;
    // Mirror and flip first, then a quarter turn clockwise, as Qt's readers
    // do; 270 degrees is a turn of its own.
    if (turn == QImageIOHandler::TransformationRotate270)
        return image.transformed(QTransform().rotate(270));
    QImage result = image.mirrored(turn.testFlag(QImageIOHandler::TransformationMirror),
                                   turn.testFlag(QImageIOHandler::TransformationFlip));
    if (turn.testFlag(QImageIOHandler::TransformationRotate90))
        result = result.transformed(QTransform().rotate(90));
    return result;
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
                               const Admit &admit)
{
    SourceReader source(path);
    if (!source.check(errorString))
        return QImage();
    const QSize stored = source.size();
    const bool sideways = stored.isValid() && rotatesSideways(source.transformation());
    QImage image;
    QSize shown = sideways ? stored.transposed() : stored;
    if (!stored.isValid()) {
        // The header does not tell: the size comes from the decoded picture.
        image = source.read(errorString);
        if (image.isNull())
            return image;
        shown = image.size();
    }
    const QSize targetSize = targetFor(shown);
    if (targetSize.isEmpty()) {
        setError(errorString, QStringLiteral("empty target size %1").arg(sizeText(targetSize)));
        return QImage();
    }
    const QSize wanted = shown.scaled(targetSize, mode);
    if (!fitsLimit(wanted)) {
        setError(errorString, QStringLiteral("target too large (%1)").arg(sizeText(wanted)));
        return QImage();
    }
    // The decoded picture and the result, at most.
    if (admit && !admit(bytesFor(shown) + bytesFor(wanted))) {
        setError(errorString, QStringLiteral("cancelled"));
        return QImage();
    }
    if (image.isNull()) {
        // Only shrink while decoding; enlarging gains nothing there.
        const bool shrinkWhileDecoding = source.canScale()
                && !wanted.isEmpty() && wanted.width() <= shown.width()
                && wanted.height() <= shown.height();
        if (shrinkWhileDecoding) // the reader scales before it rotates
            source.setScaledSize(sideways ? wanted.transposed() : wanted);
        image = source.read(errorString);
        if (image.isNull() || shrinkWhileDecoding)
            return image;
    }
    return scaledTo(image, targetSize, mode, errorString);
}
