#include "imagesaver.h"

#include "targetnamer.h"
#include "thumbnailloader.h"
#include "workerpriority.h"

#include <QBuffer>
#include <QImageWriter>
#include <QSaveFile>

#include <mutex>

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
                      int order, std::function<void(const Result &)> done)
{
    pool.start([this, image, fileName, format, order, done = std::move(done)]() {
        WorkerPriority::lowerCurrentThread();
        const Result result = saveAndPreview(image, fileName, format, order);
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

QString ImageSaver::write(const QImage &image, const QString &fileName, const QString &format,
                          const std::function<bool()> &mayCommit)
{
    if (image.isNull())
        return QStringLiteral("no image to write");
    if (!canWrite(format))
        return QStringLiteral("no image writer for format \"%1\"").arg(format);

    // Encoded in memory first: some writers do not notice when the device
    // takes only part of a write (a full disk), but a short count on one
    // write of the whole file cannot go unseen.
    QByteArray bytes;
    {
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        QImageWriter writer(&buffer, format.toUtf8());
        if (!writer.write(image))
            return writer.errorString();
    }

    QSaveFile file(fileName);
    if (!file.open(QIODevice::WriteOnly))
        return file.errorString();
    if (file.write(bytes) != bytes.size() || !file.flush()) {
        const QString error = QStringLiteral("could not write %1 bytes (disk full?): %2")
                                      .arg(bytes.size()).arg(file.errorString());
        file.cancelWriting();
        return error;
    }
    if (mayCommit && !mayCommit()) {
        file.cancelWriting();
        return QStringLiteral("a later conversion has written this file");
    }
    if (!file.commit())
        return file.errorString();
    return QString();
}

ImageSaver::Result ImageSaver::saveAndPreview(const QImage &image, const QString &fileName,
                                              const QString &format, int order)
{
    Result result;
    result.fileName = fileName;
    if (order > 0) {
        const QString key = TargetNamer::pathKey(fileName);
        // Encoding runs unlocked; the check and the rename happen under one
        // lock, so that an earlier batch cannot slip its file in after a
        // later one's.
        std::unique_lock<QMutex> lock(commitLock, std::defer_lock);
        result.errorString = write(image, fileName, format, [&]() {
            lock.lock();
            return committedOrder.value(key, 0) <= order;
        });
        if (result.ok())
            committedOrder.insert(key, order);
    } else {
        result.errorString = write(image, fileName, format);
    }
    if (result.ok()) {
        // Formats that drop colours or alpha are read back, so that the row
        // shows what the file holds.
        result.thumbnail = keepsPixels(format, image) ? ThumbnailLoader::fromImage(image)
                                                      : ThumbnailLoader::fromFile(fileName);
    }
    return result;
}
