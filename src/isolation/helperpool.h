#ifndef HELPERPOOL_H
#define HELPERPOOL_H

#include "isolation/protocol.h"

#include <QCoreApplication>
#include <QImage>
#include <QList>
#include <QMutex>
#include <QSize>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>
#include <sys/types.h>

// One request to a helper process, as the window's side gives it.
struct HelperCall
{
    Protocol::Request request;
    // The source, opened here by the window's rules; the helper gets its
    // own copy of the descriptor. -1: none.
    int source = -1;
    // A thumbnail's: the shared cache's entry for the source and its mark
    // of a failed read, opened here and parsed there. -1: none.
    int cached = -1;
    int failMark = -1;
    // Pixels to hand the helper with the request (in shared memory); null:
    // none.
    QImage image;
    // The time allowed each step: base seconds, plus so many a megapixel
    // once the helper has said how large the picture is.
    double baseSeconds = 10;
    double secondsPerMegapixel = 0.1;
    // Asked every few milliseconds while the helper works: true ends it.
    std::function<bool()> abandoned;
    // Answer the helper's questions (may wait: the time they take does not
    // count against the request): the size to fit a picture shown at a
    // size into, and whether the memory the window worked out may be had.
    std::function<QSize(const QSize &shown)> target;
    std::function<bool(qint64 bytes)> admit;
    // Told what the helper says on its way (the step it has reached).
    std::function<void(const Protocol::Note &)> noted;
};

// How a request ended.
struct HelperOutcome
{
    enum Status {
        Done,        // the helper answered: values and image hold its answer
        Crashed,     // the helper died on the file
        TimedOut,    // ran past its time, and was ended
        OutOfMemory, // needed more memory than its limit
        Abandoned,   // given up by the caller (Stop, Quit); ended
        Unavailable, // no helper could be started
        Nonsense,    // broke the protocol or a bound; ended
    };
    Status status = Unavailable;
    QString reason; // for the user, when not Done
    // TimedOut: the seconds it was allowed.
    int seconds = 0;
    Protocol::Answer values;
    QImage image;
    QImage preview;
    // An encoded file, mapped from the helper's shared memory while a copy
    // of bytesMapping lives.
    QByteArray bytes;
    std::shared_ptr<const void> bytesMapping;

    bool done() const { return status == Done; }
};

// The helper processes that read users' files, and the requests to them.
// Helpers are started when first needed and kept for the next request, so
// that a batch pays for starting one only once per image in flight; one
// that crashed, ran too long or was given up is ended (SIGKILL) and
// replaced by a new one on the next request. Requests run on the caller's
// thread, which waits for the answer: workers call here, never the GUI
// thread. Safe to use from any thread.
class HelperPool
{
    Q_DECLARE_TR_FUNCTIONS(HelperPool)

public:
    static HelperPool &instance();

    // The helper executable: $PICTAVO_HELPER, else pictavo-helper beside
    // the running program.
    static QString helperPath();

    // Whether a helper can be started (its executable is there); without
    // one nothing is read, and missingText() says why.
    bool available() const;
    static QString missingText();
    // Whether the last helper started put its sandbox up; true until one
    // has said otherwise.
    bool sandboxed() const { return sandboxOn.load(); }
    // Whether the last helper started is walled off from the file system
    // by Landlock as well (kernels from 5.13 that enable it).
    bool landlocked() const { return landlockOn.load(); }

    HelperOutcome run(const HelperCall &call);

    // Multiplies every time limit; for tests, and for sanitizer builds
    // (several times slower).
    void setTimeScale(double scale) { timeScale.store(scale); }
    double timeScaleFactor() const { return timeScale.load(); }

    // Ends every helper, idle or busy, at once; their requests come back
    // Abandoned. New requests start new helpers.
    void endAll();

    // The name of a job, as busyProcessIds() takes it.
    static QString jobName(Protocol::Job job);

    // The process ids of the helpers, idle and busy, and of the busy ones
    // alone; for tests.
    QList<pid_t> processIds() const;
    QList<pid_t> busyProcessIds(const QString &kind = QString()) const;

    ~HelperPool();

private:
    struct Helper
    {
        pid_t pid = -1;
        int socket = -1;
        int log = -1; // its stderr, when logged
        QString kind; // of the request it is busy with
    };

    HelperPool();
    bool start(Helper *helper, QString *why);
    Helper lease(const QString &kind, QString *why);
    void giveBack(const Helper &helper);
    // Kills and reaps; the exit status as waitpid gives it.
    int end(const Helper &helper);

    mutable QMutex lock;
    QList<Helper> idle;
    QList<Helper> busy;
    // Bumped by endAll(): requests begun before it come back Abandoned.
    std::atomic<int> generation{0};
    std::atomic<bool> sandboxOn{true};
    std::atomic<bool> landlockOn{false};
    std::atomic<double> timeScale;
};

#endif // HELPERPOOL_H
