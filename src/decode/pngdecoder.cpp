#include "decode/pngdecoder.h"

#include "base/imagelimits.h"
#include "base/orientation.h"
#include "base/pngchunks.h"
#include "metadata/exivsupport.h"

#include <QColorSpace>
#include <QCoreApplication>
#include <QtEndian>

#include <lcms2.h>
#include <png.h>
#include <zlib.h>

#include <cmath>
#include <memory>
#include <vector>

namespace {

QString reasonOf(const png_image &image)
{
    return QCoreApplication::translate("PngDecoder", "damaged file (%1)")
            .arg(QString::fromLatin1(image.message));
}

} // namespace

PngDecoder::PngDecoder(QByteArray fileBytes)
    : bytes(std::move(fileBytes))
{
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, bytes.constData(), size_t(bytes.size()))) {
        error = reasonOf(image);
        return;
    }
    stored = QSize(int(qMin<png_uint_32>(image.width, INT_MAX)),
                   int(qMin<png_uint_32>(image.height, INT_MAX)));
    png_image_free(&image);
    turn = Orientation::fromExifTag(ExivSupport::orientation(bytes));
}

QSize PngDecoder::size() const
{
    return Orientation::shown(stored, turn);
}

namespace {

// What the chunks before the picture data say about its colours.
struct ColourChunks
{
    bool png = false;
    int depth = 0;
    int colourType = 0;
    bool interlaced = false;
    bool transparentColour = false;
    bool gamma = false;
    quint32 gammaValue = 0; // times 100000
    qint64 gammaAt = 0, gammaEnd = 0; // the gAMA chunk's bytes in the file
    bool namedSpace = false; // sRGB or iCCP
    QByteArrayView iccp; // the iCCP chunk's data, when there is one
    bool chromaticities = false;
    double chrm[8] = {}; // white x, y; red x, y; green x, y; blue x, y
};

ColourChunks colourChunks(QByteArrayView head)
{
    ColourChunks c;
    PngChunks chunks(head);
    if (!chunks.isPng())
        return c;
    PngChunks::Chunk chunk;
    while (chunks.next(&chunk) && chunk.type != PngChunks::tag("IDAT")) {
        if (!chunk.whole)
            return c;
        const auto *body = reinterpret_cast<const uchar *>(head.data() + chunk.dataAt());
        if (chunk.type == PngChunks::tag("IHDR") && chunk.length >= 13) {
            c.depth = body[8];
            c.colourType = body[9];
            c.interlaced = body[12] != 0;
        } else if (chunk.type == PngChunks::tag("tRNS")) {
            c.transparentColour = true;
        } else if (chunk.type == PngChunks::tag("gAMA") && chunk.length >= 4) {
            c.gamma = true;
            c.gammaValue = qFromBigEndian<quint32>(body);
            c.gammaAt = chunk.at;
            c.gammaEnd = chunk.end();
        } else if (chunk.type == PngChunks::tag("sRGB") || chunk.type == PngChunks::tag("iCCP")) {
            c.namedSpace = true;
            if (chunk.type == PngChunks::tag("iCCP"))
                c.iccp = head.sliced(chunk.dataAt(), chunk.length);
        } else if (chunk.type == PngChunks::tag("cHRM") && chunk.length >= 32) {
            c.chromaticities = true;
            for (int i = 0; i < 8; ++i)
                c.chrm[i] = qFromBigEndian<quint32>(body + 4 * i) / 100000.0;
        }
    }
    c.png = true;
    return c;
}

// Primaries other than sRGB's, with no sRGB or iCCP chunk to overrule them.
bool ownPrimaries(const ColourChunks &c)
{
    if (!c.chromaticities || c.namedSpace || !(c.colourType & 2))
        return false;
    static constexpr double srgb[8] = {0.3127, 0.3290, 0.64, 0.33, 0.30, 0.60, 0.15, 0.06};
    for (int i = 0; i < 8; ++i)
        if (std::abs(c.chrm[i] - srgb[i]) > 0.001)
            return true;
    return false;
}

// An ICC profile of the file's primaries and white with sRGB's curve: the
// samples libpng hands out (their gamma made sRGB's already) in the file's
// own primaries.
QByteArray primariesProfile(const ColourChunks &c)
{
    const cmsCIExyY white = {c.chrm[0], c.chrm[1], 1.0};
    const cmsCIExyYTRIPLE primaries = {{c.chrm[2], c.chrm[3], 1.0},
                                       {c.chrm[4], c.chrm[5], 1.0},
                                       {c.chrm[6], c.chrm[7], 1.0}};
    // sRGB's curve as Little CMS's parametric curve of type 4.
    const double params[5] = {2.4, 1.0 / 1.055, 0.055 / 1.055, 1.0 / 12.92, 0.04045};
    cmsToneCurve *curve = cmsBuildParametricToneCurve(nullptr, 4, params);
    cmsToneCurve *curves[3] = {curve, curve, curve};
    cmsHPROFILE profile = curve ? cmsCreateRGBProfile(&white, &primaries, curves) : nullptr;
    QByteArray icc;
    cmsUInt32Number size = 0;
    if (profile && cmsSaveProfileToMem(profile, nullptr, &size) && size > 0) {
        icc.resize(qsizetype(size));
        if (!cmsSaveProfileToMem(profile, icc.data(), &size))
            icc.clear();
    }
    if (profile)
        cmsCloseProfile(profile);
    if (curve)
        cmsFreeToneCurve(curve);
    return icc;
}

// The profile of an iCCP chunk (a name, a zero, the method 0, then the
// profile deflated); empty when it does not inflate whole. No profile is
// near 16 MB: a chunk inflating past that is a bomb, not a profile.
QByteArray inflatedProfile(QByteArrayView iccp)
{
    const qsizetype nameEnd = iccp.indexOf('\0');
    if (nameEnd < 1 || nameEnd + 2 > iccp.size() || iccp[nameEnd + 1] != '\0')
        return QByteArray();
    const QByteArrayView packed = iccp.sliced(nameEnd + 2);
    z_stream stream{};
    if (inflateInit(&stream) != Z_OK)
        return QByteArray();
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(packed.data()));
    stream.avail_in = uInt(packed.size());
    constexpr qsizetype step = 64 * 1024, limit = 16 * 1024 * 1024;
    QByteArray profile;
    int status = Z_OK;
    while (status == Z_OK && profile.size() < limit) {
        const qsizetype had = profile.size();
        profile.resize(had + step);
        stream.next_out = reinterpret_cast<Bytef *>(profile.data() + had);
        stream.avail_out = uInt(step);
        status = inflate(&stream, Z_NO_FLUSH);
        profile.resize(had + step - qsizetype(stream.avail_out));
    }
    inflateEnd(&stream);
    return status == Z_STREAM_END ? profile : QByteArray();
}

