#include "ui/mainwindow.h"
#include "conversion/convertsettings.h"
#include "ui_mainwindow.h"

#include "testsupport.h"
#include "windowfixture.h"

#include <QScreen>

// The window's settings: what a first start shows, what is written (on
// every close, and soon after each change while the window is open) and
// how what was stored comes back, the window's place and size fitted to
// the screen.
class tst_SettingsSaver : public FreshSettingsTest
{
    Q_OBJECT

private slots:
    void firstStartDefaults();
    void settingsRoundTrip();
    void maximizedRestored();
    void storedGeometryFitsScreen_data();
    void storedGeometryFitsScreen();
    void storedWidthClamped_data();
    void storedWidthClamped();
    void everyCloseStoresSettings();
    void changesStoredWhileOpen();
};

void tst_SettingsSaver::firstStartDefaults()
{
    MainWindow w;
    QVERIFY(!w.isMaximized());
    QCOMPARE(w.size(), QSize(560, 430));
    QCOMPARE(w.pos(), QPoint(0, 0));
    QCOMPARE(w.lastOpenDir, QDir::currentPath());
    QCOMPARE(w.ui->spinBoxWidth->value(), 1024);
    QCOMPARE(w.ui->spinBoxHeight->value(), 768);
    QVERIFY(w.ui->checkBoxAutoOpenDir->isChecked());
    QVERIFY(w.ui->checkBoxKeepDates->isChecked());
    QVERIFY(!w.ui->checkBoxRemoveLocation->isChecked());
    QCOMPARE(w.ui->comboBoxSizeSettingMode->currentIndex(), 0);
    QCOMPARE(w.ui->comboBoxFormat->currentIndex(), 0);
    QVERIFY(w.ui->frameDpi->isHidden());
    QVERIFY(w.ui->frameEdge->isHidden());
    QCOMPARE(w.ui->spinBoxEdge->value(), 2048);
    QVERIFY(!w.ui->checkBoxNoEnlarge->isChecked());
    QCOMPARE(w.ui->comboBoxScaling->currentIndex(), int(Scaling::Fast));
}

void tst_SettingsSaver::settingsRoundTrip()
{
    QByteArray splitterState;
    {
        MainWindow w;
        w.show();
        w.resize(700, 500);
        w.lastOpenDir = QStringLiteral("/no/such/dir");
        w.ui->spinBoxWidth->setValue(640);
        w.ui->spinBoxHeight->setValue(480);
        w.ui->checkBoxAutoOpenDir->setChecked(false);
        w.ui->checkBoxKeepDates->setChecked(false);
        w.ui->checkBoxRemoveLocation->setChecked(true);
        w.ui->horizontalSliderQuality->setValue(88);
        w.ui->checkBoxLossless->setChecked(true);
        w.ui->spinBoxEdge->setValue(1280);
        w.ui->checkBoxNoEnlarge->setChecked(true);
        w.ui->comboBoxScaling->setCurrentIndex(int(Scaling::Smooth));
        w.ui->splitter->setSizes({100, 400});
        splitterState = w.ui->splitter->saveState();
        w.close();
    }
    QSettings s = settings();
    s.beginGroup(QStringLiteral("mainwindow"));
    QCOMPARE(s.childKeys().size(), 16);
    QCOMPARE(s.value("edge").toInt(), 1280);
    QCOMPARE(s.value("noenlarge").toBool(), true);
    QCOMPARE(s.value("scaling").toInt(), int(Scaling::Smooth));
    QCOMPARE(s.value("quality").toInt(), 88);
    QCOMPARE(s.value("lossless").toBool(), true);
    QCOMPARE(s.value("size").toSize(), QSize(700, 500));
    QCOMPARE(s.value("splitter").toByteArray(), splitterState);
    s.endGroup();

    MainWindow again;
    QCOMPARE(again.size(), QSize(700, 500));
    QCOMPARE(again.lastOpenDir, QStringLiteral("/no/such/dir"));
    QCOMPARE(again.ui->spinBoxWidth->value(), 640);
    QCOMPARE(again.ui->spinBoxHeight->value(), 480);
    QVERIFY(!again.ui->checkBoxAutoOpenDir->isChecked());
    QVERIFY(!again.ui->checkBoxKeepDates->isChecked());
    QVERIFY(again.ui->checkBoxRemoveLocation->isChecked());
    QCOMPARE(again.ui->spinBoxQuality->value(), 88);
    QVERIFY(again.ui->checkBoxLossless->isChecked());
    QCOMPARE(again.ui->spinBoxEdge->value(), 1280);
    QVERIFY(again.ui->checkBoxNoEnlarge->isChecked());
    QCOMPARE(again.ui->comboBoxScaling->currentIndex(), int(Scaling::Smooth));
    QCOMPARE(again.ui->splitter->saveState(), splitterState);
}

