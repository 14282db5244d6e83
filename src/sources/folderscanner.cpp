#include "sources/folderscanner.h"

#include "sources/sourceformat.h"

#include <QCollator>
#include <QDir>
#include <QFileInfo>
#include <QLocale>
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

void search(const QString &dir, const QCollator &collator, const std::atomic<bool> *cancelled,
            QStringList &found)
{
    // No QDir::Hidden: dot files and folders stay out. No QDir::System:
    // FIFOs, sockets, devices and dangling links stay out too.
    QFileInfoList entries = QDir(dir).entryInfoList(
            QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot, QDir::NoSort);
    sortAsShown(entries, collator);
    QStringList folders;
    for (const QFileInfo &entry : std::as_const(entries)) {
        if (cancelled && cancelled->load(std::memory_order_relaxed))
            return;
        if (entry.isDir()) {
            if (!entry.isSymLink())
                folders << entry.absoluteFilePath();
        } else if (SourceFormat::isImage(entry.absoluteFilePath())) {
            found << entry.absoluteFilePath();
        }
    }
    for (const QString &folder : std::as_const(folders))
        search(folder, collator, cancelled, found);
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
    // Qt's collator compares code points under the C locale (CI, services),
    // numeric mode and case included; English orders like a file manager.
    QLocale locale;
    if (locale.language() == QLocale::C)
        locale = QLocale(QLocale::English);
    QCollator collator(locale);
    collator.setNumericMode(true);
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    QStringList files;
    for (const QString &given : paths) {
        const QString path = absolute(given);
        // A folder named by itself is searched even when it is a link: the
        // user chose it. Links inside it are not followed.
        if (QFileInfo(path).isDir())
            search(path, collator, cancelled, files);
        else
            files << path;
    }
    return files;
}

void FolderScanner::start(const QStringList &paths)
{
    const int current = ++generation;
    // The search before, if any, is told to stop; it is not waited for.
    if (running)
        running->store(true);
    running = std::make_shared<std::atomic<bool>>(false);
    pool.start([this, current, paths, flag = running]() {
        const QStringList files = expand(paths, flag.get());
        // Queued to this object: dropped should it be gone, which the
        // destructor's wait rules out while this runs anyway.
        QMetaObject::invokeMethod(this, [this, current, files]() {
            if (current == generation)
                emit finished(files);
        }, Qt::QueuedConnection);
    });
}