// The picture as 8-bit sRGB with straight alpha, as libpng makes it; null
// when it cannot be allocated or read (the image's message says which).
QImage srgbRead(png_image *image)
{
    image->format = PNG_FORMAT_RGBA;
    QImage out(int(image->width), int(image->height), QImage::Format_RGBA8888);
    if (out.isNull())
        return out;
    out.fill(0);
    if (!png_image_finish_read(image, nullptr, out.bits(), int(out.bytesPerLine()), nullptr))
        return QImage();
    out.setColorSpace(QColorSpace::SRgb);
    return out;
}

// The same by way of libpng's 16-bit linear output. Its 8-bit output of a
// 16-bit interlaced file applies the gamma wrongly to all but the first
// pass's pixels; its linear output is right, and is encoded here with the
// curve libpng takes 8-bit sRGB to have.
QImage linearRead(png_image *image)
{
    image->format = PNG_FORMAT_LINEAR_RGB_ALPHA; // alpha premultiplied
    QImage out(int(image->width), int(image->height), QImage::Format_RGBA64);
    if (out.isNull())
        return out;
    out.fill(0);
    if (!png_image_finish_read(image, nullptr, out.bits(),
                               int(out.bytesPerLine() / sizeof(quint16)), nullptr))
        return QImage();
    QImage srgb(out.size(), QImage::Format_RGBA8888);
    if (srgb.isNull())
        return srgb;
    static const std::vector<uchar> curve = []() {
        std::vector<uchar> table(65536);
        for (size_t i = 0; i < table.size(); ++i) {
            // libpng's own sRGB, both ways: a power of 2.2.
            table[i] = uchar(std::lround(std::pow(double(i) / 65535, 1 / 2.2) * 255));
        }
        return table;
    }();
    for (int y = 0; y < out.height(); ++y) {
        const auto *in = reinterpret_cast<const quint16 *>(out.constScanLine(y));
        uchar *row = srgb.scanLine(y);
        for (int x = 0; x < out.width(); ++x, in += 4, row += 4) {
            const quint32 alpha = in[3];
            for (int c = 0; c < 3; ++c) {
                const quint32 straight = alpha ? qMin<quint32>(65535, (in[c] * 65535u + alpha / 2) / alpha) : 0;
                row[c] = curve[straight];
            }
            row[3] = uchar((alpha * 255 + 32767) / 65535);
        }
    }
    srgb.setColorSpace(QColorSpace::SRgb);
    return srgb;
}

} // namespace

