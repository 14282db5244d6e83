// How long opening photos takes: the window's thumbnails (read in its
// helpers, with an empty thumbnail cache each round) next to plain Qt
// decoding the same files in full, serially and on every core, and how long
// the GUI thread is held up meanwhile.
//
//   bench_thumbnails CORPUS_DIR [N=30] [--rounds R=3]

#include "benchsupport.h"

#include "base/imagelimits.h"
#include "ui/mainwindow.h"

#include <QCheckBox>
#include <QImage>
#include <QTemporaryDir>
#include <QThreadPool>

#include <atomic>

using namespace Bench;

namespace {

struct WindowRun
{
    double seconds = -1;
    double longestGapMs = 0;
    int gapsOver50 = 0;
    QList<GapMonitor::Gap> worst;
};

WindowRun windowThumbnails(const QStringList &files, const QString &cacheDir)
{
    WindowRun run;
    // An empty shared thumbnail cache: the first opening of these photos.
    qputenv("XDG_CACHE_HOME", QFile::encodeName(cacheDir));
    MainWindow window;
    window.findChild<QCheckBox *>(QStringLiteral("checkBoxAutoOpenDir"))->setChecked(false);
    window.show();
    QApplication::processEvents();
    auto *status = window.findChild<QStatusBar *>(QStringLiteral("statusBar"));

    GapMonitor monitor;
    QElapsedTimer clock;
    TestSupport::answerFileDialog(files, QString(), [&]() {
        clock.start();
        monitor.start();
    });
    QMetaObject::invokeMethod(&window, "addImages", Qt::QueuedConnection);
    const QString expected = QStringLiteral("%1 images loaded").arg(files.size());
    const QString seen = waitForStatus(
            status, [&](const QString &m) { return m == expected; }, 600000);
    if (seen.isEmpty() || !clock.isValid() || !servedByHelpers())
        return run;
    run.seconds = clock.nsecsElapsed() / 1e9;
    monitor.stop();
    run.longestGapMs = monitor.longestMs();
    run.gapsOver50 = monitor.countOver(50);
    run.worst = monitor.worst(3);
    return run;
}

double serialDecode(const QStringList &files, int *failures)
{
    QElapsedTimer clock;
    clock.start();
    for (const QString &path : files) {
        if (QImage(path).isNull())
            ++*failures;
    }
    return clock.nsecsElapsed() / 1e9;
}

// Runs job(path) for every file on a pool with one thread per core.
double onAllCores(const QStringList &files, const std::function<bool(const QString &)> &job,
                  int *failures)
{
    QThreadPool pool;
    pool.setMaxThreadCount(QThread::idealThreadCount());
    std::atomic<int> failed{0};
    QElapsedTimer clock;
    clock.start();
    for (const QString &path : files)
        pool.start([&job, &failed, path]() {
            if (!job(path))
                ++failed;
        });
    pool.waitForDone();
    *failures += failed;
    return clock.nsecsElapsed() / 1e9;
}

} // namespace

