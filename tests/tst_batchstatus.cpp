#include "conversion/batchrunner.h"
#include "ui/batchstatus.h"
#include "ui/mainwindow.h"

#include "hostile/windowdriver.h"
#include "testsupport.h"
#include "urlcatcher.h"
#include "windowfixture.h"

#include <QDesktopServices>
#include <QDialog>
#include <QMenu>
#include <QProgressBar>
#include <QToolButton>

using namespace Hostile;

// A batch as the status bar shows it, and stopping it: from the Stop
// button or Esc, through the real window.
class tst_BatchStatus : public QObject, private WindowFixture
{
    Q_OBJECT

private slots:
    void savedText_data();
    void savedText();
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();
    void stopKeepsWholeFiles();
    void escapeStopsUnlessDialogOrMenu();
    void progressBarFollowsBatch();

private:
    // 80 photos (the first one damaged) open in the window, 50 % to PNG
    // into outDir; the batch runs once the slot returns.
    void openAndStart(WindowDriver &d);
    QToolButton *stopButton(MainWindow &w) const;
    // N of "... stopped: N of 80 images converted", or -1.
    static int stoppedCount(const QString &status);
    // Entries of outDir, hidden ones too.
    QStringList written() const;

    QTemporaryDir settingsDir;
    QTemporaryDir *work = nullptr;
    QString outDir;
    UrlCatcher catcher;
};

void tst_BatchStatus::savedText_data()
{
    QTest::addColumn<qint64>("before");
    QTest::addColumn<qint64>("after");
    QTest::addColumn<QString>("text");
    constexpr qint64 k = 1024;
    QTest::newRow("megabytes") << 512 * k * k << 143 * k * k << QStringLiteral(", 512 MB → 143 MB");
    QTest::newRow("below a hundred units") << 2458 * k << 900 * k << QStringLiteral(", 2.4 MB → 900 kB");
    QTest::newRow("bytes") << 1536ll << 20ll << QStringLiteral(", 1.5 kB → 20 bytes");
    QTest::newRow("grouped digits") << 1004ll << 20ll << QStringLiteral(", 1,004 bytes → 20 bytes");
    QTest::newRow("gigabytes") << 120 * k * k * k << 9 * k * k * k
                               << QStringLiteral(", 120 GB → 9.0 GB");
}

// What a finished batch adds to the status bar, in the user's units.
void tst_BatchStatus::savedText()
{
    QFETCH(qint64, before);
    QFETCH(qint64, after);
    QFETCH(QString, text);
    const QLocale system = QLocale();
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    auto back = qScopeGuard([&system]() { QLocale::setDefault(system); });
    QCOMPARE(BatchStatus::savedText(before, after), text);
}

void tst_BatchStatus::initTestCase()
{
    QVERIFY(settingsDir.isValid());
    TestSupport::isolateSettings(settingsDir);
    QDesktopServices::setUrlHandler(QStringLiteral("file"), &catcher, "open");
}

void tst_BatchStatus::cleanupTestCase()
{
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
}

void tst_BatchStatus::init()
{
    work = new QTemporaryDir;
    outDir = work->filePath(QStringLiteral("out"));
    catcher.urls.clear();
    catcher.existed.clear();
}

void tst_BatchStatus::cleanup()
{
    delete work;
    work = nullptr;
}

void tst_BatchStatus::openAndStart(WindowDriver &d)
{
    QVERIFY(d.complete());
    // Sorted first in the list, so that it has failed before the stop.
    QStringList files{TestSupport::writeTruncatedJpeg(work->filePath("0-truncated-at-half.jpg"))};
    const QString photo = TestSupport::writeImage(work->filePath("photo-00.png"), QSize(800, 600));
    files << photo;
    for (int i = 1; i < 79; ++i) {
        const QString copy = work->filePath(QStringLiteral("photo-%1.png").arg(i, 2, 10, QLatin1Char('0')));
        QVERIFY(QFile::copy(photo, copy));
        files << copy;
    }
    QVERIFY2(d.startOpen(files), "the open dialog did not take the files");
    QTRY_COMPARE_WITH_TIMEOUT(d.status->currentMessage(), QStringLiteral("80 images loaded"), 120000);
    QCOMPARE(d.original->item(0)->text(), QStringLiteral("0-truncated-at-half.jpg"));
    d.saveDir->setText(outDir);
    d.autoOpen->setChecked(true);
    d.sizeMode->setCurrentIndex(0);
    d.percent->setValue(50);
    d.format->setCurrentIndex(4); // PNG
    QVERIFY(d.startCommand(BothCommand));
}

QToolButton *tst_BatchStatus::stopButton(MainWindow &w) const
{
    return w.findChild<QToolButton *>(QStringLiteral("toolButtonStopBatch"));
}

int tst_BatchStatus::stoppedCount(const QString &status)
{
    static const QRegularExpression pattern(QStringLiteral(
            "^Size and format convert stopped: (\\d+) of 80 images converted$"));
    const QRegularExpressionMatch m = pattern.match(TestSupport::withoutSaved(status));
    return m.hasMatch() ? m.captured(1).toInt() : -1;
}

QStringList tst_BatchStatus::written() const
{
    QStringList names = QDir(outDir).entryList(QDir::Files | QDir::Hidden | QDir::System);
    names.sort();
    return names;
}

