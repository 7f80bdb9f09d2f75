// zelk_sim: starts the zelk microcontroller simulator with a program.

#include <cstdio>
#include <string>
#include <vector>

#include "launcher/launch.h"
#include "launcher/request.h"
#include "platform/platform.h"

namespace {

constexpr int kBuildNumber = ZELK_BUILD_NUMBER;

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

// The launcher's own words, none of which reaches the simulator.
const char kOwnWords[] =
    "Run control, for tests and CI (exit status 0 pass, 1 fail, 124 timeout,\n"
    "130 interrupted, 2 a bad value; with --status the simulator's own):\n"
    "--expect TEXT   pass once TEXT appears in the console output (repeatable,\n"
    "                in this order); the simulator is then ended\n"
    "--fail TEXT     fail once TEXT appears (repeatable)\n"
    "--expect-re RE  --expect with an RE2 pattern, matched within one line\n"
    "--fail-re RE    --fail with an RE2 pattern, matched within one line\n"
    "--timeout SECS  end the simulator after SECS seconds (fractions allowed)\n"
    "--status        the simulator's exit status decides when it ends by itself\n"
    "--send TEXT     write TEXT and Enter to the console input once the --expect\n"
    "                texts before it are seen (repeatable)\n"
    "--send-bytes TEXT  the same without Enter; \\r \\n \\t \\\\ \\xHH are escapes\n"
    "--log FILE      copy the console output to FILE as it arrives\n"
    "--junit FILE    write a JUnit XML report of the run to FILE\n"
    "--cases FORMAT  read the firmware's test results (unity, gtest, cpputest, tap,\n"
    "                ztest): each case in the report, the failed ones said, and\n"
    "                the run passes only by a summary without failures\n"
    "--test-name NAME  the test's name in the report (default: the ELF's)\n"
    "\n"
    "--coverage FORMAT:FILE  when the run ends, write which source lines and\n"
    "                functions the firmware reached, from the ELF's -g line\n"
    "                information, as lcov or cobertura to FILE (repeatable)\n"
    "--coverage-strip PREFIX  source paths in the reports lose PREFIX\n"
    "\n"
    "--chip-dir DIR  keep the chip's flash and EEPROM in DIR, not beside the\n"
    "                launcher (also from the variable ZELK_CHIP_DIR)\n"
    "--fresh-chip    a new chip for this run alone, removed when it ends\n"
    "--chip-from DIR with --fresh-chip: start as a copy of the chip in DIR\n"
    "--load MEM:ADDR=FILE  put FILE's bytes into flash (ADDR from 0x08000000)\n"
    "                or eeprom (ADDR from 0) after the firmware copy\n"
    "                (repeatable)\n"
    "--gdb PORT|auto the simulator waits before its first instruction for a\n"
    "                debugger on localhost:PORT (auto: a free port, named on\n"
    "                standard error); --timeout counts from the start\n"
    "\n";

std::string program_name(const char* word0) {
  return last_path_component(word0 ? word0 : "");
}

void print_help(const char* word0) {
  const std::string name = program_name(word0);
  fprintf(stderr, kUsage, name.c_str(), name.c_str());
  fputs(kOwnWords, stderr);
}

void print_version(const char* word0) {
  fprintf(stderr, "%s v" ZELK_VERSION " (QEMU V" ZELK_QEMU_VERSION ")",
          program_name(word0).c_str());
  fprintf(stderr, " B%d\n", kBuildNumber);
}

}  // namespace

int main(int argc, char** argv) {
  const char* word0 = argc > 0 ? argv[0] : nullptr;
  std::vector<std::string> words = launcher_words(argc, argv);
  std::vector<char*> word_list;
  for (std::string& word : words) word_list.push_back(&word[0]);
  word_list.push_back(nullptr);
  const Request request = parse_words(static_cast<int>(words.size()), word_list.data());
  switch (request.outcome) {
    case ScanResult::kUsage: print_help(word0); return 0;
    case ScanResult::kVersion: print_version(word0); return 0;
    case ScanResult::kLaunch: return launch(request);
  }
  return 0;
}
