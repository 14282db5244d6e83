#ifndef SOURCELISTING_H
#define SOURCELISTING_H

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

class FolderScanner;
class LoadingDialog;
class QListWidget;
class QWidget;
class ThumbnailList;
class ThumbnailLoader;
struct SourceTree;

// The list of images to convert, as it is opened and thinned: the paths, in
// row order, in the window's list of files, and a thumbnail row for each.
// A few files are listed at once; folders, and many paths, are searched on
// the scanner's thread, the first part found replacing the list and the
// others joining it. The window waits behind the loading dialog while the
// list comes in and its thumbnails load; the status bar then says how many
// loaded.
class SourceListing : public QObject
{
    Q_OBJECT

public:
    // files is the window's list of paths, kept in step with the rows of
    // list; the loading dialog is window's.
    SourceListing(QWidget *window, QListWidget *list, ThumbnailLoader *loader,
                  QStringList &files);

    // Lists these files, as a file dialog chose them, in place of the list.
    void openChosen(const QStringList &chosen);

    // Opens files and folders, folders searched for images; saveFolder holds
    // results, not photos to convert, and is passed over.
    void open(const QStringList &paths, const QString &saveFolder);

    // Appends a row for path, whose thumbnail counts as one of the opening.
    void addRow(const QString &path);

    // Removes the selected rows and their paths; returns how many went.
    int removeSelected();

    // Where each listed photo found in a folder given has its result,
    // below the save folder; the rest go straight into it.
    const QHash<QString, QString> &resultFolders() const { return folders; }

signals:
    // A new list replaces the old one, whose paths are gone; its rows are
    // about to go, and the new ones to come in.
    void replacing(const SourceTree &tree);
    // These files join the list, the first of a new list as well.
    void adding(const QStringList &files);
    // What the status bar is to say of an opening.
    void reported(const QString &text);

private:
    void openFiles(const SourceTree &tree);
    void searchFinished(const SourceTree &tree);
    void noImagesFound(int skipped);
    void listFiles(const SourceTree &tree);
    void addFiles(const SourceTree &part);
    void thumbnailLoaded(int generation);
    void loadingDone();

    QWidget *window;
    QListWidget *list;
    ThumbnailList *rows;
    QStringList &files;
    QHash<QString, QString> folders;
    // Folders of results the last search passed over, for the status bar.
    int skippedFolders = 0;
    FolderScanner *scanner;
    // A search is under way: more of its photos may come. Its first part
    // has replaced the list.
    bool searching = false;
    bool searchListed = false;
    QPointer<LoadingDialog> loadProgress;
    int loadGeneration = 0;
    int loadedCount = 0;
};

#endif // SOURCELISTING_H
