// A real batch through the window next to the same work done by plain Qt
// calls on every core (the practical limit) and by command-line tools.
// Every run is a fresh process, since peak memory is only known per process.
//
//   bench_batch CORPUS_DIR [N=all photos] [--rounds R=3]
//       throughput: 50 % + PNG and format-only PNG, rounds interleaved
//   bench_batch CORPUS_DIR --memory [SMALL=20] [LARGE=200] [--rounds R=2]
//           [--scenarios window-both,window-format]
//       peak memory of the window for a small and a large batch
//   bench_batch --run SCENARIO LISTFILE OUTDIR
//       one run; prints a RESULT line (used by the two above)

#include "benchsupport.h"

#include "imageloader.h"
#include "mainwindow.h"

#include <QCheckBox>
#include <QComboBox>
#include <QImage>
#include <QLineEdit>
#include <QMap>
#include <QProcess>
#include <QRegularExpression>
#include <QSpinBox>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThreadPool>

#include <atomic>

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

extern char **environ;

using namespace Bench;

namespace {

struct Result
{
    double seconds = -1;
    qint64 peakKiB = -1;      // this process, or the largest tool process
    double longestGapMs = -1; // window runs only
    int written = 0;
    int failed = 0;
    QString note;

    QString line() const
    {
        return QStringLiteral("RESULT seconds=%1 peak_kib=%2 gap_ms=%3 written=%4 failed=%5 note=%6")
                .arg(seconds, 0, 'f', 3)
                .arg(peakKiB)
                .arg(longestGapMs, 0, 'f', 1)
                .arg(written)
                .arg(failed)
                .arg(QString(note).replace(QLatin1Char(' '), QLatin1Char('_')));
    }

