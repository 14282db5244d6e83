#ifndef RAWSTREAM_H
#define RAWSTREAM_H

#include <QtGlobal>

#include <libraw_datastream.h>

// libraw's reading of a file held in memory, counting the bytes its
// decoders take while counting is on. libraw's loaders stop without a
// word where the sensor data is not what the header says (a stripped
// file's placeholder text where the compressed stream was), leaving the
// picture as whatever memory held: what they read tells whether they
// read a picture at all.
class RawStream : public LibRaw_buffer_datastream
{
public:
    RawStream(const char *data, qint64 size);

    void startCounting();
    // The bytes read since startCounting(); a JPEG source handed to
    // libjpeg counts as all the bytes from there to the end.
    qint64 bytesRead() const { return counted; }

    int read(void *into, size_t size, size_t count) override;
    int get_char() override;
    char *gets(char *into, int size) override;
    int jpeg_src(void *jpeg) override;

private:
    qint64 counted = 0;
};

#endif // RAWSTREAM_H
