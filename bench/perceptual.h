#ifndef PERCEPTUAL_H
#define PERCEPTUAL_H

// The butteraugli distance of two pictures of one size, through libjxl's
// own implementation: about 1 where a difference starts to show, more
// the more it does. Reported as libjxl's tools report it, the 3-norm over
// the picture (a mean that weighs the worst places more).

#include <QImage>

#include <jxl/butteraugli.h>

#include <memory>

namespace Bench {

inline double butteraugli(const QImage &original, const QImage &distorted)
{
    if (original.size() != distorted.size() || original.isNull())
        return -1;
    const QImage a = original.convertToFormat(QImage::Format_RGB888);
    const QImage b = distorted.convertToFormat(QImage::Format_RGB888);
    std::unique_ptr<JxlButteraugliApi, decltype(&JxlButteraugliApiDestroy)> api(
            JxlButteraugliApiCreate(nullptr), JxlButteraugliApiDestroy);
    if (!api)
        return -1;
    const JxlPixelFormat format{3, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 4};
    std::unique_ptr<JxlButteraugliResult, decltype(&JxlButteraugliResultDestroy)> result(
            JxlButteraugliCompute(api.get(), uint32_t(a.width()), uint32_t(a.height()), &format,
                                  a.constBits(), size_t(a.sizeInBytes()), &format, b.constBits(),
                                  size_t(b.sizeInBytes())),
            JxlButteraugliResultDestroy);
    return result ? double(JxlButteraugliResultGetDistance(result.get(), 3.0f)) : -1;
}

} // namespace Bench

#endif // PERCEPTUAL_H
