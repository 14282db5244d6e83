#include "isolation/sharedimage.h"

#include <QColorSpace>
#include <QDataStream>
#include <QIODevice>

#include <cerrno>
#include <cstring>
#include <initializer_list>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct Mapping
{
    void *address;
    size_t length;
};

void unmap(void *info)
{
    auto *mapping = static_cast<Mapping *>(info);
    ::munmap(mapping->address, mapping->length);
    delete mapping;
}

} // namespace

namespace {

// Pictures up to this size are read out of the file rather than mapped:
// a thumbnail is a few dozen kilobytes, and mapping and unmapping it cost
// more than copying it (an unmapping stops the process's other threads
// while the kernel flushes their page tables).
constexpr qint64 copiedBelow = 1024 * 1024;

// Moves all length bytes at offset with transfer (pread or pwrite), in as
// many calls as it takes; false when the file ends or fails first.
template<typename Buffer, typename Transfer>
bool whole(int fd, Buffer *at, size_t length, off_t offset, Transfer transfer)
{
    while (length > 0) {
        const ssize_t n = transfer(fd, at, qMin<size_t>(length, size_t(1) << 30), offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        at += n;
        length -= size_t(n);
        offset += n;
    }
    return true;
}

bool writeAll(int fd, const char *bytes, size_t length, off_t offset)
{
    return whole(fd, bytes, length, offset, ::pwrite);
}

bool readAll(int fd, char *to, size_t length, off_t offset)
{
    return whole(fd, to, length, offset, ::pread);
}

// A new memfd holding the pieces one after the other, sealed; -1 on
// failure. Written, not mapped: this side never needs the pages again.
int sealed(std::initializer_list<QByteArrayView> pieces)
{
    const int fd = ::memfd_create("pictavo-shared", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd < 0)
        return -1;
    off_t length = 0;
    for (const QByteArrayView piece : pieces)
        length += off_t(piece.size());
    // The whole size first: a full memory shows here, not half-way.
    bool written = ::ftruncate(fd, length) == 0;
    off_t at = 0;
    for (const QByteArrayView piece : pieces) {
        written = written && writeAll(fd, piece.data(), size_t(piece.size()), at);
        at += off_t(piece.size());
    }
    // Sealed once written: the other side maps what it was given, and
    // nothing this side does later can change it under its feet.
    if (!written
        || ::fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Whether nobody can shrink the file any more: a mapping of a file that
// shrinks under it faults on the next read.
bool cannotShrink(int fd)
{
    const int seals = ::fcntl(fd, F_GET_SEALS);
    return seals >= 0 && (seals & F_SEAL_SHRINK);
}

} // namespace

int SharedImage::putBytes(const QByteArray &bytes)
{
    return sealed({QByteArrayView(bytes)});
}

QByteArray SharedImage::takeBytes(int descriptor, qint64 size, std::shared_ptr<const void> *mapping)
{
    mapping->reset();
    if (descriptor < 0)
        return QByteArray();
    struct stat st;
    if (size <= 0 || !cannotShrink(descriptor) || ::fstat(descriptor, &st) != 0
        || st.st_size < size) {
        ::close(descriptor);
        return QByteArray();
    }
    if (size < copiedBelow) {
        QByteArray bytes(qsizetype(size), Qt::Uninitialized);
        const bool read = readAll(descriptor, bytes.data(), size_t(size), 0);
        ::close(descriptor);
        return read ? bytes : QByteArray();
    }
    void *address = ::mmap(nullptr, size_t(size), PROT_READ, MAP_SHARED, descriptor, 0);
    ::close(descriptor);
    if (address == MAP_FAILED)
        return QByteArray();
    const size_t length = size_t(size);
    *mapping = std::shared_ptr<const void>(address, [length](const void *at) {
        ::munmap(const_cast<void *>(at), length);
    });
    return QByteArray::fromRawData(static_cast<const char *>(address), qsizetype(size));
}

int SharedImage::put(const QImage &image, QVariantMap *description)
{
    if (image.isNull())
        return -1;
    // What else the image holds that can be large (its text: a PNG comment
    // may be megabytes) goes after the pixels, not into the message.
    QByteArray extra;
    {
        QVariantMap text;
        const QStringList keys = image.textKeys();
        for (const QString &key : keys)
            text.insert(key, image.text(key));
        QVariantList colors;
        for (const QRgb color : image.colorTable())
            colors.append(uint(color));
        QDataStream stream(&extra, QIODevice::WriteOnly);
        stream << text << colors;
    }
    const int fd = sealed({QByteArrayView(reinterpret_cast<const char *>(image.constBits()),
                                          image.sizeInBytes()),
                           QByteArrayView(extra)});
    if (fd < 0)
        return -1;
    QVariantMap &d = *description;
    d.insert(QStringLiteral("width"), image.width());
    d.insert(QStringLiteral("height"), image.height());
    d.insert(QStringLiteral("format"), int(image.format()));
    d.insert(QStringLiteral("bytesPerLine"), qlonglong(image.bytesPerLine()));
    if (image.colorSpace().isValid())
        d.insert(QStringLiteral("iccProfile"), image.colorSpace().iccProfile());
    d.insert(QStringLiteral("dpmX"), image.dotsPerMeterX());
    d.insert(QStringLiteral("dpmY"), image.dotsPerMeterY());
    d.insert(QStringLiteral("extraBytes"), qlonglong(extra.size()));
    return fd;
}

QImage SharedImage::take(int descriptor, const QVariantMap &d)
{
    if (descriptor < 0)
        return QImage();
    const int width = d.value(QStringLiteral("width")).toInt();
    const int height = d.value(QStringLiteral("height")).toInt();
    const int format = d.value(QStringLiteral("format")).toInt();
    const qint64 bytesPerLine = d.value(QStringLiteral("bytesPerLine")).toLongLong();
    struct stat st;
    const bool known = format > QImage::Format_Invalid && format < QImage::NImageFormats;
    const qint64 length = qint64(height) * bytesPerLine;
    const qint64 extraBytes = d.value(QStringLiteral("extraBytes")).toLongLong();
    if (!known || width <= 0 || height <= 0 || bytesPerLine <= 0
        || bytesPerLine > std::numeric_limits<int>::max()
        || extraBytes < 0 || !cannotShrink(descriptor) || ::fstat(descriptor, &st) != 0 || length + extraBytes > st.st_size
        || bytesPerLine * 8 < qint64(width) * QImage::toPixelFormat(QImage::Format(format)).bitsPerPixel()) {
        ::close(descriptor);
        return QImage();
    }
    QImage image;
    QByteArray extra;
    if (length + extraBytes < copiedBelow) {
        QByteArray all(qsizetype(length + extraBytes), Qt::Uninitialized);
        const bool read = readAll(descriptor, all.data(), size_t(all.size()), 0);
        ::close(descriptor);
        if (!read)
            return QImage();
        image = QImage(width, height, QImage::Format(format));
        if (image.isNull())
            return image;
        const size_t row = size_t(qMin<qint64>(bytesPerLine, image.bytesPerLine()));
        for (int y = 0; y < height; ++y)
            std::memcpy(image.scanLine(y), all.constData() + y * bytesPerLine, row);
        extra = all.mid(qsizetype(length));
    } else {
        // Private: the window's own changes to the pixels (a colour
        // conversion in place) stay its own and never reach the sealed file.
        void *address = ::mmap(nullptr, size_t(length + extraBytes), PROT_READ | PROT_WRITE,
                               MAP_PRIVATE, descriptor, 0);
        ::close(descriptor);
        if (address == MAP_FAILED)
            return QImage();
        auto *mapping = new Mapping{address, size_t(length + extraBytes)};
        image = QImage(static_cast<uchar *>(address), width, height, qsizetype(bytesPerLine),
                       QImage::Format(format), unmap, mapping);
        if (image.isNull()) {
            unmap(mapping);
            return image;
        }
        extra = QByteArray(static_cast<const char *>(address) + length, qsizetype(extraBytes));
    }
    QVariantMap text;
    QVariantList colors;
    {
        QDataStream stream(extra);
        stream >> text >> colors;
    }
    const QByteArray icc = d.value(QStringLiteral("iccProfile")).toByteArray();
    if (!icc.isEmpty())
        image.setColorSpace(QColorSpace::fromIccProfile(icc));
    image.setDotsPerMeterX(d.value(QStringLiteral("dpmX")).toInt());
    image.setDotsPerMeterY(d.value(QStringLiteral("dpmY")).toInt());
    if (!colors.isEmpty()) {
        QList<QRgb> table;
        for (const QVariant &color : std::as_const(colors))
            table.append(QRgb(color.toUInt()));
        image.setColorTable(table);
    }
    for (auto it = text.cbegin(); it != text.cend(); ++it)
        image.setText(it.key(), it.value().toString());
    return image;
}
