#include "failuresdialog.h"
#include "ui_failuresdialog.h"

#include <QDir>
#include <QFileInfo>

FailuresDialog::FailuresDialog(const QList<ImageFailure> &failures, QWidget *parent)
    : QDialog(parent), ui(new Ui_FailuresDialog)
{
    ui->setupUi(this);
    QList<QTreeWidgetItem *> rows;
    for (const ImageFailure &failure : failures) {
        const QFileInfo file(failure.path);
        rows << new QTreeWidgetItem(
                QStringList{file.fileName(), QDir::toNativeSeparators(file.absolutePath()),
                            failure.reason});
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
