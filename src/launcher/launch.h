// One launch, from the words to the simulator's end: the chip's lock, its
// backing files (a chip that cannot be locked or made is refused), the
// program's conversion, the firmware copy, the line and
// its length test, then the run, watched when run-control words were
// given. Prints the launch's notes.
#ifndef ZELK_LAUNCHER_LAUNCH_H_
#define ZELK_LAUNCHER_LAUNCH_H_

#include "launcher/cmd_line.h"
#include "launcher/request.h"
#include "storage/backing_files.h"

// Returns the exit status.
int launch(Request request);

// The steps of a launch between the chip's preparation and the length
// test, in their order: the program converted, the firmware copied into
// the backing files in |files|, each with its notes printed; then the line
// assembled from |r| and what they did. The raw image goes to
// |raw_dir| where one is given. A firmware file that cannot be read is
// said on stderr; given |setup_problem| (a watched run), it, or a program
// that could not be converted, is put there instead, and the steps stop.
CommandLine build_command_line(Request r, const BackingFiles& files,
                               const std::string& raw_dir = "",
                               std::string* setup_problem = nullptr);

#endif  // ZELK_LAUNCHER_LAUNCH_H_
