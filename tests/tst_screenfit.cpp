#include "ui/screenfit.h"

#include <QTest>

// Where a restored window goes, frame included.
class tst_ScreenFit : public QObject
{
    Q_OBJECT

private slots:
    void fittedClient_data();
    void fittedClient();
};

void tst_ScreenFit::fittedClient_data()
{
    QTest::addColumn<QRect>("client");
    QTest::addColumn<QMargins>("frame");
    QTest::addColumn<QRect>("available");
    QTest::addColumn<QRect>("expected");

    // A title bar of 20 and borders of 1 and 5, as a window manager draws.
    const QMargins x11(1, 20, 1, 5);
    const QRect screen(0, 0, 1024, 768);
    QTest::newRow("fits: unchanged") << QRect(100, 100, 560, 430) << x11 << screen
                                     << QRect(100, 100, 560, 430);
    QTest::newRow("client as large as the screen: frame counted")
            << QRect(1, 20, 1024, 768) << x11 << screen << QRect(1, 20, 1022, 743);
    QTest::newRow("from a larger screen") << QRect(40, 60, 3000, 2000) << x11 << screen
                                          << QRect(1, 20, 1022, 743);
    QTest::newRow("bottom edge below the screen")
            << QRect(465, 358, 560, 430) << x11 << screen << QRect(463, 333, 560, 430);
    QTest::newRow("title bar above the screen")
            << QRect(10, 5, 560, 430) << x11 << screen << QRect(10, 20, 560, 430);
    QTest::newRow("left of the screen") << QRect(-300, 100, 560, 430) << x11 << screen
                                        << QRect(1, 100, 560, 430);
    QTest::newRow("second screen, panel on top")
            << QRect(1900, 0, 800, 600) << x11 << QRect(1920, 32, 1600, 868)
            << QRect(1921, 52, 800, 600);
    QTest::newRow("no frame (before framing, or none drawn)")
            << QRect(600, 500, 560, 430) << QMargins() << screen << QRect(464, 338, 560, 430);
    QTest::newRow("scaled screen: 1600 x 1000 at 2, logical 800 x 500")
            << QRect(0, 24, 560, 430) << QMargins(0, 24, 0, 0) << QRect(0, 0, 800, 500)
            << QRect(0, 24, 560, 430);
    QTest::newRow("window taller than the scaled screen")
            << QRect(0, 24, 560, 600) << QMargins(0, 24, 0, 0) << QRect(0, 0, 800, 500)
            << QRect(0, 24, 560, 476);
}

void tst_ScreenFit::fittedClient()
{
    QFETCH(QRect, client);
    QFETCH(QMargins, frame);
    QFETCH(QRect, available);
    QFETCH(QRect, expected);
    const QRect result = ScreenFit::fittedClient(client, frame, available);
    QCOMPARE(result, expected);
    QVERIFY(available.contains(result.marginsAdded(frame)));
}

QTEST_APPLESS_MAIN(tst_ScreenFit)
#include "tst_screenfit.moc"
