#include "decode/tiffstream.h"

#include "base/imagelimits.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

using TiffStream::Stream;


tsize_t readProc(thandle_t h, tdata_t data, tsize_t size)
{
    auto *s = static_cast<Stream *>(h);
    const toff_t left = s->at < toff_t(s->bytes.size()) ? toff_t(s->bytes.size()) - s->at : 0;
    const tsize_t n = tsize_t(qMin<toff_t>(left, toff_t(size)));
    std::memcpy(data, s->bytes.data() + s->at, size_t(n));
    s->at += toff_t(n);
    return n;
}

tsize_t writeProc(thandle_t, tdata_t, tsize_t)
{
    return 0;
}

toff_t seekProc(thandle_t h, toff_t offset, int whence)
{
    auto *s = static_cast<Stream *>(h);
    const toff_t base = whence == SEEK_CUR ? s->at : whence == SEEK_END ? toff_t(s->bytes.size()) : 0;
    s->at = base + offset;
    return s->at;
}

int closeProc(thandle_t)
{
    return 0;
}

toff_t sizeProc(thandle_t h)
{
    return toff_t(static_cast<Stream *>(h)->bytes.size());
}

int keepMessage(TIFF *, void *user, const char *, const char *format, va_list args)
{
    char text[512];
    std::vsnprintf(text, sizeof text, format, args);
    static_cast<Stream *>(user)->message = QString::fromLocal8Bit(text);
    return 1;
}

int ignoreMessage(TIFF *, void *, const char *, const char *, va_list)
{
    return 1;
}

} // namespace

TiffStream::TiffHandle TiffStream::open(Stream *stream)
{
    TIFFOpenOptions *options = TIFFOpenOptionsAlloc();
    TIFFOpenOptionsSetErrorHandlerExtR(options, keepMessage, stream);
    TIFFOpenOptionsSetWarningHandlerExtR(options, ignoreMessage, stream);
    TIFFOpenOptionsSetMaxSingleMemAlloc(options, tmsize_t(ImageLimits::decodeLimitBytes));
    TIFF *tiff = TIFFClientOpenExt("source", "rm", stream, readProc, writeProc, seekProc,
                                   closeProc, sizeProc, nullptr, nullptr, options);
    TIFFOpenOptionsFree(options);
    return TiffHandle(tiff, TIFFClose);
}

qint64 TiffStream::blockBytes(TIFF *tiff)
{
    // Computed by libtiff in 64 bits with its own overflow checks: 0 when
    // they overflow, which only a lying header makes them do.
    const uint64_t block = TIFFIsTiled(tiff) ? TIFFTileSize64(tiff) : TIFFStripSize64(tiff);
    return block == 0 || block > uint64_t(std::numeric_limits<qint64>::max())
            ? std::numeric_limits<qint64>::max()
            : qint64(block);
}

