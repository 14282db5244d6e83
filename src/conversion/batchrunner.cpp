#include "conversion/batchrunner.h"

#include "base/logging.h"
#include "fs/atomicfile.h"
#include "conversion/convertsettings.h"
#include "base/imagelimits.h"
#include "conversion/imagethread.h"
#include "fs/targetnamer.h"
#include "thumbnail/thumbnailloader.h"
#include "base/workerpriority.h"

#include <algorithm>

#include <QDebug>
#include <QMutexLocker>
#include <QThread>
#include <QTimer>

BatchRunner::BatchRunner(QObject *parent)
    : QObject(parent), budget(defaultMemoryBudget()), helperTurns(qMax(1, QThread::idealThreadCount())),
      progressThrottle(new QTimer(this)), inFlightLimit(defaultMaxInFlight()),
      previewSide(ThumbnailLoader::thumbnailSide)
{
    writers.setMaxThreadCount(QThread::idealThreadCount());
    // Thousands of updates would each repaint: a tenth of a second apart.
    progressThrottle->setSingleShot(true);
    progressThrottle->setInterval(100);
    connect(progressThrottle, &QTimer::timeout, this, [this]() {
        if (progressPending)
            reportProgress(false);
    });
}

BatchRunner::~BatchRunner()
{
    shutdown();
}

int BatchRunner::defaultMaxInFlight()
{
    // Two more than the cores: an image spends part of its turn off the
    // CPU (its file going to the disk, the hand-offs through the window's
    // thread, its worker starting), and with one image per core a core
    // waits each time. Only one image per core is in the helpers at once
    // (helperTurns); the others are being written, or wait with their
    // worker started for the next helper that comes free. Sharing the
    // cores among all of them instead would leave the largest photo of a
    // batch running alone at its end. The memory budget still holds the
    // decoded images together to what it allows.
    //
    // The fsync each file gets before its rename stays: without it, ext4
    // (and others with delayed allocation) may commit the rename of a new
    // name before the data, and a power cut then leaves an empty file
    // under the user's name. One syncfs() for a group of files before
    // their renames would save little on an idle disk (1 to 3 ms a file
    // here) and flush whatever else the whole file system holds, which on
    // a busy machine can take far longer; the wait is hidden instead by
    // the images in flight beside it.
    return qMax(1, QThread::idealThreadCount()) + 2;
}

qint64 BatchRunner::defaultMemoryBudget()
{
    return 2 * qint64(ImageLimits::allocationLimitMB) * 1024 * 1024;
}

void BatchRunner::setMaxInFlight(int count)
{
    inFlightLimit = qMax(1, count);
    startWaiting();
}

int BatchRunner::start(const QString &finishedText, ConvertMode convertMode,
                       const ConvertSettings &settings, const QStringList &sources,
                       const QString &directory, bool folderMayBeLink, bool openFolder,
                       const QHash<QString, QString> &subfolders)
{
    const int id = ++lastBatchId;
    Batch &batch = batches[id];
    batch.report.finishedText = finishedText;
    batch.report.convertMode = convertMode;
    batch.report.directory = directory;
    batch.report.openFolder = openFolder;
    batch.report.total = int(sources.size());
    batch.subfolders = subfolders;
    batch.keepDates = settings.keepDates;
    // The namer looks at the sources when it first names a file, on a
    // writing thread, not here.
    batch.namer = std::make_shared<TargetNamer>(sources);
    batch.namer->setFolderMayBeLink(folderMayBeLink);
    batch.stopped = std::make_shared<std::atomic<bool>>(false);
    batch.clock.start();
    if (!directory.isEmpty())
        writers.start([directory]() { AtomicFile::removeStale(directory); });
    // Each worker is made when its turn comes, so that a batch of thousands
    // neither holds thousands of thread objects nor reads thousands of
    // headers before the window answers.
    // Each encoder gets the cores the images in the helpers beside it
    // leave, at least one: a lone photo is encoded on every core.
    ConvertSettings shared = settings;
    const qsizetype together = qMax<qsizetype>(
            1, qMin<qsizetype>(qMin<qint64>(inFlightLimit, helperTurns.capacity()), sources.size()));
    shared.encoding.threads = int(qMax<qsizetype>(1, QThread::idealThreadCount() / together));
    for (const QString &path : sources) {
        waiting.enqueue({id, [convertMode, settings = shared, path]() {
                             return ImageThread::create(convertMode, settings, path);
                         }});
    }
    startWaiting();
    // The whole batch shows at once.
    reportProgress(true);
    finishIfDone(id);
    return id;
}

