// glib's headers first: Qt's keyword macros (signals) clash with them.
#include <gdk-pixbuf/gdk-pixbuf.h>

#include "decode/pixbufdecoder.h"

#include "base/imagelimits.h"
#include "decode/bmpheader.h"

#include <QCoreApplication>
#include <QtEndian>

#include <cstring>
#include <vector>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("PixbufDecoder", text);
}

// What one run of a loader over some bytes gave.
struct Outcome
{
    QSize size;                // as the header says; invalid when never told
    bool refused = false;      // stopped at the header (size only, or too large)
    std::vector<char> rows;    // which rows the loader said it wrote
    GdkPixbuf *pixbuf = nullptr;
    QString error;

    Outcome() = default;
    Outcome(const Outcome &) = delete;
    Outcome &operator=(const Outcome &) = delete;
    ~Outcome()
    {
        if (pixbuf)
            g_object_unref(pixbuf);
    }
    int rowsWritten() const { return int(std::count(rows.begin(), rows.end(), 1)); }
};

struct Watch
{
    Outcome *outcome;
    bool sizeOnly;
};

void sizePrepared(GdkPixbufLoader *loader, gint width, gint height, gpointer data)
{
    auto *watch = static_cast<Watch *>(data);
    Outcome &out = *watch->outcome;
    out.size = QSize(width, height);
    if (watch->sizeOnly || width <= 0 || height <= 0 || !ImageLimits::fitsLimit(out.size)) {
        // A size of nothing makes the loader stop before it allocates.
        out.refused = true;
        gdk_pixbuf_loader_set_size(loader, 0, 0);
        return;
    }
    out.rows.assign(size_t(height), 0);
}

void areaUpdated(GdkPixbufLoader *, gint, gint y, gint, gint height, gpointer data)
{
    Outcome &out = *static_cast<Watch *>(data)->outcome;
    for (qint64 row = qMax(0, y); row < qint64(y) + height && row < qint64(out.rows.size()); ++row)
        out.rows[size_t(row)] = 1;
}

// Feeds bytes to a loader of kind; with sizeOnly, only until the header
// has told the size.
void run(const QByteArray &bytes, const QByteArray &kind, bool sizeOnly, Outcome *out)
{
    GError *error = nullptr;
    GdkPixbufLoader *loader = gdk_pixbuf_loader_new_with_type(kind.constData(), &error);
    if (!loader) {
        out->error = error ? QString::fromUtf8(error->message) : QString();
        g_clear_error(&error);
        return;
    }
    Watch watch{out, sizeOnly};
    g_signal_connect(loader, "size-prepared", G_CALLBACK(sizePrepared), &watch);
    g_signal_connect(loader, "area-updated", G_CALLBACK(areaUpdated), &watch);
    // In pieces, so that a header is looked at before the rest is fed.
    constexpr qsizetype piece = 64 * 1024;
    bool ok = true;
    for (qsizetype at = 0; ok && at < bytes.size() && !out->refused; at += piece) {
        const qsizetype n = qMin(piece, bytes.size() - at);
        ok = gdk_pixbuf_loader_write(loader, reinterpret_cast<const guchar *>(bytes.constData() + at),
                                     gsize(n), &error);
    }
    if (!ok) {
        out->error = QString::fromUtf8(error->message);
        g_clear_error(&error);
    }
    // Closed even after a failed write, as the loader wants; its own verdict
    // on a file that ends early comes here.
    const bool closed = gdk_pixbuf_loader_close(loader, ok ? &error : nullptr);
    if (ok && !closed && !out->refused) {
        out->error = error ? QString::fromUtf8(error->message) : tr("damaged file");
        g_clear_error(&error);
    }
    g_clear_error(&error);
    if (out->error.isEmpty() && !out->refused) {
        out->pixbuf = gdk_pixbuf_loader_get_pixbuf(loader);
        if (out->pixbuf)
            g_object_ref(out->pixbuf);
    }
    g_object_unref(loader);
}

QImage toImage(GdkPixbuf *pixbuf)
{
    if (gdk_pixbuf_get_bits_per_sample(pixbuf) != 8 || gdk_pixbuf_get_colorspace(pixbuf) != GDK_COLORSPACE_RGB)
        return QImage();
    const int width = gdk_pixbuf_get_width(pixbuf);
    const int height = gdk_pixbuf_get_height(pixbuf);
    const int channels = gdk_pixbuf_get_n_channels(pixbuf);
    const bool alpha = gdk_pixbuf_get_has_alpha(pixbuf);
    if ((alpha ? 4 : 3) != channels)
        return QImage();
    QImage image(width, height, alpha ? QImage::Format_RGBA8888 : QImage::Format_RGB888);
    if (image.isNull())
        return image;
    const int stride = gdk_pixbuf_get_rowstride(pixbuf);
    const guchar *pixels = gdk_pixbuf_read_pixels(pixbuf);
    for (int y = 0; y < height; ++y)
        std::memcpy(image.scanLine(y), pixels + qsizetype(y) * stride, size_t(width) * size_t(channels));
    return image;
}

