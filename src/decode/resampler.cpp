#include "decode/resampler.h"

#include "base/imagelimits.h"

#include <QColorSpace>
#include <QtMath>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <type_traits>
#include <vector>

namespace {

// Weights in 1/16384ths: a sum that stays within 32 bits for 16-bit
// samples, and steps fine enough that 8-bit results come out as libvips'.
constexpr int weightBits = 14;
constexpr int weightOne = 1 << weightBits;
constexpr double lobes = 3;

double lanczos(double x)
{
    x = std::abs(x);
    if (x < 1e-9)
        return 1;
    if (x >= lobes)
        return 0;
    const double px = M_PI * x;
    return lobes * std::sin(px) * std::sin(px / lobes) / (px * px);
}

// For each output line of one direction: the first input line it reads and
// its weights, all lines the same count (taps) apart in weights.
struct Taps
{
    int taps = 0;
    std::vector<int> first;
    std::vector<int32_t> weights;
};

Taps tapsFor(int in, int out)
{
    const double scale = double(in) / out;
    // Shrinking widens the kernel to the output's pixel; enlarging keeps
    // it at the input's.
    const double stretch = std::max(1.0, scale);
    const double support = lobes * stretch;
    Taps taps;
    taps.taps = std::min(in, int(std::ceil(2 * support)) + 1);
    taps.first.resize(size_t(out));
    taps.weights.assign(size_t(out) * size_t(taps.taps), 0);
    std::vector<double> exact(size_t(taps.taps));
    for (int o = 0; o < out; ++o) {
        // Pixel centres of the output, in input pixels.
        const double centre = (o + 0.5) * scale - 0.5;
        int first = int(std::floor(centre - support)) + 1;
        first = std::clamp(first, 0, in - taps.taps);
        taps.first[size_t(o)] = first;
        std::fill(exact.begin(), exact.end(), 0.0);
        double sum = 0;
        // Lines past either edge read the edge line (as libvips extends
        // by copying): their weight goes to it.
        const int from = int(std::floor(centre - support)) + 1;
        const int to = int(std::floor(centre + support));
        for (int i = from; i <= to; ++i) {
            const double w = lanczos((i - centre) / stretch);
            const int at = std::clamp(i, 0, in - 1) - first;
            if (at >= 0 && at < taps.taps)
                exact[size_t(at)] += w;
            sum += w;
        }
        int32_t *weights = &taps.weights[size_t(o) * size_t(taps.taps)];
        int total = 0;
        int largest = 0;
        for (int t = 0; t < taps.taps; ++t) {
            weights[t] = int32_t(std::lround(exact[size_t(t)] / sum * weightOne));
            total += weights[t];
            if (weights[t] > weights[largest])
                largest = t;
        }
        // Rounded weights that miss one by a step would tint flat areas.
        weights[largest] += weightOne - total;
    }
    return taps;
}

template <typename T>
T clampSample(int64_t sum)
{
    const int64_t value = (sum + weightOne / 2) >> weightBits;
    return T(std::clamp<int64_t>(value, 0, std::numeric_limits<T>::max()));
}

// Down the columns: each output row is a weighted sum of input rows, all
// samples of a row at once.
template <typename T, typename Sum>
void verticalPass(const QImage &in, QImage &out, int samplesPerRow, const Taps &taps)
{
    std::vector<Sum> sums(static_cast<size_t>(samplesPerRow));
    for (int y = 0; y < out.height(); ++y) {
        std::fill(sums.begin(), sums.end(), Sum(0));
        const int32_t *weights = &taps.weights[size_t(y) * size_t(taps.taps)];
        for (int t = 0; t < taps.taps; ++t) {
            const Sum weight = weights[t];
            if (weight == 0)
                continue;
            const T *row = reinterpret_cast<const T *>(in.constScanLine(taps.first[size_t(y)] + t));
            for (int s = 0; s < samplesPerRow; ++s)
                sums[size_t(s)] += weight * Sum(row[s]);
        }
        T *row = reinterpret_cast<T *>(out.scanLine(y));
        for (int s = 0; s < samplesPerRow; ++s)
            row[s] = clampSample<T>(sums[size_t(s)]);
    }
}

// Along the rows, a pixel of channels samples at a time. With alpha (the
// last sample of four) a premultiplied colour never exceeds its alpha.
template <typename T, typename Sum, int channels>
void horizontalPass(const QImage &in, QImage &out, const Taps &taps, bool alpha)
{
    for (int y = 0; y < out.height(); ++y) {
        const T *source = reinterpret_cast<const T *>(in.constScanLine(y));
        T *row = reinterpret_cast<T *>(out.scanLine(y));
        for (int x = 0; x < out.width(); ++x) {
            Sum sums[channels] = {};
            const int32_t *weights = &taps.weights[size_t(x) * size_t(taps.taps)];
            const T *pixel = source + size_t(taps.first[size_t(x)]) * channels;
            for (int t = 0; t < taps.taps; ++t) {
                for (int c = 0; c < channels; ++c)
                    sums[c] += Sum(weights[t]) * Sum(pixel[t * channels + c]);
            }
            T *target = row + size_t(x) * channels;
            for (int c = 0; c < channels; ++c)
                target[c] = clampSample<T>(sums[c]);
            if (alpha && channels == 4) {
                // Qt's premultiplied layouts keep alpha in the highest
                // byte of a 32-bit pixel (little-endian: the fourth) and
                // in the fourth sample of a 64-bit one.
                for (int c = 0; c < 3; ++c)
                    target[c] = std::min(target[c], target[3]);
            }
        }
    }
}

// The layout the passes work in: 8 or 16 bits a sample, one sample (grey)
// or four (colour, alpha premultiplied).
QImage::Format workFormat(const QImage &image)
{
    switch (image.format()) {
    case QImage::Format_Grayscale8:
    case QImage::Format_Grayscale16:
    case QImage::Format_RGB32:
    case QImage::Format_ARGB32_Premultiplied:
    case QImage::Format_RGBX64:
    case QImage::Format_RGBA64_Premultiplied:
        return image.format();
    default:
        break;
    }
    const bool deep = image.depth() > 32 || image.format() == QImage::Format_RGB30
            || image.format() == QImage::Format_BGR30 || image.format() == QImage::Format_A2RGB30_Premultiplied
            || image.format() == QImage::Format_A2BGR30_Premultiplied;
    if (deep)
        return image.hasAlphaChannel() ? QImage::Format_RGBA64_Premultiplied : QImage::Format_RGBX64;
    return image.hasAlphaChannel() ? QImage::Format_ARGB32_Premultiplied : QImage::Format_RGB32;
}

template <typename T, typename Sum>
bool filter(const QImage &in, QImage &out, int channels, bool alpha)
{
    const Taps down = tapsFor(in.height(), out.height());
    const Taps across = tapsFor(in.width(), out.width());
    QImage middle(in.width(), out.height(), in.format());
    if (middle.isNull())
        return false;
    verticalPass<T, Sum>(in, middle, in.width() * channels, down);
    if (channels == 1)
        horizontalPass<T, Sum, 1>(middle, out, across, false);
    else
        horizontalPass<T, Sum, 4>(middle, out, across, alpha);
    return true;
}

} // namespace

