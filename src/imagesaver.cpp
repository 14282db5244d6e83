#include "imagesaver.h"

#include "atomicfile.h"
#include "heifencoder.h"
#include "imageencoder.h"
#include "targetnamer.h"
#include "thumbnailloader.h"
#include "workerpriority.h"

#include <QDir>
#include <QFileInfo>
#include <QImageWriter>

#include <cerrno>
#include <mutex>
#include <new>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

namespace {

// Formats whose files hold the pixels handed to the writer (JPEG lossily,
// but true to colour at thumbnail size), so the list can show them without
// reading the file back. XPM keeps alpha only as on or off.
bool keepsPixels(const QString &format)
{
    return format.compare(QLatin1String("xpm"), Qt::CaseInsensitive) != 0;
}

// Makes the save folder when it is missing; the reason when that fails,
// or when the folder is a link that may not be followed.
QString makeDirectory(const QString &directory, bool mayBeLink)
{
    const QFileInfo info(directory);
    if (info.isSymLink() && !mayBeLink) {
        return QStringLiteral("folder %1 is a link to %2: choose it with the folder button "
                              "to save there")
                .arg(directory, info.symLinkTarget());
    }
    if (info.isDir())
        return QString();
    if (info.exists() || info.isSymLink())
        return QStringLiteral("cannot create folder %1: a file has its name").arg(directory);
    // Only the folder itself: a missing parent means a mistyped path, not
    // a tree to make.
#ifdef Q_OS_UNIX
    if (::mkdir(QFile::encodeName(directory).constData(), 0777) == 0 || errno == EEXIST)
        return QString();
#else
    if (QDir().mkdir(directory))
        return QString();
    errno = EACCES;
#endif
    return QStringLiteral("cannot create folder %1: %2")
            .arg(directory, AtomicFile::reasonFor(errno));
}

} // namespace

ImageSaver::ImageSaver(QObject *parent)
    : QObject(parent), thumbnailSide(ThumbnailLoader::thumbnailSide)
{
    pool.setMaxThreadCount(QThread::idealThreadCount());
}

ImageSaver::~ImageSaver()
{
    // Writes that have begun are finished, so that no temporary file is left
    // behind, and none may post to a deleted object.
    pool.waitForDone();
}

void ImageSaver::start(std::function<Result()> job, std::function<void(const Result &)> done)
{
    pool.start([this, job = std::move(job), done = std::move(done)]() {
        WorkerPriority::lowerCurrentThread();
        Result result;
        try {
            result = job();
        } catch (const std::bad_alloc &) {
            // One image too large to encode fails; the batch goes on.
            result.thumbnail = QImage();
            result.errorString = QStringLiteral("out of memory");
        }
        QMetaObject::invokeMethod(
                this, [done, result]() { done(result); }, Qt::QueuedConnection);
    });
}

void ImageSaver::save(const QImage &image, const QString &directory, const QString &sourcePath,
                      const QString &format, std::shared_ptr<TargetNamer> namer, int order,
                      std::function<void(const Result &)> done)
{
    start([this, image, directory, sourcePath, format, namer = std::move(namer), order]() {
        Result result;
        result.errorString = makeDirectory(directory, namer->folderMayBeLink());
        if (!result.ok())
            return result;
        QString key;
        const QString fileName = namer->claim(directory, sourcePath, format, &key);
        return saveAndPreview(image, sourcePath, fileName, key, format, order);
    }, std::move(done));
}

void ImageSaver::save(const QImage &image, const QString &fileName, const QString &format,
                      int order, std::function<void(const Result &)> done)
{
    start([this, image, fileName, format, order]() {
        return saveAndPreview(image, QString(), fileName, TargetNamer::pathKey(fileName), format,
                              order);
    }, std::move(done));
}

void ImageSaver::removeStaleTemporaries(const QString &directory)
{
    pool.start([directory]() { AtomicFile::removeStale(directory); });
}

void ImageSaver::waitForDone()
{
    pool.waitForDone();
}

void ImageSaver::setThumbnailSide(int pixels)
{
    thumbnailSide = qMax(1, pixels);
}

bool ImageSaver::canWrite(const QString &format)
{
    return HeifEncoder::canWrite(format)
            || (!format.isEmpty()
                && QImageWriter::supportedImageFormats().contains(format.toLower().toUtf8()));
}

QString ImageSaver::write(const QImage &image, const QString &fileName, const QString &format,
                          const std::function<bool()> &mayCommit, const QString &sourcePath,
                          QImage *written)
{
    if (image.isNull())
        return QStringLiteral("no image to write");
    if (!canWrite(format))
        return QStringLiteral("no writer for %1 files: choose a target format").arg(format.toUpper());

    // Encoded in memory first: some writers do not notice when the device
    // takes only part of a write (a full disk), but a short count on one
    // write of the whole file cannot go unseen.
    QString error;
    const QByteArray bytes = ImageEncoder::encode(image, format, sourcePath, &error, written);
    if (bytes.isEmpty())
        return error;
    return AtomicFile::write(bytes, fileName, mayCommit);
}

ImageSaver::Result ImageSaver::saveAndPreview(const QImage &image, const QString &sourcePath,
                                              const QString &fileName, const QString &key,
                                              const QString &format, int order)
{
    QImage written;
    Result result;
    result.fileName = fileName;
    if (order > 0) {
        // Encoding runs unlocked; the check and the rename happen under one
        // lock, so that an earlier batch cannot slip its file in after a
        // later one's.
        std::unique_lock<QMutex> lock(commitLock, std::defer_lock);
        result.errorString = write(
                image, fileName, format,
                [&]() {
                    lock.lock();
                    return committedOrder.value(key, 0) <= order;
                },
                sourcePath, &written);
        if (result.ok())
            committedOrder.insert(key, order);
    } else {
        result.errorString = write(image, fileName, format, {}, sourcePath, &written);
    }
    if (result.ok()) {
        // The row shows what the file holds: the flattened, converted
        // pixels, or the file read back where the writer changes them.
        const int side = thumbnailSide;
        result.thumbnail = keepsPixels(format) ? ThumbnailLoader::fromImage(written, side)
                                               : ThumbnailLoader::fromFile(fileName, side);
    }
    return result;
}
