// Assembly of the simulator's command line: the fixed head, the region of
// the user's own words, and the arguments derived from the launcher's
// options. The storage, program-loading and firmware-copy steps of a launch
// are called from here, in that order, and their notes printed.
#ifndef ZELK_LAUNCHER_CMD_LINE_H_
#define ZELK_LAUNCHER_CMD_LINE_H_

#include <cstddef>
#include <string>

#include "storage/backing_files.h"

// Writes the head into |cmd| (the simulator, its machine, fixed options and
// the arguments for the backing files in |files|, created when missing) and
// returns where the user's words begin.
size_t prefix_args(std::string* cmd, const BackingFiles& files);

// Appends, after the head, the user's words (words 1 to argc-1) and
// everything that follows them, running the program conversion and the
// firmware copy on the way. Returns the end of the region of the user's
// words, on which the length test is made.
size_t cmd_copy(int argc, char** argv, std::string* cmd);

#endif  // ZELK_LAUNCHER_CMD_LINE_H_
