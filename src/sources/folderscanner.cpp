#include "sources/folderscanner.h"

#include "sources/sourceformat.h"
#include "fs/savefolder.h"

#include <QCollator>
#include <QDir>
#include <QFileInfo>
#include <QLocale>
#include <QSet>
#include <QUrl>

#include <algorithm>

namespace {

void sortAsShown(QFileInfoList &entries, const QCollator &collator)
{
    std::sort(entries.begin(), entries.end(), [&collator](const QFileInfo &a, const QFileInfo &b) {
        const int order = collator.compare(a.fileName(), b.fileName());
        // Names equal but for case still come in one fixed order.
        return order != 0 ? order < 0 : a.fileName() < b.fileName();
    });
}

struct Search
{
    const QCollator &collator;
    const std::atomic<bool> *cancelled;
    QSet<QString> skipKeys; // canonical paths
    SourceTree &tree;

    bool skips(const QString &folder) const
    {
        return SaveFolder::holdsResults(folder)
                || (!skipKeys.isEmpty() && skipKeys.contains(QFileInfo(folder).canonicalFilePath()));
    }

    // relative: the subfolder of dir's results below the save folder.
    void run(const QString &dir, const QString &relative)
    {
        // No QDir::Hidden: dot files and folders stay out. No QDir::System:
        // FIFOs, sockets, devices and dangling links stay out too.
        QFileInfoList entries = QDir(dir).entryInfoList(
                QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot, QDir::NoSort);
        sortAsShown(entries, collator);
        QFileInfoList folders;
        for (const QFileInfo &entry : std::as_const(entries)) {
            if (cancelled && cancelled->load(std::memory_order_relaxed))
                return;
            if (entry.isDir()) {
                if (!entry.isSymLink())
                    folders << entry;
            } else if (SourceFormat::isImage(entry.absoluteFilePath())) {
                const QString file = entry.absoluteFilePath();
                tree.files << file;
                if (!relative.isEmpty() && !tree.subfolders.contains(file))
                    tree.subfolders.insert(file, relative);
            }
        }
        for (const QFileInfo &folder : std::as_const(folders)) {
            if (skips(folder.absoluteFilePath())) {
                ++tree.skippedFolders;
                continue;
            }
            run(folder.absoluteFilePath(),
                relative.isEmpty() ? folder.fileName()
                                   : relative + QLatin1Char('/') + folder.fileName());
        }
    }
};

// The name each given folder keeps on top of its tree when several are
// given: its own, with " (2)", " (3)"... for a name given before.
QStringList topNames(const QStringList &folders)
{
    QStringList names;
    QSet<QString> taken;
    for (const QString &folder : folders) {
        QString base = QFileInfo(QDir::cleanPath(folder)).fileName();
        if (base.isEmpty())
            base = QStringLiteral("root");
        QString name = base;
        for (int copy = 2; taken.contains(name.toCaseFolded()); ++copy)
            name = QStringLiteral("%1 (%2)").arg(base).arg(copy);
        taken.insert(name.toCaseFolded());
        names << name;
    }
    return names;
}

QString absolute(const QString &path)
{
    // "Open with" may hand over file: URLs as well as paths.
    if (path.startsWith(QLatin1String("file:")))
        return QFileInfo(QUrl(path).toLocalFile()).absoluteFilePath();
    return QFileInfo(path).absoluteFilePath();
}

} // namespace

FolderScanner::FolderScanner(QObject *parent)
    : QObject(parent)
{
    pool.setMaxThreadCount(1);
}

FolderScanner::~FolderScanner()
{
    if (running)
        running->store(true);
    pool.waitForDone();
}

bool FolderScanner::holdsFolder(const QStringList &paths)
{
    return std::any_of(paths.begin(), paths.end(),
                       [](const QString &path) { return QFileInfo(absolute(path)).isDir(); });
}

QStringList FolderScanner::expand(const QStringList &paths, const std::atomic<bool> *cancelled)
{
    return scan(paths, {}, cancelled).files;
}

SourceTree FolderScanner::scan(const QStringList &paths, const QStringList &skipFolders,
                               const std::atomic<bool> *cancelled)
{
    // Qt's collator compares code points under the C locale (CI, services),
    // numeric mode and case included; English orders like a file manager.
    QLocale locale;
    if (locale.language() == QLocale::C)
        locale = QLocale(QLocale::English);
    QCollator collator(locale);
    collator.setNumericMode(true);
    collator.setCaseSensitivity(Qt::CaseInsensitive);

    SourceTree tree;
    Search search{collator, cancelled, {}, tree};
    for (const QString &folder : skipFolders) {
        const QString key = QFileInfo(folder).canonicalFilePath();
        if (!folder.isEmpty() && !key.isEmpty())
            search.skipKeys.insert(key);
    }
    QStringList absolutePaths;
    for (const QString &given : paths) {
        absolutePaths << absolute(given);
        if (QFileInfo(absolutePaths.last()).isDir())
            tree.folders << absolutePaths.last();
    }
    const QStringList names = topNames(tree.folders);
    int folderIndex = 0;
    for (const QString &path : std::as_const(absolutePaths)) {
        // A folder named by itself is searched even when it is a link, or
        // holds results: the user chose it. Links inside it are not followed.
        if (QFileInfo(path).isDir()) {
            const QString top = names.at(folderIndex++);
            search.run(path, tree.folders.size() > 1 ? top : QString());
        } else {
            tree.files << path;
        }
    }
    return tree;
}

void FolderScanner::start(const QStringList &paths, const QStringList &skipFolders)
{
    const int current = ++generation;
    // The search before, if any, is told to stop; it is not waited for.
    if (running)
        running->store(true);
    running = std::make_shared<std::atomic<bool>>(false);
    pool.start([this, current, paths, skipFolders, flag = running]() {
        const SourceTree tree = scan(paths, skipFolders, flag.get());
        // Queued to this object: dropped should it be gone, which the
        // destructor's wait rules out while this runs anyway.
        QMetaObject::invokeMethod(this, [this, current, tree]() {
            if (current == generation)
                emit finished(tree);
        }, Qt::QueuedConnection);
    });
}
