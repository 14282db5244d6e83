#include "isolation/sharedimage.h"

#include <QColorSpace>

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

} // namespace

int SharedImage::putBytes(const QByteArray &bytes)
{
    return sealed({QByteArrayView(bytes)});
}

QByteArray SharedImage::takeBytes(int descriptor, qint64 size, std::shared_ptr<const void> *mapping,
                                  bool *refused)
{
    mapping->reset();
    const bool sealed = descriptor >= 0 && size > 0 && Validator::sealedHolding(descriptor, size);
    if (refused)
        *refused = !sealed;
    if (descriptor < 0)
        return QByteArray();
    if (!sealed) {
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

namespace {

// The extra block after the rows, little-endian: u32 colour count and the
// colours, u32 profile length and the ICC profile, u32 text count and
// each text as u32 length and UTF-8, key then value.
void appendU32(QByteArray *to, quint32 v)
{
    for (int i = 0; i < 4; ++i)
        to->append(char((v >> (8 * i)) & 0xff));
}

void appendBytes(QByteArray *to, const QByteArray &bytes)
{
    appendU32(to, quint32(bytes.size()));
    to->append(bytes);
}

QByteArray extraOf(const QImage &image, SharedImage::Towards towards)
{
    QByteArray extra;
    const QList<QRgb> colours = image.colorTable();
    appendU32(&extra, quint32(colours.size()));
    for (const QRgb colour : colours)
        appendU32(&extra, colour);
    const bool whole = towards == SharedImage::Towards::Helper;
    appendBytes(&extra, whole && image.colorSpace().isValid() ? image.colorSpace().iccProfile()
                                                              : QByteArray());
    const QStringList keys = whole ? image.textKeys() : QStringList();
    appendU32(&extra, quint32(keys.size()));
    for (const QString &key : keys) {
        appendBytes(&extra, key.toUtf8());
        appendBytes(&extra, image.text(key).toUtf8());
    }
    return extra;
}

// Reads the extra block; false when it does not parse or is longer than
// it says.
class ExtraReader
{
public:
    explicit ExtraReader(QByteArrayView bytes) : data(bytes) {}
    bool ok() const { return good && at == data.size(); }
    bool fine() const { return good; }
    quint32 u32()
    {
        if (!good || data.size() - at < 4) {
            good = false;
            return 0;
        }
        quint32 v = 0;
        for (int i = 0; i < 4; ++i)
            v |= quint32(quint8(data[at + i])) << (8 * i);
        at += 4;
        return v;
    }
    QByteArray bytes()
    {
        const quint32 length = u32();
        if (!good || length > quint64(data.size() - at)) {
            good = false;
            return QByteArray();
        }
        const QByteArray b = data.sliced(at, length).toByteArray();
        at += length;
        return b;
    }

private:
    QByteArrayView data;
    qsizetype at = 0;
    bool good = true;
};

// The picture as the window takes it: sRGB, no colour table, no text.
QImage forWindow(const QImage &image)
{
    QImage plain = image;
    if (plain.colorSpace().isValid() && plain.colorSpace() != QColorSpace(QColorSpace::SRgb)) {
        const QImage converted = plain.convertedToColorSpace(QColorSpace(QColorSpace::SRgb));
        if (!converted.isNull())
            plain = converted;
    }
    if (plain.format() == QImage::Format_Indexed8 || plain.format() == QImage::Format_Mono
        || plain.format() == QImage::Format_MonoLSB)
        plain = plain.convertToFormat(plain.hasAlphaChannel() ? QImage::Format_ARGB32
                                                              : QImage::Format_RGB32);
    return plain;
}

// The window's mapping of rows bytes of pixels and extra bytes after them,
// or a copy when small; null when the file fails.
QImage pixelsOf(int descriptor, const Protocol::Picture &p, qint64 rows, QByteArray *extra)
{
    qint64 total = 0;
    if (!Validator::add(rows, p.extraBytes, &total)
        || !Validator::sealedHolding(descriptor, total))
        return QImage();
    const QImage::Format format = QImage::Format(p.format);
    if (total < copiedBelow) {
        QByteArray all(qsizetype(total), Qt::Uninitialized);
        if (!readAll(descriptor, all.data(), size_t(total), 0))
            return QImage();
        QImage image(p.width, p.height, format);
        if (image.isNull())
            return image;
        const size_t row = size_t(qMin<qint64>(p.bytesPerLine, image.bytesPerLine()));
        for (int y = 0; y < p.height; ++y)
            std::memcpy(image.scanLine(y), all.constData() + qint64(y) * p.bytesPerLine, row);
        *extra = all.sliced(qsizetype(rows));
        return image;
    }
    // Private: the window's own changes to the pixels stay its own and
    // never reach the sealed file.
    void *address = ::mmap(nullptr, size_t(total), PROT_READ | PROT_WRITE, MAP_PRIVATE,
                           descriptor, 0);
    if (address == MAP_FAILED)
        return QImage();
    auto *mapping = new Mapping{address, size_t(total)};
    QImage image(static_cast<uchar *>(address), p.width, p.height, qsizetype(p.bytesPerLine),
                 format, unmap, mapping);
    if (image.isNull()) {
        unmap(mapping);
        return image;
    }
    *extra = QByteArray(static_cast<const char *>(address) + rows, qsizetype(p.extraBytes));
    return image;
}

} // namespace

int SharedImage::put(const QImage &given, Towards towards, Protocol::Picture *picture)
{
    if (given.isNull())
        return -1;
    const QImage image = towards == Towards::Window ? forWindow(given) : given;
    if (image.isNull())
        return -1;
    const QByteArray extra = extraOf(image, towards);
    const int fd = sealed({QByteArrayView(reinterpret_cast<const char *>(image.constBits()),
                                          image.sizeInBytes()),
                           QByteArrayView(extra)});
    if (fd < 0)
        return -1;
    picture->width = image.width();
    picture->height = image.height();
    picture->format = quint8(image.format());
    picture->bytesPerLine = image.bytesPerLine();
    picture->dotsPerMeterX = image.dotsPerMeterX();
    picture->dotsPerMeterY = image.dotsPerMeterY();
    picture->extraBytes = quint32(extra.size());
    return fd;
}

QImage SharedImage::take(int descriptor, const Protocol::Picture &p, const Validator::Box &box,
                         bool *refused)
{
    qint64 rows = 0;
    qint64 total = 0;
    QImage image;
    QByteArray extra;
    // Nothing but plain rows: no colour table, no profile, no text.
    const bool plain = descriptor >= 0 && Validator::picture(p, box, &rows) && p.extraBytes == 12
            && p.format != QImage::Format_Indexed8 && p.format != QImage::Format_Mono
            && p.format != QImage::Format_MonoLSB && Validator::add(rows, p.extraBytes, &total)
            && Validator::sealedHolding(descriptor, total);
    if (plain)
        image = pixelsOf(descriptor, p, rows, &extra);
    if (descriptor >= 0)
        ::close(descriptor);
    const bool empty = extra == QByteArray(12, '\0');
    if (refused)
        *refused = !plain || (!image.isNull() && !empty);
    if (image.isNull() || !empty)
        return QImage();
    image.setDotsPerMeterX(p.dotsPerMeterX);
    image.setDotsPerMeterY(p.dotsPerMeterY);
    return image;
}

QImage SharedImage::takeHanded(int descriptor, const Protocol::Picture &p)
{
    qint64 rows = 0;
    QImage image;
    QByteArray extra;
    if (descriptor >= 0 && Validator::picture(p, Validator::Box(), &rows))
        image = pixelsOf(descriptor, p, rows, &extra);
    if (descriptor >= 0)
        ::close(descriptor);
    if (image.isNull())
        return image;
    ExtraReader r(extra);
    const quint32 colours = r.u32();
    if (colours > quint32(Validator::maxColours))
        return QImage();
    QList<QRgb> table;
    for (quint32 i = 0; i < colours; ++i)
        table.append(r.u32());
    const QByteArray icc = r.bytes();
    const quint32 texts = r.u32();
    QList<std::pair<QString, QString>> pairs;
    for (quint32 i = 0; i < texts && r.fine(); ++i) {
        const QByteArray key = r.bytes();
        const QByteArray value = r.bytes();
        pairs.append({QString::fromUtf8(key), QString::fromUtf8(value)});
    }
    if (!r.ok())
        return QImage();
    if (!table.isEmpty())
        image.setColorTable(table);
    if (!icc.isEmpty())
        image.setColorSpace(QColorSpace::fromIccProfile(icc));
    for (const auto &[key, value] : std::as_const(pairs))
        image.setText(key, value);
    image.setDotsPerMeterX(p.dotsPerMeterX);
    image.setDotsPerMeterY(p.dotsPerMeterY);
    return image;
}
