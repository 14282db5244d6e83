#include "encode/pngwriter.h"

#include "base/logging.h"

#include <QColorSpace>
#include <QMap>
#include <QtEndian>

#include <libdeflate.h>
#include <png.h>

#include <algorithm>
#include <csetjmp>
#include <cstring>
#include <memory>
#include <new>
#include <numeric>
#include <vector>

namespace {

// How the picture's rows are stored in the file, as Qt's writer stores
// them for each QImage format: rows of formats it has no direct way for
// are converted first (to ARGB32 or RGB32, RGBA64 for premultiplied
// deep colour), as Qt converts them.
struct Layout
{
    int colorType = PNG_COLOR_TYPE_RGB;
    int depth = 8;    // bits per sample
    int channels = 3; // samples per pixel
    QImage::Format rows = QImage::Format_RGB32;
    bool converted = false;

    int bytesPerPixel() const { return (depth * channels + 7) / 8; }
    size_t rowBytes(int width) const { return (size_t(width) * depth * channels + 7) / 8; }
    // libpng filters rows only of 8 bits and more, and never a palette's.
    bool filtered() const { return colorType != PNG_COLOR_TYPE_PALETTE && depth >= 8; }
};

Layout layoutOf(const QImage &image)
{
    Layout l;
    l.rows = image.format();
    switch (image.format()) {
    case QImage::Format_Mono:
    case QImage::Format_MonoLSB:
    case QImage::Format_Indexed8:
        l.colorType = image.isGrayscale() ? PNG_COLOR_TYPE_GRAY : PNG_COLOR_TYPE_PALETTE;
        l.depth = image.depth();
        l.channels = 1;
        break;
    case QImage::Format_Grayscale8:
    case QImage::Format_Grayscale16:
        l.colorType = PNG_COLOR_TYPE_GRAY;
        l.depth = image.depth();
        l.channels = 1;
        break;
    case QImage::Format_RGBX64:
        l.depth = 16;
        break;
    case QImage::Format_RGBA64_Premultiplied:
        l.rows = QImage::Format_RGBA64;
        l.converted = true;
        Q_FALLTHROUGH();
    case QImage::Format_RGBA64:
        l.colorType = PNG_COLOR_TYPE_RGB_ALPHA;
        l.depth = 16;
        l.channels = 4;
        break;
    case QImage::Format_RGB32:
    case QImage::Format_RGB888:
    case QImage::Format_BGR888:
    case QImage::Format_RGBX8888:
        break;
    case QImage::Format_ARGB32:
    case QImage::Format_RGBA8888:
        l.colorType = PNG_COLOR_TYPE_RGB_ALPHA;
        l.channels = 4;
        break;
    default:
        l.converted = true;
        if (image.hasAlphaChannel()) {
            l.colorType = PNG_COLOR_TYPE_RGB_ALPHA;
            l.channels = 4;
            l.rows = QImage::Format_ARGB32;
        } else {
            l.rows = QImage::Format_RGB32;
        }
        break;
    }
    return l;
}

// One row of a picture in rows' format as the file stores it: samples in
// R, G, B, A order, big-endian, no filler; 1-bit rows most significant
// bit first, with the bits past the width cleared.
void packRow(const uchar *in, uchar *out, int width, QImage::Format rows, size_t rowBytes)
{
    switch (rows) {
    case QImage::Format_RGB32: // 0xffRRGGBB in memory order B, G, R, X
        for (int x = 0; x < width; ++x, in += 4, out += 3) {
            out[0] = in[2];
            out[1] = in[1];
            out[2] = in[0];
        }
        break;
    case QImage::Format_ARGB32:
        for (int x = 0; x < width; ++x, in += 4, out += 4) {
            out[0] = in[2];
            out[1] = in[1];
            out[2] = in[0];
            out[3] = in[3];
        }
        break;
    case QImage::Format_BGR888:
        for (int x = 0; x < width; ++x, in += 3, out += 3) {
            out[0] = in[2];
            out[1] = in[1];
            out[2] = in[0];
        }
        break;
    case QImage::Format_RGBX8888:
        for (int x = 0; x < width; ++x, in += 4, out += 3)
            std::memcpy(out, in, 3);
        break;
    case QImage::Format_RGBX64:
        for (int x = 0; x < width; ++x, in += 8, out += 6)
            qToBigEndian<quint16>(in, 3, out);
        break;
    case QImage::Format_RGBA64:
    case QImage::Format_Grayscale16:
        qToBigEndian<quint16>(in, qsizetype(rowBytes / 2), out);
        break;
    case QImage::Format_MonoLSB:
        for (size_t i = 0; i < rowBytes; ++i) {
            uchar v = in[i];
            v = uchar((v & 0xf0) >> 4 | (v & 0x0f) << 4);
            v = uchar((v & 0xcc) >> 2 | (v & 0x33) << 2);
            out[i] = uchar((v & 0xaa) >> 1 | (v & 0x55) << 1);
        }
        break;
    default: // Mono, Indexed8, Grayscale8, RGB888, RGBA8888: as stored
        std::memcpy(out, in, rowBytes);
        break;
    }
    if (rows == QImage::Format_Mono || rows == QImage::Format_MonoLSB) {
        if (const int spare = int(rowBytes * 8) - width)
            out[rowBytes - 1] &= uchar(0xff << spare);
    }
}

// libpng's measure of a filtered row: its bytes taken as signed, summed
// by magnitude.
size_t weight(const uchar *row, size_t n)
{
    size_t sum = 0;
    for (size_t i = 0; i < n; ++i)
        sum += std::min<uchar>(row[i], uchar(-row[i]));
    return sum;
}

// The four predictors of the PNG format over one row (prev: the row
// above, zeros for the first), bpp bytes a pixel.
void subRow(const uchar *raw, uchar *out, size_t n, size_t bpp)
{
    std::memcpy(out, raw, bpp);
    for (size_t i = bpp; i < n; ++i)
        out[i] = uchar(raw[i] - raw[i - bpp]);
}

void upRow(const uchar *raw, const uchar *prev, uchar *out, size_t n)
{
    for (size_t i = 0; i < n; ++i)
        out[i] = uchar(raw[i] - prev[i]);
}

void averageRow(const uchar *raw, const uchar *prev, uchar *out, size_t n, size_t bpp)
{
    for (size_t i = 0; i < bpp; ++i)
        out[i] = uchar(raw[i] - prev[i] / 2);
    for (size_t i = bpp; i < n; ++i)
        out[i] = uchar(raw[i] - (unsigned(raw[i - bpp]) + prev[i]) / 2);
}

void paethRow(const uchar *raw, const uchar *prev, uchar *out, size_t n, size_t bpp)
{
    for (size_t i = 0; i < bpp; ++i)
        out[i] = uchar(raw[i] - prev[i]);
    for (size_t i = bpp; i < n; ++i) {
        const int a = raw[i - bpp], b = prev[i], c = prev[i - bpp];
        const int pa = std::abs(b - c), pb = std::abs(a - c), pc = std::abs(a + b - 2 * c);
        const int predicted = (pa <= pb && pa <= pc) ? a : (pb <= pc) ? b : c;
        out[i] = uchar(raw[i] - predicted);
    }
}

// Writes raw (n bytes, prev the row above) into out as filter type and
// filtered bytes: the type whose row weighs least, the first of equals
// in the order None, Sub, Up, Average, Paeth, as libpng chooses.
void filterRow(const uchar *raw, const uchar *prev, uchar *out, size_t n, size_t bpp,
               uchar *scratch)
{
    uchar *rows[4] = {scratch, scratch + n, scratch + 2 * n, scratch + 3 * n};
    subRow(raw, rows[0], n, bpp);
    upRow(raw, prev, rows[1], n);
    averageRow(raw, prev, rows[2], n, bpp);
    paethRow(raw, prev, rows[3], n, bpp);
    const uchar *best = raw;
    uchar type = 0;
    size_t least = weight(raw, n);
    for (uchar t = 1; t <= 4; ++t) {
        const size_t w = weight(rows[t - 1], n);
        if (w < least) {
            least = w;
            best = rows[t - 1];
            type = t;
        }
    }
    out[0] = type;
    std::memcpy(out + 1, best, n);
}

// Every row of image, packed and filtered, one after the other, as the
// IDAT data holds them before compression.
std::unique_ptr<uchar[]> filteredRows(const QImage &image, const Layout &layout, size_t *length)
{
    const int width = image.width();
    const size_t n = layout.rowBytes(width);
    const size_t bpp = size_t(layout.bytesPerPixel());
    *length = size_t(image.height()) * (n + 1);
    std::unique_ptr<uchar[]> out(new uchar[*length]);
    std::vector<uchar> work(n * 6);
    uchar *raw = work.data(), *prev = work.data() + n, *scratch = work.data() + 2 * n;
    std::memset(prev, 0, n);
    constexpr int stripeRows = 16;
    QImage stripe;
    for (int y = 0; y < image.height(); ++y) {
        const uchar *in;
        if (layout.converted) {
            // As Qt's writer does for these formats, a few rows at a time.
            if (y % stripeRows == 0) {
                stripe = image.copy(0, y, width, std::min(stripeRows, image.height() - y))
                                 .convertToFormat(layout.rows);
                if (stripe.isNull())
                    throw std::bad_alloc();
            }
            in = stripe.constScanLine(y % stripeRows);
        } else {
            in = image.constScanLine(y);
        }
        packRow(in, raw, width, layout.rows, n);
        uchar *row = out.get() + size_t(y) * (n + 1);
        if (layout.filtered()) {
            filterRow(raw, prev, row, n, bpp, scratch);
        } else {
            row[0] = 0;
            std::memcpy(row + 1, raw, n);
        }
        std::swap(raw, prev);
    }
    return out;
}

// ---- the chunks around the pixels, by libpng --------------------------------

struct Failure
{
    char message[160] = {};
};

[[noreturn]] void failed(png_structp png, png_const_charp message)
{
    auto *failure = static_cast<Failure *>(png_get_error_ptr(png));
    std::strncpy(failure->message, message, sizeof failure->message - 1);
    png_longjmp(png, 1);
}

void warned(png_structp, png_const_charp message)
{
    qCDebug(lcEncode) << "libpng:" << message;
}

void appendBytes(png_structp png, png_bytep data, size_t length)
{
    auto *bytes = static_cast<QByteArray *>(png_get_io_ptr(png));
    try {
        bytes->append(reinterpret_cast<const char *>(data), qsizetype(length));
    } catch (const std::bad_alloc &) {
        png_error(png, "out of memory");
    }
}

void noFlush(png_structp) {}

// A text chunk as Qt's writer hands it to libpng: Latin-1 text in tEXt,
// other text in iTXt, either compressed from 40 characters on.
struct Text
{
    QByteArray key, text, translatedKey;
    int compression = PNG_TEXT_COMPRESSION_NONE;
};

std::vector<Text> textsOf(const QImage &image)
{
    QMap<QString, QString> text;
    for (const QString &key : image.textKeys()) {
        if (!key.isEmpty())
            text.insert(key, image.text(key));
    }
    std::vector<Text> texts;
    for (auto it = text.cbegin(); it != text.cend(); ++it) {
        Text t;
        t.key = QStringView(it.key()).left(79).toLatin1();
        const bool compressed = it.value().length() >= 40;
        const bool latin1 = std::none_of(it.value().begin(), it.value().end(), [](QChar c) {
            const uchar ch = c.cell();
            return c.row() || (ch < 0x20 && ch != '\n') || (ch > 0x7e && ch < 0xa0);
        });
        if (latin1) {
            t.compression = compressed ? PNG_TEXT_COMPRESSION_zTXt : PNG_TEXT_COMPRESSION_NONE;
            t.text = it.value().toLatin1();
        } else {
            t.compression = compressed ? PNG_ITXT_COMPRESSION_zTXt : PNG_ITXT_COMPRESSION_NONE;
            t.text = it.value().toUtf8();
            t.translatedKey = it.key().toUtf8();
        }
        texts.push_back(t);
    }
    return texts;
}

// What libpng is handed for the chunks before the pixels, made before its
// error handling starts (a longjmp skips no destructor then).
struct Head
{
    const QImage *image = nullptr;
    const Layout *layout = nullptr;
    bool hasProfile = false;
    QByteArray profileName, profile;
    std::vector<Text> texts;
    std::vector<png_text> entries;
    png_color palette[256] = {};
    png_byte alphas[256] = {};
    int colors = 0;
    int translucent = 0; // palette entries up to the last that is not opaque
};

Head headOf(const QImage &image, const Layout &layout)
{
    Head h;
    h.image = &image;
    h.layout = &layout;
    const QColorSpace space = image.colorSpace();
    h.hasProfile = space.isValid();
    h.profileName = h.hasProfile ? space.description().toLatin1() : QByteArray();
    if (h.profileName.isEmpty())
        h.profileName = QByteArrayLiteral("Custom");
    h.profile = h.hasProfile ? space.iccProfile() : QByteArray();
    h.texts = textsOf(image);
    h.entries.resize(h.texts.size());
    for (size_t i = 0; i < h.texts.size(); ++i) {
        Text &t = h.texts[i];
        png_text &e = h.entries[i];
        e.compression = t.compression;
        e.key = t.key.data();
        e.text = t.text.data();
        if (t.compression >= PNG_ITXT_COMPRESSION_NONE) {
            e.itxt_length = size_t(t.text.size());
            e.lang = const_cast<char *>("UTF-8");
            e.lang_key = t.translatedKey.data();
        } else {
            e.text_length = size_t(t.text.size());
        }
    }
    h.colors = std::min<int>(256, int(image.colorCount()));
    for (int i = 0; i < h.colors; ++i) {
        const QRgb c = image.color(i);
        h.palette[i] = {png_byte(qRed(c)), png_byte(qGreen(c)), png_byte(qBlue(c))};
        h.alphas[i] = png_byte(qAlpha(c));
        if (h.alphas[i] < 255)
            h.translucent = i + 1;
    }
    return h;
}

// The chunks Qt's writer puts before the pixels, from the signature on,
// appended to out by libpng from the calls Qt makes; false with failure's
// message when libpng refuses them.
bool writeHead(const Head &h, QByteArray *out, Failure *failure)
{
    const QImage &image = *h.image;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, failure, failed, warned);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info) {
        png_destroy_write_struct(&png, nullptr);
        throw std::bad_alloc();
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_set_benign_errors(png, 1);
    png_set_write_fn(png, out, appendBytes, noFlush);
    png_set_IHDR(png, info, png_uint_32(image.width()), png_uint_32(image.height()),
                 h.layout->depth, h.layout->colorType, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_BASE, PNG_FILTER_TYPE_BASE);
    if (h.hasProfile) {
        png_set_iCCP(png, info, h.profileName.constData(), PNG_COMPRESSION_TYPE_BASE,
                     reinterpret_cast<png_const_bytep>(h.profile.constData()),
                     png_uint_32(h.profile.size()));
    }
    if (h.layout->colorType == PNG_COLOR_TYPE_PALETTE) {
        png_set_PLTE(png, info, h.palette, h.colors);
        if (h.translucent)
            png_set_tRNS(png, info, h.alphas, h.translucent, nullptr);
    }
    if (image.offset().x() || image.offset().y())
        png_set_oFFs(png, info, image.offset().x(), image.offset().y(), PNG_OFFSET_PIXEL);
    if (image.dotsPerMeterX() > 0 || image.dotsPerMeterY() > 0) {
        png_set_pHYs(png, info, png_uint_32(image.dotsPerMeterX()),
                     png_uint_32(image.dotsPerMeterY()), PNG_RESOLUTION_METER);
    }
    if (!h.entries.empty())
        png_set_text(png, info, h.entries.data(), int(h.entries.size()));
    png_write_info(png, info);
    png_destroy_write_struct(&png, &info);
    return true;
}

