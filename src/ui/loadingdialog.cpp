#include "ui/loadingdialog.h"

#include <QFontDatabase>
#include <QFontMetrics>

LoadingDialog::LoadingDialog(int count, QWidget *parent)
    : QProgressDialog(tr("Loading images now..."), QString(), 0, count, parent)
{
    setWindowModality(Qt::WindowModal);
    setWindowTitle(tr("Loading images"));
    // Wide enough that the window manager need not shorten the title: its
    // text in the title font, and room for the frame's icon and buttons.
    const QFontMetrics title(QFontDatabase::systemFont(QFontDatabase::TitleFont));
    setMinimumWidth(qMax(sizeHint().width(),
                         title.horizontalAdvance(windowTitle()) + 8 * title.height()));
    setMinimumDuration(0);
    setAutoClose(true);
    setValue(0);

    throttle.setSingleShot(true);
    throttle.setInterval(100);
    connect(&throttle, &QTimer::timeout, this, [this]() {
        if (due)
            showLoaded(latest);
    });
}

void LoadingDialog::showLoaded(int count)
{
    latest = count;
    if (throttle.isActive()) {
        due = true;
        return;
    }
    due = false;
    if (!updating) {
        updating = true;
        setValue(latest);
        updating = false;
    }
    throttle.start();
}
