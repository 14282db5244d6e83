#ifndef CONVERTMODE_H
#define CONVERTMODE_H

#include <QObject>

// What a convert command asks of each image: the one list of modes, shared
// by the worker, the job, the batch runner and the status bar. The values
// are those the window's commands have always used.
namespace ConvertModes {
Q_NAMESPACE

enum class ConvertMode {
    SizeConvert = 0,   // scale, keep the source's format
    FormatConvert = 1, // keep the size, write another format
    BothConvert = 2,   // scale and write another format
};
Q_ENUM_NS(ConvertMode)

} // namespace ConvertModes

using ConvertModes::ConvertMode;

#endif // CONVERTMODE_H
