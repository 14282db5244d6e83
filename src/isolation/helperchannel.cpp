#include "isolation/helperchannel.h"

#include <QByteArray>
#include <QDataStream>
#include <QIODevice>

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace {

void closeAll(QList<int> *descriptors)
{
    for (const int fd : std::as_const(*descriptors))
        ::close(fd);
    descriptors->clear();
}

} // namespace

bool HelperChannel::send(int socket, const QVariantMap &message, int descriptor)
{
    return send(socket, message, descriptor >= 0 ? QList<int>{descriptor} : QList<int>());
}

bool HelperChannel::send(int socket, const QVariantMap &message, const QList<int> &descriptors)
{
    if (descriptors.size() > maxDescriptors)
        return false;
    QByteArray bytes;
    {
        QDataStream stream(&bytes, QIODevice::WriteOnly);
        stream << message;
    }
    if (bytes.size() > maxMessageBytes)
        return false;
    iovec part{bytes.data(), size_t(bytes.size())};
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
    // No SIGPIPE when the helper has died: a failed send is an answer.
    do
        sent = ::sendmsg(socket, &header, MSG_NOSIGNAL);
    while (sent < 0 && errno == EINTR);
    return sent == bytes.size();
}

int HelperChannel::receive(int socket, QVariantMap *message, int *descriptor)
{
    QList<int> descriptors;
    const int got = receive(socket, message, &descriptors);
    *descriptor = descriptors.isEmpty() ? -1 : descriptors.takeFirst();
    closeAll(&descriptors);
    return got;
}

int HelperChannel::receive(int socket, QVariantMap *message, QList<int> *descriptors)
{
    descriptors->clear();
    QByteArray bytes(maxMessageBytes, Qt::Uninitialized);
    iovec part{bytes.data(), size_t(bytes.size())};
    msghdr header{};
    header.msg_iov = &part;
    header.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(maxDescriptors * sizeof(int))] = {};
    header.msg_control = control;
    header.msg_controllen = sizeof control;
    ssize_t got;
    do
        got = ::recvmsg(socket, &header, MSG_CMSG_CLOEXEC);
    while (got < 0 && errno == EINTR);
    for (cmsghdr *c = CMSG_FIRSTHDR(&header); c; c = CMSG_NXTHDR(&header, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS
            && c->cmsg_len >= CMSG_LEN(sizeof(int))) {
            const int count = int((c->cmsg_len - CMSG_LEN(0)) / sizeof(int));
            for (int i = 0; i < count; ++i) {
                int fd;
                std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof(int));
                descriptors->append(fd);
            }
        }
    }
    if (got == 0) {
        closeAll(descriptors);
        return 0;
    }
    const bool truncated = (header.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) != 0;
    if (got < 0 || truncated) {
        closeAll(descriptors);
        return -1;
    }
    bytes.truncate(got);
    QDataStream stream(bytes);
    message->clear();
    stream >> *message;
    if (stream.status() != QDataStream::Ok) {
        closeAll(descriptors);
        return -1;
    }
    return 1;
}
