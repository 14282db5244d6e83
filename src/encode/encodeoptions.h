#ifndef ENCODEOPTIONS_H
#define ENCODEOPTIONS_H

#include <QByteArray>

// How a result is encoded besides its format: the Format tab's quality
// (1 to 100, mapped onto each encoder by the format table) and lossless
// choice, and the threads its encoder may run, so that the images in
// flight and their encoders' threads together do not outnumber the cores.
struct EncodeOptions
{
    static constexpr int defaultQuality = 75;
    static constexpr int maxThreads = 16;

    int quality = defaultQuality;
    bool lossless = false;
    int threads = 1;

    // The same with every field in its range (what a request carried may
    // be anything).
    EncodeOptions bounded() const
    {
        EncodeOptions o = *this;
        o.quality = o.quality < 1 ? 1 : o.quality > 100 ? 100 : o.quality;
        o.threads = o.threads < 1 ? 1 : o.threads > maxThreads ? maxThreads : o.threads;
        return o;
    }
};

// What a file carries besides its pixels, for the writers that take it as
// blocks (WebP chunks, HEIF items, JPEG XL boxes); an empty one is left
// out.
struct FileBlocks
{
    QByteArray icc;
    QByteArray exif; // a TIFF structure, as after a JPEG's "Exif" mark
    QByteArray xmp;  // a packet
};

#endif // ENCODEOPTIONS_H
