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
#include "sources/folderscanner.h"
#include "sources/sourcetree.h"
#include "ui/framefitter.h"
#include "conversion/imagethread.h"
#include "isolation/helperpool.h"
#include "ui/loadingdialog.h"
#include "ui/settingssaver.h"
#include "ui/thumbnaillist.h"
#include "thumbnail/thumbnailloader.h"

#include <QCloseEvent>
#include <QDebug>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QItemSelectionModel>
#include <QMenu>
#include <QMessageBox>
#include <QSettings>
#include <QShortcut>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <utility>

namespace {

// What the status bar adds when a search passed over folders of results.
QString skippedText(int folders)
{
    if (folders <= 0)
        return QString();
    return folders == 1
            ? QCoreApplication::translate("MainWindow", ", 1 folder of converted images skipped")
            : QCoreApplication::translate("MainWindow", ", %1 folders of converted images skipped")
                      .arg(folders);
}

// What the status bar adds when there is no helper to read images with.
QString noHelperText()
{
    if (HelperPool::instance().available())
        return QString();
    return QCoreApplication::translate("MainWindow", ", but none can be read: %1")
            .arg(HelperPool::missingText());
}

} // namespace

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
    originalRows = new ThumbnailList(ui->listWidgetOriginal, thumbnailLoader);
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

    folderScanner = new FolderScanner(this);
    // The first part a search finds replaces the list, the others add to it.
    connect(folderScanner, &FolderScanner::found, this, [this](const SourceTree &part) {
        if (std::exchange(searchListed, true))
            addFiles(part);
        else
            listFiles(part);
    });
    connect(folderScanner, &FolderScanner::finished, this, &MainWindow::searchFinished);
    connect(new DropOpener(this), &DropOpener::dropped, this, &MainWindow::openImages);
    // Qt's own file dialog, where it is the one used, made cheap for
    // folders of thousands of photos.
    new FileDialogTuner(this);
    new ConvertChords(this, {sizeConvertAction, formatConvertAction, bothConvertAction});
    AccessibleNames::describe(ui);
    AccessibleNames::describe(ui->mainToolBar);

    progressThrottle = new QTimer(this);
    progressThrottle->setSingleShot(true);
    progressThrottle->setInterval(100);
    connect(progressThrottle, &QTimer::timeout, this, [this]() {
        if (progressPending)
            progressChanged();
    });
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
        openFiles(SourceTree::flat(files));
}

void MainWindow::openImages(const QStringList &paths)
{
    // The save folder of the moment holds results, not photos to convert.
    const QStringList skip{ui->lineEditSaveDir->text()};
    // A few files are looked at here, and listed at once. Every path is
    // opened to find what it holds, so thousands (a whole card dropped)
    // are looked at on the scanner's thread, as folders are.
    constexpr qsizetype lookedAtHere = 64;
    if (paths.size() <= lookedAtHere && !FolderScanner::holdsFolder(paths)) {
        openFiles(FolderScanner::scan(paths, skip));
        return;
    }
    // The window waits behind the loading dialog while folders are
    // searched, as it does while their thumbnails come in; the rows come
    // in as the search finds them.
    if (!loadProgress) {
        loadProgress = new LoadingDialog(0, this);
        loadProgress->show();
    }
    searching = true;
    searchListed = false;
    folderScanner->start(paths, skip);
}

void MainWindow::openFiles(const SourceTree &tree)
{
    // A search under way would list its photos after these.
    folderScanner->stop();
    searching = false;
    if (tree.files.isEmpty())
        noImagesFound(tree.skippedFolders);
    else
        listFiles(tree);
}

void MainWindow::searchFinished(const SourceTree &tree)
{
    searching = false;
    if (tree.files.isEmpty()) {
        noImagesFound(tree.skippedFolders);
        return;
    }
    // (Every part comes before the end; this is for one that did not.)
    if (!std::exchange(searchListed, true))
        listFiles(tree);
    skippedFolders = tree.skippedFolders;
    if (loadProgress)
        loadProgress->setMaximum(int(imageFiles.size()));
    if (loadedCount >= imageFiles.size())
        loadingDone();
}

