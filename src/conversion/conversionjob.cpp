#include "conversion/conversionjob.h"

#include "fs/atomicfile.h"
#include "conversion/convertsettings.h"
#include "encode/imageencoder.h"
#include "base/imagelimits.h"
#include "encode/outputformat.h"
#include "metadata/photometadata.h"
#include "fs/savefolder.h"
#include "fs/sourcefile.h"
#include "isolation/isolatedread.h"
#include "fs/targetnamer.h"
#include "thumbnail/thumbnailloader.h"

#include <QDir>
#include <QFileInfo>

#include <mutex>

using Step = ConversionResult::Step;

ConversionJob::ConversionJob(const QString &sourcePath, ConvertMode mode, const QSize &size, int percent,
                             const QString &format, Qt::AspectRatioMode aspectRatioMode)
    : path(sourcePath), mode(mode), size(size), percent(percent), targetFormat(format),
      aspectRatioMode(aspectRatioMode)
{
}

ConversionJob::~ConversionJob() = default;

bool ConversionJob::fail(Step step, const QString &reason, const QString &detail)
{
    converted = QImage();
    outcome.outcome = ConversionResult::Failed;
    outcome.step = step;
    outcome.reason = reason;
    outcome.detail = detail.isEmpty() ? reason : detail;
    return false;
}

void ConversionJob::setImage(const QImage &image)
{
    outcome = ConversionResult();
    metadata.reset();
    converted = image;
    if (image.isNull())
        fail(Step::Decode, tr("no image"), QString());
}

ConversionResult ConversionJob::run(const Target &target)
{
    if (!read())
        return outcome;
    return write(target);
}

bool ConversionJob::read(const Admit &admit)
{
    outcome = ConversionResult();
    converted = QImage();
    sourceDates = FileDates::of(path);

    // Open the source once: the pixels and the metadata both come from
    // this open, so a file replaced meanwhile cannot mix two photos.
    SourceFile source(path);

    // Limits, admission, decoding at size, orientation and fitting, in a
    // helper process.
    QStringList warnings;
    converted = decodeAtSize(source, admit, &warnings);
    if (converted.isNull())
        return false;
    outcome.warnings << warnings;

    // The metadata, only when the encoder will look at it.
    metadata = std::make_unique<PhotoMetadata>();
    if (ImageEncoder::needsMetadata(converted, targetFormat))
        *metadata = PhotoMetadata::read(source);
    return true;
}

QImage ConversionJob::decodeAtSize(SourceFile &source, const Admit &admit, QStringList *warnings)
{
    IsolatedRead::Request request;
    request.admit = admit;
    request.abandoned = abandoned;
    request.mode = aspectRatioMode;
    switch (mode) {
    case ConvertMode::SizeConvert:
    case ConvertMode::BothConvert:
        request.scaled = true;
        request.targetFor = [this](const QSize &shown) {
            if (percent > 0)
                size = ConvertSettings::percentOf(shown, percent);
            return size;
        };
        break;
    case ConvertMode::FormatConvert:
        break;
    default:
        fail(Step::Decode, tr("unknown conversion mode %1").arg(int(mode)), QString());
        return QImage();
    }
    const IsolatedRead::Result read = IsolatedRead::read(source, path, request);
    *warnings = read.warnings;
    if (read.image.isNull())
        fail(read.step, read.reason.isEmpty() ? tr("cannot decode the image") : read.reason, QString());
    return read.image;
}

ConversionResult ConversionJob::write(const Target &target)
{
    // The one place an encode's failed allocation is caught: anywhere in
    // the encoding, the metadata or the commit, it fails this image alone
    // and the batch goes on.
    try {
        return writeFile(target);
    } catch (const std::bad_alloc &) {
        outcome = ConversionResult();
        fail(Step::Encode, ImageLimits::outOfMemory(), QString());
        return outcome;
    }
}

