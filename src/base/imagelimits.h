#ifndef IMAGELIMITS_H
#define IMAGELIMITS_H

#include <QCoreApplication>
#include <QImage>
#include <QSize>
#include <QString>

#include <limits>
#include <new>

// How large a picture the program agrees to hold, and what becomes of an
// allocation that fails anyway. A leaf: every reading and writing unit
// asks here, and this asks nobody.
namespace ImageLimits {

// Megabytes one decoded image may take: a 250-megapixel photo at four
// bytes per pixel fits, a corrupt 100000 x 100000 header does not.
constexpr int allocationLimitMB = 1024;

// Bytes the decoding of one file may take at its peak: the picture and
// everything the library holds meanwhile (sample buffers, planes of another
// depth or colour model, a RAW file's sensor data). Libraries take two to
// thirteen times the picture's four bytes a pixel; this keeps the worst
// file to a known share of the machine.
constexpr qint64 decodeLimitBytes = 2LL * 1024 * 1024 * 1024;

// Bytes a picture of this size takes at bytesPerPixel; 0 when empty, the
// largest qint64 when the product does not fit in one.
inline qint64 bytesFor(const QSize &size, qint64 bytesPerPixel = 4)
{
    if (size.isEmpty() || bytesPerPixel <= 0)
        return 0;
    qint64 bytes = 0;
    if (__builtin_mul_overflow(qint64(size.width()) * qint64(size.height()), bytesPerPixel, &bytes))
        return std::numeric_limits<qint64>::max();
    return bytes;
}

// Sum of two costs, saturating rather than wrapping.
inline qint64 plus(qint64 a, qint64 b)
{
    qint64 sum = 0;
    return __builtin_add_overflow(a, b, &sum) ? std::numeric_limits<qint64>::max() : sum;
}

// Whether a picture of this size fits in the allocation limit at four bytes
// a pixel (a target size, a picture made here).
inline bool fitsLimit(const QSize &size)
{
    return bytesFor(size) <= qint64(allocationLimitMB) * 1024 * 1024;
}

// Whether a decode that takes this many bytes may run. Asked of every file
// before it is decoded: decoders allocate by the header, and a few hundred
// bytes can claim gigabytes.
inline bool fitsDecodeLimit(qint64 bytes)
{
    return bytes <= decodeLimitBytes;
}

// The words for an allocation that failed.
inline QString outOfMemory()
{
    return QCoreApplication::translate("ImageLimits", "out of memory");
}

// Runs work, which makes an image; an allocation failure in it gives a null
// image and the reason in errorString (when given) instead of an exception.
// One image too large to handle fails; the batch goes on.
template<typename Work>
QImage orNull(Work &&work, QString *errorString)
{
    try {
        return work();
    } catch (const std::bad_alloc &) {
        if (errorString)
            *errorString = outOfMemory();
        return QImage();
    }
}

// Sets the readers' allocation limit and how large images are allocated;
// called once, by main(), before anything is read.
void configureProcess();

} // namespace ImageLimits

#endif // IMAGELIMITS_H
