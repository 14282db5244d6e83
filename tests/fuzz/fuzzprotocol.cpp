// Mutation fuzzing of the window's receiving side of the helper protocol,
// meant to run under ASan+UBSan (scripts/fuzz.sh builds and runs it beside
// pictavo_fuzz). Each round makes a short exchange a helper might send:
// questions, notes and an answer with pictures, previews and encoded files
// in memfds of every seal and size, each frame possibly damaged (flipped
// bits, edge values, cuts, inserted runs, another frame's bytes), and plays
// it to a HelperConversation over a socket pair in this process, which
// checks, answers and takes what it can. A raw buffer also goes to
// Protocol::decode alone. Every round ends; what is not understood fails
// as nonsense, and no descriptor is left open.
//
// A crash is the sanitizer's report; the round is reproduced by the same
// seed. A round that takes longer than the hang limit ends the run with
// status 1; descriptors left open after a round end it with status 1.
//
// usage: pictavo_fuzz_protocol SECONDS [SEED] [OUT-DIR]

#include "isolation/helperconversation.h"
#include "isolation/protocol.h"
#include "isolation/validator.h"

#include <QCoreApplication>
#include <QDir>
#include <QRandomGenerator>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr int hangSeconds = 30;

qint64 pick(QRandomGenerator &random, std::initializer_list<qint64> values)
{
    const qint64 *all = values.begin();
    return all[random.bounded(quint32(values.size()))];
}

// A number near a bound more often than not.
qint64 number(QRandomGenerator &random)
{
    switch (random.bounded(4)) {
    case 0:
        return pick(random, {0, 1, -1, 12, 64, 127, 128, 129, 4096, 65535, 65536, 0x7fffffff,
                             -0x80000000LL, qint64(1) << 32, (qint64(1) << 32) + 1,
                             std::numeric_limits<qint64>::max(), std::numeric_limits<qint64>::min()});
    case 1:
        return qint64(random.bounded(200));
    case 2:
        return qint64(random.generate());
    default:
        return qint64(random.generate64());
    }
}

Protocol::Picture picture(QRandomGenerator &random)
{
    Protocol::Picture p;
    p.width = random.bounded(3) ? qint32(1 + random.bounded(160)) : qint32(number(random));
    p.height = random.bounded(3) ? qint32(1 + random.bounded(160)) : qint32(number(random));
    p.format = random.bounded(4) ? quint8(pick(random, {4, 5, 6, 24, 25, 26, 28})) : quint8(random.bounded(256));
    p.bytesPerLine = random.bounded(3) ? qint64(p.width) * 4 + qint64(random.bounded(2)) * 4 : number(random);
    p.extraBytes = random.bounded(3) ? 12 : quint32(number(random));
    return p;
}

// A memfd for a picture or file of about the size said, with seals that
// are all there most of the time.
int memfd(QRandomGenerator &random, qint64 size)
{
    const int fd = ::memfd_create("fuzz", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd < 0)
        return -1;
    qint64 length = size;
    if (random.bounded(4) == 0)
        length = qint64(random.bounded(1 << 20));
    if (length < 0 || length > (qint64(8) << 30))
        length = 4096;
    (void)::ftruncate(fd, length);
    int seals = F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE;
    if (random.bounded(4) == 0)
        seals &= int(random.bounded(16));
    ::fcntl(fd, F_ADD_SEALS, seals);
    return fd;
}

qint64 sizeOf(const Protocol::Picture &p)
{
    qint64 rows = 0;
    if (__builtin_mul_overflow(qint64(p.height), p.bytesPerLine, &rows) || rows < 0
        || __builtin_add_overflow(rows, qint64(p.extraBytes), &rows))
        return 4096;
    return rows;
}

void mutate(QByteArray *frame, QRandomGenerator &random, const QList<QByteArray> &others)
{
    const int edits = 1 + int(random.bounded(4));
    for (int e = 0; e < edits && !frame->isEmpty(); ++e) {
        const qsizetype at = qsizetype(random.bounded(quint32(frame->size())));
        switch (random.bounded(6)) {
        case 0:
            (*frame)[at] = char(quint8((*frame)[at]) ^ (1u << random.bounded(8)));
            break;
        case 1:
            (*frame)[at] = char(pick(random, {0, 1, 2, 0x7f, 0x80, 0xfe, 0xff}));
            break;
        case 2:
            frame->truncate(at);
            break;
        case 3:
            frame->insert(at, QByteArray(int(random.bounded(64)), char(random.bounded(256))));
            break;
        case 4:
            if (!others.isEmpty()) {
                const QByteArray &other = others.at(qsizetype(random.bounded(quint32(others.size()))));
                frame->insert(at, other.left(int(random.bounded(quint32(other.size() + 1)))));
            }
            break;
        default:
            frame->remove(at, qsizetype(random.bounded(8)));
            break;
        }
    }
}

struct Sent
{
    QByteArray frame;
    QList<int> descriptors;
};

Sent answer(QRandomGenerator &random)
{
    Protocol::Answer a;
    a.status = Protocol::Answer::Status(random.bounded(3) ? 0 : random.bounded(4));
    a.step = quint8(random.bounded(3) ? 0 : random.bounded(12));
    a.reason = QString(int(random.bounded(40)), QLatin1Char('r'));
    for (int i = int(random.bounded(4)); i > 0; --i)
        a.warnings << QStringLiteral("warning");
    if (random.bounded(3) == 0) {
        a.shownWidth = qint32(number(random));
        a.shownHeight = qint32(number(random));
    }
    a.retire = random.bounded(4) == 0;
    Sent sent;
    a.hasImage = random.bounded(2);
    if (a.hasImage) {
        a.image = picture(random);
        sent.descriptors << memfd(random, sizeOf(a.image));
    }
    a.hasPreview = random.bounded(3) == 0;
    if (a.hasPreview) {
        a.preview = picture(random);
        sent.descriptors << memfd(random, sizeOf(a.preview));
    }
    if (random.bounded(3) == 0) {
        a.bytesLength = random.bounded(2) ? qint64(1 + random.bounded(1 << 20)) : number(random);
        sent.descriptors << memfd(random, a.bytesLength);
    }
    if (random.bounded(8) == 0 && !sent.descriptors.isEmpty())
        ::close(sent.descriptors.takeLast());
    sent.frame = Protocol::encode(a);
    return sent;
}

