#include "convertqueue.h"

#include "imagelimits.h"
#include "imagethread.h"

#include <QThread>

ConvertQueue::ConvertQueue(QObject *parent)
    : QObject(parent), budget(defaultMemoryBudget()),
      inFlightLimit(qMax(1, QThread::idealThreadCount()))
{
}

qint64 ConvertQueue::defaultMemoryBudget()
{
    return 2 * qint64(ImageLimits::allocationLimitMB) * 1024 * 1024;
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
                             const QString &directory, bool openFolder)
{
    const int id = ++lastBatchId;
    Batch &batch = batches[id];
    batch.finishedText = finishedText;
    batch.directory = directory;
    // The namer looks at the sources when it first names a file, on the
    // saver's thread, not here.
    batch.namer = std::make_shared<TargetNamer>(sources);
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

QString ConvertQueue::directory(int batchId) const
{
    const auto it = batches.constFind(batchId);
    return it == batches.constEnd() ? QString() : it->directory;
}

std::shared_ptr<TargetNamer> ConvertQueue::namer(int batchId) const
{
    const auto it = batches.constFind(batchId);
    return it == batches.constEnd() ? nullptr : it->namer;
}

void ConvertQueue::protectSources(const QStringList &sources)
{
    for (Batch &batch : batches)
        batch.namer->protect(sources);
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

void ConvertQueue::imageHandled(int batchId, bool written, qint64 reservedBytes)
{
    budget.release(reservedBytes);
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
                           finished.openFolder, finished.directory);
    }
    startWaiting();
    reportProgress();
}

void ConvertQueue::shutdown()
{
    waiting.clear();
    // Workers waiting for memory give up rather than be waited for.
    budget.cancel();
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
        thread->setMemoryBudget(&budget);
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
