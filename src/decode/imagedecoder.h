#ifndef IMAGEDECODER_H
#define IMAGEDECODER_H

#include <QByteArray>
#include <QImage>
#include <QImageIOHandler>
#include <QSize>
#include <QString>
#include <QStringList>

// A decoder for the kinds of files Qt's readers do not read, or read
// wrongly (DecoderFactory picks one): HEIF and AVIF, JPEG XL, camera RAW, CMYK TIFF. It works on the
// file's bytes, read once through SourceFile. Pictures come out upright:
// size() is the size the picture appears at, and read() has applied the
// file's own rotation and mirroring.
class ImageDecoder
{
public:
    virtual ~ImageDecoder() = default;

    // Whether the header could be read; errorString() says why not.
    bool isValid() const { return error.isEmpty(); }
    QString errorString() const { return error; }

    // A short lower-case name of the kind of file ("heif", "avif", "jxl",
    // "raw", "tiff").
    virtual QByteArray format() const = 0;
    // As the picture appears; invalid when the header could not be read.
    virtual QSize size() const = 0;
    // Decoders that can make a smaller picture faster than a full one.
    virtual bool canScale() const { return false; }
    // The size read() is to return, exactly; only when canScale().
    virtual void setScaledSize(const QSize &) {}
    // The picture, upright, with its colour space; a null image with
    // errorString set on failure.
    virtual QImage read(QString *errorString) = 0;
    // Bytes decoding the whole picture takes at its peak: the picture as
    // read() makes it and what the library holds beside it, counted from
    // the file's own sizes, depth and samples. By default the picture at
    // four bytes a pixel.
    virtual qint64 decodeBytes() const;
    // A preview the file carries for showing it small, upright; null when
    // there is none. Never a stand-in for the picture itself.
    virtual QImage preview() { return QImage(); }
    // What the picture the last read() gave may lack although it decoded
    // (a file cut short), in the user's words.
    QStringList warnings() const { return noted; }

    // A failed read: a null image, and why in errorString when given.
    static QImage failed(QString *errorString, const QString &why);
    // Whether a picture of this size, whose decoding takes bytes, may be
    // decoded at all (the limits of ImageLimits); when not, errorString says
    // how large it is. Asked of every size a header claims before pixels
    // are allocated.
    static bool admits(const QSize &size, qint64 bytes, QString *errorString);
    // The same at four bytes a pixel.
    static bool admits(const QSize &size, QString *errorString);

    // image with the profile its file carries (ColorConverter::withProfile);
    // a profile that cannot be used is noted and left out.
    static QImage withProfile(const QImage &image, const QByteArray &icc);

protected:
    QString error;
    QStringList noted;
};

#endif // IMAGEDECODER_H