void BatchRunner::take(const ImageThread *thread, const QString &path)
{
    // Every worker belongs to a batch until it is over, unless the runner
    // has been shut down since its result was sent.
    const int batchId = threadBatch.value(thread, 0);
    const auto it = batches.find(batchId);
    if (it == batches.end())
        return;
    const std::shared_ptr<ConversionJob> job = thread->job();
    const qint64 reserved = job->reservedBytes();
    if (it->stopped->load()) {
        ConversionResult dropped;
        dropped.step = ConversionResult::Stop;
        handled(batchId, path, dropped, reserved);
        return;
    }
    // A batch writes into the folder it was started with, whatever has
    // been opened since.
    ConversionJob::Target target;
    target.directory = it->report.directory;
    target.subfolder = it->subfolders.value(path);
    target.keepDates = it->keepDates;
    target.namer = it->namer;
    target.commitOrder = &commitOrder;
    target.order = batchId;
    target.cancelled = it->stopped.get();
    if (target.directory.isEmpty()) {
        ConversionResult failed;
        failed.step = ConversionResult::Folder;
        failed.reason = ConversionJob::tr("no save directory");
        failed.detail = QStringLiteral("no save directory");
        handled(batchId, path, failed, reserved);
        return;
    }
    if (job->result().step != ConversionResult::NoStep) {
        handled(batchId, path, job->result(), reserved);
        return;
    }
    // Held by the writing thread until the write is over.
    const std::shared_ptr<std::atomic<bool>> stopped = it->stopped;
    writers.start([this, job, target, stopped, batchId, path, reserved]() {
        WorkerPriority::lowerCurrentThread();
        const ConversionResult result = job->write(target);
        QMetaObject::invokeMethod(
                this, [this, batchId, path, result, reserved]() {
                    handled(batchId, path, result, reserved);
                },
                Qt::QueuedConnection);
    });
}

void BatchRunner::handled(int batchId, const QString &path, const ConversionResult &result,
                          qint64 reservedBytes)
{
    budget.release(reservedBytes);
    if (result.outcome == ConversionResult::Failed && result.step != ConversionResult::Stop)
        qCDebug(lcConvert) << "convert failed:" << path << result.detail;
    if (result.written())
        emit rowWritten(result.fileName, result.preview);

    const auto it = batches.find(batchId);
    if (it == batches.end())
        return;
    --inFlight;
    --it->running;
    ++it->done;
    if (it->reported) {
        finishIfDone(batchId);
        startWaiting();
        return;
    }
    BatchReport &report = it->report;
    switch (result.outcome) {
    case ConversionResult::Written:
        ++report.written;
        report.bytesBefore += result.sourceBytes;
        report.bytesAfter += result.writtenBytes;
        if (!result.warnings.isEmpty())
            report.warnings.append({path, result.warnings});
        break;
    case ConversionResult::Superseded:
        ++report.superseded;
        break;
    case ConversionResult::Failed:
        if (result.step != ConversionResult::Stop)
            report.failures.append({path, result.reason, result.step});
        break;
    }
    finishIfDone(batchId);
    startWaiting();
    reportProgress(false);
}