// Whether the BMP's colour indexes all lie within its palette: decoded
// again with every palette entry one colour, anything else that shows came
// from an index past the palette (the loader leaves those black).
bool indexesWithinPalette(const QByteArray &bytes, const BmpHeader &header)
{
    static constexpr uchar mark[3] = {0x03, 0x02, 0x01}; // blue, green, red
    QByteArray marked = bytes;
    for (int i = 0; i < header.paletteColours; ++i)
        std::memcpy(marked.data() + header.paletteOffset + 4 * i, mark, 3);
    Outcome out;
    run(marked, "bmp", false, &out);
    if (!out.pixbuf)
        return false;
    const QImage image = toImage(out.pixbuf);
    if (image.isNull())
        return false;
    const bool alpha = image.hasAlphaChannel();
    for (int y = 0; y < image.height(); ++y) {
        const uchar *p = image.constScanLine(y);
        const int step = alpha ? 4 : 3;
        for (int x = 0; x < image.width(); ++x, p += step) {
            // Pixels an RLE bitmap skips stay transparent: not indexes.
            if (alpha && p[3] == 0)
                continue;
            if (p[0] != mark[2] || p[1] != mark[1] || p[2] != mark[0])
                return false;
        }
    }
    return true;
}

// The loader widens a bit field of fewer than four bits by a shift alone
// (a 2-bit red of 3 comes out 192): its value is still in the top bits,
// and is scaled here to the full range.
void widenNarrowFields(QImage *image, const BmpHeader &header)
{
    const int channels = image->hasAlphaChannel() ? 4 : 3;
    int bits[4] = {header.redBits, header.greenBits, header.blueBits,
                   channels == 4 ? header.alphaBits : 0};
    bool any = false;
    for (int &n : bits) {
        if (n >= 4 || n <= 0)
            n = 0;
        else
            any = true;
    }
    if (!any)
        return;
    uchar table[4][256];
    for (int c = 0; c < 4; ++c) {
        for (int v = 0; v < 256; ++v) {
            const int n = bits[c];
            const int top = n ? v >> (8 - n) : 0;
            const int max = (1 << n) - 1;
            table[c][v] = n ? uchar((top * 255 + max / 2) / max) : uchar(v);
        }
    }
    for (int y = 0; y < image->height(); ++y) {
        uchar *p = image->scanLine(y);
        for (int x = 0; x < image->width(); ++x, p += channels)
            for (int c = 0; c < channels; ++c)
                p[c] = table[c][p[c]];
    }
}

// The picture with the alpha of a 16-bit BMP's alpha field, which the
// loader does not read: taken from the file's rows by the header's mask
// and scaled to the full range. Null when the rows are not all there.
QImage withAlphaField(const QImage &image, const QByteArray &bytes, const BmpHeader &header)
{
    const qint64 stride = (qint64(header.width) * 16 + 31) / 32 * 4;
    if (header.width != image.width() || header.height != image.height() || header.dataOffset < 0
        || header.dataOffset + stride * image.height() > bytes.size())
        return QImage();
    QImage out = image.convertToFormat(QImage::Format_ARGB32);
    const int shift = qCountTrailingZeroBits(header.alphaMask);
    const quint32 max = header.alphaMask >> shift;
    for (int y = 0; y < out.height(); ++y) {
        const int stored = header.topDown ? y : out.height() - 1 - y;
        const auto *row = reinterpret_cast<const uchar *>(bytes.constData()) + header.dataOffset
                + stride * stored;
        auto *line = reinterpret_cast<QRgb *>(out.scanLine(y));
        for (int x = 0; x < out.width(); ++x) {
            const quint32 field = (qFromLittleEndian<quint16>(row + 2 * x) & header.alphaMask) >> shift;
            line[x] = (line[x] & 0xffffff) | ((field * 255 + max / 2) / max) << 24;
        }
    }
    return out;
}

// An RLE bitmap's pixels that its codes skip (deltas, rows ended early),
// which the loader leaves transparent, in the palette's first colour, as
// Windows and other readers show them; the bitmap has no alpha of its own.
QImage skippedFilled(const QImage &image, const QByteArray &bytes, const BmpHeader &header)
{
    if (!image.hasAlphaChannel() || header.paletteOffset <= 0
        || header.paletteOffset + 4 > bytes.size())
        return image;
    const auto *entry = reinterpret_cast<const uchar *>(bytes.constData()) + header.paletteOffset;
    const QRgb first = qRgb(entry[2], entry[1], entry[0]);
    QImage out = image.convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < out.height(); ++y) {
        auto *line = reinterpret_cast<QRgb *>(out.scanLine(y));
        for (int x = 0; x < out.width(); ++x)
            line[x] = qAlpha(line[x]) == 0 ? first : (line[x] | 0xff000000);
    }
    return out.convertToFormat(QImage::Format_RGB32);
}

