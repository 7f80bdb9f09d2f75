// zelk_flash: sees, compares, writes, resets and dumps the simulated zelk
// chip's memories, and packs firmware image files.

#include <cstdio>
#include <string>

#include "flash_tool/flash_tool.h"
#include "flash_tool/help.h"
#include "platform/platform.h"
#include "storage/backing_files.h"

namespace {

bool is_help_word(const std::string& word) { return word == "--help" || word == "-h"; }

// The folder the backing files are kept in: --dir, or beside this program
// as beside the launcher.
int find_backing_files(const std::string& dir, BackingFiles* files) {
  if (dir.empty()) {
    *files = backing_files_beside_executable();
    if (files->dir.empty())
      return complain(kExitTrouble, "cannot tell where the backing files are; give --dir DIR");
    return kExitOk;
  }
  if (!path_exists(dir) || path_is_existing_non_directory(dir))
    return complain(kExitTrouble, "--dir " + dir + ": no such folder");
  *files = backing_files_in(dir);
  return kExitOk;
}

int run_command(const std::string& command, const Words& args, const std::string& dir) {
  if (command == "info") return info_command(args);
  if (command == "pack") return pack_command(args);
  BackingFiles files;
  if (int status = find_backing_files(dir, &files)) return status;
  if (command == "diff") return diff_command(files, args);
  if (command == "write") return write_command(files, args);
  if (command == "erase") return erase_command(files, args);
  return dump_command(files, args);
}

}  // namespace

int main(int argc, char** argv) {
  std::string dir;
  Words words;
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (word == "--dir") {
      if (i + 1 == argc) return complain(kExitTrouble, "--dir needs a folder");
      dir = argv[++i];
    } else if (word.rfind("--dir=", 0) == 0) {
      dir = word.substr(6);
    } else {
      words.push_back(word);
    }
  }
  if (words.empty()) {
    print_overview(stderr);
    return kExitTrouble;
  }
  const std::string command = words[0];
  const Words args(words.begin() + 1, words.end());
  if (command == "help" || is_help_word(command)) {
    if (args.empty()) {
      print_overview(stdout);
      return kExitOk;
    }
    if (!is_command(args[0])) return complain(kExitTrouble, "no command '" + args[0] + "'");
    print_command_help(args[0]);
    return kExitOk;
  }
  if (!is_command(command))
    return complain(kExitTrouble, "'" + command + "' is not a command; see 'zelk_flash help'");
  for (const std::string& arg : args) {
    if (is_help_word(arg)) {
      print_command_help(command);
      return kExitOk;
    }
  }
  return run_command(command, args, dir);
}
