// The commands of zelk_flash. Each prints its results on standard output
// and its problems on standard error, and returns the exit status.
#ifndef ZELK_FLASH_TOOL_FLASH_TOOL_H_
#define ZELK_FLASH_TOOL_FLASH_TOOL_H_

#include <cstdint>
#include <string>
#include <vector>

#include "storage/backing_files.h"

enum ExitStatus : int {
  kExitOk = 0,
  kExitFound = 1,    // a difference or a problem found, as cmp and diff say
  kExitTrouble = 2,  // a usage error, a file unreadable, or the chip in use
};

using Words = std::vector<std::string>;

int info_command(const Words& args);
int diff_command(const BackingFiles& files, const Words& args);
int write_command(const BackingFiles& files, const Words& args);
int erase_command(const BackingFiles& files, const Words& args);
int dump_command(const BackingFiles& files, const Words& args);
int pack_command(const Words& args);

// Reports a problem on standard error, after the program's name; returns
// |status| for the caller to pass on.
int complain(int status, const std::string& text);

// A usage error of |command|: the problem, then how the command is used.
int usage_error(const std::string& command, const std::string& text);

// A number as the commands take them: decimal, or hexadecimal after 0x.
bool parse_number(const std::string& text, uint64_t* value);

// A chip address as the commands print them.
std::string hex32(uint64_t value);

#endif  // ZELK_FLASH_TOOL_FLASH_TOOL_H_
