// The words: the input split into words at its zero bytes. The first is
// word 0, whose last path component names the program by both platforms'
// rules; the others are scanned and, for a launch, assembled after a head.
// The work folder holds a real ELF and firmware image under the names the
// seeds use, and a project build folder, so that the conversion and the
// copy run on the way. The backing files come from the storage code's own
// tests, not from here: small files stand in for them.
//
// Properties beyond the sanitizers' own:
// - a last path component is ".", a lone separator, or a piece of the path
//   with no separator in it (a double-byte character's trail byte aside);
// - the head is never rewritten and the region ends after it, holding one
//   space for each of the user's words but the launcher's own and their
//   values;
// - the launcher's own words leave nothing on the line: without them and
//   their values, the words give the same line, --gdb's arguments and
//   --coverage's translation log (added to a -d of the user's) aside;
// - the display choice follows the region directly;
// - the network and UART arguments stay within 127 characters each, so the
//   tail outgrows the quoted ELF path, at most twice the longest word with
//   every character escaped, only by a fixed amount;
// - the flash file keeps its size (the seeds' firmware lies inside it) and
//   nothing but raw images appears in the temporary directory.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "launcher/launch.h"
#include "launcher/request.h"
#include "platform/path_rules.h"
#include "platform/platform.h"
#include "storage/backing_files.h"

#ifndef ZELK_SOURCE_DIR
#error "ZELK_SOURCE_DIR names the source tree, for the sample files"
#endif

namespace {

// Large enough for the sample firmware's images, which lie inside it.
constexpr uint64_t kFlashSize = 256 * 1024;

fuzz::WorkDir& work() {
  static fuzz::WorkDir dir;
  return dir;
}

// Room for everything after the region but the network and UART
// arguments: the display choice, the kernel argument with the longest word
// or the project path, and the loader argument with its raw image path.
constexpr size_t kTailSlack = 512;

// Shift JIS, a double-byte code page whose trail bytes include the
// backslash.
bool sjis_lead_byte(unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }
bool no_lead_byte(unsigned char) { return false; }

void check_component(const std::string& path, const std::string& name, const char* separators,
                     bool double_byte) {
  if (name == "." || (name.size() == 1 && strchr(separators, name[0]))) return;
  FUZZ_CHECK(!name.empty());
  FUZZ_CHECK(path.find(name) != std::string::npos);
  if (!double_byte) FUZZ_CHECK(name.find_first_of(separators) == std::string::npos);
  if (double_byte) FUZZ_CHECK(!strchr(separators, name[0]));
}

void check_program_name(const std::string& word0) {
  check_component(word0, posix_last_component(word0), "/", false);
  check_component(word0, windows_last_component(word0, no_lead_byte), "\\/", false);
  check_component(word0, windows_last_component(word0, sjis_lead_byte), "\\/", true);
  (void)last_path_component(word0);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const fuzz::fs::path dir = work().path() / "proj";
  const fuzz::fs::path src = ZELK_SOURCE_DIR;
  fuzz::fs::create_directories(dir / "build");
  fuzz::fs::create_directories(work().path() / "tmp");
  fuzz::fs::copy_file(src / "tests/fixtures/elf/blink/blink.elf", dir / "app.elf");
  fuzz::fs::copy_file(src / "examples/blinky/build/blinky.fls", dir / "app.fls");
  fuzz::fs::copy_file(src / "examples/blinky/build/blinky.elf", dir / "build/proj.elf");
  fuzz::fs::copy_file(src / "examples/blinky/build/blinky.fls", dir / "build/proj.fls");
  const std::vector<uint8_t> erased(kFlashSize, 0xFF);
  fuzz::write_file(work().path() / "zelk.iflash", erased.data(), erased.size());
  fuzz::write_file(work().path() / "zelk.eeprom", erased.data(), 64);
  setenv("TMPDIR", (work().path() / "tmp").c_str(), 1);
  if (chdir(dir.c_str()) != 0) abort();
  // The launcher's notes would bury libFuzzer's own report.
  if (!freopen("/dev/null", "w", stdout)) abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> words;
  const char* p = reinterpret_cast<const char*>(data);
  const char* end = p + size;
  while (p < end) {
    const char* nul = static_cast<const char*>(memchr(p, '\0', static_cast<size_t>(end - p)));
    const char* stop = nul ? nul : end;
    words.emplace_back(p, stop);
    p = nul ? nul + 1 : end;
  }
  if (words.empty()) return 0;
  check_program_name(words[0]);
  for (const std::string& word : words) {
    // Words name files to read and images to copy; keep them off the
    // system's special files, whose reads may block or never end.
    if (word.find("/dev") != std::string::npos || word.find("/proc") != std::string::npos ||
        word.find("/sys") != std::string::npos)
      return 0;
  }
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  const int argc = static_cast<int>(words.size());

  const Request request = parse_words(argc, argv.data());
  if (request.outcome != ScanResult::kLaunch) return 0;
  size_t own = 0;
  for (const std::string& word : words) own += word.rfind("--", 0) == 0;

  std::vector<std::string> plain;
  for (size_t i = 0; i < words.size(); ++i) {
    const int span = i > 0 ? own_word_span(words[i].c_str()) : 0;
    if (span > 0) {
      i += static_cast<size_t>(span - 1);
      continue;
    }
    plain.push_back(words[i]);
  }
  // Coverage adds the translation log to a -d of the user's, whichever of
  // its words asked for it.
  if (!request.coverage.empty()) plain.insert(plain.end(), {"--coverage", "lcov:c.info"});
  std::vector<char*> plain_argv;
  for (std::string& word : plain) plain_argv.push_back(word.data());
  Request without = parse_words(static_cast<int>(plain.size()), plain_argv.data());
  // The debugger's arguments are the one thing a launcher's word adds.
  without.gdb_port = request.gdb_port;
  if (without.outcome == ScanResult::kLaunch) {
    const CommandLine a = cmd_copy(request, "H ", nullptr), b = cmd_copy(without, "H ", nullptr);
    FUZZ_CHECK(a.text == b.text && a.region_end == b.region_end);
  }

  const BackingFiles files = backing_files_in(work().path().string());
  const std::string head = prefix_args(files);
  prepare_backing_files(files);
  const CommandLine line = build_command_line(request, files);
  const std::string& cmd = line.text;
  const size_t region_end = line.region_end;
  FUZZ_CHECK(cmd.compare(0, head.size(), head) == 0);
  FUZZ_CHECK(region_end + 2 * own >= head.size() + static_cast<size_t>(argc - 1));
  FUZZ_CHECK(region_end <= cmd.size());
  const std::string tail = cmd.substr(region_end);
  FUZZ_CHECK(tail.rfind("-display gtk,", 0) == 0 || tail.rfind("-nographic ", 0) == 0);
  size_t longest = 0;
  for (const std::string& word : words) longest = std::max(longest, word.size());
  FUZZ_CHECK(tail.size() <= 2 * 127 + 2 * longest + kTailSlack);

  FUZZ_CHECK(fuzz::fs::file_size(files.flash) == kFlashSize);
  for (const auto& entry : fuzz::fs::directory_iterator(work().path() / "tmp"))
    FUZZ_CHECK(entry.path().filename().string().rfind("zelk_raw_", 0) == 0);
  fuzz::clear_dir(work().path() / "tmp");
  return 0;
}
