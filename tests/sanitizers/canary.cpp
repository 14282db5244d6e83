// Faults planted on purpose, so that the sanitizer runs prove they still
// catch faults in our own code: the suppression files and the TSan bridge
// must not hide these. Registered only in sanitizer builds; each test passes
// when the sanitizer reports its fault.

#include <QCoreApplication>
#include <QThread>
#include <QThreadPool>

#include <atomic>
#include <cstdio>
#include <cstring>

namespace {

int unguarded = 0;
std::atomic<int> arrived{0};

// Both sides meet first, so that they always overlap; the meeting orders
// what came before it, not the counting after it.
void countUp()
{
    arrived.fetch_add(1);
    while (arrived.load() < 2)
        QThread::yieldCurrentThread();
    for (int i = 0; i < 100000; ++i)
        ++unguarded;
}

class Counter : public QThread
{
protected:
    void run() override { countUp(); }
};

// A worker and the GUI thread write one int with nothing between them.
int raceWithThread()
{
    Counter worker;
    worker.start();
    countUp();
    worker.wait();
    return unguarded > 0 ? 0 : 1;
}

// Two pool jobs do the same.
int raceInPool()
{
    QThreadPool pool;
    pool.setMaxThreadCount(2);
    pool.start(countUp);
    pool.start(countUp);
    pool.waitForDone();
    return unguarded > 0 ? 0 : 1;
}

void *volatile keep = nullptr;

// Allocated in our code and dropped.
int leak()
{
    keep = new char[4096];
    keep = nullptr;
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const char *fault = argc > 1 ? argv[1] : "";
    if (!std::strcmp(fault, "race-thread"))
        return raceWithThread();
    if (!std::strcmp(fault, "race-pool"))
        return raceInPool();
    if (!std::strcmp(fault, "leak"))
        return leak();
    std::fprintf(stderr, "usage: %s race-thread|race-pool|leak\n", argv[0]);
    return 2;
}
