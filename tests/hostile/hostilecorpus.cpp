#include "hostilecorpus.h"

#include "testsupport.h"

#include "base/pngchunks.h"
#include "conversion/convertsettings.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QImageReader>
#include <QImageWriter>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <array>


namespace Hostile {

namespace {

QByteArray encode(const QImage &image, const char *format, int quality = -1,
                  bool progressive = false)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, format);
    if (quality >= 0)
        writer.setQuality(quality);
    writer.setProgressiveScanWrite(progressive);
    if (!writer.write(image))
        qWarning() << "corpus: cannot encode" << format << writer.errorString();
    return bytes;
}

void putBe32(QByteArray &out, quint32 v)
{
    out += char(v >> 24);
    out += char(v >> 16);
    out += char(v >> 8);
    out += char(v);
}

void putLe16(QByteArray &out, quint16 v)
{
    out += char(v);
    out += char(v >> 8);
}

void putLe32(QByteArray &out, quint32 v)
{
    putLe16(out, quint16(v));
    putLe16(out, quint16(v >> 16));
}

void setLe32(QByteArray &out, int at, quint32 v)
{
    for (int i = 0; i < 4; ++i)
        out[at + i] = char(v >> (8 * i));
}

quint32 readLe32(const QByteArray &b, int at)
{
    quint32 v = 0;
    for (int i = 3; i >= 0; --i)
        v = (v << 8) | quint8(b.at(at + i));
    return v;
}

int markerEnd(const QByteArray &jpeg, const char marker[2])
{
    const int at = int(jpeg.indexOf(QByteArray(marker, 2)));
    if (at < 0)
        return -1;
    const int length = (quint8(jpeg.at(at + 2)) << 8) | quint8(jpeg.at(at + 3));
    return at + 2 + length;
}

QImage rgbPattern(const QSize &size)
{
    return TestSupport::pattern(size).convertToFormat(QImage::Format_RGB888);
}

QByteArray rotatedJpeg(const QSize &stored, quint16 orientation)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("r.jpg"));
    TestSupport::writeRotatedJpeg(path, stored, orientation);
    return TestSupport::fileBytes(path);
}

Case make(const QString &fileName, const QByteArray &bytes, const QSize &shown,
          Outcome all = Outcome::Converts)
{
    Case c;
    c.fileName = fileName;
    c.bytes = bytes;
    c.shown = shown;
    c.outcome[SizeCommand] = c.outcome[FormatCommand] = c.outcome[BothCommand] = all;
    return c;
}

} // namespace

QString formatOfIndex(int index)
{
    return index == 0 ? QString() : TargetFormat::ofItem(index).nameFor(QString());
}

QByteArray textBombPng(const QByteArray &png, const char type[4], int count, int inflated,
                       bool afterData)
{
    const QByteArray zlib = qCompress(QByteArray(inflated, 'a'), 9).mid(4);
    const bool international = QByteArray(type, 4) == "iTXt";
    // keyword, then (iTXt) compressed flag, method, language, translated
    // keyword; (zTXt) method.
    const QByteArray head = international ? QByteArray("Comment\0\1\0\0\0", 12)
                                          : QByteArray("Comment\0\0", 9);
    QByteArray chunks;
    for (int i = 0; i < count; ++i)
        chunks += PngChunks::make(QByteArrayView(type, 4), head + zlib);
    // After the signature and IHDR (8 + 25 bytes), or before IEND.
    const qsizetype at = afterData ? png.size() - 12 : 33;
    return png.left(at) + chunks + png.mid(at);
}

QByteArray hugePng(quint32 width, quint32 height)
{
    QByteArray ihdr;
    putBe32(ihdr, width);
    putBe32(ihdr, height);
    ihdr += QByteArray("\x08\x02\x00\x00\x00", 5); // 8-bit RGB, no interlace
    // A little real image data: a decoder that does not check the size
    // first would start inflating it.
    const QByteArray rows = qCompress(QByteArray(3 * 64 + 1, '\0')).mid(4);
    return QByteArray("\x89PNG\r\n\x1a\n", 8) + PngChunks::make("IHDR", ihdr) + PngChunks::make("IDAT", rows)
            + PngChunks::make("IEND", QByteArray());
}

QByteArray jpegClaiming(const QSize &claimed)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "jpeg");
    writer.setProgressiveScanWrite(true);
    writer.write(TestSupport::pattern(QSize(16, 16)));
    for (int at = 2; at + 9 < bytes.size(); ++at) {
        const auto marker = quint8(bytes.at(at + 1));
        if (quint8(bytes.at(at)) == 0xFF && (marker == 0xC0 || marker == 0xC2)) {
            bytes[at + 5] = char(claimed.height() >> 8);
            bytes[at + 6] = char(claimed.height() & 0xFF);
            bytes[at + 7] = char(claimed.width() >> 8);
            bytes[at + 8] = char(claimed.width() & 0xFF);
            break;
        }
    }
    return bytes;
}

