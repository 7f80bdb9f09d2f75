// zelk_sim: starts the zelk microcontroller simulator with a program.

#include <cstdio>
#include <string>

#include "launcher/cmd_line.h"
#include "launcher/option_scan.h"
#include "platform/platform.h"
#include "storage/backing_files.h"

namespace {

constexpr int kBuildNumber = ZELK_BUILD_NUMBER;
// The length test covers the head and the user's words, not the tail.
constexpr size_t kArgsLimit = 1024;

const char kUsage[] =
    "%s v" ZELK_VERSION " (QEMU V" ZELK_QEMU_VERSION ")\n"
    "usage: %s -elf file -img file [options]\n"
    "\n"
    "Options:\n"
    "-h or -help     display this help and exit\n"
    "-version        display version information and exit\n"
    "-elf file       use 'file' as elf file\n"
    "-img file       use '.fls file' as firmware file\n"
    "-prj            specifies use current project elf and img (optional)\n"
    "-eth name       enable ethernet by use bridge tap interface name (optional)\n"
    "-uart num       specifies which serial port to use for log output (optional)\n"
    "\n";

std::string program_name(const char* word0) {
  return last_path_component(word0 ? word0 : "");
}

void print_help(const char* word0) {
  const std::string name = program_name(word0);
  fprintf(stderr, kUsage, name.c_str(), name.c_str());
}

void print_version(const char* word0) {
  fprintf(stderr, "%s v" ZELK_VERSION " (QEMU V" ZELK_QEMU_VERSION ")",
          program_name(word0).c_str());
  fprintf(stderr, " B%d\n", kBuildNumber);
}

// The simulator's console is the launcher's until it ends; its status and a
// failure to start it are of no concern to the launch.
void start_qemu(const std::string& command_line) {
  run_command_line(command_line);
}

int launch(int argc, char** argv) {
  // Held until the simulator has ended: one launch at a time owns the chip.
  const BackingFiles files = backing_files_beside_executable();
  FileLock lock;
  long holder = 0;
  if (!files.dir.empty()) {
    const FileLock::Status status = lock_chip(files, &lock, &holder);
    if (status == FileLock::Status::kHeld) {
      fprintf(stderr, "%s\n", chip_in_use_text(files.dir, holder).c_str());
      return 1;
    }
    if (status == FileLock::Status::kFailed)
      fprintf(stderr, "%s\n", chip_not_locked_text(files.dir).c_str());
  }
  std::string cmd;
  prefix_args(&cmd, files);
  const size_t region_end = cmd_copy(argc, argv, &cmd);
  if (region_end >= kArgsLimit) {
    printf("args too long\n");
    return 1;
  }
  fflush(stdout);
  start_qemu(cmd);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const char* word0 = argc > 0 ? argv[0] : nullptr;
  int status = 0;
  switch (scan_words(argc, argv)) {
    case ScanResult::kUsage: print_help(word0); break;
    case ScanResult::kVersion: print_version(word0); break;
    case ScanResult::kLaunch: status = launch(argc, argv); break;
  }
  flash_file.reset();
  return status;
}
