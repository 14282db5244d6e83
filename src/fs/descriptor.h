#ifndef DESCRIPTOR_H
#define DESCRIPTOR_H

#include <QtGlobal>

#ifdef Q_OS_UNIX
#include <unistd.h>

#include <utility>

// Owns a file descriptor and closes it when it goes out of scope; moved,
// never copied. release() hands it over, for a close whose result counts.
class Descriptor
{
public:
    Descriptor() = default;
    explicit Descriptor(int fd) : fd(fd) {}
    Descriptor(Descriptor &&other) noexcept : fd(std::exchange(other.fd, -1)) {}
    Descriptor &operator=(Descriptor &&other) noexcept
    {
        std::swap(fd, other.fd);
        return *this;
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    ~Descriptor()
    {
        if (fd >= 0)
            ::close(fd);
    }

    int get() const { return fd; }
    bool isOpen() const { return fd >= 0; }
    int release() { return std::exchange(fd, -1); }

private:
    int fd = -1;
};
#endif

#endif // DESCRIPTOR_H