void BatchRunner::finishIfDone(int batchId)
{
    const auto it = batches.find(batchId);
    if (it == batches.end())
        return;
    if (it->reported) {
        if (it->running == 0)
            forget(batchId);
        return;
    }
    // Every file a stopped batch put in place has been handled once its
    // count is reached; the rest of its images can only be dropped.
    const bool over = it->report.stopped ? it->report.written >= it->committedAtStop
                                         : it->done == it->report.total;
    if (!over)
        return;
    const BatchReport report = it->report;
    it->reported = true;
    if (it->running == 0)
        forget(batchId);
    emit batchFinished(report);
    const bool anyRunning = std::any_of(batches.cbegin(), batches.cend(),
                                        [](const Batch &b) { return !b.reported; });
    if (!anyRunning)
        reportProgress(true);
}

void BatchRunner::forget(int batchId)
{
    batches.remove(batchId);
    const QMutexLocker guard(&commitOrder.lock);
    commitOrder.written.remove(batchId);
}

void BatchRunner::protectSources(const QStringList &sources)
{
    for (Batch &batch : batches)
        batch.namer->protect(sources);
}

void BatchRunner::stop()
{
    {
        // Writers look at the flag under this lock just before they put a
        // file in place: once it is set, the files counted are all there
        // will be.
        const QMutexLocker guard(&commitOrder.lock);
        for (auto it = batches.begin(); it != batches.end(); ++it) {
            if (it->reported)
                continue;
            it->stopped->store(true);
            it->report.stopped = true;
            it->committedAtStop = commitOrder.written.value(it.key(), 0);
        }
    }
    waiting.clear();
    // Workers waiting for memory give up their turn.
    budget.wake();
    helperTurns.wake();
    const QList<int> ids = batches.keys();
    for (int id : ids)
        finishIfDone(id);
    reportProgress(true);
}

void BatchRunner::shutdown()
{
    // Decoders are not waited for: their helpers are ended.
    quitting->store(true);
    waiting.clear();
    // Workers waiting for memory give up rather than be waited for.
    budget.cancel();
    helperTurns.cancel();
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
    // Writes that have begun end, so that no temporary file is left behind.
    writers.waitForDone();
    batches.clear();
    inFlight = 0;
}

void BatchRunner::startWaiting()
{
    while (inFlight < inFlightLimit && !waiting.isEmpty()) {
        Waiting next = waiting.dequeue();
        ImageThread *thread = next.makeWorker();
        thread->setMemoryBudget(&budget);
        thread->setHelperTurns(&helperTurns);
        thread->setStopFlag(batches[next.batchId].stopped);
        thread->setQuitFlag(quitting);
        thread->setPreviewSide(previewSide);
        // The window shows the preview; the picture itself would be copied
        // out of the helper for nobody.
        thread->setPictureWanted(false);
        threadBatch.insert(thread, next.batchId);
        connect(thread, &QObject::destroyed, this,
                [this](QObject *gone) { threadBatch.remove(gone); });
        connect(thread, &ImageThread::imageConvertFinished, this,
                [this, thread](const QImage &image, const QString &path, const QString &format) {
                    take(thread, path);
                    emit imageConvertFinished(image, path, format);
                });
        connect(thread, &QThread::finished, thread, &QObject::deleteLater);
        ++inFlight;
        ++batches[next.batchId].running;
        thread->start();
    }
}

void BatchRunner::reportProgress(bool now)
{
    if (!now && progressThrottle->isActive()) {
        progressPending = true;
        return;
    }
    progressPending = false;
    int done = 0;
    int total = 0;
    qint64 elapsed = 0;
    for (const Batch &batch : std::as_const(batches)) {
        if (batch.reported)
            continue;
        done += batch.done;
        total += batch.report.total;
        elapsed = qMax(elapsed, batch.clock.elapsed());
    }
    emit progressChanged(done, total, elapsed);
    progressThrottle->start();
}