void MainWindow::noImagesFound(int skipped)
{
    // Only folders without images were given: the list stays.
    if (loadProgress && loadedCount >= imageFiles.size())
        loadProgress->deleteLater();
    ui->statusBar->showMessage(tr("No images found") + skippedText(skipped), 0);
}

void MainWindow::listFiles(const SourceTree &tree)
{
    const QStringList &files = tree.files;
    imageFiles.clear();
    resultFolders.clear();
    skippedFolders = tree.skippedFolders;
    lastOpenDir = QFileInfo(files.first()).dir().path();
    settingsSaver->changed();

    // Thumbnails of an earlier opening that are still on their way are of
    // no use any more.
    thumbnailLoader->cancelPending();
    ++loadGeneration;
    loadedCount = 0;
    originalRows->clear();
    convertedRows->clear();
    // Failures of an earlier batch are not this list's.
    failuresButton->setFailures({});

    if (loadProgress)
        loadProgress->deleteLater();
    // While a search goes on, how many there will be is not known.
    loadProgress = new LoadingDialog(searching ? 0 : int(files.size()), this);
    loadProgress->show();

    proposedSaveDir = tree.proposedSaveFolder();
    ui->lineEditSaveDir->setText(proposedSaveDir);
    addFiles(tree);
}

void MainWindow::addFiles(const SourceTree &part)
{
    imageFiles += part.files;
    resultFolders.insert(part.subfolders);
    batchRunner->protectSources(part.files);
    const int generation = loadGeneration;
    originalRows->addRows(part.files, [this, generation]() { thumbnailLoaded(generation); });
}

void MainWindow::thumbnailLoaded(int generation)
{
    if (generation != loadGeneration)
        return;
    ++loadedCount;
    if (loadedCount < imageFiles.size() || searching) {
        progressChanged();
        return;
    }
    loadingDone();
}

void MainWindow::loadingDone()
{
    if (loadProgress)
        loadProgress->deleteLater();
    ui->statusBar->showMessage(tr("%1 images loaded").arg(loadedCount)
                                       + skippedText(skippedFolders) + noHelperText(), 0);
}

void MainWindow::removeImages()
{
    QList<int> rows;
    {
        // The selected ranges' rows, without an index made for each. Rows
        // on their way out of the list are no longer the list's.
        const QItemSelection selected = ui->listWidgetOriginal->selectionModel()->selection();
        const int listed = originalRows->rowCount();
        for (const QItemSelectionRange &range : selected) {
            for (int row = range.top(); row <= qMin(range.bottom(), listed - 1); ++row)
                rows << row;
        }
    }
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    // Cleared first, so that the selection need not follow every removal;
    // quietly, since the view would otherwise work out where each of the
    // rows let go of was (a tenth of a second for 50,000 scattered rows)
    // only to repaint what it repaints anyway.
    ui->listWidgetOriginal->selectionModel()->reset();
    ui->listWidgetOriginal->viewport()->update();
    QStringList kept;
    kept.reserve(imageFiles.size() - rows.size());
    for (qsizetype i = 0, next = 0; i < imageFiles.size(); ++i) {
        if (next < rows.size() && rows.at(next) == i)
            ++next;
        else
            kept << imageFiles.at(i);
    }
    imageFiles = kept;
    originalRows->removeRows(rows);
    ui->statusBar->showMessage(tr("%1 images removed.").arg(rows.size()), 0);
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
    const int generation = loadGeneration;
    originalRows->addRows({path}, [this, generation]() { thumbnailLoaded(generation); });
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
                       resultFolders);
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

void MainWindow::progressChanged()
{
    if (progressThrottle->isActive()) {
        progressPending = true;
        return;
    }
    progressPending = false;
    updateProgress();
    progressThrottle->start();
}

void MainWindow::updateProgress()
{
    // A window-modal progress dialog spins the event loop in setValue(),
    // where more thumbnails arrive: those only count.
    if (loadProgress && !updatingLoadProgress && loadedCount < imageFiles.size()) {
        updatingLoadProgress = true;
        loadProgress->setValue(loadedCount);
        updatingLoadProgress = false;
    }
}