void putChunkHead(char *at, quint32 length, const char *type)
{
    qToBigEndian<quint32>(length, at);
    std::memcpy(at + 4, type, 4);
}

} // namespace

QByteArray PngWriter::write(const QImage &image, QString *errorString, int level)
{
    if (image.isNull()) {
        if (errorString)
            *errorString = QStringLiteral("no image");
        return QByteArray();
    }
    const Layout layout = layoutOf(image);
    const Head handed = headOf(image, layout);
    QByteArray bytes;
    // Room for the chunks, so that libpng's writes need no allocation.
    bytes.reserve(4096 + handed.profile.size()
                  + std::accumulate(handed.texts.begin(), handed.texts.end(), qsizetype(0),
                                    [](qsizetype n, const Text &t) {
                                        return n + t.key.size() + t.text.size() + 32;
                                    }));
    Failure failure;
    if (!writeHead(handed, &bytes, &failure)) {
        if (errorString)
            *errorString = QString::fromLatin1(failure.message);
        return QByteArray();
    }

    size_t length = 0;
    std::unique_ptr<uchar[]> rows = filteredRows(image, layout, &length);
    const std::unique_ptr<libdeflate_compressor, decltype(&libdeflate_free_compressor)> compressor(
            libdeflate_alloc_compressor(level), libdeflate_free_compressor);
    if (!compressor)
        throw std::bad_alloc();
    // One IDAT chunk holds at most 2^31 - 1 bytes; the pictures the limits
    // admit compress to less.
    constexpr size_t maxChunk = 0x7fffffff;
    const size_t room = std::min(libdeflate_zlib_compress_bound(compressor.get(), length), maxChunk);
    const qsizetype head = bytes.size();
    static const char end[] = "\0\0\0\0IEND\xae\x42\x60\x82";
    bytes.resize(head + 8 + qsizetype(room) + 4 + 12);
    char *idat = bytes.data() + head;
    const size_t packed = libdeflate_zlib_compress(compressor.get(), rows.get(), length, idat + 8, room);
    rows.reset();
    if (packed == 0) {
        if (errorString)
            *errorString = QStringLiteral("the picture is too large for a PNG file");
        return QByteArray();
    }
    putChunkHead(idat, quint32(packed), "IDAT");
    const quint32 crc = libdeflate_crc32(0, idat + 4, 4 + packed);
    qToBigEndian<quint32>(crc, idat + 8 + packed);
    std::memcpy(idat + 8 + packed + 4, end, 12);
    bytes.resize(head + 8 + qsizetype(packed) + 4 + 12);
    return bytes;
}
