#include "exifthumbnail.h"

#include "orientation.h"
#include "photometadata.h"
#include "sourcefile.h"

#include <QBuffer>
#include <QImageReader>

#include <exiv2/exiv2.hpp>

#include <csetjmp>
#include <cstdio>
#include <cstring>

#include <jpeglib.h>

namespace {

// The frame header may come after any number of other programs' segments
// (one photo of ours carries 7 MB of XMP before it): they are skipped by
// seeking, never read. The EXIF block is one APP1 segment of at most
// 64 KiB.
constexpr int bufferSize = 4096;
// What is read between the segments skipped (garbage a damaged file puts
// there, the EXIF block): past this the head is taken to have ended.
constexpr qint64 readLimit = 1024 * 1024;

// The thumbnail list wants a preview whose longer side is at least this.
constexpr int wantedSide = 128;

// libjpeg's input from a device: reads in small pieces and skips by seeking.
struct DeviceSource
{
    jpeg_source_mgr manager; // first: libjpeg sees only this
    QIODevice *device;
    JOCTET buffer[bufferSize];
    QByteArray exif;         // the EXIF block's TIFF structure, once found
    qint64 read = 0;
};

struct ErrorExit
{
    jpeg_error_mgr manager; // first, as above
    std::jmp_buf jump;
};

void noInit(j_decompress_ptr) {}
void noTerm(j_decompress_ptr) {}

boolean fill(j_decompress_ptr info)
{
    auto *source = reinterpret_cast<DeviceSource *>(info->src);
    qint64 n = source->read < readLimit
            ? source->device->read(reinterpret_cast<char *>(source->buffer), bufferSize)
            : 0;
    source->read += qMax<qint64>(n, 0);
    if (n <= 0) {
        // As libjpeg's own sources do at the end: an end-of-image marker,
        // so that a head without a frame fails rather than waits.
        source->buffer[0] = 0xFF;
        source->buffer[1] = JPEG_EOI;
        n = 2;
    }
    source->manager.next_input_byte = source->buffer;
    source->manager.bytes_in_buffer = size_t(n);
    return TRUE;
}

void skip(j_decompress_ptr info, long count)
{
    jpeg_source_mgr *source = info->src;
    if (count <= 0)
        return;
    if (size_t(count) <= source->bytes_in_buffer) {
        source->next_input_byte += count;
        source->bytes_in_buffer -= size_t(count);
        return;
    }
    count -= long(source->bytes_in_buffer);
    source->bytes_in_buffer = 0;
    QIODevice *device = reinterpret_cast<DeviceSource *>(info->src)->device;
    device->seek(qMin(device->pos() + count, device->size()));
}

// Copies length bytes of the stream into into (null: skipped).
bool take(j_decompress_ptr info, char *into, qint64 length)
{
    jpeg_source_mgr *source = info->src;
    while (length > 0) {
        if (source->bytes_in_buffer == 0)
            fill(info);
        const qint64 n = qMin<qint64>(length, qint64(source->bytes_in_buffer));
        std::memcpy(into, source->next_input_byte, size_t(n));
        into += n;
        source->next_input_byte += n;
        source->bytes_in_buffer -= size_t(n);
        length -= n;
    }
    return true;
}

// An APP1 segment: the first one that is EXIF is kept, the others (XMP and
// its extensions) skipped.
boolean readApp1(j_decompress_ptr info)
{
    auto *source = reinterpret_cast<DeviceSource *>(info->src);
    char be[2];
    take(info, be, 2);
    const long length = long(uchar(be[0]) << 8 | uchar(be[1])) - 2;
    if (length <= 6 || !source->exif.isEmpty()) {
        skip(info, length);
        return TRUE;
    }
    QByteArray segment(length, Qt::Uninitialized);
    take(info, segment.data(), length);
    if (segment.startsWith(QByteArrayView("Exif\0\0", 6)))
        source->exif = segment.mid(6);
    return TRUE;
}

void quietly(j_common_ptr) {}

[[noreturn]] void errorExit(j_common_ptr info)
{
    std::longjmp(reinterpret_cast<ErrorExit *>(info->err)->jump, 1);
}

// The frame size and EXIF block of the JPEG on device, read from its
// start through libjpeg; false when it is no JPEG or its header is broken.
bool readHead(QIODevice *device, QSize *size, QByteArray *exif)
{
    DeviceSource source;
    source.manager.init_source = noInit;
    source.manager.fill_input_buffer = fill;
    source.manager.skip_input_data = skip;
    source.manager.resync_to_restart = jpeg_resync_to_restart;
    source.manager.term_source = noTerm;
    source.manager.bytes_in_buffer = 0;
    source.manager.next_input_byte = nullptr;
    source.device = device;
    if (!device->seek(0))
        return false;
    jpeg_decompress_struct info;
    ErrorExit error;
    info.err = jpeg_std_error(&error.manager);
    error.manager.error_exit = errorExit;
    error.manager.output_message = quietly;
    jpeg_create_decompress(&info);
    volatile bool ok = false; // set between setjmp() and a longjmp()
    if (setjmp(error.jump) == 0) {
        info.src = &source.manager;
        jpeg_set_marker_processor(&info, JPEG_APP0 + 1, readApp1);
        ok = jpeg_read_header(&info, TRUE) == JPEG_HEADER_OK;
        if (ok) {
            *size = QSize(int(info.image_width), int(info.image_height));
            *exif = source.exif;
        }
    }
    jpeg_destroy_decompress(&info);
    return ok;
}

// A JPEG preview, decoded only when its own header claims a size within
// the bound: the sizes tags give may lie.
QImage decodePreview(QByteArray jpeg)
{
    QBuffer buffer(&jpeg);
    QImageReader reader(&buffer, "jpeg");
    const QSize claimed = reader.size();
    if (!claimed.isValid() || claimed.isEmpty()
        || qMax(claimed.width(), claimed.height()) > ExifThumbnail::maxPreviewSide)
        return QImage();
    return reader.read();
}

ExifThumbnail::Head headOf(QIODevice *device)
{
    ExifThumbnail::Head head;
    QSize size;
    QByteArray exif;
    if (!readHead(device, &size, &exif))
        return head;
    if (!size.isEmpty())
        head.stored = size;
    if (exif.isEmpty())
        return head;
    PhotoMetadata::initLibrary();
    try {
        // The orientation and the EXIF thumbnail (the second directory's
        // JPEG), as exiv2 decodes the block.
        Exiv2::ExifData data;
        Exiv2::ExifParser::decode(data, reinterpret_cast<const Exiv2::byte *>(exif.constData()),
                                  uint32_t(exif.size()));
        const auto orientation = data.findKey(Exiv2::ExifKey("Exif.Image.Orientation"));
        if (orientation != data.end() && orientation->count() > 0)
            head.orientation = Orientation::fromExifTag(orientation->toLong());
        const Exiv2::ExifThumbC thumbnail(data);
        if (QByteArrayView(thumbnail.mimeType()) == "image/jpeg") {
            const Exiv2::DataBuf bytes = thumbnail.copy();
            if (bytes.size_ > 0)
                head.preview = decodePreview(QByteArray(reinterpret_cast<const char *>(bytes.pData_),
                                                        qsizetype(bytes.size_)));
        }
    } catch (const Exiv2::AnyError &) {
    } catch (const std::exception &) {
    }
    return head;
}

} // namespace

ExifThumbnail::Head ExifThumbnail::inspect(SourceFile &file)
{
    QIODevice *device = file.device();
    const qint64 at = device->pos();
    const Head head = headOf(device);
    device->seek(at);
    return head;
}

QImage ExifThumbnail::read(const QString &path)
{
    SourceFile file(path);
    if (!file.isOpen())
        return QImage();
    return inspect(file).preview;
}

QImage ExifThumbnail::fromBytes(QByteArrayView file)
{
    QByteArray bytes = file.toByteArray();
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    return headOf(&buffer).preview;
}
