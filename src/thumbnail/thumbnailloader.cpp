#include "thumbnail/thumbnailloader.h"

#include "thumbnail/cachedthumbnail.h"
#include "thumbnail/exifthumbnail.h"
#include "base/imagelimits.h"
#include "base/orientation.h"
#include "fs/sourcefile.h"
#include "decode/sourcereader.h"
#include "thumbnail/thumbnailcache.h"
#include "base/workerpriority.h"
#include "base/logging.h"
#include "isolation/helperpool.h"
#include "isolation/validator.h"

#include <QImageIOHandler>
#include <QImageReader>

ThumbnailLoader::ThumbnailLoader(QObject *parent)
    : QObject(parent)
{
    pool.setMaxThreadCount(QThread::idealThreadCount());
}

ThumbnailLoader::~ThumbnailLoader()
{
    // Jobs post their results to this object: none may outlive it.
    cancelPending();
    pool.waitForDone();
}

quint64 ThumbnailLoader::request(const QString &path, std::function<void(const QImage &)> done,
                                 int pixelSide)
{
    const quint64 ticket = ++lastTicket;
    callbacks.insert(ticket, std::move(done));
    bool startWorker = false;
    {
        QMutexLocker locker(&lock);
        queued.insert(ticket, queue.size());
        queue.append({ticket, path, pixelSide, generation.load()});
        if (workers < pool.maxThreadCount()) {
            ++workers;
            startWorker = true;
        }
    }
    if (startWorker)
        pool.start([this]() { work(); });
    return ticket;
}

void ThumbnailLoader::prioritize(const QList<quint64> &tickets)
{
    QMutexLocker locker(&lock);
    QList<Job> moved;
    for (const quint64 ticket : tickets) {
        const auto it = queued.find(ticket);
        if (it != queued.end()) {
            Job &job = queue[*it];
            moved.append(job);
            job.ticket = 0;
            queued.erase(it);
            continue;
        }
        // Moved to the front before, by an earlier call.
        for (qsizetype i = 0; i < front.size(); ++i) {
            if (front.at(i).ticket == ticket) {
                moved.append(front.takeAt(i));
                break;
            }
        }
    }
    front = moved + front;
}

void ThumbnailLoader::work()
{
    WorkerPriority::lowerCurrentThread();
    Job job;
    for (;;) {
        {
            QMutexLocker locker(&lock);
            if (!takeJob(&job)) {
                --workers;
                return;
            }
        }
        const quint64 asked = job.generation;
        const QImage thumbnail = cachedFromFile(job.path, job.side, [this, asked]() {
            return generation.load() != asked;
        });
        QMetaObject::invokeMethod(
                this, [this, ticket = job.ticket, thumbnail]() { deliver(ticket, thumbnail); },
                Qt::QueuedConnection);
    }
}

bool ThumbnailLoader::takeJob(Job *job)
{
    if (!front.isEmpty()) {
        *job = front.takeFirst();
        return true;
    }
    while (head < queue.size()) {
        Job &next = queue[head++];
        if (next.ticket != 0) {
            queued.remove(next.ticket);
            *job = std::move(next);
            return true;
        }
    }
    queue.clear();
    head = 0;
    return false;
}

void ThumbnailLoader::deliver(quint64 ticket, const QImage &thumbnail)
{
    const auto done = callbacks.take(ticket);
    if (done)
        done(thumbnail);
}

void ThumbnailLoader::cancelPending()
{
    ++generation;
    {
        QMutexLocker locker(&lock);
        queue.clear();
        head = 0;
        front.clear();
        queued.clear();
    }
    callbacks.clear();
}

void ThumbnailLoader::waitForDone()
{
    pool.waitForDone();
}

void ThumbnailLoader::setMaxWorkers(int count)
{
    QMutexLocker locker(&lock);
    pool.setMaxThreadCount(qMax(1, count));
}

QImage ThumbnailLoader::cachedFromFile(const QString &path, int side,
                                       const std::function<bool()> &abandoned)
{
    // Read in a helper, or not at all: the cache's entries too.
    HelperPool &pool = HelperPool::instance();
    if (!pool.available())
        return QImage();
    const ThumbnailCache cache(side);
    const ThumbnailCache::Entry entry = cache.lookUp(path);
    // Opened here, by this process's rules; read there.
    SourceFile file(path);
    if (!file.isOpen() && !entry.picture.isOpen()) {
        cache.storeFailure(entry);
        return QImage();
    }
    HelperCall call;
    call.request.job = Protocol::Job::Thumbnail;
    call.request.name = path;
    call.request.side = qBound(1, side, Validator::maxThumbnailSide);
    call.request.uri = entry.tags.uri;
    call.request.mtime = entry.tags.mtime;
    call.request.size = entry.tags.size;
    call.source = file.isOpen() ? file.device()->handle() : -1;
    call.cached = entry.picture.get();
    call.failMark = entry.failMark.get();
    call.baseSeconds = baseSeconds;
    call.secondsPerMegapixel = secondsPerMegapixel;
    call.abandoned = abandoned;
    const HelperOutcome outcome = pool.run(call);
    // Given up, or no helper to ask: nothing is known about the file.
    if (outcome.status == HelperOutcome::Abandoned || outcome.status == HelperOutcome::Unavailable)
        return QImage();
    if (!outcome.done())
        qCDebug(lcThumbnail) << "thumbnail failed:" << path << outcome.reason;
    // Failed before, at this modification time: not read again.
    if (outcome.values.failedBefore)
        return QImage();
    QImage thumbnail = outcome.image;
    const QSize shown(outcome.values.shownWidth, outcome.values.shownHeight);
    // The size the photo appears at goes with its thumbnail, under the
    // keys the shared cache keeps it by.
    if (!thumbnail.isNull() && shown.isValid()) {
        thumbnail.setText(QString::fromLatin1(ThumbnailCache::shownWidthKey), QString::number(shown.width()));
        thumbnail.setText(QString::fromLatin1(ThumbnailCache::shownHeightKey), QString::number(shown.height()));
    }
    // An embedded preview is a thumbnail of the file's own: reading it
    // again costs about what reading the cached copy would, and writing
    // that copy (PNG encoding, a new file) several times as much. What
    // came from the cache is there already.
    if (outcome.values.embedded || outcome.values.cached)
        return thumbnail;
    if (!thumbnail.isNull())
        cache.store(entry, thumbnail, shown);
    else
        cache.storeFailure(entry);
    return thumbnail;
}

