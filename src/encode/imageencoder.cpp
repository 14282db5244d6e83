#include "encode/imageencoder.h"

#include "base/logging.h"
#include "cms/colorconverter.h"
#include "encode/heifencoder.h"
#include "base/imagelimits.h"
#include "encode/jpegxlencoder.h"
#include "encode/outputformat.h"
#include "encode/pngwriter.h"
#include "encode/webpencoder.h"
#include "metadata/photometadata.h"

#include <QBuffer>
#include <QColorSpace>
#include <QDebug>
#include <QImageWriter>
#include <QPainter>

#include <algorithm>
#include <atomic>

namespace {

std::atomic<bool> carryOver{true};

// Qt's TIFF writer has quirks of its own, under either spelling.
bool isTiff(const OutputFormat &format)
{
    return format.name == QLatin1String("TIFF") || format.name == QLatin1String("TIF");
}

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
// and when the conversion fails: the warning then says so.
QImage inSrgb(const QImage &image, const std::function<QByteArray()> &sourceProfile,
              QStringList *warnings)
{
    QString why;
    const QImage converted = ColorConverter::intoSrgb(
            image, image.colorSpace().isValid() ? QByteArray() : sourceProfile(), &why);
    if (converted.isNull()) {
        qCDebug(lcEncode).noquote() << "colours not converted to sRGB:" << why;
        if (warnings) {
            *warnings << ImageEncoder::tr("its colour profile does not fit the picture: its "
                                          "colours were written as stored");
        }
        return image;
    }
    return converted;
}

bool isGreyProfile(const QColorSpace &space)
{
    return space.isValid()
            && ColorConverter::kindOf(space.iccProfile()) == ColorConverter::ProfileKind::Grey;
}

// libpng takes a text keyword or profile name of 1 to 79 printable Latin-1
// characters without leading, trailing or double spaces, and fails the
// whole file over one that is not. The name repaired to that; empty when
// nothing printable is left.
QString pngKeyword(const QString &name)
{
    QString kept;
    for (const QChar c : name) {
        const ushort u = c.unicode();
        const bool printable = (u > 0x20 && u < 0x7f) || (u > 0xa0 && u <= 0xff);
        kept += printable ? c : QChar(u' ');
    }
    return kept.simplified().left(79).trimmed();
}

bool isPngKeyword(const QString &name)
{
    return !name.isEmpty() && pngKeyword(name) == name;
}

// The picture with keywords libpng takes: texts under a broken keyword are
// kept under the repaired one, or dropped when none is left; the profile's
// name, which is written as a keyword too, is repaired the same way.
QImage withPngKeywords(const QImage &image)
{
    QColorSpace space = image.colorSpace();
    const bool nameOk = !space.isValid() || space.description().isEmpty()
            || isPngKeyword(space.description());
    const QStringList keys = image.textKeys();
    const bool keysOk = std::all_of(keys.begin(), keys.end(), isPngKeyword);
    if (nameOk && keysOk)
        return image;
    if (!nameOk) {
        const QString name = pngKeyword(space.description());
        space.setDescription(name.isEmpty() ? QStringLiteral("ICC profile") : name);
    }
    // A QImage cannot lose a text, so the pixels are shared by a new one
    // that carries only the good texts. It lives no longer than image.
    QImage clean(image.constBits(), image.width(), image.height(), image.bytesPerLine(),
                 image.format());
    clean.setColorTable(image.colorTable());
    clean.setColorSpace(space);
    clean.setDotsPerMeterX(image.dotsPerMeterX());
    clean.setDotsPerMeterY(image.dotsPerMeterY());
    for (const QString &key : keys) {
        const QString repaired = pngKeyword(key);
        if (!repaired.isEmpty() && clean.text(repaired).isEmpty())
            clean.setText(repaired, image.text(key));
    }
    return clean;
}

// The bytes of a format whose writer is one of the field's libraries.
QByteArray encodeWithLibrary(const QImage &pixels, const OutputFormat &holds,
                             const EncodeOptions &options, const FileBlocks &blocks,
                             QString *errorString)
{
    const double native = holds.native(options.quality);
    switch (holds.writer) {
    case OutputFormat::Writer::WebP:
        return WebpEncoder::encode(pixels, native, options, blocks, errorString);
    case OutputFormat::Writer::JpegXl:
        return JpegXlEncoder::encode(pixels, native, options, blocks, errorString);
    case OutputFormat::Writer::HeifHevc:
    case OutputFormat::Writer::HeifAv1:
        return HeifEncoder::encode(pixels, holds.suffix, native, options, blocks, errorString);
    case OutputFormat::Writer::Qt:
    case OutputFormat::Writer::Png:
        break;
    }
    return QByteArray();
}

// The profile a file of a library's format gets: none for sRGB, which
// its readers take pixels without one to be in; and only a colour one.
QByteArray profileOf(const QImage &pixels)
{
    const QColorSpace space = pixels.colorSpace();
    if (!space.isValid() || space == QColorSpace(QColorSpace::SRgb))
        return QByteArray();
    const QByteArray icc = space.iccProfile();
    return ColorConverter::kindOf(icc) == ColorConverter::ProfileKind::Rgb ? icc : QByteArray();
}

} // namespace

