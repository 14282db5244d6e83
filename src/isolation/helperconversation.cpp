#include "isolation/helperconversation.h"

#include "base/conversionresult.h"
#include "isolation/sharedimage.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

using Step = ConversionResult::Step;

// How often a waiting request looks at its caller's stop flag.
constexpr int sliceMs = 50;

// A helper that has had less processor time than its allowance, because
// it waits on something, gets up to this many times its allowance on the
// clock before it counts as stuck; one that is ready to run but starved of
// a processor by a busy machine, up to the second factor. Neither moves.
constexpr double waitingFactor = 4;
constexpr double starvedFactor = 16;

// What the kernel says of a process: the processor time it has had, and
// whether it is stopped (frozen by a signal or a debugger).
struct Usage
{
    double cpuSeconds = 0;
    bool stopped = false;
    bool runnable = false;
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
    usage.runnable = state == 'R';
    return usage;
}

} // namespace

HelperConversation::HelperConversation(pid_t pid, int socket, const HelperCall &call,
                                       double timeScale, std::function<bool()> gone)
    : pid(pid), socket(socket), call(call), scale(timeScale), gone(std::move(gone))
{
    known.request = call.request;
    known.step = quint8(Step::Decode);
    perMegapixel = call.secondsPerMegapixel;
    allowed = call.baseSeconds * scale;
}

HelperOutcome HelperConversation::ended(HelperOutcome::Status status, const QString &reason) const
{
    HelperOutcome outcome;
    outcome.status = status;
    outcome.reason = reason;
    if (status == HelperOutcome::TimedOut) {
        outcome.seconds = int(std::ceil(allowed));
        outcome.reason = tr("reading took longer than %1 s").arg(outcome.seconds);
    }
    return outcome;
}

void HelperConversation::sized(qint64 pixels)
{
    if (known.stepPixelsSaid || pixels <= 0)
        return;
    known.stepPixelsSaid = true;
    const double megapixels = double(Validator::timedPixels(pixels)) / 1e6;
    allowed = (call.baseSeconds + perMegapixel * megapixels) * scale;
}

bool HelperConversation::pastDeadline() const
{
    // The allowance is processor time: on a busy machine a photo that
    // takes twenty seconds of work alone may take a minute on the clock,
    // and must not fail for it. The clock still ends a helper that is
    // frozen, or that neither works nor answers for several allowances.
    const qint64 working = clock.elapsed() - pausedMs;
    if (working < qint64(allowed * 1000))
        return false;
    const Usage now = usageOf(pid);
    const double factor = now.runnable ? starvedFactor : waitingFactor;
    return now.stopped || now.cpuSeconds - cpuAtStart >= allowed
            || working >= qint64(allowed * factor * 1000);
}

bool HelperConversation::sendRequest(HelperOutcome *outcome, bool *reusable)
{
    Protocol::Request request = call.request;
    // Long after the window will have given up: the helper's own alarm.
    request.watchdogSeconds = int(std::ceil(call.baseSeconds * scale * 4 + 60
                                            + 250 * call.secondsPerMegapixel * scale));
    request.hasSource = call.source >= 0;
    request.hasImage = !call.image.isNull();
    QList<int> handed;
    if (request.hasSource)
        handed << call.source;
    int pixels = -1;
    if (request.hasImage) {
        pixels = SharedImage::put(call.image, SharedImage::Towards::Helper, &request.image);
        if (pixels < 0) {
            *outcome = ended(HelperOutcome::OutOfMemory, tr("needs more memory than the limit"));
            *reusable = true;
            return false;
        }
        handed << pixels;
        known.handedPixels = qint64(call.image.width()) * call.image.height();
    }
    request.hasCached = call.cached >= 0;
    request.hasFailMark = call.failMark >= 0;
    if (request.hasCached)
        handed << call.cached;
    if (request.hasFailMark)
        handed << call.failMark;
    known.request = request;
    const bool sent = Protocol::send(socket, request, handed);
    if (pixels >= 0)
        ::close(pixels);
    if (!sent)
        *outcome = ended(HelperOutcome::Crashed, tr("the decoder stopped on this file"));
    return sent;
}

HelperConversation::Heard HelperConversation::answerQuestion(const Protocol::Question &question)
{
    if (!Validator::question(question, known))
        return Heard::Refused;
    QElapsedTimer answering;
    answering.start();
    Protocol::Reply reply;
    if (question.what == Protocol::Question::Target) {
        known.targetAsked = true;
        known.shown = QSize(question.shownWidth, question.shownHeight);
        known.target = call.target ? call.target(known.shown) : QSize();
        reply.targetWidth = known.target.width();
        reply.targetHeight = known.target.height();
    } else {
        const qint64 cost = Validator::admissionCost(question, known);
        known.admitAsked = true;
        known.admittedPixels = question.pixels;
        reply.yes = cost >= 0 && (!call.admit || call.admit(cost));
        sized(question.pixels);
    }
    pausedMs += answering.elapsed();
    // A helper that died after asking is a crash like any other.
    return Protocol::send(socket, reply) ? Heard::Fine : Heard::Gone;
}

