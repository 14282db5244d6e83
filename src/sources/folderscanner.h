#ifndef FOLDERSCANNER_H
#define FOLDERSCANNER_H

#include "sources/sourcetree.h"

#include <QObject>
#include <QStringList>
#include <QThreadPool>

#include <atomic>
#include <functional>
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
// thousands of photos must not freeze the window. What it finds is handed
// over in parts as it goes, in the final order, so that the first photos
// are listed long before the last are found.
class FolderScanner : public QObject
{
    Q_OBJECT

public:
    // A part holds at most this many files.
    static constexpr qsizetype partFiles = 1024;

    explicit FolderScanner(QObject *parent = nullptr);
    // Stops a search under way and waits for it to end.
    ~FolderScanner() override;

    // The files to open for paths, in order, as absolute paths, with the
    // subfolder each result goes to. Folders found inside that are one of
    // skipFolders, or hold results, are passed over and counted; a folder
    // given is searched whatever it is. cancelled, when set meanwhile, ends
    // the search early with what it found. partFound, when given, is told
    // the files found since it was last told (with their subfolders and
    // the folders given), every few tens of milliseconds and at the end:
    // the parts, one after another, are the files of the result.
    static SourceTree scan(const QStringList &paths, const QStringList &skipFolders = {},
                           const std::atomic<bool> *cancelled = nullptr,
                           const std::function<void(const SourceTree &)> &partFound = {});
    // Only the files.
    static QStringList expand(const QStringList &paths,
                              const std::atomic<bool> *cancelled = nullptr);
    // Whether any path is a folder, that is, whether expand() searches.
    static bool holdsFolder(const QStringList &paths);

    // Expands paths on a worker thread; found() tells each part as it is
    // found, then finished() the whole result. A new start() drops the parts
    // and the result of the one before.
    void start(const QStringList &paths, const QStringList &skipFolders = {});
    // Stops the search under way, if any: nothing more of it is told.
    void stop();

signals:
    void found(const SourceTree &part);
    void finished(const SourceTree &tree);

private:
    QThreadPool pool;
    std::shared_ptr<std::atomic<bool>> running; // the latest search's stop flag
    int generation = 0;
};

#endif // FOLDERSCANNER_H
