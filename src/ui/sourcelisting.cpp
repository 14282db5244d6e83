#include "ui/sourcelisting.h"

#include "isolation/helperpool.h"
#include "sources/folderscanner.h"
#include "sources/sourcetree.h"
#include "ui/loadingdialog.h"
#include "ui/thumbnaillist.h"

#include <QCoreApplication>
#include <QItemSelectionModel>
#include <QListWidget>

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

SourceListing::SourceListing(QWidget *window, QListWidget *list, ThumbnailLoader *loader,
                             QStringList &files)
    : QObject(window),
      window(window),
      list(list),
      rows(new ThumbnailList(list, loader)),
      files(files),
      scanner(new FolderScanner(this))
{
    // The first part a search finds replaces the list, the others add to it.
    connect(scanner, &FolderScanner::found, this, [this](const SourceTree &part) {
        if (std::exchange(searchListed, true))
            addFiles(part);
        else
            listFiles(part);
    });
    connect(scanner, &FolderScanner::finished, this, &SourceListing::searchFinished);
}

void SourceListing::openChosen(const QStringList &chosen)
{
    openFiles(SourceTree::flat(chosen));
}

void SourceListing::open(const QStringList &paths, const QString &saveFolder)
{
    const QStringList skip{saveFolder};
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
        loadProgress = new LoadingDialog(0, window);
        loadProgress->show();
    }
    searching = true;
    searchListed = false;
    scanner->start(paths, skip);
}

void SourceListing::addRow(const QString &path)
{
    const int generation = loadGeneration;
    rows->addRows({path}, [this, generation]() { thumbnailLoaded(generation); });
}

int SourceListing::removeSelected()
{
    QList<int> selected;
    {
        // The selected ranges' rows, without an index made for each. Rows
        // on their way out of the list are no longer the list's.
        const QItemSelection ranges = list->selectionModel()->selection();
        const int listed = rows->rowCount();
        for (const QItemSelectionRange &range : ranges) {
            for (int row = range.top(); row <= qMin(range.bottom(), listed - 1); ++row)
                selected << row;
        }
    }
    std::sort(selected.begin(), selected.end());
    selected.erase(std::unique(selected.begin(), selected.end()), selected.end());
    // Cleared first, so that the selection need not follow every removal;
    // quietly, since the view would otherwise work out where each of the
    // rows let go of was (a tenth of a second for 50,000 scattered rows)
    // only to repaint what it repaints anyway.
    list->selectionModel()->reset();
    list->viewport()->update();
    QStringList kept;
    kept.reserve(files.size() - selected.size());
    for (qsizetype i = 0, next = 0; i < files.size(); ++i) {
        if (next < selected.size() && selected.at(next) == i)
            ++next;
        else
            kept << files.at(i);
    }
    files = kept;
    rows->removeRows(selected);
    return int(selected.size());
}

void SourceListing::openFiles(const SourceTree &tree)
{
    // A search under way would list its photos after these.
    scanner->stop();
    searching = false;
    if (tree.files.isEmpty())
        noImagesFound(tree.skippedFolders);
    else
        listFiles(tree);
}

void SourceListing::searchFinished(const SourceTree &tree)
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
        loadProgress->setMaximum(int(files.size()));
    if (loadedCount >= files.size())
        loadingDone();
}

void SourceListing::noImagesFound(int skipped)
{
    // Only folders without images were given: the list stays.
    if (loadProgress && loadedCount >= files.size())
        loadProgress->deleteLater();
    emit reported(QCoreApplication::translate("MainWindow", "No images found")
                  + skippedText(skipped));
}

void SourceListing::listFiles(const SourceTree &tree)
{
    files.clear();
    folders.clear();
    skippedFolders = tree.skippedFolders;
    // Rows of an earlier opening whose thumbnails are still on their way
    // count no more.
    ++loadGeneration;
    loadedCount = 0;
    emit replacing(tree);
    rows->clear();

    if (loadProgress)
        loadProgress->deleteLater();
    // While a search goes on, how many there will be is not known.
    loadProgress = new LoadingDialog(searching ? 0 : int(tree.files.size()), window);
    loadProgress->show();
    addFiles(tree);
}

void SourceListing::addFiles(const SourceTree &part)
{
    files += part.files;
    folders.insert(part.subfolders);
    emit adding(part.files);
    const int generation = loadGeneration;
    rows->addRows(part.files, [this, generation]() { thumbnailLoaded(generation); });
}

void SourceListing::thumbnailLoaded(int generation)
{
    if (generation != loadGeneration)
        return;
    ++loadedCount;
    if (loadedCount < files.size() || searching) {
        if (loadProgress && loadedCount < files.size())
            loadProgress->showLoaded(loadedCount);
        return;
    }
    loadingDone();
}

void SourceListing::loadingDone()
{
    if (loadProgress)
        loadProgress->deleteLater();
    emit reported(QCoreApplication::translate("MainWindow", "%1 images loaded").arg(loadedCount)
                  + skippedText(skippedFolders) + noHelperText());
}
