#include "isolation/helperserver.h"

#include "isolation/protocol.h"
#include "isolation/sharedimage.h"

#include <limits>

#include <malloc.h>
#include <poll.h>
#include <unistd.h>

namespace {

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

void HelperServer::handle(Protocol::Job job, HelperHandler handler)
{
    handlers.insert(int(job), std::move(handler));
}

bool HelperServer::ready(bool sandboxed, bool landlocked, const QString &why)
{
    Protocol::Hello hello;
    hello.sandboxed = sandboxed;
    hello.landlocked = landlocked;
    hello.why = why;
    return Protocol::send(socket, hello);
}

Protocol::Reply HelperServer::ask(const Protocol::Question &question, int watchdogSeconds)
{
    // The window may wait a long time for memory: no alarm meanwhile.
    ::alarm(0);
    Protocol::Message reply;
    QList<int> descriptors;
    if (!Protocol::send(socket, question)
        || Protocol::receive(socket, &reply, &descriptors) != 1 || reply.kind != Protocol::Kind::Reply)
        ::_exit(0); // the window has gone: nothing to answer to
    Protocol::closeAll(&descriptors);
    ::alarm(unsigned(watchdogSeconds));
    return reply.reply;
}

bool HelperServer::answer(HelperAnswer &answer)
{
    QList<int> sent;
    Protocol::Answer &values = answer.values;
    const auto share = [&](int fd) {
        if (fd < 0) {
            values.status = Protocol::Answer::OutOfMemory;
            return false;
        }
        sent << fd;
        return true;
    };
    if (!answer.image.isNull())
        values.hasImage = share(SharedImage::put(answer.image, SharedImage::Towards::Window,
                                                 &values.image));
    answer.image = QImage();
    if (!answer.preview.isNull())
        values.hasPreview = share(SharedImage::put(answer.preview, SharedImage::Towards::Window,
                                                   &values.preview));
    answer.preview = QImage();
    if (!answer.bytes.isEmpty() && share(SharedImage::putBytes(answer.bytes)))
        values.bytesLength = answer.bytes.size();
    answer.bytes = QByteArray();
    // Texts cut to what the window takes.
    const auto cut = [](QString *text) {
        while (text->toUtf8().size() > Protocol::maxTextBytes)
            text->chop(qMax<qsizetype>(1, text->size() / 8));
    };
    cut(&values.reason);
    cut(&values.encodeFailure);
    for (QStringList *list : {&values.warnings, &values.encodeWarnings}) {
        if (list->size() > Protocol::maxWarnings)
            list->resize(Protocol::maxWarnings);
        for (QString &text : *list)
            cut(&text);
    }
    const bool delivered = Protocol::send(socket, values, sent);
    for (const int fd : std::as_const(sent))
        ::close(fd);
    return delivered;
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
        Protocol::Message message;
        QList<int> descriptors;
        const int got = Protocol::receive(socket, &message, &descriptors);
        if (got <= 0)
            return got == 0 ? 0 : 1;
        if (message.kind != Protocol::Kind::Request) {
            Protocol::closeAll(&descriptors);
            return 1;
        }
        const Protocol::Request &request = message.request;
        // The window ends a request that runs past its time; this alarm,
        // well after that, ends a helper that nobody is waiting for.
        const int watchdog = qBound(1, request.watchdogSeconds, 24 * 3600);
        ::alarm(unsigned(watchdog));
        HelperContext context;
        context.request = request;
        qsizetype next = 0;
        if (request.hasSource && next < descriptors.size())
            context.source = descriptors.at(next++);
        if (request.hasImage && next < descriptors.size())
            context.image = SharedImage::takeHanded(descriptors.at(next++), request.image);
        if (request.hasCached && next < descriptors.size())
            context.cached = descriptors.at(next++);
        if (request.hasFailMark && next < descriptors.size())
            context.failMark = descriptors.at(next++);
        for (; next < descriptors.size(); ++next)
            ::close(descriptors.at(next));
        context.target = [this, watchdog](const QSize &shown) {
            Protocol::Question question;
            question.what = Protocol::Question::Target;
            question.shownWidth = shown.width();
            question.shownHeight = shown.height();
            const Protocol::Reply reply = ask(question, watchdog);
            return QSize(reply.targetWidth, reply.targetHeight);
        };
        context.admit = [this, watchdog](qint64 bytes, qint64 pixels) {
            Protocol::Question question;
            question.what = Protocol::Question::Admit;
            question.bytes = bytes;
            question.pixels = pixels;
            return ask(question, watchdog).yes;
        };
        context.tell = [this, watchdog](const Protocol::Note &note) {
            Protocol::send(socket, note);
            // A new step has its own time.
            ::alarm(unsigned(watchdog));
        };
        HelperAnswer answer;
        const auto handler = handlers.constFind(int(request.job));
        if (handler == handlers.constEnd()) {
            answer.values.status = Protocol::Answer::UnknownJob;
        } else {
            try {
                answer = (*handler)(context);
            } catch (const std::bad_alloc &) {
                answer = HelperAnswer();
                answer.values.status = Protocol::Answer::OutOfMemory;
            }
        }
        context.image = QImage();
        for (const int fd : {context.source, context.cached, context.failMark}) {
            if (fd >= 0)
                ::close(fd);
        }
        const bool delivered = this->answer(answer);
        ::alarm(0);
        if (!delivered)
            return 0;
    }
}
