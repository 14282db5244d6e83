#ifndef RESAMPLER_H
#define RESAMPLER_H

#include "decode/resamplerrows.h"

#include <QImage>
#include <QSize>

// How a picture is brought to its target size: Fast takes the nearest
// pixel (the decoder may shrink while it decodes), Smooth filters with
// Lanczos-3 (Resampler). The values are the Size tab's items' order.
enum class Scaling {
    Fast = 0,
    Smooth = 1,
};

// Lanczos-3 resampling, separable: one pass down the columns, one along
// the rows, each with weights worked out once per output line, one output
// row at a time through both (ResamplerRows: SSE2 or AVX2 where 8-bit
// samples allow, the same bytes as the portable loops). It works on
// the stored values (sRGB light, as libvips and most tools do; filtering in
// linear light would darken fine light-on-dark detail less but needs 16 bits
// a channel between the passes) and on premultiplied pixels where the
// picture has alpha, so that transparent pixels lend no colour. 8-bit
// pictures stay 8-bit; deeper ones are filtered at 16 bits.
namespace Resampler {

// The picture at exactly size (both sides at least 1); a null image when
// the memory cannot be had. The colour space and resolution go with it.
// code chooses the inner loops; the default is the fastest this processor
// runs.
QImage lanczos3(const QImage &image, const QSize &size,
                ResamplerRows::Code code = ResamplerRows::best());

// The extra bytes lanczos3() takes beside its input and its result, for
// the memory budget.
qint64 workBytes(const QSize &from, const QSize &to);

} // namespace Resampler

#endif // RESAMPLER_H
