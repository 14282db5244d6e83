#include "ui/accessiblenames.h"
#include "ui_mainwindow.h"

#include <QAction>
#include <QCoreApplication>
#include <QMenu>
#include <QToolBar>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("MainWindow", text);
}

void set(QWidget *widget, const QString &name, const QString &description)
{
    widget->setAccessibleName(name);
    widget->setAccessibleDescription(description);
}

} // namespace

void AccessibleNames::describe(Ui_MainWindow *ui)
{
    set(ui->listWidgetOriginal, tr("Original images list"),
        tr("The images to convert. Delete removes the selected ones."));
    set(ui->listWidgetConvert, tr("Converted images list"),
        tr("The images the last conversion wrote."));
    set(ui->toolButtonSaveDir, tr("Choose save folder"), tr("Select a directory to save images"));
    set(ui->lineEditSaveDir, tr("Save folder"), tr("Where converted images are written"));
    set(ui->horizontalSliderPercent, tr("Percent"), tr("Target size as a percentage"));
    set(ui->spinBoxPercent, tr("Percent"), tr("Target size as a percentage"));
    set(ui->spinBoxWidth, tr("Width"), tr("Target width in pixels"));
    set(ui->spinBoxHeight, tr("Height"), tr("Target height in pixels"));
    set(ui->comboBoxSizeSettingMode, tr("Target image size"), QString());
    set(ui->spinBoxEdge, tr("Edge"), tr("The long or short side of every result, in pixels"));
    set(ui->comboBoxScaling, tr("Scaling"), QString());
    set(ui->comboBoxFormat, tr("Target image format"), QString());
    set(ui->horizontalSliderQuality, tr("Quality"), tr("Quality of lossy formats, 1 to 100"));
    set(ui->spinBoxQuality, tr("Quality"), tr("Quality of lossy formats, 1 to 100"));
}

void AccessibleNames::describe(QToolBar *toolBar)
{
    // Each button is named by its text; its tool tip, without the
    // shortcut's line, says what it does.
    const QList<QAction *> actions = toolBar->actions();
    for (QAction *action : actions) {
        QWidget *button = toolBar->widgetForAction(action);
        if (!button || action->isSeparator())
            continue;
        button->setAccessibleName(action->text());
        QString description = action->toolTip().section(QLatin1Char('\n'), 0, 0);
        if (action->menu())
            description = tr("Size, format, or size and format conversion");
        button->setAccessibleDescription(description);
    }
}
