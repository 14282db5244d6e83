#include "imagesaver.h"

#include "thumbnailloader.h"

#include <QImageWriter>
#include <QSaveFile>

namespace {

// Formats whose files hold exactly the pixels handed to the writer, so the
// list can show them without reading the file back.
bool keepsPixels(const QString &format, const QImage &image)
{
    const QString f = format.toLower();
    if (f == QLatin1String("png") || f == QLatin1String("tif") || f == QLatin1String("tiff"))
        return true;
    // Lossy, but true to colour at thumbnail size as long as there is no
    // alpha channel for the writer to drop.
    if (f == QLatin1String("jpg") || f == QLatin1String("jpeg"))
        return !image.hasAlphaChannel();
    return false;
}

} // namespace

ImageSaver::ImageSaver(QObject *parent)
    : QObject(parent)
{
    pool.setMaxThreadCount(QThread::idealThreadCount());
}

ImageSaver::~ImageSaver()
{
    // Writes that have begun are finished, so that no temporary file is left
    // behind, and none may post to a deleted object.
    pool.waitForDone();
}

void ImageSaver::save(const QImage &image, const QString &fileName, const QString &format,
                      std::function<void(const Result &)> done)
{
    pool.start([this, image, fileName, format, done = std::move(done)]() {
        const Result result = saveAndPreview(image, fileName, format);
        QMetaObject::invokeMethod(
                this, [done, result]() { done(result); }, Qt::QueuedConnection);
    });
}

void ImageSaver::waitForDone()
{
    pool.waitForDone();
}

bool ImageSaver::canWrite(const QString &format)
{
    return !format.isEmpty()
            && QImageWriter::supportedImageFormats().contains(format.toLower().toUtf8());
}

QString ImageSaver::write(const QImage &image, const QString &fileName, const QString &format)
{
    if (image.isNull())
        return QStringLiteral("no image to write");
    if (!canWrite(format))
        return QStringLiteral("no image writer for format \"%1\"").arg(format);

    QSaveFile file(fileName);
    if (!file.open(QIODevice::WriteOnly))
        return file.errorString();
    QImageWriter writer(&file, format.toUtf8());
    if (!writer.write(image)) {
        file.cancelWriting();
        return writer.errorString();
    }
    if (!file.commit())
        return file.errorString();
    return QString();
}

ImageSaver::Result ImageSaver::saveAndPreview(const QImage &image, const QString &fileName,
                                              const QString &format)
{
    Result result;
    result.fileName = fileName;
    result.errorString = write(image, fileName, format);
    if (result.ok()) {
        // Formats that drop colours or alpha are read back, so that the row
        // shows what the file holds.
        result.thumbnail = keepsPixels(format, image) ? ThumbnailLoader::fromImage(image)
                                                      : ThumbnailLoader::fromFile(fileName);
    }
    return result;
}
