#include "ui/mainwindow.h"
#include "ui_mainwindow.h"

#include "ui/accessiblenames.h"
#include "conversion/batchrunner.h"
#include "ui/batchstatus.h"
#include "ui/convertchords.h"
#include "conversion/convertsettings.h"
#include "ui/dialogabout.h"
#include "ui/dropopener.h"
#include "ui/failuresbutton.h"
#include "ui/filedialogtuner.h"
#include "sources/sourcetree.h"
#include "ui/framefitter.h"
#include "conversion/imagethread.h"
#include "isolation/helperpool.h"
#include "ui/settingssaver.h"
#include "ui/sourcelisting.h"
#include "ui/thumbnaillist.h"
#include "thumbnail/thumbnailloader.h"

#include <QCloseEvent>
#include <QDebug>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMenu>
#include <QMessageBox>
#include <QSettings>
#include <QShortcut>
#include <QUrl>

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent), ui(new Ui_MainWindow)
{
    Q_INIT_RESOURCE(pictavo);

    // Made before the form is set up, which connects it to its slot by name.
    quitAction = new QAction(this);
    quitAction->setObjectName(QStringLiteral("quitAction"));
    ui->setupUi(this);
    // Room the window gains goes to the lists; the tabs keep their height.
    ui->splitter_2->setStretchFactor(0, 1);
    ui->splitter->setStretchFactor(0, 1);
    ui->splitter->setStretchFactor(1, 1);
    frameFitter = new FrameFitter(this);
    readSettings();
    ui->frameDpi->hide();
    ui->frameEdge->hide();
    createActions();
    settingsSaver = new SettingsSaver(this, ui, [this]() { return lastOpenDir; });
    // The quality and the lossless box say something only of some formats.
    const auto showQuality = [this]() {
        const TargetFormat format = TargetFormat::ofItem(ui->comboBoxFormat->currentIndex());
        const bool quality = format.takesQuality(ui->checkBoxLossless->isChecked());
        ui->horizontalSliderQuality->setEnabled(quality);
        ui->spinBoxQuality->setEnabled(quality);
        ui->labelQuality->setEnabled(quality);
        ui->checkBoxLossless->setEnabled(format.takesLossless());
    };
    connect(ui->comboBoxFormat, &QComboBox::currentIndexChanged, this, showQuality);
    connect(ui->checkBoxLossless, &QCheckBox::toggled, this, showQuality);
    showQuality();

    thumbnailLoader = new ThumbnailLoader(this);
    convertedRows = new ThumbnailList(ui->listWidgetConvert, thumbnailLoader);
    batchRunner = new BatchRunner(this);
    // The runner makes, connects and deletes the workers; the window hears
    // of each result, and of each file written, from the runner.
    connect(batchRunner, &BatchRunner::imageConvertFinished, this,
            &MainWindow::saveConvertImagToDir);
    connect(batchRunner, &BatchRunner::rowWritten, this,
            [this](const QString &fileName, const QImage &preview) {
                writtenPreview = {fileName, preview};
                addConvertImageToList(fileName);
                writtenPreview = {};
                qDebug() << "save img finished:" << fileName;
            });
    connect(batchRunner, &BatchRunner::batchFinished, this, &MainWindow::batchFinished);

    batchStatus = new BatchStatus(this);
    ui->statusBar->addPermanentWidget(batchStatus);
    connect(batchRunner, &BatchRunner::progressChanged, batchStatus, &BatchStatus::showProgress);
    connect(batchStatus, &BatchStatus::stopRequested, batchRunner, &BatchRunner::stop);

    failuresButton = new FailuresButton(this);
    ui->statusBar->addPermanentWidget(failuresButton);

    // The source list opens, and thins, in step with imageFiles; batches
    // under way keep off the files it lists.
    sourceListing = new SourceListing(this, ui->listWidgetOriginal, thumbnailLoader, imageFiles);
    connect(sourceListing, &SourceListing::replacing, this, &MainWindow::startList);
    connect(sourceListing, &SourceListing::adding, batchRunner, &BatchRunner::protectSources);
    connect(sourceListing, &SourceListing::reported, this,
            [this](const QString &text) { ui->statusBar->showMessage(text, 0); });
    connect(new DropOpener(this), &DropOpener::dropped, this, &MainWindow::openImages);
    // Qt's own file dialog, where it is the one used, made cheap for
    // folders of thousands of photos.
    new FileDialogTuner(this);
    new ConvertChords(this, {sizeConvertAction, formatConvertAction, bothConvertAction});
    AccessibleNames::describe(ui);
    AccessibleNames::describe(ui->mainToolBar);
}

