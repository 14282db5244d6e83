#ifndef HELPERSERVER_H
#define HELPERSERVER_H

#include "isolation/protocol.h"

#include <QHash>
#include <QImage>
#include <QString>

#include <functional>

// One request as its handler sees it, in a helper process: the window
// never runs a handler itself.
struct HelperContext
{
    // The source, opened by the window; the handler reads it (owned by
    // whoever called the handler, which closes it afterwards).
    int source = -1;
    // A thumbnail's: the shared cache's entry for the source and its mark
    // of a failed read, opened by the window (owned like the source).
    int cached = -1;
    int failMark = -1;
    // Pixels handed with the request (an image converted elsewhere, to be
    // encoded); null when none.
    QImage image;
    Protocol::Request request;
    // Ask the window mid-request, and wait for the answer: the size to fit
    // a picture that appears at shown into (empty when the window has
    // gone or gave the request up), and whether the memory a decode takes
    // (bytes, for a stored picture of pixels) may be had. Each once.
    std::function<QSize(const QSize &shown)> target;
    std::function<bool(qint64 bytes, qint64 pixels)> admit;
    // Tells the window something it needs no answer to (the step reached,
    // the picture's size, which sets the time the step is allowed).
    std::function<void(const Protocol::Note &)> tell;
};

// What a handler makes: the answer's fields, a picture, a list preview
// and the bytes of an encoded file (each may be empty).
struct HelperAnswer
{
    Protocol::Answer values;
    QImage image;
    QImage preview;
    QByteArray bytes;
};

using HelperHandler = std::function<HelperAnswer(HelperContext &)>;

// The request loop of a helper process: reads requests from the socket it
// inherited, runs the handler of each one's job and sends back the answer
// with its pictures and bytes in shared memory, until the window closes its end. An
// alarm set for each request ends the process should it run long after the
// window has given up on it (or after the window itself has gone).
class HelperServer
{
public:
    explicit HelperServer(int socket);

    // The C library keeps what requests free for the next ones, until the
    // helper has waited a second for a request; after configureProcess().
    static void keepFreedMemory();

    void handle(Protocol::Job job, HelperHandler handler);

    // Sends the first message, which says whether the sandbox is on and
    // whether Landlock walls it in too.
    bool ready(bool sandboxed, bool landlocked, const QString &why);

    // Serves until the window's end closes; returns the exit code.
    int run();

private:
    Protocol::Reply ask(const Protocol::Question &question, int watchdogSeconds);
    bool answer(HelperAnswer &answer);

    int socket;
    QHash<int, HelperHandler> handlers;
};

#endif // HELPERSERVER_H
