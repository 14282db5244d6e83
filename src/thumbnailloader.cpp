#include "thumbnailloader.h"

#include "exifthumbnail.h"
#include "imageloader.h"
#include "sourcereader.h"
#include "workerpriority.h"

#include <QImageIOHandler>
#include <QImageReader>

#include <new>

namespace {

QSize thumbnailBox()
{
    return QSize(ThumbnailLoader::thumbnailSide, ThumbnailLoader::thumbnailSide);
}

} // namespace

ThumbnailLoader::ThumbnailLoader(QObject *parent)
    : QObject(parent)
{
    pool.setMaxThreadCount(QThread::idealThreadCount());
}

ThumbnailLoader::~ThumbnailLoader()
{
    // Jobs post their results to this object: none may outlive it.
    pool.clear();
    pool.waitForDone();
}

void ThumbnailLoader::request(const QString &path, std::function<void(const QImage &)> done)
{
    const quint64 id = ++lastId;
    callbacks.insert(id, std::move(done));
    pool.start([this, id, path]() {
        WorkerPriority::lowerCurrentThread();
        const QImage thumbnail = fromFile(path);
        QMetaObject::invokeMethod(
                this, [this, id, thumbnail]() { deliver(id, thumbnail); }, Qt::QueuedConnection);
    });
}

void ThumbnailLoader::deliver(quint64 id, const QImage &thumbnail)
{
    const auto done = callbacks.take(id);
    if (done)
        done(thumbnail);
}

void ThumbnailLoader::cancelPending()
{
    pool.clear();
    callbacks.clear();
}

void ThumbnailLoader::waitForDone()
{
    pool.waitForDone();
}

QImage ThumbnailLoader::fromFile(const QString &path)
{
    SourceReader source(path);
    // Not a regular file, or a header that claims more than a decode may
    // take: no thumbnail, and nothing waited for.
    if (!source.check(nullptr))
        return QImage();
    QImageReader &reader = source.reader();
    const QSize stored = reader.size();
    if (stored.isValid() && !stored.isEmpty()) {
        const QImageIOHandler::Transformations turn = reader.transformation();
        const bool sideways = turn.testFlag(QImageIOHandler::TransformationRotate90);
        const QSize shown = sideways ? stored.transposed() : stored;
        const QSize fitted = shown.scaled(thumbnailBox(), Qt::KeepAspectRatio);
        if (!fitted.isEmpty()) {
            if (reader.format() == "jpeg") {
                const QImage preview = ExifThumbnail::read(path);
                if (previewFits(preview, stored)) {
                    return ImageLoader::transformed(preview, turn)
                            .scaled(fitted, Qt::IgnoreAspectRatio, Qt::FastTransformation);
                }
            }
            if (reader.supportsOption(QImageIOHandler::ScaledSize)) {
                // The reader scales before it applies the orientation.
                reader.setScaledSize(sideways ? fitted.transposed() : fitted);
                return source.read(nullptr);
            }
        }
    }
    return fromImage(source.read(nullptr));
}

bool ThumbnailLoader::previewFits(const QImage &preview, const QSize &stored)
{
    // Big enough not to be enlarged, and of the picture's own proportions:
    // some cameras pad a 4:3 preview of a 3:2 photo with black bars.
    if (preview.isNull() || qMax(preview.width(), preview.height()) < thumbnailSide)
        return false;
    const double a = double(preview.width()) * stored.height();
    const double b = double(preview.height()) * stored.width();
    return qAbs(a - b) <= 0.02 * qMax(a, b);
}

QImage ThumbnailLoader::fromImage(const QImage &image)
{
    if (image.isNull())
        return image;
    try {
        return image.scaled(thumbnailBox(), Qt::KeepAspectRatio, Qt::FastTransformation);
    } catch (const std::bad_alloc &) {
        return QImage();
    }
}
