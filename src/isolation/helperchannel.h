#ifndef HELPERCHANNEL_H
#define HELPERCHANNEL_H

#include <QList>
#include <QVariantMap>

// Messages between the window's process and a helper process, over one end
// of a Unix socket pair (SOCK_SEQPACKET: each message arrives whole, with
// the descriptor sent beside it, or not at all). A message is a small map
// of values; pixels never travel in one, they go in shared memory whose
// descriptor rides along (SharedImage).
namespace HelperChannel {

// A message larger than this is refused by both ends.
constexpr int maxMessageBytes = 256 * 1024;
// Descriptors one message may carry (a source and the pixels handed with
// it; pixels, a preview and an encoded file coming back).
constexpr int maxDescriptors = 4;

// Sends message, and descriptor when it is not -1 (the receiver gets its
// own copy; the sender's stays open). False when the other end is gone.
bool send(int socket, const QVariantMap &message, int descriptor = -1);
// The same with several descriptors, received in this order.
bool send(int socket, const QVariantMap &message, const QList<int> &descriptors);

// Receives one message and the descriptor sent with it (-1 when none; the
// receiver owns it). 1: a message; 0: the other end closed; -1: an error or
// a message that could not be read.
int receive(int socket, QVariantMap *message, int *descriptor);
// The same keeping every descriptor sent (at most maxDescriptors).
int receive(int socket, QVariantMap *message, QList<int> *descriptors);

} // namespace HelperChannel

#endif // HELPERCHANNEL_H
