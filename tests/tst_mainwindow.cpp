#include "ui/mainwindow.h"
#include "conversion/convertsettings.h"
#include "ui_mainwindow.h"
#include "conversion/convertsettings.h"

#include "testsupport.h"

#include <QAccessible>
#include <QAction>
#include <QClipboard>
#include <QImageReader>
#include <QMenu>
#include <QScreen>
#include <QSignalSpy>
#include <QToolBar>
#include <QToolButton>

class tst_MainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void formDefaults();
    void slotsInDeclaredOrder();
    void toolbarAndMenu();
    void iconsForDoubleDensity_data();
    void iconsForDoubleDensity();
    void shortcutsAndTooltips_data();
    void shortcutsAndTooltips();
    void twoStrokeShortcutsStartConversion();
    void convertButtonItselfStartsNothing();
    void chordsFromFocusedFields_data();
    void chordsFromFocusedFields();
    void sliderMirrorsSpinBox();
    void screenReadersNameEveryControl();
    void sizeModeSwitchesFrames();
    void qualityFollowsTheFormat_data();
    void qualityFollowsTheFormat();

    void firstStartDefaults();
    void settingsRoundTrip();
    void maximizedRestored();
    void extraRoomGoesToLists();
    void storedGeometryFitsScreen_data();
    void storedGeometryFitsScreen();
    void storedWidthClamped_data();
    void storedWidthClamped();
    void everyCloseStoresSettings();
    void changesStoredWhileOpen();

private:
    static QSettings settings();
    QTemporaryDir settingsDir;
};

QSettings tst_MainWindow::settings()
{
    return QSettings(QStringLiteral("Tarnwick"), QStringLiteral("Pictavo"));
}

void tst_MainWindow::initTestCase()
{
    QVERIFY(settingsDir.isValid());
    TestSupport::isolateSettings(settingsDir);
}

void tst_MainWindow::init()
{
    QSettings s(QStringLiteral("Tarnwick"), QStringLiteral("Pictavo"));
    s.clear();
}

