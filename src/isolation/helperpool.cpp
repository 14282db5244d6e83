#include "isolation/helperpool.h"

#include "isolation/helperchannel.h"
#include "isolation/sharedimage.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QFileInfo>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

// Helpers kept waiting for work beyond this many are ended.
constexpr int maxIdle = 16;
// How often a waiting request looks at its caller's stop flag.
constexpr int sliceMs = 50;
// Seconds a new helper may take to load its libraries and say it is ready.
constexpr double startSeconds = 20;

bool hungUp(int socket)
{
    pollfd p{socket, POLLIN, 0};
    return ::poll(&p, 1, 0) != 0; // an idle helper has nothing to say
}

} // namespace

HelperPool::HelperPool()
#if defined(PICTAVO_SANITIZE)
    // Sanitized code runs several times slower.
    : timeScale(5.0)
#else
    : timeScale(1.0)
#endif
{
}

HelperPool::~HelperPool()
{
    endAll();
}

HelperPool &HelperPool::instance()
{
    // Never destroyed: workers may still be returning from a request while
    // the program exits; the helpers see their sockets close and go.
    static HelperPool *pool = new HelperPool;
    return *pool;
}

QString HelperPool::helperPath()
{
    const QByteArray given = qgetenv("PICTAVO_HELPER");
    if (!given.isEmpty())
        return QFile::decodeName(given);
    return QCoreApplication::applicationDirPath() + QStringLiteral("/pictavo-helper");
}

bool HelperPool::available() const
{
    const QFileInfo helper(helperPath());
    return helper.isFile() && helper.isExecutable();
}

QList<pid_t> HelperPool::processIds() const
{
    QMutexLocker locker(&lock);
    QList<pid_t> ids;
    for (const Helper &h : idle)
        ids.append(h.pid);
    for (const Helper &h : busy)
        ids.append(h.pid);
    return ids;
}

QList<pid_t> HelperPool::busyProcessIds(const QString &kind) const
{
    QMutexLocker locker(&lock);
    QList<pid_t> ids;
    for (const Helper &h : busy) {
        if (kind.isEmpty() || h.kind == kind)
            ids.append(h.pid);
    }
    return ids;
}

bool HelperPool::start(Helper *helper, QString *why)
{
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) {
        *why = QString::fromLocal8Bit(strerror(errno));
        return false;
    }
    // The helper finds its end as descriptor 3. dup2() onto itself would
    // leave close-on-exec set, so the end is moved out of the way first.
    if (ends[1] == 3) {
        const int moved = ::fcntl(ends[1], F_DUPFD_CLOEXEC, 4);
        ::close(ends[1]);
        ends[1] = moved;
    }
    const QByteArray path = QFile::encodeName(helperPath());
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ends[1], 3);
    char *argv[] = {const_cast<char *>(path.constData()), nullptr};
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, path.constData(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(ends[1]);
    if (rc != 0) {
        ::close(ends[0]);
        *why = QString::fromLocal8Bit(strerror(rc));
        return false;
    }
    helper->pid = pid;
    helper->socket = ends[0];
    // Ready once its libraries are loaded and its sandbox is up.
    pollfd p{helper->socket, POLLIN, 0};
    const int waitMs = int(startSeconds * timeScale.load() * 1000);
    QVariantMap hello;
    int descriptor = -1;
    if (::poll(&p, 1, waitMs) != 1 || HelperChannel::receive(helper->socket, &hello, &descriptor) != 1
        || !hello.value(QStringLiteral("ready")).toBool()) {
        if (descriptor >= 0)
            ::close(descriptor);
        end(*helper);
        *why = QStringLiteral("the helper did not start");
        return false;
    }
    const bool on = hello.value(QStringLiteral("sandboxed")).toBool();
    if (!on && sandboxOn.exchange(false))
        qWarning() << "helper runs without its sandbox:" << hello.value(QStringLiteral("why")).toString();
    if (on)
        sandboxOn.store(true);
    landlockOn.store(on && hello.value(QStringLiteral("landlocked")).toBool());
    return true;
}

