#ifndef SINGLEINSTANCE_H
#define SINGLEINSTANCE_H

#include <QObject>
#include <QStringList>

class QLocalServer;
class MainWindow;

// One window per user: a second start ("Open with" in a file manager, the
// command line) hands its files and folders to the window that is open and
// ends, and the window takes them as it takes a drop. The two meet on a
// local socket of the user's own: in $XDG_RUNTIME_DIR, which only the user
// can enter, or else in the temporary folder under a name holding the
// user's id, trusted only when the user owns it.
//
// A message is a QDataStream of the paths (made absolute by the sender,
// whose working folder the window does not share), sent once; the window
// answers one byte once it has them.
class SingleInstance : public QObject
{
    Q_OBJECT

public:
    explicit SingleInstance(QObject *parent = nullptr);
    ~SingleInstance() override;

    // The socket's name (a full path) for the user running this process.
    static QString serverName();

    // Hands paths to a running window; true when one took them.
    static bool handOver(const QStringList &paths, int timeoutMs = 5000);

    // Starts answering later starts; false when another window answers
    // already (or the socket cannot be made). Files handed over meanwhile
    // wait for the event loop.
    bool listen();

    // The files handed over go to window's openImages(), as a drop's do,
    // and the window comes to the front.
    void attach(MainWindow *window);

signals:
    void filesHanded(const QStringList &paths);

private:
    void receive();

    QLocalServer *server;
};

#endif // SINGLEINSTANCE_H
