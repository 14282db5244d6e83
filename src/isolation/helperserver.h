#ifndef HELPERSERVER_H
#define HELPERSERVER_H

#include <QHash>
#include <QImage>
#include <QString>
#include <QVariantMap>

#include <functional>

// One request as its handler sees it, in a helper or (when no helper can
// be started) in the window's own process.
struct HelperContext
{
    // The source, opened by the window; the handler reads it (owned by
    // whoever called the handler, which closes it afterwards).
    int source = -1;
    // Pixels handed with the request (an image converted elsewhere, to be
    // encoded); null when none.
    QImage image;
    QVariantMap params;
    // Asks the window something mid-request (may it take this much
    // memory?) and waits for the answer; an empty map when the window has
    // gone or the request was given up.
    std::function<QVariantMap(const QVariantMap &)> ask;
    // Tells the window something it needs no answer to (the picture's size,
    // which sets the time the request is allowed).
    std::function<void(const QVariantMap &)> tell;
};

// What a handler makes: values for the window, a picture, a list preview
// and the bytes of an encoded file (each may be empty). A "retire" value
// that is true asks for a fresh helper next time (its heap may be left in
// pieces after a failed allocation).
struct HelperAnswer
{
    QVariantMap values;
    QImage image;
    QImage preview;
    QByteArray bytes;
};

using HelperHandler = std::function<HelperAnswer(HelperContext &)>;

// The request loop of a helper process: reads requests from the socket it
// inherited, runs the handler of each one's kind and sends back the answer
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

    void handle(const QString &kind, HelperHandler handler);

    // Sends the first message, which says whether the sandbox is on and
    // whether Landlock walls it in too.
    bool ready(bool sandboxed, bool landlocked, const QString &why);

    // Serves until the window's end closes; returns the exit code.
    int run();

private:
    QVariantMap ask(const QVariantMap &question, int watchdogSeconds);

    int socket;
    QHash<QString, HelperHandler> handlers;
};

#endif // HELPERSERVER_H
