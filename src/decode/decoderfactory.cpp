#include "decode/decoderfactory.h"

#include "decode/cmyktiff.h"
#include "decode/heifdecoder.h"
#include "decode/jxldecoder.h"
#include "decode/pngdecoder.h"
#include "decode/pixbufdecoder.h"
#include "decode/pngtextguard.h"
#include "decode/rawdecoder.h"
#include "decode/rgbatiff.h"
#include "decode/sampletiff.h"
#include "decode/tgadecoder.h"
#include "fs/sourcefile.h"

#include <QCoreApplication>
#include <QImageReader>
#include <QtEndian>

namespace {

// The libraries read from memory, so a file is read whole before a byte of
// it is decoded, outside the budget of decoded pictures: past this size
// (no phone or camera comes near it) it is not read at all.
constexpr qint64 largestRead = 512LL * 1024 * 1024;

// A HEIF or JPEG XL file too large to be read into memory: refused with
// the reason, rather than read (a sparse file of a gigabyte costs nothing
// on disk).
class TooLarge : public ImageDecoder
{
public:
    explicit TooLarge(QByteArray kind) : kind(std::move(kind))
    {
        error = QCoreApplication::translate("DecoderFactory", "file too large to read (over %1 MB)")
                        .arg(largestRead / (1024 * 1024));
    }
    QByteArray format() const override { return kind; }
    QSize size() const override { return QSize(); }
    QImage read(QString *errorString) override
    {
        return ImageDecoder::failed(errorString, error);
    }

private:
    QByteArray kind;
};

template<qsizetype N>
bool startsWith(QByteArrayView head, const char (&signature)[N], qsizetype at = 0)
{
    // Signatures hold zero bytes: their length is the array's.
    return head.size() >= at + N - 1 && head.sliced(at, N - 1) == QByteArrayView(signature, N - 1);
}

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// A PNM header: P1 to P6, then its width, height and (but for bitmaps)
// largest value, in decimal, between white space and comments. A head
// that ends inside the header (a long comment) fits while what it holds
// does; text that merely starts with P1 does not.
bool pnmHeaderFits(QByteArrayView head)
{
    if (head.size() < 3 || head[0] != 'P' || head[1] < '1' || head[1] > '6' || !isSpace(head[2]))
        return false;
    const int wanted = head[1] == '1' || head[1] == '4' ? 2 : 3;
    int numbers = 0;
    qsizetype at = 2;
    while (numbers < wanted && at < head.size()) {
        const char c = head[at];
        if (isSpace(c)) {
            ++at;
        } else if (c == '#') {
            while (at < head.size() && head[at] != '\n')
                ++at;
        } else if (c >= '0' && c <= '9') {
            quint64 value = 0;
            for (; at < head.size() && head[at] >= '0' && head[at] <= '9' && value < 1000000; ++at)
                value = value * 10 + quint64(head[at] - '0');
            if (value == 0 || (at < head.size() && !isSpace(head[at]) && head[at] != '#'))
                return false;
            ++numbers;
        } else {
            return false;
        }
    }
    return true;
}

// A BMP: its letters, and an info header of one of the sizes there are
// (12 to 124 bytes), which no text has where the size goes.
bool bmpHeaderFits(QByteArrayView head)
{
    if (!startsWith(head, "BM") || head.size() < 18)
        return false;
    const quint32 infoSize = qFromLittleEndian<quint32>(head.data() + 14);
    return infoSize >= 12 && infoSize <= 124;
}

// The formats read, told by a file's first bytes: the one table, for the
// folder search (SourceFormat) and wherever else a file's kind is told
// from its head. TGA has no signature: its header's fields must make
// sense. Camera RAW files are mostly TIFF; the others have their own.
struct Signature
{
    const char *format;
    bool (*matches)(QByteArrayView head);
};

const Signature signatures[] = {
        {"jpeg", [](QByteArrayView h) { return startsWith(h, "\xFF\xD8\xFF"); }},
        {"png", [](QByteArrayView h) { return startsWith(h, "\x89PNG\r\n\x1a\n"); }},
        {"gif", [](QByteArrayView h) { return startsWith(h, "GIF87a") || startsWith(h, "GIF89a"); }},
        {"bmp", bmpHeaderFits},
        {"webp", [](QByteArrayView h) { return startsWith(h, "RIFF") && startsWith(h, "WEBP", 8); }},
        {"icns", [](QByteArrayView h) { return startsWith(h, "icns"); }},
        {"pnm", pnmHeaderFits},
        {"xbm",
         [](QByteArrayView h) {
             return startsWith(h, "#define ") && QByteArrayView(h).indexOf("_width") > 0;
         }},
        {"xpm", [](QByteArrayView h) { return startsWith(h, "/* XPM */"); }},
        {"heif", HeifDecoder::recognizes},
        {"jxl", JpegXlDecoder::recognizes},
        // TIFF, and the RAW formats built on it or of their own.
        {"tiff", [](QByteArrayView h) { return CmykTiff::recognizes(h) || RawDecoder::recognizes(h); }},
        {"tga", PixbufDecoder::looksLikeTga},
};

} // namespace

