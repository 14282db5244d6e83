#ifndef CONVERTQUEUE_H
#define CONVERTQUEUE_H

#include "memorybudget.h"
#include "targetnamer.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QQueue>
#include <QStringList>

#include <functional>
#include <memory>

class ImageThread;

// Runs the conversion workers of all batches: at most maxInFlight images are
// being converted at once, from the start of their worker until their result
// has been written or dropped, so that memory does not grow with the size of
// a batch. The rest wait their turn in the order they were queued. Their
// decoded images also share one memory budget, so that a few very large
// images do not run together.
// It also keeps each batch's count, its save folder and its file names.
class ConvertQueue : public QObject
{
    Q_OBJECT

public:
    explicit ConvertQueue(QObject *parent = nullptr);
    ~ConvertQueue() override;

    int maxInFlight() const { return inFlightLimit; }
    void setMaxInFlight(int count);

    // Bytes that the images in flight may take together: twice what one
    // decoded image may take.
    static qint64 defaultMemoryBudget();
    MemoryBudget *memoryBudget() { return &budget; }

    // A new batch over the given source list, writing into directory (as
    // it was when the command was given); returns its id (never 0).
    int beginBatch(const QString &finishedText, const QStringList &sources,
                   const QString &directory, bool openFolder);

    // Queues one image of a batch. makeWorker is called when a place is
    // free; the queue starts the worker it returns and owns it until it
    // is deleted (or shut down).
    void enqueue(int batchId, std::function<ImageThread *()> makeWorker);

    // The batch a worker belongs to; 0 when the worker is not one of ours.
    int batchOf(const QObject *thread) const;

    // The save folder of a running batch; empty when batchId is not one.
    QString directory(int batchId) const;

    // What names a batch's results: unique within the batch and never one
    // of the source images; null when batchId is not a running batch.
    std::shared_ptr<TargetNamer> namer(int batchId) const;

    // Sources opened while batches run are protected from them as well.
    void protectSources(const QStringList &sources);

    // True the first time a batch reports a missing save directory, so
    // that the user is told once per batch rather than once per image.
    bool firstMissingDirectory(int batchId);

    // One image of a batch is done with, written or failed. Frees its place
    // and the memory its worker reserved.
    void imageHandled(int batchId, bool written, qint64 reservedBytes = 0);

    // Drops waiting images and waits for the running workers; for shutdown.
    void shutdown();

    int runningCount() const { return inFlight; }
    int waitingCount() const { return int(waiting.size()); }

signals:
    void batchFinished(int batchId, const QString &finishedText, int total, int failed,
                       bool openFolder, const QString &directory);
    // Images handled and images queued over all unfinished batches.
    void progressChanged(int done, int total);

private:
    struct Batch
    {
        QString finishedText;
        QString directory;
        std::shared_ptr<TargetNamer> namer;
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

    MemoryBudget budget;
    QHash<int, Batch> batches;
    QQueue<Waiting> waiting;
    QHash<const QObject *, int> threadBatch;
    int inFlightLimit;
    int inFlight = 0;
    int lastBatchId = 0;
};

#endif // CONVERTQUEUE_H
