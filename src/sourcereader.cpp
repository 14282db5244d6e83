#include "sourcereader.h"

#include "cmykjpeg.h"
#include "decodewatch.h"
#include "imageloader.h"

#include <new>

SourceReader::SourceReader(const QString &path)
    : file(path), imageReader(file.device()), decoder(ImageDecoder::forFile(&file))
{
    // The format comes from the contents alone: a file is not trusted to
    // be what its suffix says, and the readers look at the contents anyway
    // when the suffix is wrong.
    imageReader.setAutoTransform(true);
    // TGA files have no signature, and other readers' content tests take
    // some of them for icons; a file named so that its reader accepts is
    // read as one.
    if (!decoder && file.isOpen() && path.endsWith(QLatin1String(".tga"), Qt::CaseInsensitive)) {
        QImageReader tga(file.device(), "tga");
        tga.setAutoDetectImageFormat(false);
        if (tga.canRead())
            imageReader.setFormat("tga");
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
    if (stored.isValid() && !ImageLoader::fitsLimit(stored)) {
        if (errorString)
            *errorString = QStringLiteral("image too large (%1 x %2)")
                                   .arg(stored.width()).arg(stored.height());
        return false;
    }
    return true;
}

QSize SourceReader::size()
{
    return decoder ? decoder->size() : imageReader.size();
}

QImageIOHandler::Transformations SourceReader::transformation()
{
    return decoder ? QImageIOHandler::TransformationNone : imageReader.transformation();
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

QImage SourceReader::preview()
{
    try {
        return decoder ? decoder->preview() : QImage();
    } catch (const std::bad_alloc &) {
        return QImage();
    }
}

QImage SourceReader::read(QString *errorString)
{
    if (decoder) {
        try {
            return decoder->read(errorString);
        } catch (const std::bad_alloc &) {
            if (errorString)
                *errorString = QStringLiteral("out of memory");
            return QImage();
        }
    }
    if (imageReader.format() == "jpeg") {
        // The frame header comes after the metadata segments, usually in
        // the first few kilobytes; a large embedded profile can push it
        // further, and then the whole file is looked at.
        constexpr qint64 headLimit = 256 * 1024;
        const QByteArray head = file.contents(headLimit);
        bool headerFound = false;
        bool cmyk = CmykJpeg::isCmyk(head, &headerFound);
        if (!headerFound && head.size() == headLimit)
            cmyk = CmykJpeg::isCmyk(file.contents());
        if (cmyk) {
            // Decoded as stored; turned here the way the reader would.
            const QImage stored =
                    CmykJpeg::read(file.contents(), imageReader.scaledSize(), errorString);
            try {
                return ImageLoader::transformed(stored, imageReader.transformation());
            } catch (const std::bad_alloc &) {
                if (errorString)
                    *errorString = QStringLiteral("out of memory");
                return QImage();
            }
        }
    }
    QImage image;
    try {
        image = DecodeWatch::read(imageReader, errorString);
    } catch (const std::bad_alloc &) {
        if (errorString)
            *errorString = QStringLiteral("out of memory");
        return QImage();
    }
    return image;
}
