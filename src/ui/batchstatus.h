#ifndef BATCHSTATUS_H
#define BATCHSTATUS_H

#include "conversion/convertmode.h"

#include <QWidget>

class QProgressBar;
class QToolButton;

// The status bar's view of the batches under way: how many images are
// done, about how long the rest will take, and the button that stops them
// (Esc does the same while the window is active). Shown only while a batch
// runs.
class BatchStatus : public QWidget
{
    Q_OBJECT

public:
    explicit BatchStatus(QWidget *parent = nullptr);

    // done of total images after elapsedMs; a total of 0 means that no
    // batch runs, and hides it.
    void showProgress(int done, int total, qint64 elapsedMs);
    // A batch was started: Stop stops it, even if earlier ones are still
    // stopping.
    void batchStarted();

    // What the status bar says of a batch that was stopped.
    static QString stoppedText(ConvertMode convertMode, int converted, int total);
    // What a finished batch adds to its text: the bytes of the written
    // files' sources and of the files (", 512 MB → 143 MB").
    static QString savedText(qint64 before, qint64 after);

signals:
    void stopRequested();

private:
    void requestStop();

    QProgressBar *bar;
    QToolButton *stopButton;
};

#endif // BATCHSTATUS_H
