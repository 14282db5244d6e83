#include "failuresbutton.h"

FailuresButton::FailuresButton(QWidget *parent)
    : QToolButton(parent)
{
    setObjectName(QStringLiteral("toolButtonFailures"));
    setToolTip(tr("Show which images failed, and why"));
    setAccessibleName(tr("Failed images"));
    setAccessibleDescription(tr("Show which images failed, and why"));
    setAutoRaise(true);
    hide();
    connect(this, &QToolButton::clicked, this, &FailuresButton::showDialog);
}

void FailuresButton::setFailures(const QList<ImageFailure> &failures)
{
    shown = failures;
    setText(tr("%1 failed").arg(failures.size()));
    setVisible(!failures.isEmpty());
}

void FailuresButton::showDialog()
{
    FailuresDialog dialog(shown, window());
    dialog.exec();
}
