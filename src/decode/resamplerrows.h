#ifndef RESAMPLERROWS_H
#define RESAMPLERROWS_H

#include <algorithm>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define RESAMPLER_X86 1
#endif

// The inner loops of Resampler, one output row at a time, from 8-bit
// samples and weights in 1/16384ths (sums in 32 bits, rounded to nearest,
// clamped to 0..255). Each loop comes as portable code and as SSE2 (every
// x86-64 has it) and AVX2 (where the processor says so) code that gives
// the very same bytes: integer sums do not depend on their order. Inline,
// for resampler.cpp alone.
namespace ResamplerRows {

constexpr int weightBits = 14;

// Which code runs the loops.
enum class Code {
    Portable,
    Sse2,
    Avx2,
};


namespace Detail {

constexpr int32_t half = 1 << (weightBits - 1);

inline uint8_t clamped(int32_t sum)
{
    return uint8_t(std::clamp((sum + half) >> weightBits, 0, 255));
}

inline void verticalPortable(const uint8_t *const *rows, const int16_t *weights, int taps, uint8_t *dst,
                      int from, int samples)
{
    for (int s = from; s < samples; ++s) {
        int32_t sum = 0;
        for (int t = 0; t < taps; ++t)
            sum += int32_t(weights[t]) * rows[t][s];
        dst[s] = clamped(sum);
    }
}

// One output pixel of four samples from taps pixels at src.
inline void pixelPortable(const uint8_t *src, const int16_t *weights, int taps, uint8_t *dst, bool alpha)
{
    int32_t sums[4] = {};
    for (int t = 0; t < taps; ++t)
        for (int c = 0; c < 4; ++c)
            sums[c] += int32_t(weights[t]) * src[t * 4 + c];
    for (int c = 0; c < 4; ++c)
        dst[c] = clamped(sums[c]);
    if (alpha) {
        // Qt's premultiplied 32-bit pixels keep alpha in the highest byte
        // (little-endian: the fourth).
        for (int c = 0; c < 3; ++c)
            dst[c] = std::min(dst[c], dst[3]);
    }
}

inline void horizontalPortable(const uint8_t *src, const int *first, const int16_t *weights, int taps,
                        uint8_t *dst, int width, bool alpha)
{
    for (int x = 0; x < width; ++x)
        pixelPortable(src + size_t(first[x]) * 4, weights + size_t(x) * size_t(taps), taps,
                      dst + size_t(x) * 4, alpha);
}

#ifdef RESAMPLER_X86

// Two weights side by side, as _mm_madd_epi16 pairs them: the first with
// the even 16-bit lane.
inline int32_t pairAt(const int16_t *weights, int t, int taps)
{
    const uint16_t a = uint16_t(weights[t]);
    const uint16_t b = t + 1 < taps ? uint16_t(weights[t + 1]) : 0;
    return int32_t(uint32_t(a) | uint32_t(b) << 16);
}

inline void verticalSse2(const uint8_t *const *rows, const int16_t *weights, int taps, uint8_t *dst,
                  int from, int samples)
{
    const __m128i zero = _mm_setzero_si128();
    const __m128i round = _mm_set1_epi32(half);
    int s = from;
    for (; s + 16 <= samples; s += 16) {
        __m128i a0 = round, a1 = round, a2 = round, a3 = round;
        for (int t = 0; t < taps; t += 2) {
            const __m128i w = _mm_set1_epi32(pairAt(weights, t, taps));
            const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(rows[t] + s));
            const __m128i y = t + 1 < taps
                    ? _mm_loadu_si128(reinterpret_cast<const __m128i *>(rows[t + 1] + s))
                    : zero;
            const __m128i lo = _mm_unpacklo_epi8(x, y);
            const __m128i hi = _mm_unpackhi_epi8(x, y);
            a0 = _mm_add_epi32(a0, _mm_madd_epi16(_mm_unpacklo_epi8(lo, zero), w));
            a1 = _mm_add_epi32(a1, _mm_madd_epi16(_mm_unpackhi_epi8(lo, zero), w));
            a2 = _mm_add_epi32(a2, _mm_madd_epi16(_mm_unpacklo_epi8(hi, zero), w));
            a3 = _mm_add_epi32(a3, _mm_madd_epi16(_mm_unpackhi_epi8(hi, zero), w));
        }
        const __m128i low = _mm_packs_epi32(_mm_srai_epi32(a0, weightBits), _mm_srai_epi32(a1, weightBits));
        const __m128i high = _mm_packs_epi32(_mm_srai_epi32(a2, weightBits), _mm_srai_epi32(a3, weightBits));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + s), _mm_packus_epi16(low, high));
    }
    verticalPortable(rows, weights, taps, dst, s, samples);
}

