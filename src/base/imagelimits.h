#ifndef IMAGELIMITS_H
#define IMAGELIMITS_H

#include <QCoreApplication>
#include <QImage>
#include <QSize>
#include <QString>

#include <new>

// How large a picture the program agrees to hold, and what becomes of an
// allocation that fails anyway. A leaf: every reading and writing unit
// asks here, and this asks nobody.
namespace ImageLimits {

// Megabytes one decoded image may take: a 250-megapixel photo at four
// bytes per pixel fits, a corrupt 100000 x 100000 header does not.
constexpr int allocationLimitMB = 1024;

// Bytes a picture of this size takes at four bytes per pixel; 0 when empty.
inline qint64 bytesFor(const QSize &size)
{
    if (size.isEmpty())
        return 0;
    return qint64(size.width()) * qint64(size.height()) * 4;
}

// Whether a picture of this size fits in the allocation limit. Asked of
// every size a file claims before it is decoded: decoders allocate by the
// header, and a few hundred bytes can claim gigabytes.
inline bool fitsLimit(const QSize &size)
{
    return bytesFor(size) <= qint64(allocationLimitMB) * 1024 * 1024;
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
