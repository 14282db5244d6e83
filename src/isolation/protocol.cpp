#include "isolation/protocol.h"

#include <QCoreApplication>

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int headerBytes = 5; // u32 length, u8 kind

// Appends fields little-endian; ok turns false once a bound is broken.
class Writer
{
public:
    explicit Writer(Protocol::Kind kind)
    {
        bytes.reserve(256);
        u32(0);
        u8(quint8(kind));
    }

    void u8(quint8 v) { bytes.append(char(v)); }
    void flag(bool v) { u8(v ? 1 : 0); }
    void u16(quint16 v) { put(v, 2); }
    void u32(quint32 v) { put(v, 4); }
    void i32(qint32 v) { put(quint64(quint32(v)), 4); }
    void i64(qint64 v) { put(quint64(v), 8); }

    void text(const QString &s, int bound)
    {
        const QByteArray utf8 = s.toUtf8();
        if (utf8.size() > bound) {
            ok = false;
            return;
        }
        u16(quint16(utf8.size()));
        bytes.append(utf8);
    }

    void texts(const QStringList &list, int bound)
    {
        if (list.size() > Protocol::maxWarnings) {
            ok = false;
            return;
        }
        u16(quint16(list.size()));
        for (const QString &s : list)
            text(s, bound);
    }

    void picture(const Protocol::Picture &p)
    {
        i32(p.width);
        i32(p.height);
        u8(p.format);
        i64(p.bytesPerLine);
        i32(p.dotsPerMeterX);
        i32(p.dotsPerMeterY);
        u32(p.extraBytes);
    }

    QByteArray finish()
    {
        if (!ok || bytes.size() > Protocol::maxFrameBytes)
            return QByteArray();
        const quint32 length = quint32(bytes.size() - 4);
        for (int i = 0; i < 4; ++i)
            bytes[i] = char((length >> (8 * i)) & 0xff);
        return bytes;
    }

private:
    void put(quint64 v, int width)
    {
        for (int i = 0; i < width; ++i)
            bytes.append(char((v >> (8 * i)) & 0xff));
    }

    QByteArray bytes;
    bool ok = true;
};

// Reads fields from a frame; once one does not fit, every later read
// gives zero and ok() stays false. No read allocates more than the frame's
// remaining bytes.
class Reader
{
public:
    explicit Reader(QByteArrayView frame) : data(frame) {}

    bool ok() const { return good; }
    bool atEnd() const { return at == data.size(); }

    quint8 u8() { return quint8(get(1)); }
    quint16 u16() { return quint16(get(2)); }
    quint32 u32() { return quint32(get(4)); }
    qint32 i32() { return qint32(quint32(get(4))); }
    qint64 i64() { return qint64(get(8)); }

    bool flag()
    {
        const quint8 v = u8();
        if (v > 1)
            good = false;
        return v == 1;
    }

    // An enum's byte, refused above last.
    quint8 upTo(quint8 last)
    {
        const quint8 v = u8();
        if (v > last)
            good = false;
        return v;
    }

    QString text(int bound)
    {
        const quint16 length = u16();
        if (!good || length > bound || length > data.size() - at) {
            good = false;
            return QString();
        }
        const QString s = QString::fromUtf8(data.data() + at, length);
        at += length;
        return s;
    }

    QStringList texts(int bound)
    {
        const quint16 count = u16();
        QStringList list;
        if (count > Protocol::maxWarnings) {
            good = false;
            return list;
        }
        for (int i = 0; i < count && good; ++i)
            list.append(text(bound));
        return list;
    }

    Protocol::Picture picture()
    {
        Protocol::Picture p;
        p.width = i32();
        p.height = i32();
        p.format = u8();
        p.bytesPerLine = i64();
        p.dotsPerMeterX = i32();
        p.dotsPerMeterY = i32();
        p.extraBytes = u32();
        return p;
    }

private:
    quint64 get(int width)
    {
        if (!good || data.size() - at < width) {
            good = false;
            return 0;
        }
        quint64 v = 0;
        for (int i = 0; i < width; ++i)
            v |= quint64(quint8(data[at + i])) << (8 * i);
        at += width;
        return v;
    }

    QByteArrayView data;
    qsizetype at = 0;
    bool good = true;
};

void readRequest(Reader &r, Protocol::Request *q)
{
    q->job = Protocol::Job(r.upTo(Protocol::lastJob));
    q->name = r.text(Protocol::maxNameBytes);
    q->scaled = r.flag();
    q->mode = r.upTo(2);
    q->scaling = r.upTo(1);
    q->side = r.i32();
    q->format = r.text(Protocol::maxFormatBytes);
    q->removeLocation = r.flag();
    q->previewSide = r.i32();
    q->quality = r.i32();
    q->lossless = r.flag();
    q->threads = r.i32();
    q->watchdogSeconds = r.i32();
    q->wantPicture = r.flag();
    q->uri = r.text(Protocol::maxUriBytes);
    q->mtime = r.i64();
    q->size = r.i64();
    q->hasSource = r.flag();
    q->hasImage = r.flag();
    q->hasCached = r.flag();
    q->hasFailMark = r.flag();
    q->image = r.picture();
}

