#ifndef BENCHSUPPORT_H
#define BENCHSUPPORT_H

// What the benchmark programs share: the corpus, driving the real window
// (the file dialog through the tests' helpers, the status bar), watching
// the GUI thread, and reading the process's memory figures.

#include "isolation/helperpool.h"
#include "testsupport.h"
#include "urlcatcher.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QStatusBar>
#include <QTextStream>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>

#include <time.h>
#include <unistd.h>

namespace Bench {

inline QTextStream &out()
{
    static QTextStream stream(stdout);
    return stream;
}

// Every benchmark measures the program as a user gets it: whatever reads a
// photo runs in pictavo-helper processes, as in the installed program. The
// helper is $PICTAVO_HELPER when set, else the one built with the
// benchmarks. Call before anything asks for a helper. Says on stdout which
// helper serves the run; false (said on stdout and stderr) when none can
// start: the photos would be read in the benchmark's own process, and
// nothing is reported.
inline bool useShippedHelper(const char *program)
{
    if (qEnvironmentVariableIsEmpty("PICTAVO_HELPER"))
        qputenv("PICTAVO_HELPER", PICTAVO_BENCH_HELPER);
    HelperPool &pool = HelperPool::instance();
    if (!pool.available()) {
        fprintf(stderr, "%s: no helper program at %s: the photos would be read in this process; "
                        "nothing is reported\n",
                program, qPrintable(HelperPool::helperPath()));
        out() << "**" << program << ": not reported: no pictavo-helper at "
              << HelperPool::helperPath() << ", the photos would have been read in-process.**\n\n";
        out().flush();
        return false;
    }
    return true;
}

// After a run: whether helper processes served it (one was started). None:
// the work ran in this process, and its figures are not the program's.
inline bool servedByHelpers()
{
    return !HelperPool::instance().processIds().isEmpty();
}

// The line under a table that says how it was measured.
inline QString helperNote()
{
    return QStringLiteral("Through the shipped path: every photo read, converted and encoded in "
                          "`pictavo-helper` processes (`%1`).")
            .arg(HelperPool::helperPath());
}

// Benchmarks run without a display; a window system would only add noise.
inline void useOffscreenPlatform()
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // The window logs a line per image; formatting it is not what we measure.
    if (qEnvironmentVariableIsEmpty("QT_LOGGING_RULES"))
        qputenv("QT_LOGGING_RULES", "default.debug=false");
}

// The photos of a corpus made by scripts/fetch-corpus.sh: its photos/
// folder, or the folder itself when it has none. Sorted, so that every
// program and every round sees the same order.
inline QStringList corpusPhotos(const QString &corpusDir)
{
    QDir dir(corpusDir);
    if (dir.exists(QStringLiteral("photos")))
        dir.cd(QStringLiteral("photos"));
    const QStringList names = dir.entryList(
            {QStringLiteral("*.jpg"), QStringLiteral("*.jpeg"), QStringLiteral("*.JPG"),
             QStringLiteral("*.JPEG")},
            QDir::Files, QDir::Name);
    QStringList paths;
    for (const QString &name : names)
        paths << dir.absoluteFilePath(name);
    return paths;
}

// Exactly count files, going round the corpus as often as needed. When the
// corpus is too small the repeats are hard links (copies where links fail)
// in workDir under distinct names, so that the window sees count different
// files and writes count different results.
inline QStringList repeatedList(const QStringList &photos, int count, const QString &workDir)
{
    if (photos.isEmpty() || count <= 0)
        return {};
    if (count <= photos.size())
        return photos.mid(0, count);
    QDir().mkpath(workDir);
    QStringList paths;
    for (int i = 0; i < count; ++i) {
        const QString source = photos.at(i % photos.size());
        const QString name = QStringLiteral("r%1_%2")
                                     .arg(i / photos.size(), 2, 10, QLatin1Char('0'))
                                     .arg(QFileInfo(source).fileName());
        const QString target = QDir(workDir).absoluteFilePath(name);
        if (!QFileInfo::exists(target)) {
            const QByteArray from = QFile::encodeName(source);
            const QByteArray to = QFile::encodeName(target);
            if (::link(from.constData(), to.constData()) != 0)
                QFile::copy(source, target);
        }
        paths << target;
    }
    return paths;
}

