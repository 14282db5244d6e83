#ifndef FOLDERSCANNER_H
#define FOLDERSCANNER_H

#include "sources/sourcetree.h"

#include <QObject>
#include <QStringList>
#include <QThreadPool>

#include <atomic>
#include <memory>

// Turns what the user hands the window (dropped files and folders, the
// command line) into the list of files to open. A file named by itself is
// kept whatever it holds, as a file chosen in the open dialog is. A folder
// is searched for the images in it (by their contents), its own files
// first and then its subfolders, each in the order a file manager shows
// them: case ignored, numbers by value ("2" before "10"). Hidden files and
// folders are passed over, and links to folders are not followed, so that
// a link back up the tree cannot make the search endless. Folders of
// results are passed over too: the save folder of the moment and any folder
// we made to save into (SaveFolder marks them), so that a second opening of
// a tree does not offer its converted copies again.
//
// The search runs off the GUI thread: a folder on a slow disk or with
// thousands of photos must not freeze the window.
class FolderScanner : public QObject
{
    Q_OBJECT

public:
    explicit FolderScanner(QObject *parent = nullptr);
    // Stops a search under way and waits for it to end.
    ~FolderScanner() override;

    // The files to open for paths, in order, as absolute paths, with the
    // subfolder each result goes to. Folders found inside that are one of
    // skipFolders, or hold results, are passed over and counted; a folder
    // given is searched whatever it is. cancelled, when set meanwhile, ends
    // the search early with what it found.
    static SourceTree scan(const QStringList &paths, const QStringList &skipFolders = {},
                           const std::atomic<bool> *cancelled = nullptr);
    // Only the files.
    static QStringList expand(const QStringList &paths,
                              const std::atomic<bool> *cancelled = nullptr);
    // Whether any path is a folder, that is, whether expand() searches.
    static bool holdsFolder(const QStringList &paths);

    // Expands paths on a worker thread; finished() tells the result. A new
    // start() drops the result of the one before.
    void start(const QStringList &paths, const QStringList &skipFolders = {});

signals:
    void finished(const SourceTree &tree);

private:
    QThreadPool pool;
    std::shared_ptr<std::atomic<bool>> running; // the latest search's stop flag
    int generation = 0;
};

#endif // FOLDERSCANNER_H
