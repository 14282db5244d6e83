#include "isolation/warmup.h"

#include "decode/imageloader.h"
#include "decode/pixbufdecoder.h"
#include "decode/sourcereader.h"
#include "encode/imageencoder.h"
#include "encode/outputformat.h"
#include "metadata/photometadata.h"

#include <QBuffer>
#include <QColorSpace>
#include <QImageReader>
#include <QImageWriter>
#include <QThread>

#include <sys/mman.h>
#include <unistd.h>

namespace {

// Reads bytes the way a user's file is read: from a descriptor, through
// SourceReader and its decoders.
void readBack(const QByteArray &bytes, const QString &name)
{
    if (bytes.isEmpty())
        return;
    const int fd = ::memfd_create("pictavo-warmup", MFD_CLOEXEC);
    if (fd < 0)
        return;
    if (::write(fd, bytes.constData(), size_t(bytes.size())) == bytes.size()) {
        SourceReader source(fd, name);
        ImageLoader::read(source, nullptr, {}, nullptr);
        // And its metadata, as a conversion reads it.
        PhotoMetadata::read(source.source());
    }
    ::close(fd);
}

} // namespace

void Warmup::run()
{
    PhotoMetadata::initLibrary();
    QImage tiny(8, 8, QImage::Format_ARGB32);
    tiny.fill(Qt::red);
    tiny.setColorSpace(QColorSpace::SRgb);
    // Every plug-in, loaded by asking it about a few bytes.
    const QByteArray junk(64, '\0');
    for (const QByteArray &format : QImageReader::supportedImageFormats()) {
        QBuffer buffer;
        buffer.setData(junk);
        buffer.open(QIODevice::ReadOnly);
        QImageReader(&buffer, format).canRead();
    }
    // Each writable format made and read back, and the decoders of our own.
    for (const QByteArray &format : QImageWriter::supportedImageFormats()) {
        QByteArray bytes;
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        QImageWriter writer(&buffer, format);
        if (writer.write(tiny))
            readBack(bytes, QStringLiteral("warmup.") + QString::fromLatin1(format));
    }
    // The field's libraries' writers, their threads started once: what
    // they load or look up on first use happens before the sandbox is up.
    EncodeOptions twoThreads;
    twoThreads.threads = 2;
    for (const OutputFormat &format : OutputFormat::offered()) {
        if (format.writer == OutputFormat::Writer::Qt || !ImageEncoder::canWrite(format.suffix))
            continue;
        QString why;
        readBack(ImageEncoder::encode(tiny, format.suffix, PhotoMetadata(), QString(), &why,
                                      nullptr, nullptr, twoThreads),
                 QStringLiteral("warmup.") + format.suffix);
    }
    // gdk-pixbuf opens its loaders' modules on first use.
    PixbufDecoder::loadModules();
    // The C library counts the processors by reading /sys on first ask.
    QThread::idealThreadCount();
}
