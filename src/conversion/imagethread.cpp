#include "conversion/imagethread.h"

#include "conversion/conversionjob.h"
#include "conversion/convertsettings.h"
#include "conversion/memorybudget.h"
#include "base/workerpriority.h"

#include <QDebug>
#include <QFileInfo>

ImageThread::ImageThread(QString path, QSize size)
    : targetSize(size), targetFormat(QFileInfo(path).suffix()), imagePath(path),
      convertMode(ConvertMode::SizeConvert)
{
}

ImageThread::ImageThread(QString path, QString format)
    : targetFormat(format), imagePath(path), convertMode(ConvertMode::FormatConvert)
{
}

ImageThread::ImageThread(QString path, QSize size, QString format)
    : targetSize(size), targetFormat(format), imagePath(path), convertMode(ConvertMode::BothConvert)
{
}

ImageThread::~ImageThread()
{
    // Because we override run(), the object can be told to go while run()
    // still returns; the thread must have ended before its members go.
    wait();
}

ImageThread *ImageThread::create(ConvertMode convertMode, const ConvertSettings &settings,
                                 const QString &path)
{
    // A percentage, an edge, or a box a picture may not outgrow needs the
    // image's size: worked out in run(), from the header the job reads.
    const bool percent = settings.sizeMode == SizeMode::Percent;
    const bool fromImage = settings.sizeMode != SizeMode::Fixed || settings.noEnlarge;
    const QSize size = fromImage ? QSize() : settings.targetSize(path);
    ImageThread *thread = nullptr;
    if (convertMode == ConvertMode::SizeConvert) {
        qDebug() << "size convert:" << path;
        thread = new ImageThread(path, size);
    } else if (convertMode == ConvertMode::FormatConvert) {
        thread = new ImageThread(path, settings.targetFormat(path));
    } else {
        thread = new ImageThread(path, size, settings.targetFormat(path));
    }
    if (convertMode != ConvertMode::FormatConvert) {
        if (percent)
            thread->setTargetPercent(settings.percent);
        if (fromImage)
            thread->setTargetRule([settings](const QSize &shown) { return settings.targetFor(shown); });
        thread->setScaling(settings.scaling);
    }
    thread->setAspectRatioMode(settings.aspectRatioMode());
    thread->setRemoveLocation(settings.removeLocation);
    thread->setEncoding(settings.encoding);
    return thread;
}

void ImageThread::setAspectRatioMode(int mode)
{
    aspectRatioMode = mode;
}

void ImageThread::setMemoryBudget(MemoryBudget *budget)
{
    memoryBudget = budget;
}

void ImageThread::setTargetPercent(int percent)
{
    targetPercent = percent;
}

void ImageThread::run()
{
    WorkerPriority::lowerCurrentThread();
    // The source is decoded here, on the worker, so that a batch holds no
    // more decoded images than it has running workers.
    auto job = std::make_shared<ConversionJob>(
            imagePath, convertMode, targetSize,
            convertMode == ConvertMode::FormatConvert ? 0 : targetPercent, targetFormat,
            static_cast<Qt::AspectRatioMode>(aspectRatioMode));
    job->setRemoveLocation(removeLocation);
    job->setEncoding(encoding);
    job->setScaling(scaling);
    job->setTargetRule(targetRule);
    job->setPreviewSide(previewSide);
    job->setPictureWanted(pictureWanted);
    job->setAbandoned([this]() {
        return (stopFlag && stopFlag->load()) || (quitFlag && quitFlag->load());
    });
    // Refused only once the batch is stopped or the program quits: the
    // runner drops what comes back then.
    const qint64 turn = helperTurns ? helperTurns->acquire(1, stopFlag.get()) : 0;
    if (turn >= 0)
        readSource(*job);
    if (helperTurns)
        helperTurns->release(turn);
    targetSize = job->targetSize();
    convertedImage = job->image();
    if (job->result().step != ConversionResult::NoStep)
        qDebug() << "image failed..." << imagePath << job->result().detail;
    conversion = job;
    emit imageConvertFinished(convertedImage, imagePath, targetFormat);
    // The receiver holds its own copy; ours would only keep the pixels alive
    // until the object is deleted.
    convertedImage = QImage();
}

void ImageThread::readSource(ConversionJob &job)
{
    job.read([this, &job](qint64 bytes) {
        if (stopFlag && stopFlag->load())
            return false;
        if (!memoryBudget)
            return true;
        // One reservation a conversion: a second would leave the first
        // taken for good, or wait on itself.
        if (job.reservedBytes() > 0)
            return false;
        const qint64 taken = memoryBudget->acquire(bytes, stopFlag.get());
        job.setReservedBytes(qMax<qint64>(taken, 0));
        return taken >= 0;
    });
}
