#ifndef TARGETBENCH_H
#define TARGETBENCH_H

#include <QStringList>

namespace Bench {

// The new target formats through the real window and helper: each photo
// converted by "Format Convert" at the default quality, one image in
// flight (one helper, its encoder on every core), against JPEG at 75 and
// against the library's own tool at the same settings. Against the tool
// both sides convert copies of the photos without any metadata, since the
// tools keep different blocks than Pictavo does; against JPEG the photos
// are converted as given. Prints markdown tables; returns the exit status.
// `only` names the targets to run (the Format tab's items; JPG, the
// reference, always runs).
int runTargets(const QStringList &photos, int rounds, const QStringList &only = {});

} // namespace Bench

#endif // TARGETBENCH_H
