// Makes a stand-in corpus when no photographs can be fetched: JPEGs of
// several megapixels with smooth gradients, shapes and sensor-like noise,
// so that decoding and PNG encoding cost about what they cost on photos
// (a flat image would encode far faster, pure noise far slower). A quarter
// are progressive, as many photos are, since those decode slower.
//
//   bench_makecorpus OUTDIR [COUNT=24]
//   bench_makecorpus --camera FROMDIR OUTDIR
//       copies of the JPEGs in FROMDIR as a camera writes them: EXIF with a
//       preview 160 pixels on its longer side, of the photo's proportions

#include <QBuffer>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QImageWriter>
#include <QPainter>
#include <QRandomGenerator>

#include <exiv2/exiv2.hpp>

#include <cstdio>
#include <memory>

namespace {

QImage makePhoto(const QSize &size, quint32 seed)
{
    QRandomGenerator random(seed);
    QImage image(size, QImage::Format_RGB32);
    QPainter p(&image);
    QLinearGradient sky(0, 0, size.width() * 0.3, size.height());
    sky.setColorAt(0, QColor::fromHsv(int(random.bounded(360)), 120, 230));
    sky.setColorAt(0.6, QColor::fromHsv(int(random.bounded(360)), 90, 160));
    sky.setColorAt(1, QColor::fromHsv(int(random.bounded(360)), 150, 60));
    p.fillRect(image.rect(), sky);
    p.setPen(Qt::NoPen);
    for (int i = 0; i < 40; ++i) {
        const int r = int(random.bounded(size.width() / 6)) + 20;
        QRadialGradient blob(random.bounded(size.width()), random.bounded(size.height()), r);
        const QColor c = QColor::fromHsv(int(random.bounded(360)), 160, 200, 150);
        blob.setColorAt(0, c);
        blob.setColorAt(1, QColor(c.red(), c.green(), c.blue(), 0));
        p.setBrush(blob);
        p.drawEllipse(blob.center(), r, r);
    }
    p.end();
    // Grain of a few levels, like a camera sensor's.
    for (int y = 0; y < size.height(); ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < size.width(); ++x) {
            const int n = int(random.bounded(9)) - 4;
            const QRgb c = line[x];
            line[x] = qRgb(qBound(0, qRed(c) + n, 255), qBound(0, qGreen(c) + n, 255),
                           qBound(0, qBlue(c) + n, 255));
        }
    }
    return image;
}

// A copy of the photo with a camera's EXIF block and preview.
bool writeCameraCopy(const QString &source, const QString &target)
{
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly))
        return false;
    QByteArray bytes = in.readAll();
    const QImage image = QImage::fromData(bytes);
    if (image.isNull())
        return false;
    QByteArray preview;
    QBuffer buffer(&preview);
    buffer.open(QIODevice::WriteOnly);
    image.scaled(160, 160, Qt::KeepAspectRatio, Qt::SmoothTransformation)
            .save(&buffer, "jpeg", 80);
    try {
        std::unique_ptr<Exiv2::Image> file(
                Exiv2::ImageFactory::open(reinterpret_cast<const Exiv2::byte *>(bytes.constData()),
                                          long(bytes.size()))
                        .release());
        file->readMetadata();
        Exiv2::ExifData &exif = file->exifData();
        exif["Exif.Image.Make"] = "Tarnwick Optics";
        exif["Exif.Image.Model"] = "T-100";
        exif["Exif.Image.Orientation"] = uint16_t(1);
        exif["Exif.Photo.DateTimeOriginal"] = "2024:07:14 18:30:00";
        exif["Exif.Photo.PixelXDimension"] = uint32_t(image.width());
        exif["Exif.Photo.PixelYDimension"] = uint32_t(image.height());
        Exiv2::ExifThumb(exif).setJpegThumbnail(
                reinterpret_cast<const Exiv2::byte *>(preview.constData()), long(preview.size()));
        file->writeMetadata();
        Exiv2::BasicIo &io = file->io();
        io.open();
        bytes.resize(qsizetype(io.size()));
        io.read(reinterpret_cast<Exiv2::byte *>(bytes.data()), long(bytes.size()));
    } catch (const Exiv2::AnyError &) {
        return false;
    }
    QFile out(target);
    return out.open(QIODevice::WriteOnly) && out.write(bytes) == bytes.size();
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.size() == 3 && args.at(0) == QLatin1String("--camera")) {
        QDir from(args.at(1));
        if (from.exists(QStringLiteral("photos")))
            from.cd(QStringLiteral("photos"));
        const QString to = args.at(2) + QStringLiteral("/photos");
        QDir().mkpath(to);
        int made = 0;
        for (const QString &name : from.entryList({QStringLiteral("*.jpg"), QStringLiteral("*.JPG")},
                                                  QDir::Files, QDir::Name)) {
            if (writeCameraCopy(from.filePath(name), to + QLatin1Char('/') + name))
                ++made;
            else
                fprintf(stderr, "bench_makecorpus: %s: no camera copy\n", qPrintable(name));
        }
        printf("%d camera photos in %s\n", made, qPrintable(to));
        return made > 0 ? 0 : 1;
    }
    if (args.isEmpty()) {
        fprintf(stderr, "usage: bench_makecorpus OUTDIR [COUNT=24]\n");
        return 2;
    }
    const QString dir = args.at(0);
    const int count = args.size() > 1 ? args.at(1).toInt() : 24;
    QDir().mkpath(dir);
    // Camera and wallpaper sizes from 2 to 24 megapixels, some upright.
    const QList<QSize> sizes{{1920, 1080}, {2560, 1600}, {3264, 2448}, {2448, 3264},
                             {4000, 3000}, {3840, 2160}, {4608, 3456}, {6000, 4000},
                             {5472, 3648}, {3000, 4000}, {2048, 1536}, {4032, 3024}};
    for (int i = 0; i < count; ++i) {
        const QSize size = sizes.at(i % sizes.size());
        const QString path = QDir(dir).absoluteFilePath(
                QStringLiteral("generated-%1.jpg").arg(i + 1, 3, 10, QLatin1Char('0')));
        QImageWriter writer(path, "jpeg");
        writer.setQuality(90);
        writer.setProgressiveScanWrite(i % 4 == 3);
        if (!writer.write(makePhoto(size, quint32(i + 1)))) {
            fprintf(stderr, "bench_makecorpus: %s: %s\n", qPrintable(path),
                    qPrintable(writer.errorString()));
            return 1;
        }
        printf("%s %dx%d\n", qPrintable(path), size.width(), size.height());
    }
    return 0;
}
