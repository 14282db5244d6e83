#include "ui/filedialogtuner.h"
#include "ui/mainwindow.h"

#include "testsupport.h"

#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QLineEdit>
#include <QListView>
#include <QListWidget>
#include <QSettings>
#include <QPushButton>
#include <QAction>
#include <QStatusBar>

using namespace TestSupport;

// Qt's own file dialog, as the window opens it, with the name field no
// longer looking up the list's own selection.
class tst_FileDialogTuner : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void qtDialogHasTheKnownWiring();
    void chosenFilesAreOpened_data();
    void chosenFilesAreOpened();
    void dialogOffersWhatOpens();

private:
    QTemporaryDir settingsDir;
    QTemporaryDir tmp;
};

void tst_FileDialogTuner::initTestCase()
{
    QVERIFY(settingsDir.isValid() && tmp.isValid());
    isolateSettings(settingsDir);
}

void tst_FileDialogTuner::qtDialogHasTheKnownWiring()
{
    // Should a Qt release wire its dialog otherwise, the dialog is left as
    // it is and only speed is lost: this says so.
    QFileDialog dialog(nullptr, QString(), tmp.path());
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    QVERIFY(FileDialogTuner::tune(&dialog));
    QVERIFY(!FileDialogTuner::tune(&dialog)); // once only
}

void tst_FileDialogTuner::chosenFilesAreOpened_data()
{
    QTest::addColumn<QString>("typed"); // into the name field; none: Ctrl+A in the list
    QTest::addColumn<QStringList>("opened");
    const QStringList all{"a.png", "b.png", "c.png", "d.png"};
    QTest::newRow("ctrl+a in the list") << QString() << all;
    QTest::newRow("two names typed") << "\"b.png\" \"d.png\"" << QStringList{"b.png", "d.png"};
    QTest::newRow("one name typed") << "c.png" << QStringList{"c.png"};
}

void tst_FileDialogTuner::chosenFilesAreOpened()
{
    QFETCH(QString, typed);
    QFETCH(QStringList, opened);
    const QString dir = tmp.filePath(QTest::currentDataTag());
    for (const char *name : {"a.png", "b.png", "c.png", "d.png"})
        writeImage(dir + '/' + QLatin1String(name), QSize(8, 8));

    QSettings(QStringLiteral("Tarnwick"), QStringLiteral("Pictavo"))
            .setValue(QStringLiteral("mainwindow/lastopendir"), dir);
    MainWindow w;
    w.show();
    QStringList selected;
    QTimer::singleShot(0, &w, [&]() {
        auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        QVERIFY(dialog);
        // Whatever fails below, the dialog goes.
        auto close = qScopeGuard([dialog]() { dialog->reject(); });
        auto *list = dialog->findChild<QListView *>(QStringLiteral("listView"));
        auto *field = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
        QVERIFY(list && field);
        QTRY_COMPARE(list->model()->rowCount(list->rootIndex()), 4);
        if (typed.isEmpty()) {
            list->setFocus();
            QTest::keySequence(list, QKeySequence::SelectAll);
        } else {
            field->setFocus();
            QTest::keyClicks(field, typed);
        }
        // The list shows what the field names, either way.
        for (const QModelIndex &row : list->selectionModel()->selectedRows())
            selected << row.data().toString();
        selected.sort();
        QPushButton *open = dialog->findChild<QDialogButtonBox *>()->button(QDialogButtonBox::Open);
        QVERIFY(open->isEnabled());
        close.dismiss();
        QTest::mouseClick(open, Qt::LeftButton);
    });
    // The Open Images action, as the tool bar and Ctrl+O run it.
    for (QAction *action : w.findChildren<QAction *>()) {
        if (action->text() == QLatin1String("Open Images"))
            action->trigger();
    }
    QCOMPARE(selected, opened);
    auto *rows = w.findChild<QListWidget *>(QStringLiteral("listWidgetOriginal"));
    QStringList listed;
    for (int row = 0; row < rows->count(); ++row)
        listed << rows->item(row)->text();
    QCOMPARE(listed, opened);
    QTRY_COMPARE(w.statusBar()->currentMessage(),
                 QStringLiteral("%1 images loaded").arg(opened.size()));
}

// The dialog starts with its first filter, and offers what else opens (a
// phone's HEIC among it) and any file.
void tst_FileDialogTuner::dialogOffersWhatOpens()
{
    const QString dir = tmp.filePath(QStringLiteral("phone"));
    const QString jpeg = writeImage(dir + "/IMG_0001.jpg", QSize(20, 20));
    const QString heic = writeImage(dir + "/IMG_0002.HEIC", QSize(20, 20), "PNG");
    MainWindow w;

    QStringList filters;
    QString selected;
    bool hiddenFirst = false, shownAfter = false;
    int polls = 0;
    // What the dialog lists, read from the rows the model shows: asking
    // the model for a path would make it look the file up itself.
    const auto listed = [&dir](QFileSystemModel *model, const QString &path) {
        const QModelIndex folder = model->index(dir);
        const QString name = QFileInfo(path).fileName();
        for (int row = 0; row < model->rowCount(folder); ++row) {
            if (model->index(row, 0, folder).data().toString() == name)
                return true;
        }
        return false;
    };
    std::function<void()> poll = [&]() {
        auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        auto *model = dialog ? dialog->findChild<QFileSystemModel *>() : nullptr;
        // Two minutes of polls: the tests' ceiling for a wait.
        if (++polls > 12000) {
            if (dialog)
                dialog->reject();
            return;
        }
        if (model && filters.isEmpty()) {
            filters = dialog->nameFilters();
            selected = dialog->selectedNameFilter();
            dialog->setDirectory(dir);
        } else if (model && !hiddenFirst && listed(model, jpeg) && !listed(model, heic)) {
            // The folder is read: the first filter hides the HEIC.
            hiddenFirst = true;
            dialog->selectNameFilter(filters.value(1));
        } else if (model && hiddenFirst && listed(model, heic)) {
            shownAfter = true;
            dialog->reject();
            return;
        }
        QTimer::singleShot(10, poll);
    };
    QTimer::singleShot(0, poll);
    w.addImages();

    QCOMPARE(filters.size(), 3);
    QCOMPARE(filters.at(0), QStringLiteral("*.jpg *.png *.bmp *jpeg *tiff *ppm *xbm *xpm"));
    QCOMPARE(selected, filters.at(0));
    QVERIFY2(filters.at(1).startsWith(QLatin1String("All supported images (*.jpg "))
                     && filters.at(1).contains(QLatin1String(" *.heic "))
                     && filters.at(1).contains(QLatin1String(" *.dng ")),
             qPrintable(filters.at(1)));
    QCOMPARE(filters.at(2), QStringLiteral("All files (*)"));
    QVERIFY(hiddenFirst);
    QVERIFY(shownAfter);
}

QTEST_MAIN(tst_FileDialogTuner)
#include "tst_filedialogtuner.moc"
