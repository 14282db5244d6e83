#ifndef THUMBNAILLOADER_H
#define THUMBNAILLOADER_H

#include <QImage>
#include <QHash>
#include <QObject>
#include <QThreadPool>

#include <functional>

// Makes the list thumbnails off the GUI thread, at most one per core at a
// time. Results come back on the thread that owns the loader, in whatever
// order the jobs end.
class ThumbnailLoader : public QObject
{
    Q_OBJECT

public:
    static constexpr int thumbnailSide = 128;

    explicit ThumbnailLoader(QObject *parent = nullptr);
    ~ThumbnailLoader() override;

    // Queues a thumbnail of the file at path; done receives it (a null image
    // when the file is not readable) on the loader's thread.
    void request(const QString &path, std::function<void(const QImage &)> done);

    // Drops every job not yet reported; their callbacks are never called.
    void cancelPending();

    // Blocks until every job has ended; for shutdown and tests.
    void waitForDone();

    // The thumbnail of a file: fitted into the 128 x 128 box, aspect ratio
    // kept, enlarged or reduced so that its longer side is 128, upright.
    // Uses a JPEG's embedded EXIF preview when it is large enough and of
    // the photo's proportions, else decodes at reduced size where the
    // reader can.
    static QImage fromFile(const QString &path);

    // Whether an embedded preview can stand for a picture of this size.
    static bool previewFits(const QImage &preview, const QSize &stored);

    // The same box for an image already in memory.
    static QImage fromImage(const QImage &image);

private:
    void deliver(quint64 id, const QImage &thumbnail);

    // The callbacks stay on the loader's thread: what they hold (model
    // indexes, widgets) is not for other threads to copy or destroy.
    QHash<quint64, std::function<void(const QImage &)>> callbacks;
    quint64 lastId = 0;
    QThreadPool pool;
};

#endif // THUMBNAILLOADER_H