HelperAnswer ThumbnailLoader::serve(HelperContext &context)
{
    HelperAnswer answer;
    QSize shown;
    const int side = qBound(1, context.request.side, Validator::maxThumbnailSide);
    const ThumbnailCache::Tags tags{context.request.uri, context.request.mtime,
                                    context.request.size};
    if (context.cached >= 0)
        answer.image = CachedThumbnail::picture(context.cached, tags, side, &shown);
    if (!answer.image.isNull()) {
        answer.values.cached = true;
    } else if (context.failMark >= 0 && CachedThumbnail::failMarked(context.failMark, tags, side)) {
        answer.values.failedBefore = true;
        return answer;
    } else {
        bool embedded = false;
        answer.image = fromDescriptor(context.source, context.request.name, side, &shown,
                                      &embedded, [&](const QSize &stored) {
                                          Protocol::Note note;
                                          note.pixels = qint64(stored.width()) * stored.height();
                                          context.tell(note);
                                      });
        answer.values.embedded = embedded;
    }
    if (!shown.isEmpty()) {
        answer.values.shownWidth = shown.width();
        answer.values.shownHeight = shown.height();
    }
    return answer;
}

QImage ThumbnailLoader::fromPreview(const QImage &preview, const QSize &stored,
                                    QImageIOHandler::Transformations turn, int side,
                                    QSize *shownSize)
{
    if (!previewFits(preview, stored, side))
        return QImage();
    const QSize shown = Orientation::shown(stored, turn);
    const QSize fitted = shown.scaled(QSize(side, side), Qt::KeepAspectRatio);
    if (fitted.isEmpty())
        return QImage();
    if (shownSize)
        *shownSize = shown;
    return Orientation::applied(preview, turn)
            .scaled(fitted, Qt::IgnoreAspectRatio, Qt::FastTransformation);
}

QImage ThumbnailLoader::fromDescriptor(int descriptor, const QString &path, int side,
                                       QSize *shownSize, bool *embedded,
                                       const std::function<void(const QSize &)> &sized)
{
    if (shownSize)
        *shownSize = QSize();
    if (embedded)
        *embedded = false;
    {
        // A camera's JPEG: its head alone, parsed once, tells the size,
        // the orientation and the preview, without Qt's header read
        // (which copies every metadata segment byte by byte).
        SourceFile file(descriptor);
        if (!file.isOpen())
            return QImage();
        if (file.contents(3) == QByteArrayLiteral("\xFF\xD8\xFF")) {
            const ExifThumbnail::Head head = ExifThumbnail::inspect(file);
            const QImage thumbnail =
                    fromPreview(head.preview, head.stored, head.orientation, side, shownSize);
            if (!thumbnail.isNull()) {
                if (embedded)
                    *embedded = true;
                return thumbnail;
            }
        }
    }
    SourceReader source(descriptor, path);
    // Not a regular file, or a header that claims more than a decode may
    // take: no thumbnail, and nothing waited for.
    if (!source.check(nullptr))
        return QImage();
    const QSize stored = source.size();
    if (sized && stored.isValid())
        sized(stored);
    if (stored.isValid() && !stored.isEmpty()) {
        const QImageIOHandler::Transformations turn = source.transformation();
        const QSize shown = Orientation::shown(stored, turn);
        if (shownSize)
            *shownSize = shown;
        const QSize fitted = shown.scaled(QSize(side, side), Qt::KeepAspectRatio);
        if (!fitted.isEmpty()) {
            // RAW and HEIF files carry previews of their own, upright.
            const QImage carried = source.preview();
            if (previewFits(carried, shown, side))
                return carried.scaled(fitted, Qt::IgnoreAspectRatio, Qt::FastTransformation);
            if (source.canScale()) {
                // The reader scales before it applies the orientation.
                source.setScaledSize(Orientation::stored(fitted, turn));
                return source.read(nullptr);
            }
        }
    }
    const QImage image = source.read(nullptr);
    if (shownSize && !shownSize->isValid() && !image.isNull())
        *shownSize = image.size();
    return fromImage(image, side);
}

bool ThumbnailLoader::previewFits(const QImage &preview, const QSize &stored, int side)
{
    // Big enough not to be enlarged, and of the picture's own proportions:
    // some cameras pad a 4:3 preview of a 3:2 photo with black bars.
    if (preview.isNull() || qMax(preview.width(), preview.height()) < side)
        return false;
    const double a = double(preview.width()) * stored.height();
    const double b = double(preview.height()) * stored.width();
    return qAbs(a - b) <= 0.02 * qMax(a, b);
}

QImage ThumbnailLoader::fromImage(const QImage &image, int side)
{
    if (image.isNull())
        return image;
    return ImageLimits::orNull(
            [&]() { return image.scaled(side, side, Qt::KeepAspectRatio, Qt::FastTransformation); },
            nullptr);
}
