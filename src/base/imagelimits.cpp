#include "base/imagelimits.h"

#include <QImageReader>

#ifdef __GLIBC__
#include <malloc.h>
#endif

void ImageLimits::configureProcess()
{
    QImageReader::setAllocationLimit(allocationLimitMB);
#ifdef __GLIBC__
    // Decoded photos are tens of megabytes each. Left to its moving
    // threshold, glibc serves them from heaps that keep the memory after it
    // is freed, so the process grows with the length of a batch; mapped
    // blocks go back to the system at once.
    mallopt(M_MMAP_THRESHOLD, 1024 * 1024);
#endif
}