void readAnswer(Reader &r, Protocol::Answer *a)
{
    a->status = Protocol::Answer::Status(r.upTo(Protocol::Answer::lastStatus));
    a->step = r.u8();
    a->reason = r.text(Protocol::maxTextBytes);
    a->warnings = r.texts(Protocol::maxTextBytes);
    a->shownWidth = r.i32();
    a->shownHeight = r.i32();
    a->embedded = r.flag();
    a->cached = r.flag();
    a->failedBefore = r.flag();
    a->encodeFailure = r.text(Protocol::maxTextBytes);
    a->encodeWarnings = r.texts(Protocol::maxTextBytes);
    a->retire = r.flag();
    a->hasImage = r.flag();
    a->image = r.picture();
    a->hasPreview = r.flag();
    a->preview = r.picture();
    a->bytesLength = r.i64();
    if (a->bytesLength < 0)
        a->bytesLength = -1; // refused by whoever looks, as no length is negative
}

} // namespace

QString Protocol::nonsense()
{
    return QCoreApplication::translate("HelperPool", "the reader answered nonsense");
}

QByteArray Protocol::encode(const Hello &hello)
{
    Writer w(Kind::Hello);
    w.u16(hello.version);
    w.flag(hello.sandboxed);
    w.flag(hello.landlocked);
    w.text(hello.why.left(maxTextBytes / 4), maxTextBytes);
    return w.finish();
}

QByteArray Protocol::encode(const Request &q)
{
    Writer w(Kind::Request);
    w.u8(quint8(q.job));
    w.text(q.name, maxNameBytes);
    w.flag(q.scaled);
    w.u8(q.mode);
    w.u8(q.scaling);
    w.i32(q.side);
    w.text(q.format, maxFormatBytes);
    w.flag(q.removeLocation);
    w.i32(q.previewSide);
    w.i32(q.quality);
    w.flag(q.lossless);
    w.i32(q.threads);
    w.i32(q.watchdogSeconds);
    w.flag(q.wantPicture);
    w.text(q.uri, maxUriBytes);
    w.i64(q.mtime);
    w.i64(q.size);
    w.flag(q.hasSource);
    w.flag(q.hasImage);
    w.flag(q.hasCached);
    w.flag(q.hasFailMark);
    w.picture(q.image);
    return w.finish();
}

QByteArray Protocol::encode(const Question &q)
{
    Writer w(Kind::Question);
    w.u8(quint8(q.what));
    w.i32(q.shownWidth);
    w.i32(q.shownHeight);
    w.i64(q.bytes);
    w.i64(q.pixels);
    return w.finish();
}

QByteArray Protocol::encode(const Reply &reply)
{
    Writer w(Kind::Reply);
    w.flag(reply.yes);
    w.i32(reply.targetWidth);
    w.i32(reply.targetHeight);
    return w.finish();
}

QByteArray Protocol::encode(const Note &note)
{
    Writer w(Kind::Note);
    w.u8(note.step);
    w.i64(note.pixels);
    w.u32(note.msPerMegapixel);
    return w.finish();
}

QByteArray Protocol::encode(const Answer &a)
{
    Writer w(Kind::Answer);
    w.u8(quint8(a.status));
    w.u8(a.step);
    w.text(a.reason, maxTextBytes);
    w.texts(a.warnings, maxTextBytes);
    w.i32(a.shownWidth);
    w.i32(a.shownHeight);
    w.flag(a.embedded);
    w.flag(a.cached);
    w.flag(a.failedBefore);
    w.text(a.encodeFailure, maxTextBytes);
    w.texts(a.encodeWarnings, maxTextBytes);
    w.flag(a.retire);
    w.flag(a.hasImage);
    w.picture(a.image);
    w.flag(a.hasPreview);
    w.picture(a.preview);
    w.i64(a.bytesLength);
    return w.finish();
}

QByteArray Protocol::encode(const Message &m)
{
    switch (m.kind) {
    case Kind::Hello:
        return encode(m.hello);
    case Kind::Request:
        return encode(m.request);
    case Kind::Question:
        return encode(m.question);
    case Kind::Reply:
        return encode(m.reply);
    case Kind::Note:
        return encode(m.note);
    case Kind::Answer:
        return encode(m.answer);
    }
    return QByteArray();
}

