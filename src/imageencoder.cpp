#include "imageencoder.h"

#include "colorconverter.h"
#include "heifencoder.h"
#include "imagelimits.h"
#include "outputformat.h"
#include "photometadata.h"

#include <QBuffer>
#include <QColorSpace>
#include <QDebug>
#include <QImageWriter>
#include <QPainter>

#include <atomic>

namespace {

std::atomic<bool> carryOver{true};

using namespace OutputFormat;

QImage onWhite(const QImage &image)
{
    QImage flat(image.size(), QImage::Format_RGB32);
    if (flat.isNull())
        return flat;
    flat.fill(Qt::white);
    QPainter painter(&flat);
    painter.drawImage(0, 0, image);
    painter.end();
    flat.setColorSpace(image.colorSpace());
    flat.setDotsPerMeterX(image.dotsPerMeterX());
    flat.setDotsPerMeterY(image.dotsPerMeterY());
    return flat;
}

// The picture in sRGB, converted from its own colour space, or from the
// profile the source file has when Qt could not make a colour space of it
// (table-based or grey profiles). Unchanged when neither says anything,
// and when the conversion fails (said in the debug output).
QImage inSrgb(const QImage &image, const std::function<QByteArray()> &sourceProfile)
{
    const QColorSpace space = image.colorSpace();
    if (space.isValid() && space == QColorSpace(QColorSpace::SRgb))
        return image;
    const QByteArray profile = space.isValid() ? space.iccProfile() : sourceProfile();
    if (profile.isEmpty())
        return image;
    QString why;
    const QImage converted = ColorConverter::toSrgb(image, profile, &why);
    if (converted.isNull()) {
        qDebug().noquote() << "colours not converted to sRGB:" << why;
        return image;
    }
    return converted;
}

} // namespace

bool ImageEncoder::needsMetadata(const QImage &image, const QString &format)
{
    return carryOver.load(std::memory_order_relaxed)
            && (carriesMetadata(format) || !image.colorSpace().isValid());
}

void ImageEncoder::setCarryOver(bool on)
{
    carryOver.store(on, std::memory_order_relaxed);
}

QImage ImageEncoder::prepared(const QImage &image, const QString &format,
                              const std::function<QByteArray()> &sourceProfile)
{
    QImage pixels = image;
    if (dropsAlpha(format) && pixels.hasAlphaChannel())
        pixels = onWhite(pixels);
    if (wantsSrgb(format)) {
        pixels = inSrgb(pixels, sourceProfile);
    } else if (!pixels.colorSpace().isValid()) {
        // A profile Qt cannot read would be lost: its colours are put into
        // sRGB instead, which the writer then names.
        const QByteArray profile = sourceProfile();
        if (!profile.isEmpty())
            pixels = inSrgb(pixels, [&profile]() { return profile; });
    }
    if (isXbm(format) && pixels.depth() != 1) {
        // The writer would dither; a logo or a scan wants clean edges.
        pixels = pixels.convertToFormat(QImage::Format_MonoLSB, Qt::ThresholdDither);
    }
    if (isTiff(format) && pixels.format() == QImage::Format_Indexed8 && pixels.hasAlphaChannel()) {
        // Qt's TIFF writer stores a palette without its alpha.
        pixels = pixels.convertToFormat(QImage::Format_ARGB32);
    }
    return pixels;
}

namespace {

QByteArray encodeWith(const QImage &image, const QString &format,
                      const std::function<const PhotoMetadata &()> &source,
                      const QString &sourceName, QString *errorString, QImage *written)
{
    const bool carry = carryOver.load(std::memory_order_relaxed);
    QByteArray bytes;
    QImage pixels;
    try {
        pixels = carry ? ImageEncoder::prepared(image, format,
                                                [&]() { return source().iccProfile(); })
                       : image;
        if (pixels.isNull()) {
            if (errorString)
                *errorString = ImageLimits::outOfMemory();
            return QByteArray();
        }
        if (HeifEncoder::handles(format)) {
            bytes = HeifEncoder::encode(pixels, format, errorString);
            if (bytes.isEmpty())
                return QByteArray();
            if (written)
                *written = pixels;
            return bytes;
        }
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        QImageWriter writer(&buffer, format.toUtf8());
        if (isTiff(format))
            writer.setCompression(1); // LZW
        if (!writer.write(pixels)) {
            if (errorString)
                *errorString = writer.errorString();
            return QByteArray();
        }
    } catch (const std::bad_alloc &) {
        if (errorString)
            *errorString = ImageLimits::outOfMemory();
        return QByteArray();
    }

    if (carry && carriesMetadata(format) && !sourceName.isEmpty()) {
        const PhotoMetadata &carried = source();
        QString why = carried.errorString();
        if (why.isEmpty() && carried.hasMetadata())
            carried.writeInto(&bytes, pixels.size(), &why);
        if (!why.isEmpty()) {
            qDebug().noquote() << QStringLiteral("EXIF, XMP and IPTC of %1 not copied: %2")
                                          .arg(sourceName, why);
        }
    }
    if (written)
        *written = pixels;
    return bytes;
}

} // namespace

QByteArray ImageEncoder::encode(const QImage &image, const QString &format,
                                const QString &sourcePath, QString *errorString,
                                QImage *written)
{
    // Read at most once, and only when something needs it.
    PhotoMetadata metadata;
    bool metadataRead = false;
    auto source = [&]() -> const PhotoMetadata & {
        if (!metadataRead && !sourcePath.isEmpty())
            metadata = PhotoMetadata::read(sourcePath);
        metadataRead = true;
        return metadata;
    };
    return encodeWith(image, format, source, sourcePath, errorString, written);
}

QByteArray ImageEncoder::encode(const QImage &image, const QString &format,
                                const PhotoMetadata &metadata, const QString &sourceName,
                                QString *errorString, QImage *written)
{
    return encodeWith(
            image, format, [&]() -> const PhotoMetadata & { return metadata; }, sourceName,
            errorString, written);
}