// The BMP with its pixels moved up to the end of its palette, where the
// loader reads them whatever the header's offset says (it reads the gap
// as pixels, and writes no rows). Unchanged when there is no gap.
QByteArray withoutGap(QByteArray bytes)
{
    constexpr int fileHeader = 14;
    if (bytes.size() < fileHeader + 40 || !bytes.startsWith("BM"))
        return bytes;
    const auto *h = reinterpret_cast<const uchar *>(bytes.constData());
    const quint32 infoSize = qFromLittleEndian<quint32>(h + fileHeader);
    const int depth = qFromLittleEndian<quint16>(h + fileHeader + 14);
    const quint32 used = qFromLittleEndian<quint32>(h + fileHeader + 32);
    if (infoSize < 40 || infoSize > 1024 || depth < 1 || depth > 8 || used > 256)
        return bytes;
    const qint64 paletteEnd = fileHeader + qint64(infoSize) + 4 * qint64(used ? used : 1u << depth);
    const qint64 offset = qFromLittleEndian<quint32>(h + 10);
    if (offset <= paletteEnd || offset >= bytes.size())
        return bytes;
    bytes.remove(paletteEnd, offset - paletteEnd);
    qToLittleEndian<quint32>(quint32(paletteEnd), bytes.data() + 10);
    qToLittleEndian<quint32>(quint32(bytes.size()), bytes.data() + 2);
    return bytes;
}

} // namespace

PixbufDecoder::PixbufDecoder(QByteArray fileBytes, QByteArray loaderKind)
    : bytes(std::move(fileBytes)), kind(std::move(loaderKind))
{
    if (kind == "bmp")
        bytes = withoutGap(std::move(bytes));
    Outcome out;
    run(bytes, kind, true, &out);
    if (!out.size.isValid() || out.size.isEmpty()) {
        error = out.error.isEmpty() ? tr("damaged file (no picture size)")
                                    : tr("damaged file (%1)").arg(out.error);
        return;
    }
    stored = out.size;
}

QImage PixbufDecoder::read(QString *errorString)
{
    if (!isValid())
        return failed(errorString, error);
    if (!admits(stored, errorString))
        return QImage();
    Outcome out;
    run(bytes, kind, false, &out);
    if (!out.error.isEmpty())
        return failed(errorString, tr("damaged file (%1)").arg(out.error));
    if (!out.pixbuf)
        return failed(errorString, tr("damaged file"));
    // A loader that stops where the file does hands back the rows it never
    // wrote as they were allocated.
    const int written = out.rowsWritten();
    if (written < stored.height()) {
        return failed(errorString, tr("file ends early (%1 of %2 rows)")
                                           .arg(written)
                                           .arg(stored.height()));
    }
    const BmpHeader header = kind == "bmp" ? BmpHeader(bytes) : BmpHeader();
    if (header.paletteShort() && !indexesWithinPalette(bytes, header)) {
        return failed(errorString, tr("damaged file (colour indexes past the palette's %1 colours)")
                                           .arg(header.paletteColours));
    }
    QImage image = toImage(out.pixbuf);
    if (image.isNull())
        return failed(errorString, ImageLimits::outOfMemory());
    if (header.runLength)
        image = skippedFilled(image, bytes, header);
    if (header.bitFields)
        widenNarrowFields(&image, header);
    // Only a mask within the 16 bits, beside the colours', is an alpha field.
    const bool alphaField = header.bitFields && header.depth == 16 && header.alphaMask != 0
            && header.alphaMask <= 0xffff && header.alphaBits < 16;
    if (alphaField) {
        image = withAlphaField(image, bytes, header);
        if (image.isNull())
            return failed(errorString, tr("file ends early"));
    }
    // The formats Qt's own readers hand out, so that a picture is the same
    // whichever reader made it.
    image = image.convertToFormat(image.hasAlphaChannel() ? QImage::Format_ARGB32
                                                          : QImage::Format_RGB32);
    if (image.isNull())
        return failed(errorString, ImageLimits::outOfMemory());
    return image;
}

bool PixbufDecoder::looksLikeTga(QByteArrayView head)
{
    if (head.size() < 18)
        return false;
    const auto *h = reinterpret_cast<const uchar *>(head.data());
    const int mapType = h[1];
    const int type = h[2];
    const int depth = h[16];
    const bool mapped = type == 1 || type == 9;
    const bool knownType = mapped || type == 2 || type == 3 || type == 10 || type == 11;
    const bool knownDepth = depth == 8 || depth == 15 || depth == 16 || depth == 24 || depth == 32;
    const int width = qFromLittleEndian<quint16>(h + 12);
    const int height = qFromLittleEndian<quint16>(h + 14);
    return mapType <= 1 && (mapType == 1 || !mapped) && knownType && knownDepth && width > 0
            && height > 0;
}

void PixbufDecoder::loadModules()
{
    for (const char *name : {"bmp", "tga"}) {
        if (GdkPixbufLoader *loader = gdk_pixbuf_loader_new_with_type(name, nullptr)) {
            gdk_pixbuf_loader_close(loader, nullptr);
            g_object_unref(loader);
        }
    }
}
