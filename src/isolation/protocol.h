#ifndef PROTOCOL_H
#define PROTOCOL_H

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>
#include <QStringList>

#include <QtGlobal>

// What the window and a helper say to each other over one end of a Unix
// socket pair (SOCK_SEQPACKET: a frame arrives whole, with its descriptors,
// or not at all). Every message is a struct of plain fields with a fixed
// encoding:
//   u32 length (of what follows), u8 kind, then the kind's fields in order:
//   integers little-endian at their width, a bool as one byte 0 or 1, a
//   string as u16 byte count and UTF-8, a list as u16 count and its items.
// Nothing nests deeper than a list of strings; every count and length is
// bounded below, and a frame never exceeds maxFrameBytes. The helper's
// first message is a Hello carrying the version. Pixels and encoded files
// never travel in a frame: they go in sealed memfds passed beside it.
//
// Order, per request: the window sends a Request; the helper sends any
// number of Notes and Questions (each Question answered by one Reply) and
// then one Answer.
namespace Protocol {

constexpr quint16 version = 2;
// The whole frame, header included; a larger one is refused by both ends.
constexpr int maxFrameBytes = 64 * 1024;
// Descriptors one frame may carry (a source and the pixels handed with it,
// or a source and the thumbnail cache's two entries for it; a picture, a
// preview and an encoded file coming back).
constexpr int maxDescriptors = 3;
// Bytes of a name, a reason, a warning; warnings in a list.
constexpr int maxNameBytes = 4096;
// A file: URI of such a name, every byte of it percent-encoded.
constexpr int maxUriBytes = 3 * maxNameBytes + 8;
constexpr int maxTextBytes = 2048;
constexpr int maxFormatBytes = 16;
constexpr int maxWarnings = 16;

// The reason an image fails with when its helper broke the protocol.
QString nonsense();

enum class Kind : quint8 { Hello = 1, Request, Question, Reply, Note, Answer };
constexpr quint8 lastKind = quint8(Kind::Answer);

// What a request asks for.
enum class Job : quint8 { Decode, Convert, Thumbnail };
constexpr quint8 lastJob = quint8(Job::Thumbnail);

// Pixels in a memfd: rows of bytesPerLine bytes, then extraBytes of extra
// (the colour table of an indexed picture; towards a helper also its ICC
// profile and its text). format is a QImage::Format value.
struct Picture
{
    qint32 width = 0;
    qint32 height = 0;
    quint8 format = 0;
    qint64 bytesPerLine = 0;
    qint32 dotsPerMeterX = 0;
    qint32 dotsPerMeterY = 0;
    quint32 extraBytes = 0;
};

struct Hello
{
    quint16 version = Protocol::version;
    bool sandboxed = false;
    bool landlocked = false;
    QString why; // why the sandbox is off
};

struct Request
{
    Job job = Job::Decode;
    QString name; // the source's name, for messages and the format's guess
    bool scaled = false;
    quint8 mode = 0;    // Qt::AspectRatioMode
    quint8 scaling = 0; // Scaling
    qint32 side = 0;    // a thumbnail's
    QString format;     // the target format (Convert)
    bool removeLocation = false;
    qint32 previewSide = 128;
    qint32 quality = -1;
    bool lossless = false;
    qint32 threads = 1;
    qint32 watchdogSeconds = 600;
    // Convert: whether the converted picture comes back besides the file
    // and its preview.
    bool wantPicture = true;
    // Thumbnail: what the shared cache's entries must be tagged with to
    // stand for the source (its URI, modification time and size).
    QString uri;
    qint64 mtime = 0;
    qint64 size = 0;
    // Descriptors, in this order: the source, the pixels handed in, the
    // cache's thumbnail of the source and its mark of a failed read (both
    // opened by the window, parsed by the helper).
    bool hasSource = false;
    bool hasImage = false;
    bool hasCached = false;
    bool hasFailMark = false;
    Picture image;
};

struct Question
{
    enum What : quint8 { Target = 1, Admit = 2 };
    static constexpr quint8 lastWhat = Admit;
    What what = Target;
    qint32 shownWidth = 0; // Target: the size the picture appears at
    qint32 shownHeight = 0;
    qint64 bytes = 0;  // Admit: what the decode takes, by the helper
    qint64 pixels = 0; // Admit: the stored picture's pixels
};

struct Reply
{
    bool yes = false; // Admit
    qint32 targetWidth = 0; // Target
    qint32 targetHeight = 0;
};

struct Note
{
    quint8 step = 0;   // ConversionResult::Step reached; NoStep: none
    qint64 pixels = 0; // of the picture this step works on; 0: not said
    // The step's time for each megapixel, in milliseconds; 0: the request's.
    quint32 msPerMegapixel = 0;
};

struct Answer
{
    enum Status : quint8 { Ok, OutOfMemory, UnknownJob };
    static constexpr quint8 lastStatus = UnknownJob;
    Status status = Ok;
    quint8 step = 0; // ConversionResult::Step; NoStep: none failed
    QString reason;
    QStringList warnings;
    qint32 shownWidth = 0; // Thumbnail: the size the picture appears at
    qint32 shownHeight = 0;
    bool embedded = false;
    // Thumbnail: the picture is the cache's entry, valid for the source;
    // or the cache's mark of a failed read holds, and nothing was read.
    bool cached = false;
    bool failedBefore = false;
    QString encodeFailure;
    QStringList encodeWarnings;
    bool retire = false; // the helper's heap may be in pieces
    // Descriptors, in this order: the picture, the preview, the bytes.
    bool hasImage = false;
    Picture image;
    bool hasPreview = false;
    Picture preview;
    qint64 bytesLength = 0; // an encoded file; 0: none

    int descriptorCount() const { return int(hasImage) + int(hasPreview) + int(bytesLength > 0); }
};

// One message of any kind: kind says which member holds it.
struct Message
{
    Kind kind = Kind::Hello;
    Hello hello;
    Request request;
    Question question;
    Reply reply;
    Note note;
    Answer answer;
};

// The frame of a message; empty when a string or list is over its bound.
QByteArray encode(const Message &message);
QByteArray encode(const Hello &hello);
QByteArray encode(const Request &request);
QByteArray encode(const Question &question);
QByteArray encode(const Reply &reply);
QByteArray encode(const Note &note);
QByteArray encode(const Answer &answer);

// Parses one frame; false when it is short, long, of an unknown kind, has
// a field out of its range or bytes left over. Never reads past frame,
// never allocates more than the frame's own size.
bool decode(QByteArrayView frame, Message *message);

// Sends a frame with descriptors (the receiver gets its own copies). False
// when the other end is gone or the frame is empty or too large.
bool send(int socket, const QByteArray &frame, const QList<int> &descriptors = {});
// Sends a message; the same.
template<typename T>
bool send(int socket, const T &message, const QList<int> &descriptors = {})
{
    return send(socket, encode(message), descriptors);
}

// Receives one frame into frame (made maxFrameBytes long once, and cut to
// what came) and the descriptors beside it, which the caller then owns.
// 1: a frame; 0: the other end closed; -1: a frame too large, too many
// descriptors, or a broken socket (nothing is kept then).
int receive(int socket, QByteArray *frame, QList<int> *descriptors);

// Receives and decodes one message: 1, 0 as above; -1 also for a frame
// that does not decode.
int receive(int socket, Message *message, QList<int> *descriptors);

void closeAll(QList<int> *descriptors);

} // namespace Protocol

#endif // PROTOCOL_H