// Greyscale, one row of 16 bytes.
QByteArray tiffClaimingWidth(quint32 width)
{
    QByteArray bytes("II*\0\x08\0\0\0", 8);
    const auto put16 = [&bytes](quint16 v) { bytes += char(v & 0xFF); bytes += char(v >> 8); };
    const auto put32 = [&](quint32 v) { put16(quint16(v & 0xFFFF)); put16(quint16(v >> 16)); };
    const struct { quint16 tag, type; quint32 value; } entries[] = {
        {256, 4, width}, {257, 4, 1}, {258, 3, 8}, {259, 3, 1}, {262, 3, 1},
        {273, 4, 8 + 2 + 9 * 12 + 4}, {277, 3, 1}, {278, 4, 1}, {279, 4, 16}};
    put16(9);
    for (const auto &e : entries) {
        put16(e.tag);
        put16(e.type);
        put32(1);
        put32(e.value);
    }
    put32(0);
    return bytes + QByteArray(16, '\x80');
}

// A JPEG with four components and an APP14 marker saying "no colour
// transform", the way print workflows store CMYK (inverted); the quadrants
// are red, green, blue and yellow once the CMYK is turned into RGB.
QByteArray cmykJpeg(const QSize &size)
{
    const QImage colours = rgbPattern(size);
    return TestSupport::cmykJpeg(size, JCS_CMYK, true, QByteArray(), [&](int x, int y) {
        const QRgb rgb = colours.pixel(x, y);
        return std::array<int, 4>{qRed(rgb), qGreen(rgb), qBlue(rgb), 255};
    });
}

// Qt's TIFF writer makes one page; two are chained here by hand: baseline,
// uncompressed RGB, one strip per page.
QByteArray twoPageTiff(const QSize &first, const QSize &second)
{
    QByteArray out("II\x2A\x00\x00\x00\x00\x00", 8);
    int nextField = 4;
    for (const QSize &size : {first, second}) {
        const QImage page = rgbPattern(size);
        const int dataAt = int(out.size());
        for (int y = 0; y < page.height(); ++y)
            out += QByteArray(reinterpret_cast<const char *>(page.constScanLine(y)),
                              page.width() * 3);
        if (out.size() % 2)
            out += char(0);
        const int bitsAt = int(out.size());
        for (int i = 0; i < 3; ++i)
            putLe16(out, 8);
        const int ifdAt = int(out.size());
        setLe32(out, nextField, quint32(ifdAt));
        struct Entry { quint16 tag, type; quint32 value; };
        const Entry entries[] = {
            {256, 4, quint32(size.width())}, {257, 4, quint32(size.height())},
            {258, 3, quint32(bitsAt)},       {259, 3, 1},
            {262, 3, 2},                     {273, 4, quint32(dataAt)},
            {277, 3, 3},                     {278, 4, quint32(size.height())},
            {279, 4, quint32(size.width() * size.height() * 3)},
            {284, 3, 1}};
        putLe16(out, quint16(std::size(entries)));
        for (const Entry &e : entries) {
            putLe16(out, e.tag);
            putLe16(out, e.type);
            putLe32(out, e.tag == 258 ? 3 : 1);
            if (e.type == 3 && e.tag != 258) {
                putLe16(out, quint16(e.value));
                putLe16(out, 0);
            } else {
                putLe32(out, e.value);
            }
        }
        nextField = int(out.size());
        putLe32(out, 0);
    }
    return out;
}

