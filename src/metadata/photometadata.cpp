#include "metadata/photometadata.h"

#include "base/logging.h"
#include "base/pngchunks.h"
#include "metadata/exivsupport.h"
#include "metadata/jpeghead.h"
#include "metadata/locationtags.h"
#include "fs/sourcefile.h"

#include <QDebug>

#include <exiv2/exiv2.hpp>
#include <exiv2/pngimage.hpp>
#include <exiv2/webpimage.hpp>

#include <cstdio>
#include <mutex>

#include <jpeglib.h>

struct PhotoMetadata::Data
{
    Exiv2::ExifData exif;
    Exiv2::IptcData iptc;
    Exiv2::XmpData xmp;
    QByteArray icc;
    QString error;
    PhotoMetadata::Parts lost;
};

namespace {

std::mutex xmpLock;

void lockXmp(void *, bool lock)
{
    if (lock)
        xmpLock.lock();
    else
        xmpLock.unlock();
}

// Tags of a TIFF source's first directory that describe how its pixels are
// stored, and its profile: true of the source file only.
bool describesSourceStorage(const Exiv2::Exifdatum &datum)
{
    if (datum.groupName() != "Image")
        return false;
    switch (datum.tag()) {
    case 0x00fe: // NewSubfileType
    case 0x0100: // ImageWidth
    case 0x0101: // ImageLength
    case 0x0102: // BitsPerSample
    case 0x0103: // Compression
    case 0x0106: // PhotometricInterpretation
    case 0x010a: // FillOrder
    case 0x0111: // StripOffsets
    case 0x0115: // SamplesPerPixel
    case 0x0116: // RowsPerStrip
    case 0x0117: // StripByteCounts
    case 0x011c: // PlanarConfiguration
    case 0x013d: // Predictor
    case 0x0140: // ColorMap
    case 0x0142: // TileWidth
    case 0x0143: // TileLength
    case 0x0144: // TileOffsets
    case 0x0145: // TileByteCounts
    case 0x014a: // SubIFDs
    case 0x0152: // ExtraSamples
    case 0x0153: // SampleFormat
    case 0x015b: // JPEGTables
    case 0x0212: // YCbCrSubSampling
    case 0x8773: // InterColorProfile
        return true;
    default:
        return false;
    }
}

template<typename Container, typename Key>
void setIfPresent(Container &data, const char *key, const std::string &value)
{
    const auto found = data.findKey(Key(key));
    if (found != data.end())
        found->setValue(value);
}

Exiv2::ExifData exifFor(const Exiv2::ExifData &source, const QSize &size)
{
    Exiv2::ExifData exif;
    for (const Exiv2::Exifdatum &datum : source) {
        if (!describesSourceStorage(datum))
            exif.add(datum);
    }
    if (exif.empty())
        return exif;
    // The pixels were turned upright when they were read.
    setIfPresent<Exiv2::ExifData, Exiv2::ExifKey>(exif, "Exif.Image.Orientation", "1");
    exif["Exif.Photo.PixelXDimension"] = uint32_t(size.width());
    exif["Exif.Photo.PixelYDimension"] = uint32_t(size.height());
    // A thumbnail of the old picture, in the old orientation.
    Exiv2::ExifThumb(exif).erase();
    return exif;
}

Exiv2::XmpData xmpFor(const Exiv2::XmpData &source, const QSize &size, bool sameProfile)
{
    Exiv2::XmpData xmp = source;
    using Key = Exiv2::XmpKey;
    if (!sameProfile) {
        // The pixels were converted (from CMYK, or into sRGB): the name of
        // the source's profile and its colour mode are no longer true.
        const auto profileName = xmp.findKey(Key("Xmp.photoshop.ICCProfile"));
        if (profileName != xmp.end())
            xmp.erase(profileName);
        const auto mode = xmp.findKey(Key("Xmp.photoshop.ColorMode"));
        if (mode != xmp.end() && mode->toString() == "4") // CMYK
            mode->setValue("3");                           // RGB
    }
    setIfPresent<Exiv2::XmpData, Key>(xmp, "Xmp.tiff.Orientation", "1");
    setIfPresent<Exiv2::XmpData, Key>(xmp, "Xmp.exif.PixelXDimension", std::to_string(size.width()));
    setIfPresent<Exiv2::XmpData, Key>(xmp, "Xmp.exif.PixelYDimension", std::to_string(size.height()));
    setIfPresent<Exiv2::XmpData, Key>(xmp, "Xmp.tiff.ImageWidth", std::to_string(size.width()));
    setIfPresent<Exiv2::XmpData, Key>(xmp, "Xmp.tiff.ImageLength", std::to_string(size.height()));
    const auto thumbnails = xmp.findKey(Key("Xmp.xmp.Thumbnails"));
    if (thumbnails != xmp.end())
        xmp.erase(thumbnails);
    return xmp;
}


// Whatever exiv2 makes of bytes, taken into data: the parts asked for,
// or nothing and an exception when it gives up.
void readInto(QByteArrayView bytes, PhotoMetadata::Data &data, PhotoMetadata::Parts parts)
{
    const std::unique_ptr<Exiv2::Image> image = ExivSupport::open(bytes);
    image->readMetadata();
    if (parts & PhotoMetadata::Exif) {
        for (const Exiv2::Exifdatum &datum : image->exifData())
            data.exif.add(datum);
    }
    if (parts & PhotoMetadata::Xmp) {
        for (const Exiv2::Xmpdatum &datum : image->xmpData())
            data.xmp.add(datum);
    }
    if (parts & PhotoMetadata::Iptc) {
        for (const Exiv2::Iptcdatum &datum : image->iptcData())
            data.iptc.add(datum);
    }
    if ((parts & PhotoMetadata::Profile) && image->iccProfileDefined()) {
        const Exiv2::DataBuf *icc = image->iccProfile();
        data.icc = QByteArray(reinterpret_cast<const char *>(icc->pData_), icc->size_);
    }
}

// The same, and on failure the parts are noted as lost.
void tryReadInto(QByteArrayView bytes, PhotoMetadata::Data &data, PhotoMetadata::Parts parts)
{
    try {
        readInto(bytes, data, parts);
    } catch (const Exiv2::AnyError &e) {
        data.error = QString::fromUtf8(e.what());
        data.lost |= parts;
    }
}

} // namespace

