#ifndef WINDOWFIXTURE_H
#define WINDOWFIXTURE_H

#include "ui/mainwindow.h"
#include "ui_mainwindow.h"

#include "testsupport.h"

#include <QDir>
#include <QIcon>
#include <QListWidget>
#include <QSettings>
#include <QStatusBar>
#include <QTemporaryDir>

// What the tests of the main window's parts share, as a base of their
// classes. A friend of MainWindow, as the tests themselves are: they look
// at its widgets and lists directly.
struct WindowFixture
{
    // Opens files through the Open Images dialog, as the user picks them,
    // and waits until the window says they all loaded.
    static void open(MainWindow &w, const QStringList &files)
    {
        TestSupport::answerFileDialog(files);
        w.addImages();
        QTRY_COMPARE(w.ui->statusBar->currentMessage(),
                     QStringLiteral("%1 images loaded").arg(files.size()));
    }

    static QIcon iconOf(QListWidget *list, int row) { return list->item(row)->icon(); }

    // A window that converts files into saveDir, without their rows and
    // thumbnails; it opens no folder after a batch.
    static MainWindow *window(const QStringList &files, const QString &saveDir)
    {
        auto *w = new MainWindow;
        w->setAttribute(Qt::WA_DeleteOnClose, false);
        w->imageFiles = files;
        w->ui->lineEditSaveDir->setText(saveDir);
        w->ui->checkBoxAutoOpenDir->setChecked(false);
        return w;
    }

    // Starts a batch with one of the convert commands and waits for its end.
    static void runBatch(MainWindow *w, void (MainWindow::*command)())
    {
        (w->*command)();
        QTRY_VERIFY_WITH_TIMEOUT(w->ui->statusBar->currentMessage().contains(QLatin1String("finished")),
                                 120000);
    }

    // The files in dir, hidden ones too, by name.
    static QStringList filesIn(const QString &dir)
    {
        QStringList names = QDir(dir).entryList(QDir::Files | QDir::Hidden);
        names.sort();
        return names;
    }

    // The window's settings, in the test's folder once isolateSettings() ran.
    static QSettings settings()
    {
        return QSettings(QStringLiteral("Tarnwick"), QStringLiteral("Pictavo"));
    }
};

// The base of the tests whose every window starts as on a first start:
// the window's settings in a folder of their own, cleared before each test.
class FreshSettingsTest : public QObject, protected WindowFixture
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(settingsDir.isValid());
        TestSupport::isolateSettings(settingsDir);
    }

    void init() { settings().clear(); }

private:
    QTemporaryDir settingsDir;
};

#endif // WINDOWFIXTURE_H