void tst_BatchStatus::stopKeepsWholeFiles()
{
    MainWindow w;
    w.show();
    WindowDriver d(&w);
    QToolButton *stop = stopButton(w);
    QVERIFY(stop);
    QVERIFY(!stop->isVisible());
    openAndStart(d);
    QVERIFY(stop->isVisible() && stop->isEnabled());
    QCOMPARE(stop->toolTip(), QStringLiteral("Stop converting"));

    // The damaged first image has been handled (its helper may have been
    // the last to start) and two others are written.
    auto *runner = w.findChild<BatchRunner *>();
    QVERIFY(runner);
    // Heard as it is handled: the progress signal comes at most ten times
    // a second and lags behind the rows of a quick batch.
    bool damagedHandled = false;
    connect(runner, &BatchRunner::imageConvertFinished, this, [&](const QImage &, const QString &path) {
        damagedHandled = damagedHandled || path.endsWith(QLatin1String("0-truncated-at-half.jpg"));
    });
    QTRY_VERIFY_WITH_TIMEOUT(d.converted->count() >= 2 && damagedHandled, 120000);
    stop->click();
    QTRY_VERIFY_WITH_TIMEOUT(stoppedCount(d.status->currentMessage()) >= 0, 120000);
    const int converted = stoppedCount(d.status->currentMessage());
    QVERIFY2(converted >= 2 && converted < 79, qPrintable(d.status->currentMessage()));
    QTRY_VERIFY(!stop->isVisible());
    QVERIFY(!w.findChild<QProgressBar *>()->isVisible());
    // What was written is listed, whole, and already in place.
    QCOMPARE(d.converted->count(), converted);
    for (int row = 0; row < d.converted->count(); ++row) {
        const QString name = d.converted->item(row)->text();
        QCOMPARE(QImage(outDir + QLatin1Char('/') + name).size(), QSize(400, 300));
    }
    auto *failures = w.findChild<QToolButton *>(QStringLiteral("toolButtonFailures"));
    QVERIFY(failures && failures->isVisible());
    QCOMPARE(failures->text(), QStringLiteral("1 failed"));
    QCOMPARE(catcher.urls, QList<QUrl>{QUrl::fromLocalFile(outDir)});
    // Images still being converted at the stop are dropped: no file or
    // temporary of theirs stays.
    QTRY_COMPARE(written().size(), converted);

    // The same list again runs whole.
    QVERIFY(d.startCommand(BothCommand));
    QVERIFY(stop->isVisible() && stop->isEnabled());
    QTRY_COMPARE_WITH_TIMEOUT(TestSupport::withoutSaved(d.status->currentMessage()),
                              QStringLiteral("Size and format convert finished, 1 of 80 images failed"),
                              120000);
    QCOMPARE(d.converted->count(), 79);
    const QStringList names = written();
    QCOMPARE(names.size(), 79);
    for (const QString &name : names) {
        QVERIFY2(name.startsWith(QLatin1String("photo-")) && name.endsWith(QLatin1String(".png")),
                 qPrintable(name));
        QCOMPARE(QImage(outDir + QLatin1Char('/') + name).size(), QSize(400, 300));
    }
    QCOMPARE(catcher.urls.size(), 2);
}

void tst_BatchStatus::escapeStopsUnlessDialogOrMenu()
{
    MainWindow w;
    w.show();
    w.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    WindowDriver d(&w);
    openAndStart(d);
    QTRY_VERIFY_WITH_TIMEOUT(d.converted->count() >= 1, 120000);

    // An open menu takes its own Esc: it closes, the batch goes on.
    QMenu *menu = nullptr;
    for (QMenu *m : w.findChildren<QMenu *>()) {
        if (!m->actions().isEmpty() && m->actions().first()->text() == QLatin1String("Size Convert"))
            menu = m;
    }
    QVERIFY(menu);
    menu->popup(w.mapToGlobal(QPoint(20, 20)));
    QTRY_VERIFY(menu->isVisible());
    QTest::keyClick(menu, Qt::Key_Escape);
    QTRY_VERIFY(!menu->isVisible());
    // So does a dialog: Esc closes it.
    bool stillOpen = false;
    QTimer::singleShot(0, this, [&]() {
        QWidget *dialog = QApplication::activeModalWidget();
        if (dialog)
            QTest::keyClick(dialog, Qt::Key_Escape);
        QTimer::singleShot(5000, dialog, [&stillOpen, dialog]() {
            stillOpen = true; // Esc went elsewhere: close it, not hang
            dialog->close();
        });
    });
    QMetaObject::invokeMethod(&w, "showAbout", Qt::DirectConnection);
    QVERIFY(!stillOpen);
    QVERIFY(stopButton(w)->isEnabled());
    QCOMPARE(stoppedCount(d.status->currentMessage()), -1);

    w.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    QTest::keyClick(&w, Qt::Key_Escape);
    QTRY_VERIFY_WITH_TIMEOUT(stoppedCount(d.status->currentMessage()) >= 1, 120000);
    // Once nothing runs, Esc is left to others.
    QTRY_VERIFY(!stopButton(w)->isVisible());
}

void tst_BatchStatus::progressBarFollowsBatch()
{
    QStringList files;
    for (int i = 0; i < 6; ++i)
        files << TestSupport::writeImage(work->filePath(QStringLiteral("src/%1.png").arg(i)), QSize(50, 50));
    QScopedPointer<MainWindow> w(window(files, outDir));
    w->show();
    w->batchRunner->setMaxInFlight(1);
    auto *bar = w->findChild<QProgressBar *>();
    QVERIFY(bar && !bar->isVisible());
    w->formatConvert();
    QVERIFY(bar->isVisible());
    // Updates are coalesced: the whole batch shows by the next one.
    QTRY_COMPARE(bar->maximum(), 6);
    QTRY_COMPARE(TestSupport::withoutSaved(w->ui->statusBar->currentMessage()), QStringLiteral("Format convert finished"));
    QVERIFY(!bar->isVisible());
}

QTEST_MAIN(tst_BatchStatus)
#include "tst_batchstatus.moc"
