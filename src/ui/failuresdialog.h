#ifndef FAILURESDIALOG_H
#define FAILURESDIALOG_H

#include "base/conversionresult.h"

#include <QDialog>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

class Ui_FailuresDialog;

// Lists the images a batch could not convert, and those written without
// something their source had (warnings): file name, folder, reason. Rows
// sort by any column; they start sorted by file name.
class FailuresDialog : public QDialog
{
    Q_OBJECT

public:
    // warnings: the sentences of each written image, by source path.
    explicit FailuresDialog(const QList<ImageFailure> &failures,
                            const QList<QPair<QString, QStringList>> &warnings = {},
                            QWidget *parent = nullptr);
    ~FailuresDialog() override;

private:
    Ui_FailuresDialog *ui;
};

#endif // FAILURESDIALOG_H
