#include "sources/sourceformat.h"

#include "decode/decoderfactory.h"
#include "fs/sourcefile.h"

#include <QImageReader>

bool SourceFormat::isImage(const QString &path)
{
    SourceFile file(path);
    if (!file.isOpen())
        return false;
    // HEIF, AVIF, JPEG XL and camera RAW, which Qt's plug-ins lack.
    if (DecoderFactory::recognizes(file.contents(DecoderFactory::headBytes)))
        return true;
    QImageReader reader(file.device());
    reader.setDecideFormatFromContent(true);
    return reader.canRead();
}
