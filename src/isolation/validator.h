#ifndef VALIDATOR_H
#define VALIDATOR_H

#include "isolation/protocol.h"

#include <QSize>

// The window's checks of everything a helper says: each number against
// what the window asked for, in checked arithmetic. A helper is
// attacker-written code once a file has taken it over; what fails here
// ends it and fails its image (Protocol::nonsense()).
namespace Validator {

// The extra block after a picture's rows; a picture's colour table.
constexpr qint64 maxExtraBytes = 1024 * 1024;
constexpr int maxColours = 256;
// The pixels a stored picture may claim (the largest side of the formats
// read, squared), and its rows at most.
constexpr qint64 maxPixels = qint64(1) << 32;
constexpr qint64 maxPictureBytes = qint64(2) * 1024 * 1024 * 1024;
// What an encoded file may hold besides its pixels: metadata, profiles,
// embedded previews.
constexpr qint64 metadataAllowance = 16 * 1024 * 1024;
// Bytes an encoded file may take a pixel at most (a text format of a
// picture with millions of colours: a colour line and a code a pixel).
constexpr qint64 encodedBytesPerPixel = 32;
// A thumbnail's side, or a preview's, at most.
constexpr qint32 maxThumbnailSide = 4096;

// Checked arithmetic: false when the result does not fit.
bool multiply(qint64 a, qint64 b, qint64 *product);
bool add(qint64 a, qint64 b, qint64 *sum);

// Whether a step value is one the window knows.
bool knownStep(quint8 step);

// Whether the memfd can no longer shrink, grow or be written, and holds at
// least bytes.
bool sealedHolding(int descriptor, qint64 bytes);

// What the window knows of one request, from what it asked and answered.
struct Knowledge
{
    Protocol::Request request;
    bool targetAsked = false;
    QSize shown;
    QSize target;
    bool admitAsked = false;
    qint64 admittedPixels = 0;
    qint64 handedPixels = 0; // of the pixels handed in
    quint8 step = 0;         // the step reached (ConversionResult::Step)
    bool stepPixelsSaid = false;
};

// The size a scaled picture has: what the window's target and the shown
// size make (as the reader fits it), or invalid when unknown.
QSize expected(const Knowledge &known);

// Whether a question may be asked now, its numbers in range.
bool question(const Protocol::Question &question, const Knowledge &known);
// Whether a note may come now; a note may move the step only to encoding,
// once.
bool note(const Protocol::Note &note, const Knowledge &known);
// Whether an answer fits the request: its step, texts, the pictures and
// the bytes it says come, with descriptors as many as it says, and what it
// says of the cache's entries only of those the request handed over.
bool answer(const Protocol::Answer &answer, const Knowledge &known, int descriptors);

// The box a picture coming back must fit in (0 x 0: only the limits).
struct Box
{
    qint32 width = 0;
    qint32 height = 0;
};
Box imageBox(const Knowledge &known);
Box previewBox(const Knowledge &known);

// Whether a picture's description is one the window maps: a known
// format, sides within box, rows long enough and not far longer, rows and
// extra within their bounds. rowBytes: height * bytesPerLine.
bool picture(const Protocol::Picture &picture, const Box &box, qint64 *rowBytes);

// The encoded file's size at most, for a picture of so many pixels.
qint64 encodedBound(qint64 pixels);
// The pixels the encoded file holds at most, by what the window knows.
qint64 encodedPixels(const Protocol::Answer &answer, const Knowledge &known);

// The memory an admission takes: the helper's figure held between four
// and sixty-four bytes a pixel (and the fitted picture's copies), never
// more than the decode limit and the picture's. -1: pixels out of range.
qint64 admissionCost(const Protocol::Question &question, const Knowledge &known);

// The pixels a step's time allowance is worked out for: bounded.
qint64 timedPixels(qint64 pixels);

} // namespace Validator

#endif // VALIDATOR_H
