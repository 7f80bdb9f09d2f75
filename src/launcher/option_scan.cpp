#include "launcher/option_scan.h"

#include <cstring>
#include <initializer_list>

namespace {

bool is_one_of(const char* word, std::initializer_list<const char*> list) {
  for (const char* candidate : list)
    if (strcmp(word, candidate) == 0) return true;
  return false;
}

}  // namespace

ScanResult scan_words(int argc, char** argv) {
  bool launch = false;
  for (int i = 1; i < argc; ++i) {
    const char* word = argv[i];
    if (is_one_of(word, {"--help", "--h", "-help", "-h"})) return ScanResult::kUsage;
    if (is_one_of(word, {"--version", "-version", "-v"})) return ScanResult::kVersion;
    if (is_one_of(word, {"-elf", "-kernel", "-prj"})) launch = true;
  }
  return launch ? ScanResult::kLaunch : ScanResult::kUsage;
}
