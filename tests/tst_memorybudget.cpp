#include "conversion/memorybudget.h"

#include <QtConcurrent/QtConcurrentRun>
#include <QFuture>
#include <QTest>

// Sharing memory among the images in flight: a waiter is held back while
// others hold too much, and goes on once they give it back or shut down.
class tst_MemoryBudget : public QObject
{
    Q_OBJECT

private slots:
    void waiterHeldBack_data();
    void waiterHeldBack();
    void abandonedTurnIsSkipped();
};

void tst_MemoryBudget::waiterHeldBack_data()
{
    QTest::addColumn<qint64>("capacity");
    QTest::addColumn<qint64>("held");       // asked for first
    QTest::addColumn<qint64>("heldTaken");  // what that got
    QTest::addColumn<qint64>("waiting");    // asked for next, from a thread
    QTest::addColumn<bool>("cancel");       // shut down instead of release
    QTest::addColumn<qint64>("waiterTaken");
    QTest::newRow("large waits for the others") << qint64(100) << qint64(30) << qint64(30)
                                                << qint64(80) << false << qint64(80);
    // More than the whole budget: taken as all of it, once nothing else is.
    QTest::newRow("oversized runs alone") << qint64(100) << qint64(5000) << qint64(100)
                                          << qint64(1) << false << qint64(1);
    QTest::newRow("cancel wakes waiters") << qint64(10) << qint64(10) << qint64(10)
                                          << qint64(5) << true << qint64(-1);
}

void tst_MemoryBudget::waiterHeldBack()
{
    QFETCH(qint64, capacity);
    QFETCH(qint64, held);
    QFETCH(qint64, heldTaken);
    QFETCH(qint64, waiting);
    QFETCH(bool, cancel);
    QFETCH(qint64, waiterTaken);
    MemoryBudget budget(capacity);
    QCOMPARE(budget.acquire(held), heldTaken);
    QFuture<qint64> waiter = QtConcurrent::run([&budget, waiting]() { return budget.acquire(waiting); });
    QVERIFY(!QTest::qWaitFor([&]() { return waiter.isFinished(); }, 100));
    if (cancel)
        budget.cancel();
    else
        budget.release(heldTaken);
    QTRY_VERIFY(waiter.isFinished());
    QCOMPARE(waiter.result(), waiterTaken);
    if (!cancel)
        QCOMPARE(budget.inUse(), waiterTaken);
}

// A stopped batch's waiter gives up its turn; those behind it still get
// theirs.
void tst_MemoryBudget::abandonedTurnIsSkipped()
{
    MemoryBudget budget(10);
    QCOMPARE(budget.acquire(10), qint64(10));
    std::atomic<bool> stopped{false};
    const auto waiting = [&budget](const std::atomic<bool> *abandon) {
        QFuture<qint64> f = QtConcurrent::run([&budget, abandon]() { return budget.acquire(4, abandon); });
        // Each in line before the next asks.
        (void)QTest::qWaitFor([&]() { return f.isFinished(); }, 100);
        return f;
    };
    QFuture<qint64> first = waiting(nullptr);
    QFuture<qint64> second = waiting(&stopped);
    QFuture<qint64> third = waiting(nullptr);
    QVERIFY(!first.isFinished() && !second.isFinished() && !third.isFinished());
    stopped = true;
    budget.wake();
    QTRY_VERIFY(second.isFinished());
    QCOMPARE(second.result(), qint64(-1));
    QVERIFY(!first.isFinished() && !third.isFinished());
    budget.release(10);
    QTRY_VERIFY(first.isFinished() && third.isFinished());
    QCOMPARE(first.result() + third.result(), qint64(8));
    QCOMPARE(budget.inUse(), qint64(8));
}

QTEST_GUILESS_MAIN(tst_MemoryBudget)
#include "tst_memorybudget.moc"
