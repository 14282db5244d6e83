#ifndef TIFFSTREAM_H
#define TIFFSTREAM_H

#include <QByteArrayView>
#include <QString>

#include <tiffio.h>

#include <memory>

// A TIFF file in memory as libtiff's client I/O, for the decoders that read
// TIFF through libtiff; its complaints are kept instead of printed.
namespace TiffStream {

struct Stream
{
    explicit Stream(QByteArrayView data) : bytes(data) {}
    QByteArrayView bytes;
    toff_t at = 0;
    QString message; // libtiff's last error
};

using TiffHandle = std::unique_ptr<TIFF, decltype(&TIFFClose)>;

// The file in stream opened for reading; null when libtiff refuses it.
TiffHandle open(Stream *stream);

} // namespace TiffStream

#endif // TIFFSTREAM_H
