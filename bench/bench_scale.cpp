// Thousands of photos through the window as a user opens them: open,
// convert (10 % to JPG), open again and remove the rows, each count and way
// of opening in a process of its own (for its memory figures).
// The photos are hard links to the corpus under distinct names, so no disk
// is spent; the thumbnail cache starts empty in a folder of the run's own.
//
//   bench_scale CORPUS_DIR COUNT [--via dialog|drop|folder|call]
//               [--no-convert]
//       prints one markdown table row (the header with --header); without
//       the batch, where time is short
//
// The photos come in through the Open Images dialog (every file selected
// with Ctrl+A, then its Open button), a drop of the files or of their
// folder on the list, or openImages() (what "Open with" does). The folder
// holds the photos alone when COUNT is more than the corpus has. Every
// event on the GUI thread counts, from before the dialog opens until the
// last thumbnail is in: the dialog's life is the window's as far as a user
// can tell.
//
// Reported: time until the first rows appear and until all have, until the
// first screenful of thumbnails is in, until the rows shown after scrolling
// to the middle are in, until the window is free again; the time to drag
// the list from end to end and see the last rows; the most GUI-thread CPU
// of one event while opening, scrolling, converting, reopening and removing (measured by the
// application's own StallWatch); the thumbnail workers' CPU per photo;
// resident memory once listed; the batch's peak above what both lists hold;
// images converted per second.

#include "benchsupport.h"

#include "base/imagelimits.h"
#include "ui/mainwindow.h"
#include "ui/stallwatch.h"
#include "ui/thumbnaillist.h"
#include "ui/watchedapplication.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QListView>
#include <QLineEdit>
#include <QListWidget>
#include <QMimeData>
#include <QPushButton>
#include <QScrollBar>
#include <QSettings>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>

using namespace Bench;

