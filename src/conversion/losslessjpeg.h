#ifndef LOSSLESSJPEG_H
#define LOSSLESSJPEG_H

#include "encode/encodeoptions.h"

#include <QByteArray>
#include <QImage>
#include <QString>

class PhotoMetadata;
class SourceReader;

// A JPEG made a JPEG XL without loss: its coded data moved over as it is,
// with what rebuilds the very file (djxl gives back its bytes), about a
// fifth smaller. Only for a JPEG whose pixels nothing changed: read at
// its own size, with no turn to apply.
namespace LosslessJpeg {

// The JPEG XL file of reader's JPEG, image being its decoded pixels. Empty
// when it cannot be had; notLossless then says why, in the user's words,
// for a JPEG source (a source of another kind needs no word: its pixels
// are what it holds). With the location removed, the JPEG's segments go
// without it first, so djxl gives back the JPEG without its position.
QByteArray toJpegXl(SourceReader *reader, const QImage &image, const PhotoMetadata &metadata,
                    const EncodeOptions &options, QString *notLossless);

} // namespace LosslessJpeg

#endif // LOSSLESSJPEG_H
