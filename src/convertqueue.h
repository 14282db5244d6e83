#ifndef CONVERTQUEUE_H
#define CONVERTQUEUE_H

#include "targetnamer.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QQueue>
#include <QStringList>

#include <functional>

class ImageThread;

// Runs the conversion workers of all batches: at most maxInFlight images are
// being converted at once, from the start of their worker until their result
// has been written or dropped, so that memory does not grow with the size of
// a batch. The rest wait their turn in the order they were queued.
// It also keeps each batch's count and its reserved file names.
class ConvertQueue : public QObject
{
    Q_OBJECT

public:
    explicit ConvertQueue(QObject *parent = nullptr);
    ~ConvertQueue() override;

    int maxInFlight() const { return inFlightLimit; }
    void setMaxInFlight(int count);

    // A new batch over the given source list; returns its id (never 0).
    int beginBatch(const QString &finishedText, const QStringList &sources, bool openFolder);

    // Queues one image of a batch. makeWorker is called when a place is
    // free; the queue starts the worker it returns and owns it until it
    // is deleted (or shut down).
    void enqueue(int batchId, std::function<ImageThread *()> makeWorker);

    // The batch a worker belongs to; 0 when the worker is not one of ours.
    int batchOf(const QObject *thread) const;

    // The file name to write for a result, unique within its batch and never
    // one of the source images; empty when batchId is not a running batch.
    QString claimTarget(int batchId, const QString &directory, const QString &sourcePath,
                        const QString &format);

    // Sources opened while batches run are protected from them as well.
    void protectSources(const QStringList &sources);

    // True the first time a batch reports a missing save directory, so
    // that the user is told once per batch rather than once per image.
    bool firstMissingDirectory(int batchId);

    // One image of a batch is done with, written or failed. Frees its place.
    void imageHandled(int batchId, bool written);

    // Drops waiting images and waits for the running workers; for shutdown.
    void shutdown();

    int runningCount() const { return inFlight; }
    int waitingCount() const { return int(waiting.size()); }

signals:
    void batchFinished(int batchId, const QString &finishedText, int total, int failed,
                       bool openFolder);
    // Images handled and images queued over all unfinished batches.
    void progressChanged(int done, int total);

private:
    struct Batch
    {
        QString finishedText;
        TargetNamer namer;
        int total = 0;
        int done = 0;
        int failed = 0;
        bool openFolder = false;
        bool toldMissingDirectory = false;
    };

    struct Waiting
    {
        int batchId;
        std::function<ImageThread *()> makeWorker;
    };

    void startWaiting();
    void reportProgress();

    QHash<int, Batch> batches;
    QQueue<Waiting> waiting;
    QHash<const QObject *, int> threadBatch;
    int inFlightLimit;
    int inFlight = 0;
    int lastBatchId = 0;
};

#endif // CONVERTQUEUE_H
