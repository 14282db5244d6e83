#include "conversion/conversionjob.h"

#include "base/imagelimits.h"
#include "conversion/convertsettings.h"
#include "conversion/losslessjpeg.h"
#include "decode/sourcereader.h"
#include "encode/imageencoder.h"
#include "encode/outputformat.h"
#include "fs/atomicfile.h"
#include "fs/savefolder.h"
#include "fs/sourcefile.h"
#include "fs/targetnamer.h"
#include "isolation/isolatedread.h"
#include "isolation/validator.h"
#include "metadata/photometadata.h"
#include "thumbnail/thumbnailloader.h"

#include <QDir>
#include <QFileInfo>

#include <mutex>
#include <optional>
#include <sys/mman.h>
#include <unistd.h>

using Step = ConversionResult::Step;

namespace {

// The list preview of an encoded file, read back from memory as the file
// would be (the helper may not open the file it will become).
QImage readBack(const QByteArray &bytes, const QString &format, int side)
{
    const int fd = ::memfd_create("pictavo-preview", MFD_CLOEXEC);
    if (fd < 0)
        return QImage();
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n <= 0)
            break;
        done += n;
    }
    QImage preview;
    if (done == bytes.size()) {
        preview = ThumbnailLoader::fromDescriptor(fd, QStringLiteral("preview.") + format.toLower(),
                                                  side, nullptr, nullptr);
    }
    ::close(fd);
    return preview;
}

} // namespace

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
    encoded = QByteArray();
    encodedMapping.reset();
    preview = QImage();
    encodeFailure.clear();
    converted = image;
    handedIn = true;
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
    handedIn = false;
    sourceDates = FileDates::of(path);
    if (mode != ConvertMode::SizeConvert && mode != ConvertMode::BothConvert
        && mode != ConvertMode::FormatConvert)
        return fail(Step::Decode, tr("unknown conversion mode %1").arg(int(mode)), QString());

    // Open the source once: the pixels and the metadata both come from
    // this open, so a file replaced meanwhile cannot mix two photos.
    SourceFile source(path);
    if (!source.isOpen())
        return fail(Step::Open, source.errorString(), QString());
    sourceSize = source.device()->size();
    return convert(source.device()->handle(), QImage(), admit);
}

bool ConversionJob::convert(int source, const QImage &handed, const Admit &admit)
{
    encoded = QByteArray();
    encodedMapping.reset();
    preview = QImage();
    encodeFailure.clear();

    IsolatedRead::Request request;
    request.protocol.job = Protocol::Job::Convert;
    // A format name longer than any writer's has no writer: the helper
    // says so.
    request.protocol.format = targetFormat.left(Protocol::maxFormatBytes);
    request.protocol.removeLocation = removeLocation;
    request.protocol.previewSide = qBound(1, previewSide, Validator::maxThumbnailSide);
    request.protocol.quality = encoding.quality;
    request.protocol.lossless = encoding.lossless;
    request.protocol.threads = encoding.threads;
    request.protocol.wantPicture = pictureWanted;
    request.image = handed;
    request.admit = admit;
    request.abandoned = abandoned;
    request.reached = stepReached;
    request.mode = aspectRatioMode;
    request.scaling = scaling;
    if (handed.isNull() && mode != ConvertMode::FormatConvert) {
        request.scaled = true;
        request.targetFor = [this](const QSize &shown) {
            if (targetRule)
                size = targetRule(shown);
            else if (percent > 0)
                size = ConvertSettings::percentOf(shown, percent);
            return size;
        };
    }
    IsolatedRead::Result done = IsolatedRead::run(source, path, request);
    outcome.warnings << done.warnings;
    const QImage pixels = handed.isNull() ? done.image : handed;
    if (done.step == Step::Encode) {
        // The helper ended while it encoded: nothing to write, and no
        // pixels came back either.
        if (pixels.isNull())
            return fail(Step::Encode, done.reason, QString());
        encodeFailure = done.reason;
        converted = pixels;
        return true;
    }
    if ((pixels.isNull() && (pictureWanted || !handed.isNull())) || done.step != Step::NoStep)
        return fail(done.step == Step::NoStep ? Step::Decode : done.step,
                    done.reason.isEmpty() ? tr("cannot decode the image") : done.reason, QString());
    converted = pixels;
    encodeFailure = done.values.encodeFailure;
    outcome.warnings << done.values.encodeWarnings;
    encoded = done.bytes;
    encodedMapping = std::move(done.bytesMapping);
    preview = done.preview;
    if (encoded.isEmpty() && encodeFailure.isEmpty())
        encodeFailure = tr("no image to write");
    return true;
}

