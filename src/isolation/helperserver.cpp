#include "isolation/helperserver.h"

#include "isolation/helperchannel.h"
#include "isolation/sharedimage.h"

#include <limits>

#include <malloc.h>
#include <poll.h>
#include <unistd.h>

namespace {

const QString kindKey = QStringLiteral("kind");

// How long a helper waits for its next request before it gives back the
// memory it kept from the last ones (keepFreedMemory()).
constexpr int idleTrimMs = 1000;

} // namespace

HelperServer::HelperServer(int socket)
    : socket(socket)
{
}

void HelperServer::keepFreedMemory()
{
#ifdef __GLIBC__
    // Every block from the heap, none mapped on its own, and nothing given
    // back when freed: the buffers one photo frees are the next one's,
    // rather than fresh pages the kernel maps and zeroes for each (a
    // tenth of a conversion's time). run() gives them back once no
    // request has come for a second.
    mallopt(M_MMAP_MAX, 0);
    mallopt(M_TRIM_THRESHOLD, std::numeric_limits<int>::max());
#endif
}

void HelperServer::handle(const QString &kind, HelperHandler handler)
{
    handlers.insert(kind, std::move(handler));
}

bool HelperServer::ready(bool sandboxed, bool landlocked, const QString &why)
{
    return HelperChannel::send(socket, {{QStringLiteral("ready"), true},
                                        {QStringLiteral("sandboxed"), sandboxed},
                                        {QStringLiteral("landlocked"), landlocked},
                                        {QStringLiteral("why"), why}});
}

QVariantMap HelperServer::ask(const QVariantMap &question, int watchdogSeconds)
{
    // The window may wait a long time for memory: no alarm meanwhile.
    ::alarm(0);
    QVariantMap answer;
    int descriptor = -1;
    QVariantMap message = question;
    message.insert(QStringLiteral("ask"), true);
    if (!HelperChannel::send(socket, message)
        || HelperChannel::receive(socket, &answer, &descriptor) != 1)
        ::_exit(0); // the window has gone: nothing to answer to
    if (descriptor >= 0)
        ::close(descriptor);
    ::alarm(unsigned(watchdogSeconds));
    return answer;
}

int HelperServer::run()
{
    for (;;) {
        pollfd waiting{socket, POLLIN, 0};
        if (::poll(&waiting, 1, idleTrimMs) == 0) {
#ifdef __GLIBC__
            ::malloc_trim(0);
#endif
        }
        QVariantMap request;
        QList<int> descriptors;
        const int got = HelperChannel::receive(socket, &request, &descriptors);
        if (got <= 0)
            return got == 0 ? 0 : 1;
        // The window ends a request that runs past its time; this alarm,
        // well after that, ends a helper that nobody is waiting for.
        const int watchdog = qMax(1, request.value(QStringLiteral("watchdog"), 600).toInt());
        ::alarm(unsigned(watchdog));
        HelperContext context;
        const QStringList named = request.value(QStringLiteral("descriptors")).toStringList();
        for (qsizetype i = 0; i < descriptors.size(); ++i) {
            const QString name = named.value(i);
            if (name == QLatin1String("source") && context.source < 0)
                context.source = descriptors.at(i);
            else if (name == QLatin1String("image") && context.image.isNull())
                context.image = SharedImage::take(descriptors.at(i),
                                                  request.value(QStringLiteral("image")).toMap());
            else
                ::close(descriptors.at(i));
        }
        context.params = request;
        context.ask = [this, watchdog](const QVariantMap &question) {
            return ask(question, watchdog);
        };
        context.tell = [this, watchdog](const QVariantMap &note) {
            QVariantMap message = note;
            message.insert(QStringLiteral("note"), true);
            HelperChannel::send(socket, message);
            // A new step has its own time.
            ::alarm(unsigned(watchdog));
        };
        HelperAnswer answer;
        const auto handler = handlers.constFind(request.value(kindKey).toString());
        if (handler == handlers.constEnd()) {
            answer.values.insert(QStringLiteral("error"), QStringLiteral("unknown request"));
        } else {
            try {
                answer = (*handler)(context);
            } catch (const std::bad_alloc &) {
                answer = HelperAnswer();
                answer.values.insert(QStringLiteral("outOfMemory"), true);
            }
        }
        context.image = QImage();
        if (context.source >= 0)
            ::close(context.source);
        QList<int> sent;
        QStringList names;
        const auto share = [&](const QString &name, int fd) {
            if (fd < 0) {
                answer.values.insert(QStringLiteral("outOfMemory"), true);
                return;
            }
            sent << fd;
            names << name;
        };
        for (const auto &[name, picture] : {std::pair{QStringLiteral("image"), &answer.image},
                                            std::pair{QStringLiteral("preview"), &answer.preview}}) {
            if (picture->isNull())
                continue;
            QVariantMap description;
            share(name, SharedImage::put(*picture, &description));
            *picture = QImage();
            answer.values.insert(name, description);
        }
        if (!answer.bytes.isEmpty()) {
            share(QStringLiteral("bytes"), SharedImage::putBytes(answer.bytes));
            answer.values.insert(QStringLiteral("bytesLength"), qlonglong(answer.bytes.size()));
            answer.bytes = QByteArray();
        }
        answer.values.insert(QStringLiteral("descriptors"), names);
        answer.values.insert(QStringLiteral("done"), true);
        const bool delivered = HelperChannel::send(socket, answer.values, sent);
        for (const int fd : std::as_const(sent))
            ::close(fd);
        ::alarm(0);
        if (!delivered)
            return 0;
    }
}