void tst_MainWindow::formDefaults()
{
    // The form's slots all find what they are named after.
    QTest::failOnWarning(QRegularExpression(QStringLiteral("connectSlotsByName")));
    MainWindow w;
    QCOMPARE(w.objectName(), QStringLiteral("MainWindow"));
    QCOMPARE(w.windowTitle(), QStringLiteral("Pictavo"));
    QVERIFY(!w.windowIcon().isNull());

    const QStringList sizeModes{QStringLiteral("Percent"), QStringLiteral("DPI"),
                                QStringLiteral("Long edge"), QStringLiteral("Short edge")};
    QStringList items;
    for (int i = 0; i < w.ui->comboBoxSizeSettingMode->count(); ++i)
        items << w.ui->comboBoxSizeSettingMode->itemText(i);
    QCOMPARE(items, sizeModes);

    items.clear();
    for (int i = 0; i < w.ui->comboBoxFormat->count(); ++i)
        items << w.ui->comboBoxFormat->itemText(i);
    QCOMPARE(items, (QStringList{"Original", "BMP", "JPG", "JPEG", "PNG", "PPM", "TIFF", "XBM", "XPM",
                             "WebP", "AVIF", "JPEG XL", "HEIC"}));

    QCOMPARE(w.ui->spinBoxPercent->minimum(), 1);
    QCOMPARE(w.ui->spinBoxPercent->maximum(), 1000);
    QCOMPARE(w.ui->spinBoxPercent->value(), 100);
    QCOMPARE(w.ui->spinBoxPercent->suffix(), QStringLiteral("%"));
    QCOMPARE(w.ui->horizontalSliderPercent->minimum(), 1);
    QCOMPARE(w.ui->horizontalSliderPercent->maximum(), 1000);
    QCOMPARE(w.ui->horizontalSliderPercent->singleStep(), 50);
    QCOMPARE(w.ui->horizontalSliderPercent->pageStep(), 50);
    QCOMPARE(w.ui->spinBoxWidth->minimum(), 2);
    QCOMPARE(w.ui->spinBoxWidth->maximum(), 4999);
    QCOMPARE(w.ui->spinBoxHeight->maximum(), 4999);
    QVERIFY(w.ui->lineEditSaveDir->isReadOnly());
    QVERIFY(w.ui->lineEditSaveDir->text().isEmpty());
    QCOMPARE(w.ui->toolButtonSaveDir->text(), QString());
    QCOMPARE(w.ui->toolButtonSaveDir->toolTip(), QStringLiteral("Select a directory to save images"));
    QCOMPARE(w.ui->listWidgetOriginal->selectionMode(), QAbstractItemView::MultiSelection);
    QCOMPARE(w.ui->listWidgetOriginal->iconSize(), QSize(128, 128));
    QCOMPARE(w.ui->listWidgetConvert->selectionMode(), QAbstractItemView::SingleSelection);
    QCOMPARE(w.ui->splitter_2->orientation(), Qt::Vertical);
    QCOMPARE(w.ui->splitter->orientation(), Qt::Horizontal);
    QCOMPARE(w.ui->splitter->widget(0), w.ui->listWidgetOriginal);
    QCOMPARE(w.ui->splitter_2->widget(1), w.ui->tabWidget);

    QCOMPARE(w.ui->tabWidget->currentIndex(), 0);
    QCOMPARE(w.ui->tabWidget->tabText(0), QStringLiteral("General Setting"));
    QCOMPARE(w.ui->tabWidget->tabText(1), QStringLiteral("Size Setting"));
    QCOMPARE(w.ui->tabWidget->tabText(2), QStringLiteral("Format Setting"));
    QVERIFY(w.ui->tabWidget->isMovable());

    // Titles follow the page, not its position.
    w.ui->tabWidget->tabBar()->moveTab(2, 0);
    w.ui->retranslateUi(&w);
    QCOMPARE(w.ui->tabWidget->tabText(0), QStringLiteral("Format Setting"));
    QCOMPARE(w.ui->tabWidget->tabText(1), QStringLiteral("General Setting"));

    QCOMPARE(w.ui->mainToolBar->iconSize(), QSize(48, 48));
    QCOMPARE(w.ui->mainToolBar->toolButtonStyle(), Qt::ToolButtonTextUnderIcon);
    QCOMPARE(w.ui->mainToolBar->contextMenuPolicy(), Qt::CustomContextMenu);
    QVERIFY(!w.ui->mainToolBar->isFloatable());
    QVERIFY(w.ui->labelSaveDir->text().contains(QStringLiteral("Save To:")));
}

void tst_MainWindow::slotsInDeclaredOrder()
{
    const QMetaObject *mo = &MainWindow::staticMetaObject;
    QStringList found;
    for (int i = mo->methodOffset(); i < mo->methodCount(); ++i)
        found << QString::fromLatin1(mo->method(i).methodSignature());
    const QStringList expected{
        "on_quitAction_triggered()", "on_toolButtonSaveDir_clicked()",
        "on_comboBoxSizeSettingMode_currentIndexChanged(int)", "addImages()",
        "removeImages()", "sizeConvert()", "formatConvert()", "bothConvert()",
        "showAbout()", "saveConvertImagToDir(QImage,QString,QString)",
        "addConvertImageToList(QString)", "deleteThread()",
        // Not of the twelve: opening files and folders from outside.
        "openImages(QStringList)"};
    QCOMPARE(found, expected);
}

void tst_MainWindow::toolbarAndMenu()
{
    MainWindow w;
    QStringList bar;
    for (QAction *a : w.ui->mainToolBar->actions())
        bar << (a->isSeparator() ? QStringLiteral("|") : a->text());
    QCOMPARE(bar, (QStringList{"Open Images", "Remove Images", "|", "Convert Images", "|",
                               "About", "|", "Quit"}));

    QStringList menu;
    for (QAction *a : w.convertMenu->actions())
        menu << (a->isSeparator() ? QStringLiteral("|") : a->text());
    QCOMPARE(menu, (QStringList{"Size Convert", "Format Convert", "|", "Size and Format Convert"}));
    QCOMPARE(w.convertAction->menu(), w.convertMenu);

    w.show();
    auto *button = qobject_cast<QToolButton *>(w.ui->mainToolBar->widgetForAction(w.convertAction));
    QVERIFY(button);
    QCOMPARE(button->popupMode(), QToolButton::MenuButtonPopup);
}

