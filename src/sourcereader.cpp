#include "sourcereader.h"

#include "cmykjpeg.h"
#include "decodewatch.h"
#include "imagelimits.h"
#include "jpeghead.h"
#include "orientation.h"
#include "pngtextguard.h"

#include <QCoreApplication>

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
    if (stored.isValid() && !ImageLimits::fitsLimit(stored)) {
        if (errorString)
            *errorString = QCoreApplication::translate("SourceReader", "image too large (%1 x %2)")
                                   .arg(stored.width()).arg(stored.height());
        return false;
    }
    return true;
}

QImage SourceReader::read(QString *errorString)
{
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
    return ImageLimits::orNull([&]() { return DecodeWatch::read(imageReader, errorString); },
                               errorString);
}