MainWindow::~MainWindow()
{
    // Waiting workers are dropped; running ones, and writes under way, end
    // before anything they report to goes away.
    batchRunner->shutdown();
    thumbnailLoader->cancelPending();
    thumbnailLoader->waitForDone();
    delete ui;
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    writeSettings();
    event->accept();
}

void MainWindow::on_quitAction_triggered()
{
    close();
}

void MainWindow::on_toolButtonSaveDir_clicked()
{
    QString dir = QFileDialog::getExistingDirectory(
            this, tr("Select Save Directory"), QDir::currentPath(),
            QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks);
    if (dir.isEmpty())
        return;
    if (!dir.endsWith(QLatin1Char('/')))
        dir += QLatin1Char('/');
    ui->lineEditSaveDir->setText(dir);
}

void MainWindow::on_comboBoxSizeSettingMode_currentIndexChanged(int index)
{
    if (index == 0) {
        ui->framePercent->show();
        ui->frameDpi->hide();
        ui->frameEdge->hide();
    } else if (index == 1) {
        ui->frameDpi->show();
        ui->framePercent->hide();
        ui->frameEdge->hide();
    } else if (index == 2 || index == 3) {
        // Long edge and short edge share one value.
        ui->frameEdge->show();
        ui->framePercent->hide();
        ui->frameDpi->hide();
    }
}

void MainWindow::addImages()
{
    const QStringList files = QFileDialog::getOpenFileNames(this, tr("Open images"), lastOpenDir,
                                                            FileDialogTuner::openFilters());
    if (!files.isEmpty())
        sourceListing->openChosen(files);
}

void MainWindow::openImages(const QStringList &paths)
{
    // The save folder of the moment holds results, not photos to convert.
    sourceListing->open(paths, ui->lineEditSaveDir->text());
}

void MainWindow::startList(const SourceTree &tree)
{
    // What belonged to the old list goes; the save folder proposed for the
    // new one replaces the folder of the moment.
    lastOpenDir = QFileInfo(tree.files.first()).dir().path();
    settingsSaver->changed();
    // Thumbnails of an earlier opening that are still on their way are of
    // no use any more.
    thumbnailLoader->cancelPending();
    convertedRows->clear();
    // Failures of an earlier batch are not this list's.
    failuresButton->setFailures({});
    proposedSaveDir = tree.proposedSaveFolder();
    ui->lineEditSaveDir->setText(proposedSaveDir);
}

void MainWindow::removeImages()
{
    ui->statusBar->showMessage(tr("%1 images removed.").arg(sourceListing->removeSelected()), 0);
}

void MainWindow::sizeConvert()
{
    startConvert(ConvertMode::SizeConvert, tr("Size convert finished"));
}

void MainWindow::formatConvert()
{
    startConvert(ConvertMode::FormatConvert, tr("Format convert finished"));
}

void MainWindow::bothConvert()
{
    startConvert(ConvertMode::BothConvert, tr("Size and format convert finished"));
}

void MainWindow::showAbout()
{
    DialogAbout dialog(this);
    dialog.exec();
}

void MainWindow::saveConvertImagToDir(QImage, QString, QString)
{
    // The runner writes each result into the folder its batch was started
    // with, off this thread. Without a folder every result of the batch
    // fails alike: the user is told once.
    if (!ui->lineEditSaveDir->text().isEmpty() || toldNoSaveDir)
        return;
    toldNoSaveDir = true;
    QMessageBox::information(this, tr("Save Diretory Not Setting"),
                             tr("Please select an exist directory to save convert images"),
                             QMessageBox::Ok, QMessageBox::NoButton);
}

void MainWindow::addConvertImageToList(const QString &filename)
{
    // A file a batch has just written comes with the thumbnail its writer
    // made; any other is read.
    convertedRows->addRow(filename, writtenPreview.first == filename ? writtenPreview.second
                                                                      : QImage());
}

void MainWindow::deleteThread()
{
    // For a worker whose finished() is connected here; the batch runner
    // deletes the workers it starts itself.
    if (auto *thread = qobject_cast<ImageThread *>(sender()))
        thread->deleteLater();
}

