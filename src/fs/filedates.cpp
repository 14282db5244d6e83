#include "fs/filedates.h"

#include "fs/atomicfile.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/stat.h>
#endif

#include <cerrno>

namespace {

// The coarsest modification time a volume keeps: FAT's two seconds.
constexpr qint64 granularitySeconds = 2;

QString tr(const char *text)
{
    return QCoreApplication::translate("FileDates", text);
}

} // namespace

FileDates FileDates::of(const QString &path)
{
    FileDates dates;
#ifdef Q_OS_UNIX
    struct stat st;
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return dates;
    dates.modified = {qint64(st.st_mtim.tv_sec), long(st.st_mtim.tv_nsec)};
    dates.accessed = {qint64(st.st_atim.tv_sec), long(st.st_atim.tv_nsec)};
#else
    const QFileInfo info(path);
    if (!info.exists())
        return dates;
    const qint64 modifiedMs = info.lastModified().toMSecsSinceEpoch();
    const qint64 accessedMs = info.lastRead().toMSecsSinceEpoch();
    dates.modified = {modifiedMs / 1000, long(modifiedMs % 1000) * 1000000};
    dates.accessed = {accessedMs / 1000, long(accessedMs % 1000) * 1000000};
#endif
    dates.valid = true;
    return dates;
}

QString FileDates::applyTo(const QString &path) const
{
    if (!valid)
        return tr("the original's dates could not be read");
#ifdef Q_OS_UNIX
    const QByteArray name = QFile::encodeName(path);
    struct timespec times[2];
    times[0].tv_sec = time_t(accessed.seconds);
    times[0].tv_nsec = accessed.nanoseconds;
    times[1].tv_sec = time_t(modified.seconds);
    times[1].tv_nsec = modified.nanoseconds;
    if (::utimensat(AT_FDCWD, name.constData(), times, AT_SYMLINK_NOFOLLOW) != 0)
        return AtomicFile::reasonFor(errno);
    // Some volumes take any date and keep another one.
    struct stat st;
    if (::lstat(name.constData(), &st) != 0)
        return AtomicFile::reasonFor(errno);
    const qint64 kept = qint64(st.st_mtim.tv_sec);
#else
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite)
        || !file.setFileTime(QDateTime::fromSecsSinceEpoch(modified.seconds),
                             QFileDevice::FileModificationTime))
        return file.errorString();
    file.setFileTime(QDateTime::fromSecsSinceEpoch(accessed.seconds), QFileDevice::FileAccessTime);
    file.close();
    const qint64 kept = QFileInfo(path).lastModified().toSecsSinceEpoch();
#endif
    if (qAbs(kept - modified.seconds) > granularitySeconds) {
        return tr("the volume cannot hold the date %1")
                .arg(QDateTime::fromSecsSinceEpoch(modified.seconds, Qt::UTC)
                             .toString(Qt::ISODate));
    }
    return QString();
}
