#ifndef EVENTMETER_H
#define EVENTMETER_H

// The GUI thread's own work per event: an application whose notify() times
// each delivery, minus the deliveries nested inside it and the time nested
// event loops spend asleep waiting for the next event. A timer's gaps
// would measure the virtual machine as well (a sleeping thread can wake
// 100 ms late while both cores compute); this counts only what ran.

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QElapsedTimer>
#include <QList>
#include <QThread>

#include <algorithm>

#include <sys/resource.h>
#include <time.h>

namespace Bench {

class MeteredApplication : public QApplication
{
public:
    struct Work
    {
        double ms = 0;
        double cpuMs = 0; // what the thread ran meanwhile; less when it was preempted
        QByteArray what; // receiver class and event type
    };

    MeteredApplication(int &argc, char **argv)
        : QApplication(argc, argv)
    {
        clock.start();
        QAbstractEventDispatcher *dispatcher = QAbstractEventDispatcher::instance();
        connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, this,
                [this]() { blockedAt = clock.nsecsElapsed(); }, Qt::DirectConnection);
        connect(dispatcher, &QAbstractEventDispatcher::awake, this, [this]() { endIdleWait(); },
                Qt::DirectConnection);
    }

    bool notify(QObject *receiver, QEvent *event) override
    {
        if (QThread::currentThread() != thread())
            return QApplication::notify(receiver, event);
        // Some dispatchers deliver what woke them before they say so: the
        // wait ended here.
        endIdleWait();
        if (frames.isEmpty())
            outerUsage = threadUsage();
        frames.append({clock.nsecsElapsed(), 0, threadCpu(), 0, false});
        // Neither may outlive the delivery.
        const int type = event->type();
        const char *className = receiver ? receiver->metaObject()->className() : "?";
        const bool result = QApplication::notify(receiver, event);
        const Frame frame = frames.takeLast();
        const qint64 gross = clock.nsecsElapsed() - frame.start;
        const qint64 grossCpu = threadCpu() - frame.cpuStart;
        if (!frames.isEmpty()) {
            frames.last().excluded += gross;
            frames.last().cpuExcluded += grossCpu;
        }
        const double ms = (gross - frame.excluded) / 1e6;
        if (frame.skipped) {
            skippedMs = ms;
            return result;
        }
        const double cpuMs = (grossCpu - frame.cpuExcluded) / 1e6;
        if (ms > 50)
            ++over50;
        if (cpuMs > 50)
            ++cpuOver50;
        const auto what = [&]() { return QByteArray(className) + " event " + QByteArray::number(type); };
        if (ms > worst.ms)
            worst = {ms, cpuMs, what()};
        if (cpuMs > busiest.cpuMs) {
            busiest = {ms, cpuMs, what()};
            if (frames.isEmpty()) {
                // Whether the kernel did the work: page faults, system time.
                const rusage now = threadUsage();
                busiest.what += " (" + QByteArray::number(now.ru_minflt - outerUsage.ru_minflt)
                        + " page faults, system "
                        + QByteArray::number((now.ru_stime.tv_sec - outerUsage.ru_stime.tv_sec) * 1000
                                             + (now.ru_stime.tv_usec - outerUsage.ru_stime.tv_usec) / 1000)
                        + " ms)";
            }
        }
        return result;
    }

    // Starts a new phase: the figures below cover what ran since. Called
    // from an event handler, that event can be left out (a file dialog's
    // acceptance is the dialog's work); its own time is kept apart.
    void resetWork(bool skipCurrentEvent = false)
    {
        worst = Work();
        busiest = Work();
        over50 = 0;
        cpuOver50 = 0;
        skippedMs = 0;
        if (skipCurrentEvent && !frames.isEmpty())
            frames.last().skipped = true;
    }
    double skippedWorkMs() const { return skippedMs; }

    // Counts the outermost event under way from now on only: what it did
    // before (the whole life of a modal dialog it opened) is not its work.
    void restartOutermostEvent()
    {
        if (frames.isEmpty())
            return;
        outerUsage = threadUsage();
        const qint64 now = clock.nsecsElapsed();
        const qint64 cpu = threadCpu();
        for (Frame &frame : frames)
            frame = {now, 0, cpu, 0, frame.skipped};
    }
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
        bool skipped;
    };
    void endIdleWait()
    {
        if (blockedAt >= 0 && !frames.isEmpty())
            frames.last().excluded += clock.nsecsElapsed() - blockedAt;
        blockedAt = -1;
    }
    static rusage threadUsage()
    {
        rusage usage{};
        getrusage(RUSAGE_THREAD, &usage);
        return usage;
    }
    static qint64 threadCpu()
    {
        timespec ts{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
        return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
    }
    QElapsedTimer clock;
    QList<Frame> frames;
    rusage outerUsage{};
    qint64 blockedAt = -1;
    Work worst;
    Work busiest;
    int over50 = 0;
    int cpuOver50 = 0;
    double skippedMs = 0;
};

} // namespace Bench

#endif // EVENTMETER_H
