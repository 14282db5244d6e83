#include "imagedecoder.h"

#include "cmyktiff.h"
#include "colorconverter.h"
#include "heifdecoder.h"
#include "jxldecoder.h"
#include "rawdecoder.h"
#include "sourcefile.h"

#include <QColorSpace>
#include <QDebug>

std::unique_ptr<ImageDecoder> ImageDecoder::forFile(SourceFile *file)
{
    if (!file->isOpen())
        return nullptr;
    // Enough for every signature looked at here.
    const QByteArray head = file->contents(64);
    if (HeifDecoder::recognizes(head))
        return std::make_unique<HeifDecoder>(file->contents());
    if (JpegXlDecoder::recognizes(head))
        return std::make_unique<JpegXlDecoder>(file->contents());
    // Camera RAW files stay well below this; a larger TIFF (a big scan) is
    // not read into memory only to be told apart, and goes to Qt's reader.
    constexpr qint64 largestTold = 512LL * 1024 * 1024;
    if ((RawDecoder::recognizes(head) || CmykTiff::recognizes(head))
        && file->device()->size() <= largestTold) {
        // A DNG, NEF, CR2, ARW or PEF is a TIFF file whose first picture is
        // a small preview, which Qt's reader would take for the photo. Only
        // the libraries can tell these from a plain TIFF.
        const QByteArray bytes = file->contents();
        auto raw = std::make_unique<RawDecoder>(bytes);
        if (raw->isValid())
            return raw;
        if (CmykTiff::isCmyk(bytes))
            return std::make_unique<CmykTiff>(bytes);
        // A RAW file libraw cannot read (damaged, or of a camera it does
        // not know) fails rather than being read some other way.
        if (!CmykTiff::recognizes(head) || CmykTiff::startsWithPreview(bytes))
            return raw;
    }
    return nullptr;
}

QImageIOHandler::Transformations ImageDecoder::fromOrientation(int orientation)
{
    switch (orientation) {
    case 2:
        return QImageIOHandler::TransformationMirror;
    case 3:
        return QImageIOHandler::TransformationRotate180;
    case 4:
        return QImageIOHandler::TransformationFlip;
    case 5:
        return QImageIOHandler::TransformationFlipAndRotate90;
    case 6:
        return QImageIOHandler::TransformationRotate90;
    case 7:
        return QImageIOHandler::TransformationMirrorAndRotate90;
    case 8:
        return QImageIOHandler::TransformationRotate270;
    default:
        return QImageIOHandler::TransformationNone;
    }
}

QImage ImageDecoder::withProfile(const QImage &image, const QByteArray &icc)
{
    if (image.isNull() || icc.isEmpty())
        return image;
    const QColorSpace space = QColorSpace::fromIccProfile(icc);
    if (space.isValid()) {
        QImage tagged = image;
        tagged.setColorSpace(space);
        return tagged;
    }
    QString why;
    const QImage converted = ColorConverter::toSrgb(image, icc, &why);
    if (converted.isNull()) {
        qDebug().noquote() << "colour profile not used:" << why;
        return image;
    }
    return converted;
}
