// Resizing photos, Smooth against Fast and against libvips: seconds per
// photo for the whole job (decode, scale, JPEG written) through the real
// window and pictavo-helper, at 37 % and to a 2048-pixel long edge (never
// enlarged), next to `vips thumbnail` and `vips resize --kernel lanczos3`
// on the same photos, one photo at a time on all their threads. Then how
// far each result is from libvips' lanczos3 at the very same size: mean
// CIE76 delta E, SSIM of the luma, and sharpness (mean luma gradient, as a
// share of the reference's). Rounds are interleaved; medians are printed.
//
//   bench_resize CORPUS [--rounds R=1] [--photos N]
//
// With --filters, the filters alone in this process (no window): each photo
// decoded whole and brought to 37 % by Resampler (the program's), Qt's
// SmoothTransformation and pixman's separable convolution with its
// Lanczos-3 kernel, timed and compared with vips resize --kernel lanczos3.
//
//   bench_resize --filters PHOTO... [--rounds R=3]

#include "benchsupport.h"

#include "base/imagelimits.h"
#include "conversion/convertsettings.h"
#include "decode/imageloader.h"
#include "decode/resampler.h"
#include "hostile/windowdriver.h"
#include "ui/mainwindow.h"

#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QProcess>
#include <QSpinBox>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <cmath>

#include <pixman.h>

using namespace Bench;