bool ImageEncoder::canWrite(const QString &format)
{
    switch (OutputFormat::of(format).writer) {
    case OutputFormat::Writer::WebP:
    case OutputFormat::Writer::JpegXl:
        return true;
    case OutputFormat::Writer::HeifHevc:
    case OutputFormat::Writer::HeifAv1:
        return HeifEncoder::canWrite(format);
    case OutputFormat::Writer::Png:
        return true;
    case OutputFormat::Writer::Qt:
        break;
    }
    return !format.isEmpty()
            && QImageWriter::supportedImageFormats().contains(format.toLower().toUtf8());
}

bool ImageEncoder::needsMetadata(const QImage &image, const QString &format)
{
    return carryOver.load(std::memory_order_relaxed)
            && (OutputFormat::of(format).metadata || !image.colorSpace().isValid());
}

void ImageEncoder::setCarryOver(bool on)
{
    carryOver.store(on, std::memory_order_relaxed);
}

QImage ImageEncoder::prepared(const QImage &image, const QString &format,
                              const std::function<QByteArray()> &sourceProfile,
                              QStringList *warnings)
{
    const OutputFormat holds = OutputFormat::of(format);
    QImage pixels = image;
    if (!pixels.colorSpace().isValid()) {
        // Qt 6.4's reader drops the colour space when it turns a picture a
        // quarter turn upright (a phone's Display P3 photo, EXIF
        // orientation 6): the source's profile gives it back, rather than
        // the colours being squeezed into sRGB below.
        pixels = ColorConverter::tagged(pixels, sourceProfile());
    }
    if (isGreyProfile(pixels.colorSpace()) && !pixels.allGray()) {
        // A grey profile on colour pixels says nothing true of them, and a
        // writer would store it (JPEG) or refuse it (PNG): they are taken
        // as sRGB, as a viewer would.
        pixels.setColorSpace(QColorSpace());
        if (warnings) {
            *warnings << ImageEncoder::tr("its colour profile does not fit the picture: its "
                                          "colours were written as stored");
        }
        return ImageEncoder::prepared(pixels, format, []() { return QByteArray(); }, warnings);
    }
    if (holds.alpha == OutputFormat::Alpha::None && pixels.hasAlphaChannel())
        pixels = onWhite(pixels);
    if (!holds.profile) {
        pixels = inSrgb(pixels, sourceProfile, warnings);
    } else if (!pixels.colorSpace().isValid()) {
        // A profile Qt cannot read would be lost: its colours are put into
        // sRGB instead, which the writer then names.
        const QByteArray profile = sourceProfile();
        if (!profile.isEmpty())
            pixels = inSrgb(pixels, [&profile]() { return profile; }, warnings);
    }
    if (holds.bits == 1 && pixels.depth() != 1) {
        // The writer would dither; a logo or a scan wants clean edges.
        pixels = pixels.convertToFormat(QImage::Format_MonoLSB, Qt::ThresholdDither);
    }
    if (isTiff(holds) && pixels.format() == QImage::Format_Indexed8 && pixels.hasAlphaChannel()) {
        // Qt's TIFF writer stores a palette without its alpha.
        pixels = pixels.convertToFormat(QImage::Format_ARGB32);
    }
    return pixels;
}