// A JPEG's metadata lives in segments before its picture data, read with
// libjpeg's walk (JpegHead), never the whole file. Each kind goes to exiv2
// by itself, in a JPEG made of its segments only: a damaged profile or a
// broken IPTC block then costs that kind alone, not the EXIF with it.
void PhotoMetadata::readJpeg(SourceFile &file, Data &data)
{
    const JpegHead head(file.device(), {JPEG_APP0 + 1, JPEG_APP0 + 2, JPEG_APP0 + 13});
    struct Kind
    {
        Parts part;
        int marker;
        QByteArrayView signature;
        QByteArray jpeg;
    };
    Kind kinds[] = {
        {Exif, JPEG_APP0 + 1, QByteArrayView("Exif\0", 5), {}},
        {Xmp, JPEG_APP0 + 1, QByteArrayView("http://ns.adobe.com/xap/1.0/\0", 29), {}},
        {Profile, JPEG_APP0 + 2, QByteArrayView("ICC_PROFILE\0", 12), {}},
        {Iptc, JPEG_APP0 + 13, QByteArrayView("Photoshop 3.0\0", 14), {}},
    };
    for (const JpegHead::Segment &segment : head.segments()) {
        for (Kind &kind : kinds) {
            if (segment.marker != kind.marker || !segment.data.startsWith(kind.signature))
                continue;
            if (kind.jpeg.isEmpty())
                kind.jpeg = QByteArray("\xff\xd8", 2);
            const qsizetype length = segment.data.size() + 2;
            kind.jpeg += char(0xff);
            kind.jpeg += char(segment.marker);
            kind.jpeg += char(length >> 8);
            kind.jpeg += char(length & 0xff);
            kind.jpeg += segment.data;
        }
    }
    for (Kind &kind : kinds) {
        if (!kind.jpeg.isEmpty())
            tryReadInto(kind.jpeg + QByteArray("\xff\xd9", 2), data, kind.part);
    }
    if (head.truncated())
        data.lost |= Exif | Xmp | Iptc;
}

