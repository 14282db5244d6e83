#ifndef CONVERSIONJOB_H
#define CONVERSIONJOB_H

#include "base/conversionresult.h"
#include "conversion/convertmode.h"
#include "encode/encodeoptions.h"
#include "decode/resampler.h"
#include "fs/filedates.h"
#include "isolation/helperserver.h"

#include <QCoreApplication>
#include <QHash>
#include <QImage>
#include <QMutex>
#include <QSize>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>

class SourceReader;
class TargetNamer;

// Which batch last put each output file in place, so that an earlier
// batch's late result never replaces a later one's. Shared by the jobs of
// every batch; the check and the rename happen under its lock.
struct CommitOrder
{
    QMutex lock;
    QHash<QString, int> committed; // by the name as the volume compares it
    // Files each order has put in place. Whoever sets a target's cancelled
    // flag under the lock knows from this how many of its files there are
    // and will be: no later one can be committed.
    QHash<int, int> written;
};

// The conversion of one photo, its steps in the order they happen:
//   read():  open the source once; in a helper process (serve()): limits
//            and memory admission -> decode at size (CMYK, damaged data)
//            -> orient -> fit -> colour and flattening -> encode ->
//            metadata, from the same open -> list preview;
//   write(): folder -> name -> commit -> dates.
// Everything that parses the user's file runs in the helper; this process
// opens the source, names, makes folders and commits. read() runs on a
// conversion worker, write() on a writing thread; run() does both on the
// calling thread. The job has no widgets and knows no window: its outcome
// is a ConversionResult.
class ConversionJob
{
    Q_DECLARE_TR_FUNCTIONS(ConversionJob)

public:
    // size: the size to scale to (size modes); percent > 0 instead scales
    // by a percentage of the image's own size, worked out from its header.
    ConversionJob(const QString &sourcePath, ConvertMode mode, const QSize &size, int percent,
                  const QString &format, Qt::AspectRatioMode aspectRatioMode);
    ~ConversionJob();

    // Where the result goes; given to write().
    struct Target
    {
        explicit Target(const QString &folder = QString()) : directory(folder) {}

        QString directory;
        // The folder below directory the file goes to ("a/b"), made when
        // missing, one level at a time; empty: directory itself.
        QString subfolder;
        // Names the file; null: a namer of the job's own, which protects
        // only the source.
        std::shared_ptr<TargetNamer> namer;
        // Commit order across batches: a result whose name a later order
        // has written is Superseded. No commitOrder: none is kept.
        CommitOrder *commitOrder = nullptr;
        int order = 0;
        // Set: the result is dropped before its file is put in place.
        const std::atomic<bool> *cancelled = nullptr;
        // The file gets the source's modification and access times once it
        // is in place; a volume that will not take them leaves a warning.
        bool keepDates = false;
    };

    // Told the bytes the decode will take once the header has been read;
    // may wait. False fails the read (Admit).
    using Admit = std::function<bool(qint64 bytes)>;

    // How the result is encoded besides its format, set before read():
    // the photo's position and place names left out of its metadata; the
    // pixels on the longer side of the list preview.
    void setRemoveLocation(bool removed) { removeLocation = removed; }
    void setPreviewSide(int pixels) { previewSide = qMax(1, pixels); }
    // Whether read() brings the converted picture back (image()) besides
    // the encoded file and its preview.
    void setPictureWanted(bool wanted) { pictureWanted = wanted; }
    // The quality, the lossless choice and the encoder's threads.
    void setEncoding(const EncodeOptions &options) { encoding = options; }
    // How the picture is scaled to its size, and the size worked out from
    // the size it appears at (instead of the size or percent given).
    void setScaling(Scaling chosen) { scaling = chosen; }
    void setTargetRule(std::function<QSize(const QSize &shown)> rule) { targetRule = std::move(rule); }

    // Reads and encodes the source; false when the reading failed, and
    // result() says why (an encoding failure shows in write()). The file is
    // opened here and read in a helper process (serve()).
    bool read(const Admit &admit = {});
    // Asked while the source is being decoded: true gives the read up at
    // once (the helper is ended) and fails it as stopped.
    void setAbandoned(std::function<bool()> asked) { abandoned = std::move(asked); }
    // Told each step the helper reaches after decoding (Encode).
    void setStepReached(std::function<void(ConversionResult::Step)> told)
    {
        stepReached = std::move(told);
    }
    // Writes what read() made; the outcome, also kept in result().
    ConversionResult write(const Target &target);
    // Instead of read(): an image converted elsewhere, to be written as
    // if read from the source (write() has it encoded in a helper, with
    // the source's metadata).
    void setImage(const QImage &image);
    // Both, on the calling thread; for tests and benchmarks.
    ConversionResult run(const Target &target);

    const QString &sourcePath() const { return path; }
    const QString &format() const { return targetFormat; }
    // The converted image; null before read() and after a failed one.
    QImage image() const { return converted; }
    // The size scaled to, once read() has worked it out.
    QSize targetSize() const { return size; }
    const ConversionResult &result() const { return outcome; }
    // The source's bytes, once read() has opened it.
    qint64 sourceBytes() const { return sourceSize; }

    // The helper's side: the steps of read() after the open, over the
    // source descriptor (or the pixels handed in). Registered by the
    // helper program; run in this process when no helper can be started.
    static HelperAnswer serve(HelperContext &context);

    // Bytes the admission took, to be given back once the result has been
    // written or dropped.
    qint64 reservedBytes() const { return reserved; }
    void setReservedBytes(qint64 bytes) { reserved = bytes; }

private:
    // serve()'s steps after the decode: the metadata, the encoding (or the
    // JPEG recoded as it is) and the list preview.
    static QByteArray encodeHere(HelperContext &context, SourceReader *reader, const QImage &image,
                                 QString *why, QStringList *warnings, QImage *preview);
    ConversionResult writeFile(const Target &target);
    bool fail(ConversionResult::Step step, const QString &reason, const QString &detail);
    // The helper request of read() and of an image handed in.
    bool convert(int source, const QImage &handed, const Admit &admit);

    QString path;
    ConvertMode mode;
    QSize size;
    int percent;
    QString targetFormat;
    Qt::AspectRatioMode aspectRatioMode;
    Scaling scaling = Scaling::Fast;
    std::function<QSize(const QSize &shown)> targetRule;
    bool removeLocation = false;
    int previewSide = 128;
    bool pictureWanted = true;
    EncodeOptions encoding;

    // The pixels, for whoever shows them (ImageThread's signal); the file's
    // bytes (mapped from the helper while encodedMapping lives) and its list
    // preview, for write(); or why the encoding failed.
    QImage converted;
    bool handedIn = false;
    QByteArray encoded;
    std::shared_ptr<const void> encodedMapping;
    QImage preview;
    QString encodeFailure;
    // Read before the source is, whose reading may change its access time.
    FileDates sourceDates;
    ConversionResult outcome;
    qint64 reserved = 0;
    qint64 sourceSize = 0;
    std::function<bool()> abandoned;
    std::function<void(ConversionResult::Step)> stepReached;
};

#endif // CONVERSIONJOB_H
