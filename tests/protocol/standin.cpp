// A stand-in for pictavo-helper that has been taken over: started by the
// window like the real one (its socket as descriptor 3), it plays the
// hostile exchange its own file name names (tst_protocol links one name
// per play to this program) and then waits to be ended.
#include "isolation/protocol.h"

#include <QByteArray>
#include <QHash>

#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <functional>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int socketFd = 3;
using Protocol::Answer;
using Protocol::Message;
using Protocol::Note;
using Protocol::Picture;
using Protocol::Question;

// A memfd of size bytes (sparse: zeros), with the given seals.
int memfd(qint64 size, int seals = F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE)
{
    const int fd = ::memfd_create("standin", MFD_ALLOW_SEALING);
    if (fd < 0 || ::ftruncate(fd, size) != 0 || ::fcntl(fd, F_ADD_SEALS, seals) != 0)
        ::_exit(3);
    return fd;
}

// A picture of width x height 32-bit pixels as SharedImage lays it out.
Picture picture(qint32 width, qint32 height)
{
    Picture p;
    p.width = width;
    p.height = height;
    p.format = 5; // QImage::Format_ARGB32
    p.bytesPerLine = qint64(width) * 4;
    p.extraBytes = 12;
    return p;
}

qint64 bytesOf(const Picture &p)
{
    return p.bytesPerLine * p.height + p.extraBytes;
}

void sendRaw(const QByteArray &frame, const QList<int> &fds = {})
{
    if (!Protocol::send(socketFd, frame, fds)) {
        // Frames Protocol::send refuses (too large) go out by hand.
        iovec part{const_cast<char *>(frame.constData()), size_t(frame.size())};
        msghdr header{};
        header.msg_iov = &part;
        header.msg_iovlen = 1;
        ::sendmsg(socketFd, &header, MSG_NOSIGNAL);
    }
}

Protocol::Reply ask(const Question &q)
{
    Protocol::send(socketFd, q);
    Message reply;
    QList<int> fds;
    Protocol::receive(socketFd, &reply, &fds);
    return reply.reply;
}

Question admit(qint64 bytes, qint64 pixels)
{
    Question q;
    q.what = Question::Admit;
    q.bytes = bytes;
    q.pixels = pixels;
    return q;
}

Question target(qint32 width, qint32 height)
{
    Question q;
    q.what = Question::Target;
    q.shownWidth = width;
    q.shownHeight = height;
    return q;
}

// An answer with a thumbnail of width x height in a memfd of its size.
// An answer that says where a thumbnail came from.
Answer from(bool cached, bool failedBefore)
{
    Answer a;
    a.cached = cached;
    a.failedBefore = failedBefore;
    return a;
}

void answerPicture(qint32 width, qint32 height, Answer a = Answer())
{
    a.hasImage = true;
    a.image = picture(width, height);
    Protocol::send(socketFd, a, {memfd(bytesOf(a.image))});
}

QByteArray withByte(QByteArray frame, int at, char value)
{
    frame[at] = value;
    return frame;
}

using Plays = QHash<QByteArray, std::function<void()>>;

// Frames that do not parse, or break the order or a field's range.
Plays framePlays()
{
    return {
            {"fine-thumbnail", [] { answerPicture(100, 50); }},
            {"fine-conversion",
             [] {
                 ask(admit(4 * 640 * 480, 640 * 480));
                 ask(target(640, 480));
                 Note n;
                 n.step = 5; // ConversionResult::Encode
                 n.pixels = 64 * 48;
                 Protocol::send(socketFd, n);
                 Answer a;
                 a.hasImage = true;
                 a.image = picture(64, 48);
                 a.hasPreview = true;
                 a.preview = picture(128, 96);
                 a.bytesLength = 64 * 48 * 32;
                 Protocol::send(socketFd, a,
                                {memfd(bytesOf(a.image)), memfd(bytesOf(a.preview)),
                                 memfd(a.bytesLength)});
             }},
            {"truncated-frame", [] { sendRaw(Protocol::encode(Answer()).chopped(3)); }},
            {"length-says-more",
             [] { sendRaw(withByte(Protocol::encode(Answer()), 3, char(0x7f))); }},
            {"oversized-frame",
             [] {
                 QByteArray frame = Protocol::encode(Answer());
                 frame.append(QByteArray(200 * 1024, 'x'));
                 sendRaw(frame);
             }},
            {"unknown-kind", [] { sendRaw(withByte(Protocol::encode(Answer()), 4, char(99))); }},
            {"reply-from-helper", [] { Protocol::send(socketFd, Protocol::Reply()); }},
            {"second-hello", [] { Protocol::send(socketFd, Protocol::Hello()); }},
            {"status-out-of-range",
             [] { sendRaw(withByte(Protocol::encode(Answer()), 5, char(9))); }},
            {"step-out-of-range",
             [] {
                 Answer a;
                 a.step = 200;
                 Protocol::send(socketFd, a);
             }},
            {"bool-not-0-or-1",
             [] {
                 QByteArray frame = Protocol::encode(Answer());
                 frame[frame.size() - 8 - 29 - 1] = char(7); // hasPreview
                 sendRaw(frame);
             }},
            {"question-out-of-range",
             [] { sendRaw(withByte(Protocol::encode(target(10, 10)), 5, char(7))); }},
    };
}

