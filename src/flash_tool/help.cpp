#include "flash_tool/help.h"

#include <cstdio>
#include <cstring>

namespace {

struct CommandHelp {
  const char* name;
  const char* usage;
  const char* summary;
  const char* text;
};

const CommandHelp kCommands[] = {
    {"info", "info FILE",
     "what a .fls or ELF holds, and what a launch takes from it",
     "Tells what a firmware image file (.fls) or an ELF holds, told apart by its\n"
     "content. For a .fls: each image's header and data addresses, its length and\n"
     "end, and what a launch writes of it; then where a launch's copy would stop,\n"
     "and images that overlap in flash (status 1). For an ELF: the sections a\n"
     "launch turns into the raw image, flash sections then .data, the load\n"
     "address and the image's size, or the code a launch refuses it with.\n"},
    {"diff", "diff FILE.fls",
     "what the next launch would write into flash",
     "Lists the image headers and 4 KiB chunks that the next launch with this\n"
     "firmware would write into flash, as address ranges with a count (status 1),\n"
     "or says that flash already holds the file (status 0). A flash file not yet\n"
     "created is compared with a new chip.\n"},
    {"write", "write FILE.fls",
     "write the firmware into flash now, as a launch does",
     "Writes the firmware into flash as a launch does, without starting the\n"
     "simulator: only the headers and 4 KiB chunks that differ. Says how many it\n"
     "wrote. Creates missing backing files as a launch does.\n"},
    {"erase", "erase flash|eeprom|all",
     "back to a new chip\'s contents",
     "Gives flash, EEPROM or both a new chip's contents in place, keeping each\n"
     "file's size: flash is 0xFF with the factory block at its start, EEPROM is\n"
     "0xFF. A missing backing file is created as a launch creates it.\n"},
    {"dump", "dump flash ADDR [LEN] | dump eeprom OFFSET [LEN]",
     "hex dump of flash or EEPROM",
     "Prints LEN bytes (256 unless given) as a hex dump. Flash addresses are the\n"
     "chip's own: 0x08000000 is the first byte of flash. Runs of identical lines\n"
     "fold into one '*', as in hexdump -C.\n"},
    {"pack", "pack -o OUT.fls ADDR[:HDRADDR]=FILE...",
     "write a .fls from raw binaries",
     "Writes a firmware image file from raw binaries, one image per FILE, in the\n"
     "order given. ADDR is the flash address of its data; its 64-byte header is\n"
     "stored at HDRADDR, just below the data unless given, or nowhere with\n"
     "HDRADDR 'none'. Refuses images that a launch would refuse.\n"},
};

const char kOverview[] =
    "usage: zelk_flash [--dir DIR] COMMAND [ARGS]\n"
    "\n"
    "Sees and changes the simulated zelk chip's flash and EEPROM, kept beside\n"
    "zelk_flash (where the launcher keeps them) or in DIR.\n"
    "\n"
    "Commands:\n";

const char kTrailer[] =
    "\n"
    "'zelk_flash COMMAND --help' describes a command. Numbers are decimal, or\n"
    "hexadecimal after 0x. Exit status: 0 done; 1 a difference or a problem\n"
    "found; 2 a usage error, a file that cannot be read or written, or a chip\n"
    "in use by a launch.\n";

}  // namespace

bool is_command(const std::string& name) { return command_usage(name) != nullptr; }

const char* command_usage(const std::string& name) {
  for (const CommandHelp& c : kCommands)
    if (name == c.name) return c.usage;
  return nullptr;
}

void print_overview(FILE* to) {
  fputs(kOverview, to);
  for (const CommandHelp& c : kCommands) fprintf(to, "  %-8s %s\n", c.name, c.summary);
  fprintf(to, "  %-8s %s\n", "help", "this text, or a command's");
  fputs(kTrailer, to);
}

void print_command_help(const std::string& name) {
  for (const CommandHelp& c : kCommands) {
    if (name != c.name) continue;
    printf("usage: zelk_flash [--dir DIR] %s\n\n%s", c.usage, c.text);
  }
}
