#include "metadata/jpeghead.h"

#include <QIODevice>

#include <csetjmp>
#include <cstdio>
#include <cstring>

#include <jpeglib.h>

namespace {

constexpr int bufferSize = 4096;
// What is read besides the segments kept (garbage a damaged file puts
// between segments, their headers): past this the head is taken to have
// ended.
constexpr qint64 strayLimit = 1024 * 1024;

// libjpeg's input from a device: reads in small pieces and skips by seeking.
struct DeviceSource
{
    jpeg_source_mgr manager; // first: libjpeg sees only this
    QIODevice *device = nullptr;
    JOCTET buffer[bufferSize];
    qint64 read = 0;
    qint64 readLimit = strayLimit;
    QList<JpegHead::Segment> *kept = nullptr;
    qint64 keptBytes = 0;
    bool *overLimit = nullptr;
    QByteArray signature; // empty: every segment asked for is kept
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
    qint64 n = source->read < source->readLimit
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

void take(j_decompress_ptr info, char *into, qint64 length)
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
}

// A segment asked for: kept while the total stays within the limit.
boolean keep(j_decompress_ptr info)
{
    auto *source = reinterpret_cast<DeviceSource *>(info->src);
    char be[2];
    take(info, be, 2);
    const long length = long(uchar(be[0]) << 8 | uchar(be[1])) - 2;
    if (length <= 0)
        return TRUE;
    QByteArray start;
    if (!source->signature.isEmpty()) {
        // Looked at by its first bytes; one only is kept.
        const qint64 wanted = source->signature.size();
        if (!source->kept->isEmpty() || length < wanted) {
            skip(info, length);
            return TRUE;
        }
        start.resize(wanted);
        take(info, start.data(), wanted);
        if (start != source->signature) {
            skip(info, length - wanted);
            return TRUE;
        }
    }
    if (source->keptBytes + length > JpegHead::keptLimit) {
        *source->overLimit = true;
        skip(info, length - start.size());
        return TRUE;
    }
    QByteArray data(length, Qt::Uninitialized);
    // What is kept is read on top of the stray allowance.
    source->readLimit += length;
    std::memcpy(data.data(), start.constData(), size_t(start.size()));
    take(info, data.data() + start.size(), length - start.size());
    source->keptBytes += length;
    source->kept->append({info->unread_marker, data});
    return TRUE;
}

void quietly(j_common_ptr) {}

[[noreturn]] void errorExit(j_common_ptr info)
{
    std::longjmp(reinterpret_cast<ErrorExit *>(info->err)->jump, 1);
}

} // namespace

JpegHead::JpegHead(QIODevice *device, const QList<int> &markers, const QByteArray &signature)
{
    const qint64 at = device->pos();
    if (!device->seek(0))
        return;
    DeviceSource source;
    source.manager.init_source = noInit;
    source.manager.fill_input_buffer = fill;
    source.manager.skip_input_data = skip;
    source.manager.resync_to_restart = jpeg_resync_to_restart;
    source.manager.term_source = noTerm;
    source.manager.bytes_in_buffer = 0;
    source.manager.next_input_byte = nullptr;
    source.device = device;
    source.kept = &kept;
    source.overLimit = &overLimit;
    source.signature = signature;

    jpeg_decompress_struct info;
    ErrorExit error;
    info.err = jpeg_std_error(&error.manager);
    error.manager.error_exit = errorExit;
    error.manager.output_message = quietly;
    jpeg_create_decompress(&info);
    // Only plain values change between setjmp() and a longjmp(): the
    // segments are appended to a list that outlives the jump.
    volatile bool ok = false;
    if (setjmp(error.jump) == 0) {
        info.src = &source.manager;
        for (int marker : markers)
            jpeg_set_marker_processor(&info, marker, keep);
        ok = jpeg_read_header(&info, TRUE) == JPEG_HEADER_OK;
        if (ok) {
            frame = QSize(int(info.image_width), int(info.image_height));
            componentCount = info.num_components;
        }
    }
    jpeg_destroy_decompress(&info);
    valid = ok;
    device->seek(at);
}
