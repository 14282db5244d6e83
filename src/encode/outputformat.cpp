#include "encode/outputformat.h"

namespace {

using Point = OutputFormat::QualityPoint;

// Each curve makes one number mean about the same look in every format:
// the encoder's parameter that gives, on photographs at their own size,
// the butteraugli distance JPEG gives at that quality (docs/quality.md;
// bench/bench_quality measures them at 30, 50, 75 and 90). JPEG's own is
// the number itself, as Qt's writer takes it: 75 writes what a plain save
// does.
const QList<Point> jpegCurve{{1, 1}, {100, 100}};
// libwebp's quality, 0 to 100.
const QList<Point> webpCurve{{1, 1}, {30, 33.6}, {50, 73.9}, {75, 88.3}, {90, 97.7}, {100, 100}};
// libheif's quality for aom (0 to 100, onto AV1's quantizer).
const QList<Point> avifCurve{{1, 1}, {30, 38}, {50, 53}, {75, 77}, {90, 92}, {100, 100}};
// libheif's quality for x265 (0 to 100, onto HEVC's quantizer).
const QList<Point> heicCurve{{1, 1}, {30, 26}, {50, 35}, {75, 45}, {90, 58}, {100, 100}};
// libjxl's distance (0 lossless, 1 visually lossless, 25 the most).
const QList<Point> jxlCurve{{1, 25}, {30, 11.4}, {50, 6.51}, {75, 2.74}, {90, 0.97}, {100, 0.1}};

// WebP stores each side in 14 bits.
constexpr int webpMaxSide = 16383;
// AV1 codes a frame's width and height in 16 bits; libheif 1.15 makes
// no grid of several frames when it encodes.
constexpr int av1MaxSide = 65536;
// HEVC's largest level holds 8192 x 4320 pictures; x265 takes up to
// 16384 a side.
constexpr int hevcMaxSide = 16384;

} // namespace

const QList<OutputFormat> &OutputFormat::all()
{
    using Writer = OutputFormat::Writer;
    using Alpha = OutputFormat::Alpha;
    using Lossless = OutputFormat::Lossless;
    static const QList<OutputFormat> rows{
            // name, suffix, writer, alpha, profile, metadata, bits, lossless, curve, max side
            {"BMP", "BMP", Writer::Qt, Alpha::None, false, false, 8, Lossless::Always, {}, 0},
            {"JPG", "JPG", Writer::Qt, Alpha::None, true, true, 8, Lossless::Never, jpegCurve, 0},
            {"JPEG", "JPEG", Writer::Qt, Alpha::None, true, true, 8, Lossless::Never, jpegCurve, 0},
            {"PNG", "png", Writer::Png, Alpha::Full, true, true, 16, Lossless::Always, {}, 0},
            {"PPM", "PPM", Writer::Qt, Alpha::None, false, false, 8, Lossless::Always, {}, 0},
            {"TIFF", "TIFF", Writer::Qt, Alpha::Full, true, true, 16, Lossless::Always, {}, 0},
            {"XBM", "XBM", Writer::Qt, Alpha::None, false, false, 1, Lossless::Always, {}, 0},
            {"XPM", "XPM", Writer::Qt, Alpha::OnOff, false, false, 8, Lossless::Always, {}, 0},
            {"WebP", "webp", Writer::WebP, Alpha::Full, true, true, 8, Lossless::Optional,
             webpCurve, webpMaxSide},
            {"AVIF", "avif", Writer::HeifAv1, Alpha::Full, true, true, 8, Lossless::Optional,
             avifCurve, av1MaxSide},
            {"JPEG XL", "jxl", Writer::JpegXl, Alpha::Full, true, true, 8, Lossless::Optional,
             jxlCurve, 0},
            {"HEIC", "heic", Writer::HeifHevc, Alpha::Full, true, true, 8, Lossless::Never,
             heicCurve, hevcMaxSide},
            // Only as a source's own suffix.
            {"TIF", "TIF", Writer::Qt, Alpha::Full, true, true, 16, Lossless::Always, {}, 0},
            {"PGM", "PGM", Writer::Qt, Alpha::None, false, false, 8, Lossless::Always, {}, 0},
            {"PBM", "PBM", Writer::Qt, Alpha::None, false, false, 1, Lossless::Always, {}, 0},
            {"HEIF", "HEIF", Writer::HeifHevc, Alpha::Full, true, true, 8, Lossless::Never,
             heicCurve, hevcMaxSide},
    };
    return rows;
}

const QList<OutputFormat> &OutputFormat::offered()
{
    static const QList<OutputFormat> rows = all().first(12);
    return rows;
}

OutputFormat OutputFormat::of(const QString &name)
{
    for (const OutputFormat &row : all()) {
        if (row.name.compare(name, Qt::CaseInsensitive) == 0
            || row.suffix.compare(name, Qt::CaseInsensitive) == 0)
            return row;
    }
    return {name.toUpper(), name, Writer::Qt, Alpha::Full, true, false, 8, Lossless::Always, {}, 0};
}

double OutputFormat::native(int quality) const
{
    if (curve.isEmpty())
        return quality;
    const int q = qBound(1, quality, 100);
    for (qsizetype i = 1; i < curve.size(); ++i) {
        const Point &low = curve.at(i - 1);
        const Point &high = curve.at(i);
        if (q <= high.quality) {
            const double t = double(q - low.quality) / double(high.quality - low.quality);
            return low.native + t * (high.native - low.native);
        }
    }
    return curve.last().native;
}

QString OutputFormat::sizeProblem(const QSize &size) const
{
    if (maxSide > 0 && (size.width() > maxSide || size.height() > maxSide)) {
        return tr("%1 files hold at most %2 pixels a side and this picture is %3 × %4: "
                  "choose a smaller size or another format")
                .arg(name)
                .arg(maxSide)
                .arg(size.width())
                .arg(size.height());
    }
    return QString();
}