void tst_MainWindow::iconsForDoubleDensity_data()
{
    QTest::addColumn<QString>("name");
    for (const char *name : {"option", "resize", "format", "image_add_48", "image_delete_48",
                             "convert", "about", "quit"})
        QTest::newRow(name) << QString::fromLatin1(name);
}

void tst_MainWindow::iconsForDoubleDensity()
{
    // QIcon takes the @2x file beside the named one on 2x screens.
    QFETCH(QString, name);
    const QSize single = QImageReader(QStringLiteral(":/%1.png").arg(name)).size();
    QVERIFY(single.isValid());
    QCOMPARE(QImageReader(QStringLiteral(":/%1@2x.png").arg(name)).size(), single * 2);
}

void tst_MainWindow::shortcutsAndTooltips_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QKeySequence>("shortcut");
    QTest::addColumn<QString>("toolTip");
    QTest::newRow("open") << "Open Images" << QKeySequence(0x0400004F) << "Open Images\n Ctrl+O";
    QTest::newRow("remove") << "Remove Images" << QKeySequence(Qt::CTRL | Qt::Key_R) << "Remove Images\n Ctrl+R";
    QTest::newRow("convert") << "Convert Images" << QKeySequence() << "Convert Images";
    QTest::newRow("size") << "Size Convert" << QKeySequence(Qt::CTRL | Qt::Key_C, Qt::CTRL | Qt::Key_S) << "Size Convert";
    QTest::newRow("format") << "Format Convert" << QKeySequence(Qt::CTRL | Qt::Key_C, Qt::CTRL | Qt::Key_F) << "Format Convert";
    QTest::newRow("both") << "Size and Format Convert" << QKeySequence(Qt::CTRL | Qt::Key_C, Qt::CTRL | Qt::Key_B) << "Size and Format Convert";
    QTest::newRow("about") << "About" << QKeySequence(Qt::CTRL | Qt::Key_K) << "About Pictavo\n Ctrl+K";
    QTest::newRow("quit") << "Quit" << QKeySequence(Qt::CTRL | Qt::Key_Q) << "Quit\n Ctrl+Q";
}

void tst_MainWindow::shortcutsAndTooltips()
{
    QFETCH(QString, text);
    QFETCH(QKeySequence, shortcut);
    QFETCH(QString, toolTip);
    MainWindow w;
    QAction *action = nullptr;
    for (QAction *a : w.findChildren<QAction *>())
        if (a->text() == text)
            action = a;
    QVERIFY(action);
    QCOMPARE(action->shortcut(), shortcut);
    QCOMPARE(action->toolTip(), toolTip);
}

void tst_MainWindow::twoStrokeShortcutsStartConversion()
{
    MainWindow w;
    w.show();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    QSignalSpy size(w.sizeConvertAction, &QAction::triggered);
    QSignalSpy format(w.formatConvertAction, &QAction::triggered);
    QSignalSpy both(w.bothConvertAction, &QAction::triggered);
    QTest::keyClick(&w, Qt::Key_C, Qt::ControlModifier);
    QTest::keyClick(&w, Qt::Key_S, Qt::ControlModifier);
    QTest::keyClick(&w, Qt::Key_C, Qt::ControlModifier);
    QTest::keyClick(&w, Qt::Key_F, Qt::ControlModifier);
    QTest::keyClick(&w, Qt::Key_C, Qt::ControlModifier);
    QTest::keyClick(&w, Qt::Key_B, Qt::ControlModifier);
    QCOMPARE(size.count(), 1);
    QCOMPARE(format.count(), 1);
    QCOMPARE(both.count(), 1);
}

void tst_MainWindow::chordsFromFocusedFields_data()
{
    QTest::addColumn<QString>("field");
    QTest::addColumn<bool>("selectAll");
    QTest::addColumn<QString>("copied"); // what Ctrl+C leaves on the clipboard
    QTest::newRow("percent typed in") << "spinBoxPercent" << false << QString();
    QTest::newRow("percent selected") << "spinBoxPercent" << true << "30";
    QTest::newRow("width") << "spinBoxWidth" << false << QString();
    QTest::newRow("save folder selected") << "lineEditSaveDir" << true << "/photos/out";
    QTest::newRow("save folder") << "lineEditSaveDir" << false << QString();
    QTest::newRow("source list") << "listWidgetOriginal" << false << QString();
}

