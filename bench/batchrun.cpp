#include "batchrun.h"

#include "benchsupport.h"

#include "base/imagelimits.h"
#include "base/workerpriority.h"
#include "decode/imageloader.h"
#include "isolation/helperpool.h"
#include "ui/mainwindow.h"

#include <QCheckBox>
#include <QComboBox>
#include <QImage>
#include <QImageReader>
#include <QLineEdit>
#include <QListWidget>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QThreadPool>

#include <atomic>

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

extern char **environ;

namespace Bench {

namespace {

// CPU seconds (user + system) of this process, or of its waited-for children.
double cpuSeconds(int who)
{
    rusage usage{};
    getrusage(who, &usage);
    return usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec
            + usage.ru_stime.tv_usec / 1e6;
}

// CPU seconds the helper processes the pool holds now have run, by their
// /proc/PID/stat (utime and stime, fields 14 and 15).
double helpersCpuSeconds()
{
    double seconds = 0;
    const double tick = double(::sysconf(_SC_CLK_TCK));
    for (const pid_t pid : HelperPool::instance().processIds()) {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray line = stat.readAll();
        // The fields after the command's name, which may hold spaces.
        const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 12)
            seconds += (fields.at(11).toLongLong() + fields.at(12).toLongLong()) / tick;
    }
    return seconds;
}

// Starts the process's peak resident set afresh (Linux 4.0 and later), so
// that a later VmHWM tells the peak of what came after. False when the
// kernel does not allow it.
bool resetPeakRss()
{
    QFile f(QStringLiteral("/proc/self/clear_refs"));
    return f.open(QIODevice::WriteOnly) && f.write("5") == 1;
}

// Results: the PNGs, or the JPEGs of the JPG runs (the window names them .JPG).
int countResults(const QString &dir)
{
    return int(QDir(dir).entryList({QStringLiteral("*.png"), QStringLiteral("*.jpg")},
                                   QDir::Files)
                       .size());
}

// Bytes of the results countResults() counts.
qint64 resultBytes(const QString &dir)
{
    qint64 total = 0;
    for (const QFileInfo &file : QDir(dir).entryInfoList(
                 {QStringLiteral("*.png"), QStringLiteral("*.jpg")}, QDir::Files))
        total += file.size();
    return total;
}

// The JPG job: 50 % to JPG at the writers' default quality (75).
constexpr int jpgFormatIndex = 2;
constexpr int pngFormatIndex = 4;

// ---- the window -----------------------------------------------------------

Result runWindow(const QStringList &files, const QString &outDir, bool resize, int formatIndex)
{
    Result result;
    QTemporaryDir settings;
    isolateDesktop(settings.path());

    // As main() does before it makes the window.
    ImageLimits::configureProcess();
    MainWindow window;
    window.findChild<QCheckBox *>(QStringLiteral("checkBoxAutoOpenDir"))->setChecked(false);
    window.show();
    QApplication::processEvents();
    auto *status = window.findChild<QStatusBar *>(QStringLiteral("statusBar"));

    TestSupport::answerFileDialog(files);
    QMetaObject::invokeMethod(&window, "addImages", Qt::QueuedConnection);
    const QString loaded = QStringLiteral("%1 images loaded").arg(files.size());
    if (waitForStatus(status, [&](const QString &m) { return m == loaded; }, 600000).isEmpty()) {
        result.note = QStringLiteral("thumbnails never finished");
        return result;
    }

    window.findChild<QComboBox *>(QStringLiteral("comboBoxSizeSettingMode"))->setCurrentIndex(0);
    window.findChild<QSpinBox *>(QStringLiteral("spinBoxPercent"))->setValue(50);
    window.findChild<QComboBox *>(QStringLiteral("comboBoxFormat"))->setCurrentIndex(formatIndex);
    // Set after opening: opening proposes a folder beside the sources.
    window.findChild<QLineEdit *>(QStringLiteral("lineEditSaveDir"))->setText(outDir);

    const QString finished = resize ? QStringLiteral("Size and format convert finished")
                                    : QStringLiteral("Format convert finished");
    if (qEnvironmentVariableIsSet("PICTAVO_BENCH_TRACE")) {
        auto *list = window.findChild<QListWidget *>(QStringLiteral("listWidgetOriginal"));
        for (int i = 0; i < list->count(); ++i)
            fprintf(stderr, "order %d: %s\n", i, qPrintable(list->item(i)->text()));
    }

    result.loadPeakKiB = procStatusKiB("VmHWM");
    result.loadedRssKiB = procStatusKiB("VmRSS");
    const bool peakReset = resetPeakRss();

    GapMonitor monitor;
    QElapsedTimer clock;
    double slotMs = 0;
    const double cpuBefore = cpuSeconds(RUSAGE_SELF) + helpersCpuSeconds();
    // Called from the event loop once the monitor runs, so that the time the
    // slot itself holds the GUI thread shows up as a gap, and separately.
    monitor.start();
    clock.start();
    QTimer::singleShot(0, &window, [&]() {
        QElapsedTimer slotClock;
        slotClock.start();
        QMetaObject::invokeMethod(&window, resize ? "bothConvert" : "formatConvert");
        slotMs = slotClock.nsecsElapsed() / 1e6;
    });
    const QString seen = waitForStatus(
            status, [&](const QString &m) { return m.startsWith(finished); }, 900000);
    result.seconds = clock.nsecsElapsed() / 1e9;
    // The window's and its helpers' (a helper ended meanwhile takes its
    // share with it: rare, and said by a failed image).
    result.cpuSeconds = cpuSeconds(RUSAGE_SELF) + helpersCpuSeconds() - cpuBefore;
    monitor.stop();
    if (peakReset) {
        result.batchPeakKiB = procStatusKiB("VmHWM");
        result.peakKiB = qMax(result.loadPeakKiB, result.batchPeakKiB);
    } else {
        result.peakKiB = procStatusKiB("VmHWM");
    }
    result.longestGapMs = monitor.longestMs();
    result.written = countResults(outDir);
    result.bytes = resultBytes(outDir);
    if (seen.isEmpty()) {
        result.note = QStringLiteral("batch never finished");
        result.seconds = -1;
    } else if (!servedByHelpers()) {
        // Read in this process: not the program as shipped.
        result.note = QStringLiteral("no helper ran: read in-process, not reported");
        result.seconds = -1;
    } else {
        const auto m = QRegularExpression(QStringLiteral("(\\d+) of \\d+ images failed"))
                               .match(seen);
        result.failed = m.hasMatch() ? m.captured(1).toInt() : 0;
    }
    QStringList where;
    for (const auto &g : monitor.worst(3))
        where << QStringLiteral("%1ms(cpu%2)@%3s")
                         .arg(g.lengthMs, 0, 'f', 0)
                         .arg(g.cpuMs, 0, 'f', 0)
                         .arg(g.atMs / 1000, 0, 'f', 2);
    if (result.note.isEmpty())
        result.note = QStringLiteral("helpers, sandbox %1; slot %2ms; gaps %3")
                              .arg(HelperPool::instance().sandboxed() ? "on" : "off")
                              .arg(slotMs, 0, 'f', 0)
                              .arg(where.join(QLatin1Char(',')));
    return result;
}

// ---- plain Qt calls on every core ----------------------------------------

Result runPlainQt(const QStringList &files, const QString &outDir, bool resize, bool jpg)
{
    Result result;
    ImageLimits::configureProcess();
    QThreadPool pool;
    pool.setMaxThreadCount(QThread::idealThreadCount());
    std::atomic<int> failed{0};
    QElapsedTimer clock;
    clock.start();
    const double cpuBefore = cpuSeconds(RUSAGE_SELF);
    for (const QString &path : files) {
        const QString target = QDir(outDir).absoluteFilePath(
                QFileInfo(path).completeBaseName() + (jpg ? ".jpg" : ".png"));
        pool.start([path, target, resize, jpg, &failed]() {
            // At the priority the window's helpers run at, as below.
            WorkerPriority::lowerCurrentThread();
            QImage image;
            if (jpg) {
                // The decoder shrinks while it decodes, as djpeg -scale does.
                QImageReader reader(path);
                reader.setScaledSize(reader.size() / 2);
                image = reader.read();
            } else {
                image = QImage(path);
                if (resize)
                    image = image.scaled(image.width() / 2, image.height() / 2,
                                         Qt::IgnoreAspectRatio, Qt::FastTransformation);
            }
            if (image.isNull() || !image.save(target, jpg ? "jpg" : "png"))
                ++failed;
        });
    }
    pool.waitForDone();
    result.seconds = clock.nsecsElapsed() / 1e9;
    result.cpuSeconds = cpuSeconds(RUSAGE_SELF) - cpuBefore;
    result.peakKiB = procStatusKiB("VmHWM");
    result.written = countResults(outDir);
    result.bytes = resultBytes(outDir);
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
            // A session of each tool's own, as each helper has: the
            // scheduler weighs sessions alike before nice values count.
            posix_spawnattr_t attr;
            posix_spawnattr_init(&attr);
            posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
            pid_t pid = 0;
            const int spawned = posix_spawnp(&pid, argv[0], nullptr, &attr, argv.data(), environ);
            posix_spawnattr_destroy(&attr);
            if (spawned != 0) {
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
    } else if (scenario == QLatin1String("djpeg2")) {
        // libjpeg-turbo's own tools: decode at half size, encode at 75,
        // one pipeline per core.
        for (const QString &path : files)
            commands << QStringList{QStringLiteral("sh"), QStringLiteral("-c"),
                                    QStringLiteral("djpeg -scale 1/2 \"$0\" | cjpeg -quality 75 > \"$1\""),
                                    path,
                                    QDir(outDir).absoluteFilePath(
                                            QFileInfo(path).completeBaseName() + ".jpg")};
        parallel = QThread::idealThreadCount();
    } else if (scenario == QLatin1String("vips2")) {
        // Halved while decoding, as the window does, and written with
        // every filter at zlib's best level: the setting at which vips
        // comes to the window's bytes (its defaults write about 35 % more).
        for (const QString &path : files)
            commands << QStringList{QStringLiteral("vips"), QStringLiteral("copy"),
                                    path + QStringLiteral("[shrink=2]"),
                                    QDir(outDir).absoluteFilePath(
                                            QFileInfo(path).completeBaseName()
                                            + ".png[filter=all,compression=9]")};
        parallel = 2;
    } else {
        result.note = QStringLiteral("unknown scenario");
        return result;
    }
    // The window's helpers run at its workers' priority (nice 10), and so
    // do the tools, spawned from here: other work on a shared machine then
    // weighs the same on every contender.
    WorkerPriority::lowerCurrentThread();
    QElapsedTimer clock;
    clock.start();
    const bool ok = runCommands(commands, parallel);
    result.seconds = clock.nsecsElapsed() / 1e9;
    result.cpuSeconds = cpuSeconds(RUSAGE_CHILDREN);
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    result.peakKiB = usage.ru_maxrss;
    result.written = countResults(outDir);
    result.bytes = resultBytes(outDir);
    result.failed = int(files.size()) - result.written;
    if (!ok)
        result.note = QStringLiteral("a tool process failed");
    return result;
}

} // namespace

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
        r = runWindow(files, outDir, true, pngFormatIndex);
    else if (scenario == QLatin1String("window-format"))
        r = runWindow(files, outDir, false, pngFormatIndex);
    else if (scenario == QLatin1String("window-jpg"))
        r = runWindow(files, outDir, true, jpgFormatIndex);
    else if (scenario == QLatin1String("qt-both"))
        r = runPlainQt(files, outDir, true, false);
    else if (scenario == QLatin1String("qt-format"))
        r = runPlainQt(files, outDir, false, false);
    else if (scenario == QLatin1String("qt-jpg"))
        r = runPlainQt(files, outDir, true, true);
    else
        r = runTool(scenario, files, outDir);
    out() << r.line() << "\n";
    out().flush();
    return r.seconds < 0 ? 1 : 0;
}

} // namespace Bench
