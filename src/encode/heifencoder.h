#ifndef HEIFENCODER_H
#define HEIFENCODER_H

#include <QByteArray>
#include <QImage>
#include <QString>

// Writes HEIC and AVIF files through libheif, with the picture's ICC
// profile, at the quality JPEG results get by default.
class HeifEncoder
{
public:
    static constexpr int defaultQuality = 75;

    // Whether the format table gives format to libheif (HEIC, HEIF, AVIF).
    static bool handles(const QString &format);
    // Whether libheif has an encoder for format at run time.
    static bool canWrite(const QString &format);

    // The file's bytes, or empty with errorString set.
    static QByteArray encode(const QImage &image, const QString &format, QString *errorString);
};

#endif // HEIFENCODER_H