QList<Case> corpus()
{
    const QSize stored(96, 64);
    const QImage picture = TestSupport::pattern(stored);
    const QByteArray jpeg = encode(picture, "jpeg", 90);
    const QByteArray png = encode(picture, "png");
    QList<Case> cases;

    // A JPEG cut short: before any header, inside the tables, right after
    // the frame header, at the start of the scan, half way through it (which
    // libjpeg patches over with grey rows, only warning: a damaged file that
    // must fail all the same), and just before the end marker (which
    // decoders are expected to forgive).
    const int frameEnd = markerEnd(jpeg, "\xFF\xC0");
    const int scanStart = markerEnd(jpeg, "\xFF\xDA");
    const struct { int at; Outcome outcome; } jpegCuts[] = {
        {2, Outcome::Fails},
        {frameEnd / 2, Outcome::Fails},
        {frameEnd, Outcome::Fails},
        {scanStart, Outcome::Fails},
        {(scanStart + int(jpeg.size())) / 2, Outcome::Fails},
        {int(jpeg.size()) - 2, Outcome::Converts}};
    for (const auto &cut : jpegCuts)
        cases << make(QStringLiteral("truncated-at-%1.jpg").arg(cut.at), jpeg.left(cut.at),
                      cut.outcome == Outcome::Converts ? stored : QSize(), cut.outcome);

    // The same for a PNG: signature only, inside IHDR, after IHDR, inside
    // the image data, and without IEND.
    const int idat = int(png.indexOf("IDAT")) - 4;
    const int pngCuts[] = {8, 20, 33, (idat + int(png.size())) / 2, int(png.size()) - 12};
    for (int at : pngCuts)
        cases << make(QStringLiteral("png-truncated-at-%1.png").arg(at), png.left(at), QSize(),
                      at <= 33 ? Outcome::Fails : Outcome::Either);

    cases << make(QStringLiteral("zero-bytes.jpg"), QByteArray(), QSize(), Outcome::Fails);
    cases << make(QStringLiteral("text-named-jpg.jpg"),
                  QByteArray("These are holiday notes, not a photograph.\n"), QSize(),
                  Outcome::Fails);
    cases << make(QStringLiteral("claims-100000x100000.png"), hugePng(100000, 100000), QSize(),
                  Outcome::Fails);

    // Random damage with fixed seeds: a few bytes to many.
    const struct { quint32 seed; int flips; } damage[] = {{1, 1}, {2, 4}, {3, 16}, {4, 64}};
    for (const auto &d : damage) {
        QByteArray bytes = jpeg;
        QRandomGenerator random(d.seed);
        for (int i = 0; i < d.flips; ++i) {
            const int at = 2 + int(random.bounded(quint32(bytes.size() - 4)));
            bytes[at] = char(quint8(bytes.at(at)) ^ quint8(random.bounded(1, 256)));
        }
        cases << make(QStringLiteral("flipped-%1-bytes-seed-%2.jpg").arg(d.flips).arg(d.seed),
                      bytes, QSize(), Outcome::Either);
    }

    // Half of one pixel is still one pixel: every command converts it.
    for (const char *format : {"png", "jpg"}) {
        cases << make(QStringLiteral("one-pixel-%1.%1").arg(QLatin1String(format)),
                      encode(TestSupport::pattern(QSize(1, 1)), format), QSize(1, 1));
    }

    cases << make(QStringLiteral("sixteen-bit-rgba.png"),
                  encode(TestSupport::pattern(stored, true).convertToFormat(QImage::Format_RGBA64),
                         "png"),
                  stored);
    cases << make(QStringLiteral("sixteen-bit-gray.png"),
                  encode(picture.convertToFormat(QImage::Format_Grayscale16), "png"), stored);
    cases << make(QStringLiteral("grayscale.png"),
                  encode(picture.convertToFormat(QImage::Format_Grayscale8), "png"), stored);
    cases << make(QStringLiteral("palette.png"),
                  encode(picture.convertToFormat(QImage::Format_Indexed8), "png"), stored);
    cases << make(QStringLiteral("one-bit.png"),
                  encode(picture.convertToFormat(QImage::Format_Mono), "png"), stored);

    // Alpha into formats without it: BMP, JPG, JPEG, PPM, XBM.
    const QByteArray alpha = encode(TestSupport::pattern(stored, true), "png");
    for (int index : {1, 2, 3, 5, 7}) {
        Case c = make(QStringLiteral("alpha-to-%1.png").arg(formatOfIndex(index).toLower()),
                      alpha, stored);
        c.formatIndex = index;
        cases << c;
    }

    cases << make(QStringLiteral("cmyk-inverted.jpg"), cmykJpeg(stored), stored);
    cases << make(QStringLiteral("progressive.jpg"), encode(picture, "jpeg", 85, true), stored);
    cases << make(QStringLiteral("exif-rotated-6.jpg"), rotatedJpeg(stored, 6),
                  stored.transposed());
    cases << make(QStringLiteral("exif-rotated-3.jpg"), rotatedJpeg(stored, 3), stored);
    cases << make(QStringLiteral("two-pages.tiff"), twoPageTiff(QSize(80, 60), QSize(40, 30)),
                  QSize(80, 60));
    cases << make(QStringLiteral("png-named-jpg.jpg"), png, stored);
    cases << make(QStringLiteral("jpg-named-png.png"), jpeg, stored);

    // Names that quoting, URLs, format strings and option parsers trip on.
    for (const QString &name :
         {QStringLiteral("with space.png"), QStringLiteral("with \"quotes\".png"),
          QStringLiteral("it's.png"), QStringLiteral("hash#tag.png"), QStringLiteral("100%.png"),
          QStringLiteral("percent-%1-%2.png"), QStringLiteral("été.png"),
          QStringLiteral("中文.png"), QStringLiteral("-leading-dash.png")})
        cases << make(name, png, stored);

    // No suffix: nothing to keep, so only a chosen format can be written.
    Case bare = make(QStringLiteral("nosuffix"), png, stored);
    bare.outcome[SizeCommand] = Outcome::Fails;
    cases << bare;

    // Spread the other cases over every writer.
    for (int i = 0; i < cases.size(); ++i) {
        if (!cases[i].fileName.startsWith(QLatin1String("alpha-to-")))
            cases[i].formatIndex = 1 + i % 8;
    }
    return cases;
}

