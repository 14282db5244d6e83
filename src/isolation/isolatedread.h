#ifndef ISOLATEDREAD_H
#define ISOLATEDREAD_H

#include "base/conversionresult.h"
#include "isolation/helperserver.h"

#include <QImage>
#include <QSize>
#include <QString>

#include <functional>

class SourceFile;

// The reading step of a conversion, done in a helper process: the source,
// opened here, is decoded there (limits, admission, decoding at size,
// orientation, fitting) and the picture comes back in shared memory. What
// needs the window's state is asked of it mid-request: the size to fit a
// picture of a given size into, and whether the memory it takes may be had.
// When no helper can be started the same steps run in this process.
namespace IsolatedRead {

struct Request
{
    // Scaled: fitted to targetFor(shown size) as mode says; else whole.
    bool scaled = false;
    Qt::AspectRatioMode mode = Qt::IgnoreAspectRatio;
    std::function<QSize(const QSize &shown)> targetFor;
    // Told the bytes the decode will take; may wait. False fails the read.
    std::function<bool(qint64 bytes)> admit;
    // Asked while the helper works: true ends it (Stop, Quit).
    std::function<bool()> abandoned;
};

struct Result
{
    QImage image;
    QString reason;
    ConversionResult::Step step = ConversionResult::NoStep;
    // What the reader noticed and patched over (SourceReader::warnings()).
    QStringList warnings;
};

// Reads file (opened by the caller, named name) as request says.
Result read(SourceFile &file, const QString &name, const Request &request);

// The helper's side of read().
HelperAnswer serve(HelperContext &context);

// The seconds a conversion's read may take: a base, plus an allowance for
// each megapixel once the helper knows the size.
constexpr double baseSeconds = 15;
constexpr double secondsPerMegapixel = 0.15;

} // namespace IsolatedRead

#endif // ISOLATEDREAD_H
