#include "sources/folderscanner.h"

#include "sources/sourceformat.h"
#include "fs/savefolder.h"

#include <QCollator>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLocale>
#include <QSet>
#include <QUrl>

#include <algorithm>
#include <vector>

namespace {

// A folder's entries, in the order a file manager shows them. Each name's
// collation key is made once: comparing the names themselves would make
// it again at every comparison, seconds for a folder of 100,000 photos.
struct Entry
{
    QString name;
    QCollatorSortKey key;
    bool folder;
};

std::vector<Entry> entriesAsShown(const QString &dir, const QCollator &collator)
{
    std::vector<Entry> entries;
    // No QDir::Hidden: dot files and folders stay out. No QDir::System:
    // FIFOs, sockets, devices and dangling links stay out too. Links to
    // folders are not followed. (The iterator, unlike QDir's lists, does
    // not look at every entry a second time.)
    QDirIterator it(dir, QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot);
    while (it.hasNext()) {
        it.next();
        const QFileInfo info = it.fileInfo();
        if (info.isDir() && info.isSymLink())
            continue;
        const QString name = info.fileName();
        entries.push_back({name, collator.sortKey(name), info.isDir()});
    }
    std::sort(entries.begin(), entries.end(), [](const Entry &a, const Entry &b) {
        const int order = a.key.compare(b.key);
        // Names equal but for case still come in one fixed order.
        return order != 0 ? order < 0 : a.name < b.name;
    });
    return entries;
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
        const std::vector<Entry> entries = entriesAsShown(dir, collator);
        const QString prefix = dir.endsWith(QLatin1Char('/')) ? dir : dir + QLatin1Char('/');
        for (const Entry &entry : entries) {
            if (cancelled && cancelled->load(std::memory_order_relaxed))
                return;
            const QString file = prefix + entry.name;
            if (entry.folder || !SourceFormat::isImage(file))
                continue;
            tree.files << file;
            if (!relative.isEmpty() && !tree.subfolders.contains(file))
                tree.subfolders.insert(file, relative);
            sendIfDue();
        }
        for (const Entry &folder : entries) {
            if (!folder.folder)
                continue;
            const QString path = prefix + folder.name;
            if (skips(path)) {
                ++tree.skippedFolders;
                continue;
            }
            run(path, relative.isEmpty() ? folder.name
                                         : relative + QLatin1Char('/') + folder.name);
        }
    }

    // Hands over the files found since the last part, every sendEveryMs or
    // every FolderScanner::partFiles files, so that the first are listed
    // while the search goes on.
    void sendIfDue(bool last = false)
    {
        const qsizetype found = tree.files.size() - sent;
        if (!partFound || found == 0
            || (!last && found < FolderScanner::partFiles && sinceSent.elapsed() < sendEveryMs))
            return;
        SourceTree part;
        part.folders = tree.folders;
        part.files = tree.files.mid(sent);
        for (const QString &file : std::as_const(part.files)) {
            const auto at = tree.subfolders.constFind(file);
            if (at != tree.subfolders.constEnd())
                part.subfolders.insert(file, *at);
        }
        sent = tree.files.size();
        sinceSent.start();
        partFound(part);
    }

    static constexpr qint64 sendEveryMs = 50;
    const std::function<void(const SourceTree &)> &partFound;
    qsizetype sent = 0;
    QElapsedTimer sinceSent{};
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
                               const std::atomic<bool> *cancelled,
                               const std::function<void(const SourceTree &)> &partFound)
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
    Search search{collator, cancelled, {}, tree, partFound};
    search.sinceSent.start();
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
            search.sendIfDue();
        }
    }
    search.sendIfDue(true);
    return tree;
}

void FolderScanner::stop()
{
    ++generation;
    // Told to stop; it is not waited for.
    if (running)
        running->store(true);
}

void FolderScanner::start(const QStringList &paths, const QStringList &skipFolders)
{
    stop();
    const int current = generation;
    running = std::make_shared<std::atomic<bool>>(false);
    pool.start([this, current, paths, skipFolders, flag = running]() {
        // Queued to this object: dropped should it be gone, which the
        // destructor's wait rules out while this runs anyway. The parts
        // come before the end, in order.
        const SourceTree tree = scan(paths, skipFolders, flag.get(), [this, current](const SourceTree &part) {
            QMetaObject::invokeMethod(this, [this, current, part]() {
                if (current == generation)
                    emit found(part);
            }, Qt::QueuedConnection);
        });
        QMetaObject::invokeMethod(this, [this, current, tree]() {
            if (current == generation)
                emit finished(tree);
        }, Qt::QueuedConnection);
    });
}