    static Result parse(const QString &text)
    {
        Result r;
        const QRegularExpression re(QStringLiteral(
                "RESULT seconds=(\\S+) peak_kib=(\\S+) gap_ms=(\\S+) written=(\\S+) "
                "failed=(\\S+) note=(\\S*)"));
        const auto m = re.match(text);
        if (!m.hasMatch())
            return r;
        r.seconds = m.captured(1).toDouble();
        r.peakKiB = m.captured(2).toLongLong();
        r.longestGapMs = m.captured(3).toDouble();
        r.written = m.captured(4).toInt();
        r.failed = m.captured(5).toInt();
        r.note = m.captured(6);
        return r;
    }
};

int countPngs(const QString &dir)
{
    return int(QDir(dir).entryList({QStringLiteral("*.png")}, QDir::Files).size());
}

// ---- the window -----------------------------------------------------------

Result runWindow(const QStringList &files, const QString &outDir, bool resize)
{
    Result result;
    QTemporaryDir settings;
    isolateDesktop(settings.path());

    MainWindow window;
    window.findChild<QCheckBox *>(QStringLiteral("checkBoxAutoOpenDir"))->setChecked(false);
    window.show();
    QApplication::processEvents();
    auto *status = window.findChild<QStatusBar *>(QStringLiteral("statusBar"));

    answerFileDialog(files, {});
    QMetaObject::invokeMethod(&window, "addImages", Qt::QueuedConnection);
    const QString loaded = QStringLiteral("%1 images loaded").arg(files.size());
    if (waitForStatus(status, [&](const QString &m) { return m == loaded; }, 600000).isEmpty()) {
        result.note = QStringLiteral("thumbnails never finished");
        return result;
    }

    window.findChild<QComboBox *>(QStringLiteral("comboBoxSizeSettingMode"))->setCurrentIndex(0);
    window.findChild<QSpinBox *>(QStringLiteral("spinBoxPercent"))->setValue(50);
    window.findChild<QComboBox *>(QStringLiteral("comboBoxFormat"))->setCurrentIndex(4); // PNG
    // Set after opening: opening proposes a folder beside the sources.
    window.findChild<QLineEdit *>(QStringLiteral("lineEditSaveDir"))->setText(outDir);

    const QString finished = resize ? QStringLiteral("Size and format convert finished")
                                    : QStringLiteral("Format convert finished");
    GapMonitor monitor;
    QElapsedTimer clock;
    // Queued, so that the time startConvert() itself holds the GUI thread
    // shows up as a gap.
    monitor.start();
    clock.start();
    QMetaObject::invokeMethod(&window, resize ? "bothConvert" : "formatConvert",
                              Qt::QueuedConnection);
    const QString seen = waitForStatus(
            status, [&](const QString &m) { return m.startsWith(finished); }, 900000);
    result.seconds = clock.nsecsElapsed() / 1e9;
    monitor.stop();
    result.peakKiB = procStatusKiB("VmHWM");
    result.longestGapMs = monitor.longestMs();
    result.written = countPngs(outDir);
    if (seen.isEmpty()) {
        result.note = QStringLiteral("batch never finished");
        result.seconds = -1;
    } else {
        const auto m = QRegularExpression(QStringLiteral("(\\d+) of \\d+ images failed"))
                               .match(seen);
        result.failed = m.hasMatch() ? m.captured(1).toInt() : 0;
    }
    QStringList where;
    for (const auto &g : monitor.worst(3))
        where << QStringLiteral("%1ms@%2s").arg(g.lengthMs, 0, 'f', 0).arg(g.atMs / 1000, 0, 'f', 2);
    if (result.note.isEmpty())
        result.note = where.join(QLatin1Char(','));
    return result;
}

// ---- plain Qt calls on every core ----------------------------------------

Result runPlainQt(const QStringList &files, const QString &outDir, bool resize)
{
    Result result;
    ImageLoader::configureReaders();
    QThreadPool pool;
    pool.setMaxThreadCount(QThread::idealThreadCount());
    std::atomic<int> failed{0};
    QElapsedTimer clock;
    clock.start();
    for (const QString &path : files) {
        const QString target =
                QDir(outDir).absoluteFilePath(QFileInfo(path).completeBaseName() + ".png");
        pool.start([path, target, resize, &failed]() {
            QImage image(path);
            if (resize)
                image = image.scaled(image.width() / 2, image.height() / 2,
                                     Qt::IgnoreAspectRatio, Qt::FastTransformation);
            if (image.isNull() || !image.save(target, "png"))
                ++failed;
        });
    }
    pool.waitForDone();
    result.seconds = clock.nsecsElapsed() / 1e9;
    result.peakKiB = procStatusKiB("VmHWM");
    result.written = countPngs(outDir);
    result.failed = failed;
    return result;
}

// ---- command-line tools ---------------------------------------------------

// Runs the commands, no more than `parallel` at a time. False when one could
// not start or did not exit with 0.
bool runCommands(const QList<QStringList> &commands, int parallel)
{
    bool ok = true;
    int running = 0;
    qsizetype next = 0;
    while (next < commands.size() || running > 0) {
        while (running < parallel && next < commands.size()) {
            const QStringList &cmd = commands.at(next++);
            QList<QByteArray> bytes;
            for (const QString &a : cmd)
                bytes << QFile::encodeName(a);
            std::vector<char *> argv;
            for (QByteArray &b : bytes)
                argv.push_back(b.data());
            argv.push_back(nullptr);
            pid_t pid = 0;
            if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
                ok = false;
                continue;
            }
            ++running;
        }
        if (running == 0)
            break;
        int status = 0;
        if (::wait(&status) > 0) {
            --running;
            if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
                ok = false;
        }
    }
    return ok;
}

Result runTool(const QString &scenario, const QStringList &files, const QString &outDir)
{
    Result result;
    QList<QStringList> commands;
    int parallel = 1;
    const QStringList mogrify{QStringLiteral("mogrify"), QStringLiteral("-path"), outDir,
                              QStringLiteral("-sample"), QStringLiteral("50%"),
                              QStringLiteral("-format"), QStringLiteral("png")};
    if (scenario == QLatin1String("mogrify1")) {
        commands << (QStringList(mogrify) << files);
    } else if (scenario == QLatin1String("mogrify2")) {
        // Alternate files, so that both halves get a share of the big ones.
        QStringList halves[2];
        for (qsizetype i = 0; i < files.size(); ++i)
            halves[i % 2] << files.at(i);
        commands << (QStringList(mogrify) << halves[0]) << (QStringList(mogrify) << halves[1]);
        parallel = 2;
    } else if (scenario == QLatin1String("vips2")) {
        for (const QString &path : files)
            commands << QStringList{QStringLiteral("vips"), QStringLiteral("resize"), path,
                                    QDir(outDir).absoluteFilePath(
                                            QFileInfo(path).completeBaseName() + ".png"),
                                    QStringLiteral("0.5"), QStringLiteral("--kernel"),
                                    QStringLiteral("nearest")};
        parallel = 2;
    } else {
        result.note = QStringLiteral("unknown scenario");
        return result;
    }
    QElapsedTimer clock;
    clock.start();
    const bool ok = runCommands(commands, parallel);
    result.seconds = clock.nsecsElapsed() / 1e9;
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    result.peakKiB = usage.ru_maxrss;
    result.written = countPngs(outDir);
    result.failed = int(files.size()) - result.written;
    if (!ok)
        result.note = QStringLiteral("a tool process failed");
    return result;
}

