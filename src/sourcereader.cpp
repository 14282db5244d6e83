#include "sourcereader.h"

#include "cmykjpeg.h"
#include "decodewatch.h"
#include "imageloader.h"
#include "pngtextguard.h"

#include <new>

SourceReader::SourceReader(const QString &path)
    : file(path), imageReader(file.device())
{
    // The format comes from the contents alone: a file is not trusted to
    // be what its suffix says, and the readers look at the contents anyway
    // when the suffix is wrong.
    imageReader.setAutoTransform(true);
    PngTextGuard::protect(imageReader);
}

bool SourceReader::check(QString *errorString)
{
    if (!file.isOpen()) {
        if (errorString)
            *errorString = file.errorString();
        return false;
    }
    const QSize stored = imageReader.size();
    if (stored.isValid() && !ImageLoader::fitsLimit(stored)) {
        if (errorString)
            *errorString = QStringLiteral("image too large (%1 x %2)")
                                   .arg(stored.width()).arg(stored.height());
        return false;
    }
    return true;
}

QImage SourceReader::read(QString *errorString)
{
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