// Pictures and files that break a bound, a seal or their descriptors.
Plays descriptorPlays()
{
    return {
            {"thumbnail-larger-than-asked", [] { answerPicture(12000, 12000); }},
            {"length-plus-extra-wraps",
             [] {
                 Answer a;
                 a.hasImage = true;
                 a.image = picture(16, 1);
                 a.image.bytesPerLine = std::numeric_limits<qint64>::max() - 8;
                 a.image.extraBytes = 0xffffffffu;
                 Protocol::send(socketFd, a, {memfd(16 * 1024 * 1024)});
             }},
            {"huge-extra-over-sparse-memfd",
             [] {
                 Answer a;
                 a.hasImage = true;
                 a.image = picture(64, 64);
                 a.image.extraBytes = 0xffffff00u;
                 Protocol::send(socketFd, a, {memfd(6LL * 1024 * 1024 * 1024)});
             }},
            {"memfd-without-write-seal",
             [] {
                 Answer a;
                 a.hasImage = true;
                 a.image = picture(100, 50);
                 const int fd = memfd(bytesOf(a.image), F_SEAL_SHRINK | F_SEAL_GROW);
                 Protocol::send(socketFd, a, {fd});
                 // Rewritten once sent.
                 const QByteArray other(1024, '\x55');
                 (void)::pwrite(fd, other.constData(), size_t(other.size()), 0);
             }},
            {"not-a-memfd",
             [] {
                 Answer a;
                 a.hasImage = true;
                 a.image = picture(100, 50);
                 Protocol::send(socketFd, a, {::open("/dev/zero", O_RDONLY)});
             }},
            {"memfd-shorter-than-said",
             [] {
                 Answer a;
                 a.hasImage = true;
                 a.image = picture(100, 50);
                 Protocol::send(socketFd, a, {memfd(100)});
             }},
            {"descriptor-missing",
             [] {
                 Answer a;
                 a.hasImage = true;
                 a.image = picture(100, 50);
                 Protocol::send(socketFd, a);
             }},
            {"too-many-descriptors",
             [] {
                 QByteArray frame = Protocol::encode(Answer());
                 int fds[5];
                 for (int &fd : fds)
                     fd = memfd(64);
                 iovec part{frame.data(), size_t(frame.size())};
                 alignas(cmsghdr) char control[CMSG_SPACE(sizeof fds)] = {};
                 msghdr header{};
                 header.msg_iov = &part;
                 header.msg_iovlen = 1;
                 header.msg_control = control;
                 header.msg_controllen = sizeof control;
                 cmsghdr *rights = CMSG_FIRSTHDR(&header);
                 rights->cmsg_level = SOL_SOCKET;
                 rights->cmsg_type = SCM_RIGHTS;
                 rights->cmsg_len = CMSG_LEN(sizeof fds);
                 std::memcpy(CMSG_DATA(rights), fds, sizeof fds);
                 ::sendmsg(socketFd, &header, MSG_NOSIGNAL);
             }},
            {"indexed-picture",
             [] {
                 Answer a;
                 a.hasImage = true;
                 a.image = picture(100, 50);
                 a.image.format = 3; // QImage::Format_Indexed8
                 a.image.bytesPerLine = 100;
                 Protocol::send(socketFd, a, {memfd(bytesOf(a.image))});
             }},
            {"cached-not-handed", [] { answerPicture(100, 50, from(true, false)); }},
            {"failed-before-not-handed", [] { Protocol::send(socketFd, from(false, true)); }},
            {"cached-without-picture", [] { Protocol::send(socketFd, from(true, false)); }},
            {"failed-before-with-picture", [] { answerPicture(100, 50, from(false, true)); }},
            {"fine-cached-thumbnail",
             [] {
                 Answer a = from(true, false);
                 a.shownWidth = 4000;
                 a.shownHeight = 2000;
                 answerPicture(128, 64, a);
             }},
            {"preview-on-a-thumbnail",
             [] {
                 Answer a;
                 a.hasPreview = true;
                 a.preview = picture(10, 10);
                 Protocol::send(socketFd, a, {memfd(bytesOf(a.preview))});
             }},
    };
}