namespace {

// The parts of a PNG text chunk, by its keyword: what exiv2 makes of it.
PhotoMetadata::Parts pngTextParts(quint32 type, QByteArrayView body)
{
    if (type == PngChunks::tag("eXIf"))
        return PhotoMetadata::Exif;
    if (type == PngChunks::tag("iCCP"))
        return PhotoMetadata::Profile;
    if (type != PngChunks::tag("tEXt") && type != PngChunks::tag("zTXt")
        && type != PngChunks::tag("iTXt"))
        return {};
    const QByteArrayView keyword = body.first(qMax<qsizetype>(body.indexOf('\0'), 0));
    if (keyword == "XML:com.adobe.xmp" || keyword == "Raw profile type xmp")
        return PhotoMetadata::Xmp;
    if (keyword == "Raw profile type exif" || keyword == "Raw profile type APP1")
        return PhotoMetadata::Exif;
    if (keyword == "Raw profile type iptc")
        return PhotoMetadata::Iptc;
    // A comment or a title: Qt's reader and writer carry those.
    return {};
}

// A PNG that exiv2 gave up on, chunk by chunk: each metadata chunk goes to
// exiv2 in a PNG of its own (the signature, the header, the chunk, the
// end), so that an over-long comment or a broken profile costs only itself.
void readPngByChunk(QByteArrayView png, PhotoMetadata::Data &data)
{
    PngChunks chunks(png);
    PngChunks::Chunk chunk;
    if (!chunks.next(&chunk) || !chunk.whole)
        return;
    const QByteArray start = png.first(chunk.end()).toByteArray(); // with the header
    static const QByteArray end = PngChunks::make("IEND", {});
    while (chunks.next(&chunk) && chunk.whole && chunk.type != PngChunks::tag("IEND")) {
        const PhotoMetadata::Parts parts
                = pngTextParts(chunk.type, png.sliced(chunk.dataAt(), chunk.length));
        if (parts)
            tryReadInto(start + png.sliced(chunk.at, chunk.end() - chunk.at).toByteArray() + end,
                        data, parts);
    }
}

} // namespace

// Other formats are read into memory up to a bound: exiv2 wants random
// access to a TIFF, and a TIFF's directories may come after its pixels.
void PhotoMetadata::readOther(SourceFile &file, Data &data)
{
    const qint64 size = file.device()->size();
    const QByteArray bytes = file.contents(readLimit); // read in place by exiv2
    try {
        readInto(bytes, data, Exif | Xmp | Iptc | Profile);
        return;
    } catch (const Exiv2::AnyError &e) {
        if (e.code() == Exiv2::kerMemoryContainsUnknownImageType)
            return;
        data.error = QString::fromUtf8(e.what());
    }
    data.exif.clear();
    data.xmp.clear();
    data.iptc.clear();
    data.icc.clear();
    if (bytes.startsWith("\x89PNG\r\n\x1a\n"))
        readPngByChunk(bytes, data);
    else
        data.lost |= Exif | Xmp | Iptc;
    if (size > bytes.size() && data.lost)
        data.error += QStringLiteral(" (only the first %1 bytes read)").arg(bytes.size());
}