namespace {

struct Phase
{
    double seconds = -1;
    StallWatch::Work worst, busiest;
    int over50 = 0, cpuOver50 = 0;
};

StallWatch *meter()
{
    return static_cast<WatchedApplication *>(QCoreApplication::instance())->stallWatch();
}

double processCpuMs()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

double threadCpuMs()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

void takeWork(Phase *p)
{
    p->worst = meter()->worstWork();
    p->busiest = meter()->busiestWork();
    p->over50 = meter()->countOver50();
    p->cpuOver50 = meter()->countCpuOver50();
}

bool resetPeakRss()
{
    QFile f(QStringLiteral("/proc/self/clear_refs"));
    return f.open(QIODevice::WriteOnly) && f.write("5") == 1;
}

// The rows on the list's screen now, found as the list finds them
// (tst_imagelists checks that they are those the laid-out view shows):
// asking the view itself would lay it out in the poll's event, which would
// then count the list's layout as the benchmark's work.
QList<int> rowsOnScreen(QListWidget *list)
{
    QList<int> rows;
    const auto *thumbnails = list->findChild<ThumbnailList *>();
    if (!thumbnails)
        return rows;
    const QPair<int, int> shown = thumbnails->rowsInView(1);
    for (int row = shown.first; row <= shown.second; ++row)
        rows << row;
    return rows;
}

bool allHaveIcons(QListWidget *list, const QList<int> &rows)
{
    for (int row : rows) {
        const QListWidgetItem *item = list->item(row);
        if (!item || item->icon().isNull())
            return false;
    }
    return !rows.isEmpty();
}

enum class Via { Dialog, Drop, Folder, Call };

struct OpenTimes
{
    Phase phase;
    double firstRowsAt = -1, rowsAt = -1, firstScreenAt = -1, scrolledAt = -1;
    double workerMsPerPhoto = 0; // CPU of every thread but the GUI's, per photo
};

// Answers the next file dialog as a user would: once it lists every file of
// the folder it opened in, Ctrl+A in its list, then its Open button.
// (Naming thousands of files in its name field costs the dialog minutes.)
void answerBySelectingAll(const QString &dir, int count)
{
    auto attempt = std::make_shared<std::function<void()>>();
    *attempt = [dir, count, attempt]() {
        auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        // The dialog's list or its detailed view, whichever it shows (they
        // share one selection): the keys go where a user's would.
        QAbstractItemView *view = nullptr;
        for (const char *name : {"listView", "treeView"}) {
            auto *candidate = dialog ? dialog->findChild<QAbstractItemView *>(QLatin1String(name))
                                     : nullptr;
            if (candidate && candidate->isVisible())
                view = candidate;
        }
        if (!view) {
            QTimer::singleShot(10, *attempt);
            return;
        }
        if (QDir(dialog->directory()).absolutePath() != QDir(dir).absolutePath())
            dialog->setDirectory(dir);
        if (view->model()->rowCount(view->rootIndex()) < count) {
            QTimer::singleShot(20, *attempt);
            return;
        }
        *attempt = nullptr;
        view->setFocus(Qt::MouseFocusReason);
        QTest::keyClick(view, Qt::Key_A, Qt::ControlModifier);
        auto *buttons = dialog->findChild<QDialogButtonBox *>(QStringLiteral("buttonBox"));
        QPushButton *open = buttons ? buttons->button(QDialogButtonBox::Open) : nullptr;
        // A click of its own, as a user's would be, after the selection's.
        QTimer::singleShot(0, dialog, [dialog, open]() {
            if (open)
                open->click();
            else
                static_cast<QDialog *>(dialog)->accept(); // QFileDialog hides accept()
        });
    };
    QTimer::singleShot(0, *attempt);
}

// What a file manager's drag carries onto the list: a drag entering it,
// moving over it, and the drop, each an event of its own.
void dropOnList(QListWidget *list, const QMimeData *data)
{
    QWidget *target = list->viewport();
    const QPoint at = target->rect().center();
    QCoreApplication::postEvent(target, new QDragEnterEvent(at, Qt::CopyAction, data,
                                                            Qt::LeftButton, Qt::NoModifier));
    QCoreApplication::postEvent(target, new QDragMoveEvent(at, Qt::CopyAction, data,
                                                           Qt::LeftButton, Qt::NoModifier));
    QCoreApplication::postEvent(target, new QDropEvent(QPointF(at), Qt::CopyAction, data,
                                                       Qt::LeftButton, Qt::NoModifier));
}

OpenTimes open(MainWindow &window, const QStringList &files, Via via, bool scroll)
{
    OpenTimes t;
    auto *status = window.findChild<QStatusBar *>(QStringLiteral("statusBar"));
    auto *list = window.findChild<QListWidget *>(QStringLiteral("listWidgetOriginal"));
    status->clearMessage();
    // Made before the clock starts: a file manager made it, not the window.
    QMimeData dragged;
    if (via == Via::Drop) {
        QList<QUrl> urls;
        for (const QString &file : files)
            urls << QUrl::fromLocalFile(file);
        dragged.setUrls(urls);
    } else if (via == Via::Folder) {
        dragged.setUrls({QUrl::fromLocalFile(QFileInfo(files.first()).absolutePath())});
    }
    QList<int> watched;
    bool scrolled = false;
    bool emptied = list->count() == 0;
    // Emptied at once, or a slice at a time.
    QObject::connect(list->model(), &QAbstractItemModel::modelAboutToBeReset, &dragged,
                     [&emptied]() { emptied = true; });
    QObject::connect(list->model(), &QAbstractItemModel::rowsRemoved, &dragged,
                     [&emptied, list]() { emptied = emptied || list->count() == 0; });
    QElapsedTimer clock;
    clock.start();
    QTimer poll;
    poll.setInterval(5);
    QObject::connect(&poll, &QTimer::timeout, [&]() {
        const double now = clock.nsecsElapsed() / 1e9;
        // Opened again, the list holds the last rows until the new come.
        if (!emptied)
            return;
        if (t.firstRowsAt < 0 && list->count() > 0)
            t.firstRowsAt = now;
        if (t.rowsAt < 0 && list->count() == files.size())
            t.rowsAt = now;
        if (t.rowsAt < 0)
            return;
        if (watched.isEmpty())
            watched = rowsOnScreen(list);
        if (!allHaveIcons(list, watched))
            return;
        if (t.firstScreenAt < 0) {
            t.firstScreenAt = now;
            if (scroll) {
                QScrollBar *bar = list->verticalScrollBar();
                bar->setValue(bar->maximum() / 2);
                watched = rowsOnScreen(list);
                scrolled = true;
            }
        } else if (scrolled && t.scrolledAt < 0) {
            t.scrolledAt = now - t.firstScreenAt;
        }
    });
    poll.start();
    const double cpuBefore = processCpuMs(), guiBefore = threadCpuMs();
    // Everything from here on is the window's work, the dialog's included.
    meter()->resetWork();
    switch (via) {
    case Via::Dialog: {
        answerBySelectingAll(QFileInfo(files.first()).absolutePath(), int(files.size()));
        QAction *action = nullptr;
        for (QAction *a : window.findChildren<QAction *>()) {
            if (a->text() == QLatin1String("Open Images"))
                action = a;
        }
        QMetaObject::invokeMethod(action, &QAction::trigger, Qt::QueuedConnection);
        break;
    }
    case Via::Drop:
    case Via::Folder:
        dropOnList(list, &dragged);
        break;
    case Via::Call:
        QMetaObject::invokeMethod(&window, "openImages", Qt::QueuedConnection,
                                  Q_ARG(QStringList, files));
        break;
    }
    const QString loaded = QStringLiteral("%1 images loaded").arg(files.size());
    if (!waitForStatus(status, [&](const QString &m) { return m == loaded; }, 3600000).isEmpty())
        t.phase.seconds = clock.nsecsElapsed() / 1e9;
    // The last rows and the loaded list can come in one event, between
    // two polls: then they came when the list was loaded.
    if (t.rowsAt < 0 && list->count() == files.size())
        t.rowsAt = t.phase.seconds;
    if (t.firstScreenAt < 0 && t.rowsAt >= 0 && allHaveIcons(list, rowsOnScreen(list)))
        t.firstScreenAt = t.phase.seconds;
    takeWork(&t.phase);
    t.workerMsPerPhoto =
            ((processCpuMs() - cpuBefore) - (threadCpuMs() - guiBefore)) / files.size();
    return t;
}

// Drags the list's scroll bar from the top to the bottom, a hundredth of
// its range every 10 ms, then waits for the last screenful's thumbnails.
Phase scrollEndToEnd(MainWindow &window)
{
    Phase p;
    auto *list = window.findChild<QListWidget *>(QStringLiteral("listWidgetOriginal"));
    QScrollBar *bar = list->verticalScrollBar();
    bar->setValue(0);
    QApplication::processEvents();
    QElapsedTimer clock;
    clock.start();
    meter()->resetWork();
    constexpr int steps = 100;
    for (int step = 1; step <= steps; ++step) {
        QTest::qWait(10);
        bar->setValue(int(qint64(bar->maximum()) * step / steps));
    }
    const QList<int> last = rowsOnScreen(list);
    if (QTest::qWaitFor([&]() { return allHaveIcons(list, last); }, 600000))
        p.seconds = clock.nsecsElapsed() / 1e9;
    takeWork(&p);
    return p;
}

Phase convert(MainWindow &window, const QString &outDir, int count)
{
    Phase p;
    window.findChild<QComboBox *>(QStringLiteral("comboBoxSizeSettingMode"))->setCurrentIndex(0);
    window.findChild<QSpinBox *>(QStringLiteral("spinBoxPercent"))->setValue(10);
    window.findChild<QComboBox *>(QStringLiteral("comboBoxFormat"))->setCurrentIndex(2); // JPG
    window.findChild<QLineEdit *>(QStringLiteral("lineEditSaveDir"))->setText(outDir);
    auto *status = window.findChild<QStatusBar *>(QStringLiteral("statusBar"));
    auto *converted = window.findChild<QListWidget *>(QStringLiteral("listWidgetConvert"));
    QElapsedTimer clock;
    clock.start();
    meter()->resetWork();
    QMetaObject::invokeMethod(&window, "bothConvert", Qt::QueuedConnection);
    const QString seen = waitForStatus(
            status,
            [](const QString &m) { return m.startsWith(QLatin1String("Size and format convert finished")); },
            3600000);
    if (!seen.isEmpty() && converted->count() == count)
        p.seconds = clock.nsecsElapsed() / 1e9;
    takeWork(&p);
    return p;
}

// Removes every other row (the most runs of adjacent rows a selection can
// have), then all the rest, as the Remove Images action does.
Phase removeRows(MainWindow &window)
{
    Phase p;
    auto *list = window.findChild<QListWidget *>(QStringLiteral("listWidgetOriginal"));
    auto *status = window.findChild<QStatusBar *>(QStringLiteral("statusBar"));
    QElapsedTimer clock;
    clock.start();
    meter()->resetWork();
    // The rows a user sees as listed: rows removed a moment ago may still
    // be on their way out of the list widget.
    const auto *thumbnails = list->findChild<ThumbnailList *>();
    for (int pass = 0; pass < 2; ++pass) {
        const int count = thumbnails->rowCount();
        QItemSelection selection;
        for (int row = 0; row < count; row += 2 - pass)
            selection.select(list->model()->index(row, 0), list->model()->index(row, 0));
        list->selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect);
        selection = QItemSelection(); // a user's click holds no indexes either
        const int selected = int(list->selectionModel()->selectedIndexes().size());
        // Half of an even count is removed twice: the first pass's message
        // must not pass for the second's.
        status->clearMessage();
        QMetaObject::invokeMethod(&window, "removeImages", Qt::QueuedConnection);
        const QString removed = QStringLiteral("%1 images removed.").arg(selected);
        if (waitForStatus(status, [&](const QString &m) { return m == removed; }, 600000)
                    .isEmpty())
            return p;
    }
    if (QTest::qWaitFor([list]() { return list->count() == 0; }, 600000))
        p.seconds = clock.nsecsElapsed() / 1e9;
    takeWork(&p);
    return p;
}