QByteArray DecoderFactory::formatOf(QByteArrayView head)
{
    for (const Signature &signature : signatures) {
        if (signature.matches(head))
            return QByteArray(signature.format);
    }
    return QByteArray();
}

bool DecoderFactory::recognizes(QByteArrayView head)
{
    return !formatOf(head).isEmpty();
}

std::unique_ptr<ImageDecoder> DecoderFactory::forFile(SourceFile *file)
{
    if (!file->isOpen())
        return nullptr;
    // Enough for every signature looked at here.
    const QByteArray head = file->contents(headBytes);
    const bool readable = file->device()->size() <= largestRead;
    if (HeifDecoder::recognizes(head)) {
        if (!readable)
            return std::make_unique<TooLarge>("heif");
        return std::make_unique<HeifDecoder>(file->contents());
    }
    if (head.startsWith("\x89PNG") && readable) {
        // The chunks that matter come before the picture data; a file
        // whose text chunks are too much stays with Qt's reader, which
        // reads it without them.
        constexpr qint64 chunksRead = 256 * 1024;
        if (PngDecoder::recognizes(file->contents(chunksRead))
            && !PngTextGuard(file->device()).tooMuchText())
            return std::make_unique<PngDecoder>(file->contents());
    }
    // Every BMP: Qt's reader shifts 16-bit channels instead of scaling them,
    // reads narrow bit fields as black and RLE files' missing rows as
    // whatever memory held.
    if (head.startsWith("BM") && readable)
        return std::make_unique<PixbufDecoder>(file->contents(), "bmp");
    if (JpegXlDecoder::recognizes(head)) {
        if (!readable)
            return std::make_unique<TooLarge>("jxl");
        return std::make_unique<JpegXlDecoder>(file->contents());
    }
    // Camera RAW files stay well below this; a larger TIFF (a big scan) is
    // not read into memory only to be told apart, and goes to Qt's reader.
    constexpr qint64 largestTold = largestRead;
    if ((RawDecoder::recognizes(head) || CmykTiff::recognizes(head))
        && file->device()->size() <= largestTold) {
        // A DNG, NEF, CR2, ARW or PEF is a TIFF file whose first picture is
        // a small preview, which Qt's reader would take for the photo. Only
        // the libraries can tell these from a plain TIFF.
        const QByteArray bytes = file->contents();
        auto raw = std::make_unique<RawDecoder>(bytes);
        if (raw->isValid())
            return raw;
        if (CmykTiff::isCmyk(bytes))
            return std::make_unique<CmykTiff>(bytes);
        if (CmykTiff::recognizes(head) && !CmykTiff::startsWithPreview(bytes)) {
            if (SampleTiff::wanted(bytes))
                return std::make_unique<SampleTiff>(bytes);
            if (RgbaTiff::wanted(bytes))
                return std::make_unique<RgbaTiff>(bytes);
        }
        // A RAW file libraw cannot read (damaged, or of a camera it does
        // not know) fails rather than being read some other way.
        if (!CmykTiff::recognizes(head) || CmykTiff::startsWithPreview(bytes))
            return raw;
    }
    // Older and newer RAW formats (Canon's CRW and CR3, Kodak's and
    // others') have no signature in common: a file no reader of Qt's
    // takes is shown to libraw, whose own identification decides.
    if (file->device()->size() <= largestTold) {
        QImageReader qt(file->device());
        const bool qtReads = qt.canRead();
        file->device()->seek(0);
        if (!qtReads) {
            auto raw = std::make_unique<RawDecoder>(file->contents());
            if (raw->isValid())
                return raw;
        }
    }
    return nullptr;
}


std::unique_ptr<ImageDecoder> DecoderFactory::forTga(SourceFile *file)
{
    if (!file->isOpen() || file->device()->size() > largestRead
        || !PixbufDecoder::looksLikeTga(file->contents(headBytes)))
        return nullptr;
    return std::make_unique<TgaDecoder>(file->contents());
}
