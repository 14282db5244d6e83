#include "base/timeleft.h"

#include <QTest>

// The estimate of the time a batch still needs, in the words it is shown in.
class tst_TimeLeft : public QObject
{
    Q_OBJECT

private slots:
    void estimate_data();
    void estimate();
};

void tst_TimeLeft::estimate_data()
{
    QTest::addColumn<int>("done");
    QTest::addColumn<int>("total");
    QTest::addColumn<qint64>("elapsedMs");
    QTest::addColumn<QString>("expected");
    // Too early to tell: few images, or little time.
    QTest::newRow("two done") << 2 << 100 << qint64(60000) << QString();
    QTest::newRow("under two seconds") << 50 << 100 << qint64(1999) << QString();
    QTest::newRow("all done") << 80 << 80 << qint64(60000) << QString();
    QTest::newRow("none to do") << 0 << 0 << qint64(0) << QString();
    // 1 s per image.
    QTest::newRow("40 s") << 3 << 43 << qint64(3000) << QStringLiteral("about 40 s left");
    QTest::newRow("41 s goes up to 45") << 3 << 44 << qint64(3000)
                                        << QStringLiteral("about 45 s left");
    QTest::newRow("last second still says something") << 9 << 10 << qint64(9000)
                                                      << QStringLiteral("about 5 s left");
    QTest::newRow("57 s is a minute") << 3 << 60 << qint64(3000)
                                      << QStringLiteral("about 1 min left");
    QTest::newRow("89 s") << 10 << 99 << qint64(10000) << QStringLiteral("about 1 min left");
    QTest::newRow("90 s") << 10 << 100 << qint64(10000) << QStringLiteral("about 2 min left");
    QTest::newRow("9 min 50 s") << 10 << 600 << qint64(10000)
                                << QStringLiteral("about 10 min left");
    // Twenty minutes and more: to 5 minutes.
    QTest::newRow("22 min") << 10 << 1330 << qint64(10000) << QStringLiteral("about 20 min left");
    QTest::newRow("23 min") << 10 << 1390 << qint64(10000) << QStringLiteral("about 25 min left");
    QTest::newRow("58 min") << 10 << 3490 << qint64(10000) << QStringLiteral("about 1 h left");
    QTest::newRow("1 h 14 min") << 10 << 4450 << qint64(10000)
                                << QStringLiteral("about 1 h 10 min left");
    // 3000 photos at 4 a second, 100 done.
    QTest::newRow("a large batch") << 100 << 3000 << qint64(25000)
                                   << QStringLiteral("about 12 min left");
    QTest::newRow("2 h") << 10 << 7210 << qint64(10000) << QStringLiteral("about 2 h left");
    // Ten thousand photos at a minute each: no overflow.
    QTest::newRow("a week") << 3 << 10003 << qint64(180000)
                            << QStringLiteral("about 166 h 40 min left");
}

void tst_TimeLeft::estimate()
{
    QFETCH(int, done);
    QFETCH(int, total);
    QFETCH(qint64, elapsedMs);
    QFETCH(QString, expected);
    QCOMPARE(TimeLeft::estimate(done, total, elapsedMs), expected);
}

QTEST_APPLESS_MAIN(tst_TimeLeft)
#include "tst_timeleft.moc"
