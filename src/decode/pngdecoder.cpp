#include "decode/pngdecoder.h"

#include "base/imagelimits.h"
#include "base/orientation.h"
#include "base/pngchunks.h"
#include "metadata/exivsupport.h"

#include <QColorSpace>
#include <QCoreApplication>
#include <QtEndian>

#include <png.h>

#include <cmath>
#include <memory>

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

bool PngDecoder::recognizes(QByteArrayView head)
{
    PngChunks chunks(head);
    if (!chunks.isPng())
        return false;
    int depth = 0, colourType = 0;
    bool transparentColour = false, gamma = false, namedSpace = false;
    quint32 gammaValue = 0;
    PngChunks::Chunk chunk;
    while (chunks.next(&chunk) && chunk.type != PngChunks::tag("IDAT")) {
        if (!chunk.whole)
            return false;
        const auto *body = reinterpret_cast<const uchar *>(head.data() + chunk.dataAt());
        if (chunk.type == PngChunks::tag("IHDR") && chunk.length >= 13) {
            depth = body[8];
            colourType = body[9];
        } else if (chunk.type == PngChunks::tag("tRNS")) {
            transparentColour = true;
        } else if (chunk.type == PngChunks::tag("gAMA") && chunk.length >= 4) {
            gamma = true;
            gammaValue = qFromBigEndian<quint32>(body);
        } else if (chunk.type == PngChunks::tag("sRGB") || chunk.type == PngChunks::tag("iCCP")) {
            namedSpace = true;
        }
    }
    const bool garbled = depth == 16 && transparentColour && (colourType == 0 || colourType == 2);
    // 1/2.2 is sRGB's own gamma, near enough: nothing to correct.
    const bool ownGamma = gamma && !namedSpace && gammaValue > 0
            && std::abs(int(gammaValue) - 45455) > 1000;
    return garbled || ownGamma;
}

qint64 PngDecoder::decodeBytes() const
{
    const qint64 picture = ImageLimits::bytesFor(stored);
    return ImageLimits::plus(bytes.size(),
                             turn == QImageIOHandler::TransformationNone ? picture : 2 * picture);
}

QImage PngDecoder::read(QString *errorString)
{
    const auto fail = [errorString](const QString &why) { return failed(errorString, why); };
    if (!isValid())
        return fail(error);
    if (!admits(stored, decodeBytes(), errorString))
        return QImage();
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, bytes.constData(), size_t(bytes.size())))
        return fail(reasonOf(image));
    // Every file comes out as 8-bit sRGB with straight alpha: libpng
    // applies the transparent colour and the file's gamma on the way.
    image.format = PNG_FORMAT_RGBA;
    QImage out(int(image.width), int(image.height), QImage::Format_RGBA8888);
    if (out.isNull()) {
        png_image_free(&image);
        return fail(ImageLimits::outOfMemory());
    }
    out.fill(0);
    if (!png_image_finish_read(&image, nullptr, out.bits(), int(out.bytesPerLine()), nullptr))
        return fail(reasonOf(image));
    out.setColorSpace(QColorSpace::SRgb);
    return Orientation::applied(out, turn);
}
