// The table of zelk_flash's commands, which lists, describes and
// dispatches them, and the scan of the words before it.
#include <cstdio>
#include <cstring>

#include "flash_tool/flash_tool.h"
#include "platform/platform.h"

namespace {

struct Command {
  const char* name;
  const char* usage;
  const char* summary;
  const char* text;
  // A command on the chip's memories is given the backing files.
  bool on_chip;
  int (*run)(const BackingFiles& files, const Words& args);
};

const Command kCommands[] = {
    {"info", "info FILE",
     "what a .fls or ELF holds, and what a launch takes from it",
     "Tells what a firmware image file (.fls) or an ELF holds, told apart by its\n"
     "content. For a .fls: each image's header and data addresses, its length and\n"
     "end, and what a launch writes of it; then where a launch's copy would stop,\n"
     "and images that overlap in flash (status 1). For an ELF: the sections a\n"
     "launch turns into the raw image, flash sections then .data, the load\n"
     "address and the image's size, or the code a launch refuses it with.\n",
     false, info_command},
    {"diff", "diff FILE.fls",
     "what the next launch would write into flash",
     "Lists the image headers and 4 KiB chunks that the next launch with this\n"
     "firmware would write into flash, as address ranges with a count (status 1),\n"
     "or says that flash already holds the file (status 0). A flash file not yet\n"
     "created is compared with a new chip.\n",
     true, diff_command},
    {"write", "write FILE.fls",
     "write the firmware into flash now, as a launch does",
     "Writes the firmware into flash as a launch does, without starting the\n"
     "simulator: only the headers and 4 KiB chunks that differ. Says how many it\n"
     "wrote. Creates missing backing files as a launch does.\n",
     true, write_command},
    {"load", "load flash ADDR FILE | load eeprom OFFSET FILE",
     "put a file's bytes into flash or EEPROM",
     "Writes FILE's bytes, as they are, into flash at the chip's own address\n"
     "ADDR (0x08000000 is the first byte of flash) or into the EEPROM at\n"
     "OFFSET, as a test fixture: configuration, calibration, a file system\n"
     "image. Only the 4 KiB pieces that differ are written, counted from ADDR;\n"
     "a load that finds every byte in place leaves the file untouched. Bytes\n"
     "that would reach past the memory's end are refused before anything is\n"
     "written. Creates missing backing files as a launch does.\n",
     true, load_command},
    {"erase", "erase flash|eeprom|all",
     "back to a new chip\'s contents",
     "Gives flash, EEPROM or both a new chip's contents in place, keeping each\n"
     "file's size: flash is 0xFF with the factory block at its start, EEPROM is\n"
     "0xFF. A missing backing file is created as a launch creates it.\n",
     true, erase_command},
    {"dump", "dump flash ADDR [LEN] | dump eeprom OFFSET [LEN]",
     "hex dump of flash or EEPROM",
     "Prints LEN bytes (256 unless given) as a hex dump. Flash addresses are the\n"
     "chip's own: 0x08000000 is the first byte of flash. Runs of identical lines\n"
     "fold into one '*', as in hexdump -C.\n",
     true, dump_command},
    {"pack", "pack -o OUT.fls ADDR[:HDRADDR]=FILE...",
     "write a .fls from raw binaries",
     "Writes a firmware image file from raw binaries, one image per FILE, in the\n"
     "order given. ADDR is the flash address of its data; its 64-byte header is\n"
     "stored at HDRADDR, just below the data unless given, or nowhere with\n"
     "HDRADDR 'none'. Refuses images that a launch would refuse or ignore, and\n"
     "then leaves OUT.fls as it was.\n",
     false, pack_command},
    {"where", "where",
     "the chip's folder",
     "Prints the folder that holds the chip's flash and EEPROM files, found as\n"
     "the other commands find it, whether or not a launch has created them yet.\n",
     true, where_command},
    {"help", "help [COMMAND]",
     "this text, or a command's",
     "Prints the overview of the commands, or what one command does.\n",
     false, help_command},
};

const char kOverview[] =
    "usage: zelk_flash [--dir DIR] COMMAND [ARGS]\n"
    "\n"
    "Sees and changes the simulated zelk chip's flash and EEPROM, kept in DIR,\n"
    "else in the folder the variable ZELK_CHIP_DIR names, else beside\n"
    "zelk_flash (where the launcher keeps them), as the launcher finds them.\n"
    "\n"
    "Commands:\n";

const char kTrailer[] =
    "\n"
    "'zelk_flash COMMAND --help' describes a command. Numbers are decimal, or\n"
    "hexadecimal after 0x. Exit status: 0 done; 1 a difference or a problem\n"
    "found; 2 a usage error, a file that cannot be read or written, or a chip\n"
    "in use by a launch.\n";

bool is_help_word(const std::string& word) { return word == "--help" || word == "-h"; }

const Command* find_command(const std::string& name) {
  for (const Command& c : kCommands)
    if (name == c.name) return &c;
  return nullptr;
}

void print_overview(FILE* to) {
  fputs(kOverview, to);
  for (const Command& c : kCommands) fprintf(to, "  %-8s %s\n", c.name, c.summary);
  fputs(kTrailer, to);
}

void print_command_help(const Command& c) {
  printf("usage: zelk_flash [--dir DIR] %s\n\n%s", c.usage, c.text);
}

// The folder the backing files are kept in: --dir, ZELK_CHIP_DIR, or
// beside this program as beside the launcher.
int find_backing_files(const std::string* dir, BackingFiles* files) {
  const ChipChoice chip = choose_chip(dir ? std::optional<std::string>(*dir) : std::nullopt, "--dir");
  if (!chip.problem.empty()) return complain(kExitTrouble, chip.problem);
  if (chip.files.dir.empty())
    return complain(kExitTrouble, "cannot tell where the backing files are; give --dir DIR");
  *files = chip.files;
  return kExitOk;
}

}  // namespace