namespace {

// The PNG with an eXIf chunk holding exif (a TIFF structure, as in a
// JPEG's APP1 after its "Exif" mark) put before its first IDAT, where
// readers look for it.
QByteArray withExifChunk(const QByteArray &png, const Exiv2::ExifData &exif)
{
    Exiv2::Blob tiff;
    Exiv2::ExifParser::encode(tiff, Exiv2::littleEndian, exif);
    PngChunks chunks(png);
    PngChunks::Chunk chunk;
    bool found = false;
    while (!found && chunks.next(&chunk))
        found = chunk.type == PngChunks::tag("IDAT");
    if (tiff.empty() || !found)
        throw Exiv2::Error(Exiv2::kerFailedToReadImageData);
    QByteArray result = png;
    result.insert(chunk.at,
                  PngChunks::make("eXIf", QByteArrayView(tiff.data(), qsizetype(tiff.size()))));
    return result;
}

} // namespace

PhotoMetadata::PhotoMetadata()
    : d(std::make_shared<Data>())
{
}

PhotoMetadata::~PhotoMetadata() = default;

void PhotoMetadata::initLibrary()
{
    static std::once_flag once;
    std::call_once(once, []() {
        Exiv2::XmpParser::initialize(lockXmp, nullptr);
#ifdef EXV_ENABLE_BMFF
        // HEIC and AVIF files: exiv2 reads their EXIF and XMP only when asked to.
        Exiv2::enableBMFF(true);
#endif
        // Its warnings are about oddities it reads past; its errors are
        // worth a line among ours.
        Exiv2::LogMsg::setLevel(Exiv2::LogMsg::error);
        Exiv2::LogMsg::setHandler([](int, const char *text) {
            qCDebug(lcMetadata).noquote() << "exiv2:" << QString::fromUtf8(text).trimmed();
        });
    });
}

PhotoMetadata PhotoMetadata::read(const QString &path)
{
    SourceFile file(path);
    return read(file);
}

PhotoMetadata PhotoMetadata::read(SourceFile &file)
{
    initLibrary();
    PhotoMetadata metadata;
    Data &data = *metadata.d;
    if (!file.isOpen()) {
        data.error = file.errorString();
        return metadata;
    }
    try {
        const QByteArray start = file.contents(8);
        if (start.startsWith("\xff\xd8"))
            readJpeg(file, data);
        else
            readOther(file, data);
    } catch (const std::exception &e) {
        // Out of memory, most likely: what was read so far is kept.
        data.error = QString::fromUtf8(e.what());
        data.lost |= Exif | Xmp | Iptc;
    }
    return metadata;
}

bool PhotoMetadata::hasMetadata() const
{
    return !d->exif.empty() || !d->iptc.empty() || !d->xmp.empty();
}

QByteArray PhotoMetadata::iccProfile() const
{
    return d->icc;
}

QString PhotoMetadata::errorString() const
{
    return d->error;
}

PhotoMetadata::Parts PhotoMetadata::lostParts() const
{
    return d->lost;
}

QStringList PhotoMetadata::warnings() const
{
    QStringList texts;
    if (d->lost & Exif)
        texts << tr("its EXIF data (capture date, camera, place) could not be read and was not copied");
    if (d->lost & Xmp)
        texts << tr("its XMP data could not be read and was not copied");
    if (d->lost & Iptc)
        texts << tr("its IPTC data (caption, keywords, credit) could not be read and was not copied");
    return texts;
}

