#include "launcher/request.h"

#include <cstring>
#include <initializer_list>

#include "platform/platform.h"

namespace {

bool is_one_of(const char* word, std::initializer_list<const char*> list) {
  for (const char* candidate : list)
    if (strcmp(word, candidate) == 0) return true;
  return false;
}

// The launcher's own words. QEMU has no options of these names, so none
// of them could have meant something to the simulator.
enum class Own {
  kNone, kExpect, kFail, kSend, kSendBytes, kTimeout, kStatus, kLog, kJunit, kTestName, kChipDir,
  kFreshChip
};

// The words that take no value.
bool takes_no_value(Own own) { return own == Own::kStatus || own == Own::kFreshChip; }

Own own_word(const char* word) {
  static const struct {
    const char* name;
    Own own;
  } kWords[] = {{"--expect", Own::kExpect}, {"--fail", Own::kFail},
                {"--send", Own::kSend},     {"--send-bytes", Own::kSendBytes},
                {"--timeout", Own::kTimeout}, {"--status", Own::kStatus},
                {"--log", Own::kLog},       {"--junit", Own::kJunit},
                {"--test-name", Own::kTestName},
                {"--chip-dir", Own::kChipDir}, {"--fresh-chip", Own::kFreshChip}};
  for (const auto& w : kWords)
    if (strcmp(word, w.name) == 0) return w.own;
  return Own::kNone;
}

// Takes the value of one of the launcher's words; the first problem found
// is kept for the launch to refuse.
void take_own(Own own, const char* word, const char* value, Request* r) {
  auto refuse = [&](const std::string& why) {
    if (r->error.empty()) r->error = std::string(word) + ": " + why;
  };
  if (!takes_no_value(own) && !value) return refuse("needs a value");
  r->watched =
      r->watched || (own != Own::kChipDir && own != Own::kFreshChip && own != Own::kTestName);
  switch (own) {
    case Own::kNone: break;
    case Own::kExpect:
    case Own::kFail:
      if (!*value) return refuse("the text is empty");
      (own == Own::kExpect ? r->control.expect : r->control.fail).push_back(value);
      break;
    case Own::kSend:
    case Own::kSendBytes: {
      if (!*value) return refuse("the text is empty");
      Send send;
      send.after_expects = r->control.expect.size();
      // Enter at a serial console is a carriage return.
      if (own == Own::kSend) {
        send.bytes = std::string(value) + "\r";
        send.text = value;
      } else if (!parse_escapes(value, &send.bytes)) {
        return refuse("'" + std::string(value) +
                      "' has a backslash that is none of \\r \\n \\t \\\\ \\xHH");
      } else {
        send.text = send.bytes;
      }
      r->control.sends.push_back(send);
      break;
    }
    case Own::kTimeout: {
      uint64_t ms = 0;
      if (!parse_seconds(value, &ms))
        return refuse("'" + std::string(value) + "' is not a number of seconds above 0");
      r->control.timeout_ms = ms;
      r->control.timeout_text = value;
      break;
    }
    case Own::kStatus: r->control.use_status = true; break;
    case Own::kLog:
    case Own::kJunit:
      if (!*value) return refuse("the file name is empty");
      (own == Own::kLog ? r->log_path : r->junit_path) = value;
      break;
    case Own::kTestName:
      if (!*value) return refuse("the name is empty");
      r->test_name = value;
      break;
    case Own::kChipDir: r->chip_dir = value; break;
    case Own::kFreshChip: r->fresh_chip = true; break;
  }
}

// What the simulator's line makes of one of the user's words. Option words
// are tested before pending values, so a value never swallows an option.
// Returns true when the word is copied into the region.
struct Pending {
  bool elf = false, image = false, eth = false, uart = false;
};

bool take_word(const char* word, Pending* p, Request* r) {
  auto is = [word](const char* option) { return strcmp(word, option) == 0; };
  if (is("-elf")) return false;
  if (is("-img")) { p->image = true; return false; }
  if (is("-nographic")) { r->graphic = false; return false; }
  if (is("-eth")) { p->eth = true; return false; }
  if (is("-uart")) { p->uart = true; return false; }
  if (is("-prj")) { r->project = true; return false; }
  if (p->image) { p->image = false; r->image_path = word; return false; }
  if (p->eth) { p->eth = false; r->eth_name = word; return false; }
  if (p->uart) { p->uart = false; r->uart_num = word; return false; }
  return true;
}

}  // namespace

Request parse_words(int argc, char** argv) {
  Request r;
  bool launch = false;
  Pending p;
  for (int i = 1; i < argc; ++i) {
    const char* word = argv[i];
    const Own own = own_word(word);
    if (own != Own::kNone) {
      const char* value = nullptr;
      if (!takes_no_value(own) && i + 1 < argc) value = argv[++i];
      take_own(own, word, value, &r);
      continue;
    }
    if (is_one_of(word, {"--help", "--h", "-help", "-h"})) {
      r.outcome = ScanResult::kUsage;
      return r;
    }
    if (is_one_of(word, {"--version", "-version", "-v"})) {
      r.outcome = ScanResult::kVersion;
      return r;
    }
    if (is_one_of(word, {"-elf", "-kernel", "-prj"})) launch = true;

    // The ELF's path reaches the simulator as one word, as it is.
    if (take_word(word, &p, &r)) r.region += p.elf ? interpreter_word(word) : std::string(word);
    if (p.elf) {
      p.elf = false;
      r.elf_path = word;
    }
    r.region.push_back(' ');
    if (strcmp(word, "-elf") == 0) p.elf = true;
  }
  r.outcome = launch ? ScanResult::kLaunch : ScanResult::kUsage;
  if (r.fresh_chip && r.chip_dir && r.error.empty())
    r.error = "--fresh-chip: a fresh chip has no folder to name (--chip-dir)";
  return r;
}

void resolve_project(const std::string& cwd, Request* r) {
  if (!r->project) return;
  const std::string name = last_path_component(cwd);
  const std::string dir = std::string(".") + kPathSeparator + "build" + kPathSeparator;
  r->elf_path = dir + name + ".elf";
  r->image_path = dir + name + ".fls";
}
