// Phone and camera formats to JPG at 50 %: milliseconds per 12-megapixel
// photo from HEIC, AVIF, JPEG XL and DNG, read and written the way the
// window's workers do it (ConversionJob::run at 50 %),
// next to Debian's own tools doing the same job: heif-convert, djxl or
// dcraw_emu to decode, then vips to halve and write the JPG. One photo at a
// time, rounds interleaved.
//
//   bench_formats PHOTO.jpg [--rounds R=3]
//
// With --targets, the other way: the photos written as WebP, AVIF, JPEG XL
// and HEIC through the window (targetbench.h).
//
//   bench_formats --targets PHOTO.jpg... [--rounds R=1] [--only WebP,AVIF,...]

#include "benchsupport.h"
#include "targetbench.h"

#include "conversion/conversionjob.h"
#include "encode/heifencoder.h"
#include "base/imagelimits.h"
#include "rawfixture.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>

using namespace Bench;

namespace {

bool run(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(program, arguments);
    if (!process.waitForFinished(-1) || process.exitStatus() != QProcess::NormalExit
        || process.exitCode() != 0) {
        qWarning().noquote() << program << arguments.join(u' ') << "failed";
        return false;
    }
    return true;
}

double timed(const std::function<bool()> &job)
{
    QElapsedTimer timer;
    timer.start();
    if (!job())
        return -1;
    return double(timer.nsecsElapsed()) / 1e6;
}

// The result lands in targetDir, named after the source.
bool pictavo(const QString &source, const QString &targetDir)
{
    ConversionJob job(source, ConvertMode::BothConvert, QSize(), 50, QStringLiteral("jpg"),
                      Qt::IgnoreAspectRatio);
    const ConversionResult result = job.run(ConversionJob::Target(targetDir));
    if (result.outcome != ConversionResult::Written) {
        qWarning().noquote() << "pictavo failed on" << source << result.reason;
        return false;
    }
    return true;
}

struct Case
{
    QString name;
    QString source;
    std::function<bool(const QString &source, const QString &work)> tools;
    QString toolsText;
};

} // namespace

int main(int argc, char **argv)
{
    useOffscreenPlatform();
    QApplication app(argc, argv);
    if (!useShippedHelper("bench_formats"))
        return 1;
    QStringList args = app.arguments();
    if (args.contains(QStringLiteral("--targets"))) {
        args.removeAll(QStringLiteral("--targets"));
        const int at = int(args.indexOf(QStringLiteral("--rounds")));
        int targetRounds = 1;
        if (at > 0) {
            targetRounds = args.value(at + 1).toInt();
            args.remove(at, 2);
        }
        QStringList only;
        const int onlyAt = int(args.indexOf(QStringLiteral("--only")));
        if (onlyAt > 0) {
            only = args.value(onlyAt + 1).split(u',', Qt::SkipEmptyParts);
            args.remove(onlyAt, 2);
        }
        ImageLimits::configureProcess();
        return runTargets(args.mid(1), qMax(1, targetRounds), only);
    }
    if (args.size() < 2) {
        qWarning("usage: bench_formats PHOTO.jpg [--rounds R]");
        return 2;
    }
    const int roundsAt = args.indexOf(QStringLiteral("--rounds"));
    const int rounds = roundsAt > 0 ? args.value(roundsAt + 1).toInt() : 3;
    ImageLimits::configureProcess();

    QTemporaryDir dir;
    const QString d = dir.path() + u'/';
    const QImage photo = QImage(args.at(1))
                                 .convertToFormat(QImage::Format_RGB32)
                                 .scaled(4000, 3000, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    if (photo.isNull()) {
        qWarning("cannot read the photo");
        return 1;
    }
    const auto write = [](const QString &path, const QByteArray &bytes) {
        QFile file(path);
        return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
    };
    QString why;
    if (!write(d + "photo.heic", HeifEncoder::encode(photo, QStringLiteral("heic"), 75, EncodeOptions(), FileBlocks(), &why))
        || !write(d + "photo.avif", HeifEncoder::encode(photo, QStringLiteral("avif"), 75, EncodeOptions(), FileBlocks(), &why))
        || !photo.save(d + "photo.png")
        || !run(QStringLiteral("cjxl"), {d + "photo.png", d + "photo.jxl", QStringLiteral("--quiet")})
        || !RawFixture::writeDng(d + "photo.dng", photo, "2024:05:06 07:08:09")) {
        qWarning().noquote() << "cannot make the sources" << why;
        return 1;
    }

    const auto vipsHalf = [](const QString &in, const QString &out) {
        return run(QStringLiteral("vips"), {QStringLiteral("resize"), in, out, QStringLiteral("0.5")});
    };
    const QList<Case> cases = {
        {QStringLiteral("HEIC"), d + "photo.heic",
         [&](const QString &src, const QString &work) {
             return run(QStringLiteral("heif-convert"), {QStringLiteral("-q"), QStringLiteral("95"), src, work + ".jpg"})
                     && vipsHalf(work + ".jpg", work + "-tools.jpg");
         },
         QStringLiteral("`heif-convert -q 95` + `vips resize 0.5`")},
        {QStringLiteral("AVIF"), d + "photo.avif",
         [&](const QString &src, const QString &work) {
             return run(QStringLiteral("heif-convert"), {QStringLiteral("-q"), QStringLiteral("95"), src, work + ".jpg"})
                     && vipsHalf(work + ".jpg", work + "-tools.jpg");
         },
         QStringLiteral("`heif-convert -q 95` + `vips resize 0.5`")},
        {QStringLiteral("JPEG XL"), d + "photo.jxl",
         [&](const QString &src, const QString &work) {
             return run(QStringLiteral("djxl"), {src, work + ".ppm", QStringLiteral("--quiet")})
                     && vipsHalf(work + ".ppm", work + "-tools.jpg");
         },
         QStringLiteral("`djxl` to PPM + `vips resize 0.5`")},
        {QStringLiteral("DNG (RAW)"), d + "photo.dng",
         [&](const QString &src, const QString &work) {
             // Half size from the mosaic already, as Pictavo does.
             QFile::remove(src + ".ppm");
             return run(QStringLiteral("dcraw_emu"), {QStringLiteral("-w"), QStringLiteral("-h"), src})
                     && run(QStringLiteral("vips"), {QStringLiteral("copy"), src + ".ppm", work + "-tools.jpg"});
         },
         QStringLiteral("`dcraw_emu -w -h` + `vips copy` to JPG")},
    };

    QHash<QString, QList<double>> ours, theirs;
    for (int round = 0; round < rounds; ++round) {
        for (const Case &c : cases) {
            const QString work = d + c.name.left(4).trimmed() + QString::number(round);
            ours[c.name].append(timed([&]() { return pictavo(c.source, work + "-pictavo"); }));
            theirs[c.name].append(timed([&]() { return c.tools(c.source, work); }));
        }
    }

    out() << "#### Phone and camera formats to JPG at 50 %: one 12 MP photo (4000 x 3000), median of "
          << rounds << " interleaved rounds, one at a time\n\n"
          << "| Source | Pictavo (ms) | Debian's tools (ms) | Tools |\n|---|---:|---:|---|\n";
    for (const Case &c : cases) {
        out() << "| " << c.name << " | " << fmt(median(ours[c.name]), 0) << " | "
              << fmt(median(theirs[c.name]), 0) << " | " << c.toolsText << " |\n";
    }
    out() << "\n" << helperNote() << "\n\n";
    return 0;
}
