#ifndef HEIFBOXES_H
#define HEIFBOXES_H

#include <QByteArrayView>
#include <QSize>

// The sizes a HEIF or AVIF file's primary picture will really decode at,
// read from the boxes themselves. libheif reports the size box ('ispe'),
// which a file may set to anything: a grid whose own data says 16384 x
// 16384, or an HEVC stream whose parameter set is larger, is decoded whole
// at that size all the same. Only bounded reads of the bytes given.
namespace HeifBoxes {

struct Coded
{
    // The output size a grid item declares; invalid when the primary
    // picture is not a grid.
    QSize grid;
    // The size the primary picture's HEVC parameter set declares (the
    // largest over the ones present); invalid when there is none.
    QSize stream;
    // The size box ('ispe') of the primary picture: the size it is coded
    // at, before a clean aperture ('clap') crops it to what is shown;
    // invalid when there is none.
    QSize boxed;
    // Whether the picture is shown turned a quarter ('irot'): the sizes
    // above are as stored.
    bool quarterTurn = false;
};

Coded primary(QByteArrayView file);

} // namespace HeifBoxes

#endif // HEIFBOXES_H
