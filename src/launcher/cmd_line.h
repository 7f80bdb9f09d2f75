// Assembly of the simulator's command line from what the words asked for
// and what the launch's steps did: the fixed head with the backing files,
// the region of the user's own words, and the arguments derived from the
// launcher's options.
#ifndef ZELK_LAUNCHER_CMD_LINE_H_
#define ZELK_LAUNCHER_CMD_LINE_H_

#include <cstddef>
#include <string>

#include "launcher/request.h"
#include "loading/elf2bin.h"
#include "storage/backing_files.h"

// The head: the simulator, its machine, the fixed options and the two
// arguments that hand it the backing files in |files|.
std::string prefix_args(const BackingFiles& files);

struct CommandLine {
  std::string text;
  // The end of the region of the user's words, on which the length test
  // is made.
  size_t region_end = 0;
};

// The whole line: |head|, the region, then the display, network, UART,
// debugger, kernel and, when the program was converted into |raw|, loader arguments.
CommandLine cmd_copy(const Request& request, const std::string& head, const RawImage* raw);

#endif  // ZELK_LAUNCHER_CMD_LINE_H_