int main(int argc, char *argv[])
{
    useOffscreenPlatform();
    QApplication app(argc, argv);
    if (!useShippedHelper("bench_thumbnails"))
        return 1;

    QStringList args = app.arguments().mid(1);
    int rounds = 3;
    const int roundsAt = int(args.indexOf(QStringLiteral("--rounds")));
    if (roundsAt >= 0 && roundsAt + 1 < args.size()) {
        rounds = qMax(1, args.at(roundsAt + 1).toInt());
        args.remove(roundsAt, 2);
    }
    if (args.isEmpty()) {
        fprintf(stderr, "usage: bench_thumbnails CORPUS_DIR [N=30] [--rounds R=3]\n");
        return 2;
    }
    const int count = args.size() > 1 ? args.at(1).toInt() : 30;
    const QStringList photos = corpusPhotos(args.at(0));
    if (photos.isEmpty()) {
        fprintf(stderr, "bench_thumbnails: no JPEG photos in %s\n", qPrintable(args.at(0)));
        return 1;
    }

    QTemporaryDir work;
    isolateDesktop(work.filePath(QStringLiteral("settings")));
    const QStringList files = repeatedList(photos, count, work.filePath(QStringLiteral("files")));
    warmPageCache(files);
    // The same reader limits as the window, so that plain decodes of large
    // photos are not refused where the window's are not.
    ImageLimits::configureProcess();

    QList<double> window, gap, serial, parallel;
    int failures = 0;
    int windowFailures = 0;
    QList<GapMonitor::Gap> worstGaps;
    for (int r = 0; r < rounds; ++r) {
        const WindowRun run =
                windowThumbnails(files, work.filePath(QStringLiteral("cache-%1").arg(r)));
        if (run.seconds < 0) {
            ++windowFailures;
        } else {
            window << run.seconds;
            gap << run.longestGapMs;
            worstGaps << run.worst;
        }
        serial << serialDecode(files, &failures);
        parallel << onAllCores(
                files, [](const QString &p) { return !QImage(p).isNull(); }, &failures);
        fprintf(stderr, "round %d: window %.2f s (gap %.0f ms), serial %.2f s, cores %.2f s\n",
                r + 1, run.seconds, run.longestGapMs, serial.last(), parallel.last());
    }

    const int cores = QThread::idealThreadCount();
    const double full = median(serial);
    const double fullCores = median(parallel);
    const double win = median(window);
    const double n = files.size();

    QTextStream &o = out();
    o << "### Thumbnails: " << files.size() << " photos (" << photos.size()
      << " distinct), " << cores << " cores, median of " << rounds << " rounds\n\n";
    o << "| what | seconds | ms per photo | vs full decode on all cores |\n";
    o << "| --- | ---: | ---: | ---: |\n";
    o << "| window: thumbnails until \"" << files.size() << " images loaded\" | " << fmt(win)
      << " | " << fmt(win * 1000 / n, 1) << " | " << fmt(win / fullCores) << " |\n";
    o << "| full decode QImage(path), 1 thread | " << fmt(full) << " | "
      << fmt(full * 1000 / n, 1) << " | " << fmt(full / fullCores) << " |\n";
    o << "| full decode QImage(path), " << cores << " threads | " << fmt(fullCores) << " | "
      << fmt(fullCores * 1000 / n, 1) << " | 1.00 |\n";
    o << "\n" << helperNote() << " The full decodes are plain Qt calls: the reference.\n\n";

    const double longest = gap.isEmpty() ? -1 : *std::max_element(gap.begin(), gap.end());
    o << "| check | measured | target | verdict |\n";
    o << "| --- | ---: | ---: | --- |\n";
    o << "| window thumbnails / full decode (1 thread) | " << fmt(win / full) << " | < 0.20 | "
      << (win / full < 0.2 ? "met" : "**missed**") << " |\n";
    o << "| window thumbnails / full decode (" << cores << " threads) | " << fmt(win / fullCores)
      << " | < 0.20 | " << (win / fullCores < 0.2 ? "met" : "**missed**") << " |\n";
    o << "| longest GUI block while loading, median (worst) | " << fmt(median(gap), 0) << " ms ("
      << fmt(longest, 0) << " ms) | <= 50 ms | " << (longest <= 50 ? "met" : "**missed**")
      << " |\n";
    o << "\n";
    if (windowFailures || failures)
        o << "Failures: " << windowFailures << " window rounds did not finish through the helpers, " << failures
          << " decodes failed.\n\n";
    o.flush();

    std::sort(worstGaps.begin(), worstGaps.end(),
              [](const auto &a, const auto &b) { return a.lengthMs > b.lengthMs; });
    for (const auto &g : worstGaps.mid(0, 3))
        fprintf(stderr, "GUI gap %.1f ms (GUI thread ran %.1f ms of it) at %.0f ms after the dialog closed\n",
                g.lengthMs, g.cpuMs, g.atMs);
    return windowFailures ? 1 : 0;
}