HelperAnswer ConversionJob::serve(HelperContext &context)
{
    const QString name = context.request.name;
    HelperAnswer answer;

    // Limits, admission, decoding at size, orientation and fitting; or
    // the pixels handed in.
    answer.values.step = quint8(Step::NoStep);
    std::optional<SourceReader> reader;
    QImage image = context.image;
    if (image.isNull()) {
        reader.emplace(context.source, name);
        image = IsolatedRead::decode(context, *reader, &answer);
        if (image.isNull())
            return answer;
        if (context.request.wantPicture)
            answer.image = image;
    }

    // Colour and flattening, encoding and the metadata, in memory: some
    // writers do not notice when the device takes only part of a write (a
    // full disk), but a short count on one write of the whole file cannot
    // go unseen. From here on a failure is the encoding's.
    context.tell(IsolatedRead::stepNote(Step::Encode, qint64(image.width()) * image.height(),
                                        IsolatedRead::encodeSecondsPerMegapixel));
    QString why;
    QStringList warnings;
    QByteArray bytes;
    try {
        bytes = encodeHere(context, reader ? &*reader : nullptr, image, &why, &warnings,
                           &answer.preview);
    } catch (const std::bad_alloc &) {
        // This image alone fails; the heap may be left in pieces.
        bytes = QByteArray();
        answer.preview = QImage();
        why = ImageLimits::outOfMemory();
        answer.values.retire = true;
    }
    if (bytes.isEmpty())
        answer.values.encodeFailure = why.isEmpty() ? tr("the image could not be encoded") : why;
    answer.values.encodeWarnings = warnings;
    answer.bytes = bytes;
    return answer;
}

QByteArray ConversionJob::encodeHere(HelperContext &context, SourceReader *reader,
                                     const QImage &image, QString *why, QStringList *warnings,
                                     QImage *preview)
{
    const Protocol::Request &params = context.request;
    const QString name = params.name;
    const QString format = params.format;
    if (!ImageEncoder::canWrite(format)) {
        *why = tr("no writer for %1 files: choose a target format").arg(format.toUpper());
        return QByteArray();
    }
    EncodeOptions options;
    options.quality = params.quality;
    options.lossless = params.lossless;
    options.threads = params.threads;
    options = options.bounded();

    // The metadata, from the open the pixels came from, and only when the
    // encoder will look at it.
    PhotoMetadata metadata;
    if (ImageEncoder::needsMetadata(image, format)) {
        if (reader) {
            metadata = PhotoMetadata::read(reader->source());
        } else if (context.source >= 0) {
            SourceFile source(context.source);
            metadata = PhotoMetadata::read(source);
        }
    }
    metadata.setLocationRemoved(params.removeLocation);
    const int side = qBound(1, params.previewSide, Validator::maxThumbnailSide);

    // A JPEG asked to become a JPEG XL without loss keeps its own coding
    // when nothing was done to its pixels.
    if (options.lossless && OutputFormat::of(format).writer == OutputFormat::Writer::JpegXl) {
        QString notLossless;
        const QByteArray recoded = LosslessJpeg::toJpegXl(reader, image, metadata, options,
                                                          &notLossless);
        if (!recoded.isEmpty()) {
            *preview = ThumbnailLoader::fromImage(image, side);
            return recoded;
        }
        if (!notLossless.isEmpty())
            *warnings << notLossless;
    }

    QImage written;
    const QByteArray bytes = ImageEncoder::encode(image, format, metadata, name, why, &written,
                                                  warnings, options);
    // The list preview shows what the file holds: the flattened,
    // converted pixels, or the file read back where the writer
    // changes them (an alpha kept only on or off).
    if (!bytes.isEmpty()) {
        *preview = OutputFormat::of(format).alpha != OutputFormat::Alpha::OnOff
                ? ThumbnailLoader::fromImage(written, side)
                : readBack(bytes, format, side);
    }
    return bytes;
}

ConversionResult ConversionJob::write(const Target &target)
{
    // The one place a failed allocation here is caught: anywhere in the
    // commit, it fails this image alone and the batch goes on.
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
    // The pixels went with the result; the job holds none once it is over.
    const QImage handed = handedIn ? converted : QImage();
    converted = QImage();
    if (outcome.step != Step::NoStep)
        return outcome;
    if (!handed.isNull()) {
        // An image converted elsewhere is encoded now, in a helper, with
        // the metadata of its source when that can be opened.
        handedIn = false;
        SourceFile source(path);
        if (source.isOpen())
            sourceSize = source.device()->size();
        const std::function<bool()> given = abandoned;
        if (target.cancelled && !abandoned)
            abandoned = [&target]() { return target.cancelled->load(); };
        convert(source.isOpen() ? source.device()->handle() : -1, handed, {});
        abandoned = given;
        converted = QImage();
        if (outcome.step != Step::NoStep)
            return outcome;
    }
    if (!encodeFailure.isEmpty()) {
        fail(Step::Encode, encodeFailure, QString());
        return outcome;
    }
    QByteArray bytes = encoded;
    std::shared_ptr<const void> mapping = std::move(encodedMapping);
    outcome.writtenBytes = bytes.size();
    outcome.sourceBytes = sourceSize;
    encoded = QByteArray();
    QString why;

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
    mapping.reset();
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

    outcome.outcome = ConversionResult::Written;
    outcome.preview = preview;
    preview = QImage();

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
