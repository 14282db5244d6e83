// Calibrates the Format tab's quality: for each number, the parameter of
// each encoder (libwebp's quality, libheif's for aom and x265, libjxl's
// distance) whose results are as far from the photos, by butteraugli, as
// JPEG's at that number. The encoders are the ones the helper runs; the
// photos are scaled to fit --side pixels so that a search of several
// encodings per point stays short. Prints the curves as markdown and as
// the rows of src/encode/outputformat.cpp.
//
//   bench_quality PHOTO.jpg... [--side 1024]

#include "benchsupport.h"
#include "perceptual.h"

#include "decode/imageloader.h"
#include "encode/heifencoder.h"
#include "encode/jpegxlencoder.h"
#include "encode/webpencoder.h"

#include <QBuffer>
#include <QColorSpace>
#include <QImageWriter>
#include <QTemporaryDir>

#include <functional>

using namespace Bench;

namespace {

struct Target
{
    QString name;
    QString suffix;
    double low, high; // the parameter's range; high looks best
    std::function<QByteArray(const QImage &, double)> encode;
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
    double distance = 0;
    double bytes = 0;
};

Point measure(const QList<QImage> &photos, const QString &suffix,
              const std::function<QByteArray(const QImage &, double)> &encode, double parameter)
{
    Point p;
    for (const QImage &photo : photos) {
        const QByteArray bytes = encode(photo, parameter);
        p.distance += butteraugli(photo, decoded(bytes, suffix)) / photos.size();
        p.bytes += double(bytes.size()) / photos.size();
    }
    return p;
}

} // namespace

int main(int argc, char **argv)
{
    useOffscreenPlatform();
    QApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    int side = 1024;
    const int sideAt = int(args.indexOf(QStringLiteral("--side")));
    if (sideAt >= 0) {
        side = args.value(sideAt + 1).toInt();
        args.remove(sideAt, 2);
    }
    QTemporaryDir dir;
    scratch = &dir;
    QList<QImage> photos;
    for (const QString &path : args) {
        QImage photo = ImageLoader::read(path);
        if (photo.isNull())
            continue;
        photo = photo.scaled(side, side, Qt::KeepAspectRatio, Qt::SmoothTransformation)
                        .convertToFormat(QImage::Format_RGB32);
        photo.setColorSpace(QColorSpace::SRgb);
        photos << photo;
    }
    if (photos.isEmpty()) {
        qWarning("usage: bench_quality PHOTO.jpg... [--side 1024]");
        return 2;
    }
    EncodeOptions options;
    options.threads = 2;
    const auto jpeg = [](const QImage &image, double q) {
        QByteArray bytes;
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        QImageWriter writer(&buffer, "jpg");
        writer.setOptimizedWrite(true);
        writer.setQuality(int(q));
        writer.write(image);
        return bytes;
    };
    const QList<Target> targets{
        {QStringLiteral("WebP"), QStringLiteral("webp"), 0, 100,
         [&](const QImage &image, double q) {
             return WebpEncoder::encode(image, q, options, {}, nullptr);
         }},
        {QStringLiteral("AVIF"), QStringLiteral("avif"), 0, 100,
         [&](const QImage &image, double q) {
             return HeifEncoder::encode(image, QStringLiteral("avif"), q, options, {}, nullptr);
         }},
        {QStringLiteral("HEIC"), QStringLiteral("heic"), 0, 100,
         [&](const QImage &image, double q) {
             return HeifEncoder::encode(image, QStringLiteral("heic"), q, options, {}, nullptr);
         }},
        // Searched as 25 - distance, so that higher looks better here too.
        {QStringLiteral("JPEG XL"), QStringLiteral("jxl"), 0, 24.9,
         [&](const QImage &image, double q) {
             return JpegXlEncoder::encode(image, 25 - q, options, {}, nullptr);
         }},
    };
    const QList<int> qualities{10, 30, 50, 75, 90, 95};

    out() << "#### Quality calibration: " << photos.size() << " photos fitted into " << side
          << " px, butteraugli 3-norm (libjxl), bisection of each encoder's parameter\n\n"
          << "| Quality | JPEG distance | JPEG bytes |";
    for (const Target &t : targets)
        out() << " " << t.name << " parameter | " << t.name << " bytes vs JPEG |";
    out() << "\n|---:|---:|---:|";
    for (int i = 0; i < targets.size(); ++i)
        out() << "---:|---:|";
    out() << "\n";
    QHash<QString, QStringList> rows;
    for (const int q : qualities) {
        const Point reference = measure(photos, QStringLiteral("jpg"), jpeg, q);
        out() << "| " << q << " | " << fmt(reference.distance, 2) << " | "
              << fmt(reference.bytes / 1024, 0) << " KiB |";
        for (const Target &t : targets) {
            double low = t.low, high = t.high;
            Point at;
            for (int step = 0; step < 7; ++step) {
                const double middle = (low + high) / 2;
                at = measure(photos, t.suffix, t.encode, middle);
                if (at.distance > reference.distance)
                    low = middle;
                else
                    high = middle;
            }
            const double found = (low + high) / 2;
            const double native = t.name == QLatin1String("JPEG XL") ? 25 - found : found;
            out() << " " << fmt(native, 2) << " | " << fmt(at.bytes / reference.bytes, 2) << " |";
            rows[t.name] << QStringLiteral("{%1, %2}").arg(q).arg(native, 0, 'f', 2);
        }
        out() << "\n";
        out().flush();
    }
    out() << "\n";
    for (const Target &t : targets)
        out() << t.name << ": " << rows[t.name].join(QStringLiteral(", ")) << "\n";
    return 0;
}
