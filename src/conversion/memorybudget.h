#ifndef MEMORYBUDGET_H
#define MEMORYBUDGET_H

#include <QtGlobal>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <set>

// The memory that the images of running conversions may hold together.
// A worker asks for the bytes its image will cost once it knows the size,
// and waits while others hold too much; the bytes are given back when the
// result has been written or dropped. A cost larger than the whole budget
// waits until it can run alone, so that every image gets its turn and two
// large ones never run together.
// Counted in ones, the same first-come budget shares other things that
// conversions take turns at, such as the cores.
// Safe to use from any thread.
class MemoryBudget
{
public:
    explicit MemoryBudget(qint64 capacityBytes);

    qint64 capacity() const { return total; }

    // Blocks until cost bytes (at most the capacity) are free and takes
    // them; returns how many were taken, or -1 once cancel() was called or
    // abandon was set (checked whenever wake() is called).
    qint64 acquire(qint64 cost, const std::atomic<bool> *abandon = nullptr);
    void release(qint64 taken);

    // Lets waiters whose abandon flag has been set give up their turn.
    void wake();

    // Wakes every waiter with a refusal, now and from then on; for shutdown.
    void cancel();

    qint64 inUse() const;

private:
    const qint64 total;
    // The standard ones, which the thread sanitizer sees through; Qt's wait
    // condition releases its mutex inside Qt, out of the sanitizer's sight.
    mutable std::mutex lock;
    std::condition_variable freed;
    qint64 used = 0;
    quint64 nextTicket = 0;
    quint64 serving = 0;
    // Turns given up while others were still ahead of them: skipped when
    // they come up.
    std::set<quint64> abandoned;
    bool cancelled = false;
};

#endif // MEMORYBUDGET_H