const char* command_usage(const std::string& name) {
  const Command* c = find_command(name);
  return c ? c->usage : "";
}

int where_command(const BackingFiles& files, const Words& args) {
  if (!args.empty()) return usage_error("where", "takes no words");
  printf("%s\n", absolute_path(files.dir).c_str());
  return kExitOk;
}

int help_command(const BackingFiles&, const Words& args) {
  if (args.size() > 1) return usage_error("help", "give at most one command");
  if (args.empty()) {
    print_overview(stdout);
    return kExitOk;
  }
  const Command* c = find_command(args[0]);
  if (!c) return complain(kExitTrouble, "no command '" + args[0] + "'");
  print_command_help(*c);
  return kExitOk;
}

int run_flash_tool(const Words& words) {
  std::string dir;
  bool dir_given = false;
  Words rest;
  for (size_t i = 0; i < words.size(); ++i) {
    if (words[i] == "--dir") {
      if (i + 1 == words.size()) return complain(kExitTrouble, "--dir needs a folder");
      dir = words[++i];
      dir_given = true;
    } else if (words[i].rfind("--dir=", 0) == 0) {
      dir = words[i].substr(6);
      dir_given = true;
    } else {
      rest.push_back(words[i]);
    }
  }
  // An empty name, a script's unset variable say, would otherwise mean the
  // folder beside this program.
  if (dir_given && dir.empty()) return complain(kExitTrouble, "--dir needs a folder");
  if (rest.empty()) {
    print_overview(stderr);
    return kExitTrouble;
  }
  const Command* command = find_command(is_help_word(rest[0]) ? "help" : rest[0]);
  if (!command)
    return complain(kExitTrouble, "'" + rest[0] + "' is not a command; see 'zelk_flash help'");
  const Words args(rest.begin() + 1, rest.end());
  for (const std::string& arg : args) {
    if (is_help_word(arg)) {
      print_command_help(*command);
      return kExitOk;
    }
  }
  BackingFiles files;
  if (command->on_chip) {
    if (int status = find_backing_files(dir_given ? &dir : nullptr, &files)) return status;
  }
  return command->run(files, args);
}

Words flash_tool_words(int argc, char** argv) {
  std::vector<bool> literal(argc > 0 ? static_cast<size_t>(argc) : 0);
  for (int i = 1; i + 1 < argc; ++i)
    if (strcmp(argv[i], "--dir") == 0) literal[static_cast<size_t>(i + 1)] = true;
  const Words words = program_words(argc, argv, literal);
  return Words(words.begin() + (words.empty() ? 0 : 1), words.end());
}