int runOne(const QString &scenario, const QString &listFile, const QString &outDir)
{
    QFile list(listFile);
    if (!list.open(QIODevice::ReadOnly | QIODevice::Text))
        return 2;
    const QStringList files =
            QString::fromUtf8(list.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QDir().mkpath(outDir);
    Result r;
    if (scenario == QLatin1String("window-both"))
        r = runWindow(files, outDir, true);
    else if (scenario == QLatin1String("window-format"))
        r = runWindow(files, outDir, false);
    else if (scenario == QLatin1String("qt-both"))
        r = runPlainQt(files, outDir, true);
    else if (scenario == QLatin1String("qt-format"))
        r = runPlainQt(files, outDir, false);
    else
        r = runTool(scenario, files, outDir);
    out() << r.line() << "\n";
    out().flush();
    return r.seconds < 0 ? 1 : 0;
}

// ---- the driver -----------------------------------------------------------

bool haveTool(const QString &name)
{
    return !QStandardPaths::findExecutable(name).isEmpty();
}

// Runs one scenario in a fresh process of this program, on an empty folder.
Result spawnRun(const QString &scenario, const QStringList &files, QTemporaryDir &work)
{
    const QString listFile = work.filePath(QStringLiteral("list-%1.txt").arg(files.size()));
    {
        QFile list(listFile);
        if (list.open(QIODevice::WriteOnly | QIODevice::Truncate))
            list.write(files.join(QLatin1Char('\n')).toUtf8());
    }
    const QString outDir = work.filePath(QStringLiteral("out"));
    QDir(outDir).removeRecursively();
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(QCoreApplication::applicationFilePath(),
                {QStringLiteral("--run"), scenario, listFile, outDir});
    child.waitForFinished(-1);
    const QString text = QString::fromUtf8(child.readAllStandardOutput());
    QDir(outDir).removeRecursively();
    Result r = Result::parse(text);
    if (r.seconds < 0 && r.note.isEmpty())
        r.note = QStringLiteral("run failed");
    fprintf(stderr, "  %-14s %4d files: %7.2f s, peak %6.0f MiB, gap %5.0f ms %s\n",
            qPrintable(scenario), int(files.size()), r.seconds, r.peakKiB / 1024.0,
            r.longestGapMs, qPrintable(r.note));
    return r;
}

struct Series
{
    QList<double> seconds, peakMiB, gapMs;
    int failed = 0;
    int missing = 0;
    QStringList notes;

    void add(const Result &r, int expected)
    {
        if (r.seconds < 0) {
            ++missing;
            notes << r.note;
            return;
        }
        seconds << r.seconds;
        peakMiB << r.peakKiB / 1024.0;
        if (r.longestGapMs >= 0)
            gapMs << r.longestGapMs;
        failed += r.failed + qMax(0, expected - r.written - r.failed);
    }
};

QString gapText(const Series &s)
{
    if (s.gapMs.isEmpty())
        return QStringLiteral("–");
    return QStringLiteral("%1 (%2)").arg(fmt(median(s.gapMs), 0),
                                          fmt(*std::max_element(s.gapMs.begin(), s.gapMs.end()), 0));
}

int throughput(const QStringList &files, int distinct, int rounds)
{
    QStringList scenarios{QStringLiteral("window-both"), QStringLiteral("qt-both"),
                          QStringLiteral("window-format"), QStringLiteral("qt-format")};
    if (haveTool(QStringLiteral("mogrify")))
        scenarios << QStringLiteral("mogrify1") << QStringLiteral("mogrify2");
    if (haveTool(QStringLiteral("vips")))
        scenarios << QStringLiteral("vips2");

    QTemporaryDir work;
    QMap<QString, Series> series;
    for (int r = 0; r < rounds; ++r) {
        fprintf(stderr, "round %d of %d\n", r + 1, rounds);
        // Each round starts where the last one ended, so that no scenario
        // always runs on the coolest (or hottest) machine.
        for (int i = 0; i < scenarios.size(); ++i) {
            const QString &s = scenarios.at((i + r) % scenarios.size());
            series[s].add(spawnRun(s, files, work), int(files.size()));
        }
    }

    const double n = files.size();
    const double qtBoth = median(series[QStringLiteral("qt-both")].seconds);
    const double qtFormat = median(series[QStringLiteral("qt-format")].seconds);
    const double mogrify1 = median(series[QStringLiteral("mogrify1")].seconds);
    const int cores = QThread::idealThreadCount();

    struct Row
    {
        QString key, label;
        double limit;
    };
    const QList<Row> rows{
            {QStringLiteral("window-both"), QStringLiteral("window, 50 % + PNG (bothConvert)"), qtBoth},
            {QStringLiteral("qt-both"), QStringLiteral("plain Qt, %1 threads, 50 % + PNG").arg(cores), qtBoth},
            {QStringLiteral("mogrify1"), QStringLiteral("mogrify -sample 50% -format png, 1 process"), qtBoth},
            {QStringLiteral("mogrify2"), QStringLiteral("mogrify -sample 50% -format png, 2 processes"), qtBoth},
            {QStringLiteral("vips2"), QStringLiteral("vips resize 0.5 --kernel nearest to PNG, 2 processes"), qtBoth},
            {QStringLiteral("window-format"), QStringLiteral("window, format only to PNG (formatConvert)"), qtFormat},
            {QStringLiteral("qt-format"), QStringLiteral("plain Qt, %1 threads, format only to PNG").arg(cores), qtFormat},
    };

    QTextStream &o = out();
    o << "### Batch: " << files.size() << " photos (" << distinct << " distinct), " << cores
      << " cores, median of " << rounds << " interleaved rounds\n\n";
    o << "| run | seconds | images/s | vs plain Qt | peak RSS MiB | longest GUI block ms, median (worst) | failed |\n";
    o << "| --- | ---: | ---: | ---: | ---: | ---: | ---: |\n";
    for (const Row &row : rows) {
        if (!series.contains(row.key))
            continue;
        const Series &s = series[row.key];
        if (s.seconds.isEmpty()) {
            o << "| " << row.label << " | did not finish (" << s.notes.join(", ") << ") | | | | | |\n";
            continue;
        }
        const double t = median(s.seconds);
        o << "| " << row.label << " | " << fmt(t) << " | " << fmt(n / t) << " | "
          << fmt(row.limit / t) << " | " << fmt(median(s.peakMiB), 0) << " | " << gapText(s)
          << " | " << s.failed << " |\n";
    }
    o << "\nvs plain Qt = plain-Qt seconds / run seconds (1.00 = the practical limit, higher is faster). "
         "Peak RSS of tools is that of their largest process.\n\n";

    const Series &wb = series[QStringLiteral("window-both")];
    const Series &wf = series[QStringLiteral("window-format")];
    auto worstGap = [](const Series &s) {
        return s.gapMs.isEmpty() ? -1.0 : *std::max_element(s.gapMs.begin(), s.gapMs.end());
    };
    const double both = median(wb.seconds);
    const double format = median(wf.seconds);
    o << "| check | measured | target | verdict |\n";
    o << "| --- | ---: | ---: | --- |\n";
    o << "| window 50 % + PNG throughput / plain Qt | " << fmt(qtBoth / both) << " | >= 0.90 | "
      << (qtBoth / both >= 0.9 ? "met" : "**missed**") << " |\n";
    o << "| window format-only throughput / plain Qt | " << fmt(qtFormat / format)
      << " | >= 0.90 | " << (qtFormat / format >= 0.9 ? "met" : "**missed**") << " |\n";
    if (mogrify1 > 0)
        o << "| window 50 % + PNG vs mogrify (1 process), speed-up | " << fmt(mogrify1 / both)
          << " | > 1.00 | " << (mogrify1 / both > 1 ? "met" : "**missed**") << " |\n";
    const double worst = qMax(worstGap(wb), worstGap(wf));
    o << "| longest GUI block during a batch (worst run) | " << fmt(worst, 0) << " ms | <= 50 ms | "
      << (worst >= 0 && worst <= 50 ? "met" : "**missed**") << " |\n\n";
    o.flush();
    return (wb.missing || wf.missing) ? 1 : 0;
}

int memory(const QStringList &photos, int small, int large, int rounds,
           const QStringList &scenarios, const QString &workDir)
{
    const QStringList smallList = repeatedList(photos, small, workDir);
    const QStringList largeList = repeatedList(photos, large, workDir);
    warmPageCache(largeList);
    QTemporaryDir work;
    QMap<QString, Series> smallRuns, largeRuns;
    for (int r = 0; r < rounds; ++r) {
        fprintf(stderr, "memory round %d of %d\n", r + 1, rounds);
        for (const QString &s : scenarios) {
            // Alternate which size goes first.
            if (r % 2 == 0) {
                smallRuns[s].add(spawnRun(s, smallList, work), small);
                largeRuns[s].add(spawnRun(s, largeList, work), large);
            } else {
                largeRuns[s].add(spawnRun(s, largeList, work), large);
                smallRuns[s].add(spawnRun(s, smallList, work), small);
            }
        }
    }
    QTextStream &o = out();
    o << "### Memory: peak RSS of the whole window process, " << small << " vs " << large
      << " photos (" << photos.size() << " distinct), median of " << rounds << " rounds\n\n";
    o << "| run | peak RSS MiB, " << small << " | peak RSS MiB, " << large << " | ratio | target | "
      << "images/s, " << small << " | images/s, " << large << " | longest GUI block ms, "
      << large << " | verdict |\n";
    o << "| --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: | --- |\n";
    bool allRan = true;
    for (const QString &s : scenarios) {
        const Series &a = smallRuns[s];
        const Series &b = largeRuns[s];
        if (a.seconds.isEmpty() || b.seconds.isEmpty()) {
            o << "| " << s << " | did not finish | | | | | | | |\n";
            allRan = false;
            continue;
        }
        const double ratio = median(b.peakMiB) / median(a.peakMiB);
        o << "| " << s << " | " << fmt(median(a.peakMiB), 0) << " | " << fmt(median(b.peakMiB), 0)
          << " | " << fmt(ratio) << " | <= 1.50 | " << fmt(small / median(a.seconds)) << " | "
          << fmt(large / median(b.seconds)) << " | " << gapText(b) << " | "
          << (ratio <= 1.5 ? "met" : "**missed**") << " |\n";
    }
    o << "\n";
    o.flush();
    return allRan ? 0 : 1;
}

} // namespace

