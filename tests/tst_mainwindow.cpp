#include "ui/mainwindow.h"
#include "conversion/convertsettings.h"
#include "ui_mainwindow.h"

#include "testsupport.h"
#include "windowfixture.h"

#include <QAccessible>
#include <QAction>
#include <QImageReader>
#include <QMenu>
#include <QSignalSpy>
#include <QToolBar>
#include <QToolButton>

// The window's form, actions, icons and controls as they are built.
class tst_MainWindow : public FreshSettingsTest
{
    Q_OBJECT

private slots:
    void formDefaults();
    void slotsInDeclaredOrder();
    void toolbarAndMenu();
    void iconsForDoubleDensity_data();
    void iconsForDoubleDensity();
    void shortcutsAndTooltips_data();
    void shortcutsAndTooltips();
    void convertButtonItselfStartsNothing();
    void sliderMirrorsSpinBox();
    void screenReadersNameEveryControl();
    void sizeModeSwitchesFrames();
    void qualityFollowsTheFormat_data();
    void qualityFollowsTheFormat();
    void extraRoomGoesToLists();
};

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

QTEST_MAIN(tst_MainWindow)
#include "tst_mainwindow.moc"