// The sums of taps pixels from t on, into four 32-bit lanes (one per
// sample): four pixels a step, then two, then one.
inline __m128i tapsSse2(const uint8_t *src, const int16_t *weights, int t, int taps, __m128i sum)
{
    const __m128i zero = _mm_setzero_si128();
    for (; t + 4 <= taps; t += 4) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + t * 4));
        const __m128i next = _mm_srli_si128(v, 4);
        // Pixels a and b, then c and d, sample by sample.
        const __m128i ab = _mm_unpacklo_epi8(v, next);
        const __m128i cd = _mm_unpackhi_epi8(v, next);
        sum = _mm_add_epi32(sum, _mm_madd_epi16(_mm_unpacklo_epi8(ab, zero),
                                                _mm_set1_epi32(pairAt(weights, t, taps))));
        sum = _mm_add_epi32(sum, _mm_madd_epi16(_mm_unpacklo_epi8(cd, zero),
                                                _mm_set1_epi32(pairAt(weights, t + 2, taps))));
    }
    for (; t < taps; t += 2) {
        int32_t two[2] = {};
        std::memcpy(two, src + t * 4, t + 1 < taps ? 8 : 4);
        const __m128i v = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(two));
        const __m128i ab = _mm_unpacklo_epi8(v, _mm_srli_si128(v, 4));
        sum = _mm_add_epi32(sum, _mm_madd_epi16(_mm_unpacklo_epi8(ab, zero),
                                                _mm_set1_epi32(pairAt(weights, t, taps))));
    }
    return sum;
}

// Rounds, clamps and stores one pixel from its four sums.
inline void storePixelSse2(__m128i sum, uint8_t *dst, bool alpha)
{
    __m128i v = _mm_packs_epi32(_mm_srai_epi32(sum, weightBits), sum);
    if (alpha) {
        // Alpha is the fourth; min(alpha, alpha) leaves it.
        v = _mm_min_epi16(v, _mm_shufflelo_epi16(v, _MM_SHUFFLE(3, 3, 3, 3)));
    }
    const int32_t pixel = _mm_cvtsi128_si32(_mm_packus_epi16(v, v));
    std::memcpy(dst, &pixel, 4);
}

inline void horizontalSse2(const uint8_t *src, const int *first, const int16_t *weights, int taps,
                    uint8_t *dst, int width, bool alpha)
{
    const __m128i round = _mm_set1_epi32(half);
    for (int x = 0; x < width; ++x) {
        const __m128i sum = tapsSse2(src + size_t(first[x]) * 4, weights + size_t(x) * size_t(taps),
                                     0, taps, round);
        storePixelSse2(sum, dst + size_t(x) * 4, alpha);
    }
}

__attribute__((target("avx2"))) inline void verticalAvx2(const uint8_t *const *rows, const int16_t *weights,
                                                   int taps, uint8_t *dst, int samples)
{
    const __m256i zero = _mm256_setzero_si256();
    const __m256i round = _mm256_set1_epi32(half);
    int s = 0;
    // Unpacking and packing both work within each 128-bit half, so the
    // samples come back in their order.
    for (; s + 32 <= samples; s += 32) {
        __m256i a0 = round, a1 = round, a2 = round, a3 = round;
        for (int t = 0; t < taps; t += 2) {
            const __m256i w = _mm256_set1_epi32(pairAt(weights, t, taps));
            const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(rows[t] + s));
            const __m256i y = t + 1 < taps
                    ? _mm256_loadu_si256(reinterpret_cast<const __m256i *>(rows[t + 1] + s))
                    : zero;
            const __m256i lo = _mm256_unpacklo_epi8(x, y);
            const __m256i hi = _mm256_unpackhi_epi8(x, y);
            a0 = _mm256_add_epi32(a0, _mm256_madd_epi16(_mm256_unpacklo_epi8(lo, zero), w));
            a1 = _mm256_add_epi32(a1, _mm256_madd_epi16(_mm256_unpackhi_epi8(lo, zero), w));
            a2 = _mm256_add_epi32(a2, _mm256_madd_epi16(_mm256_unpacklo_epi8(hi, zero), w));
            a3 = _mm256_add_epi32(a3, _mm256_madd_epi16(_mm256_unpackhi_epi8(hi, zero), w));
        }
        const __m256i low = _mm256_packs_epi32(_mm256_srai_epi32(a0, weightBits),
                                               _mm256_srai_epi32(a1, weightBits));
        const __m256i high = _mm256_packs_epi32(_mm256_srai_epi32(a2, weightBits),
                                                _mm256_srai_epi32(a3, weightBits));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(dst + s), _mm256_packus_epi16(low, high));
    }
    verticalSse2(rows, weights, taps, dst, s, samples);
}

