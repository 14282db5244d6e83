#include "isolation/helperpool.h"

#include "isolation/helperconversation.h"
#include "isolation/helperlaunch.h"
#include "isolation/sharedimage.h"

#include <QDebug>
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
    // A relative name is of this process's folder: the helper starts in /.
    const QByteArray given = qgetenv("PICTAVO_HELPER");
    if (!given.isEmpty())
        return QFileInfo(QFile::decodeName(given)).absoluteFilePath();
    return QCoreApplication::applicationDirPath() + QStringLiteral("/pictavo-helper");
}

QString HelperPool::missingText()
{
    return tr("pictavo-helper, the program that reads every image, is missing");
}

bool HelperPool::available() const
{
    const QFileInfo helper(helperPath());
    return helper.isFile() && helper.isExecutable();
}

QString HelperPool::jobName(Protocol::Job job)
{
    switch (job) {
    case Protocol::Job::Decode:
        return QStringLiteral("decode");
    case Protocol::Job::Convert:
        return QStringLiteral("convert");
    case Protocol::Job::Thumbnail:
        return QStringLiteral("thumbnail");
    }
    return QString();
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
    Protocol::Message hello;
    QList<int> descriptors;
    const bool polled = ::poll(&p, 1, waitMs) == 1;
    const int got = polled ? Protocol::receive(helper->socket, &hello, &descriptors) : 0;
    Protocol::closeAll(&descriptors);
    if (got != 1 || hello.kind != Protocol::Kind::Hello
        || hello.hello.version != Protocol::version) {
        end(*helper);
        // A first message of another kind or version is as foreign as
        // one that does not parse.
        *why = got != 0 ? Protocol::nonsense() : QStringLiteral("the helper did not start");
        return false;
    }
    const bool on = hello.hello.sandboxed;
    if (!on && sandboxOn.exchange(false))
        qWarning() << "helper runs without its sandbox:" << hello.hello.why;
    if (on)
        sandboxOn.store(true);
    landlockOn.store(on && hello.hello.landlocked);
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
        outcome.reason = missingText();
        return outcome;
    }
    QString why;
    const Helper helper = lease(jobName(call.request.job), &why);
    if (helper.pid < 0 && why == Protocol::nonsense()) {
        outcome.status = HelperOutcome::Nonsense;
        outcome.reason = why;
        return outcome;
    }
    if (helper.pid < 0) {
        outcome.reason = tr("cannot start the helper program: %1").arg(why);
        return outcome;
    }
    bool reusable = false;
    const int started = generation.load();
    HelperConversation conversation(helper.pid, helper.socket, call, timeScale.load(),
                                    [this, started]() { return generation.load() != started; });
    outcome = conversation.run(&reusable);
    if (reusable)
        giveBack(helper);
    else
        end(helper);
    return outcome;
}

