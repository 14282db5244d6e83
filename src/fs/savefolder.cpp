#include "fs/savefolder.h"

#include "fs/atomicfile.h"
#include "fs/descriptor.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#endif

const char SaveFolder::markName[] = "user.pictavo.results";

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("SaveFolder", text);
}

#ifdef Q_OS_UNIX
void mark(const QString &directory)
{
    // Where the volume holds no extended attributes the folder stays
    // unmarked: its results are only offered again by a later search.
    static const char value[] = "1";
    ::setxattr(QFile::encodeName(directory).constData(), SaveFolder::markName, value,
               sizeof(value) - 1, 0);
}
#endif

} // namespace

QString SaveFolder::make(const QString &directory, bool mayBeLink)
{
    const QFileInfo info(directory);
    if (info.isSymLink() && !mayBeLink) {
        return tr("folder %1 is a link to %2: choose it with the folder button to save there")
                .arg(directory, info.symLinkTarget());
    }
    if (info.isDir())
        return QString();
    if (info.exists() || info.isSymLink())
        return tr("cannot create folder %1: a file has its name").arg(directory);
#ifdef Q_OS_UNIX
    if (::mkdir(QFile::encodeName(directory).constData(), 0777) == 0) {
        mark(directory);
        return QString();
    }
    if (errno == EEXIST)
        return QString();
#else
    if (QDir().mkdir(directory))
        return QString();
    errno = EACCES;
#endif
    return tr("cannot create folder %1: %2").arg(directory, AtomicFile::reasonFor(errno));
}

QString SaveFolder::makeBelow(const QString &directory, const QString &relative)
{
    const QStringList levels = relative.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    for (const QString &level : levels) {
        if (level == QLatin1String(".") || level == QLatin1String(".."))
            return tr("%1 is not a folder below the save folder").arg(relative);
    }
#ifdef Q_OS_UNIX
    Descriptor folder(
            ::open(QFile::encodeName(directory).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder.isOpen())
        return tr("cannot open folder %1: %2").arg(directory, AtomicFile::reasonFor(errno));
    QString reached = directory;
    for (const QString &level : levels) {
        reached += QLatin1Char('/') + level;
        const QByteArray name = QFile::encodeName(level);
        if (::mkdirat(folder.get(), name.constData(), 0777) != 0 && errno != EEXIST)
            return tr("cannot create folder %1: %2").arg(reached, AtomicFile::reasonFor(errno));
        // Opened, never followed: a link in its place is refused, whatever
        // it points at.
        Descriptor next(::openat(folder.get(), name.constData(),
                                 O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next.isOpen()) {
            // Linux says ENOTDIR for a link as well as for a file.
            struct stat st;
            if ((errno == ELOOP || errno == ENOTDIR)
                && ::fstatat(folder.get(), name.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0
                && S_ISLNK(st.st_mode))
                errno = ELOOP;
            if (errno == ELOOP)
                return tr("folder %1 is a link: results are not written through it").arg(reached);
            if (errno == ENOTDIR)
                return tr("cannot create folder %1: a file has its name").arg(reached);
            return tr("cannot open folder %1: %2").arg(reached, AtomicFile::reasonFor(errno));
        }
        folder = std::move(next);
    }
    return QString();
#else
    QString reached = directory;
    for (const QString &level : levels) {
        reached += QLatin1Char('/') + level;
        const QFileInfo info(reached);
        if (info.isSymLink())
            return tr("folder %1 is a link: results are not written through it").arg(reached);
        if (!info.isDir() && !QDir().mkdir(reached))
            return tr("cannot create folder %1: %2").arg(reached, tr("permission denied"));
    }
    return QString();
#endif
}

bool SaveFolder::holdsResults(const QString &directory)
{
#ifdef Q_OS_UNIX
    // lgetxattr: a link to a folder of results is not one.
    return ::lgetxattr(QFile::encodeName(directory).constData(), markName, nullptr, 0) >= 0;
#else
    Q_UNUSED(directory);
    return false;
#endif
}
