// Calibrates the Format tab's quality: for each number, the parameter of
// each encoder (libwebp's quality, libheif's for aom and x265, libjxl's
// distance) whose results are as far from the photos, by butteraugli, as
// JPEG's at that number. Measured as bench_formats --targets measures:
// the photos at their own size as our readers give them, encoded by the
// helper's encoders with the helper's settings on two threads, read back
// through our readers; the distance is the mean over the photos, the bytes
// their sum. --side N fits the photos into N pixels first (quicker, but a
// scaled photo is not the photo: the points move). Prints the curves as
// markdown and as the rows of src/encode/outputformat.cpp.
//
//   bench_quality PHOTO.jpg... [--side N] [--qualities 30,50,75,90]
//                 [--formats WebP,AVIF,HEIC,JXL]

#include "benchsupport.h"
#include "perceptual.h"

#include "decode/imageloader.h"
#include "encode/heifencoder.h"
#include "encode/jpegxlencoder.h"
#include "encode/outputformat.h"
#include "encode/webpencoder.h"

#include <QBuffer>
#include <QImageWriter>
#include <QMap>
#include <QTemporaryDir>

#include <cmath>
#include <functional>

using namespace Bench;

namespace {

using Encode = std::function<QByteArray(const QImage &, double)>;

struct Target
{
    QString name; // the format table's
    QString suffix;
    // The searched parameter runs from low to high, high looking best;
    // native() turns it into the encoder's.
    double low, high;
    bool integral; // the encoder takes whole numbers only
    std::function<double(double)> native;
    Encode encode;
};

QTemporaryDir *scratch = nullptr;

// The bytes read back through our readers, as a user's file would be.
QImage decoded(const QByteArray &bytes, const QString &suffix)
{
    const QString path = scratch->filePath(QStringLiteral("probe.") + suffix);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        return QImage();
    file.close();
    return ImageLoader::read(path);
}

struct Point
{
    double distance = 0; // mean over the photos
    double bytes = 0;    // all photos'
};

Point measure(const QList<QImage> &photos, const QString &suffix, const Encode &encode, double parameter)
{
    Point p;
    for (const QImage &photo : photos) {
        const QByteArray bytes = encode(photo, parameter);
        p.distance += butteraugli(photo, decoded(bytes, suffix)) / double(photos.size());
        p.bytes += double(bytes.size());
    }
    return p;
}

// One format's measurements so far, by searched parameter: each serves
// every quality's search.
class Search
{
public:
    Search(const Target &t, const QList<QImage> &photos) : t(t), photos(photos) {}

    // The parameter at which the distance is `wanted`: secant steps
    // between the nearest measurements either side, from the format
    // table's present point `start`; at most `steps` measurements, done
    // within 1 %. Whole-number parameters end on the better-looking side.
    double find(double wanted, double start, int steps, Point *at)
    {
        double p = snap(start);
        for (int i = 0; i < steps; ++i) {
            const Point m = probe(p);
            if (std::abs(m.distance - wanted) <= 0.01 * wanted)
                return finish(p, m, at);
            const double next = snap(guess(wanted, p, m));
            if (cache.contains(next))
                break; // whole numbers either side: nothing left between
            p = next;
        }
        return bestBelow(wanted, at);
    }

private:
    double snap(double p) const
    {
        p = qBound(t.low, p, t.high);
        return t.integral ? std::round(p) : std::round(p * 100) / 100;
    }

    Point probe(double p)
    {
        if (!cache.contains(p)) {
            cache.insert(p, measure(photos, t.suffix, t.encode, p));
            fprintf(stderr, "  %s %.2f: distance %.3f, %.0f bytes\n", qPrintable(t.name), t.native(p),
                    cache[p].distance, cache[p].bytes);
        }
        return cache[p];
    }

    // Between the nearest measurements either side of `wanted`, linearly;
    // with one side only, a step of a tenth of the range toward it.
    double guess(double wanted, double p, const Point &m) const
    {
        const double step = (t.high - t.low) / 10;
        auto above = cache.cend(), below = cache.cend(); // distance above / at most wanted
        for (auto i = cache.cbegin(); i != cache.cend(); ++i) {
            if (i.value().distance > wanted)
                above = i; // the highest parameter still too far
            else if (below == cache.cend())
                below = i; // the lowest one near enough
        }
        if (above == cache.cend())
            return p - step;
        if (below == cache.cend())
            return p + step;
        const double t0 = (above.value().distance - wanted)
                          / (above.value().distance - below.value().distance);
        double next = above.key() + t0 * (below.key() - above.key());
        if (t.integral && std::abs(next - p) < 1)
            next = m.distance > wanted ? p + 1 : p - 1;
        return next;
    }

    double finish(double p, const Point &m, Point *at) const
    {
        *at = m;
        return t.native(p);
    }

    // The lowest measured parameter at or below the wanted distance.
    double bestBelow(double wanted, Point *at) const
    {
        for (auto i = cache.cbegin(); i != cache.cend(); ++i) {
            if (i.value().distance <= wanted)
                return finish(i.key(), i.value(), at);
        }
        return finish(cache.lastKey(), cache.last(), at);
    }