int main(int argc, char *argv[])
{
    useOffscreenPlatform();
    QApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);

    if (args.value(0) == QLatin1String("--run")) {
        if (args.size() < 4) {
            fprintf(stderr, "usage: bench_batch --run SCENARIO LISTFILE OUTDIR\n");
            return 2;
        }
        return runOne(args.at(1), args.at(2), args.at(3));
    }

    auto takeOption = [&args](const QString &name, const QString &fallback) {
        const int at = int(args.indexOf(name));
        if (at < 0 || at + 1 >= args.size())
            return fallback;
        const QString value = args.at(at + 1);
        args.remove(at, 2);
        return value;
    };
    const bool memoryMode = args.removeAll(QStringLiteral("--memory")) > 0;
    const int rounds = qMax(1, takeOption(QStringLiteral("--rounds"), memoryMode ? "2" : "3").toInt());
    const QStringList scenarios = takeOption(QStringLiteral("--scenarios"),
                                             QStringLiteral("window-both"))
                                          .split(QLatin1Char(','), Qt::SkipEmptyParts);
    if (args.isEmpty()) {
        fprintf(stderr,
                "usage: bench_batch CORPUS_DIR [N] [--rounds R]\n"
                "       bench_batch CORPUS_DIR --memory [SMALL=20] [LARGE=200] [--rounds R]"
                " [--scenarios window-both,window-format]\n");
        return 2;
    }
    const QStringList photos = corpusPhotos(args.at(0));
    if (photos.isEmpty()) {
        fprintf(stderr, "bench_batch: no JPEG photos in %s\n", qPrintable(args.at(0)));
        return 1;
    }
    QTemporaryDir work;
    if (memoryMode) {
        const int small = args.size() > 1 ? args.at(1).toInt() : 20;
        const int large = args.size() > 2 ? args.at(2).toInt() : 200;
        return memory(photos, small, large, rounds, scenarios, work.filePath(QStringLiteral("files")));
    }
    const int count = args.size() > 1 ? args.at(1).toInt() : int(photos.size());
    const QStringList files = repeatedList(photos, count, work.filePath(QStringLiteral("files")));
    warmPageCache(files);
    return throughput(files, int(photos.size()), rounds);
}
