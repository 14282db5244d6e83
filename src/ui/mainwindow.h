#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include "conversion/convertmode.h"

#include <QHash>
#include <QImage>
#include <QMainWindow>
#include <QPointer>
#include <QSize>
#include <QStringList>

class QAction;
class QCloseEvent;
class QListWidget;
class QMenu;
class LoadingDialog;
class QTimer;
class BatchRunner;
class BatchStatus;
class FailuresButton;
class FolderScanner;
class FrameFitter;
struct BatchReport;
struct ConvertSettings;
struct SourceTree;
class SettingsSaver;
class ThumbnailList;
class ThumbnailLoader;
class Ui_MainWindow;

class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

protected:
    void closeEvent(QCloseEvent *event) override;

private slots:
    void on_quitAction_triggered();
    void on_toolButtonSaveDir_clicked();
    void on_comboBoxSizeSettingMode_currentIndexChanged(int index);
    void addImages();
    void removeImages();
    void sizeConvert();
    void formatConvert();
    void bothConvert();
    void showAbout();
    void saveConvertImagToDir(QImage, QString, QString);
    void addConvertImageToList(const QString &filename);
    void deleteThread();

public slots:
    // Opens files and folders (a drop, "Open with", the command line) as
    // Open Images opens the files chosen; folders are searched for images.
    void openImages(const QStringList &paths);

private:
    void createActions();
    void readSettings();
    void writeSettings();
    void addOriginalImageToList(const QString &path);
    QSize getConvertSize(const QString &path);
    QString getConvertFormat(const QString &path);

    ConvertSettings convertSettings() const;
    void startConvert(ConvertMode convertMode, const QString &finishedText);
    void thumbnailLoaded(int generation);
    void progressChanged();
    void updateProgress();
    void batchFinished(const BatchReport &report);
    void openFiles(const SourceTree &tree);
    void searchFinished(const SourceTree &tree);
    void noImagesFound(int skipped);
    void listFiles(const SourceTree &tree);
    void addFiles(const SourceTree &part);
    void loadingDone();

    Ui_MainWindow *ui;
    QStringList imageFiles;
    QString lastOpenDir;
    QAction *openAction;
    QAction *removeAction;
    QAction *convertAction;
    QAction *sizeConvertAction;
    QAction *formatConvertAction;
    QAction *bothConvertAction;
    QAction *quitAction;
    QAction *aboutAction;
    QMenu *convertMenu;

    ThumbnailLoader *thumbnailLoader;
    ThumbnailList *originalRows;
    ThumbnailList *convertedRows;
    BatchRunner *batchRunner;
    // The file whose row is being added, and the preview its writer made.
    QPair<QString, QImage> writtenPreview;
    // This batch has told the user it has no save folder.
    bool toldNoSaveDir = false;
    BatchStatus *batchStatus;
    FailuresButton *failuresButton;
    // The save folder proposed beside the opened images: one the user did
    // not choose, so a link there (planted by an archive) is not followed.
    QString proposedSaveDir;
    // Where each opened photo's result goes below the save folder, for
    // photos found in a folder given; the rest go straight into it.
    QHash<QString, QString> resultFolders;
    // Folders of results the last search passed over, for the status bar.
    int skippedFolders = 0;
    FolderScanner *folderScanner;
    // A search is under way: more of its photos may come. Its first part
    // has replaced the list.
    bool searching = false;
    bool searchListed = false;
    FrameFitter *frameFitter;
    QPointer<LoadingDialog> loadProgress;
    int loadGeneration = 0;
    int loadedCount = 0;
    bool updatingLoadProgress = false;
    // Loading progress is shown at most every tenth of a second: thousands
    // of updates would each repaint, and the modal dialog's spin the loop.
    QTimer *progressThrottle;
    SettingsSaver *settingsSaver;
    bool progressPending = false;

    friend class tst_MainWindow;
    friend class tst_ImageLists;
    friend class tst_Conversion;
};

#endif // MAINWINDOW_H
