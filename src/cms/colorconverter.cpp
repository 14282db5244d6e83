#include "cms/colorconverter.h"

#include "base/imagelimits.h"
#include "base/logging.h"

#include <QColorSpace>
#include <QCryptographicHash>
#include <QDebug>
#include <QFile>
#include <QHash>
#include <QMutex>

#include <lcms2.h>

#include <mutex>

namespace {

// Pixel layouts of QImage::Format_RGB32 and Format_ARGB32 in memory.
#if Q_BYTE_ORDER == Q_LITTLE_ENDIAN
constexpr cmsUInt32Number rgb32Type = TYPE_BGRA_8;
#else
constexpr cmsUInt32Number rgb32Type = TYPE_ARGB_8;
#endif

void routeLcmsErrors()
{
    static std::once_flag once;
    std::call_once(once, []() {
        // Little CMS complains on stderr about profiles it cannot use; the
        // callers already report such a profile as not usable.
        cmsSetLogErrorHandler([](cmsContext, cmsUInt32Number, const char *text) {
            qCDebug(lcColor).noquote() << "lcms:" << text;
        });
    });
}

void closeProfile(cmsHPROFILE profile)
{
    if (profile)
        cmsCloseProfile(profile);
}

using ProfileHandle = std::unique_ptr<void, decltype(&closeProfile)>;

ProfileHandle openProfile(const QByteArray &bytes)
{
    routeLcmsErrors();
    if (bytes.isEmpty())
        return ProfileHandle(nullptr, closeProfile);
    return ProfileHandle(cmsOpenProfileFromMem(bytes.constData(), cmsUInt32Number(bytes.size())),
                         closeProfile);
}

// Building a transform from a table-based CMYK profile takes longer than
// converting a small picture, and batches meet the same few profiles over
// and over: transforms are kept, shared by every thread (they are made
// without Little CMS's one-pixel cache, which would be shared state).
class TransformCache
{
public:
    std::shared_ptr<void> get(const QByteArray &profile, cmsUInt32Number inType,
                              cmsUInt32Number outType, cmsUInt32Number flags)
    {
        QByteArray key = QCryptographicHash::hash(profile, QCryptographicHash::Sha1);
        key += QByteArray::number(inType) + ':' + QByteArray::number(outType) + ':'
                + QByteArray::number(flags);
        QMutexLocker locker(&lock);
        if (const auto found = transforms.constFind(key); found != transforms.constEnd())
            return *found;
        locker.unlock();

        const ProfileHandle in = openProfile(profile);
        if (!in)
            return nullptr;
        const ProfileHandle srgb(cmsCreate_sRGBProfile(), closeProfile);
        cmsHTRANSFORM made = cmsCreateTransform(in.get(), inType, srgb.get(), outType,
                                                INTENT_RELATIVE_COLORIMETRIC,
                                                flags | cmsFLAGS_NOCACHE);
        if (!made)
            return nullptr;
        std::shared_ptr<void> transform(made, [](void *t) { cmsDeleteTransform(t); });
        locker.relock();
        if (transforms.size() >= 16)
            transforms.clear(); // in use elsewhere they live on until released
        transforms.insert(key, transform);
        return transform;
    }

private:
    QMutex lock;
    QHash<QByteArray, std::shared_ptr<void>> transforms;
};

TransformCache &transformCache()
{
    static TransformCache cache;
    return cache;
}


} // namespace

QByteArray ColorConverter::defaultCmykProfile()
{
    static const QByteArray profile = []() {
        Q_INIT_RESOURCE(profiles);
        QFile file(QStringLiteral(":/profiles/default-cmyk.icc"));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }();
    return profile;
}

ColorConverter::ProfileKind ColorConverter::kindOf(const QByteArray &profile)
{
    const ProfileHandle handle = openProfile(profile);
    if (!handle)
        return ProfileKind::Unusable;
    switch (cmsGetColorSpace(handle.get())) {
    case cmsSigRgbData: return ProfileKind::Rgb;
    case cmsSigGrayData: return ProfileKind::Grey;
    case cmsSigCmykData: return ProfileKind::Cmyk;
    default: return ProfileKind::Other;
    }
}

