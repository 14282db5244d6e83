#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include "conversion/convertmode.h"

#include <QImage>
#include <QMainWindow>
#include <QSize>
#include <QStringList>

class QAction;
class QCloseEvent;
class QListWidget;
class QMenu;
class BatchRunner;
class BatchStatus;
class FailuresButton;
class FrameFitter;
struct BatchReport;
struct ConvertSettings;
struct SourceTree;
class SettingsSaver;
class SourceListing;
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
    void batchFinished(const BatchReport &report);
    // A new source list replaces the old one.
    void startList(const SourceTree &tree);

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
    SourceListing *sourceListing;
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
    FrameFitter *frameFitter;
    SettingsSaver *settingsSaver;

    friend class tst_MainWindow;
    friend class tst_ImageLists;
    friend class tst_Conversion;
    friend class tst_SourceListing;
    friend class tst_DropOpener;
    friend class tst_FileDialogTuner;
    friend class tst_SettingsSaver;
    friend class tst_ConvertChords;
    friend class tst_BatchRunner;
    friend class tst_BatchStatus;
    friend struct WindowFixture;
};

#endif // MAINWINDOW_H
