#include "ui/settingssaver.h"
#include "ui_mainwindow.h"

#include <QEvent>
#include <QMainWindow>
#include <QSettings>

namespace {

// Long enough to gather the steps of a spin box held down or the moves of
// a drag into one write, short enough that a crash right after a change
// is unlikely to lose it.
constexpr int gatherMs = 200;

} // namespace

SettingsSaver::SettingsSaver(QMainWindow *window, Ui_MainWindow *ui,
                             std::function<QString()> lastOpenDir)
    : QObject(window), window(window), ui(ui), lastOpenDir(std::move(lastOpenDir))
{
    pending.setSingleShot(true);
    pending.setInterval(gatherMs);
    connect(&pending, &QTimer::timeout, this,
            [this]() { write(this->window, this->ui, this->lastOpenDir()); });
    const auto changes = [this]() { changed(); };
    connect(ui->spinBoxWidth, &QSpinBox::valueChanged, this, changes);
    connect(ui->spinBoxHeight, &QSpinBox::valueChanged, this, changes);
    connect(ui->checkBoxAutoOpenDir, &QCheckBox::toggled, this, changes);
    connect(ui->checkBoxKeepDates, &QCheckBox::toggled, this, changes);
    connect(ui->checkBoxRemoveLocation, &QCheckBox::toggled, this, changes);
    connect(ui->spinBoxQuality, &QSpinBox::valueChanged, this, changes);
    connect(ui->checkBoxLossless, &QCheckBox::toggled, this, changes);
    connect(ui->spinBoxEdge, &QSpinBox::valueChanged, this, changes);
    connect(ui->checkBoxNoEnlarge, &QCheckBox::toggled, this, changes);
    connect(ui->comboBoxScaling, &QComboBox::currentIndexChanged, this, changes);
    connect(ui->splitter, &QSplitter::splitterMoved, this, changes);
    connect(ui->splitter_2, &QSplitter::splitterMoved, this, changes);
    window->installEventFilter(this);
}

void SettingsSaver::changed()
{
    pending.start();
}

bool SettingsSaver::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == window
        && (event->type() == QEvent::Move || event->type() == QEvent::Resize
            || event->type() == QEvent::WindowStateChange))
        changed();
    return QObject::eventFilter(watched, event);
}

void SettingsSaver::write(QMainWindow *window, Ui_MainWindow *ui, const QString &lastOpenDir)
{
    QSettings settings(QStringLiteral("Tarnwick"), QStringLiteral("Pictavo"));
    settings.beginGroup(QStringLiteral("mainwindow"));
    settings.setValue(QStringLiteral("pos"), window->pos());
    settings.setValue(QStringLiteral("size"), window->size());
    settings.setValue(QStringLiteral("maximized"), window->isMaximized());
    settings.setValue(QStringLiteral("splitter"), ui->splitter->saveState());
    settings.setValue(QStringLiteral("splitter2"), ui->splitter_2->saveState());
    settings.setValue(QStringLiteral("lastopendir"), lastOpenDir);
    settings.setValue(QStringLiteral("width"), ui->spinBoxWidth->value());
    settings.setValue(QStringLiteral("height"), ui->spinBoxHeight->value());
    settings.setValue(QStringLiteral("autoopen"), ui->checkBoxAutoOpenDir->isChecked());
    settings.setValue(QStringLiteral("keepdates"), ui->checkBoxKeepDates->isChecked());
    settings.setValue(QStringLiteral("removelocation"), ui->checkBoxRemoveLocation->isChecked());
    settings.setValue(QStringLiteral("quality"), ui->spinBoxQuality->value());
    settings.setValue(QStringLiteral("lossless"), ui->checkBoxLossless->isChecked());
    settings.setValue(QStringLiteral("edge"), ui->spinBoxEdge->value());
    settings.setValue(QStringLiteral("noenlarge"), ui->checkBoxNoEnlarge->isChecked());
    settings.setValue(QStringLiteral("scaling"), ui->comboBoxScaling->currentIndex());
    settings.endGroup();
}
