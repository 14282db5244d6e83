#ifndef DECODERFACTORY_H
#define DECODERFACTORY_H

#include "decode/imagedecoder.h"

#include <QByteArrayView>

#include <memory>

class SourceFile;

// Picks the ImageDecoder for a file. The decoders know only their base;
// this is the one place that knows them all.
namespace DecoderFactory {

// The decoder for the file, chosen from its first bytes (and, for
// TIFF-based files, from what the libraries make of the whole file); none
// when Qt's readers are the right ones.
std::unique_ptr<ImageDecoder> forFile(SourceFile *file);

// TGA files have no signature: the decoder for a file named as one whose
// header fits; none when it does not.
std::unique_ptr<ImageDecoder> forTga(SourceFile *file);

// Whether a file starting with head is of a format Pictavo reads, by its
// signature alone (no reader looks at it); cheap, for telling images from
// other files wherever no file may be parsed. headBytes are enough.
constexpr int headBytes = 64;
bool recognizes(QByteArrayView head);
// The format's name ("jpeg", "png", "heif", "tiff", "tga", ...) by the same
// table; empty when none matches.
QByteArray formatOf(QByteArrayView head);

} // namespace DecoderFactory

#endif // DECODERFACTORY_H
