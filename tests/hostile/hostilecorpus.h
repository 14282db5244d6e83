#ifndef HOSTILECORPUS_H
#define HOSTILECORPUS_H

#include "commands.h"

#include <QByteArray>
#include <QList>
#include <QSize>
#include <QString>
#include <QStringList>

// Files that have hurt image converters before: cut short, lying headers,
// flipped bytes, odd pixel formats, odd names. Everything is made here from
// fixed seeds, so a failure on CI is the same failure on a desk, and CI needs
// nothing beyond Qt.
namespace Hostile {

// What a command must make of a case. Either: the file is damaged in a way
// that a decoder may patch over or refuse (flipped bytes inside the scan);
// both are fine as long as it is counted and nothing breaks.
enum class Outcome { Converts, Fails, Either };

struct Case
{
    QString fileName;  // as written to disk, also the row name
    QByteArray bytes;
    // The picture as it appears (after EXIF orientation); invalid when no
    // decoder should agree on one.
    QSize shown;
    Outcome outcome[3] = {Outcome::Converts, Outcome::Converts, Outcome::Converts};
    // The combo box entry for the format and the size-and-format commands.
    int formatIndex = 4;
};

// Percentage the size commands use; 50 halves each side (truncated).
constexpr int percent = 50;

// Suffixes the combo box entries stand for (0: the source's own).
QString formatOfIndex(int index);

// The whole corpus. Names are unique by complete base name, so that every
// result has a name of its own.
QList<Case> corpus();

// Writes the cases into dir; returns their paths in corpus order.
QStringList writeCorpus(const QString &dir, const QList<Case> &cases);

// Pieces, exposed for the corpus' own checks.
QByteArray hugePng(quint32 width, quint32 height);
// A JPEG whose frame header claims this size, and a one-row TIFF that
// claims this width: a few hundred bytes a decoder believing them would
// turn into gigabytes.
QByteArray jpegClaiming(const QSize &claimed);
QByteArray tiffClaimingWidth(quint32 width);
// A PNG of the picture carrying count text chunks of type zTXt or iTXt,
// each inflating to inflated bytes, before the picture data or after it.
QByteArray textBombPng(const QByteArray &png, const char type[4], int count, int inflated,
                       bool afterData = false);
QByteArray cmykJpeg(const QSize &size);
QByteArray twoPageTiff(const QSize &first, const QSize &second);

// True when the file is whole for its format (the end marker is there, the
// declared length matches) and decodes to a picture of the expected size
// (when valid). Says why not in why.
bool isCompleteImage(const QString &path, const QSize &expected, QString *why);

// Files in dir, hidden ones included, sorted.
QStringList filesIn(const QString &dir);

} // namespace Hostile

#endif // HOSTILECORPUS_H