// Reads every file once, so that the first round does not pay for the disk.
inline void warmPageCache(const QStringList &paths)
{
    for (const QString &path : paths) {
        QFile f(path);
        if (f.open(QIODevice::ReadOnly)) {
            while (!f.read(1 << 20).isEmpty()) {
            }
        }
    }
}

// Keeps the window away from the user's settings, and from opening a file
// browser when a batch ends.
inline void isolateDesktop(const QString &settingsDir)
{
    TestSupport::isolateSettings(settingsDir);
    static UrlCatcher sink;
    QDesktopServices::setUrlHandler(QStringLiteral("file"), &sink, "open");
}

// Runs the event loop until the status bar shows a message that done()
// accepts, or timeoutMs passes. Returns the message, empty on time-out.
inline QString waitForStatus(QStatusBar *bar, std::function<bool(const QString &)> done,
                             int timeoutMs)
{
    QEventLoop loop;
    QString seen;
    auto connection = QObject::connect(bar, &QStatusBar::messageChanged, &loop,
                                       [&](const QString &message) {
                                           if (done(message)) {
                                               seen = message;
                                               loop.quit();
                                           }
                                       });
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    if (!done(bar->currentMessage()))
        loop.exec();
    else
        seen = bar->currentMessage();
    QObject::disconnect(connection);
    return seen;
}

// Measures how long the GUI thread goes without running its event loop: a
// 5 ms timer should fire every 5 ms, and the longest gap between two of its
// shots is the longest the window could not have answered the user.
class GapMonitor : public QObject
{
public:
    struct Gap
    {
        double atMs; // since start()
        double lengthMs;
        // What the GUI thread itself ran meanwhile: about lengthMs when it
        // was busy, far less when it waited (for the CPU, a lock, the disk).
        double cpuMs;
    };

    GapMonitor()
    {
        timer.setTimerType(Qt::PreciseTimer);
        timer.setInterval(5);
        connect(&timer, &QTimer::timeout, this, &GapMonitor::tick);
    }

    void start()
    {
        gaps.clear();
        clock.start();
        last = 0;
        lastCpu = threadCpuMs();
        longest = 0;
        timer.start();
    }

    void stop()
    {
        tick();
        timer.stop();
    }

    double longestMs() const { return longest; }

    int countOver(double ms) const
    {
        return int(std::count_if(gaps.begin(), gaps.end(),
                                 [ms](const Gap &g) { return g.lengthMs > ms; }));
    }

    // The longest few, for telling where they happen.
    QList<Gap> worst(int count) const
    {
        QList<Gap> sorted = gaps;
        std::sort(sorted.begin(), sorted.end(),
                  [](const Gap &a, const Gap &b) { return a.lengthMs > b.lengthMs; });
        return sorted.mid(0, count);
    }

private:
    void tick()
    {
        const double now = clock.nsecsElapsed() / 1e6;
        const double cpu = threadCpuMs();
        longest = std::max(longest, now - last);
        // Only gaps worth a look are kept; a batch has thousands of ticks.
        if (now - last > 15)
            gaps.append({last, now - last, cpu - lastCpu});
        last = now;
        lastCpu = cpu;
    }

    QTimer timer;
    QElapsedTimer clock;
    QList<Gap> gaps;
    static double threadCpuMs()
    {
        timespec ts{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
        return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
    }

    double last = 0;
    double lastCpu = 0;
    double longest = 0;
};

// A field of /proc/self/status in KiB (VmHWM: peak resident set, VmRSS:
// current), or -1.
inline qint64 procStatusKiB(const char *field)
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly | QIODevice::Text))
        return -1;
    const QByteArray prefix = QByteArray(field) + ':';
    for (QByteArray line = f.readLine(); !line.isEmpty(); line = f.readLine()) {
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

inline double median(QList<double> values)
{
    if (values.isEmpty())
        return 0;
    std::sort(values.begin(), values.end());
    const qsizetype n = values.size();
    return n % 2 ? values.at(n / 2) : (values.at(n / 2 - 1) + values.at(n / 2)) / 2;
}

inline QString fmt(double value, int decimals = 2)
{
    return QString::number(value, 'f', decimals);
}

} // namespace Bench

#endif // BENCHSUPPORT_H