    const Target &t;
    const QList<QImage> &photos;
    QMap<double, Point> cache;
};

QByteArray jpeg(const QImage &image, double q)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    // As the helper writes it.
    QImageWriter writer(&buffer, "jpg");
    writer.setOptimizedWrite(true);
    writer.setQuality(int(q));
    writer.write(image);
    return bytes;
}

QList<Target> targets(const EncodeOptions &options)
{
    const auto same = [](double p) { return p; };
    return {
        {QStringLiteral("WebP"), QStringLiteral("webp"), 0, 100, false, same,
         [=](const QImage &image, double q) { return WebpEncoder::encode(image, q, options, {}, nullptr); }},
        {QStringLiteral("AVIF"), QStringLiteral("avif"), 0, 100, true, same,
         [=](const QImage &image, double q) {
             return HeifEncoder::encode(image, QStringLiteral("avif"), q, options, {}, nullptr);
         }},
        {QStringLiteral("HEIC"), QStringLiteral("heic"), 0, 100, true, same,
         [=](const QImage &image, double q) {
             return HeifEncoder::encode(image, QStringLiteral("heic"), q, options, {}, nullptr);
         }},
        // Searched as 25 - distance, so that higher looks better here too.
        {QStringLiteral("JPEG XL"), QStringLiteral("jxl"), 0, 24.9, false,
         [](double p) { return 25 - p; },
         [=](const QImage &image, double q) {
             return JpegXlEncoder::encode(image, 25 - q, options, {}, nullptr);
         }},
    };
}

QString option(QStringList *args, const QString &name, const QString &otherwise)
{
    const int at = int(args->indexOf(name));
    if (at < 0)
        return otherwise;
    const QString value = args->value(at + 1);
    args->remove(at, qMin(2, int(args->size()) - at));
    return value;
}

QList<QImage> readPhotos(const QStringList &paths, int side)
{
    QList<QImage> photos;
    for (const QString &path : paths) {
        QImage photo = ImageLoader::read(path);
        if (photo.isNull())
            continue;
        if (side > 0 && (photo.width() > side || photo.height() > side))
            photo = photo.scaled(side, side, Qt::KeepAspectRatio, Qt::SmoothTransformation);
        photos << photo;
    }
    return photos;
}

} // namespace

int main(int argc, char **argv)
{
    useOffscreenPlatform();
    QApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    const int side = option(&args, QStringLiteral("--side"), QStringLiteral("0")).toInt();
    QList<int> qualities;
    for (const QString &q : option(&args, QStringLiteral("--qualities"), QStringLiteral("30,50,75,90")).split(u','))
        qualities << q.toInt();
    const QStringList formats = option(&args, QStringLiteral("--formats"), QString()).split(u',', Qt::SkipEmptyParts);
    QTemporaryDir dir;
    scratch = &dir;
    const QList<QImage> photos = readPhotos(args, side);
    if (photos.isEmpty()) {
        qWarning("usage: bench_quality PHOTO.jpg... [--side N] [--qualities 30,50,75,90] [--formats WebP,AVIF,HEIC,JXL]");
        return 2;
    }
    EncodeOptions options;
    options.threads = 2;
    QList<Target> chosen;
    for (const Target &t : targets(options)) {
        if (formats.isEmpty() || formats.contains(t.name) || formats.contains(t.suffix, Qt::CaseInsensitive))
            chosen << t;
    }
    QList<std::shared_ptr<Search>> searches;
    for (const Target &t : chosen)
        searches << std::make_shared<Search>(t, photos);

    out() << "#### Quality calibration: " << photos.size() << " photos, "
          << (side > 0 ? QStringLiteral("fitted into %1 px").arg(side) : QStringLiteral("at their own size"))
          << ", butteraugli 3-norm (libjxl), mean over the photos; bytes of all photos\n\n"
          << "| Quality | JPEG distance | JPEG bytes |";
    for (const Target &t : chosen)
        out() << " " << t.name << " parameter | distance | bytes vs JPEG |";
    out() << "\n|---:|---:|---:|";
    for (int i = 0; i < chosen.size(); ++i)
        out() << "---:|---:|---:|";
    out() << "\n";
    QHash<QString, QStringList> rows;
    for (const int q : qualities) {
        const Point reference = measure(photos, QStringLiteral("jpg"), jpeg, q);
        fprintf(stderr, "JPEG %d: distance %.3f, %.0f bytes\n", q, reference.distance, reference.bytes);
        out() << "| " << q << " | " << fmt(reference.distance, 2) << " | " << fmt(reference.bytes / 1024, 0)
              << " KiB |";
        for (qsizetype i = 0; i < chosen.size(); ++i) {
            const Target &t = chosen.at(i);
            const double present = OutputFormat::of(t.suffix).native(q);
            const double start = t.name == QLatin1String("JPEG XL") ? 25 - present : present;
            Point at;
            const double native = searches.at(i)->find(reference.distance, start, 5, &at);
            out() << " " << fmt(native, 2) << " | " << fmt(at.distance, 2) << " | "
                  << fmt(at.bytes / reference.bytes, 3) << " |";
            rows[t.name] << QStringLiteral("{%1, %2}").arg(q).arg(native, 0, 'f', t.integral ? 0 : 2);
        }
        out() << "\n";
        out().flush();
    }
    out() << "\n";
    for (const Target &t : chosen)
        out() << t.name << ": " << rows[t.name].join(QStringLiteral(", ")) << "\n";
    return 0;
}