void MainWindow::createActions()
{
    openAction = new QAction(tr("Open Images"), this);
    openAction->setIcon(QIcon(QStringLiteral(":/image_add_48.png")));
    openAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
    openAction->setToolTip(tr("Open Images\n Ctrl+O"));
    connect(openAction, &QAction::triggered, this, &MainWindow::addImages);

    removeAction = new QAction(tr("Remove Images"), this);
    removeAction->setIcon(QIcon(QStringLiteral(":/image_delete_48.png")));
    removeAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_R));
    removeAction->setToolTip(tr("Remove Images\n Ctrl+R"));
    connect(removeAction, &QAction::triggered, this, &MainWindow::removeImages);

    convertAction = new QAction(tr("Convert Images"), this);
    convertAction->setIcon(QIcon(QStringLiteral(":/convert.png")));

    sizeConvertAction = new QAction(tr("Size Convert"), this);
    sizeConvertAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_C, Qt::CTRL | Qt::Key_S));
    connect(sizeConvertAction, &QAction::triggered, this, &MainWindow::sizeConvert);

    formatConvertAction = new QAction(tr("Format Convert"), this);
    formatConvertAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_C, Qt::CTRL | Qt::Key_F));
    connect(formatConvertAction, &QAction::triggered, this, &MainWindow::formatConvert);

    bothConvertAction = new QAction(tr("Size and Format Convert"), this);
    bothConvertAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_C, Qt::CTRL | Qt::Key_B));
    connect(bothConvertAction, &QAction::triggered, this, &MainWindow::bothConvert);

    aboutAction = new QAction(tr("About"), this);
    aboutAction->setIcon(QIcon(QStringLiteral(":/about.png")));
    aboutAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_K));
    aboutAction->setToolTip(tr("About Pictavo\n Ctrl+K"));
    connect(aboutAction, &QAction::triggered, this, &MainWindow::showAbout);

    quitAction->setText(tr("Quit"));
    quitAction->setIcon(QIcon(QStringLiteral(":/quit.png")));
    quitAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    quitAction->setToolTip(tr("Quit\n Ctrl+Q"));

    convertMenu = new QMenu(this);
    convertMenu->addAction(sizeConvertAction);
    convertMenu->addAction(formatConvertAction);
    convertMenu->addSeparator();
    convertMenu->addAction(bothConvertAction);
    convertAction->setMenu(convertMenu);

    ui->mainToolBar->addAction(openAction);
    ui->mainToolBar->addAction(removeAction);
    ui->mainToolBar->addSeparator();
    ui->mainToolBar->addAction(convertAction);
    ui->mainToolBar->addSeparator();
    ui->mainToolBar->addAction(aboutAction);
    ui->mainToolBar->addSeparator();
    ui->mainToolBar->addAction(quitAction);

    // Delete too, where the selection is: in a field it deletes text.
    auto *deleteKey = new QShortcut(QKeySequence::Delete, ui->listWidgetOriginal, nullptr,
                                    nullptr, Qt::WidgetWithChildrenShortcut);
    connect(deleteKey, &QShortcut::activated, this, &MainWindow::removeImages);
}

void MainWindow::readSettings()
{
    QSettings settings(QStringLiteral("Tarnwick"), QStringLiteral("Pictavo"));
    settings.beginGroup(QStringLiteral("mainwindow"));
    if (settings.value(QStringLiteral("maximized"), QVariant()).toBool()) {
        showMaximized();
    } else {
        resize(settings.value(QStringLiteral("size"), QSize(560, 430)).toSize());
        move(settings.value(QStringLiteral("pos"), QVariant()).toPoint());
        frameFitter->fit();
    }
    ui->splitter->restoreState(settings.value(QStringLiteral("splitter")).toByteArray());
    ui->splitter_2->restoreState(settings.value(QStringLiteral("splitter2")).toByteArray());
    lastOpenDir = settings.value(QStringLiteral("lastopendir"), QDir::currentPath()).toString();
    ui->spinBoxWidth->setValue(settings.value(QStringLiteral("width"), 1024).toInt());
    ui->spinBoxHeight->setValue(settings.value(QStringLiteral("height"), 768).toInt());
    ui->checkBoxAutoOpenDir->setChecked(settings.value(QStringLiteral("autoopen"), true).toBool());
    // Dates are kept unless turned off: a photo's file date is when it was
    // taken to most galleries, and a converted copy is the same photo.
    ui->checkBoxKeepDates->setChecked(settings.value(QStringLiteral("keepdates"), true).toBool());
    ui->checkBoxRemoveLocation->setChecked(
            settings.value(QStringLiteral("removelocation"), false).toBool());
    ui->spinBoxQuality->setValue(
            settings.value(QStringLiteral("quality"), EncodeOptions::defaultQuality).toInt());
    ui->checkBoxLossless->setChecked(settings.value(QStringLiteral("lossless"), false).toBool());
    ui->spinBoxEdge->setValue(settings.value(QStringLiteral("edge"), 2048).toInt());
    ui->checkBoxNoEnlarge->setChecked(settings.value(QStringLiteral("noenlarge"), false).toBool());
    // An index the combo box does not have (a later version's) leaves Fast.
    const int scaling = settings.value(QStringLiteral("scaling"), int(Scaling::Fast)).toInt();
    if (scaling >= 0 && scaling < ui->comboBoxScaling->count())
        ui->comboBoxScaling->setCurrentIndex(scaling);
    settings.endGroup();
}

