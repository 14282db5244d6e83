#ifndef THUMBNAILLOADER_H
#define THUMBNAILLOADER_H

#include "isolation/helperserver.h"

#include <QHash>
#include <QImage>
#include <QImageIOHandler>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QThreadPool>

#include <atomic>
#include <functional>

// Makes the list thumbnails off the GUI thread, at most one per core at a
// time, through the desktop's shared thumbnail cache. Jobs wait in the order
// they were asked for, except those moved to the front (the rows on
// screen). Results come back on the thread that owns the loader, in
// whatever order the jobs end.
class ThumbnailLoader : public QObject
{
    Q_OBJECT

public:
    static constexpr int thumbnailSide = 128;

    explicit ThumbnailLoader(QObject *parent = nullptr);
    ~ThumbnailLoader() override;

    // Queues a thumbnail of the file at path, pixelSide pixels on its longer
    // side; done receives it (a null image when the file is not readable)
    // on the loader's thread. Returns the job's ticket (never 0).
    quint64 request(const QString &path, std::function<void(const QImage &)> done,
                    int pixelSide = thumbnailSide);

    // Moves the jobs of these tickets that still wait to the front of the
    // queue, in this order; tickets of jobs already done are ignored.
    void prioritize(const QList<quint64> &tickets);

    // Drops every job not yet reported; their callbacks are never called.
    void cancelPending();

    // Blocks until every job has ended; for shutdown and tests.
    void waitForDone();

    // At most this many jobs at a time (one per core by default). With one,
    // jobs end in the order they are taken; for tests.
    void setMaxWorkers(int count);

    // The thumbnail of a file opened elsewhere (a helper's): fitted into
    // the side x side box, aspect ratio kept, enlarged or reduced so that
    // its longer side is side, upright. Uses a JPEG's embedded EXIF preview
    // when it is large enough and of the photo's proportions, else decodes
    // at reduced size where the reader can. shown, when given, receives the
    // size the picture appears at (invalid when unknown); embedded whether
    // the preview was used; sized, when given, is told the stored size as
    // soon as the header has been read.
    static QImage fromDescriptor(int descriptor, const QString &name, int side, QSize *shown,
                                 bool *embedded,
                                 const std::function<void(const QSize &)> &sized = {});

    // The helper's side of a thumbnail: the cache's entry when it is valid
    // for the source, nothing when the cache's mark of a failed read holds,
    // else fromDescriptor() of the source.
    static HelperAnswer serve(HelperContext &context);

    // Seconds a thumbnail may take in its helper: a base, plus an
    // allowance for each megapixel.
    static constexpr double baseSeconds = 4;
    static constexpr double secondsPerMegapixel = 0.03;

    // A thumbnail through the shared cache: a valid cached thumbnail when
    // there is one (or nothing, when the file failed before), else the
    // file is read and what came of it stored, unless it was the file's
    // own embedded preview.
    // The entries and the file are read in a helper process (HelperPool),
    // and nothing without one; one that crashes or runs past its time
    // gives no thumbnail, and that is remembered.
    // abandoned, when given, is asked while the helper works: true ends it,
    // and nothing is remembered.
    static QImage cachedFromFile(const QString &path, int side = thumbnailSide,
                                 const std::function<bool()> &abandoned = {});

    // Whether an embedded preview can stand for a picture of this size.
    static bool previewFits(const QImage &preview, const QSize &stored, int side = thumbnailSide);

    // The thumbnail made of an embedded preview of a picture of stored
    // size turned by turn; a null image when the preview does not fit.
    static QImage fromPreview(const QImage &preview, const QSize &stored,
                              QImageIOHandler::Transformations turn, int side = thumbnailSide,
                              QSize *shown = nullptr);

    // The same box for an image already in memory.
    static QImage fromImage(const QImage &image, int side = thumbnailSide);

private:
    struct Job
    {
        quint64 ticket = 0; // 0 once taken
        QString path;
        int side = thumbnailSide;
        quint64 generation = 0;
    };

    void work();
    bool takeJob(Job *job);
    void deliver(quint64 ticket, const QImage &thumbnail);

    // The callbacks stay on the loader's thread: what they hold (model
    // indexes, widgets) is not for other threads to copy or destroy.
    QHash<quint64, std::function<void(const QImage &)>> callbacks;
    quint64 lastTicket = 0;

    // Shared with the workers, under the lock: the jobs in asked order from
    // head on, those moved to the front, and where each waiting one is.
    QMutex lock;
    QList<Job> queue;
    qsizetype head = 0;
    QList<Job> front;
    QHash<quint64, qsizetype> queued;
    int workers = 0;
    // Bumped by cancelPending(): jobs of an earlier generation are given
    // up, in their helper too.
    std::atomic<quint64> generation{0};

    QThreadPool pool;
};

#endif // THUMBNAILLOADER_H