// Two output pixels at once, one in each 128-bit half: four taps a step
// of each, the rest (fewer than four) by tapsSse2.
__attribute__((target("avx2"))) inline void horizontalAvx2(const uint8_t *src, const int *first,
                                                     const int16_t *weights, int taps, uint8_t *dst,
                                                     int width, bool alpha)
{
    const __m256i zero = _mm256_setzero_si256();
    int x = 0;
    for (; x + 2 <= width; x += 2) {
        const uint8_t *left = src + size_t(first[x]) * 4;
        const uint8_t *right = src + size_t(first[x + 1]) * 4;
        const int16_t *wl = weights + size_t(x) * size_t(taps);
        const int16_t *wr = wl + taps;
        __m256i sum = _mm256_set1_epi32(half);
        int t = 0;
        for (; t + 4 <= taps; t += 4) {
            // Pixels a..d of each output pixel, then a and b, c and d
            // side by side, sample by sample (in the low 8 bytes of each).
            const __m256i v = _mm256_inserti128_si256(
                    _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i *>(left + t * 4))),
                    _mm_loadu_si128(reinterpret_cast<const __m128i *>(right + t * 4)), 1);
            const __m256i next = _mm256_srli_si256(v, 4);
            const __m256i ab = _mm256_unpacklo_epi8(v, next);
            const __m256i cd = _mm256_unpackhi_epi8(v, next);
            // The four weights of each: two pairs, each spread over its half.
            const __m256i w = _mm256_inserti128_si256(
                    _mm256_castsi128_si256(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(wl + t))),
                    _mm_loadl_epi64(reinterpret_cast<const __m128i *>(wr + t)), 1);
            sum = _mm256_add_epi32(sum, _mm256_madd_epi16(_mm256_unpacklo_epi8(ab, zero),
                                                          _mm256_shuffle_epi32(w, 0x00)));
            sum = _mm256_add_epi32(sum, _mm256_madd_epi16(_mm256_unpacklo_epi8(cd, zero),
                                                          _mm256_shuffle_epi32(w, 0x55)));
        }
        __m128i low = _mm256_castsi256_si128(sum);
        __m128i high = _mm256_extracti128_si256(sum, 1);
        if (t < taps) {
            low = tapsSse2(left, wl, t, taps, low);
            high = tapsSse2(right, wr, t, taps, high);
        }
        __m128i both = _mm_packs_epi32(_mm_srai_epi32(low, weightBits), _mm_srai_epi32(high, weightBits));
        if (alpha) {
            // Each pixel's alpha is its fourth sample; min(alpha, alpha)
            // leaves it.
            both = _mm_min_epi16(both, _mm_shufflehi_epi16(_mm_shufflelo_epi16(both, _MM_SHUFFLE(3, 3, 3, 3)),
                                                           _MM_SHUFFLE(3, 3, 3, 3)));
        }
        _mm_storel_epi64(reinterpret_cast<__m128i *>(dst + size_t(x) * 4), _mm_packus_epi16(both, both));
    }
    if (x < width)
        horizontalSse2(src, first + x, weights + size_t(x) * size_t(taps), taps, dst + size_t(x) * 4,
                       width - x, alpha);
}

#endif // RESAMPLER_X86

} // namespace Detail

// Whether this processor runs code.
inline bool runs(Code code)
{
    switch (code) {
    case Code::Portable:
        return true;
#ifdef RESAMPLER_X86
    case Code::Sse2:
        return true;
    case Code::Avx2:
        return __builtin_cpu_supports("avx2");
#else
    default:
        break;
#endif
    }
    return false;
}

// The fastest code this processor runs.
inline Code best()
{
    static const Code code = runs(Code::Avx2) ? Code::Avx2 : runs(Code::Sse2) ? Code::Sse2 : Code::Portable;
    return code;
}

// One row of a vertical pass: dst[s] = sum over t of weights[t] * rows[t][s],
// for samples samples.
inline void vertical(Code code, const uint8_t *const *rows, const int16_t *weights, int taps, uint8_t *dst,
              int samples)
{
#ifdef RESAMPLER_X86
    if (code == Code::Avx2)
        return Detail::verticalAvx2(rows, weights, taps, dst, samples);
    if (code == Code::Sse2)
        return Detail::verticalSse2(rows, weights, taps, dst, 0, samples);
#endif
    Detail::verticalPortable(rows, weights, taps, dst, 0, samples);
}

// One row of a horizontal pass over pixels of four samples: output pixel x
// sums weights[x * taps + t] * src pixel first[x] + t. With alpha (the
// fourth sample, premultiplied), no colour exceeds its alpha.
inline void horizontal4(Code code, const uint8_t *src, const int *first, const int16_t *weights, int taps,
                 uint8_t *dst, int width, bool alpha)
{
#ifdef RESAMPLER_X86
    if (code == Code::Avx2)
        return Detail::horizontalAvx2(src, first, weights, taps, dst, width, alpha);
    if (code == Code::Sse2)
        return Detail::horizontalSse2(src, first, weights, taps, dst, width, alpha);
#endif
    Detail::horizontalPortable(src, first, weights, taps, dst, width, alpha);
}

} // namespace ResamplerRows

#endif // RESAMPLERROWS_H