bool Protocol::decode(QByteArrayView frame, Message *m)
{
    if (frame.size() < headerBytes || frame.size() > maxFrameBytes)
        return false;
    Reader r(frame);
    const quint32 length = r.u32();
    const quint8 kind = r.u8();
    if (length != quint32(frame.size() - 4) || kind < quint8(Kind::Hello) || kind > lastKind)
        return false;
    *m = Message();
    m->kind = Kind(kind);
    switch (m->kind) {
    case Kind::Hello:
        m->hello.version = r.u16();
        m->hello.sandboxed = r.flag();
        m->hello.landlocked = r.flag();
        m->hello.why = r.text(maxTextBytes);
        break;
    case Kind::Request:
        readRequest(r, &m->request);
        break;
    case Kind::Question:
        m->question.what = Question::What(r.u8());
        if (m->question.what < Question::Target || m->question.what > Question::lastWhat)
            return false;
        m->question.shownWidth = r.i32();
        m->question.shownHeight = r.i32();
        m->question.bytes = r.i64();
        m->question.pixels = r.i64();
        break;
    case Kind::Reply:
        m->reply.yes = r.flag();
        m->reply.targetWidth = r.i32();
        m->reply.targetHeight = r.i32();
        break;
    case Kind::Note:
        m->note.step = r.u8();
        m->note.pixels = r.i64();
        m->note.msPerMegapixel = r.u32();
        break;
    case Kind::Answer:
        readAnswer(r, &m->answer);
        break;
    }
    return r.ok() && r.atEnd();
}

void Protocol::closeAll(QList<int> *descriptors)
{
    for (const int fd : std::as_const(*descriptors))
        ::close(fd);
    descriptors->clear();
}

bool Protocol::send(int socket, const QByteArray &frame, const QList<int> &descriptors)
{
    if (frame.isEmpty() || frame.size() > maxFrameBytes || descriptors.size() > maxDescriptors)
        return false;
    iovec part{const_cast<char *>(frame.constData()), size_t(frame.size())};
    msghdr header{};
    header.msg_iov = &part;
    header.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(maxDescriptors * sizeof(int))] = {};
    if (!descriptors.isEmpty()) {
        const size_t length = size_t(descriptors.size()) * sizeof(int);
        header.msg_control = control;
        header.msg_controllen = CMSG_SPACE(length);
        cmsghdr *rights = CMSG_FIRSTHDR(&header);
        rights->cmsg_level = SOL_SOCKET;
        rights->cmsg_type = SCM_RIGHTS;
        rights->cmsg_len = CMSG_LEN(length);
        std::memcpy(CMSG_DATA(rights), descriptors.constData(), length);
    }
    ssize_t sent;
    // No SIGPIPE when the other end has died: a failed send is an answer.
    do
        sent = ::sendmsg(socket, &header, MSG_NOSIGNAL);
    while (sent < 0 && errno == EINTR);
    return sent == frame.size();
}

int Protocol::receive(int socket, QByteArray *frame, QList<int> *descriptors)
{
    descriptors->clear();
    // One byte more than a frame may have: a longer one shows as truncated.
    if (frame->capacity() < maxFrameBytes + 1)
        frame->reserve(maxFrameBytes + 1);
    frame->resize(maxFrameBytes + 1);
    iovec part{frame->data(), size_t(frame->size())};
    msghdr header{};
    header.msg_iov = &part;
    header.msg_iovlen = 1;
    // Room for more descriptors than allowed, so that too many show as
    // such rather than as a truncation the kernel closes silently.
    alignas(cmsghdr) char control[CMSG_SPACE((maxDescriptors + 1) * sizeof(int))] = {};
    header.msg_control = control;
    header.msg_controllen = sizeof control;
    ssize_t got;
    do
        got = ::recvmsg(socket, &header, MSG_CMSG_CLOEXEC);
    while (got < 0 && errno == EINTR);
    // A failed call fills in nothing: its control buffer is not read.
    if (got < 0)
        header.msg_controllen = 0;
    bool strange = false;
    for (cmsghdr *c = CMSG_FIRSTHDR(&header); c; c = CMSG_NXTHDR(&header, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS
            || c->cmsg_len < CMSG_LEN(0)) {
            strange = true;
            continue;
        }
        const size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t i = 0; i < count; ++i) {
            int fd;
            std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof(int));
            descriptors->append(fd);
        }
    }
    const bool closed = got == 0 || (got < 0 && (errno == ECONNRESET || errno == EPIPE));
    if (closed && !strange && descriptors->isEmpty()) {
        frame->clear();
        return 0;
    }
    const bool truncated = (header.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) != 0;
    if (got <= 0 || truncated || strange || got > maxFrameBytes
        || descriptors->size() > maxDescriptors) {
        closeAll(descriptors);
        frame->clear();
        return -1;
    }
    frame->resize(got);
    return 1;
}

int Protocol::receive(int socket, Message *message, QList<int> *descriptors)
{
    QByteArray frame;
    const int got = receive(socket, &frame, descriptors);
    if (got != 1)
        return got;
    if (!decode(frame, message)) {
        closeAll(descriptors);
        return -1;
    }
    return 1;
}
