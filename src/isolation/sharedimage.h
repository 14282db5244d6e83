#ifndef SHAREDIMAGE_H
#define SHAREDIMAGE_H

#include "isolation/protocol.h"
#include "isolation/validator.h"

#include <QByteArray>
#include <QImage>

#include <memory>

// Pixels handed from a helper process to the window's process in a sealed
// memfd: the helper writes them once and seals the file (no one can change
// or resize it afterwards), the window maps it and wraps the mapping in a
// QImage without copying; the mapping goes when the last copy of the
// QImage does. Small pictures are copied instead.
namespace SharedImage {

// Who the pixels go to. The window takes sRGB pixels and a colour table
// alone: a helper converts a picture with another profile before it puts
// it, and drops its text. A helper takes the window's picture whole.
enum class Towards { Window, Helper };

// A new sealed memfd holding image's pixels, and in picture what the
// other side needs to map them. -1 when image is null or the memory cannot
// be had.
int put(const QImage &image, Towards towards, Protocol::Picture *picture);

// The window's side: the image the descriptor and picture make, mapped,
// not copied, or read out when small (a thumbnail: a mapping would cost
// more than the copy); the descriptor is closed either way. A null image
// when they do not agree, or break the box, the seals or a bound
// (Validator::picture()).
// refused, when given, says whether it was the description or the file
// that failed (rather than this process's memory).
QImage take(int descriptor, const Protocol::Picture &picture, const Validator::Box &box,
            bool *refused = nullptr);

// The helper's side: the window's picture, with its profile and text.
QImage takeHanded(int descriptor, const Protocol::Picture &picture);

// Bytes (an encoded file) the same way: a new sealed memfd holding them,
// or -1 when the memory cannot be had.
int putBytes(const QByteArray &bytes);

// The first size bytes of the descriptor, mapped read-only, not copied
// (read out when small): they stay valid while a copy of mapping lives.
// Empty when the file is shorter or not sealed against shrinking, growing
// and writing; the descriptor is closed either way.
QByteArray takeBytes(int descriptor, qint64 size, std::shared_ptr<const void> *mapping,
                     bool *refused = nullptr);

} // namespace SharedImage

#endif // SHAREDIMAGE_H
