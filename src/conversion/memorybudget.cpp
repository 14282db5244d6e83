#include "conversion/memorybudget.h"

MemoryBudget::MemoryBudget(qint64 capacityBytes)
    : total(qMax<qint64>(1, capacityBytes))
{
}

qint64 MemoryBudget::acquire(qint64 cost, const std::atomic<bool> *abandon)
{
    const qint64 wanted = qBound<qint64>(0, cost, total);
    std::unique_lock<std::mutex> guard(lock);
    // First come, first served: a large image is not passed over for ever
    // by small ones that keep fitting beside each other.
    const quint64 ticket = nextTicket++;
    const auto givenUp = [abandon]() { return abandon && abandon->load(); };
    while (!cancelled && !givenUp()
           && (ticket != serving || (used > 0 && used + wanted > total)))
        freed.wait(guard);
    if (cancelled)
        return -1;
    const bool gaveUp = givenUp();
    if (ticket == serving) {
        ++serving;
        // Turns given up meanwhile are not waited for.
        while (abandoned.erase(serving) > 0)
            ++serving;
    } else {
        abandoned.insert(ticket); // only a waiter that gave up leaves early
    }
    freed.notify_all(); // the next in line may fit as well
    if (gaveUp)
        return -1;
    used += wanted;
    return wanted;
}

void MemoryBudget::release(qint64 taken)
{
    if (taken <= 0)
        return;
    const std::lock_guard<std::mutex> guard(lock);
    used = qMax<qint64>(0, used - taken);
    freed.notify_all();
}

void MemoryBudget::wake()
{
    const std::lock_guard<std::mutex> guard(lock);
    freed.notify_all();
}

void MemoryBudget::cancel()
{
    const std::lock_guard<std::mutex> guard(lock);
    cancelled = true;
    freed.notify_all();
}

qint64 MemoryBudget::inUse() const
{
    const std::lock_guard<std::mutex> guard(lock);
    return used;
}
