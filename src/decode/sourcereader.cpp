#include "decode/sourcereader.h"

#include "decode/cmykjpeg.h"
#include "decode/decodewatch.h"
#include "decode/decoderfactory.h"
#include "decode/filecompleteness.h"
#include "base/imagelimits.h"
#include "metadata/exivsupport.h"
#include "metadata/jpeghead.h"
#include "base/orientation.h"
#include "decode/pngtextguard.h"
#include "decode/readercost.h"

#include <QCoreApplication>

SourceReader::SourceReader(const QString &path)
    : file(path), imageReader(file.device()), decoder(DecoderFactory::forFile(&file))
{
    setUp(path);
}

SourceReader::SourceReader(int descriptor, const QString &name)
    : file(descriptor), imageReader(file.device()), decoder(DecoderFactory::forFile(&file))
{
    setUp(name);
}

void SourceReader::setUp(const QString &path)
{
    // The format comes from the contents alone: a file is not trusted to
    // be what its suffix says, and the readers look at the contents anyway
    // when the suffix is wrong.
    imageReader.setAutoTransform(true);
    PngTextGuard::protect(imageReader);
    // TGA files have no signature, and other readers' content tests take
    // some of them for icons; a file named so whose header fits is read as
    // one.
    if (!decoder && path.endsWith(QLatin1String(".tga"), Qt::CaseInsensitive)) {
        decoder = DecoderFactory::forTga(&file);
        file.device()->seek(0);
    }
}

bool SourceReader::check(QString *errorString)
{
    if (!file.isOpen()) {
        if (errorString)
            *errorString = file.errorString();
        return false;
    }
    if (decoder && !decoder->isValid()) {
        if (errorString)
            *errorString = decoder->errorString();
        return false;
    }
    const QSize stored = size();
    return !stored.isValid() || ImageDecoder::admits(stored, decodeBytes(), errorString);
}

qint64 SourceReader::decodeBytes()
{
    if (!cost) {
        cost = decoder ? decoder->decodeBytes()
                       : ReaderCost::of(file.device(), imageReader.format(), imageReader.size());
    }
    return *cost;
}

QSize SourceReader::size()
{
    return decoder ? decoder->size() : imageReader.size();
}

QImageIOHandler::Transformations SourceReader::transformation()
{
    if (decoder)
        return QImageIOHandler::TransformationNone;
    const QImageIOHandler::Transformations turn = imageReader.transformation();
    return turn != QImageIOHandler::TransformationNone ? turn : exifTurn();
}

QImageIOHandler::Transformations SourceReader::exifTurn()
{
    if (!ownTurn) {
        ownTurn = QImageIOHandler::TransformationNone;
        // The EXIF block of a PNG (eXIf) or WebP (EXIF chunk) is read by
        // the metadata library; files past this size are not read for it.
        constexpr qint64 largestLookedInto = 64LL * 1024 * 1024;
        const QByteArray format = imageReader.format();
        if ((format == "png" || format == "webp") && file.isOpen()
            && file.device()->size() <= largestLookedInto)
            ownTurn = Orientation::fromExifTag(ExivSupport::orientation(file.contents()));
    }
    return *ownTurn;
}

bool SourceReader::canScale()
{
    return decoder ? decoder->canScale() : imageReader.supportsOption(QImageIOHandler::ScaledSize);
}

void SourceReader::setScaledSize(const QSize &size)
{
    if (decoder)
        decoder->setScaledSize(size);
    else
        imageReader.setScaledSize(size);
}

QSize SourceReader::smoothScaledSize(const QSize &target)
{
    const QSize full = size();
    const QSize twice = target * 2;
    if (!full.isValid() || !canScale() || target.width() >= full.width() || target.height() >= full.height())
        return full;
    if (decoder)
        return twice.width() < full.width() && twice.height() < full.height() ? twice : full;
    if (imageReader.format() != "jpeg")
        return full;
    const qint64 width = full.width();
    const qint64 height = full.height();
    // Eighths of the full size, smallest first; 1.3 x target in tenths.
    for (qint64 eighths = 1; eighths < 8; ++eighths) {
        const bool even = (width * eighths) % 8 == 0 && (height * eighths) % 8 == 0;
        const bool room = width * eighths * 10 >= qint64(target.width()) * 8 * 13
                && height * eighths * 10 >= qint64(target.height()) * 8 * 13;
        if (even && room)
            return QSize(int(width * eighths / 8), int(height * eighths / 8));
    }
    return full;
}

QImage SourceReader::preview()
{
    return decoder ? ImageLimits::orNull([&]() { return decoder->preview(); }, nullptr)
                   : QImage();
}

QImage SourceReader::read(QString *errorString)
{
    if (decoder) {
        const QImage image =
                ImageLimits::orNull([&]() { return decoder->read(errorString); }, errorString);
        if (!image.isNull()) {
            for (const QString &warning : decoder->warnings()) {
                if (!damage.contains(warning))
                    damage << warning;
            }
        }
        return image;
    }
    if (imageReader.format() == "jpeg") {
        // libjpeg walks the segments before the frame header by seeking
        // past them: a large profile or a padded file is not read for this.
        const bool cmyk = JpegHead(file.device()).components() == 4;
        if (cmyk) {
            // Decoded as stored; turned here the way the reader would.
            const QImage stored =
                    CmykJpeg::read(file.contents(), imageReader.scaledSize(), errorString);
            return ImageLimits::orNull(
                    [&]() { return Orientation::applied(stored, imageReader.transformation()); },
                    errorString);
        }
    }
    // A file cut short that its reader would decode without a word.
    const QString missing = FileCompleteness::damage(file.device(), imageReader.format());
    if (!missing.isEmpty()) {
        if (errorString)
            *errorString = missing;
        return QImage();
    }
    const QString partial = FileCompleteness::warning(file.device(), imageReader.format());
    QImage image = ImageLimits::orNull(
            [&]() { return DecodeWatch::read(imageReader, errorString); }, errorString);
    if (!image.isNull() && !partial.isEmpty() && !damage.contains(partial))
        damage << partial;
    if (!image.isNull() && imageReader.transformation() == QImageIOHandler::TransformationNone
        && exifTurn() != QImageIOHandler::TransformationNone) {
        image = ImageLimits::orNull([&]() { return Orientation::applied(image, exifTurn()); },
                                    errorString);
    }
    return image;
}