namespace {

struct Size
{
    QString name;
    int percent = 0; // or
    int longEdge = 0;
};

// The window's size for a photo, worked out by the window's own rule; vips
// is asked for the same.
QSize targetOf(const Size &size, const QString &photo)
{
    ConvertSettings settings;
    settings.sizeMode = size.percent ? SizeMode::Percent : SizeMode::LongEdge;
    settings.percent = size.percent;
    settings.edge = size.longEdge;
    settings.noEnlarge = true;
    return settings.targetFor(ImageLoader::displaySize(photo));
}

// One batch through the window: "Size Convert" (the photos' own format)
// or, with suffix, "Size and Format Convert" to it. Seconds per photo.
double throughWindow(const QStringList &photos, const Size &size, bool smooth, const QString &format,
                     const QString &outDir)
{
    MainWindow w;
    w.show();
    Hostile::WindowDriver d(&w);
    w.openImages(photos);
    if (waitForStatus(d.status, [](const QString &m) { return m.endsWith(QLatin1String("images loaded")); },
                      600000)
                .isEmpty())
        return -1;
    d.sizeMode->setCurrentIndex(size.percent ? 0 : 2);
    if (size.percent)
        d.percent->setValue(size.percent);
    else
        w.findChild<QSpinBox *>(QStringLiteral("spinBoxEdge"))->setValue(size.longEdge);
    w.findChild<QCheckBox *>(QStringLiteral("checkBoxNoEnlarge"))->setChecked(true);
    w.findChild<QComboBox *>(QStringLiteral("comboBoxScaling"))->setCurrentIndex(smooth ? 1 : 0);
    const int command = format.isEmpty() ? Hostile::SizeCommand : Hostile::BothCommand;
    if (!format.isEmpty())
        d.format->setCurrentIndex(d.format->findText(format));
    d.autoOpen->setChecked(false);
    d.saveDir->setText(outDir);
    QElapsedTimer clock;
    clock.start();
    d.startCommand(command);
    const QString finished = Hostile::WindowDriver::finishedTextOf(command) + QStringLiteral(" finished");
    const QString done = waitForStatus(d.status, [&](const QString &m) { return m.startsWith(finished); },
                                       3600000);
    const double seconds = double(clock.nsecsElapsed()) / 1e9 / photos.size();
    if (done.isEmpty() || done.contains(QLatin1String("failed")) || !servedByHelpers()) {
        qWarning().noquote() << "through the window:" << (done.isEmpty() ? QStringLiteral("never finished") : done);
        return -1;
    }
    return seconds;
}

// vips, one photo at a time: thumbnail (shrinks while it decodes) or resize
// with lanczos3 from the full picture, to the window's size. Seconds per
// photo; the results in outDir with suffix.
double throughVips(const QStringList &photos, const Size &size, bool thumbnail, const QString &suffix,
                   const QString &outDir)
{
    QDir().mkpath(outDir);
    QElapsedTimer clock;
    clock.start();
    for (const QString &photo : photos) {
        const QSize in = ImageLoader::displaySize(photo);
        const QSize to = targetOf(size, photo);
        const QString result = outDir + u'/' + QFileInfo(photo).completeBaseName() + u'.' + suffix;
        QStringList arguments;
        if (thumbnail) {
            arguments = QStringList{QStringLiteral("thumbnail"), photo, result, QString::number(to.width()),
                                    QStringLiteral("--height"), QString::number(to.height()),
                                    QStringLiteral("--size"), QStringLiteral("down")};
        } else {
            // Exactly the window's size: each side's own scale.
            arguments = QStringList{QStringLiteral("resize"), photo, result,
                                    QString::number(double(to.width()) / in.width(), 'g', 17),
                                    QStringLiteral("--vscale"),
                                    QString::number(double(to.height()) / in.height(), 'g', 17),
                                    QStringLiteral("--kernel"), QStringLiteral("lanczos3")};
        }
        QProcess process;
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(QStringLiteral("vips"), arguments);
        if (!process.waitForFinished(-1) || process.exitCode() != 0) {
            qWarning().noquote() << "vips failed on" << photo;
            return -1;
        }
    }
    return double(clock.nsecsElapsed()) / 1e9 / photos.size();
}

// ---- differences -----------------------------------------------------------

void toLab(QRgb c, double *lab)
{
    const auto linear = [](int v) {
        const double s = v / 255.0;
        return s <= 0.04045 ? s / 12.92 : std::pow((s + 0.055) / 1.055, 2.4);
    };
    const double r = linear(qRed(c)), g = linear(qGreen(c)), b = linear(qBlue(c));
    const double xyz[3] = {(0.4124 * r + 0.3576 * g + 0.1805 * b) / 0.95047, 0.2126 * r + 0.7152 * g + 0.0722 * b,
                           (0.0193 * r + 0.1192 * g + 0.9505 * b) / 1.08883};
    double f[3];
    for (int i = 0; i < 3; ++i)
        f[i] = xyz[i] > 0.008856 ? std::cbrt(xyz[i]) : 7.787 * xyz[i] + 16.0 / 116;
    lab[0] = 116 * f[1] - 16;
    lab[1] = 500 * (f[0] - f[1]);
    lab[2] = 200 * (f[1] - f[2]);
}

double meanDeltaE(const QImage &a, const QImage &b)
{
    double sum = 0;
    for (int y = 0; y < a.height(); ++y) {
        const auto *ra = reinterpret_cast<const QRgb *>(a.constScanLine(y));
        const auto *rb = reinterpret_cast<const QRgb *>(b.constScanLine(y));
        for (int x = 0; x < a.width(); ++x) {
            double la[3], lb[3];
            toLab(ra[x], la);
            toLab(rb[x], lb);
            sum += std::sqrt((la[0] - lb[0]) * (la[0] - lb[0]) + (la[1] - lb[1]) * (la[1] - lb[1])
                             + (la[2] - lb[2]) * (la[2] - lb[2]));
        }
    }
    return sum / (double(a.width()) * a.height());
}

// SSIM of the luma over 8 x 8 windows, 4 pixels apart.
double ssim(const QImage &a, const QImage &b)
{
    const QImage ga = a.convertToFormat(QImage::Format_Grayscale8);
    const QImage gb = b.convertToFormat(QImage::Format_Grayscale8);
    const double c1 = 6.5025, c2 = 58.5225;
    double total = 0;
    int windows = 0;
    for (int y = 0; y + 8 <= ga.height(); y += 4) {
        for (int x = 0; x + 8 <= ga.width(); x += 4) {
            double sa = 0, sb = 0, saa = 0, sbb = 0, sab = 0;
            for (int j = 0; j < 8; ++j) {
                const uchar *pa = ga.constScanLine(y + j) + x;
                const uchar *pb = gb.constScanLine(y + j) + x;
                for (int i = 0; i < 8; ++i) {
                    sa += pa[i];
                    sb += pb[i];
                    saa += pa[i] * pa[i];
                    sbb += pb[i] * pb[i];
                    sab += pa[i] * pb[i];
                }
            }
            const double ma = sa / 64, mb = sb / 64;
            const double va = saa / 64 - ma * ma, vb = sbb / 64 - mb * mb, cov = sab / 64 - ma * mb;
            total += (2 * ma * mb + c1) * (2 * cov + c2) / ((ma * ma + mb * mb + c1) * (va + vb + c2));
            ++windows;
        }
    }
    return windows ? total / windows : 1;
}

// Mean luma gradient (|dx| + |dy| of neighbours): how sharp a picture is.
double sharpness(const QImage &image)
{
    const QImage g = image.convertToFormat(QImage::Format_Grayscale8);
    double sum = 0;
    for (int y = 0; y + 1 < g.height(); ++y) {
        const uchar *row = g.constScanLine(y);
        const uchar *below = g.constScanLine(y + 1);
        for (int x = 0; x + 1 < g.width(); ++x)
            sum += std::abs(row[x + 1] - row[x]) + std::abs(below[x] - row[x]);
    }
    return sum / (double(g.width()) * g.height());
}

struct Quality
{
    double deltaE = 0;
    double ssim = 0;
    double sharpness = 0; // a share of the reference's
    int compared = 0;
    int skipped = 0;
};

// Every result in dir against the reference of the same name in refDir.
Quality compare(const QStringList &photos, const QString &dir, const QString &suffix, const QString &refDir)
{
    Quality q;
    for (const QString &photo : photos) {
        const QString base = QFileInfo(photo).completeBaseName();
        // The window names its results with the Format tab's item (".BMP").
        QImage mine(dir + u'/' + base + u'.' + suffix);
        if (mine.isNull())
            mine = QImage(dir + u'/' + base + u'.' + suffix.toUpper());
        mine = mine.convertToFormat(QImage::Format_RGB32);
        const QImage ref = QImage(refDir + u'/' + base + QStringLiteral(".ppm")).convertToFormat(QImage::Format_RGB32);
        if (mine.isNull() || mine.size() != ref.size()) {
            ++q.skipped;
            continue;
        }
        q.deltaE += meanDeltaE(mine, ref);
        q.ssim += ssim(mine, ref);
        q.sharpness += sharpness(mine) / qMax(1e-9, sharpness(ref));
        ++q.compared;
    }
    if (q.compared) {
        q.deltaE /= q.compared;
        q.ssim /= q.compared;
        q.sharpness /= q.compared;
    }
    return q;
}

struct Row
{
    QString name;
    QList<double> seconds;
    Quality quality;
    bool hasQuality = false;
};

QString qualityCells(const Row &row)
{
    if (!row.hasQuality)
        return QStringLiteral("– | – | – |");
    return QStringLiteral("%1 | %2 | %3 |")
            .arg(fmt(row.quality.deltaE, 2), fmt(row.quality.ssim, 4), fmt(row.quality.sharpness, 3));
}

int runSize(const QStringList &photos, const Size &size, int rounds, const QString &work)
{
    Row fast{QStringLiteral("Pictavo, Fast"), {}, {}, false};
    Row smooth{QStringLiteral("Pictavo, Smooth"), {}, {}, false};
    Row thumb{QStringLiteral("`vips thumbnail` (shrinks on load, lanczos3)"), {}, {}, false};
    Row resize{QStringLiteral("`vips resize --kernel lanczos3` (the reference)"), {}, {}, false};
    const QString tag = work + u'/' + (size.percent ? QStringLiteral("p") : QStringLiteral("e"));
    // Not counted: the first batch starts the helpers and warms the caches.
    if (throughWindow(photos, size, false, QString(), tag + QStringLiteral("-warm")) < 0)
        return 1;
    for (int round = 0; round < rounds; ++round) {
        const QString r = tag + QString::number(round);
        // Fast first in even rounds, Smooth first in odd ones.
        const bool fastFirst = round % 2 == 0;
        const double first = throughWindow(photos, size, !fastFirst, QString(), r + QStringLiteral("-a"));
        const double second = throughWindow(photos, size, fastFirst, QString(), r + QStringLiteral("-b"));
        const double f = fastFirst ? first : second;
        const double s = fastFirst ? second : first;
        const double t = throughVips(photos, size, true, QStringLiteral("jpg"), r + QStringLiteral("-thumb"));
        const double v = throughVips(photos, size, false, QStringLiteral("jpg"), r + QStringLiteral("-resize"));
        if (f < 0 || s < 0 || t < 0 || v < 0)
            return 1;
        fast.seconds << f;
        smooth.seconds << s;
        thumb.seconds << t;
        resize.seconds << v;
    }
    // Quality, without JPEG's own loss: BMP from the window, PPM from vips.
    const QString ref = tag + QStringLiteral("-qref");
    if (throughVips(photos, size, false, QStringLiteral("ppm"), ref) < 0
        || throughVips(photos, size, true, QStringLiteral("ppm"), tag + QStringLiteral("-qthumb")) < 0
        || throughWindow(photos, size, false, QStringLiteral("BMP"), tag + QStringLiteral("-qfast")) < 0
        || throughWindow(photos, size, true, QStringLiteral("BMP"), tag + QStringLiteral("-qsmooth")) < 0)
        return 1;
    fast.quality = compare(photos, tag + QStringLiteral("-qfast"), QStringLiteral("bmp"), ref);
    smooth.quality = compare(photos, tag + QStringLiteral("-qsmooth"), QStringLiteral("bmp"), ref);
    thumb.quality = compare(photos, tag + QStringLiteral("-qthumb"), QStringLiteral("ppm"), ref);
    fast.hasQuality = smooth.hasQuality = thumb.hasQuality = true;

    const double fastSeconds = median(fast.seconds);
    out() << "#### " << size.name << ": " << photos.size() << " photos, median of " << rounds << " rounds\n\n"
          << "| run | s/photo | vs Fast | mean ΔE76 to lanczos3 | SSIM (luma) | sharpness vs lanczos3 |\n"
          << "|---|---:|---:|---:|---:|---:|\n";
    for (const Row *row : {&fast, &smooth, &thumb, &resize}) {
        const double seconds = median(row->seconds);
        out() << "| " << row->name << " | " << fmt(seconds, 3) << " | " << fmt(seconds / fastSeconds, 2) << " | "
              << (row == &resize ? QStringLiteral("0 | 1 | 1 |") : qualityCells(*row)) << "\n";
    }
    out() << "\nSmooth / Fast, whole job: **" << fmt(median(smooth.seconds) / fastSeconds, 2)
          << "** (target <= 1.30). Compared at the same size: " << smooth.quality.compared << " photos ("
          << smooth.quality.skipped << " of another size left out; vips thumbnail: "
          << thumb.quality.compared << ", " << thumb.quality.skipped << " left out).\n\n";
    return 0;
}

// ---- the filters alone --------------------------------------------------

// pixman's separable convolution: Lanczos-3 sampling over impulse
// reconstruction, 4 bits of subpixel phase, edges padded (as cairo asks
// for a downscale).
QImage pixmanLanczos3(const QImage &source, const QSize &to)
{
    QImage in = source.convertToFormat(QImage::Format_RGB32);
    QImage out(to, QImage::Format_RGB32);
    const double sx = double(in.width()) / to.width();
    const double sy = double(in.height()) / to.height();
    int count = 0;
    pixman_fixed_t *params = pixman_filter_create_separable_convolution(
            &count, pixman_double_to_fixed(sx), pixman_double_to_fixed(sy), PIXMAN_KERNEL_IMPULSE,
            PIXMAN_KERNEL_IMPULSE, PIXMAN_KERNEL_LANCZOS3, PIXMAN_KERNEL_LANCZOS3, 4, 4);
    pixman_image_t *src = pixman_image_create_bits(PIXMAN_x8r8g8b8, in.width(), in.height(),
                                                   reinterpret_cast<uint32_t *>(in.bits()), int(in.bytesPerLine()));
    pixman_image_t *dst = pixman_image_create_bits(PIXMAN_x8r8g8b8, to.width(), to.height(),
                                                   reinterpret_cast<uint32_t *>(out.bits()), int(out.bytesPerLine()));
    pixman_transform_t transform;
    pixman_transform_init_scale(&transform, pixman_double_to_fixed(sx), pixman_double_to_fixed(sy));
    pixman_image_set_transform(src, &transform);
    pixman_image_set_filter(src, PIXMAN_FILTER_SEPARABLE_CONVOLUTION, params, count);
    pixman_image_set_repeat(src, PIXMAN_REPEAT_PAD);
    pixman_image_composite32(PIXMAN_OP_SRC, src, nullptr, dst, 0, 0, 0, 0, 0, 0, to.width(), to.height());
    pixman_image_unref(src);
    pixman_image_unref(dst);
    free(params);
    return out;
}

int runFilters(const QStringList &photos, int rounds)
{
    QTemporaryDir dir;
    const Size at37{QStringLiteral("37 %"), 37, 0};
    struct Filter
    {
        QString name;
        std::function<QImage(const QImage &, const QSize &)> scale;
        QList<double> ms;
        double deltaE = 0, ssim = 0, sharp = 0;
    };
    QList<Filter> filters{
        {QStringLiteral("Resampler (Pictavo), AVX2 where the processor has it"),
         [](const QImage &i, const QSize &s) { return Resampler::lanczos3(i, s); }, {}},
        {QStringLiteral("Resampler (Pictavo), portable loops"),
         [](const QImage &i, const QSize &s) { return Resampler::lanczos3(i, s, ResamplerRows::Code::Portable); }, {}},
        {QStringLiteral("Qt `SmoothTransformation`"),
         [](const QImage &i, const QSize &s) { return i.scaled(s, Qt::IgnoreAspectRatio, Qt::SmoothTransformation); }, {}},
        {QStringLiteral("pixman separable convolution, Lanczos-3"), pixmanLanczos3, {}},
    };
    int compared = 0;
    for (const QString &photo : photos) {
        const QImage image = QImage(photo).convertToFormat(QImage::Format_RGB32);
        const QSize to = targetOf(at37, photo);
        if (image.isNull() || image.size() != ImageLoader::displaySize(photo))
            continue;
        const QString ref = dir.filePath(QFileInfo(photo).completeBaseName() + QStringLiteral(".ppm"));
        QProcess vips;
        vips.start(QStringLiteral("vips"), {QStringLiteral("resize"), photo, ref,
                                            QString::number(double(to.width()) / image.width(), 'g', 17),
                                            QStringLiteral("--vscale"),
                                            QString::number(double(to.height()) / image.height(), 'g', 17),
                                            QStringLiteral("--kernel"), QStringLiteral("lanczos3")});
        if (!vips.waitForFinished(-1) || vips.exitCode() != 0)
            continue;
        const QImage reference = QImage(ref).convertToFormat(QImage::Format_RGB32);
        if (reference.size() != to)
            continue;
        ++compared;
        for (Filter &f : filters) {
            QList<double> times;
            QImage result;
            for (int round = 0; round < rounds; ++round) {
                QElapsedTimer clock;
                clock.start();
                result = f.scale(image, to);
                times << double(clock.nsecsElapsed()) / 1e6;
            }
            f.ms << *std::min_element(times.begin(), times.end());
            result = result.convertToFormat(QImage::Format_RGB32);
            f.deltaE += meanDeltaE(result, reference);
            f.ssim += ssim(result, reference);
            f.sharp += sharpness(result) / qMax(1e-9, sharpness(reference));
        }
    }
    if (!compared)
        return 1;
    out() << "#### The filters alone: " << compared << " photos decoded whole, to 37 %, fastest of " << rounds
          << " runs each, in one process: the filters compared alone, not the program as shipped"
             " (the window and pictavo-helper)\n\n"
          << "| filter | ms per photo, median | mean ΔE76 to vips lanczos3 | SSIM (luma) | sharpness vs lanczos3 |\n"
          << "|---|---:|---:|---:|---:|\n";
    for (const Filter &f : filters)
        out() << "| " << f.name << " | " << fmt(median(f.ms), 1) << " | " << fmt(f.deltaE / compared, 2) << " | "
              << fmt(f.ssim / compared, 4) << " | " << fmt(f.sharp / compared, 3) << " |\n";
    out() << "\nQt's smooth scaling splits a picture over its thread pool; the others run on one thread.\n\n";
    out().flush();
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    useOffscreenPlatform();
    QApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    const bool filtersOnly = args.removeAll(QStringLiteral("--filters")) > 0;
    int rounds = filtersOnly ? 3 : 1;
    int count = -1;
    for (qsizetype i = 0; i + 1 < args.size(); ++i) {
        if (args.at(i) == QLatin1String("--rounds") || args.at(i) == QLatin1String("--photos")) {
            (args.at(i) == QLatin1String("--rounds") ? rounds : count) = qMax(1, args.at(i + 1).toInt());
            args.remove(i, 2);
            --i;
        }
    }
    if (filtersOnly)
        return args.isEmpty() ? 2 : runFilters(args, rounds);
    if (args.size() != 1) {
        fprintf(stderr, "usage: bench_resize CORPUS [--rounds R=1] [--photos N]\n");
        return 2;
    }
    QStringList photos = corpusPhotos(args.at(0));
    if (count > 0)
        photos = photos.mid(0, count);
    if (photos.isEmpty()) {
        fprintf(stderr, "bench_resize: no photos in %s\n", qPrintable(args.at(0)));
        return 2;
    }
    if (QStandardPaths::findExecutable(QStringLiteral("vips")).isEmpty()) {
        fprintf(stderr, "bench_resize: vips is not installed (libvips-tools)\n");
        return 2;
    }
    if (!useShippedHelper("bench_resize"))
        return 1;
    ImageLimits::configureProcess();
    QTemporaryDir work;
    isolateDesktop(work.filePath(QStringLiteral("settings")));
    warmPageCache(photos);
    out() << "### Resizing: Smooth against Fast and libvips\n\n";
    const Size sizes[] = {{QStringLiteral("37 %"), 37, 0},
                          {QStringLiteral("2048 px long edge, never enlarged"), 0, 2048}};
    for (const Size &size : sizes)
        if (runSize(photos, size, rounds, work.path()) != 0)
            return 1;
    out() << helperNote() << " Pictavo: the window's default images in flight, Size Convert to the photos' "
             "own JPEG at the writer's default quality; vips one photo at a time on its own threads, "
             "JPEG at its default Q 75.\n";
    out().flush();
    return 0;
}
