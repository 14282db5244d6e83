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
constexpr int weightBits = ResamplerRows::weightBits;
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
// its weights, all lines the same count (taps) apart in weights. The
// weights fit in 16 bits (none is above one or below minus one), as the
// vector code takes them.
struct Taps
{
    int taps = 0;
    std::vector<int> first;
    std::vector<int16_t> weights;
};

// The weights of one output line, exact, by the input line they fall on
// (counted from first); their sum.
double exactWeights(double centre, double stretch, int in, int first, std::vector<double> &exact)
{
    const double support = lobes * stretch;
    std::fill(exact.begin(), exact.end(), 0.0);
    double sum = 0;
    // Lines past either edge read the edge line (as libvips extends by
    // copying): their weight goes to it.
    const int from = int(std::floor(centre - support)) + 1;
    const int to = int(std::floor(centre + support));
    for (int i = from; i <= to; ++i) {
        const double w = lanczos((i - centre) / stretch);
        const int at = std::clamp(i, 0, in - 1) - first;
        if (at >= 0 && at < int(exact.size()))
            exact[size_t(at)] += w;
        sum += w;
    }
    return sum;
}

// multiple: the taps are rounded up to it where the input has room (with
// weights of zero), so that the vector code takes them whole.
Taps tapsFor(int in, int out, int multiple)
{
    const double scale = double(in) / out;
    // Shrinking widens the kernel to the output's pixel; enlarging keeps
    // it at the input's.
    const double stretch = std::max(1.0, scale);
    const double support = lobes * stretch;
    Taps taps;
    const int needed = int(std::ceil(2 * support)) + 1;
    taps.taps = std::min(in, (needed + multiple - 1) / multiple * multiple);
    taps.first.resize(size_t(out));
    taps.weights.assign(size_t(out) * size_t(taps.taps), 0);
    std::vector<double> exact(size_t(taps.taps));
    for (int o = 0; o < out; ++o) {
        // Pixel centres of the output, in input pixels.
        const double centre = (o + 0.5) * scale - 0.5;
        const int first = std::clamp(int(std::floor(centre - support)) + 1, 0, in - taps.taps);
        taps.first[size_t(o)] = first;
        const double sum = exactWeights(centre, stretch, in, first, exact);
        int16_t *weights = &taps.weights[size_t(o) * size_t(taps.taps)];
        int total = 0;
        int largest = 0;
        for (int t = 0; t < taps.taps; ++t) {
            weights[t] = int16_t(std::lround(exact[size_t(t)] / sum * weightOne));
            total += weights[t];
            if (weights[t] > weights[largest])
                largest = t;
        }
        // Rounded weights that miss one by a step would tint flat areas.
        weights[largest] = int16_t(weights[largest] + weightOne - total);
    }
    return taps;
}

template <typename T>
T clampSample(int64_t sum)
{
    const int64_t value = (sum + weightOne / 2) >> weightBits;
    return T(std::clamp<int64_t>(value, 0, std::numeric_limits<T>::max()));
}

// One row down the columns, for the samples the vector code does not take
// (16-bit ones): a weighted sum of input rows, all samples of a row at once.
template <typename T, typename Sum>
void verticalRow(const QImage &in, const Taps &taps, int y, std::vector<Sum> &sums, T *dst)
{
    std::fill(sums.begin(), sums.end(), Sum(0));
    const int16_t *weights = &taps.weights[size_t(y) * size_t(taps.taps)];
    for (int t = 0; t < taps.taps; ++t) {
        const Sum weight = weights[t];
        if (weight == 0)
            continue;
        const T *row = reinterpret_cast<const T *>(in.constScanLine(taps.first[size_t(y)] + t));
        for (size_t s = 0; s < sums.size(); ++s)
            sums[s] += weight * Sum(row[s]);
    }
    for (size_t s = 0; s < sums.size(); ++s)
        dst[s] = clampSample<T>(sums[s]);
}

