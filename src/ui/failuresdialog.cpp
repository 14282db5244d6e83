#include "ui/failuresdialog.h"
#include "ui_failuresdialog.h"

#include <QDir>
#include <QFileInfo>
#include <QStyle>

namespace {

QTreeWidgetItem *rowFor(const QString &path, const QString &reason)
{
    const QFileInfo file(path);
    return new QTreeWidgetItem(
            QStringList{file.fileName(), QDir::toNativeSeparators(file.absolutePath()), reason});
}

} // namespace

FailuresDialog::FailuresDialog(const QList<ImageFailure> &failures,
                               const QList<QPair<QString, QStringList>> &warnings,
                               QWidget *parent)
    : QDialog(parent), ui(new Ui_FailuresDialog)
{
    ui->setupUi(this);
    QList<QTreeWidgetItem *> rows;
    for (const ImageFailure &failure : failures)
        rows << rowFor(failure.path, failure.reason);
    // A written image's row says so, so that it cannot be taken for a
    // failure when the rows are sorted together.
    const QIcon warningIcon = style()->standardIcon(QStyle::SP_MessageBoxWarning);
    for (const auto &[path, sentences] : warnings) {
        for (const QString &sentence : sentences) {
            QTreeWidgetItem *row = rowFor(path, tr("written, but %1").arg(sentence));
            row->setIcon(2, warningIcon);
            rows << row;
        }
    }
    if (failures.isEmpty() && !warnings.isEmpty()) {
        setWindowTitle(tr("Warnings"));
        ui->labelSummary->setText(tr("These images were converted, but their new files lack "
                                     "what is said here."));
    } else if (!warnings.isEmpty()) {
        ui->labelSummary->setText(tr("Failed images were not converted; nothing was written "
                                     "for them. The others were written, but lack what is "
                                     "said here."));
    }
    ui->treeWidgetFailures->addTopLevelItems(rows);
    ui->treeWidgetFailures->sortByColumn(0, Qt::AscendingOrder);
    for (int column = 0; column < 2; ++column)
        ui->treeWidgetFailures->resizeColumnToContents(column);
}

FailuresDialog::~FailuresDialog()
{
    delete ui;
}
