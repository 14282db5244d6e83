#include "isolation/helperpool.h"

#include "isolation/helperchannel.h"
#include "isolation/helperlaunch.h"
#include "isolation/sharedimage.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QFileInfo>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Helpers kept waiting for work beyond this many are ended.
constexpr int maxIdle = 16;
// How often a waiting request looks at its caller's stop flag.
constexpr int sliceMs = 50;
// Seconds a new helper may take to load its libraries and say it is ready.
constexpr double startSeconds = 20;

// A helper that has had less processor time than its allowance, because
// the machine is busy or it waits on something, gets up to this many times
// its allowance on the clock before it counts as stuck.
constexpr double starvedFactor = 4;

// What the kernel says of a process: the processor time it has had, and
// whether it is stopped (frozen by a signal or a debugger).
struct Usage
{
    double cpuSeconds = 0;
    bool stopped = false;
};

Usage usageOf(pid_t pid)
{
    Usage usage;
    char path[32];
    std::snprintf(path, sizeof path, "/proc/%d/stat", int(pid));
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return usage;
    char text[1024];
    const ssize_t n = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    if (n <= 0)
        return usage;
    text[n] = '\0';
    // The name in parentheses may hold spaces: fields count from the last ')'.
    const char *rest = std::strrchr(text, ')');
    char state = 0;
    unsigned long long user = 0, system = 0;
    if (!rest
        || std::sscanf(rest + 1, " %c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &state,
                       &user, &system) != 3)
        return usage;
    static const double ticks = double(::sysconf(_SC_CLK_TCK));
    usage.cpuSeconds = double(user + system) / ticks;
    usage.stopped = state == 'T' || state == 't';
    return usage;
}

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
    HelperLaunch::Process process;
    if (!HelperLaunch::start(QFile::encodeName(helperPath()), &process, why))
        return false;
    helper->pid = process.pid;
    helper->socket = process.socket;
    helper->log = process.log;
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
    HelperLaunch::drainLog({helper.pid, helper.socket, helper.log});
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
    if (helper.log >= 0) {
        HelperLaunch::drainLog({helper.pid, helper.socket, helper.log});
        ::close(helper.log);
    }
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
    // The allowance is processor time: on a busy machine a photo that
    // takes twenty seconds of work alone may take a minute on the clock,
    // and must not fail for it. The clock still ends a helper that is
    // frozen, or that neither works nor answers for several allowances.
    double cpuAtStart = usageOf(helper.pid).cpuSeconds;
    const auto restartClock = [&]() {
        clock.restart();
        cpuAtStart = usageOf(helper.pid).cpuSeconds;
    };
    const auto pastAllowance = [&]() {
        if (clock.elapsed() < qint64(allowed * 1000))
            return false;
        const Usage now = usageOf(helper.pid);
        return now.stopped || now.cpuSeconds - cpuAtStart >= allowed
                || clock.elapsed() >= qint64(allowed * starvedFactor * 1000);
    };
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
        if (pastAllowance()) {
            outcome.status = HelperOutcome::TimedOut;
            outcome.seconds = int(std::ceil(allowed));
            outcome.reason = tr("reading took longer than %1 s").arg(outcome.seconds);
            return outcome;
        }
        const qint64 leftMs = qMax<qint64>(qint64(allowed * 1000) - clock.elapsed(), 1);
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
            restartClock();
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
            restartClock();
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
