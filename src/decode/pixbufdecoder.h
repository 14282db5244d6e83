#ifndef PIXBUFDECODER_H
#define PIXBUFDECODER_H

#include "decode/imagedecoder.h"

#include <QByteArrayView>

// BMP and TGA files through gdk-pixbuf's loaders, which read what Qt 6.4's
// readers get wrong or refuse: TGA compressed (RLE), colour-mapped, grey
// and 16-bit; BMP with RLE4/RLE8, 16-bit channels (scaled to full range,
// not shifted) and bit fields of any width. What the loaders let pass is
// checked here: a file whose rows do not all arrive fails (a cut-short BMP
// is otherwise returned with rows nobody wrote), and so does a BMP whose
// colour indexes reach past its palette. The alpha field of a 16-bit BMP
// (ARGB4444, ARGB1555), which the loader drops, is read here.
class PixbufDecoder : public ImageDecoder
{
public:
    // kind: "bmp" or "tga", the name of the loader.
    PixbufDecoder(QByteArray bytes, QByteArray kind);

    // Whether head (the first 18 bytes at least) is a plausible TGA header;
    // TGA has no signature, so this is asked only of files named so.
    static bool looksLikeTga(QByteArrayView head);
    // Loads the loaders' modules now, while files may still be opened.
    static void loadModules();

    QByteArray format() const override { return kind; }
    QSize size() const override { return stored; }
    QImage read(QString *errorString) override;

private:
    QByteArray bytes;
    QByteArray kind;
    QSize stored;
};

#endif // PIXBUFDECODER_H