// The longest event's wall time and the most CPU time one event's work
// took, with how many events went over 50 ms by each.
QString ms(const Phase &p)
{
    return QStringLiteral("%1 / %2 ms (%3 / %4)")
            .arg(fmt(p.worst.ms, 0), fmt(p.busiest.cpuMs, 0))
            .arg(p.over50)
            .arg(p.cpuOver50);
}

} // namespace

int main(int argc, char *argv[])
{
    useOffscreenPlatform();
    WatchedApplication app(argc, argv); // as main() does
    if (!useShippedHelper("bench_scale"))
        return 1;
    ImageLimits::configureProcess();
    meter()->setForced(true);
    const QStringList args = app.arguments();
    if (args.contains(QStringLiteral("--header"))) {
        out() << "| via | photos | rows appear (first / all) | first screenful | after scrolling | window free | "
                 "longest / most CPU in one event, opening | worker CPU per photo | "
                 "resident, listed | KiB per listed photo | scrolled end to end | "
                 "longest event, scrolling | convert 10 % to JPG | images/s | "
                 "longest event, converting | reopen (cache) | longest event, reopening | "
                 "longest event, removing | batch peak above both lists | peak RSS |\n"
              << "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n";
        return 0;
    }
    if (args.size() < 3) {
        fprintf(stderr, "usage: bench_scale CORPUS_DIR COUNT [--via dialog|drop|folder|call] "
                        "[--no-convert] | --header\n");
        return 2;
    }
    const QString corpus = args.at(1);
    const int count = args.at(2).toInt();
    const QStringList photos = corpusPhotos(corpus);
    if (photos.isEmpty() || count <= 0)
        return 2;
    const qsizetype viaAt = args.indexOf(QStringLiteral("--via"));
    const QString viaName = viaAt > 0 ? args.value(viaAt + 1) : QStringLiteral("dialog");
    const Via via = viaName == QLatin1String("drop") ? Via::Drop
            : viaName == QLatin1String("folder")     ? Via::Folder
            : viaName == QLatin1String("call")       ? Via::Call
                                                     : Via::Dialog;

    // Beside the corpus, so that the links stay on its file system.
    QTemporaryDir work(QDir(corpus).filePath(QStringLiteral("scale-XXXXXX")));
    isolateDesktop(work.filePath(QStringLiteral("home")));
    const QStringList files = repeatedList(photos, count, work.filePath(QStringLiteral("photos")));
    warmPageCache(photos);
    {
        // The dialog opens where the photos are, as it does for a user who
        // opened them before.
        QSettings settings(QStringLiteral("Tarnwick"), QStringLiteral("Pictavo"));
        settings.setValue(QStringLiteral("mainwindow/lastopendir"),
                          QFileInfo(files.first()).absolutePath());
    }

    MainWindow window;
    window.findChild<QCheckBox *>(QStringLiteral("checkBoxAutoOpenDir"))->setChecked(false);
    window.show();
    QApplication::processEvents();

    const qint64 before = procStatusKiB("VmRSS");
    const OpenTimes first = open(window, files, via, true);
    // Pixmaps are released and reused lazily: let the heap settle.
    QTest::qWait(200);
    const qint64 listed = procStatusKiB("VmRSS");
    const Phase scrolling = scrollEndToEnd(window);
    const bool peakReset = resetPeakRss();
    const bool converting = !args.contains(QStringLiteral("--no-convert"));
    const Phase batch =
            converting ? convert(window, work.filePath(QStringLiteral("out")), count) : Phase();
    const qint64 batchPeak = procStatusKiB("VmHWM");
    const OpenTimes again = open(window, files, via, false);
    const qint64 peak = procStatusKiB("VmHWM");
    const Phase removal = removeRows(window);
    auto report = [](const char *phase, const Phase &p) {
        fprintf(stderr, "%s: longest %.0f ms (%s), most work %.0f ms (%s)\n", phase, p.worst.ms,
                p.worst.what.constData(), p.busiest.cpuMs, p.busiest.what.constData());
    };
    report("open", first.phase);
    report("scroll", scrolling);
    report("convert", batch);
    report("reopen", again.phase);
    report("remove", removal);

    // The converted list holds as many rows as the first, of the same
    // proportions: the batch's own memory is what its peak had beyond both.
    // Thumbnails and conversions read in this process are not the program's.
    if (!servedByHelpers()) {
        out() << "| " << viaName << " | " << count << " | not reported: no helper ran |\n";
        return 1;
    }
    const double perPhoto = double(listed - before) / count;
    const qint64 bothLists = listed + qint64(converting ? perPhoto * count : 0);
    out() << "| " << viaName << " | " << count << " | " << fmt(first.firstRowsAt) << " / "
          << fmt(first.rowsAt) << " s | " << fmt(first.firstScreenAt) << " s | "
          << fmt(first.scrolledAt) << " s | " << fmt(first.phase.seconds, 1) << " s | "
          << ms(first.phase) << " | "
          << fmt(first.workerMsPerPhoto, 1) << " ms | " << listed / 1024 << " MiB | "
          << fmt(perPhoto, 0) << " | " << fmt(scrolling.seconds, 1) << " s | " << ms(scrolling)
          << " | " << fmt(batch.seconds, 1) << " s | "
          << fmt(batch.seconds > 0 ? count / batch.seconds : 0, 0) << " | " << ms(batch)
          << " | " << fmt(again.phase.seconds, 1) << " s | " << ms(again.phase) << " | "
          << ms(removal) << " | "
          << (!converting ? QStringLiteral("–")
                  : peakReset ? QString::number((batchPeak - bothLists) / 1024) + QStringLiteral(" MiB")
                              : QStringLiteral("?"))
          << " | " << peak / 1024 << " MiB |\n";
    out().flush();
    const bool ok = first.phase.seconds > 0 && scrolling.seconds > 0
            && (batch.seconds > 0 || !converting)
            && again.phase.seconds > 0 && removal.seconds > 0 && servedByHelpers();
    return ok ? 0 : 1;
}
