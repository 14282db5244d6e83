#include "sources/sourceformat.h"

#include "decode/decoderfactory.h"
#include "fs/sourcefile.h"

bool SourceFormat::isImage(const QString &path)
{
    SourceFile file(path);
    if (!file.isOpen())
        return false;
    // Its first bytes against the formats' signatures: no reader's plug-in
    // runs in the window on a file that may be anything.
    return DecoderFactory::recognizes(file.contents(DecoderFactory::headBytes));
}

const QStringList &SourceFormat::suffixes()
{
    static const QStringList all{
            // Qt's readers and the BMP and TGA ones.
            "jpg", "jpeg", "jpe", "jfif", "png", "bmp", "dib", "gif", "tif", "tiff", "webp",
            "tga", "icb", "vda", "vst", "icns", "ppm", "pgm", "pbm", "pnm", "xbm", "xpm",
            // libheif's and libjxl's.
            "heic", "heif", "hif", "avif", "jxl",
            // libraw's camera files.
            "3fr", "ari", "arw", "bay", "cap", "cr2", "cr3", "crw", "dcr", "dcs", "dng", "drf",
            "eip", "erf", "fff", "iiq", "k25", "kdc", "mdc", "mef", "mos", "mrw", "nef", "nrw",
            "orf", "pef", "ptx", "pxn", "raf", "rw2", "rwl", "rwz", "sr2", "srf", "srw", "x3f"};
    return all;
}
