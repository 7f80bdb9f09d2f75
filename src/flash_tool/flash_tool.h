// zelk_flash as a library: the commands, the table that lists and
// dispatches them, and the pieces of their output. Each command prints its
// results on standard output and its problems on standard error, and
// returns the exit status.
#ifndef ZELK_FLASH_TOOL_FLASH_TOOL_H_
#define ZELK_FLASH_TOOL_FLASH_TOOL_H_

#include <cstdint>
#include <string>
#include <vector>

#include "storage/backing_files.h"
#include "storage/memory_load.h"

enum ExitStatus : int {
  kExitOk = 0,
  kExitFound = 1,    // a difference or a problem found, as cmp and diff say
  kExitTrouble = 2,  // a usage error, a file unreadable, or the chip in use
};

using Words = std::vector<std::string>;

// Runs zelk_flash on the words after the program's name.
int run_flash_tool(const Words& words);

// The words after the program's name as main was given them, wildcard
// patterns expanded where the platform's runtime would expand them, but
// never the folder of --dir, which is taken as typed.
Words flash_tool_words(int argc, char** argv);

// The commands. Those on the chip's memories are given the backing files;
// the others ignore them.
int info_command(const BackingFiles& files, const Words& args);
int diff_command(const BackingFiles& files, const Words& args);
int write_command(const BackingFiles& files, const Words& args);
int erase_command(const BackingFiles& files, const Words& args);
int dump_command(const BackingFiles& files, const Words& args);
int pack_command(const BackingFiles& files, const Words& args);
int load_command(const BackingFiles& files, const Words& args);
int where_command(const BackingFiles& files, const Words& args);
int help_command(const BackingFiles& files, const Words& args);

// Reports a problem on standard error, after the program's name; returns
// |status| for the caller to pass on.
int complain(int status, const std::string& text);

// The command's usage line without the program's name.
const char* command_usage(const std::string& name);

// A usage error of |command|: the problem, then how the command is used.
int usage_error(const std::string& command, const std::string& text);

// "image N: WHY; a launch's copy stops there".
std::string copy_stops_text(size_t image, const std::string& why);

// A chip address as the commands print them.
std::string hex32(uint64_t value);

// Hex dump lines as hexdump -C prints them: 16 bytes a line after their
// address, a line equal to the one before folded into one "*", and at the
// end the address after the last byte. Bytes come in pieces of whole lines
// but for the last.
class HexDump {
 public:
  explicit HexDump(uint64_t address) : address_(address) {}
  std::string add(const uint8_t* bytes, size_t len);
  std::string finish() const;

 private:
  static constexpr size_t kLine = 16;
  uint64_t address_;
  uint8_t last_[kLine] = {};
  bool have_last_ = false, folded_ = false;
};

#endif  // ZELK_FLASH_TOOL_FLASH_TOOL_H_