QImage Resampler::lanczos3(const QImage &image, const QSize &size)
{
    if (image.isNull() || size.isEmpty())
        return QImage();
    if (image.size() == size)
        return image;
    return ImageLimits::orNull(
            [&]() {
                const QImage::Format format = workFormat(image);
                const QImage in = image.format() == format ? image : image.convertToFormat(format);
                QImage out(size, format);
                if (in.isNull() || out.isNull())
                    return QImage();
                const bool grey = format == QImage::Format_Grayscale8 || format == QImage::Format_Grayscale16;
                const bool deep = format == QImage::Format_Grayscale16 || format == QImage::Format_RGBX64
                        || format == QImage::Format_RGBA64_Premultiplied;
                const bool alpha = in.hasAlphaChannel();
                const bool done = deep ? filter<uint16_t, int64_t>(in, out, grey ? 1 : 4, alpha)
                                       : filter<uint8_t, int32_t>(in, out, grey ? 1 : 4, alpha);
                if (!done)
                    return QImage();
                out.setColorSpace(image.colorSpace());
                out.setDotsPerMeterX(image.dotsPerMeterX());
                out.setDotsPerMeterY(image.dotsPerMeterY());
                return out;
            },
            nullptr);
}

qint64 Resampler::workBytes(const QSize &from, const QSize &to)
{
    // A converted copy of the input and the picture between the passes
    // (8-bit pictures; deep ones are rare and take twice).
    return ImageLimits::plus(ImageLimits::bytesFor(from),
                             ImageLimits::bytesFor(QSize(from.width(), to.height())));
}
