#ifndef STALLWATCH_H
#define STALLWATCH_H

#include <QByteArray>
#include <QEvent>
#include <QList>
#include <QLoggingCategory>
#include <QObject>
#include <QString>

#include <sys/resource.h>

Q_DECLARE_LOGGING_CATEGORY(lcStall)

// The GUI thread's own work per event: the CPU time the thread ran while
// delivering it, less what the deliveries nested inside it ran, and the
// wall time less those and the idle waits of nested event loops. A timer's
// gaps would measure the virtual machine as well (a sleeping thread can
// wake 100 ms late while both cores compute); this counts only what ran.
//
// The application's notify() brackets every delivery on its thread with
// enter() and leave(). While the category pictavo.stall is enabled (or
// measuring is forced, as the benchmarks do), every event whose own work
// took more than stallCpuMs of thread CPU is logged with its receiver and
// type; otherwise the watch costs two branches an event.
class StallWatch : public QObject
{
    Q_OBJECT

public:
    static constexpr double stallCpuMs = 50;

    struct Work
    {
        double ms = 0;
        double cpuMs = 0; // what the thread ran meanwhile; less when it was preempted
        QByteArray what; // receiver and event type
    };

    // Watches the thread it is created on, through that thread's dispatcher.
    explicit StallWatch(QObject *parent = nullptr);

    // Measures every event, whether or not the category logs them.
    void setForced(bool on) { forced = on; }

    // Around one delivery on the watched thread; leave() returns at once
    // for an event entered while not measuring.
    void enter(QObject *receiver, QEvent *event);
    void leave();

    // The words an event is reported by: "QTimer \"name\" (parent
    // ThumbnailList) Timer".
    static QByteArray describe(const QMetaObject *meta, const QString &name,
                               const QMetaObject *parentMeta, int type);

    // Starts a new phase: the figures below cover what ran since.
    void resetWork();
    // The event that took longest, and the one whose work took the most CPU
    // time: the first includes the time the thread waited for a core.
    Work worstWork() const { return worst; }
    Work busiestWork() const { return busiest; }
    int countOver50() const { return over50; }
    int countCpuOver50() const { return cpuOver50; }

private:
    struct Frame
    {
        qint64 start;
        qint64 excluded;
        qint64 cpuStart;
        qint64 cpuExcluded;
        // What the receiver was, kept before delivery: the receiver may be
        // gone after it.
        const QMetaObject *meta;
        const QMetaObject *parentMeta;
        QString name;
        int type;
    };
    void endIdleWait();
    static qint64 threadCpu();
    static qint64 monotonic();

    QList<Frame> frames;
    rusage outerUsage{};
    qint64 blockedAt = -1;
    // Deliveries under way that are not measured: all of them, when the
    // outermost was not.
    int skippedDepth = 0;
    bool forced = false;
    Work worst;
    Work busiest;
    int over50 = 0;
    int cpuOver50 = 0;
};

#endif // STALLWATCH_H
