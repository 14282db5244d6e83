#include "imagethread.h"

#include "convertsettings.h"
#include "imageloader.h"
#include "workerpriority.h"

#include <QDebug>
#include <QFileInfo>

ImageThread::ImageThread(QString path, QSize size)
    : targetSize(size), targetFormat(QFileInfo(path).suffix()), imagePath(path),
      convertMode(SizeConvert)
{
}

ImageThread::ImageThread(QString path, QString format)
    : targetFormat(format), imagePath(path), convertMode(FormatConvert)
{
}

ImageThread::ImageThread(QString path, QSize size, QString format)
    : targetSize(size), targetFormat(format), imagePath(path), convertMode(BothConvert)
{
}

ImageThread::~ImageThread()
{
    // Because we override run(), the object can be told to go while run()
    // still returns; the thread must have ended before its members go.
    wait();
}

void ImageThread::setAspectRatioMode(int mode)
{
    aspectRatioMode = mode;
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
    failureReason.clear();
    const auto mode = static_cast<Qt::AspectRatioMode>(aspectRatioMode);
    switch (convertMode) {
    case SizeConvert:
    case BothConvert:
        if (targetPercent > 0) {
            // One header read gives both the size to scale from and the
            // decoder's set-up.
            convertedImage = ImageLoader::readScaled(
                    imagePath,
                    [this](const QSize &shown) {
                        targetSize = ConvertSettings::percentOf(shown, targetPercent);
                        return targetSize;
                    },
                    mode, &failureReason);
        } else {
            convertedImage = ImageLoader::readScaled(imagePath, targetSize, mode, &failureReason);
        }
        break;
    case FormatConvert:
        sourceImage = ImageLoader::read(imagePath, &failureReason);
        convertedImage = sourceImage;
        break;
    default:
        convertedImage = QImage();
        failureReason = QStringLiteral("unknown conversion mode %1").arg(convertMode);
        break;
    }
    if (convertedImage.isNull()) {
        qDebug() << "image failed..." << imagePath << failureReason;
        if (failureReason.isEmpty())
            failureReason = QStringLiteral("cannot decode the image");
    }
    sourceImage = QImage();
    emit imageConvertFinished(convertedImage, imagePath, targetFormat);
    // The receiver holds its own copy; ours would only keep the pixels alive
    // until the object is deleted.
    convertedImage = QImage();
}
