// What keeping a photo's metadata costs: "50 % + PNG" and "50 % + JPG"
// batches of the corpus photos as packaged, and of copies that carry a
// camera's EXIF (with a thumbnail), XMP and IPTC besides, converted the way
// the window's workers and writers do it (ConversionJob::run, in the
// helpers) on every core, rounds interleaved. Also what a CMYK JPEG costs
// against the same photo in RGB, converted to JPG the same way.
//
//   bench_encode CORPUS_DIR [N=all photos] [--rounds R=5]

#include "benchsupport.h"

#include "cms/colorconverter.h"
#include "base/imagelimits.h"
#include "conversion/conversionjob.h"
#include "metadata/photometadata.h"

#include <QImageReader>
#include <QTemporaryDir>
#include <QThreadPool>

#include <exiv2/exiv2.hpp>
#include <lcms2.h>

#include <atomic>

#include <jpeglib.h>
#include <sys/resource.h>

using namespace Bench;

namespace {

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec
            + usage.ru_stime.tv_usec / 1e6;
}

// A copy of the photo with what a camera and a photo library write.
bool writeWithExif(const QString &source, const QString &target)
{
    QByteArray bytes = TestSupport::fileBytes(source);
    const QImage image(source);
    if (image.isNull())
        return false;
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
        exif["Exif.Photo.ExposureTime"] = Exiv2::URational(1, 250);
        exif["Exif.Photo.FNumber"] = Exiv2::URational(56, 10);
        exif["Exif.Photo.ISOSpeedRatings"] = uint16_t(200);
        exif["Exif.Photo.PixelXDimension"] = uint32_t(image.width());
        exif["Exif.Photo.PixelYDimension"] = uint32_t(image.height());
        exif["Exif.GPSInfo.GPSLatitudeRef"] = "N";
        exif["Exif.GPSInfo.GPSLongitudeRef"] = "W";
        QByteArray thumbnail;
        QBuffer buffer(&thumbnail);
        buffer.open(QIODevice::WriteOnly);
        image.scaled(160, 120, Qt::KeepAspectRatio).save(&buffer, "jpeg", 80);
        Exiv2::ExifThumb(exif).setJpegThumbnail(
                reinterpret_cast<const Exiv2::byte *>(thumbnail.constData()), long(thumbnail.size()));
        file->xmpData()["Xmp.xmp.Rating"] = "4";
        file->xmpData()["Xmp.dc.creator"] = "A. Photographer";
        file->iptcData()["Iptc.Application2.City"] = "Brest";
        file->iptcData()["Iptc.Application2.Keywords"] = "harbour";
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

// The photo as print work delivers it: inverted YCCK with an Adobe marker,
// separated through the standard CMYK profile.
bool writeCmyk(const QString &source, const QString &target)
{
    const QImage image = QImage(source).convertToFormat(QImage::Format_RGB32);
    if (image.isNull())
        return false;
    const QByteArray icc = ColorConverter::defaultCmykProfile();
    cmsHPROFILE srgb = cmsCreate_sRGBProfile();
    cmsHPROFILE cmyk = cmsOpenProfileFromMem(icc.constData(), cmsUInt32Number(icc.size()));
    cmsHTRANSFORM transform = cmsCreateTransform(srgb, TYPE_BGRA_8, cmyk, TYPE_CMYK_8_REV,
                                                 INTENT_PERCEPTUAL, 0);
    FILE *file = fopen(QFile::encodeName(target).constData(), "wb");
    if (!transform || !file)
        return false;
    jpeg_compress_struct info;
    jpeg_error_mgr errors;
    info.err = jpeg_std_error(&errors);
    jpeg_create_compress(&info);
    jpeg_stdio_dest(&info, file);
    info.image_width = JDIMENSION(image.width());
    info.image_height = JDIMENSION(image.height());
    info.input_components = 4;
    info.in_color_space = JCS_CMYK;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, 90, TRUE);
    jpeg_set_colorspace(&info, JCS_YCCK);
    jpeg_start_compress(&info, TRUE);
    std::vector<JSAMPLE> row(size_t(image.width()) * 4);
    while (info.next_scanline < info.image_height) {
        cmsDoTransform(transform, image.constScanLine(int(info.next_scanline)), row.data(),
                       cmsUInt32Number(image.width()));
        JSAMPROW rows = row.data();
        jpeg_write_scanlines(&info, &rows, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    fclose(file);
    cmsDeleteTransform(transform);
    cmsCloseProfile(cmyk);
    cmsCloseProfile(srgb);
    return true;
}

struct Timing
{
    double seconds = 0;
    double cpuSeconds = 0;
    int failed = 0;
};

// Every file read at percent of its size (100: as it is) and written as
// format, on every core.
Timing batch(const QStringList &files, const QString &format, const QString &outDir,
             int percent = 50)
{
    QDir(outDir).removeRecursively();
    QDir().mkpath(outDir);
    QThreadPool pool;
    pool.setMaxThreadCount(QThread::idealThreadCount());
    std::atomic<int> failed{0};
    QElapsedTimer clock;
    const double cpuBefore = cpuSeconds();
    clock.start();
    for (const QString &path : files) {
        pool.start([&, path]() {
            ConversionJob job(path,
                              percent == 100 ? ConvertMode::FormatConvert : ConvertMode::BothConvert,
                              QSize(), percent == 100 ? 0 : percent, format, Qt::IgnoreAspectRatio);
            if (!job.run(ConversionJob::Target(outDir)).written())
                ++failed;
        });
    }
    pool.waitForDone();
    return {clock.nsecsElapsed() / 1e9, cpuSeconds() - cpuBefore, failed};
}

// Source megapixels of the files.
double megapixelsOf(const QStringList &files)
{
    double megapixels = 0;
    for (const QString &path : files) {
        const QSize size = QImageReader(path).size();
        megapixels += size.width() * double(size.height()) / 1e6;
    }
    return megapixels;
}

} // namespace

int main(int argc, char **argv)
{
    useOffscreenPlatform();
    QApplication app(argc, argv);
    if (!useShippedHelper("bench_encode"))
        return 1;
    QStringList args = app.arguments().mid(1);
    int rounds = 5;
    if (const qsizetype at = args.indexOf(QStringLiteral("--rounds")); at >= 0 && at + 1 < args.size()) {
        rounds = args.at(at + 1).toInt();
        args.remove(at, 2);
    }
    if (args.isEmpty()) {
        fprintf(stderr, "usage: bench_encode CORPUS_DIR [N] [--rounds R]\n");
        return 2;
    }
    ImageLimits::configureProcess();
    PhotoMetadata::initLibrary(); // before this program's own use of exiv2
    QStringList photos = corpusPhotos(args.at(0));
    if (args.size() > 1)
        photos = photos.mid(0, args.at(1).toInt());

    QTemporaryDir work;
    QDir().mkpath(work.filePath("exif"));
    QDir().mkpath(work.filePath("cmyk"));
    QStringList withExif, plain, cmyk;
    for (const QString &photo : photos) {
        const QString name = QFileInfo(photo).fileName();
        if (writeWithExif(photo, work.filePath("exif/" + name))) {
            withExif << work.filePath("exif/" + name);
            plain << photo;
        }
        if (writeCmyk(photo, work.filePath("cmyk/" + name)))
            cmyk << work.filePath("cmyk/" + name);
    }
    warmPageCache(withExif + cmyk);

    out() << "### Keeping metadata\n\n"
          << withExif.size() << " photos as packaged, and the same with EXIF (and thumbnail), XMP "
          << "and IPTC, " << rounds
          << " interleaved rounds, all cores; medians. Ratio: with / without, within each round.\n\n"
          << "| Batch | without (s) | with (s) | wall ratio | CPU ratio |\n|---|---|---|---|---|\n";
    for (const char *name : {"png", "jpg"}) {
        const QString format = QString::fromLatin1(name);
        QList<double> without, with, wallRatio, cpuRatio;
        for (int r = 0; r < rounds; ++r) {
            Timing t[2];
            for (int i = 0; i < 2; ++i) {
                const bool on = (i + r) % 2 == 1; // alternate which goes first
                t[on] = batch(on ? withExif : plain, format, work.filePath("out"));
                if (t[on].failed)
                    fprintf(stderr, "%d failed\n", t[on].failed);
            }
            without << t[0].seconds;
            with << t[1].seconds;
            wallRatio << t[1].seconds / t[0].seconds;
            cpuRatio << t[1].cpuSeconds / t[0].cpuSeconds;
            fprintf(stderr, "%s round %d: %.2f s / %.2f s\n", qPrintable(format), r + 1,
                    t[1].seconds, t[0].seconds);
        }
        out() << "| 50 % + " << format.toUpper() << " | " << fmt(median(without)) << " | "
              << fmt(median(with)) << " | " << fmt(median(wallRatio), 3) << " | "
              << fmt(median(cpuRatio), 3) << " |\n";
    }

    QList<double> cmykFull, cmykHalf, rgbFull, rgbHalf;
    const double cmykMegapixels = megapixelsOf(cmyk);
    const double rgbMegapixels = megapixelsOf(photos);
    const auto msPerMegapixel = [&](const QStringList &files, int percent, double megapixels) {
        return batch(files, QStringLiteral("jpg"), work.filePath("out"), percent).seconds * 1000
                / megapixels;
    };
    for (int r = 0; r < rounds; ++r) {
        cmykFull << msPerMegapixel(cmyk, 100, cmykMegapixels);
        rgbFull << msPerMegapixel(photos, 100, rgbMegapixels);
        cmykHalf << msPerMegapixel(cmyk, 50, cmykMegapixels);
        rgbHalf << msPerMegapixel(photos, 50, rgbMegapixels);
    }
    out() << "\n| To JPG, all cores (ms per source megapixel) | full size | half size |\n|---|---|---|\n"
          << "| CMYK JPEG (YCCK, Adobe), to sRGB through the profile | " << fmt(median(cmykFull))
          << " | " << fmt(median(cmykHalf)) << " |\n"
          << "| the same photos as RGB JPEG | " << fmt(median(rgbFull)) << " | "
          << fmt(median(rgbHalf)) << " |\n"
          << "\n" << helperNote() << "\n\n";
    out().flush();
    return 0;
}