bool PngDecoder::recognizes(QByteArrayView head)
{
    const ColourChunks c = colourChunks(head);
    if (!c.png)
        return false;
    const bool garbled = c.depth == 16 && c.transparentColour && (c.colourType == 0 || c.colourType == 2);
    // 1/2.2 is sRGB's own gamma, near enough: nothing to correct.
    const bool ownGamma = c.gamma && !c.namedSpace && c.gammaValue > 0
            && std::abs(int(c.gammaValue) - 45455) > 1000;
    return garbled || ownGamma || ownPrimaries(c);
}

qint64 PngDecoder::decodeBytes() const
{
    const qint64 picture = ImageLimits::bytesFor(stored);
    // The file twice when read() takes its gAMA chunk out of a copy.
    const ColourChunks chunks = colourChunks(bytes);
    const qint64 file = chunks.iccp.isEmpty() || !chunks.gamma ? bytes.size() : 2 * bytes.size();
    return ImageLimits::plus(file,
                             turn == QImageIOHandler::TransformationNone ? picture : 2 * picture);
}

QImage PngDecoder::read(QString *errorString)
{
    const auto fail = [errorString](const QString &why) { return failed(errorString, why); };
    if (!isValid())
        return fail(error);
    if (!admits(stored, decodeBytes(), errorString))
        return QImage();
    const ColourChunks chunks = colourChunks(bytes);
    // A profile stands for the file's gamma too: libpng, which would apply
    // the gamma and leave the profile alone, is not shown the gAMA chunk.
    QByteArray fed = bytes;
    if (!chunks.iccp.isEmpty() && chunks.gamma)
        fed.remove(chunks.gammaAt, chunks.gammaEnd - chunks.gammaAt);
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, fed.constData(), size_t(fed.size())))
        return fail(reasonOf(image));
    // Every file comes out as 8-bit with straight alpha: libpng applies
    // the transparent colour and the file's gamma (gAMA, or sRGB's) on the
    // way. A 16-bit file that names no gamma is sRGB as any other, not the
    // linear light libpng takes it for by default. What libpng leaves
    // alone, a profile (iCCP) and primaries (cHRM), is applied below.
    image.flags |= PNG_IMAGE_FLAG_16BIT_sRGB;
    QImage out = chunks.depth == 16 && chunks.interlaced ? linearRead(&image) : srgbRead(&image);
    if (out.isNull()) {
        if (image.warning_or_error & PNG_IMAGE_ERROR)
            return fail(reasonOf(image));
        png_image_free(&image);
        return fail(ImageLimits::outOfMemory());
    }
    if (!chunks.iccp.isEmpty())
        out = withProfile(out, inflatedProfile(chunks.iccp));
    else if (ownPrimaries(chunks))
        out = withProfile(out, primariesProfile(chunks));
    return Orientation::applied(out, turn);
}
