#include "fs/sourcefile.h"

#include <QCoreApplication>
#include <QFileInfo>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

QString notRegular()
{
    return QCoreApplication::translate("SourceFile", "not a regular file");
}

#ifdef Q_OS_UNIX
// Qt turns the bytes of a name that is not UTF-8 (a Latin-1 name from an
// old camera or a zip archive) into U+FFFD when it lists a folder, and the
// bytes cannot be had back: such a path names no file. Said as it is, not
// as the system's "No such file or directory". The system's words come in
// the user's language from the C library.
QString missingReason(const QString &path, int error)
{
    if (error == ENOENT && path.contains(QChar::ReplacementCharacter))
        return QCoreApplication::translate("SourceFile", "file name is not valid UTF-8");
    return QString::fromLocal8Bit(std::strerror(error));
}
#endif

} // namespace

SourceFile::SourceFile(const QString &path)
{
#ifdef Q_OS_UNIX
    const QByteArray native = QFile::encodeName(path);
    struct stat st;
    // Looked at before it is opened: opening some devices has effects of
    // its own.
    if (::stat(native.constData(), &st) != 0) {
        error = missingReason(path, errno);
        return;
    }
    if (!S_ISREG(st.st_mode)) {
        error = notRegular();
        return;
    }
    // Non-blocking, so that a FIFO put in its place meanwhile cannot hold
    // us in open(); what was opened is checked again.
    const int fd = ::open(native.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        error = missingReason(path, errno);
        return;
    }
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        error = notRegular();
        ::close(fd);
        return;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        error = file.errorString();
        ::close(fd);
    }
#else
    const QFileInfo info(path);
    if (info.exists() && !info.isFile()) {
        error = notRegular();
        return;
    }
    file.setFileName(path);
    if (!file.open(QIODevice::ReadOnly))
        error = file.errorString();
#endif
}

SourceFile::SourceFile(int descriptor)
{
#ifdef Q_OS_UNIX
    const int fd = descriptor < 0 ? -1 : ::fcntl(descriptor, F_DUPFD_CLOEXEC, 0);
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        error = notRegular();
        if (fd >= 0)
            ::close(fd);
        return;
    }
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        error = file.errorString();
        ::close(fd);
        return;
    }
    // The copy shares its position with the original: reading starts at
    // the start whatever the other side did.
    file.seek(0);
#else
    Q_UNUSED(descriptor);
    error = notRegular();
#endif
}

QByteArray SourceFile::contents(qint64 maxBytes)
{
    if (!file.isOpen())
        return QByteArray();
    const qint64 size = file.size();
    const qint64 wanted = maxBytes < 0 ? size : qMin(size, maxBytes);
    QByteArray bytes;
    const qint64 at = file.pos();
    if (wanted > 0 && file.seek(0))
        bytes = file.read(wanted);
    file.seek(at);
    return bytes;
}
