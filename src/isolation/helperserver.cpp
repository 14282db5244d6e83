#include "isolation/helperserver.h"

#include "isolation/helperchannel.h"
#include "isolation/sharedimage.h"

#include <unistd.h>

namespace {

const QString kindKey = QStringLiteral("kind");

} // namespace

HelperServer::HelperServer(int socket)
    : socket(socket)
{
}

void HelperServer::handle(const QString &kind, HelperHandler handler)
{
    handlers.insert(kind, std::move(handler));
}

bool HelperServer::ready(bool sandboxed, const QString &why)
{
    return HelperChannel::send(socket, {{QStringLiteral("ready"), true},
                                        {QStringLiteral("sandboxed"), sandboxed},
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
        QVariantMap request;
        int source = -1;
        const int got = HelperChannel::receive(socket, &request, &source);
        if (got <= 0)
            return got == 0 ? 0 : 1;
        // The window ends a request that runs past its time; this alarm,
        // well after that, ends a helper that nobody is waiting for.
        const int watchdog = qMax(1, request.value(QStringLiteral("watchdog"), 600).toInt());
        ::alarm(unsigned(watchdog));
        HelperContext context;
        context.source = source;
        context.params = request;
        context.ask = [this, watchdog](const QVariantMap &question) {
            return ask(question, watchdog);
        };
        context.tell = [this](const QVariantMap &note) {
            QVariantMap message = note;
            message.insert(QStringLiteral("note"), true);
            HelperChannel::send(socket, message);
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
        if (source >= 0)
            ::close(source);
        int pixels = -1;
        if (!answer.image.isNull()) {
            QVariantMap description;
            pixels = SharedImage::put(answer.image, &description);
            answer.image = QImage();
            if (pixels >= 0)
                answer.values.insert(QStringLiteral("image"), description);
            else
                answer.values.insert(QStringLiteral("outOfMemory"), true);
        }
        answer.values.insert(QStringLiteral("done"), true);
        const bool sent = HelperChannel::send(socket, answer.values, pixels);
        if (pixels >= 0)
            ::close(pixels);
        ::alarm(0);
        if (!sent)
            return 0;
    }
}
