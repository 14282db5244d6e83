#include "decode/decodewatch.h"

#include <QCoreApplication>
#include <QImageReader>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>

namespace {

thread_local DecodeWatch *current = nullptr;
// Set once, read by whichever thread logs: atomic, since the hand-over
// inside Qt is not visible to the race detector.
std::atomic<QtMessageHandler> previous{nullptr};

// libjpeg's texts for data that stops before the picture does: its source
// ran dry, or the entropy decoder met the end marker the reader puts there.
bool endsEarly(const QString &warning)
{
    return warning.contains(QLatin1String("premature end"), Qt::CaseInsensitive);
}

// Damage inside the picture's data, which the decoder papers over. Not
// "extraneous bytes before marker": encoders leave stray bytes between the
// segments of whole pictures, and libjpeg skips them.
bool corruptData(const QString &warning)
{
    return warning.startsWith(QLatin1String("Corrupt JPEG data"))
            && !warning.contains(QLatin1String("extraneous bytes"));
}

// Qt's own refusal of pictures over the readers' allocation limit.
bool overLimit(const QString &warning)
{
    return warning.contains(QLatin1String("exceeds the current allocation limit"));
}

QString readFailure(const QImageReader &reader, const QStringList &warnings)
{
    if (std::any_of(warnings.begin(), warnings.end(), overLimit))
        return QCoreApplication::translate("DecodeWatch", "image too large");
    switch (reader.error()) {
    case QImageReader::FileNotFoundError:
    case QImageReader::DeviceError:
        return QCoreApplication::translate("DecodeWatch", "cannot read the file");
    case QImageReader::UnsupportedFormatError:
        return QCoreApplication::translate("DecodeWatch", "not an image");
    default:
        // A format was recognised, but its data does not decode.
        return QCoreApplication::translate("DecodeWatch", "damaged file");
    }
}

} // namespace

DecodeWatch::DecodeWatch() : outer(current)
{
    static std::once_flag installed;
    std::call_once(installed, []() {
        previous.store(qInstallMessageHandler(&DecodeWatch::handle), std::memory_order_release);
    });
    current = this;
}

DecodeWatch::~DecodeWatch()
{
    current = outer;
}

void DecodeWatch::handle(QtMsgType type, const QMessageLogContext &context,
                         const QString &message)
{
    if (current && (type == QtWarningMsg || type == QtCriticalMsg))
        current->seen.append(message);
    const QtMessageHandler next = previous.load(std::memory_order_acquire);
    if (next)
        next(type, context, message);
    else // a message logged while the handler is being installed
        std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, message)));
}

QString DecodeWatch::damage() const
{
    if (std::any_of(seen.begin(), seen.end(), endsEarly))
        return QCoreApplication::translate("DecodeWatch", "damaged file (data ends early)");
    if (std::any_of(seen.begin(), seen.end(), corruptData))
        return QCoreApplication::translate("DecodeWatch", "damaged file (corrupt data)");
    return QString();
}

QImage DecodeWatch::read(QImageReader &reader, QString *errorString)
{
    // Some of Qt's readers leave pixels they have no data for as the
    // allocation found them (RLE skips, a BMP cut short, a 16-bit PNG's
    // transparent colour): whatever the process held before would end up
    // in the user's file. Those readers decode into a picture given to
    // them when it has their size and format, so it starts out defined.
    QImage image;
    const QSize size = reader.size();
    const QImage::Format format = reader.imageFormat();
    if (size.isValid() && format != QImage::Format_Invalid && !reader.scaledSize().isValid()
        && !reader.clipRect().isValid() && !reader.scaledClipRect().isValid()) {
        image = QImage(size, format);
        image.fill(0);
    }
    QStringList warnings;
    QString damaged;
    {
        DecodeWatch watch;
        if (!reader.read(&image))
            image = QImage();
        warnings = watch.seen;
        damaged = watch.damage();
    }
    if (!image.isNull() && damaged.isEmpty())
        return image;
    if (errorString)
        *errorString = damaged.isEmpty() ? readFailure(reader, warnings) : damaged;
    return QImage();
}
