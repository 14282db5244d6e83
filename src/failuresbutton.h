#ifndef FAILURESBUTTON_H
#define FAILURESBUTTON_H

#include "failuresdialog.h"

#include <QToolButton>

// The status bar's "N failed" button: shown while there are failures to
// tell of, it lists them in a FailuresDialog when clicked.
class FailuresButton : public QToolButton
{
    Q_OBJECT

public:
    explicit FailuresButton(QWidget *parent = nullptr);

    // Replaces the failures told of; none hides the button.
    void setFailures(const QList<ImageFailure> &failures);

private:
    void showDialog();

    QList<ImageFailure> shown;
};

#endif // FAILURESBUTTON_H
