#ifndef FAILURESDIALOG_H
#define FAILURESDIALOG_H

#include "conversionresult.h"

#include <QDialog>
#include <QList>
#include <QString>

class Ui_FailuresDialog;

// Lists the images a batch could not convert: file name, folder, reason.
// Rows sort by any column; they start sorted by file name.
class FailuresDialog : public QDialog
{
    Q_OBJECT

public:
    explicit FailuresDialog(const QList<ImageFailure> &failures, QWidget *parent = nullptr);
    ~FailuresDialog() override;

private:
    Ui_FailuresDialog *ui;
};

#endif // FAILURESDIALOG_H
