#include "memorybudget.h"

#include <QtConcurrent/QtConcurrentRun>
#include <QFuture>
#include <QTest>

// Sharing memory among the images in flight.
class tst_MemoryBudget : public QObject
{
    Q_OBJECT

private slots:
    void largeWaitsForTheOthers();
    void oversizedRunsAlone();
    void cancelWakesWaiters();
};

void tst_MemoryBudget::largeWaitsForTheOthers()
{
    MemoryBudget budget(100);
    QCOMPARE(budget.acquire(30), qint64(30));
    QFuture<qint64> large = QtConcurrent::run([&budget]() { return budget.acquire(80); });
    QVERIFY(!QTest::qWaitFor([&]() { return large.isFinished(); }, 100));
    budget.release(30);
    QTRY_VERIFY(large.isFinished());
    QCOMPARE(large.result(), qint64(80));
    QCOMPARE(budget.inUse(), qint64(80));
}

void tst_MemoryBudget::oversizedRunsAlone()
{
    MemoryBudget budget(100);
    // More than the whole budget: taken as all of it, once nothing else is.
    QCOMPARE(budget.acquire(5000), qint64(100));
    QFuture<qint64> small = QtConcurrent::run([&budget]() { return budget.acquire(1); });
    QVERIFY(!QTest::qWaitFor([&]() { return small.isFinished(); }, 100));
    budget.release(100);
    QTRY_VERIFY(small.isFinished());
    QCOMPARE(small.result(), qint64(1));
}

void tst_MemoryBudget::cancelWakesWaiters()
{
    MemoryBudget budget(10);
    budget.acquire(10);
    QFuture<qint64> waiting = QtConcurrent::run([&budget]() { return budget.acquire(5); });
    QVERIFY(!QTest::qWaitFor([&]() { return waiting.isFinished(); }, 100));
    budget.cancel();
    QTRY_VERIFY(waiting.isFinished());
    QCOMPARE(waiting.result(), qint64(-1));
}

QTEST_GUILESS_MAIN(tst_MemoryBudget)
#include "tst_memorybudget.moc"
