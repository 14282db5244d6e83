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

} // namespace

bool DecoderFactory::recognizes(QByteArrayView head)
{
    return HeifDecoder::recognizes(head) || JpegXlDecoder::recognizes(head)
            || RawDecoder::recognizes(head);
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
