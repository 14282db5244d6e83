#ifndef COMMANDS_H
#define COMMANDS_H

namespace Hostile {

// The three batch commands, in the order of the Convert menu.
enum Command { SizeCommand = 0, FormatCommand = 1, BothCommand = 2 };

} // namespace Hostile

#endif // COMMANDS_H