QByteArray ImageEncoder::encode(const QImage &image, const QString &format,
                                const PhotoMetadata &metadata, const QString &sourceName,
                                QString *errorString, QImage *written, QStringList *warnings,
                                const EncodeOptions &options)
{
    const bool carry = carryOver.load(std::memory_order_relaxed);
    QStringList noted;
    QByteArray bytes;
    QImage pixels = carry ? ImageEncoder::prepared(
                                    image, format, [&]() { return metadata.iccProfile(); }, &noted)
                          : image;
    if (pixels.isNull()) {
        if (errorString)
            *errorString = ImageLimits::outOfMemory();
        return QByteArray();
    }
    const OutputFormat holds = OutputFormat::of(format);
    if (holds.writer != OutputFormat::Writer::Qt && holds.writer != OutputFormat::Writer::Png)
        return encodeBlocks(pixels, holds, metadata, sourceName, errorString, written, warnings,
                            options.bounded(), carry, noted);
    if (holds.writer == OutputFormat::Writer::Png) {
        // Shares pixels: written before pixels goes.
        bytes = PngWriter::write(withPngKeywords(pixels), errorString);
        if (bytes.isEmpty())
            return QByteArray();
    } else {
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        QImageWriter writer(&buffer, format.toUtf8());
        if (isTiff(holds))
            writer.setCompression(1); // LZW
        // Huffman tables made for this picture: fewer bytes, the same pixels.
        writer.setOptimizedWrite(true);
        if (holds.takesQuality())
            writer.setQuality(int(holds.native(options.bounded().quality)));
        if (!writer.write(pixels)) {
            if (errorString)
                *errorString = writer.errorString();
            return QByteArray();
        }
    }

    if (carry && !pixels.colorSpace().isValid() && !sourceName.isEmpty()
        && (metadata.lostParts() & PhotoMetadata::Profile)) {
        noted << ImageEncoder::tr("its colour profile is damaged: its colours were written "
                                  "as stored");
    }
    if (carry && holds.metadata && !sourceName.isEmpty()) {
        const PhotoMetadata &carried = metadata;
        noted << carried.warnings();
        QString why;
        if (carried.hasMetadata() && !carried.writeInto(&bytes, pixels.size(), &why, &noted)) {
            noted << ImageEncoder::tr("its EXIF, XMP and IPTC data could not be written "
                                      "into the new file");
        }
        if (!carried.errorString().isEmpty())
            why = carried.errorString() + (why.isEmpty() ? QString() : QStringLiteral("; ") + why);
        if (!why.isEmpty())
            qCDebug(lcMetadata).noquote() << QStringLiteral("metadata of %1: %2").arg(sourceName, why);
    }
    if (written)
        *written = pixels;
    if (warnings)
        *warnings << noted;
    return bytes;
}

QByteArray ImageEncoder::encodeBlocks(const QImage &image, const OutputFormat &holds,
                                      const PhotoMetadata &metadata, const QString &sourceName,
                                      QString *errorString, QImage *written,
                                      QStringList *warnings, const EncodeOptions &options,
                                      bool carry, QStringList noted)
{
    // Said before the encoder is asked: a format's limit is not its
    // library's failure, and some fail late or not at all.
    const QString tooLarge = holds.sizeProblem(image.size());
    if (!tooLarge.isEmpty()) {
        if (errorString)
            *errorString = tooLarge;
        return QByteArray();
    }
    QImage pixels = image;
    FileBlocks blocks;
    if (carry) {
        blocks.icc = profileOf(pixels);
        if (blocks.icc.isEmpty() && pixels.colorSpace().isValid()
            && pixels.colorSpace() != QColorSpace(QColorSpace::SRgb))
            pixels = inSrgb(pixels, []() { return QByteArray(); }, &noted);
    }
    if (carry && holds.metadata && !sourceName.isEmpty()) {
        noted << metadata.warnings();
        PhotoMetadata::Blocks carried;
        QString why;
        if (metadata.hasMetadata() && !metadata.blocksFor(pixels.size(), blocks.icc, &carried, &why)) {
            noted << ImageEncoder::tr("its EXIF, XMP and IPTC data could not be written "
                                      "into the new file");
            qCDebug(lcMetadata).noquote() << QStringLiteral("metadata of %1: %2").arg(sourceName, why);
        }
        blocks.exif = carried.exif;
        blocks.xmp = carried.xmp;
    }
    const QByteArray bytes = encodeWithLibrary(pixels, holds, options, blocks, errorString);
    if (bytes.isEmpty())
        return QByteArray();
    if (written)
        *written = pixels;
    if (warnings)
        *warnings << noted;
    return bytes;
}
