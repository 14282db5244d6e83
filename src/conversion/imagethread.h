#ifndef IMAGETHREAD_H
#define IMAGETHREAD_H

#include "conversion/convertmode.h"
#include "encode/encodeoptions.h"
#include "decode/resampler.h"

#include <QImage>
#include <QSize>
#include <QString>
#include <QThread>

#include <atomic>
#include <functional>
#include <memory>

class ConversionJob;
class MemoryBudget;
struct ConvertSettings;

// The conversion of one source image on a thread of its own. It gets
// everything it needs before start(); run() reads the source through a
// ConversionJob (decoded, turned upright, scaled when the job asks for a
// new size, and encoded) and hands the pixels on with
// imageConvertFinished(). Writing the file is the receiver's business: it
// takes the job and writes it.
class ImageThread : public QThread
{
    Q_OBJECT

public:
    ImageThread(QString path, QSize size);
    ImageThread(QString path, QString format);
    ImageThread(QString path, QSize size, QString format);
    ~ImageThread() override;

    // The job that convertMode asks of path under these settings. A
    // percentage needs the image's size: the job reads it itself, on its
    // own thread (a header can hold megabytes of metadata).
    static ImageThread *create(ConvertMode convertMode, const ConvertSettings &settings,
                               const QString &path);

    void setAspectRatioMode(int mode);

    // Scale by a percentage of the image's own size instead of to a given
    // size. The size is then worked out in run(), so that the header is
    // read on the worker rather than on the thread that makes the job.
    void setTargetPercent(int percent);

    // The size worked out in run() from the size the image appears at
    // (ConvertSettings::targetFor), over the size or percentage given; and
    // how the picture is scaled to it.
    void setTargetRule(std::function<QSize(const QSize &shown)> rule) { targetRule = std::move(rule); }
    void setScaling(Scaling chosen) { scaling = chosen; }

    // How the result is encoded besides its format (ConversionJob): the
    // photo's position and place names left out; the list preview's side.
    void setRemoveLocation(bool removed) { removeLocation = removed; }
    void setPreviewSide(int pixels) { previewSide = pixels; }
    // Whether the signal carries the converted picture; without it only
    // the file and its preview come back from the helper.
    void setPictureWanted(bool wanted) { pictureWanted = wanted; }
    void setEncoding(const EncodeOptions &options) { encoding = options; }

    // The budget the decoded images of a batch share; run() waits for its
    // share before decoding. None: no waiting.
    void setMemoryBudget(MemoryBudget *budget);
    // Turns in the helpers that the workers of all batches share: run()
    // holds one while its source is read, converted and encoded.
    void setHelperTurns(MemoryBudget *turns) { helperTurns = turns; }

    // Set: the batch was stopped, so run() neither waits for memory nor
    // decodes; the source goes back unread.
    void setStopFlag(std::shared_ptr<const std::atomic<bool>> flag) { stopFlag = std::move(flag); }
    // Set: the program is closing; a source being decoded is given up at
    // once (its helper is ended), as for a stop.
    void setQuitFlag(std::shared_ptr<const std::atomic<bool>> flag) { quitFlag = std::move(flag); }

    // The job run() read, with its outcome so far and the bytes it took
    // from the budget; valid after imageConvertFinished(), on the thread
    // that receives it. Null before.
    std::shared_ptr<ConversionJob> job() const { return conversion; }

signals:
    void imageConvertFinished(QImage, QString, QString);

protected:
    void run() override;

private:
    void readSource(ConversionJob &job);

    QImage sourceImage;
    QImage convertedImage;
    QSize targetSize;
    QString targetFormat;
    QString imagePath;
    ConvertMode convertMode = ConvertMode::SizeConvert;
    // Exact sizes by default: a percentage already keeps the proportions.
    int aspectRatioMode = Qt::IgnoreAspectRatio;
    int targetPercent = 0; // 0: use targetSize as given
    std::function<QSize(const QSize &shown)> targetRule;
    Scaling scaling = Scaling::Fast;
    bool removeLocation = false;
    int previewSide = 128;
    bool pictureWanted = true;
    EncodeOptions encoding;
    MemoryBudget *memoryBudget = nullptr;
    MemoryBudget *helperTurns = nullptr;
    std::shared_ptr<const std::atomic<bool>> stopFlag;
    std::shared_ptr<const std::atomic<bool>> quitFlag;
    std::shared_ptr<ConversionJob> conversion;
};

#endif // IMAGETHREAD_H
