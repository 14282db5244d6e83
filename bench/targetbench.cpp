#include "targetbench.h"

#include "benchsupport.h"
#include "perceptual.h"

#include "conversion/batchrunner.h"
#include "decode/imageloader.h"
#include "encode/outputformat.h"
#include "hostile/windowdriver.h"
#include "ui/mainwindow.h"

#include <QCheckBox>
#include <QElapsedTimer>
#include <QProcess>
#include <QSpinBox>
#include <QTemporaryDir>

#include <cmath>

namespace Bench {

namespace {

struct Target
{
    QString item;   // the Format tab's
    QString suffix; // of the results
    bool lossless = false;
    // The library's own tool at the same settings: arguments for source
    // and result; empty for the reference.
    QString tool;
    std::function<QStringList(const QString &, const QString &)> arguments;
};

struct Run
{
    QList<double> seconds; // per photo, one a round
    qint64 bytes = 0;
    double distance = 0; // mean over the photos
};

QString nativeText(const QString &item, int quality)
{
    return QString::number(OutputFormat::of(item).native(quality), 'f', 2);
}

// The results of one format through the window: "Format Convert" of every
// photo, one image in flight. Seconds per photo, as the window reports
// the batch over.
double throughWindow(const QStringList &photos, const Target &target, const QString &outDir)
{
    MainWindow w;
    w.show();
    Hostile::WindowDriver d(&w);
    w.openImages(photos);
    if (waitForStatus(d.status, [](const QString &m) { return m.endsWith(QLatin1String("images loaded")); },
                      600000)
                .isEmpty())
        return -1;
    d.format->setCurrentIndex(d.format->findText(target.item));
    w.findChild<QSpinBox *>(QStringLiteral("spinBoxQuality"))->setValue(75);
    w.findChild<QCheckBox *>(QStringLiteral("checkBoxLossless"))->setChecked(target.lossless);
    d.autoOpen->setChecked(false);
    d.saveDir->setText(outDir);
    w.findChild<BatchRunner *>()->setMaxInFlight(1);
    QElapsedTimer clock;
    clock.start();
    d.startCommand(Hostile::FormatCommand);
    const QString done = waitForStatus(
            d.status, [](const QString &m) { return m.startsWith(QLatin1String("Format convert finished")); },
            3600000);
    const double seconds = double(clock.nsecsElapsed()) / 1e9 / photos.size();
    if (done.isEmpty() || done.contains(QLatin1String("failed"))) {
        qWarning().noquote() << target.item << "through the window:" << done;
        return -1;
    }
    return seconds;
}

double throughTool(const QStringList &photos, const Target &target, const QString &outDir)
{
    QDir().mkpath(outDir);
    QElapsedTimer clock;
    clock.start();
    for (const QString &photo : photos) {
        const QString result = outDir + u'/' + QFileInfo(photo).completeBaseName() + u'.' + target.suffix;
        QProcess process;
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.setStandardOutputFile(QProcess::nullDevice());
        process.start(target.tool, target.arguments(photo, result));
        if (!process.waitForFinished(-1) || process.exitCode() != 0) {
            qWarning().noquote() << target.tool << "failed on" << photo;
            return -1;
        }
    }
    return double(clock.nsecsElapsed()) / 1e9 / photos.size();
}

// The bytes of the results in outDir and their mean distance to the photos.
void measure(const QList<QImage> &sources, const QStringList &photos, const QString &suffix,
             const QString &outDir, Run *run)
{
    run->bytes = 0;
    run->distance = 0;
    for (qsizetype i = 0; i < photos.size(); ++i) {
        const QString result = outDir + u'/' + QFileInfo(photos.at(i)).completeBaseName() + u'.' + suffix;
        run->bytes += QFileInfo(result).size();
        run->distance += butteraugli(sources.at(i), ImageLoader::read(result)) / double(photos.size());
    }
}

// Copies of the photos with every metadata block removed (exiftool
// -all=; the pictures' bytes stay as they are), in dir/bare. The tools
// differ from Pictavo in what they keep (cjxl -j 0 keeps no EXIF, cwebp
// copies the JPEG's blocks as they stand, Pictavo writes them anew), so
// bytes against a tool are only like with like on sources that carry none.
QStringList bareCopies(const QStringList &photos, const QString &dir)
{
    QDir().mkpath(dir);
    QStringList copies;
    for (const QString &photo : photos) {
        const QString copy = dir + u'/' + QFileInfo(photo).fileName();
        QProcess process;
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(QStringLiteral("exiftool"), {"-q", "-all=", "-o", copy, photo});
        if (!process.waitForFinished(-1) || process.exitCode() != 0 || !QFileInfo::exists(copy)) {
            qWarning().noquote() << "exiftool -all= failed on" << photo;
            return {};
        }
        copies << copy;
    }
    return copies;
}

QList<Target> allTargets(const QString &threads)
{
    return {
        {QStringLiteral("JPG"), QStringLiteral("JPG"), false, QString(), {}},
        {QStringLiteral("WebP"), QStringLiteral("webp"), false, QStringLiteral("cwebp"),
         [](const QString &in, const QString &out) {
             return QStringList{"-quiet", "-q", nativeText("WebP", 75), "-m", "6", "-sns", "25", "-mt",
                                "-metadata", "all", in, "-o", out};
         }},
        {QStringLiteral("AVIF"), QStringLiteral("avif"), false, QStringLiteral("heif-enc"),
         [threads](const QString &in, const QString &out) {
             return QStringList{"-A", "-q", QString::number(std::lround(OutputFormat::of("AVIF").native(75))),
                                "-p", "threads=" + threads, in, "-o", out};
         }},
        {QStringLiteral("JPEG XL"), QStringLiteral("jxl"), false, QStringLiteral("cjxl"),
         [threads](const QString &in, const QString &out) {
             return QStringList{in, out, "--quiet", "-j", "0", "-d", nativeText("JPEG XL", 75),
                                "-e", "7", "--num_threads=" + threads};
         }},
        {QStringLiteral("JPEG XL"), QStringLiteral("jxl"), true, QStringLiteral("cjxl"),
         [threads](const QString &in, const QString &out) {
             return QStringList{in, out, "--quiet", "-j", "1", "-e", "7", "--num_threads=" + threads};
         }},
        {QStringLiteral("HEIC"), QStringLiteral("heic"), false, QStringLiteral("heif-enc"),
         [threads](const QString &in, const QString &out) {
             return QStringList{"-q", QString::number(std::lround(OutputFormat::of("HEIC").native(75))),
                                "-p", "x265:pools=" + threads, "-p", "x265:frame-threads=1", in,
                                "-o", out};
         }},
    };
}

// One target's runs: Pictavo on the photos as given (metadata kept, as a
// user's files are), and Pictavo and the tool on the bare copies.
struct Runs
{
    Run kept, bare, tool;
};

QString nameOf(const Target &target)
{
    return target.item + (target.lossless ? QStringLiteral(" (JPEG without loss)") : QString());
}

void printKept(const QList<Target> &targets, const QList<Runs> &runs, qint64 photoBytes)
{
    const Run &jpeg = runs.first().kept;
    out() << "The photos as given, metadata kept (Pictavo writes EXIF, XMP and the profile anew):\n\n"
          << "| Target | KiB (all photos) | bytes vs JPEG q75 | bytes vs source | butteraugli |\n"
          << "|---|---:|---:|---:|---:|\n";
    for (qsizetype t = 0; t < targets.size(); ++t) {
        const Run &mine = runs.at(t).kept;
        out() << "| " << nameOf(targets.at(t)) << " | " << fmt(double(mine.bytes) / 1024, 0) << " | "
              << fmt(double(mine.bytes) / double(jpeg.bytes), 3) << " | "
              << fmt(double(mine.bytes) / double(photoBytes), 3) << " | " << fmt(mine.distance, 2) << " |\n";
    }
    out() << "\n";
}

void printBare(const QList<Target> &targets, const QList<Runs> &runs)
{
    const Run &jpeg = runs.first().bare;
    out() << "Against the tools, both on copies of the photos without any metadata (exiftool -all=), "
             "so that neither side writes any:\n\n"
          << "| Target | Pictavo s/photo | tool s/photo | time ratio | KiB (all photos) | bytes vs JPEG q75 "
             "| bytes vs tool | butteraugli Pictavo | butteraugli tool | Tool |\n"
          << "|---|---:|---:|---:|---:|---:|---:|---:|---:|---|\n";
    for (qsizetype t = 0; t < targets.size(); ++t) {
        const Target &target = targets.at(t);
        const Run &mine = runs.at(t).bare;
        const Run &tool = runs.at(t).tool;
        const bool hasTool = !target.tool.isEmpty();
        const auto toolText = [&](const QString &text) { return hasTool ? text : QStringLiteral("–"); };
        out() << "| " << nameOf(target) << " | " << fmt(median(mine.seconds), 2) << " | "
              << toolText(fmt(median(tool.seconds), 2)) << " | "
              << toolText(fmt(median(mine.seconds) / median(tool.seconds), 2)) << " | "
              << fmt(double(mine.bytes) / 1024, 0) << " | " << fmt(double(mine.bytes) / double(jpeg.bytes), 3)
              << " | " << toolText(fmt(double(mine.bytes) / double(tool.bytes), 3)) << " | "
              << fmt(mine.distance, 2) << " | " << toolText(fmt(tool.distance, 2)) << " | "
              << (hasTool ? "`" + target.tool + ' ' + target.arguments("IN", "OUT").join(u' ') + "`"
                          : QStringLiteral("Qt's JPEG writer at 75 (the reference)"))
              << " |\n";
    }
    out() << "\n";
}

} // namespace

int runTargets(const QStringList &photos, int rounds, const QStringList &only)
{
    QTemporaryDir dir;
    isolateDesktop(dir.filePath(QStringLiteral("settings")));
    const QString threads = QString::number(qMax(1, QThread::idealThreadCount()));
    QList<Target> targets = allTargets(threads);
    if (!only.isEmpty()) {
        targets.removeIf([&](const Target &t) { return t.item != QLatin1String("JPG") && !only.contains(t.item); });
    }
    const QStringList bare = bareCopies(photos, dir.filePath(QStringLiteral("bare")));
    if (bare.isEmpty())
        return 1;
    QList<QImage> sources;
    for (const QString &photo : photos)
        sources << ImageLoader::read(photo);

    // Seconds are the bare runs', each round; the photos as given are
    // converted once, for their bytes.
    QList<Runs> runs(targets.size());
    for (int round = 0; round < rounds; ++round) {
        for (qsizetype t = 0; t < targets.size(); ++t) {
            const Target &target = targets.at(t);
            const QString base = dir.filePath(QStringLiteral("r%1-t%2").arg(round).arg(t));
            if (round == 0) {
                if (throughWindow(photos, target, base + "-kept") < 0)
                    return 1;
                measure(sources, photos, target.suffix, base + "-kept", &runs[t].kept);
            }
            const double mine = throughWindow(bare, target, base + "-pictavo");
            if (mine < 0)
                return 1;
            runs[t].bare.seconds << mine;
            if (round == 0)
                measure(sources, photos, target.suffix, base + "-pictavo", &runs[t].bare);
            if (target.tool.isEmpty())
                continue;
            const double tool = throughTool(bare, target, base + "-tool");
            if (tool < 0)
                return 1;
            runs[t].tool.seconds << tool;
            if (round == 0)
                measure(sources, photos, target.suffix, base + "-tool", &runs[t].tool);
        }
    }

    qint64 photoBytes = 0;
    for (const QString &photo : photos)
        photoBytes += QFileInfo(photo).size();
    out() << "#### New targets through the window and pictavo-helper: " << photos.size()
          << " photos, Format Convert at quality 75, one image in flight (its encoder on " << threads
          << " threads), median of " << rounds << " rounds; the tools on " << threads << " threads too\n\n";
    printKept(targets, runs, photoBytes);
    printBare(targets, runs);
    return 0;
}

} // namespace Bench