Sent message(QRandomGenerator &random)
{
    Sent sent;
    switch (random.bounded(5)) {
    case 0:
    case 1: {
        Protocol::Question q;
        q.what = random.bounded(2) ? Protocol::Question::Target : Protocol::Question::Admit;
        q.shownWidth = qint32(random.bounded(2) ? 1 + random.bounded(8000) : number(random));
        q.shownHeight = qint32(random.bounded(2) ? 1 + random.bounded(8000) : number(random));
        q.bytes = number(random);
        q.pixels = random.bounded(2) ? qint64(random.bounded(1u << 30)) : number(random);
        sent.frame = Protocol::encode(q);
        break;
    }
    case 2: {
        Protocol::Note n;
        n.step = quint8(random.bounded(2) ? pick(random, {0, 5}) : random.bounded(256));
        n.pixels = number(random);
        n.msPerMegapixel = quint32(number(random));
        sent.frame = Protocol::encode(n);
        break;
    }
    case 3: {
        Protocol::Message other;
        other.kind = Protocol::Kind(1 + random.bounded(6));
        sent.frame = Protocol::encode(other);
        break;
    }
    default:
        sent = answer(random);
        break;
    }
    return sent;
}

// One exchange: sent to a conversation, which must end on it.
void play(QRandomGenerator &random, QList<QByteArray> *seen)
{
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0)
        std::abort();
    const int count = 1 + int(random.bounded(5));
    for (int i = 0; i < count; ++i) {
        Sent sent = i == count - 1 && random.bounded(2) ? answer(random) : message(random);
        if (random.bounded(2))
            mutate(&sent.frame, random, *seen);
        if (!sent.frame.isEmpty() && seen->size() < 64)
            seen->append(sent.frame);
        else if (!sent.frame.isEmpty())
            (*seen)[qsizetype(random.bounded(64))] = sent.frame;
        if (!Protocol::send(ends[1], sent.frame, sent.descriptors) && !sent.frame.isEmpty())
            ::send(ends[1], sent.frame.constData(), size_t(sent.frame.size()), MSG_NOSIGNAL);
        Protocol::closeAll(&sent.descriptors);
    }
    // The window sees the end after what was sent; its replies still go.
    ::shutdown(ends[1], SHUT_WR);
    HelperCall call;
    call.request.job = Protocol::Job(random.bounded(3));
    call.request.scaled = random.bounded(2);
    call.request.mode = quint8(random.bounded(3));
    call.request.side = 128;
    call.request.previewSide = 128;
    call.baseSeconds = 5;
    const QSize target(qint32(1 + random.bounded(4000)), qint32(1 + random.bounded(4000)));
    call.target = [target](const QSize &) { return target; };
    call.admit = [](qint64) { return true; };
    HelperConversation conversation(::getpid(), ends[0], call, 1.0, [] { return false; });
    bool reusable = false;
    const HelperOutcome outcome = conversation.run(&reusable);
    if (outcome.done() && outcome.reason.size() > Protocol::maxTextBytes)
        std::abort();
    ::close(ends[0]);
    ::close(ends[1]);

    // The parser alone, on bytes of any kind.
    QByteArray raw = seen->isEmpty() ? QByteArray() : seen->at(qsizetype(random.bounded(quint32(seen->size()))));
    mutate(&raw, random, *seen);
    Protocol::Message decoded;
    if (Protocol::decode(raw, &decoded) && Protocol::encode(decoded).isEmpty())
        std::abort(); // what decodes is within the bounds the encoder keeps
}

int openDescriptors()
{
    return int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::NoDotAndDotDot | QDir::System).size());
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s SECONDS [SEED] [OUT-DIR]\n", argv[0]);
        return 2;
    }
    const int seconds = QByteArray(argv[1]).toInt();
    const quint32 seed = argc > 2 ? QByteArray(argv[2]).toUInt() : QRandomGenerator::global()->generate();
    std::printf("fuzz-protocol: seed %u, %d s\n", seed, seconds);
    std::fflush(stdout);
    QRandomGenerator random(seed);
    std::atomic<long> round{0};
    std::atomic<bool> done{false};
    std::thread watchdog([&]() {
        long seen = -1;
        auto since = std::chrono::steady_clock::now();
        while (!done.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            const long now = round.load();
            if (now != seen) {
                seen = now;
                since = std::chrono::steady_clock::now();
            } else if (std::chrono::steady_clock::now() - since > std::chrono::seconds(hangSeconds)) {
                std::fprintf(stderr, "fuzz-protocol: hang in round %ld (seed %u)\n", now, seed);
                std::fflush(nullptr);
                std::_Exit(1);
            }
        }
    });
    const int descriptors = openDescriptors();
    QList<QByteArray> seen;
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        play(random, &seen);
        if (++round % 1000 == 0 && openDescriptors() != descriptors) {
            std::fprintf(stderr, "fuzz-protocol: descriptors left open by round %ld (seed %u)\n",
                         round.load(), seed);
            status = 1;
            break;
        }
    }
    done = true;
    watchdog.join();
    std::printf("fuzz-protocol: %ld rounds, no crash, no hang, no descriptor left open\n",
                round.load());
    return status;
}
