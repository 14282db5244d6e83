#ifndef IMAGETHREAD_H
#define IMAGETHREAD_H

#include <QImage>
#include <QSize>
#include <QString>
#include <QThread>

class MemoryBudget;
struct ConvertSettings;

// The conversion of one source image. It gets everything it needs before
// start(); run() decodes the source, scales it when the job asks for a new
// size, and hands the result on with imageConvertFinished(). Writing the
// file is the receiver's business.
class ImageThread : public QThread
{
    Q_OBJECT

public:
    enum ConvertMode { SizeConvert = 0, FormatConvert = 1, BothConvert = 2 };

    ImageThread(QString path, QSize size);
    ImageThread(QString path, QString format);
    ImageThread(QString path, QSize size, QString format);
    ~ImageThread() override;

    // The job that convertMode asks of path under these settings. A
    // percentage needs the image's size: the job reads it itself, on its
    // own thread (a header can hold megabytes of metadata).
    static ImageThread *create(int convertMode, const ConvertSettings &settings,
                               const QString &path);

    void setAspectRatioMode(int mode);

    // Scale by a percentage of the image's own size instead of to a given
    // size. The size is then worked out in run(), so that the header is
    // read on the worker rather than on the thread that makes the job.
    void setTargetPercent(int percent);

    // The budget the decoded images of a batch share; run() waits for its
    // share before decoding. None: no waiting.
    void setMemoryBudget(MemoryBudget *budget);
    // The bytes taken from the budget, to be given back once the result
    // has been written or dropped; valid after imageConvertFinished().
    qint64 reservedBytes() const { return reserved; }

    // Why the last run() produced a null image; empty after success.
    QString errorString() const { return failureReason; }

signals:
    void imageConvertFinished(QImage, QString, QString);

protected:
    void run() override;

private:
    QImage sourceImage;
    QImage convertedImage;
    QSize targetSize;
    QString targetFormat;
    QString imagePath;
    int convertMode = SizeConvert;
    // Exact sizes by default: a percentage already keeps the proportions.
    int aspectRatioMode = Qt::IgnoreAspectRatio;
    int targetPercent = 0; // 0: use targetSize as given
    QString failureReason;
    MemoryBudget *memoryBudget = nullptr;
    qint64 reserved = 0;
};

#endif // IMAGETHREAD_H
