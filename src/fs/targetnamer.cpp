#include "fs/targetnamer.h"

#include "base/temporaryname.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <mutex>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// What a name is on disk, not following a link at the name itself.
enum class Entry { Missing, Regular, Other };

Entry entryAt(const QString &path, QPair<quint64, quint64> *id = nullptr)
{
#ifdef Q_OS_UNIX
    struct stat st;
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return Entry::Missing;
    if (!S_ISREG(st.st_mode))
        return Entry::Other;
    if (id)
        *id = qMakePair(quint64(st.st_dev), quint64(st.st_ino));
    return Entry::Regular;
#else
    const QFileInfo info(path);
    if (!info.exists() && !info.isSymLink())
        return Entry::Missing;
    Q_UNUSED(id);
    return info.isFile() && !info.isSymLink() ? Entry::Regular : Entry::Other;
#endif
}

bool sameFileId(const QString &path, QPair<quint64, quint64> *id)
{
#ifdef Q_OS_UNIX
    struct stat st;
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return false;
    *id = qMakePair(quint64(st.st_dev), quint64(st.st_ino));
    return true;
#else
    Q_UNUSED(path);
    Q_UNUSED(id);
    return false;
#endif
}

QString foldedName(const QString &key)
{
    const int slash = int(key.lastIndexOf(QLatin1Char('/')));
    return key.left(slash + 1) + key.mid(slash + 1).toCaseFolded();
}

} // namespace

TargetNamer::TargetNamer(const QStringList &sources)
    : pending(sources)
{
}

QString TargetNamer::targetFileName(const QString &directory, const QString &sourcePath,
                                    const QString &format, int copy)
{
    const QString base = QFileInfo(sourcePath).completeBaseName();
    return directory + QLatin1Char('/')
            + (copy > 1 ? base + QStringLiteral(" (%1)").arg(copy) : base) + QLatin1Char('.')
            + format;
}

QString TargetNamer::pathKey(const QString &path)
{
    const QFileInfo info(path);
    const QString canonical = info.canonicalFilePath();
    if (!canonical.isEmpty())
        return canonical;
    // Not there yet: resolve what can be resolved, the directory.
    const QString dir = QFileInfo(info.absolutePath()).canonicalFilePath();
    if (!dir.isEmpty())
        return QDir::cleanPath(dir + QLatin1Char('/') + info.fileName());
    return QDir::cleanPath(info.absoluteFilePath());
}

bool TargetNamer::foldsCase(const QString &directory)
{
#ifdef Q_OS_UNIX
    // A name of its own for every probe: two batches probing one folder at
    // once must not find each other's probe taken. One left by a crash is
    // cleared with our temporaries.
    const QString probe = TemporaryName::forProbe();
    const QByteArray lower = QFile::encodeName(directory + QLatin1Char('/') + probe);
    const QByteArray upper = QFile::encodeName(directory + QLatin1Char('/') + probe.toUpper());
    const int fd = ::open(lower.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                          0600);
    if (fd < 0)
        return false; // cannot tell; the write will fail or tell itself
    ::close(fd);
    struct stat st;
    const bool folds = ::lstat(upper.constData(), &st) == 0;
    ::unlink(lower.constData());
    return folds;
#else
    Q_UNUSED(directory);
    return true; // Windows volumes fold case
#endif
}

void TargetNamer::protect(const QStringList &paths)
{
    const std::lock_guard<QMutex> guard(pendingLock);
    pending += paths;
}

void TargetNamer::resolvePending()
{
    QStringList paths;
    {
        const std::lock_guard<QMutex> guard(pendingLock);
        paths.swap(pending);
    }
    for (const QString &path : std::as_const(paths)) {
        const QString key = pathKey(path);
        protectedKeys.insert(key);
        protectedFoldedKeys.insert(foldedName(key));
        FileId id;
        if (sameFileId(path, &id))
            protectedIds.insert(id);
    }
}

QString TargetNamer::nameKey(const QString &directoryKey, bool folds,
                             const QString &fileName) const
{
    return directoryKey + QLatin1Char('/') + (folds ? fileName.toCaseFolded() : fileName);
}

bool TargetNamer::isTaken(const QString &path, const QString &key, bool folds) const
{
    if (claimedKeys.contains(key))
        return true;
    if (folds ? protectedFoldedKeys.contains(key) : protectedKeys.contains(key))
        return true;
    FileId id;
    switch (entryAt(path, &id)) {
    case Entry::Missing:
        return false;
    case Entry::Other: // a link, a folder, a FIFO...: never written through
        return true;
    case Entry::Regular:
        return protectedIds.contains(id);
    }
    return false;
}

QString TargetNamer::claim(const QString &directory, const QString &sourcePath,
                           const QString &format, QString *claimedKey)
{
    const std::lock_guard<QMutex> guard(lock);
    resolvePending();

    const QString directoryKey = pathKey(directory);
    auto folds = directoryFolds.find(directoryKey);
    if (folds == directoryFolds.end())
        folds = directoryFolds.insert(directoryKey, QFileInfo(directoryKey).isDir()
                                                            && foldsCase(directoryKey));

    const auto keyOf = [&](const QString &name) {
        return nameKey(directoryKey, *folds, name.mid(directory.size() + 1));
    };
    int copy = 1;
    QString name = targetFileName(directory, sourcePath, format, copy);
    while (isTaken(name, keyOf(name), *folds))
        name = targetFileName(directory, sourcePath, format, ++copy);
    const QString key = keyOf(name);
    claimedKeys.insert(key);
    if (claimedKey)
        *claimedKey = key;
    return name;
}
