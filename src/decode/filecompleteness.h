#ifndef FILECOMPLETENESS_H
#define FILECOMPLETENESS_H

#include <QByteArray>
#include <QString>

class QIODevice;

// Whether a file holds all the data its header promises. Some of Qt's
// readers decode a file cut short without a word (BMP, GIF): the rows or
// frames past the cut come out in whatever colour the buffer had. The
// header says how long the data is, so the check is a comparison with the
// file's size, before anything is decoded.
namespace FileCompleteness {

// Why the file is unusable (its data ends before the header says it does),
// in the user's words; empty when it is complete or the check does not
// apply. format is the reader's name for the file's kind ("bmp").
QString damage(QIODevice *device, const QByteArray &format);

// What the picture may lack although it is usable (a GIF without its
// closing byte: its last frame may be cut; a JPEG without its end marker:
// its last scans may be missing), in the user's words; empty when nothing
// is known to be missing.
QString warning(QIODevice *device, const QByteArray &format);

} // namespace FileCompleteness

#endif // FILECOMPLETENESS_H