void tst_SettingsSaver::maximizedRestored()
{
    {
        QSettings s = settings();
        s.setValue(QStringLiteral("mainwindow/maximized"), true);
        s.setValue(QStringLiteral("mainwindow/size"), QSize(300, 200));
    }
    MainWindow w;
    QVERIFY(w.isMaximized());
    w.show();
    QVERIFY(w.isMaximized());
    QVERIFY(w.size() != QSize(300, 200));
}

void tst_SettingsSaver::storedGeometryFitsScreen_data()
{
    QTest::addColumn<QPoint>("pos");
    QTest::addColumn<QSize>("size");
    QTest::newRow("larger than the screen") << QPoint(40, 30) << QSize(3000, 2000);
    QTest::newRow("beyond the right and bottom") << QPoint(5000, 4000) << QSize(560, 430);
    QTest::newRow("above and left of it") << QPoint(-400, -300) << QSize(560, 430);
}

void tst_SettingsSaver::storedGeometryFitsScreen()
{
    QFETCH(QPoint, pos);
    QFETCH(QSize, size);
    {
        QSettings s = settings();
        s.setValue(QStringLiteral("mainwindow/pos"), pos);
        s.setValue(QStringLiteral("mainwindow/size"), size);
    }
    MainWindow w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    const QRect available = w.screen()->availableGeometry();
    QVERIFY2(available.contains(w.frameGeometry()),
             qPrintable(QStringLiteral("%1,%2 %3x%4")
                                .arg(w.x()).arg(w.y()).arg(w.width()).arg(w.height())));
    // Only as much as needed: a window that fits keeps its size.
    if (size.width() <= available.width() && size.height() <= available.height())
        QCOMPARE(w.size(), size);
}

void tst_SettingsSaver::storedWidthClamped_data()
{
    QTest::addColumn<QVariant>("stored");
    QTest::addColumn<int>("shown");
    QTest::newRow("too large") << QVariant(100000) << 4999;
    QTest::newRow("too small") << QVariant(1) << 2;
    QTest::newRow("not a number") << QVariant(QStringLiteral("wide")) << 2;
}

void tst_SettingsSaver::storedWidthClamped()
{
    QFETCH(QVariant, stored);
    QFETCH(int, shown);
    settings().setValue(QStringLiteral("mainwindow/width"), stored);
    {
        MainWindow w;
        QCOMPARE(w.ui->spinBoxWidth->value(), shown);
        w.close();
    }
    QCOMPARE(settings().value(QStringLiteral("mainwindow/width")).toInt(), shown);
}

void tst_SettingsSaver::everyCloseStoresSettings()
{
    // Ctrl+Q, the quit action and a plain close request all go through
    // closeEvent.
    for (int way = 0; way < 3; ++way) {
        settings().clear();
        MainWindow w;
        w.show();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        w.ui->spinBoxHeight->setValue(300 + way);
        if (way == 0)
            QTest::keyClick(&w, Qt::Key_Q, Qt::ControlModifier);
        else if (way == 1)
            w.quitAction->trigger();
        else
            w.close();
        QVERIFY(!w.isVisible());
        QCOMPARE(settings().value(QStringLiteral("mainwindow/height")).toInt(), 300 + way);
    }
}

// A crash loses no setting: each is written soon after it changes, while
// the window stays open.
void tst_SettingsSaver::changesStoredWhileOpen()
{
    MainWindow w;
    w.show();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    const auto stored = [](const char *key) {
        return settings().value(QStringLiteral("mainwindow/") + QLatin1String(key));
    };
    QTest::mouseClick(w.ui->checkBoxAutoOpenDir, Qt::LeftButton, {},
                      w.ui->checkBoxAutoOpenDir->rect().center());
    QTRY_COMPARE(stored("autoopen"), QVariant(false));

    w.ui->tabWidget->setCurrentWidget(w.ui->tabSize);
    w.ui->comboBoxSizeSettingMode->setCurrentIndex(1);
    QVERIFY(w.ui->spinBoxWidth->isVisible());
    w.ui->spinBoxWidth->setFocus();
    w.ui->spinBoxWidth->selectAll();
    QTest::keyClicks(w.ui->spinBoxWidth, QStringLiteral("640"));
    QTRY_COMPARE(stored("width").toInt(), 640);

    w.resize(610, 470);
    QTRY_COMPARE(stored("size").toSize(), QSize(610, 470));
    QVERIFY(w.isVisible());
}

QTEST_MAIN(tst_SettingsSaver)
#include "tst_settingssaver.moc"
