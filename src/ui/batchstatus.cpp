#include "ui/batchstatus.h"

#include "conversion/imagethread.h"
#include "base/timeleft.h"

#include <QHBoxLayout>
#include <QLocale>
#include <QProgressBar>
#include <QShortcut>
#include <QStyle>
#include <QToolButton>

BatchStatus::BatchStatus(QWidget *parent)
    : QWidget(parent), bar(new QProgressBar(this)), stopButton(new QToolButton(this))
{
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(2);

    // Room for "1234 of 5678, about 1 h 10 min left".
    bar->setMinimumWidth(fontMetrics().horizontalAdvance(tr("%1 of %2, %3")
                                                                 .arg(8888)
                                                                 .arg(8888)
                                                                 .arg(TimeLeft::text(4200)))
                         + 24);
    bar->setFormat(tr("%v of %m"));
    layout->addWidget(bar);

    stopButton->setObjectName(QStringLiteral("toolButtonStopBatch"));
    stopButton->setIcon(style()->standardIcon(QStyle::SP_BrowserStop));
    stopButton->setAutoRaise(true);
    stopButton->setToolTip(tr("Stop converting"));
    stopButton->setAccessibleName(tr("Stop converting"));
    stopButton->setAccessibleDescription(
            tr("No further image is started; those being written are finished"));
    layout->addWidget(stopButton);
    connect(stopButton, &QToolButton::clicked, this, &BatchStatus::requestStop);

    // Esc anywhere in the window, but only while the button is there to
    // press: a hidden widget's shortcut does not fire, so Esc then goes to
    // whoever else wants it. A dialog or an open menu is a window of its
    // own and keeps its Esc.
    auto *escape = new QShortcut(QKeySequence(Qt::Key_Escape), stopButton);
    escape->setContext(Qt::WindowShortcut);
    connect(escape, &QShortcut::activated, this, &BatchStatus::requestStop);

    hide();
}

void BatchStatus::showProgress(int done, int total, qint64 elapsedMs)
{
    if (total == 0) {
        hide();
        return;
    }
    if (isHidden()) {
        // A new run of batches: the button stops again.
        stopButton->setEnabled(true);
        show();
    }
    bar->setRange(0, total);
    bar->setValue(done);
    const QString left = TimeLeft::estimate(done, total, elapsedMs);
    bar->setFormat(left.isEmpty() ? tr("%v of %m") : tr("%v of %m, %1").arg(left));
}

void BatchStatus::batchStarted()
{
    stopButton->setEnabled(true);
}

QString BatchStatus::stoppedText(ConvertMode convertMode, int converted, int total)
{
    // Whole sentences, so that a translation can order them as it needs.
    QString text;
    switch (convertMode) {
    case ConvertMode::SizeConvert:
        text = tr("Size convert stopped: %1 of %2 images converted");
        break;
    case ConvertMode::FormatConvert:
        text = tr("Format convert stopped: %1 of %2 images converted");
        break;
    default:
        text = tr("Size and format convert stopped: %1 of %2 images converted");
        break;
    }
    return text.arg(converted).arg(total);
}

QString BatchStatus::savedText(qint64 before, qint64 after)
{
    // Whole units from 100 up, one decimal below: "143 MB", "2.4 MB".
    const auto size = [](qint64 bytes) {
        double scaled = double(qMax<qint64>(bytes, 0));
        while (scaled >= 1024)
            scaled /= 1024;
        const int decimals = scaled >= 100 ? 0 : 1;
        return QLocale().formattedDataSize(bytes, decimals, QLocale::DataSizeTraditionalFormat);
    };
    return tr(", %1 → %2").arg(size(before), size(after));
}

void BatchStatus::requestStop()
{
    if (!stopButton->isEnabled())
        return;
    // The batches end as soon as what is being written is in place; until
    // then there is nothing more to stop.
    stopButton->setEnabled(false);
    emit stopRequested();
}
