#ifndef FAILURESBUTTON_H
#define FAILURESBUTTON_H

#include "ui/failuresdialog.h"

#include <QToolButton>

// The status bar's "N failed" button ("1 failed, 3 warnings", "3 warnings"
// when written images lack something): shown while there is something to
// tell of, it lists it in a FailuresDialog when clicked.
class FailuresButton : public QToolButton
{
    Q_OBJECT

public:
    explicit FailuresButton(QWidget *parent = nullptr);

    // Replaces what is told of; nothing hides the button.
    void setFailures(const QList<ImageFailure> &failures,
                     const QList<QPair<QString, QStringList>> &warnings = {});

private:
    void showDialog();

    QList<ImageFailure> shown;
    QList<QPair<QString, QStringList>> shownWarnings;
};

#endif // FAILURESBUTTON_H
