// Assembly of the simulator's command line: the fixed head, the region of
// the user's own words, and the arguments derived from the launcher's
// options. The storage, program-loading and firmware-copy steps of a launch
// are called from here, in that order.
#ifndef ZELK_LAUNCHER_CMD_LINE_H_
#define ZELK_LAUNCHER_CMD_LINE_H_

#include <cstddef>
#include <string>

// Appends |text|, then one space.
void space_strcat(std::string* cmd, const std::string& text);

// Writes the head into |cmd| (the simulator, its machine, fixed options and
// the backing-file arguments) and returns where the user's words begin.
size_t prefix_args(std::string* cmd);

// Appends, after the head, the user's words (words 1 to argc-1) and
// everything that follows them, running the program conversion and the
// firmware copy on the way. Returns the end of the region of the user's
// words, on which the length test is made.
size_t cmd_copy(int argc, char** argv, std::string* cmd);

#endif  // ZELK_LAUNCHER_CMD_LINE_H_
