#include "fs/atomicfile.h"

#include "base/temporaryname.h"
#include "fs/descriptor.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cerrno>
#include <cstring>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

#ifdef Q_OS_UNIX
bool writeAll(int fd, const QByteArray &bytes)
{
    const char *data = bytes.constData();
    qint64 left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, data, size_t(qMin<qint64>(left, 1 << 30)));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = ENOSPC; // the device took nothing: it is full
            return false;
        }
        data += n;
        left -= n;
    }
    return true;
}

bool processRuns(qint64 pid)
{
    return pid > 0 && (::kill(pid_t(pid), 0) == 0 || errno == EPERM);
}
#endif

} // namespace

QString AtomicFile::reasonFor(int error)
{
    switch (error) {
    case ENOSPC:
#ifdef EDQUOT
    case EDQUOT:
#endif
        return QCoreApplication::translate("AtomicFile", "disk full");
    case EACCES:
    case EPERM:
        return QCoreApplication::translate("AtomicFile", "permission denied");
    case EROFS:
        return QCoreApplication::translate("AtomicFile", "read-only file system");
    case ENAMETOOLONG:
        return QCoreApplication::translate("AtomicFile", "file name too long");
    case ENOENT:
        return QCoreApplication::translate("AtomicFile", "folder not found");
    default:
        return QString::fromLocal8Bit(std::strerror(error));
    }
}

#ifdef Q_OS_UNIX
int AtomicFile::writeInto(int directory, const QByteArray &name, const QByteArray &bytes,
                          const Options &options, const std::function<bool()> &mayCommit)
{
    const QByteArray temporary = QFile::encodeName(TemporaryName::forWrite());
    Descriptor file(::openat(directory, temporary.constData(),
                             O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, options.mode));
    if (!file.isOpen())
        return errno;
    const auto fail = [&](int error) {
        ::unlinkat(directory, temporary.constData(), 0);
        return error;
    };
    // Some file systems report a full disk only when the data is flushed
    // or the file closed.
    if (!writeAll(file.get(), bytes) || (options.durable && ::fsync(file.get()) != 0))
        return fail(errno);
    if (::close(file.release()) != 0)
        return fail(errno);
    if (mayCommit && !mayCommit())
        return fail(ECANCELED);
    if (::renameat(directory, temporary.constData(), directory, name.constData()) != 0)
        return fail(errno);
    return 0;
}

QString AtomicFile::write(const QByteArray &bytes, const QString &fileName,
                          const std::function<bool()> &mayCommit)
{
    const QFileInfo info(fileName);
    const QByteArray name = QFile::encodeName(info.fileName());
    // Everything is done relative to the folder, opened once: the file and
    // its temporary are both made in it, whatever its path turns into.
    const Descriptor dir(::open(QFile::encodeName(info.path()).constData(),
                                O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir.isOpen())
        return reasonFor(errno);
    // A name the rename cannot take is refused before any work.
    if (name.size() > NAME_MAX)
        return reasonFor(ENAMETOOLONG);
    const int error = writeInto(dir.get(), name, bytes, Options{0666, true}, mayCommit);
    if (error == ECANCELED)
        return QCoreApplication::translate("AtomicFile",
                                           "a later conversion has written this file");
    return error ? reasonFor(error) : QString();
}

int AtomicFile::removeStale(const QString &directory)
{
    const Descriptor dir(::open(QFile::encodeName(directory).constData(),
                                O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir.isOpen())
        return 0;
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    int removed = 0;
    const QStringList names = QDir(directory).entryList(
            {QStringLiteral(".pictavo-*")}, QDir::Files | QDir::Hidden | QDir::System);
    for (const QString &entry : names) {
        qint64 pid = 0;
        if (!TemporaryName::isOurs(entry, &pid) || pid == QCoreApplication::applicationPid())
            continue;
        // A temporary lives for the few seconds its file takes to write,
        // and is written to all along: one untouched for an hour is left
        // over. Younger ones may belong to a run on another machine that
        // shares the folder, where a process number says nothing; and a
        // process that still runs here may have been given the number of
        // the one that made it, so only a day settles those.
        const QByteArray name = QFile::encodeName(entry);
        struct stat st;
        if (::fstatat(dir.get(), name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0
            || !S_ISREG(st.st_mode))
            continue;
        const qint64 age = now - qint64(st.st_mtime);
        if (age < 3600 || (processRuns(pid) && age < 24 * 3600))
            continue;
        if (::unlinkat(dir.get(), name.constData(), 0) == 0)
            ++removed;
    }
    return removed;
}
#else
QString AtomicFile::write(const QByteArray &bytes, const QString &fileName,
                          const std::function<bool()> &mayCommit)
{
    QSaveFile file(fileName);
    if (!file.open(QIODevice::WriteOnly))
        return file.errorString();
    if (file.write(bytes) != bytes.size() || !file.flush()) {
        file.cancelWriting();
        return QCoreApplication::translate("AtomicFile", "disk full");
    }
    if (mayCommit && !mayCommit()) {
        file.cancelWriting();
        return QCoreApplication::translate("AtomicFile",
                                           "a later conversion has written this file");
    }
    if (!file.commit())
        return file.errorString();
    return QString();
}

int AtomicFile::removeStale(const QString &)
{
    return 0;
}
#endif
