#ifndef WARMUP_H
#define WARMUP_H

// Loads, in a helper process about to put up its sandbox, everything the
// readers load on first use: Qt's image plug-ins, the codecs behind libheif,
// colour management tables. Once the sandbox is up nothing can be opened
// by name any more, so whatever a reader would open lazily must be open
// before: a tiny picture of each format is made and read back here, through
// the same code that reads users' files.
namespace Warmup {

void run();

} // namespace Warmup

#endif // WARMUP_H
