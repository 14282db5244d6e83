#include "ui/stallwatch.h"

#include <QAbstractEventDispatcher>
#include <QMetaEnum>

#include <time.h>

// Off unless asked for: QT_LOGGING_RULES="pictavo.stall=true".
Q_LOGGING_CATEGORY(lcStall, "pictavo.stall", QtWarningMsg)

StallWatch::StallWatch(QObject *parent)
    : QObject(parent)
{
    frames.reserve(16);
    QAbstractEventDispatcher *dispatcher = QAbstractEventDispatcher::instance(thread());
    if (!dispatcher)
        return;
    // A nested event loop (a modal dialog's) sleeps inside the event that
    // started it: the sleep is nobody's work.
    connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, this,
            [this]() { blockedAt = monotonic(); }, Qt::DirectConnection);
    connect(dispatcher, &QAbstractEventDispatcher::awake, this, [this]() { endIdleWait(); },
            Qt::DirectConnection);
}

void StallWatch::enter(QObject *receiver, QEvent *event)
{
    if (skippedDepth > 0 || (frames.isEmpty() && !forced && !lcStall().isInfoEnabled())) {
        ++skippedDepth;
        return;
    }
    // Some dispatchers deliver what woke them before they say so: the wait
    // ended here.
    endIdleWait();
    if (frames.isEmpty())
        getrusage(RUSAGE_THREAD, &outerUsage);
    QObject *parent = receiver ? receiver->parent() : nullptr;
    frames.append({monotonic(), 0, threadCpu(), 0,
                   receiver ? receiver->metaObject() : nullptr,
                   parent ? parent->metaObject() : nullptr,
                   receiver ? receiver->objectName() : QString(), int(event->type())});
}

void StallWatch::leave()
{
    if (skippedDepth > 0) {
        --skippedDepth;
        return;
    }
    if (frames.isEmpty())
        return;
    const Frame frame = frames.takeLast();
    const qint64 gross = monotonic() - frame.start;
    const qint64 grossCpu = threadCpu() - frame.cpuStart;
    if (!frames.isEmpty()) {
        frames.last().excluded += gross;
        frames.last().cpuExcluded += grossCpu;
    }
    const double ms = (gross - frame.excluded) / 1e6;
    const double cpuMs = (grossCpu - frame.cpuExcluded) / 1e6;
    if (ms > stallCpuMs)
        ++over50;
    if (cpuMs > stallCpuMs)
        ++cpuOver50;
    if (ms <= worst.ms && cpuMs <= busiest.cpuMs && cpuMs <= stallCpuMs)
        return;
    QByteArray what = describe(frame.meta, frame.name, frame.parentMeta, frame.type);
    if (frames.isEmpty()) {
        // Whether the kernel did the work: page faults, system time.
        rusage now{};
        getrusage(RUSAGE_THREAD, &now);
        const long systemMs = (now.ru_stime.tv_sec - outerUsage.ru_stime.tv_sec) * 1000
                + (now.ru_stime.tv_usec - outerUsage.ru_stime.tv_usec) / 1000;
        what += " (" + QByteArray::number(now.ru_minflt - outerUsage.ru_minflt)
                + " page faults, system " + QByteArray::number(qint64(systemMs)) + " ms)";
    }
    if (ms > worst.ms)
        worst = {ms, cpuMs, what};
    if (cpuMs > busiest.cpuMs)
        busiest = {ms, cpuMs, what};
    if (cpuMs > stallCpuMs)
        qCInfo(lcStall, "GUI thread busy %.0f ms of CPU (%.0f ms) on one event: %s", cpuMs, ms,
               what.constData());
}

QByteArray StallWatch::describe(const QMetaObject *meta, const QString &name,
                                const QMetaObject *parentMeta, int type)
{
    QByteArray text = meta ? QByteArray(meta->className()) : QByteArrayLiteral("?");
    if (!name.isEmpty())
        text += " \"" + name.toUtf8() + '"';
    // A timer or a helper object says little by itself; what holds it does.
    text += parentMeta ? " in " + QByteArray(parentMeta->className()) : QByteArray(" (no parent)");
    const char *typeName = QMetaEnum::fromType<QEvent::Type>().valueToKey(type);
    text += ", event " + (typeName ? QByteArray(typeName) : QByteArray::number(type));
    return text;
}

void StallWatch::resetWork()
{
    worst = Work();
    busiest = Work();
    over50 = 0;
    cpuOver50 = 0;
}

void StallWatch::endIdleWait()
{
    if (blockedAt >= 0 && !frames.isEmpty())
        frames.last().excluded += monotonic() - blockedAt;
    blockedAt = -1;
}

qint64 StallWatch::threadCpu()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

qint64 StallWatch::monotonic()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}