// One row along the row, a pixel of channels samples at a time. With alpha
// (the last sample of four) a premultiplied colour never exceeds its alpha.
template <typename T, typename Sum, int channels>
void horizontalRow(const T *source, T *row, const Taps &taps, int width, bool alpha)
{
    for (int x = 0; x < width; ++x) {
        Sum sums[channels] = {};
        const int16_t *weights = &taps.weights[size_t(x) * size_t(taps.taps)];
        const T *pixel = source + size_t(taps.first[size_t(x)]) * channels;
        for (int t = 0; t < taps.taps; ++t) {
            for (int c = 0; c < channels; ++c)
                sums[c] += Sum(weights[t]) * Sum(pixel[t * channels + c]);
        }
        T *target = row + size_t(x) * channels;
        for (int c = 0; c < channels; ++c)
            target[c] = clampSample<T>(sums[c]);
        if (alpha && channels == 4) {
            // Qt's 64-bit premultiplied layout keeps alpha in the fourth
            // sample.
            for (int c = 0; c < 3; ++c)
                target[c] = std::min(target[c], target[3]);
        }
    }
}

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

// Both passes, one output row at a time: the rows it needs down the
// columns into one row, then along it into the result. The row between
// stays in the cache, and no picture between the passes is made.
template <typename T, typename Sum>
void filter(const QImage &in, QImage &out, int channels, bool alpha, ResamplerRows::Code code)
{
    constexpr bool narrow = std::is_same_v<T, uint8_t>;
    // Rows pair up down the columns; along the rows, four pixels a step.
    const Taps down = tapsFor(in.height(), out.height(), 2);
    const Taps across = tapsFor(in.width(), out.width(), narrow && channels == 4 ? 4 : 1);
    const int samples = in.width() * channels;
    std::vector<T> middle(static_cast<size_t>(samples));
    std::vector<Sum> sums(narrow ? 0 : size_t(samples));
    std::vector<const uint8_t *> rows(size_t(down.taps));
    for (int y = 0; y < out.height(); ++y) {
        if constexpr (narrow) {
            for (int t = 0; t < down.taps; ++t)
                rows[size_t(t)] = in.constScanLine(down.first[size_t(y)] + t);
            ResamplerRows::vertical(code, rows.data(), &down.weights[size_t(y) * size_t(down.taps)],
                                    down.taps, middle.data(), samples);
        } else {
            verticalRow<T, Sum>(in, down, y, sums, middle.data());
        }
        T *target = reinterpret_cast<T *>(out.scanLine(y));
        if (channels == 1) {
            horizontalRow<T, Sum, 1>(middle.data(), target, across, out.width(), false);
        } else if constexpr (narrow) {
            ResamplerRows::horizontal4(code, middle.data(), across.first.data(), across.weights.data(),
                                       across.taps, target, out.width(), alpha);
        } else {
            horizontalRow<T, Sum, 4>(middle.data(), target, across, out.width(), alpha);
        }
    }
}

} // namespace

QImage Resampler::lanczos3(const QImage &image, const QSize &size, ResamplerRows::Code code)
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
                if (deep)
                    filter<uint16_t, int64_t>(in, out, grey ? 1 : 4, alpha, code);
                else
                    filter<uint8_t, int32_t>(in, out, grey ? 1 : 4, alpha, code);
                out.setColorSpace(image.colorSpace());
                out.setDotsPerMeterX(image.dotsPerMeterX());
                out.setDotsPerMeterY(image.dotsPerMeterY());
                return out;
            },
            nullptr);
}

qint64 Resampler::workBytes(const QSize &from, const QSize &to)
{
    // A converted copy of the input, and the row between the passes (with
    // its sums, for deep pictures).
    Q_UNUSED(to);
    const qint64 row = ImageLimits::bytesFor(QSize(from.width(), 1), 16);
    return ImageLimits::plus(ImageLimits::bytesFor(from), row);
}