void tst_MainWindow::chordsFromFocusedFields()
{
    QFETCH(QString, field);
    QFETCH(bool, selectAll);
    QFETCH(QString, copied);
    MainWindow w;
    w.show();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    w.ui->lineEditSaveDir->setText(QStringLiteral("/photos/out"));
    w.ui->tabWidget->setCurrentWidget(field.startsWith(QLatin1String("spinBox")) ? w.ui->tabSize
                                                                            : w.ui->tabGeneral);
    if (field == QLatin1String("spinBoxWidth"))
        w.ui->comboBoxSizeSettingMode->setCurrentIndex(1);
    auto *widget = w.findChild<QWidget *>(field);
    QVERIFY(widget);
    widget->setFocus();
    QTRY_COMPARE(QApplication::focusWidget(), widget);
    if (auto *spin = qobject_cast<QSpinBox *>(widget)) {
        // Typed in as a user does: the field's text replaced, no selection.
        spin->selectAll();
        QTest::keyClicks(spin, QStringLiteral("30"));
        QCOMPARE(spin->value(), 30);
    }
    if (selectAll)
        QMetaObject::invokeMethod(widget, "selectAll");
    QApplication::clipboard()->setText(QStringLiteral("before"));

    QSignalSpy size(w.sizeConvertAction, &QAction::triggered);
    QSignalSpy format(w.formatConvertAction, &QAction::triggered);
    QSignalSpy both(w.bothConvertAction, &QAction::triggered);
    QTest::keyClick(widget, Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(QApplication::clipboard()->text(), copied.isEmpty() ? QStringLiteral("before") : copied);
    QTest::keyClick(widget, Qt::Key_S, Qt::ControlModifier);
    QCOMPARE(size.count(), 1);
    QTest::keyClick(widget, Qt::Key_C, Qt::ControlModifier);
    QTest::keyClick(widget, Qt::Key_F, Qt::ControlModifier);
    QTest::keyClick(widget, Qt::Key_C, Qt::ControlModifier);
    QTest::keyClick(widget, Qt::Key_B, Qt::ControlModifier);
    QCOMPARE(format.count(), 1);
    QCOMPARE(both.count(), 1);

    if (auto *spin = qobject_cast<QSpinBox *>(widget)) {
        // After a copy the next key is the field's again, not the chord's.
        spin->selectAll();
        QTest::keyClick(spin, Qt::Key_C, Qt::ControlModifier);
        QTest::keyClick(spin, Qt::Key_4);
        QCOMPARE(spin->value(), 4);
        QTest::keyClick(spin, Qt::Key_S, Qt::ControlModifier);
        QCOMPARE(size.count(), 1);
    }
}

void tst_MainWindow::convertButtonItselfStartsNothing()
{
    MainWindow w;
    w.show();
    QSignalSpy size(w.sizeConvertAction, &QAction::triggered);
    QSignalSpy format(w.formatConvertAction, &QAction::triggered);
    QSignalSpy both(w.bothConvertAction, &QAction::triggered);
    auto *button = w.ui->mainToolBar->widgetForAction(w.convertAction);
    QTest::mouseClick(button, Qt::LeftButton, {}, QPoint(5, 5));
    QCOMPARE(size.count() + format.count() + both.count(), 0);
}

void tst_MainWindow::screenReadersNameEveryControl()
{
    MainWindow w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QList<QWidget *> described{w.ui->listWidgetOriginal, w.ui->listWidgetConvert,
                               w.findChild<QWidget *>(QStringLiteral("toolButtonFailures"))};
    // Every button without a text of its own, and every tool bar button.
    for (QAbstractButton *button : w.findChildren<QAbstractButton *>()) {
        if (button->text().isEmpty() || button->parentWidget() == w.ui->mainToolBar)
            described << button;
    }
    QVERIFY(described.contains(w.ui->toolButtonSaveDir));
    for (QWidget *widget : std::as_const(described)) {
        QVERIFY(widget);
        if (!widget->isVisibleTo(&w) && widget->objectName() != QLatin1String("toolButtonFailures"))
            continue; // the tool bar's overflow arrow, with room to spare
        QAccessibleInterface *face = QAccessible::queryAccessibleInterface(widget);
        QVERIFY(face);
        QVERIFY2(!face->text(QAccessible::Name).isEmpty(), qPrintable(widget->objectName()));
        QVERIFY2(!face->text(QAccessible::Description).isEmpty(),
                 qPrintable(face->text(QAccessible::Name)));
    }
    // Not the rich text of the tool tip.
    QCOMPARE(QAccessible::queryAccessibleInterface(w.ui->listWidgetOriginal)->text(QAccessible::Name),
             QStringLiteral("Original images list"));
}

void tst_MainWindow::sliderMirrorsSpinBox()
{
    MainWindow w;
    w.ui->spinBoxPercent->setValue(250);
    QCOMPARE(w.ui->horizontalSliderPercent->value(), 250);
    w.ui->horizontalSliderPercent->setValue(600);
    QCOMPARE(w.ui->spinBoxPercent->value(), 600);
    QCOMPARE(w.ui->spinBoxPercent->text(), QStringLiteral("600%"));
    w.ui->spinBoxPercent->setValue(1001);
    QCOMPARE(w.ui->spinBoxPercent->value(), 1000);
    w.ui->horizontalSliderPercent->setValue(0);
    QCOMPARE(w.ui->spinBoxPercent->value(), 1);
    w.ui->horizontalSliderPercent->triggerAction(QAbstractSlider::SliderSingleStepAdd);
    QCOMPARE(w.ui->spinBoxPercent->value(), 51);
}

void tst_MainWindow::sizeModeSwitchesFrames()
{
    MainWindow w;
    w.show();
    w.ui->tabWidget->setCurrentWidget(w.ui->tabSize);
    QVERIFY(w.ui->framePercent->isVisible());
    QVERIFY(!w.ui->frameDpi->isVisible());
    w.ui->spinBoxWidth->setValue(640);
    w.ui->comboBoxSizeSettingMode->setCurrentIndex(1);
    QVERIFY(!w.ui->framePercent->isVisible());
    QVERIFY(w.ui->frameDpi->isVisible());
    w.ui->comboBoxSizeSettingMode->setCurrentIndex(0);
    QVERIFY(w.ui->framePercent->isVisible());
    QVERIFY(!w.ui->frameDpi->isVisible());
    QCOMPARE(w.ui->spinBoxWidth->value(), 640);
    QVERIFY(!w.ui->frameEdge->isVisible());
    // Long edge and short edge share the one edge field; never enlarge and
    // the scaling stay in every mode.
    for (const int mode : {2, 3}) {
        w.ui->comboBoxSizeSettingMode->setCurrentIndex(mode);
        QVERIFY(w.ui->frameEdge->isVisible());
        QVERIFY(!w.ui->framePercent->isVisible());
        QVERIFY(!w.ui->frameDpi->isVisible());
        QVERIFY(w.ui->checkBoxNoEnlarge->isVisible());
        QVERIFY(w.ui->comboBoxScaling->isVisible());
    }
    w.ui->comboBoxSizeSettingMode->setCurrentIndex(1);
    QVERIFY(!w.ui->frameEdge->isVisible());
    QVERIFY(w.ui->checkBoxNoEnlarge->isVisible());
    w.ui->spinBoxEdge->setValue(1600);
    w.ui->checkBoxNoEnlarge->setChecked(true);
    w.ui->comboBoxScaling->setCurrentIndex(1);
    w.ui->comboBoxSizeSettingMode->setCurrentIndex(3);
    const ConvertSettings settings = w.convertSettings();
    QCOMPARE(settings.sizeMode, SizeMode::ShortEdge);
    QCOMPARE(settings.edge, 1600);
    QVERIFY(settings.noEnlarge);
    QCOMPARE(settings.scaling, Scaling::Smooth);
}

void tst_MainWindow::firstStartDefaults()
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

void tst_MainWindow::qualityFollowsTheFormat_data()
{
    QTest::addColumn<QString>("item");
    QTest::addColumn<bool>("lossless");
    QTest::addColumn<bool>("quality");
    QTest::addColumn<bool>("losslessBox");
    QTest::newRow("Original") << "Original" << false << true << true;
    QTest::newRow("JPG") << "JPG" << false << true << false;
    QTest::newRow("JPG, lossless checked") << "JPG" << true << true << false;
    QTest::newRow("PNG") << "PNG" << false << false << false;
    QTest::newRow("BMP") << "BMP" << false << false << false;
    QTest::newRow("WebP") << "WebP" << false << true << true;
    QTest::newRow("WebP, lossless") << "WebP" << true << false << true;
    QTest::newRow("AVIF, lossless") << "AVIF" << true << false << true;
    QTest::newRow("JPEG XL") << "JPEG XL" << false << true << true;
    QTest::newRow("HEIC") << "HEIC" << false << true << false;
    QTest::newRow("HEIC, lossless checked") << "HEIC" << true << true << false;
}

void tst_MainWindow::qualityFollowsTheFormat()
{
    QFETCH(QString, item);
    QFETCH(bool, lossless);
    QFETCH(bool, quality);
    QFETCH(bool, losslessBox);
    MainWindow w;
    // 75 unless changed: what a JPEG got before there was a choice.
    QCOMPARE(w.ui->spinBoxQuality->value(), 75);
    QCOMPARE(w.ui->horizontalSliderQuality->value(), 75);
    QCOMPARE(w.ui->spinBoxQuality->minimum(), 1);
    QCOMPARE(w.ui->spinBoxQuality->maximum(), 100);
    w.ui->comboBoxFormat->setCurrentIndex(w.ui->comboBoxFormat->findText(item));
    w.ui->checkBoxLossless->setChecked(lossless);
    QCOMPARE(w.ui->horizontalSliderQuality->isEnabled(), quality);
    QCOMPARE(w.ui->spinBoxQuality->isEnabled(), quality);
    QCOMPARE(w.ui->checkBoxLossless->isEnabled(), losslessBox);
    w.ui->spinBoxQuality->setValue(33);
    QCOMPARE(w.ui->horizontalSliderQuality->value(), 33);
    QCOMPARE(w.convertSettings().encoding.quality, 33);
    QCOMPARE(w.convertSettings().encoding.lossless, lossless);
}

void tst_MainWindow::settingsRoundTrip()
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

void tst_MainWindow::extraRoomGoesToLists()
{
    MainWindow w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    const QList<int> outer = w.ui->splitter_2->sizes();
    const QList<int> inner = w.ui->splitter->sizes();
    w.resize(w.width() + 200, w.height() + 300);
    QTRY_COMPARE(w.ui->splitter_2->sizes(), (QList<int>{outer[0] + 300, outer[1]}));
    QCOMPARE(w.ui->splitter->sizes(), (QList<int>{inner[0] + 100, inner[1] + 100}));
}

void tst_MainWindow::storedGeometryFitsScreen_data()
{
    QTest::addColumn<QPoint>("pos");
    QTest::addColumn<QSize>("size");
    QTest::newRow("larger than the screen") << QPoint(40, 30) << QSize(3000, 2000);
    QTest::newRow("beyond the right and bottom") << QPoint(5000, 4000) << QSize(560, 430);
    QTest::newRow("above and left of it") << QPoint(-400, -300) << QSize(560, 430);
}

void tst_MainWindow::storedGeometryFitsScreen()
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

void tst_MainWindow::maximizedRestored()
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

void tst_MainWindow::storedWidthClamped_data()
{
    QTest::addColumn<QVariant>("stored");
    QTest::addColumn<int>("shown");
    QTest::newRow("too large") << QVariant(100000) << 4999;
    QTest::newRow("too small") << QVariant(1) << 2;
    QTest::newRow("not a number") << QVariant(QStringLiteral("wide")) << 2;
}

void tst_MainWindow::storedWidthClamped()
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

void tst_MainWindow::everyCloseStoresSettings()
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
void tst_MainWindow::changesStoredWhileOpen()
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

QTEST_MAIN(tst_MainWindow)
#include "tst_mainwindow.moc"