QStringList writeCorpus(const QString &dir, const QList<Case> &cases)
{
    QDir().mkpath(dir);
    QStringList paths;
    for (const Case &c : cases) {
        const QString path = QDir(dir).filePath(c.fileName);
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly) || f.write(c.bytes) != c.bytes.size())
            qWarning() << "corpus: cannot write" << path << f.errorString();
        paths << path;
    }
    return paths;
}

bool isCompleteImage(const QString &path, const QSize &expected, QString *why)
{
    const QByteArray b = TestSupport::fileBytes(path);
    const QString suffix = QFileInfo(path).suffix().toLower();
    auto fail = [why](const QString &reason) {
        if (why)
            *why = reason;
        return false;
    };
    if (b.isEmpty())
        return fail(QStringLiteral("empty file"));

    if (suffix == QLatin1String("jpg") || suffix == QLatin1String("jpeg")) {
        if (!b.startsWith("\xFF\xD8"))
            return fail(QStringLiteral("no JPEG start marker"));
        if (!b.endsWith("\xFF\xD9"))
            return fail(QStringLiteral("no JPEG end marker"));
    } else if (suffix == QLatin1String("png")) {
        if (!b.startsWith("\x89PNG\r\n\x1a\n"))
            return fail(QStringLiteral("no PNG signature"));
        if (!b.endsWith(PngChunks::make("IEND", QByteArray())))
            return fail(QStringLiteral("no IEND chunk at the end"));
    } else if (suffix == QLatin1String("bmp")) {
        if (b.size() < 6 || !b.startsWith("BM"))
            return fail(QStringLiteral("no BMP header"));
        if (readLe32(b, 2) != quint32(b.size()))
            return fail(QStringLiteral("BMP header says %1 bytes, file has %2")
                                .arg(readLe32(b, 2)).arg(b.size()));
    } else if (suffix == QLatin1String("ppm")) {
        // "P6 <width> <height> <maxval>" and one whitespace byte, then the
        // samples, exactly.
        int at = 2;
        QList<int> numbers;
        if (!b.startsWith("P6"))
            return fail(QStringLiteral("not a binary PPM"));
        while (numbers.size() < 3 && at < b.size()) {
            while (at < b.size() && QChar(b.at(at)).isSpace())
                ++at;
            int start = at;
            while (at < b.size() && QChar(b.at(at)).isDigit())
                ++at;
            if (start == at)
                return fail(QStringLiteral("bad PPM header"));
            numbers << b.mid(start, at - start).toInt();
        }
        if (numbers.size() != 3)
            return fail(QStringLiteral("short PPM header"));
        const qint64 samples = qint64(numbers[0]) * numbers[1] * 3 * (numbers[2] > 255 ? 2 : 1);
        if (b.size() != at + 1 + samples)
            return fail(QStringLiteral("PPM holds %1 bytes, header asks for %2")
                                .arg(b.size()).arg(at + 1 + samples));
    } else if (suffix == QLatin1String("tif") || suffix == QLatin1String("tiff")) {
        if (!b.startsWith("II\x2A\x00") && !b.startsWith(QByteArray("MM\x00\x2A", 4)))
            return fail(QStringLiteral("no TIFF header"));
    } else if (suffix == QLatin1String("xbm")) {
        if (!b.startsWith("#define") || !b.trimmed().endsWith("};"))
            return fail(QStringLiteral("XBM text not closed"));
    } else if (suffix == QLatin1String("xpm")) {
        if (!b.startsWith("/* XPM */") || !b.trimmed().endsWith("};"))
            return fail(QStringLiteral("XPM text not closed"));
    } else {
        return fail(QStringLiteral("unexpected suffix %1").arg(suffix));
    }

    QImageReader reader(path);
    const QImage image = reader.read();
    if (image.isNull())
        return fail(QStringLiteral("does not decode: ") + reader.errorString());
    if (expected.isValid() && image.size() != expected)
        return fail(QStringLiteral("decodes to %1 x %2, expected %3 x %4")
                            .arg(image.width()).arg(image.height())
                            .arg(expected.width()).arg(expected.height()));
    return true;
}

QStringList filesIn(const QString &dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System
                                       | QDir::NoDotAndDotDot,
                               QDir::Name);
}

} // namespace Hostile
