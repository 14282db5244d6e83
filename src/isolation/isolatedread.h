#ifndef ISOLATEDREAD_H
#define ISOLATEDREAD_H

#include "base/conversionresult.h"
#include "decode/resampler.h"
#include "isolation/helperserver.h"

#include <QImage>
#include <QSize>
#include <QString>

#include <functional>
#include <memory>

class SourceFile;
class SourceReader;

// Work on one source in a helper process: the source, opened here, is
// read there (limits, admission, decoding at size, orientation, fitting,
// and whatever the request's handler does next), and what comes of it
// comes back in shared memory. What needs the window's state is asked of
// it mid-request: the size to fit a picture of a given size into, and
// whether the memory it takes may be had. When no helper can be started
// the read fails with the reason; nothing is read in this process.
namespace IsolatedRead {

struct Request
{
    // What the request asks; its job, name, scaled, mode and scaling are
    // set from the fields below.
    Protocol::Request protocol;
    // Pixels handed with the request; null: none.
    QImage image;
    // Scaled: fitted to targetFor(shown size) as mode says; else whole.
    bool scaled = false;
    Qt::AspectRatioMode mode = Qt::IgnoreAspectRatio;
    Scaling scaling = Scaling::Fast;
    std::function<QSize(const QSize &shown)> targetFor;
    // Told the bytes the decode will take; may wait. False fails the read.
    std::function<bool(qint64 bytes)> admit;
    // Asked while the helper works: true ends it (Stop, Quit).
    std::function<bool()> abandoned;
    // Told each step the handler reaches (stepNote()).
    std::function<void(ConversionResult::Step)> reached;
    // The time allowed for each step: a base, plus an allowance for each
    // megapixel once the helper has said how large the picture is.
    double baseSeconds = 15;
    double secondsPerMegapixel = 0.15;
};

struct Result
{
    QImage image;
    // What the handler made besides (a list preview, an encoded file:
    // valid while bytesMapping lives) and said (values).
    QImage preview;
    QByteArray bytes;
    std::shared_ptr<const void> bytesMapping;
    Protocol::Answer values;
    QString reason;
    ConversionResult::Step step = ConversionResult::NoStep;
    // What the reader noticed and patched over (SourceReader::warnings()).
    QStringList warnings;
};

// Reads file (opened by the caller, named name) as request says.
Result read(SourceFile &file, const QString &name, const Request &request);
// The same with the source as a descriptor (-1: none, for a request about
// the handed pixels alone).
Result run(int source, const QString &name, const Request &request);

// The helper's side of read(): decode() alone.
HelperAnswer serve(HelperContext &context);

// The read step of a handler: source (over the context's descriptor)
// decoded as the request's parameters say. A null image when it failed;
// then answer's values say why (reason, step). The warnings go into
// answer's values either way.
QImage decode(HelperContext &context, SourceReader &source, HelperAnswer *answer);

// What a handler tells the window as it starts a step that takes time of
// its own (encoding): a failure from then on is that step's, and the
// step gets its own time, for a picture of pixels at secondsPerMegapixel
// (at most four times the request's).
Protocol::Note stepNote(ConversionResult::Step step, qint64 pixels, double secondsPerMegapixel);

// The seconds a conversion's read may take: a base, plus an allowance for
// each megapixel once the helper knows the size.
constexpr double baseSeconds = 15;
constexpr double secondsPerMegapixel = 0.15;
// Encoding: BMP and TIFF files of a large picture are written slowly.
constexpr double encodeSecondsPerMegapixel = 0.5;

} // namespace IsolatedRead

#endif // ISOLATEDREAD_H