HelperPool::Helper HelperPool::lease(const QString &kind, QString *why)
{
    for (;;) {
        Helper helper;
        {
            QMutexLocker locker(&lock);
            if (idle.isEmpty())
                break;
            helper = idle.takeLast();
            helper.kind = kind;
            busy.append(helper);
        }
        if (!hungUp(helper.socket))
            return helper;
        // Died while it waited (or was killed): replaced.
        end(helper);
    }
    Helper helper;
    if (!start(&helper, why))
        return Helper();
    helper.kind = kind;
    QMutexLocker locker(&lock);
    busy.append(helper);
    return helper;
}

void HelperPool::giveBack(const Helper &helper)
{
    QMutexLocker locker(&lock);
    busy.removeIf([&](const Helper &h) { return h.pid == helper.pid; });
    if (idle.size() < maxIdle) {
        idle.append(helper);
        return;
    }
    locker.unlock();
    end(helper);
}

int HelperPool::end(const Helper &helper)
{
    {
        QMutexLocker locker(&lock);
        busy.removeIf([&](const Helper &h) { return h.pid == helper.pid; });
        idle.removeIf([&](const Helper &h) { return h.pid == helper.pid; });
    }
    ::kill(helper.pid, SIGKILL);
    int status = 0;
    while (::waitpid(helper.pid, &status, 0) < 0 && errno == EINTR) {
    }
    ::close(helper.socket);
    return status;
}

void HelperPool::endAll()
{
    ++generation;
    QList<Helper> waiting;
    {
        QMutexLocker locker(&lock);
        waiting = idle;
        idle.clear();
        // Busy ones are killed here and reaped by the thread that waits on
        // them, which sees their socket close.
        for (const Helper &h : std::as_const(busy))
            ::kill(h.pid, SIGKILL);
    }
    for (const Helper &h : std::as_const(waiting))
        end(h);
}

HelperOutcome HelperPool::run(const HelperCall &call)
{
    HelperOutcome outcome;
    if (!available()) {
        outcome.reason = tr("the helper program is missing");
        return outcome;
    }
    QString why;
    const Helper helper = lease(call.kind, &why);
    if (helper.pid < 0) {
        outcome.reason = tr("cannot start the helper program: %1").arg(why);
        return outcome;
    }
    bool reusable = false;
    outcome = converse(helper, call, &reusable);
    if (reusable)
        giveBack(helper);
    else
        end(helper);
    return outcome;
}

