#include "isolation/helperlaunch.h"

#include "base/logging.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

// What the libraries read from the environment, by name and by beginning.
const char *const keptNames[] = {
    "LANG", "LANGUAGE", "TZ",
    // Where plug-ins and libraries are, and what Qt should say of them.
    "QT_PLUGIN_PATH", "QT_LOGGING_RULES", "QT_DEBUG_PLUGINS", "LD_LIBRARY_PATH",
    "GDK_PIXBUF_MODULE_FILE", "GDK_PIXBUF_MODULEDIR", "LIBHEIF_PLUGIN_PATH",
    // Sanitizer builds.
    "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "TSAN_OPTIONS",
};
const char *const keptPrefixes[] = {"LC_"};

// Bytes of a helper's stderr read at a time: a pipe's worth.
constexpr int logBytes = 64 * 1024;

// A descriptor moved above 3, close-on-exec: in a window started with
// its standard descriptors closed, a new one may be 0 to 3, where the
// helper's own are put.
int lifted(int fd)
{
    if (fd < 0 || fd > 3)
        return fd;
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 4);
    ::close(fd);
    return moved;
}

void closeAll(std::initializer_list<int> descriptors)
{
    for (const int fd : descriptors) {
        if (fd >= 0)
            ::close(fd);
    }
}

// The helper's stderr: a pipe to the window when the logging category is
// on (sanitizer builds keep the window's, where their reports belong).
bool logPipe(int ends[2])
{
    ends[0] = ends[1] = -1;
#if defined(PICTAVO_SANITIZE)
    return true;
#else
    if (!lcHelper().isDebugEnabled())
        return true;
    if (::pipe2(ends, O_CLOEXEC) != 0)
        return false;
    ends[0] = lifted(ends[0]);
    ends[1] = lifted(ends[1]);
    // Neither waits on the other: a helper writing to a full pipe loses
    // the line, the window reads what is there.
    return ends[0] >= 0 && ends[1] >= 0 && ::fcntl(ends[0], F_SETFL, O_NONBLOCK) == 0
            && ::fcntl(ends[1], F_SETFL, O_NONBLOCK) == 0;
#endif
}

void addStandardDescriptors(posix_spawn_file_actions_t *actions, int log, int socket)
{
    posix_spawn_file_actions_addopen(actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(actions, 1, "/dev/null", O_WRONLY, 0);
#if !defined(PICTAVO_SANITIZE)
    if (log >= 0)
        posix_spawn_file_actions_adddup2(actions, log, 2);
    else
        posix_spawn_file_actions_addopen(actions, 2, "/dev/null", O_WRONLY, 0);
#else
    Q_UNUSED(log);
#endif
    posix_spawn_file_actions_adddup2(actions, socket, 3);
    posix_spawn_file_actions_addchdir_np(actions, "/");
    posix_spawn_file_actions_addclosefrom_np(actions, 4);
}

} // namespace

QList<QByteArray> HelperLaunch::environmentFrom(const char *const *environment)
{
    QList<QByteArray> kept;
    for (const char *const *entry = environment; entry && *entry; ++entry) {
        const QByteArray text(*entry);
        const qsizetype equals = text.indexOf('=');
        if (equals <= 0)
            continue;
        const QByteArray name = text.left(equals);
        bool keep = false;
        for (const char *known : keptNames)
            keep = keep || name == known;
        for (const char *prefix : keptPrefixes)
            keep = keep || name.startsWith(prefix);
        if (keep)
            kept.append(text);
    }
    return kept;
}

bool HelperLaunch::start(const QByteArray &path, Process *process, QString *why)
{
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) {
        *why = QString::fromLocal8Bit(strerror(errno));
        return false;
    }
    ends[0] = lifted(ends[0]);
    ends[1] = lifted(ends[1]);
    int log[2];
    if (ends[0] < 0 || ends[1] < 0 || !logPipe(log)) {
        *why = QString::fromLocal8Bit(strerror(errno));
        closeAll({ends[0], ends[1], log[0], log[1]});
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    addStandardDescriptors(&actions, log[1], ends[1]);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    sigset_t all;
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setflags(&attributes,
                             POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    const QList<QByteArray> kept = environmentFrom(environ);
    std::vector<char *> environment;
    for (const QByteArray &entry : kept)
        environment.push_back(const_cast<char *>(entry.constData()));
    environment.push_back(nullptr);
    char *argv[] = {const_cast<char *>(path.constData()), nullptr};
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, path.constData(), &actions, &attributes, argv,
                                 environment.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    closeAll({ends[1], log[1]});
    if (rc != 0) {
        closeAll({ends[0], log[0]});
        *why = QString::fromLocal8Bit(strerror(rc));
        return false;
    }
    process->pid = pid;
    process->socket = ends[0];
    process->log = log[0];
    return true;
}

void HelperLaunch::drainLog(const Process &process)
{
    if (process.log < 0)
        return;
    QByteArray text(logBytes, Qt::Uninitialized);
    const ssize_t got = ::read(process.log, text.data(), size_t(text.size()));
    if (got <= 0)
        return;
    text.truncate(got);
    // Quoted: a helper's bytes reach a terminal only as escapes.
    for (const QByteArray &line : text.split('\n')) {
        if (!line.isEmpty())
            qCDebug(lcHelper) << "helper" << process.pid << QString::fromUtf8(line);
    }
}
