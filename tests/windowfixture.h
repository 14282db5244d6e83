#ifndef WINDOWFIXTURE_H
#define WINDOWFIXTURE_H

#include "ui/mainwindow.h"
#include "ui_mainwindow.h"

#include "testsupport.h"

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
