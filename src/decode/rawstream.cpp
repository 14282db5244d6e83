#include "decode/rawstream.h"

#include <cstring>

// libraw reads the buffer in place and never writes to it.
RawStream::RawStream(const char *data, qint64 size)
    : LibRaw_buffer_datastream(const_cast<char *>(data), size_t(size))
{
}

void RawStream::startCounting()
{
    counted = 0;
}

int RawStream::read(void *into, size_t size, size_t count)
{
    const int items = LibRaw_buffer_datastream::read(into, size, count);
    if (items > 0)
        counted += qint64(items) * qint64(size);
    return items;
}

int RawStream::get_char()
{
    const int c = LibRaw_buffer_datastream::get_char();
    if (c >= 0)
        ++counted;
    return c;
}

char *RawStream::gets(char *into, int size)
{
    char *line = LibRaw_buffer_datastream::gets(into, size);
    if (line)
        counted += qint64(std::strlen(line));
    return line;
}

int RawStream::jpeg_src(void *jpeg)
{
    counted += qMax<qint64>(0, this->size() - tell());
    return LibRaw_buffer_datastream::jpeg_src(jpeg);
}
