#ifndef IMAGESAVER_H
#define IMAGESAVER_H

#include <QHash>
#include <QImage>
#include <QMutex>
#include <QObject>
#include <QThreadPool>

#include <atomic>
#include <functional>
#include <memory>

class TargetNamer;

// Encodes and writes converted images off the GUI thread. A file appears
// under its name only once it has been written in full: the bytes go to a
// hidden temporary file in the same folder (".pictavo-PID-N.tmp", short
// whatever the name), renamed over the name on success. The rename replaces
// whatever entry has the name; nothing is ever written through a link.
class ImageSaver : public QObject
{
    Q_OBJECT

public:
    struct Result
    {
        QString fileName;
        QString errorString; // empty when the file was written
        QImage thumbnail;    // what the written file looks like, list-sized
        bool ok() const { return errorString.isEmpty(); }
    };

    explicit ImageSaver(QObject *parent = nullptr);
    ~ImageSaver() override;

    // Queues the write of the result of sourcePath into directory, which is
    // made when missing; namer names the file there, in the background.
    // The file keeps what the source carries (ImageEncoder).
    // done gets the outcome on the saver's thread.
    // Writes with a larger order (a later batch) win: a file that a later
    // order has already written is not replaced by an earlier one. Order 0
    // takes no part in this.
    void save(const QImage &image, const QString &directory, const QString &sourcePath,
              const QString &format, std::shared_ptr<TargetNamer> namer, int order,
              std::function<void(const Result &)> done);

    // The same under a name already chosen, with no source to copy from.
    void save(const QImage &image, const QString &fileName, const QString &format, int order,
              std::function<void(const Result &)> done);

    // Removes, in the background, temporary files that an earlier run of
    // the program left in directory when it was killed mid-write.
    void removeStaleTemporaries(const QString &directory);

    // Blocks until every queued write has ended; for shutdown and tests.
    void waitForDone();

    // Pixels on the longer side of the thumbnails that results carry: the
    // list's, so that a sharp screen need not read the files back.
    void setThumbnailSide(int pixels);

    // Writes image to fileName as format. Returns an empty string on
    // success, else the reason in plain words; nothing is left under
    // fileName, and no temporary file, on failure. mayCommit, when given,
    // is asked last, just before the file is put in place. sourcePath
    // names the file whose metadata the output keeps; written, when given,
    // receives the pixels the file holds before any lossy compression.
    static QString write(const QImage &image, const QString &fileName, const QString &format,
                         const std::function<bool()> &mayCommit = {},
                         const QString &sourcePath = QString(), QImage *written = nullptr);

    // True when Qt has a writer for format (matched case-insensitively).
    static bool canWrite(const QString &format);

private:
    void start(std::function<Result()> job, std::function<void(const Result &)> done);
    // key: fileName as the volume compares names (TargetNamer).
    Result saveAndPreview(const QImage &image, const QString &sourcePath,
                          const QString &fileName, const QString &key, const QString &format,
                          int order);

    // Which order last put each file in place, by key. Checked and
    // updated under the lock, together with the rename itself.
    QMutex commitLock;
    QHash<QString, int> committedOrder;
    std::atomic<int> thumbnailSide;
    QThreadPool pool;
};

#endif // IMAGESAVER_H
