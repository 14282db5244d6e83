#include "ui/singleinstance.h"

#include "ui/mainwindow.h"

#include <QDataStream>
#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// Far more than any command line holds; a longer message is not ours.
constexpr quint32 maxMessageBytes = 64 * 1024 * 1024;
constexpr int headerBytes = int(sizeof(quint32));

QStringList absolutePaths(const QStringList &paths)
{
    QStringList result;
    for (const QString &path : paths) {
        // "Open with" may hand over file: URLs; they name no working folder.
        result << (path.startsWith(QLatin1String("file:")) ? path
                                                           : QFileInfo(path).absoluteFilePath());
    }
    return result;
}

// Whether the socket at name is the user's own: another user could make
// one of that name in a shared temporary folder to read our paths.
bool ownedByUser(const QString &name)
{
#ifdef Q_OS_UNIX
    struct stat st;
    return ::lstat(QFile::encodeName(name).constData(), &st) == 0 && S_ISSOCK(st.st_mode)
            && st.st_uid == ::getuid();
#else
    Q_UNUSED(name);
    return true;
#endif
}

} // namespace

SingleInstance::SingleInstance(QObject *parent)
    : QObject(parent), server(new QLocalServer(this))
{
    connect(server, &QLocalServer::newConnection, this, &SingleInstance::receive);
}

SingleInstance::~SingleInstance() = default;

QString SingleInstance::serverName()
{
#ifdef Q_OS_UNIX
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (QDir::isAbsolutePath(runtime) && QFileInfo(runtime).isDir())
        return QDir::cleanPath(runtime) + QLatin1String("/pictavo.socket");
    return QDir::tempPath() + QStringLiteral("/pictavo-%1.socket").arg(::getuid());
#else
    return QStringLiteral("pictavo-") + qEnvironmentVariable("USERNAME");
#endif
}

bool SingleInstance::handOver(const QStringList &paths, int timeoutMs)
{
    const QString name = serverName();
    if (!ownedByUser(name))
        return false;
    QLocalSocket socket;
    socket.connectToServer(name);
    if (!socket.waitForConnected(timeoutMs))
        return false;
    QByteArray body;
    {
        QDataStream out(&body, QIODevice::WriteOnly);
        out.setVersion(QDataStream::Qt_6_0);
        out << absolutePaths(paths);
    }
    QByteArray message;
    {
        QDataStream out(&message, QIODevice::WriteOnly);
        out << quint32(body.size());
    }
    message += body;
    socket.write(message);
    while (socket.bytesToWrite() > 0) {
        if (!socket.waitForBytesWritten(timeoutMs))
            return false;
    }
    // Answered once the window has the paths: it may be busy for a moment.
    if (socket.bytesAvailable() == 0 && !socket.waitForReadyRead(timeoutMs))
        return false;
    return socket.read(1) == "1";
}

bool SingleInstance::listen()
{
    const QString name = serverName();
    // Asked first: a new socket would silently take the name from a window
    // that answers there. One that does not answer was left by a window
    // that ended; it is ours to replace, another user's is not.
    QLocalSocket probe;
    probe.connectToServer(name);
    if (probe.waitForConnected(1000))
        return false;
    if (QFileInfo::exists(name) && !ownedByUser(name))
        return false;
    QLocalServer::removeServer(name);
    server->setSocketOptions(QLocalServer::UserAccessOption);
    return server->listen(name);
}

void SingleInstance::attach(MainWindow *window)
{
    QPointer<MainWindow> target(window);
    connect(this, &SingleInstance::filesHanded, window, [target](const QStringList &paths) {
        if (!target)
            return;
        if (target->isMinimized())
            target->showNormal();
        target->raise();
        target->activateWindow();
        if (!paths.isEmpty())
            target->openImages(paths);
    });
}

void SingleInstance::receive()
{
    while (QLocalSocket *socket = server->nextPendingConnection()) {
        socket->setParent(this);
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        auto buffer = std::make_shared<QByteArray>();
        connect(socket, &QLocalSocket::readyRead, this, [this, socket, buffer]() {
            *buffer += socket->readAll();
            if (buffer->size() < headerBytes)
                return;
            quint32 length = 0;
            QDataStream(*buffer) >> length;
            if (length > maxMessageBytes) {
                socket->abort();
                return;
            }
            if (buffer->size() < headerBytes + qsizetype(length))
                return;
            QStringList paths;
            QDataStream in(buffer->mid(headerBytes, length));
            in.setVersion(QDataStream::Qt_6_0);
            in >> paths;
            buffer->clear();
            if (in.status() != QDataStream::Ok) {
                socket->abort();
                return;
            }
            // Answered before the files are opened, so that the start that
            // sent them ends at once.
            socket->write("1", 1);
            socket->flush();
            socket->disconnectFromServer();
            emit filesHanded(paths);
        });
    }
}
