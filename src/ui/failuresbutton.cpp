#include "ui/failuresbutton.h"

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

void FailuresButton::setFailures(const QList<ImageFailure> &failures,
                                 const QList<QPair<QString, QStringList>> &warnings)
{
    shown = failures;
    shownWarnings = warnings;
    qsizetype warned = 0;
    for (const auto &image : warnings)
        warned += image.second.size();
    QStringList parts;
    if (!failures.isEmpty())
        parts << tr("%1 failed").arg(failures.size());
    if (warned == 1)
        parts << tr("1 warning");
    else if (warned > 1)
        parts << tr("%1 warnings").arg(warned);
    setText(parts.join(QStringLiteral(", ")));
    if (warned > 0) {
        setToolTip(tr("Show which images failed or were written without something of theirs, "
                      "and why"));
    } else {
        setToolTip(tr("Show which images failed, and why"));
    }
    setAccessibleDescription(toolTip());
    setVisible(!parts.isEmpty());
}

void FailuresButton::showDialog()
{
    FailuresDialog dialog(shown, shownWarnings, window());
    dialog.exec();
}