bool HelperConversation::hearNote(const Protocol::Note &note)
{
    if (!Validator::note(note, known))
        return false;
    if (note.step == quint8(Step::Encode)) {
        // A step of its own, with its own time from now.
        known.step = note.step;
        known.stepPixelsSaid = false;
        perMegapixel = call.secondsPerMegapixel;
        if (note.msPerMegapixel > 0)
            perMegapixel = qBound(call.secondsPerMegapixel, note.msPerMegapixel / 1000.0,
                                  4 * call.secondsPerMegapixel);
        allowed = call.baseSeconds * scale;
        clock.restart();
        pausedMs = 0;
        cpuAtStart = usageOf(pid).cpuSeconds;
    }
    sized(note.pixels);
    if (call.noted)
        call.noted(note);
    return true;
}

void HelperConversation::answered(const Protocol::Answer &answer, QList<int> *descriptors,
                                  HelperOutcome *outcome, bool *reusable)
{
    if (!Validator::answer(answer, known, int(descriptors->size()))) {
        *outcome = ended(HelperOutcome::Nonsense, Protocol::nonsense());
        return;
    }
    if (answer.status == Protocol::Answer::UnknownJob) {
        *outcome = ended(HelperOutcome::Nonsense, Protocol::nonsense());
        return;
    }
    if (answer.status == Protocol::Answer::OutOfMemory) {
        // Its heap may be left in pieces: a fresh helper for the next.
        *outcome = ended(HelperOutcome::OutOfMemory, tr("needs more memory than the limit"));
        return;
    }
    qsizetype next = 0;
    outcome->status = HelperOutcome::Done;
    bool refused[3] = {false, false, false};
    if (answer.hasImage)
        outcome->image = SharedImage::take(descriptors->at(next++), answer.image,
                                           Validator::imageBox(known), &refused[0]);
    if (answer.hasPreview)
        outcome->preview = SharedImage::take(descriptors->at(next++), answer.preview,
                                             Validator::previewBox(known), &refused[1]);
    if (answer.bytesLength > 0)
        outcome->bytes = SharedImage::takeBytes(descriptors->at(next++), answer.bytesLength,
                                                &outcome->bytesMapping, &refused[2]);
    descriptors->clear(); // each taken, and closed
    // Unsealed, shorter than said, or not the layout said: nonsense.
    if (refused[0] || refused[1] || refused[2]) {
        *outcome = ended(HelperOutcome::Nonsense, Protocol::nonsense());
        return;
    }
    // Said but not mapped here: this process is short of address space.
    if ((answer.hasImage && outcome->image.isNull())
        || (answer.hasPreview && outcome->preview.isNull())
        || (answer.bytesLength > 0 && outcome->bytes.isEmpty())) {
        *outcome = ended(HelperOutcome::OutOfMemory, tr("needs more memory than the limit"));
        *reusable = true;
        return;
    }
    outcome->values = answer;
    *reusable = !answer.retire;
}

HelperConversation::Next HelperConversation::take(HelperOutcome *outcome, bool *reusable)
{
    Protocol::Message message;
    QList<int> descriptors;
    const int got = Protocol::receive(socket, &message, &descriptors);
    if (got == 0 || (got < 0 && gone())) {
        *outcome = ended(HelperOutcome::Crashed, tr("the decoder stopped on this file"));
        return Next::Over;
    }
    if (got < 0) {
        *outcome = ended(HelperOutcome::Nonsense, Protocol::nonsense());
        return Next::Over;
    }
    Heard heard = Heard::Refused;
    switch (message.kind) {
    case Protocol::Kind::Question:
        if (descriptors.isEmpty())
            heard = answerQuestion(message.question);
        break;
    case Protocol::Kind::Note:
        if (descriptors.isEmpty() && hearNote(message.note))
            heard = Heard::Fine;
        break;
    case Protocol::Kind::Answer:
        answered(message.answer, &descriptors, outcome, reusable);
        Protocol::closeAll(&descriptors);
        return Next::Over;
    default:
        break;
    }
    Protocol::closeAll(&descriptors);
    if (heard == Heard::Fine)
        return Next::More;
    if (heard == Heard::Gone)
        *outcome = ended(HelperOutcome::Crashed, tr("the decoder stopped on this file"));
    else
        *outcome = ended(HelperOutcome::Nonsense, Protocol::nonsense());
    return Next::Over;
}

HelperOutcome HelperConversation::run(bool *reusable)
{
    HelperOutcome outcome;
    *reusable = false;
    clock.start();
    cpuAtStart = usageOf(pid).cpuSeconds;
    if (!sendRequest(&outcome, reusable))
        return outcome;
    for (;;) {
        if ((call.abandoned && call.abandoned()) || gone())
            return ended(HelperOutcome::Abandoned, tr("stopped"));
        if (pastDeadline())
            return ended(HelperOutcome::TimedOut, QString());
        const qint64 leftMs = qMax<qint64>(qint64(allowed * 1000) - (clock.elapsed() - pausedMs), 1);
        pollfd p{socket, POLLIN, 0};
        const int polled = ::poll(&p, 1, int(qMin<qint64>(leftMs, sliceMs)));
        if (polled == 0 || (polled < 0 && errno == EINTR))
            continue;
        if (polled < 0)
            return ended(HelperOutcome::Crashed, tr("the decoder stopped on this file"));
        if (take(&outcome, reusable) == Next::Over) {
            if (outcome.status == HelperOutcome::Crashed && gone())
                continue; // ended by endAll(): said as given up, above
            return outcome;
        }
    }
}
