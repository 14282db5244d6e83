#include "ui/stallwatch.h"
#include "ui/watchedapplication.h"

#include <QEventLoop>
#include <QLoggingCategory>
#include <QTest>
#include <QTimer>

#include <time.h>

namespace {

QStringList logged;

void collect(QtMsgType, const QMessageLogContext &context, const QString &message)
{
    if (context.category && QByteArray(context.category) == "pictavo.stall")
        logged << message;
}

double threadCpuMs()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

// Work the thread really does, whatever the machine's load.
void burn(double ms)
{
    const double until = threadCpuMs() + ms;
    while (threadCpuMs() < until) {
    }
}

} // namespace

// The window's own watch on its GUI thread: what it logs of slow events.
class tst_StallWatch : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void logsSlowEvents_data();
    void logsSlowEvents();
    void nestedLoopCountsOnlyItsOwnWork();

private:
    static void setLogging(bool on)
    {
        // Without rules of its own, the category is as a user's run has it.
        QLoggingCategory::setFilterRules(on ? QStringLiteral("pictavo.stall=true") : QString());
    }
};

void tst_StallWatch::initTestCase()
{
    qInstallMessageHandler(collect);
}

void tst_StallWatch::logsSlowEvents_data()
{
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<double>("burnMs");
    QTest::addColumn<int>("lines");

    QTest::newRow("slow event logged") << true << 80.0 << 1;
    QTest::newRow("quick event not logged") << true << 2.0 << 0;
    QTest::newRow("off by default: slow event not logged") << false << 80.0 << 0;
}

void tst_StallWatch::logsSlowEvents()
{
    QFETCH(bool, enabled);
    QFETCH(double, burnMs);
    QFETCH(int, lines);
    setLogging(enabled);
    logged.clear();

    QTimer slow;
    slow.setObjectName(QStringLiteral("slowTimer"));
    slow.setSingleShot(true);
    bool ran = false;
    connect(&slow, &QTimer::timeout, this, [&]() {
        burn(burnMs);
        ran = true;
    });
    slow.start(0);
    QTRY_VERIFY(ran);
    // The line is written as the event's delivery ends.
    QCoreApplication::processEvents();
    setLogging(false);

    QCOMPARE(logged.size(), lines);
    if (lines) {
        const QString line = logged.first();
        QVERIFY2(line.contains(QLatin1String("QTimer \"slowTimer\"")), qPrintable(line));
        QVERIFY2(line.contains(QLatin1String("(no parent)")), qPrintable(line));
        QVERIFY2(line.contains(QLatin1String("event Timer")), qPrintable(line));
    }
}

void tst_StallWatch::nestedLoopCountsOnlyItsOwnWork()
{
    // An event that waits in a nested loop (a modal dialog's) while another
    // event in it does the work: only that one stalled the window.
    setLogging(true);
    logged.clear();
    auto *watch = static_cast<WatchedApplication *>(QCoreApplication::instance())->stallWatch();
    watch->resetWork();

    QObject outer;
    outer.setObjectName(QStringLiteral("outer"));
    QObject inner;
    inner.setObjectName(QStringLiteral("inner"));
    bool done = false;
    QMetaObject::invokeMethod(
            &outer,
            [&]() {
                QEventLoop loop;
                QMetaObject::invokeMethod(
                        &inner,
                        [&]() {
                            burn(80);
                            loop.quit();
                        },
                        Qt::QueuedConnection);
                // Asleep for a while first: waiting is no work either.
                QTimer::singleShot(30, &inner, [&]() {});
                loop.exec();
                done = true;
            },
            Qt::QueuedConnection);
    QTRY_VERIFY(done);
    QCoreApplication::processEvents();
    setLogging(false);

    QCOMPARE(logged.size(), 1);
    QVERIFY2(logged.first().contains(QLatin1String("QObject \"inner\"")), qPrintable(logged.first()));
    QVERIFY2(logged.first().contains(QLatin1String("MetaCall")), qPrintable(logged.first()));
    QCOMPARE(watch->countCpuOver50(), 1);
    QVERIFY(watch->busiestWork().cpuMs >= 80);
}

int main(int argc, char *argv[])
{
    // As main() runs the window: every event goes through the watch.
    WatchedApplication app(argc, argv);
    tst_StallWatch test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_stallwatch.moc"
