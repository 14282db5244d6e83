#ifndef BATCHRUNNER_H
#define BATCHRUNNER_H

#include "conversion/conversionjob.h"
#include "base/conversionresult.h"
#include "conversion/memorybudget.h"

#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QObject>
#include <QQueue>
#include <QStringList>
#include <QThreadPool>

#include <functional>
#include <memory>

class ImageThread;
class QTimer;
class TargetNamer;
struct ConvertSettings;

// What a batch did, once it is over.
struct BatchReport
{
    QString finishedText; // the command's "... finished" text
    ConvertMode convertMode = ConvertMode::SizeConvert; // of the command
    int total = 0;        // images in the batch
    int written = 0;
    // The bytes of the written files' sources, and of the files.
    qint64 bytesBefore = 0;
    qint64 bytesAfter = 0;
    QList<ImageFailure> failures;
    // What the written files lack that their sources had, by source path.
    QList<QPair<QString, QStringList>> warnings;
    // Stopped: the images that had not started were left out.
    bool stopped = false;
    // Files a later batch had already written: not failures.
    int superseded = 0;
    QString directory;
    bool openFolder = false;
};

// Runs the conversions of every batch: at most maxInFlight images are being
// converted at once, from the start of their worker until their result has
// been written or dropped, so that memory does not grow with the size of a
// batch; the rest wait their turn in the order they were given. Their
// decoded images share one memory budget, taken and given back here, so
// that a few very large images do not run together. Each batch keeps its
// save folder (as it was when the command was given), its namer and its
// failures; results are written on a pool of writing threads, and a later
// batch's file is never replaced by an earlier one's.
class BatchRunner : public QObject
{
    Q_OBJECT

public:
    explicit BatchRunner(QObject *parent = nullptr);
    ~BatchRunner() override;

    int maxInFlight() const { return inFlightLimit; }
    void setMaxInFlight(int count);
    int runningCount() const { return inFlight; }
    int waitingCount() const { return int(waiting.size()); }

    // Images in flight by default: a few more than the cores.
    static int defaultMaxInFlight();

    // Bytes that the images in flight may take together: twice what one
    // decoded image may take.
    static qint64 defaultMemoryBudget();

    // Pixels on the longer side of the list previews that written rows carry.
    void setPreviewSide(int pixels) { previewSide = qMax(1, pixels); }

    // A batch converting sources as convertMode and settings say, into
    // directory. folderMayBeLink: the user chose the folder, so it may be a
    // link. subfolders: the folder below directory of a source's result
    // ("a/b"), for sources that have one. Returns its id (never 0).
    int start(const QString &finishedText, ConvertMode convertMode, const ConvertSettings &settings,
              const QStringList &sources, const QString &directory, bool folderMayBeLink,
              bool openFolder, const QHash<QString, QString> &subfolders = {});

    // Sources opened while batches run are protected from them as well.
    void protectSources(const QStringList &sources);

    // No further image of the running batches starts; those in flight are
    // written whole or dropped before their file is put in place. Each
    // batch reports, stopped, as soon as the files it has put in place are
    // handled: images still being decoded or encoded are not waited for,
    // they are dropped when they get there.
    void stop();

    // Drops waiting images and waits for running ones; for shutdown.
    void shutdown();

signals:
    // A worker's result, once the runner has taken it: its write begun in
    // its batch's folder, or its failure noted. The runner makes, connects
    // and deletes its workers; whoever listens here only hears of them.
    void imageConvertFinished(QImage image, QString path, QString format);
    // Images handled and images given over all unfinished batches, and the
    // milliseconds since the oldest of them started; at most ten a second,
    // but the start and the end of the work at once.
    void progressChanged(int done, int total, qint64 elapsedMs);
    void rowWritten(const QString &fileName, const QImage &preview);
    void batchFinished(const BatchReport &report);

private:
    struct Batch
    {
        BatchReport report;
        QHash<QString, QString> subfolders;
        bool keepDates = false;
        std::shared_ptr<TargetNamer> namer;
        std::shared_ptr<std::atomic<bool>> stopped;
        QElapsedTimer clock;
        int done = 0;
        int running = 0;
        bool toldMissingDirectory = false;
        // Stopped: the files it had put in place when it was stopped; no
        // more can come.
        int committedAtStop = 0;
        // Its report has gone out; kept until its last worker is over, so
        // that the places in flight are given back.
        bool reported = false;
    };

    struct Waiting
    {
        int batchId;
        std::function<ImageThread *()> makeWorker;
    };

    void startWaiting();
    void take(const ImageThread *thread, const QString &path);
    void handled(int batchId, const QString &path, const ConversionResult &result,
                 qint64 reservedBytes);
    void finishIfDone(int batchId);
    void forget(int batchId);
    void reportProgress(bool now);

    MemoryBudget budget;
    // One turn per core: at most that many images in the helpers at once,
    // each taken in the order it came.
    MemoryBudget helperTurns;
    CommitOrder commitOrder;
    QHash<int, Batch> batches;
    QQueue<Waiting> waiting;
    QHash<const QObject *, int> threadBatch;
    QThreadPool writers;
    // Set by shutdown(): sources still being decoded are given up.
    std::shared_ptr<std::atomic<bool>> quitting = std::make_shared<std::atomic<bool>>(false);
    QTimer *progressThrottle;
    bool progressPending = false;
    int inFlightLimit;
    int inFlight = 0;
    int lastBatchId = 0;
    int previewSide;
};

#endif // BATCHRUNNER_H
