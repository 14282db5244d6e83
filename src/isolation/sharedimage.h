#ifndef SHAREDIMAGE_H
#define SHAREDIMAGE_H

#include <QByteArray>
#include <QImage>
#include <QVariantMap>

#include <memory>

// Pixels handed from a helper process to the window's process in a sealed
// memfd: the helper writes them once and seals the file (no one can change
// or resize it afterwards), the window maps it and wraps the mapping in a
// QImage without copying; the mapping goes when the last copy of the
// QImage does. Small pictures are copied instead.
namespace SharedImage {

// A new sealed memfd holding image's pixels, and in description what the
// other side needs to map them (size, format, line length, colour space,
// resolution, text). -1 when image is null or the memory cannot be had.
int put(const QImage &image, QVariantMap *description);

// The image the descriptor and description make: mapped, not copied, or
// read out when small (a thumbnail: a mapping would cost more than the
// copy); the descriptor is closed either way. A null image when they do not agree
// (sizes that do not fit the file, an unknown format).
QImage take(int descriptor, const QVariantMap &description);

// Bytes (an encoded file) the same way: a new sealed memfd holding them,
// or -1 when the memory cannot be had.
int putBytes(const QByteArray &bytes);

// The first size bytes of the descriptor, mapped read-only, not copied
// (read out when small): they stay valid while a copy of mapping lives. Empty when the file is
// shorter; the descriptor is closed either way.
QByteArray takeBytes(int descriptor, qint64 size, std::shared_ptr<const void> *mapping);

} // namespace SharedImage

#endif // SHAREDIMAGE_H
