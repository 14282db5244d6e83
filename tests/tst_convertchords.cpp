#include "ui/mainwindow.h"
#include "ui_mainwindow.h"

#include "testsupport.h"
#include "windowfixture.h"

#include <QAction>
#include <QClipboard>
#include <QSignalSpy>
#include <QSpinBox>

// The two-stroke convert shortcuts, from the window and from the fields
// that take Ctrl+C as Copy.
class tst_ConvertChords : public FreshSettingsTest
{
    Q_OBJECT

private slots:
    void twoStrokeShortcutsStartConversion();
    void chordsFromFocusedFields_data();
    void chordsFromFocusedFields();
};

void tst_ConvertChords::twoStrokeShortcutsStartConversion()
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

void tst_ConvertChords::chordsFromFocusedFields_data()
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

void tst_ConvertChords::chordsFromFocusedFields()
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

QTEST_MAIN(tst_ConvertChords)
#include "tst_convertchords.moc"
