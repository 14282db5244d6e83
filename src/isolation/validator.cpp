#include "isolation/validator.h"

#include "base/conversionresult.h"
#include "base/imagelimits.h"

#include <QImage>

#include <fcntl.h>
#include <sys/stat.h>

namespace {

using Step = ConversionResult::Step;

bool sizeInRange(qint32 width, qint32 height)
{
    return width > 0 && height > 0 && qint64(width) * height <= Validator::maxPixels;
}

bool textsFit(const QStringList &list)
{
    return list.size() <= Protocol::maxWarnings;
}

// What a thumbnail's answer says of the cache's entries: only of those
// handed over, a picture only from the thumbnail, and none besides a
// failure it found marked.
bool cacheSaysFit(const Protocol::Answer &a, const Protocol::Request &request)
{
    if (!a.cached && !a.failedBefore)
        return true;
    if (request.job != Protocol::Job::Thumbnail || (a.cached && a.failedBefore))
        return false;
    if (a.cached)
        return request.hasCached && a.hasImage;
    return request.hasFailMark && !a.hasImage && !a.embedded;
}

} // namespace

bool Validator::multiply(qint64 a, qint64 b, qint64 *product)
{
    return !__builtin_mul_overflow(a, b, product);
}

bool Validator::add(qint64 a, qint64 b, qint64 *sum)
{
    return !__builtin_add_overflow(a, b, sum);
}

bool Validator::knownStep(quint8 step)
{
    return step <= quint8(Step::Stop);
}

bool Validator::sealedHolding(int descriptor, qint64 bytes)
{
    if (descriptor < 0 || bytes < 0)
        return false;
    const int seals = ::fcntl(descriptor, F_GET_SEALS);
    constexpr int needed = F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE;
    struct stat st;
    return seals >= 0 && (seals & needed) == needed && ::fstat(descriptor, &st) == 0
            && S_ISREG(st.st_mode) && st.st_size >= bytes;
}

QSize Validator::expected(const Knowledge &known)
{
    if (!known.request.scaled || !known.targetAsked || known.target.isEmpty()
        || known.shown.isEmpty())
        return QSize();
    return known.shown.scaled(known.target, Qt::AspectRatioMode(known.request.mode))
            .expandedTo(QSize(1, 1));
}

bool Validator::question(const Protocol::Question &q, const Knowledge &known)
{
    switch (q.what) {
    case Protocol::Question::Target:
        // Asked once, by a scaled request, for a size a picture can have.
        return known.request.scaled && !known.targetAsked && sizeInRange(q.shownWidth, q.shownHeight);
    case Protocol::Question::Admit:
        // Once a request: a second would take the budget twice.
        return !known.admitAsked && q.bytes >= 0 && q.pixels >= 0 && q.pixels <= maxPixels;
    }
    return false;
}

bool Validator::note(const Protocol::Note &n, const Knowledge &known)
{
    if (n.pixels < 0 || n.pixels > maxPixels || n.msPerMegapixel > 60 * 1000)
        return false;
    if (n.step == quint8(Step::NoStep))
        return true;
    // The one step a helper moves on to by itself: encoding, after decoding.
    return n.step == quint8(Step::Encode) && known.step != quint8(Step::Encode)
            && known.request.job == Protocol::Job::Convert;
}

Validator::Box Validator::imageBox(const Knowledge &known)
{
    if (known.request.job == Protocol::Job::Thumbnail)
        return {known.request.side, known.request.side};
    const QSize size = expected(known);
    if (size.isValid())
        return {size.width(), size.height()};
    return {};
}

Validator::Box Validator::previewBox(const Knowledge &known)
{
    return {known.request.previewSide, known.request.previewSide};
}

