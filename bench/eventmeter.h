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

namespace Bench {

class MeteredApplication : public QApplication
{
public:
    struct Work
    {
        double ms = 0;
        QByteArray what; // receiver class and event type
    };

    MeteredApplication(int &argc, char **argv)
        : QApplication(argc, argv)
    {
        clock.start();
        QAbstractEventDispatcher *dispatcher = QAbstractEventDispatcher::instance();
        connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, this,
                [this]() { blockedAt = clock.nsecsElapsed(); }, Qt::DirectConnection);
        connect(dispatcher, &QAbstractEventDispatcher::awake, this, [this]() {
            if (blockedAt >= 0 && !frames.isEmpty())
                frames.last().excluded += clock.nsecsElapsed() - blockedAt;
            blockedAt = -1;
        }, Qt::DirectConnection);
    }

    bool notify(QObject *receiver, QEvent *event) override
    {
        if (QThread::currentThread() != thread())
            return QApplication::notify(receiver, event);
        frames.append({clock.nsecsElapsed(), 0, false});
        // Neither may outlive the delivery.
        const int type = event->type();
        const char *className = receiver ? receiver->metaObject()->className() : "?";
        const bool result = QApplication::notify(receiver, event);
        const Frame frame = frames.takeLast();
        const qint64 gross = clock.nsecsElapsed() - frame.start;
        if (!frames.isEmpty())
            frames.last().excluded += gross;
        const double ms = (gross - frame.excluded) / 1e6;
        if (frame.skipped) {
            skippedMs = ms;
            return result;
        }
        if (ms > 50)
            ++over50;
        if (ms > worst.ms) {
            worst.ms = ms;
            worst.what = QByteArray(className) + " event " + QByteArray::number(type);
        }
        return result;
    }

    // Starts a new phase: the figures below cover what ran since. Called
    // from an event handler, that event can be left out (a file dialog's
    // acceptance is the dialog's work); its own time is kept apart.
    void resetWork(bool skipCurrentEvent = false)
    {
        worst = Work();
        over50 = 0;
        skippedMs = 0;
        if (skipCurrentEvent && !frames.isEmpty())
            frames.last().skipped = true;
    }
    double skippedWorkMs() const { return skippedMs; }
    Work worstWork() const { return worst; }
    int countOver50() const { return over50; }

private:
    struct Frame
    {
        qint64 start;
        qint64 excluded;
        bool skipped;
    };
    QElapsedTimer clock;
    QList<Frame> frames;
    qint64 blockedAt = -1;
    Work worst;
    int over50 = 0;
    double skippedMs = 0;
};

} // namespace Bench

#endif // EVENTMETER_H
