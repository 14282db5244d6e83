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
// No single allocation of libtiff's may pass the limit of one decode.
TiffHandle open(Stream *stream);

// Bytes of one strip or tile of the current directory as libtiff holds it
// while reading; the largest qint64 when the header's sizes overflow.
qint64 blockBytes(TIFF *tiff);

} // namespace TiffStream

#endif // TIFFSTREAM_H