HelperOutcome HelperPool::converse(const Helper &helper, const HelperCall &call, bool *reusable)
{
    const int started = generation.load();
    const double scale = timeScale.load();
    double allowed = call.baseSeconds * scale;
    QElapsedTimer clock;
    clock.start();
    HelperOutcome outcome;
    *reusable = false;
    // The allowance grows with the picture once the helper has said how
    // large it is; a message that does not say (a question about the
    // target) keeps what the last one said.
    double megapixels = 0;
    double perMegapixel = call.secondsPerMegapixel;
    const auto limitFor = [&](const QVariantMap &message) {
        if (message.contains(QStringLiteral("pixels")))
            megapixels = message.value(QStringLiteral("pixels")).toDouble() / 1e6;
        // A step may ask a larger allowance than the request's (encoding
        // a large picture takes longer than decoding it), within bounds.
        if (message.contains(QStringLiteral("secondsPerMegapixel")))
            perMegapixel = qBound(call.secondsPerMegapixel,
                                  message.value(QStringLiteral("secondsPerMegapixel")).toDouble(),
                                  4 * call.secondsPerMegapixel);
        return (call.baseSeconds + perMegapixel * megapixels) * scale;
    };
    QVariantMap request = call.params;
    request.insert(QStringLiteral("kind"), call.kind);
    // Long after the window will have given up: the helper's own alarm.
    request.insert(QStringLiteral("watchdog"),
                   int(std::ceil(call.baseSeconds * scale * 4 + 60 + 250 * call.secondsPerMegapixel * scale)));
    QList<int> handed;
    QStringList names;
    if (call.source >= 0) {
        handed << call.source;
        names << QStringLiteral("source");
    }
    int pixels = -1;
    if (!call.image.isNull()) {
        QVariantMap description;
        pixels = SharedImage::put(call.image, &description);
        if (pixels < 0) {
            outcome.status = HelperOutcome::OutOfMemory;
            outcome.reason = tr("needs more memory than the limit");
            *reusable = true;
            return outcome;
        }
        handed << pixels;
        names << QStringLiteral("image");
        request.insert(QStringLiteral("image"), description);
    }
    request.insert(QStringLiteral("descriptors"), names);
    const bool sent = HelperChannel::send(helper.socket, request, handed);
    if (pixels >= 0)
        ::close(pixels);
    if (!sent) {
        outcome.status = HelperOutcome::Crashed;
        outcome.reason = tr("the decoder stopped on this file");
        return outcome;
    }
    for (;;) {
        if ((call.abandoned && call.abandoned()) || generation.load() != started) {
            outcome.status = HelperOutcome::Abandoned;
            outcome.reason = tr("stopped");
            return outcome;
        }
        const qint64 leftMs = qint64(allowed * 1000) - clock.elapsed();
        if (leftMs <= 0) {
            outcome.status = HelperOutcome::TimedOut;
            outcome.seconds = int(std::ceil(allowed));
            outcome.reason = tr("reading took longer than %1 s").arg(outcome.seconds);
            return outcome;
        }
        pollfd p{helper.socket, POLLIN, 0};
        const int polled = ::poll(&p, 1, int(qMin<qint64>(leftMs, sliceMs)));
        if (polled == 0 || (polled < 0 && errno == EINTR))
            continue;
        QVariantMap message;
        QList<int> descriptors;
        if (polled < 0 || HelperChannel::receive(helper.socket, &message, &descriptors) != 1) {
            if (generation.load() != started)
                continue; // ended by endAll(): said as given up, above
            outcome.status = HelperOutcome::Crashed;
            outcome.reason = tr("the decoder stopped on this file");
            return outcome;
        }
        const auto closeAll = [&descriptors]() {
            for (const int fd : std::as_const(descriptors))
                ::close(fd);
            descriptors.clear();
        };
        if (message.value(QStringLiteral("note")).toBool()) {
            closeAll();
            if (call.noted)
                call.noted(message);
            allowed = limitFor(message);
            clock.restart();
            continue;
        }
        if (message.value(QStringLiteral("ask")).toBool()) {
            closeAll();
            const QVariantMap reply = call.answer ? call.answer(message) : QVariantMap();
            if (!HelperChannel::send(helper.socket, reply)) {
                outcome.status = HelperOutcome::Crashed;
                outcome.reason = tr("the decoder stopped on this file");
                return outcome;
            }
            allowed = limitFor(message);
            clock.restart();
            continue;
        }
        // The answer.
        if (message.value(QStringLiteral("outOfMemory")).toBool()) {
            closeAll();
            outcome.status = HelperOutcome::OutOfMemory;
            outcome.reason = tr("needs more memory than the limit");
            // Its heap may be left in pieces: a fresh helper for the next.
            return outcome;
        }
        outcome.status = HelperOutcome::Done;
        const QStringList named = message.value(QStringLiteral("descriptors")).toStringList();
        for (qsizetype i = 0; i < descriptors.size(); ++i) {
            const QString name = named.value(i);
            const int fd = descriptors.at(i);
            if (name == QLatin1String("image") && outcome.image.isNull())
                outcome.image = SharedImage::take(fd, message.value(name).toMap());
            else if (name == QLatin1String("preview") && outcome.preview.isNull())
                outcome.preview = SharedImage::take(fd, message.value(name).toMap());
            else if (name == QLatin1String("bytes") && outcome.bytes.isEmpty())
                outcome.bytes = SharedImage::takeBytes(
                        fd, message.value(QStringLiteral("bytesLength")).toLongLong(),
                        &outcome.bytesMapping);
            else
                ::close(fd);
        }
        // Said but not mapped here: this process is short of address space.
        const bool lost = (named.contains(QStringLiteral("image")) && outcome.image.isNull())
                || (named.contains(QStringLiteral("preview")) && outcome.preview.isNull())
                || (named.contains(QStringLiteral("bytes")) && outcome.bytes.isEmpty());
        if (lost) {
            outcome = HelperOutcome();
            outcome.status = HelperOutcome::OutOfMemory;
            outcome.reason = tr("needs more memory than the limit");
            *reusable = true;
            return outcome;
        }
        for (const QString &key : {QStringLiteral("image"), QStringLiteral("preview"),
                                   QStringLiteral("descriptors"), QStringLiteral("bytesLength")})
            message.remove(key);
        outcome.values = message;
        *reusable = !message.value(QStringLiteral("retire")).toBool();
        return outcome;
    }
}