// Exchanges: what a conversion is asked and answers, questions and notes.
Plays exchangePlays()
{
    return {
            {"encoded-file-over-bound",
             [] {
                 ask(target(640, 480));
                 Answer a;
                 a.bytesLength = 3LL * 1024 * 1024 * 1024;
                 Protocol::send(socketFd, a, {memfd(a.bytesLength)});
             }},
            {"encoded-file-without-write-seal",
             [] {
                 ask(target(640, 480));
                 Answer a;
                 a.bytesLength = 4 * 1024 * 1024;
                 const int fd = memfd(a.bytesLength, F_SEAL_SHRINK | F_SEAL_GROW);
                 Protocol::send(socketFd, a, {fd});
                 const QByteArray other(4096, '\x55');
                 (void)::pwrite(fd, other.constData(), size_t(other.size()), 0);
             }},
            {"preview-larger-than-asked",
             [] {
                 ask(target(640, 480));
                 Answer a;
                 a.hasPreview = true;
                 a.preview = picture(4000, 10);
                 Protocol::send(socketFd, a, {memfd(bytesOf(a.preview))});
             }},
            {"picture-larger-than-the-target",
             [] {
                 ask(target(640, 480));
                 Answer a;
                 a.hasImage = true;
                 a.image = picture(640, 480);
                 Protocol::send(socketFd, a, {memfd(bytesOf(a.image))});
             }},
            {"admit-twice",
             [] {
                 ask(admit(1024, 256));
                 ask(admit(0, 0));
                 answerPicture(10, 10);
             }},
            {"target-twice",
             [] {
                 ask(target(640, 480));
                 ask(target(64, 48));
                 answerPicture(10, 10);
             }},
            {"admit-more-pixels-than-any-picture",
             [] { ask(admit(1, std::numeric_limits<qint64>::max())); }},
            {"note-with-huge-pixel-count",
             [] {
                 Note n;
                 n.pixels = 1000000000000000LL;
                 Protocol::send(socketFd, n);
             }},
            {"encode-note-on-a-thumbnail",
             [] {
                 Note n;
                 n.step = 5; // ConversionResult::Encode
                 Protocol::send(socketFd, n);
             }},
            {"over-long-reason",
             [] {
                 // Written by hand: the encoder refuses it.
                 QByteArray frame = Protocol::encode(Answer());
                 const QByteArray reason(Protocol::maxTextBytes + 1, 'r');
                 frame.replace(7, 2, QByteArray("\x01\x08", 2)); // 0x0801 bytes
                 frame.insert(9, reason);
                 const quint32 length = quint32(frame.size() - 4);
                 std::memcpy(frame.data(), &length, 4);
                 sendRaw(frame);
             }},
            {"too-many-warnings",
             [] {
                 QByteArray frame = Protocol::encode(Answer());
                 frame[9] = char(0xff); // the warnings' count, 65535
                 frame[10] = char(0xff);
                 sendRaw(frame);
             }},
            {"bytes-after-the-answer",
             [] { sendRaw(Protocol::encode(Answer()) + QByteArray("\0", 1)); }},
            {"dies-after-asking",
             [] {
                 Question q;
                 q.what = Question::Target;
                 q.shownWidth = 640;
                 q.shownHeight = 480;
                 Protocol::send(socketFd, q);
                 ::_exit(0);
             }},
            {"notes-then-silence",
             [] {
                 // Each note names a picture; none moves the deadline.
                 for (int i = 0; i < 200; ++i) {
                     Note n;
                     n.pixels = qint64(1) << 32;
                     Protocol::send(socketFd, n);
                 }
             }},
    };
}

const Plays &plays()
{
    static const Plays table = [] {
        Plays all = framePlays();
        all.insert(descriptorPlays());
        all.insert(exchangePlays());
        return all;
    }();
    return table;
}

QByteArray nameOf(const char *path)
{
    const char *slash = std::strrchr(path, '/');
    return QByteArray(slash ? slash + 1 : path);
}

} // namespace

int main(int, char *argv[])
{
    const QByteArray play = nameOf(argv[0]);
    if (play == "wrong-version") {
        Protocol::Hello hello;
        hello.version = Protocol::version + 1;
        Protocol::send(socketFd, hello);
    } else if (play == "answer-before-hello") {
        Protocol::send(socketFd, Answer());
    } else if (play == "dies-with-the-request-unread") {
        // Gone with a message still queued for it: the window's next read
        // fails rather than ending.
        Protocol::Hello hello;
        hello.sandboxed = true;
        Protocol::send(socketFd, hello);
        pollfd p{socketFd, POLLIN, 0};
        ::poll(&p, 1, -1);
        ::_exit(0);
    } else {
        Protocol::Hello hello;
        hello.sandboxed = true;
        Protocol::send(socketFd, hello);
        Message request;
        QList<int> fds;
        if (Protocol::receive(socketFd, &request, &fds) != 1)
            return 1;
        Protocol::closeAll(&fds);
        const auto it = plays().constFind(play);
        if (it != plays().constEnd())
            (*it)();
    }
    // Waits to be ended, as a helper that has been taken over would.
    for (;;)
        ::pause();
}