bool Validator::picture(const Protocol::Picture &p, const Box &box, qint64 *rowBytes)
{
    if (p.format <= QImage::Format_Invalid || p.format >= QImage::NImageFormats
        || !sizeInRange(p.width, p.height))
        return false;
    if ((box.width > 0 && p.width > box.width) || (box.height > 0 && p.height > box.height))
        return false;
    const int bits = QImage::toPixelFormat(QImage::Format(p.format)).bitsPerPixel();
    qint64 rowBits = 0;
    qint64 pixels = 0;
    qint64 rows = 0;
    if (bits <= 0 || !multiply(p.width, bits, &rowBits) || !multiply(p.width, p.height, &pixels)
        || !multiply(p.height, p.bytesPerLine, &rows))
        return false;
    const qint64 least = (rowBits + 7) / 8;
    // Rows as QImage lays them out (aligned to four bytes), a little slack
    // at most: a long row is memory nobody needs.
    if (p.bytesPerLine < least || p.bytesPerLine > least + 64
        || p.bytesPerLine > std::numeric_limits<int>::max())
        return false;
    if (pixels > qint64(ImageLimits::allocationLimitMB) * 1024 * 1024 || rows > maxPictureBytes
        || qint64(p.extraBytes) > maxExtraBytes || p.dotsPerMeterX < 0 || p.dotsPerMeterY < 0)
        return false;
    *rowBytes = rows;
    return true;
}

qint64 Validator::encodedBound(qint64 pixels)
{
    qint64 bytes = 0;
    if (pixels < 0 || !multiply(pixels, encodedBytesPerPixel, &bytes)
        || !add(bytes, metadataAllowance, &bytes))
        return -1;
    return bytes;
}

qint64 Validator::encodedPixels(const Protocol::Answer &a, const Knowledge &known)
{
    if (known.handedPixels > 0)
        return known.handedPixels;
    if (a.hasImage)
        return qint64(a.image.width) * a.image.height; // both checked by picture()
    const QSize size = expected(known);
    if (size.isValid())
        return qint64(size.width()) * size.height();
    return known.admittedPixels;
}

bool Validator::answer(const Protocol::Answer &a, const Knowledge &known, int descriptors)
{
    const Protocol::Job job = known.request.job;
    if (!knownStep(a.step) || !textsFit(a.warnings) || !textsFit(a.encodeWarnings)
        || descriptors != a.descriptorCount() || a.bytesLength < 0
        || !cacheSaysFit(a, known.request))
        return false;
    if (a.shownWidth != 0 || a.shownHeight != 0) {
        if (job != Protocol::Job::Thumbnail || !sizeInRange(a.shownWidth, a.shownHeight))
            return false;
    }
    // A preview and a file come of a conversion alone; a conversion of
    // handed pixels sends none back.
    if (job != Protocol::Job::Convert && (a.hasPreview || a.bytesLength > 0))
        return false;
    if ((known.handedPixels > 0 || (job == Protocol::Job::Convert && !known.request.wantPicture))
        && a.hasImage)
        return false;
    qint64 rows = 0;
    if (a.hasImage && !picture(a.image, imageBox(known), &rows))
        return false;
    if (a.hasPreview && !picture(a.preview, previewBox(known), &rows))
        return false;
    if (a.bytesLength > 0) {
        const qint64 bound = encodedBound(encodedPixels(a, known));
        if (bound < 0 || a.bytesLength > bound)
            return false;
    }
    return true;
}

qint64 Validator::admissionCost(const Protocol::Question &q, const Knowledge &known)
{
    if (q.pixels < 0 || q.pixels > maxPixels || q.bytes < 0)
        return -1;
    // The fitted picture and its copies (the shared memory, a filter's).
    qint64 fitted = 0;
    const QSize size = expected(known);
    if (size.isValid() && !multiply(qint64(size.width()) * size.height(), 4 * 8, &fitted))
        return -1;
    qint64 least = 0;
    qint64 most = 0;
    if (!multiply(q.pixels, 4, &least) || !multiply(q.pixels, 64, &most) || !add(most, fitted, &most))
        return -1;
    const qint64 ceiling = ImageLimits::decodeLimitBytes + 2 * maxPictureBytes;
    return qMin(qBound(least, q.bytes, qMax(least, most)), ceiling);
}

qint64 Validator::timedPixels(qint64 pixels)
{
    // A picture larger than the allocation limit at four bytes a pixel is
    // never decoded whole: it gets no more time than one at the limit.
    return qBound<qint64>(0, pixels, qint64(ImageLimits::allocationLimitMB) * 1024 * 1024 / 4);
}
