#include "conversion/losslessjpeg.h"

#include "decode/sourcereader.h"
#include "encode/jpegxlencoder.h"
#include "metadata/photometadata.h"

#include <QCoreApplication>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("LosslessJpeg", text);
}

// JPEGs larger than this are decoded and their pixels encoded: the file
// is held whole in memory twice while it is recoded.
constexpr qint64 largestJpeg = 256 * 1024 * 1024;

QString pixelsInstead(const QString &because)
{
    return tr("%1, so its pixels were encoded without loss instead of its JPEG data being kept "
              "as it was").arg(because);
}

} // namespace

QByteArray LosslessJpeg::toJpegXl(SourceReader *reader, const QImage &image,
                                  const PhotoMetadata &metadata, const EncodeOptions &options,
                                  QString *notLossless)
{
    notLossless->clear();
    if (!reader)
        return QByteArray();
    SourceFile &file = reader->source();
    if (!file.contents(3).startsWith("\xff\xd8\xff"))
        return QByteArray();
    if (reader->transformation() != QImageIOHandler::TransformationNone) {
        *notLossless = pixelsInstead(tr("it was turned upright"));
        return QByteArray();
    }
    if (image.size() != reader->size()) {
        *notLossless = pixelsInstead(tr("it was resized"));
        return QByteArray();
    }
    if (file.device()->size() > largestJpeg) {
        *notLossless = pixelsInstead(tr("its file is larger than 256 MB"));
        return QByteArray();
    }
    QByteArray jpeg = file.contents(largestJpeg);
    if (metadata.isLocationRemoved() && metadata.hasMetadata()) {
        QString why;
        if (!metadata.writeInto(&jpeg, image.size(), &why)) {
            *notLossless = pixelsInstead(tr("its location could not be taken out of its JPEG data"));
            return QByteArray();
        }
    }
    QString why;
    const QByteArray recoded = JpegXlEncoder::transcode(jpeg, options, &why);
    if (recoded.isEmpty())
        *notLossless = pixelsInstead(why);
    return recoded;
}