bool PhotoMetadata::writeInto(QByteArray *encoded, const QSize &size, QString *errorString,
                              QStringList *warnings) const
{
    initLibrary();
    try {
        const std::unique_ptr<Exiv2::Image> image = ExivSupport::open(*encoded);
        // What the writer put there (the profile, a TIFF's own layout) is
        // read first, so that it is written back. A PNG's text that exiv2
        // will not inflate (a long comment Qt carried over) is copied
        // as it is when exiv2 writes, so it need not be read.
        try {
            image->readMetadata();
        } catch (const Exiv2::AnyError &) {
            if (image->imageType() != Exiv2::ImageType::png)
                throw;
        }
        // Qt's writer spreads a long text over several comment segments;
        // exiv2 reads them as one and would write it as one, which a
        // segment's 64 KB cannot hold.
        constexpr size_t maxComment = 65532; // with its length and a final NUL
        if (image->imageType() == Exiv2::ImageType::jpeg && image->comment().size() > maxComment) {
            image->setComment(image->comment().substr(0, maxComment));
            if (warnings)
                *warnings << tr("its comment was cut to 64 KB, what a JPEG file holds");
        }
        const Exiv2::DataBuf *profile = image->iccProfile();
        const bool sameProfile = QByteArrayView(reinterpret_cast<const char *>(profile->pData_),
                                                profile->size_)
                == QByteArrayView(d->icc);
        Exiv2::ExifData exif = exifFor(d->exif, size);
        Exiv2::XmpData xmp = xmpFor(d->xmp, size, sameProfile);
        Exiv2::IptcData iptc = d->iptc;
        if (locationRemoved)
            LocationTags::remove(exif, xmp, iptc);
        // exiv2 writes a PNG's EXIF as an old text chunk; it goes in as
        // the standard eXIf chunk instead, below.
        const bool png = image->imageType() == Exiv2::ImageType::png;
        image->setExifData(png ? Exiv2::ExifData() : exif);
        if (image->imageType() == Exiv2::ImageType::webp) {
            // WebP has no place for IPTC: its fields go into the XMP, where
            // they have standard names.
            if (!iptc.empty())
                Exiv2::copyIptcToXmp(iptc, xmp);
        } else {
            image->setIptcData(iptc);
        }
        image->setXmpData(xmp);
        image->writeMetadata();

        Exiv2::BasicIo &io = image->io();
        if (io.open() != 0)
            throw Exiv2::Error(Exiv2::kerDataSourceOpenFailed, "memory");
        QByteArray written(qsizetype(io.size()), Qt::Uninitialized);
        io.seek(0, Exiv2::BasicIo::beg);
        const long got = io.read(reinterpret_cast<Exiv2::byte *>(written.data()), long(written.size()));
        io.close();
        if (got != long(written.size()))
            throw Exiv2::Error(Exiv2::kerInputDataReadFailed);
        if (png && !exif.empty())
            written = withExifChunk(written, exif);
        *encoded = written;
        return true;
    } catch (const Exiv2::AnyError &e) {
        if (errorString)
            *errorString = QString::fromUtf8(e.what());
    } catch (const std::exception &e) {
        if (errorString)
            *errorString = QString::fromUtf8(e.what());
    }
    return false;
}

bool PhotoMetadata::blocksFor(const QSize &size, const QByteArray &profile, Blocks *blocks,
                              QString *errorString) const
{
    initLibrary();
    *blocks = Blocks();
    try {
        Exiv2::ExifData exif = exifFor(d->exif, size);
        Exiv2::XmpData xmp = xmpFor(d->xmp, size, profile == d->icc);
        Exiv2::IptcData iptc = d->iptc;
        if (locationRemoved)
            LocationTags::remove(exif, xmp, iptc);
        if (!iptc.empty())
            Exiv2::copyIptcToXmp(iptc, xmp);
        if (!exif.empty()) {
            Exiv2::Blob tiff;
            Exiv2::ExifParser::encode(tiff, Exiv2::littleEndian, exif);
            blocks->exif = QByteArray(reinterpret_cast<const char *>(tiff.data()),
                                      qsizetype(tiff.size()));
        }
        if (!xmp.empty()) {
            std::string packet;
            if (Exiv2::XmpParser::encode(packet, xmp, Exiv2::XmpParser::useCompactFormat) != 0)
                throw Exiv2::Error(Exiv2::kerErrorMessage, "XMP not serialised");
            blocks->xmp = QByteArray::fromStdString(packet);
        }
        return true;
    } catch (const Exiv2::AnyError &e) {
        if (errorString)
            *errorString = QString::fromUtf8(e.what());
    } catch (const std::exception &e) {
        if (errorString)
            *errorString = QString::fromUtf8(e.what());
    }
    *blocks = Blocks();
    return false;
}