ColorConverter ColorConverter::fromCmyk(const QByteArray &profile, bool inverted)
{
    ColorConverter converter;
    const cmsUInt32Number inType = inverted ? TYPE_CMYK_8_REV : TYPE_CMYK_8;
    // Black point compensation keeps the shadows of a print profile, whose
    // black is far from the screen's, from turning into one flat black.
    const cmsUInt32Number flags = cmsFLAGS_BLACKPOINTCOMPENSATION;
    if (!profile.isEmpty() && kindOf(profile) == ProfileKind::Cmyk)
        converter.transform = transformCache().get(profile, inType, rgb32Type, flags);
    if (!converter.transform)
        converter.transform = transformCache().get(defaultCmykProfile(), inType, rgb32Type, flags);
    if (!converter.transform)
        converter.error = QStringLiteral("no usable CMYK colour profile");
    return converter;
}

void ColorConverter::convertRow(const uchar *in, uchar *out, int pixels) const
{
    cmsDoTransform(transform.get(), in, out, cmsUInt32Number(pixels));
}

QImage ColorConverter::toSrgb(const QImage &image, const QByteArray &profile,
                              QString *errorString)
{
    auto fail = [errorString](const QString &why) {
        if (errorString)
            *errorString = why;
        return QImage();
    };
    if (image.isNull())
        return fail(QStringLiteral("no image"));
    const ProfileKind kind = kindOf(profile);
    const bool alpha = image.hasAlphaChannel();
    QImage in;
    cmsUInt32Number inType = 0;
    cmsUInt32Number flags = 0;
    if (kind == ProfileKind::Rgb) {
        in = image.convertToFormat(alpha ? QImage::Format_ARGB32 : QImage::Format_RGB32);
        inType = rgb32Type;
        flags = cmsFLAGS_COPY_ALPHA;
    } else if (kind == ProfileKind::Grey && image.isGrayscale() && !alpha) {
        in = image.convertToFormat(QImage::Format_Grayscale8);
        inType = TYPE_GRAY_8;
    } else if (kind == ProfileKind::Grey && image.isGrayscale()) {
        // Qt has no grey-and-alpha format: the grey and alpha bytes of
        // each pixel are packed into the first half of its 32-bit row.
        in = image.convertToFormat(QImage::Format_ARGB32);
        for (int y = 0; y < in.height(); ++y) {
            uchar *line = in.scanLine(y);
            const auto *pixels = reinterpret_cast<const QRgb *>(line);
            for (int x = 0; x < in.width(); ++x) {
                const QRgb p = pixels[x];
                line[2 * x] = uchar(qRed(p));
                line[2 * x + 1] = uchar(qAlpha(p));
            }
        }
        inType = TYPE_GRAYA_8;
        flags = cmsFLAGS_COPY_ALPHA;
    } else if (kind == ProfileKind::Unusable) {
        return fail(QStringLiteral("unusable colour profile"));
    } else {
        return fail(QStringLiteral("colour profile does not fit the pixels"));
    }

    ColorConverter converter;
    converter.transform = transformCache().get(profile, inType, rgb32Type, flags);
    if (!converter.transform)
        return fail(QStringLiteral("unusable colour profile"));
    QImage out(in.size(), alpha ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    if (out.isNull())
        return fail(ImageLimits::outOfMemory());
    if (!alpha)
        out.fill(0xFFFFFFFF); // the fourth byte a grey source does not give
    for (int y = 0; y < in.height(); ++y)
        converter.convertRow(in.constScanLine(y), out.scanLine(y), in.width());
    out.setColorSpace(QColorSpace::SRgb);
    out.setDotsPerMeterX(image.dotsPerMeterX());
    out.setDotsPerMeterY(image.dotsPerMeterY());
    return out;
}

QImage ColorConverter::tagged(const QImage &image, const QByteArray &icc)
{
    if (image.isNull() || icc.isEmpty())
        return image;
    const QColorSpace space = QColorSpace::fromIccProfile(icc);
    if (!space.isValid())
        return image;
    QImage result = image;
    result.setColorSpace(space);
    return result;
}

QImage ColorConverter::intoSrgb(const QImage &image, const QByteArray &icc, QString *errorString)
{
    const QColorSpace space = image.colorSpace();
    if (space.isValid() && space == QColorSpace(QColorSpace::SRgb))
        return image;
    const QByteArray profile = space.isValid() ? space.iccProfile() : icc;
    if (profile.isEmpty())
        return image;
    return toSrgb(image, profile, errorString);
}

QImage ColorConverter::withProfile(const QImage &image, const QByteArray &icc,
                                   QString *errorString)
{
    if (image.isNull() || icc.isEmpty())
        return image;
    const QImage result = tagged(image, icc);
    if (result.colorSpace().isValid())
        return result;
    const QImage converted = toSrgb(image, icc, errorString);
    return converted.isNull() ? image : converted;
}
