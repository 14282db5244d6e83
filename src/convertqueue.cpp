#include "convertqueue.h"

#include "imagethread.h"

#include <QThread>

ConvertQueue::ConvertQueue(QObject *parent)
    : QObject(parent), inFlightLimit(qMax(1, QThread::idealThreadCount()))
{
}

ConvertQueue::~ConvertQueue()
{
    shutdown();
}

void ConvertQueue::setMaxInFlight(int count)
{
    inFlightLimit = qMax(1, count);
    startWaiting();
}

int ConvertQueue::beginBatch(const QString &finishedText, const QStringList &sources,
                             bool openFolder)
{
    const int id = ++lastBatchId;
    Batch &batch = batches[id];
    batch.finishedText = finishedText;
    batch.namer = TargetNamer(sources);
    batch.openFolder = openFolder;
    return id;
}

void ConvertQueue::enqueue(int batchId, std::function<ImageThread *()> makeWorker)
{
    auto it = batches.find(batchId);
    Q_ASSERT(it != batches.end());
    ++it->total;
    waiting.enqueue({batchId, std::move(makeWorker)});
    startWaiting();
    reportProgress();
}

int ConvertQueue::batchOf(const QObject *thread) const
{
    return threadBatch.value(thread, 0);
}

QString ConvertQueue::claimTarget(int batchId, const QString &directory,
                                  const QString &sourcePath, const QString &format)
{
    auto it = batches.find(batchId);
    if (it == batches.end())
        return QString();
    return it->namer.claim(directory, sourcePath, format);
}

void ConvertQueue::protectSources(const QStringList &sources)
{
    for (Batch &batch : batches)
        batch.namer.protect(sources);
}

bool ConvertQueue::firstMissingDirectory(int batchId)
{
    auto it = batches.find(batchId);
    if (it == batches.end())
        return true;
    const bool first = !it->toldMissingDirectory;
    it->toldMissingDirectory = true;
    return first;
}

void ConvertQueue::imageHandled(int batchId, bool written)
{
    auto it = batches.find(batchId);
    if (it == batches.end())
        return;
    --inFlight;
    ++it->done;
    if (!written)
        ++it->failed;
    if (it->done == it->total) {
        const Batch finished = *it;
        batches.erase(it);
        emit batchFinished(batchId, finished.finishedText, finished.total, finished.failed,
                           finished.openFolder);
    }
    startWaiting();
    reportProgress();
}

void ConvertQueue::shutdown()
{
    waiting.clear();
    // Every worker left has been started: let each end its run() before it
    // goes.
    const QList<const QObject *> started = threadBatch.keys();
    for (const QObject *object : started) {
        auto *thread = const_cast<ImageThread *>(qobject_cast<const ImageThread *>(object));
        thread->disconnect();
        thread->wait();
        delete thread;
    }
    threadBatch.clear();
    batches.clear();
    inFlight = 0;
}

void ConvertQueue::startWaiting()
{
    while (inFlight < inFlightLimit && !waiting.isEmpty()) {
        Waiting next = waiting.dequeue();
        ImageThread *thread = next.makeWorker();
        threadBatch.insert(thread, next.batchId);
        connect(thread, &QObject::destroyed, this,
                [this](QObject *gone) { threadBatch.remove(gone); });
        ++inFlight;
        thread->start();
    }
}

void ConvertQueue::reportProgress()
{
    int done = 0;
    int total = 0;
    for (const Batch &batch : std::as_const(batches)) {
        done += batch.done;
        total += batch.total;
    }
    emit progressChanged(done, total);
}
