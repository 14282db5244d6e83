#include "decode/imagedecoder.h"

#include "base/logging.h"
#include "cms/colorconverter.h"
#include "base/imagelimits.h"

#include <QColorSpace>
#include <QCoreApplication>
#include <QDebug>

QImage ImageDecoder::withProfile(const QImage &image, const QByteArray &icc)
{
    QString why;
    const QImage result = ColorConverter::withProfile(image, icc, &why);
    if (!why.isEmpty())
        qCDebug(lcDecode).noquote() << "colour profile not used:" << why;
    return result;
}

QImage ImageDecoder::failed(QString *errorString, const QString &why)
{
    if (errorString)
        *errorString = why;
    return QImage();
}

qint64 ImageDecoder::decodeBytes() const
{
    return ImageLimits::bytesFor(size());
}

bool ImageDecoder::admits(const QSize &size, QString *errorString)
{
    return admits(size, ImageLimits::bytesFor(size), errorString);
}

bool ImageDecoder::admits(const QSize &size, qint64 bytes, QString *errorString)
{
    if (ImageLimits::fitsLimit(size) && ImageLimits::fitsDecodeLimit(bytes))
        return true;
    if (errorString) {
        *errorString = QCoreApplication::translate("ImageDecoder", "image too large (%1 x %2)")
                               .arg(size.width()).arg(size.height());
    }
    return false;
}