ConversionResult ConversionJob::writeFile(const Target &target)
{
    const QImage image = converted;
    // The pixels go with the result; the job holds none once it is over.
    converted = QImage();
    if (outcome.step != Step::NoStep)
        return outcome;
    if (image.isNull()) {
        fail(Step::Encode, tr("no image to write"), QString());
        return outcome;
    }
    if (!ImageEncoder::canWrite(targetFormat)) {
        fail(Step::Encode, tr("no writer for %1 files: choose a target format").arg(targetFormat.toUpper()), QString());
        return outcome;
    }

    // Colour and flattening, encoding and the metadata, in memory first:
    // some writers do not notice when the device takes only part of a
    // write (a full disk), but a short count on one write of the whole
    // file cannot go unseen.
    QString why;
    QImage written;
    // Read with the pixels; by path only for an image handed in from
    // elsewhere (setImage()).
    PhotoMetadata carried = metadata ? *metadata
            : ImageEncoder::needsMetadata(image, targetFormat) ? PhotoMetadata::read(path)
                                                               : PhotoMetadata();
    metadata.reset();
    carried.setLocationRemoved(target.removeLocation);
    QByteArray bytes = ImageEncoder::encode(image, targetFormat, carried, path, &why, &written,
                                            &outcome.warnings);
    if (bytes.isEmpty()) {
        fail(Step::Encode, why, QString());
        return outcome;
    }

    // The folder, made when missing.
    const std::shared_ptr<TargetNamer> namer =
            target.namer ? target.namer : std::make_shared<TargetNamer>(QStringList{path});
    why = SaveFolder::make(target.directory, namer->folderMayBeLink());
    QString folder = target.directory;
    if (why.isEmpty() && !target.subfolder.isEmpty()) {
        why = SaveFolder::makeBelow(target.directory, target.subfolder);
        if (!folder.endsWith(QLatin1Char('/')))
            folder += QLatin1Char('/');
        folder += target.subfolder;
    }
    if (!why.isEmpty()) {
        fail(Step::Folder, why, QString());
        return outcome;
    }

    // The name, unique in the batch and never a source's.
    QString key;
    const QString fileName = namer->claim(folder, path, targetFormat, &key);
    outcome.fileName = fileName;

    // The commit: the whole file under its name, or nothing. The check of
    // the order and the rename happen under one lock, so that an earlier
    // batch cannot slip its file in after a later one's.
    bool superseded = false;
    bool cancelled = false;
    std::unique_lock<QMutex> lock;
    if (target.commitOrder)
        lock = std::unique_lock<QMutex>(target.commitOrder->lock, std::defer_lock);
    why = AtomicFile::write(bytes, fileName, [&]() {
        // The flag is looked at under the lock, which a stop holds while it
        // sets it: a file is then either counted in written or dropped.
        if (target.commitOrder && target.order > 0)
            lock.lock();
        if (target.cancelled && target.cancelled->load()) {
            cancelled = true;
            return false;
        }
        if (!lock.owns_lock())
            return true;
        superseded = target.commitOrder->committed.value(key, 0) > target.order;
        return !superseded;
    });
    bytes = QByteArray();
    if (superseded) {
        outcome.outcome = ConversionResult::Superseded;
        outcome.step = Step::Commit;
        outcome.detail = QStringLiteral("a later conversion has written this file");
        return outcome;
    }
    if (cancelled) {
        fail(Step::Stop, tr("stopped"), QString());
        return outcome;
    }
    if (!why.isEmpty()) {
        fail(Step::Commit, why, QString());
        return outcome;
    }
    if (lock.owns_lock()) {
        target.commitOrder->committed.insert(key, target.order);
        ++target.commitOrder->written[target.order];
        lock.unlock();
    }

    // The list preview shows what the file holds: the flattened, converted
    // pixels, or the file read back where the writer changes them (an
    // alpha kept only on or off).
    outcome.outcome = ConversionResult::Written;
    outcome.preview = ImageLimits::orNull(
            [&]() {
                return OutputFormat::of(targetFormat).alpha != OutputFormat::Alpha::OnOff
                        ? ThumbnailLoader::fromImage(written, target.previewSide)
                        : ThumbnailLoader::fromFile(fileName, target.previewSide);
            },
            nullptr);

    // The dates go on the file in place, once nothing here reads it again
    // (a read would move its access time): a volume that will not take
    // them should not cost the photo.
    if (target.keepDates) {
        const FileDates dates = sourceDates.isValid() ? sourceDates : FileDates::of(path);
        why = dates.applyTo(fileName);
        if (!why.isEmpty())
            outcome.warnings << tr("its file dates were not kept: %1").arg(why);
    }
    return outcome;
}