void MainWindow::writeSettings()
{
    SettingsSaver::write(this, ui, lastOpenDir);
}

void MainWindow::addOriginalImageToList(const QString &path)
{
    sourceListing->addRow(path);
}

ConvertSettings MainWindow::convertSettings() const
{
    ConvertSettings settings;
    // The Size tab's items are in SizeMode's order.
    settings.sizeMode = static_cast<SizeMode>(ui->comboBoxSizeSettingMode->currentIndex());
    settings.percent = ui->spinBoxPercent->value();
    settings.fixedSize = QSize(ui->spinBoxWidth->value(), ui->spinBoxHeight->value());
    settings.edge = ui->spinBoxEdge->value();
    settings.noEnlarge = ui->checkBoxNoEnlarge->isChecked();
    settings.scaling = ui->comboBoxScaling->currentIndex() == int(Scaling::Smooth) ? Scaling::Smooth
                                                                                   : Scaling::Fast;
    settings.format = TargetFormat::ofItem(ui->comboBoxFormat->currentIndex());
    settings.keepDates = ui->checkBoxKeepDates->isChecked();
    settings.removeLocation = ui->checkBoxRemoveLocation->isChecked();
    settings.encoding.quality = ui->spinBoxQuality->value();
    settings.encoding.lossless = ui->checkBoxLossless->isChecked();
    return settings;
}

QSize MainWindow::getConvertSize(const QString &path)
{
    return convertSettings().targetSize(path);
}

QString MainWindow::getConvertFormat(const QString &path)
{
    return convertSettings().targetFormat(path);
}

void MainWindow::startConvert(ConvertMode convertMode, const QString &finishedText)
{
    if (imageFiles.isEmpty())
        return;
    convertedRows->clear();
    if (HelperPool::instance().available())
        ui->statusBar->clearMessage();
    else
        ui->statusBar->showMessage(HelperPool::missingText(), 0);
    failuresButton->setFailures({});
    toldNoSaveDir = false;

    // Only the settings are taken now; the runner makes each worker when
    // its turn comes. A folder the program proposed is not one the user
    // chose, so a link there (planted by an archive) is not followed.
    const QString dir = ui->lineEditSaveDir->text();
    batchRunner->setPreviewSide(convertedRows->pixelSide());
    batchRunner->start(finishedText, convertMode, convertSettings(), imageFiles, dir,
                       dir != proposedSaveDir, ui->checkBoxAutoOpenDir->isChecked(),
                       sourceListing->resultFolders());
    batchStatus->batchStarted();
}

void MainWindow::batchFinished(const BatchReport &report)
{
    const int failed = int(report.failures.size());
    QString text = report.finishedText;
    if (report.stopped)
        text = BatchStatus::stoppedText(report.convertMode, report.written, report.total);
    else if (failed > 0)
        text += tr(", %1 of %2 images failed").arg(failed).arg(report.total);
    if (report.written > 0)
        text += BatchStatus::savedText(report.bytesBefore, report.bytesAfter);
    ui->statusBar->showMessage(text, 0);
    failuresButton->setFailures(report.failures, report.warnings);

    // Opened now that the batch is over, so the folder exists and is full;
    // when nothing was written there may be no folder to open.
    if (report.openFolder && report.written + report.superseded > 0
        && !report.directory.isEmpty()
        && !QDesktopServices::openUrl(QUrl::fromLocalFile(QDir(report.directory).absolutePath())))
        ui->statusBar->showMessage(text + tr(", the folder could not be opened"), 0);
}
