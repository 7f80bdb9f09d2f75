#include "launcher/request.h"

#include <cstring>
#include <initializer_list>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "qemu/qemu_args.h"
#include "run_control/cases.h"
#include "run_control/patterns.h"

namespace {

bool is_one_of(const char* word, std::initializer_list<const char*> list) {
  for (const char* candidate : list)
    if (strcmp(word, candidate) == 0) return true;
  return false;
}

// The launcher's own words. QEMU has no options of these names, so none
// of them could have meant something to the simulator.
enum class Own {
  kNone, kExpect, kFail, kExpectRe, kFailRe, kSend, kSendBytes, kTimeout, kStatus, kLog, kJunit, kChipDir, kFreshChip,
  kGdb, kChipFrom, kLoad, kCases, kCasesList, kTestName, kCoverage, kCoverageStrip
};

// Whether the word asks for a watched run: those about the chip and the
// debugger do not.
bool watches_the_run(Own own) {
  return own != Own::kChipDir && own != Own::kFreshChip && own != Own::kChipFrom &&
         own != Own::kLoad && own != Own::kGdb && own != Own::kTestName &&
         own != Own::kCoverage && own != Own::kCoverageStrip;
}

// A --load value, MEM:ADDR=FILE; the first '=' ends the address, so that
// FILE may hold any character. Empty, or what is wrong with it.
std::string parse_load(const std::string& value, Load* load) {
  const size_t equals = value.find('=');
  const size_t colon = value.find(':');
  if (equals == std::string::npos || equals + 1 == value.size())
    return "'" + value + "' names no file: say MEM:ADDR=FILE";
  if (colon == std::string::npos || colon > equals)
    return "'" + value + "' names no address: say MEM:ADDR=FILE";
  const std::string memory = value.substr(0, colon), address = value.substr(colon + 1, equals - colon - 1);
  if (!parse_memory(memory, &load->memory)) return "'" + memory + "' is neither flash nor eeprom";
  if (!parse_number(address, &load->address)) return "'" + address + "' is no number";
  load->path = value.substr(equals + 1);
  return load_address_problem(load->memory, load->address);
}

// The words that take no value.
bool takes_no_value(Own own) { return own == Own::kStatus || own == Own::kFreshChip; }

Own own_word(const char* word) {
  static const struct {
    const char* name;
    Own own;
  } kWords[] = {{"--expect", Own::kExpect}, {"--fail", Own::kFail},
                {"--expect-re", Own::kExpectRe}, {"--fail-re", Own::kFailRe},
                {"--send", Own::kSend},     {"--send-bytes", Own::kSendBytes},
                {"--timeout", Own::kTimeout}, {"--status", Own::kStatus},
                {"--log", Own::kLog},       {"--junit", Own::kJunit},
                {"--chip-dir", Own::kChipDir}, {"--fresh-chip", Own::kFreshChip},
                {"--gdb", Own::kGdb},
                {"--chip-from", Own::kChipFrom}, {"--load", Own::kLoad},
                {"--cases", Own::kCases}, {"--cases-list", Own::kCasesList},
                {"--test-name", Own::kTestName},
                {"--coverage", Own::kCoverage}, {"--coverage-strip", Own::kCoverageStrip}};
  for (const auto& w : kWords)
    if (strcmp(word, w.name) == 0) return w.own;
  return Own::kNone;
}

// A TCP port, 1 to 65535, in decimal digits; "auto" is 0, any free port.
bool parse_port(const char* text, uint16_t* port) {
  if (strcmp(text, "auto") == 0) return true;
  uint32_t value = 0;
  for (const char* c = text; *c; ++c) {
    if (*c < '0' || *c > '9') return false;
    value = value * 10 + static_cast<uint32_t>(*c - '0');
    if (value > 65535) return false;
  }
  *port = static_cast<uint16_t>(value);
  return value > 0;
}

// Takes the value of one of the launcher's words; the first problem found
// is kept for the launch to refuse.
void take_own(Own own, const char* word, const char* value, Request* r) {
  auto refuse = [&](const std::string& why) {
    if (r->error.empty()) r->error = std::string(word) + ": " + why;
  };
  if (!takes_no_value(own) && !value) return refuse("needs a value");
  r->watched = r->watched || watches_the_run(own);
  switch (own) {
    case Own::kNone: break;
    case Own::kExpect:
    case Own::kFail:
      if (!*value) return refuse("the text is empty");
      (own == Own::kExpect ? r->control.expect : r->control.fail).push_back(value);
      break;
    case Own::kExpectRe:
    case Own::kFailRe: {
      // Compiled once, here: a pattern that cannot be used starts nothing.
      std::string why;
      std::shared_ptr<const Pattern> pattern = Pattern::compile(value, &why);
      if (!pattern) return refuse(*value ? "'" + std::string(value) + "': " + why : why);
      const bool expect = own == Own::kExpectRe;
      auto& texts = expect ? r->control.expect : r->control.fail;
      auto& patterns = expect ? r->control.expect_pattern : r->control.fail_pattern;
      patterns.resize(texts.size());
      texts.push_back(value);
      patterns.push_back(std::move(pattern));
      break;
    }
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
    case Own::kCases:
      // Compiles the format's patterns now, once for the whole run.
      if (!find_case_format(value))
        return refuse("'" + std::string(value) + "' is not one of " + case_format_names());
      r->control.cases = value;
      break;
    case Own::kCasesList:
      if (!*value) return refuse("the file name is empty");
      r->cases_list_path = value;
      break;
    case Own::kLog:
    case Own::kJunit:
      if (!*value) return refuse("the file name is empty");
      (own == Own::kLog ? r->log_path : r->junit_path) = value;
      break;
    case Own::kTestName:
      if (!*value) return refuse("the name is empty");
      r->test_name = value;
      break;
    case Own::kCoverage: {
      // FORMAT:FILE; the first ':' ends the format, so that FILE may be a
      // Windows path with its drive.
      const std::string text = value;
      const size_t colon = text.find(':');
      if (colon == std::string::npos || colon + 1 == text.size())
        return refuse("'" + text + "' names no file: say FORMAT:FILE");
      Request::CoverageFile file;
      if (!parse_coverage_format(text.substr(0, colon), &file.format))
        return refuse("'" + text.substr(0, colon) + "' is not one of " + coverage_format_names());
      file.path = text.substr(colon + 1);
      r->coverage.push_back(file);
      break;
    }
    case Own::kCoverageStrip:
      if (!*value) return refuse("the prefix is empty");
      r->coverage_strip = value;
      break;
    case Own::kChipDir: r->chip_dir = value; break;
    case Own::kFreshChip: r->fresh_chip = true; break;
    case Own::kGdb: {
      uint16_t port = 0;
      if (!parse_port(value, &port))
        return refuse("'" + std::string(value) + "' is not a port from 1 to 65535, nor auto");
      r->gdb_port = port;
      break;
    }
    case Own::kChipFrom:
      if (!*value) return refuse("needs a folder");
      r->chip_from = value;
      break;
    case Own::kLoad: {
      Load load;
      const std::string problem = parse_load(value, &load);
      if (!problem.empty()) return refuse(problem);
      r->loads.push_back(load);
      break;
    }
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

int own_word_span(const char* word) {
  const Own own = own_word(word);
  return own == Own::kNone ? 0 : takes_no_value(own) ? 1 : 2;
}

// With coverage the simulator logs its translated code to the launch's own
// file: a user's "-d" gets the translation log added where it stands, so
// that the last "-d" still wins with it; a user's "-D" would take the log
// elsewhere and is refused.
void add_translation_log(const std::vector<std::pair<size_t, size_t>>& log_values, bool log_file,
                         Request* r) {
  if (r->coverage.empty()) return;
  if (log_file && r->error.empty())
    r->error = "--coverage: the simulator's log goes to a file of the launch's own: leave out -D";
  for (auto it = log_values.rbegin(); it != log_values.rend(); ++it) {
    const std::string value = r->region.substr(it->first, it->second - it->first);
    r->region.replace(it->first, it->second - it->first, qemu_log_with_translation(value));
    r->region_logs_translation = true;
  }
}

std::vector<std::string> launcher_words(int argc, char** argv) {
  std::vector<bool> literal(argc > 0 ? static_cast<size_t>(argc) : 0);
  for (int i = 1; i < argc; ++i)
    if (own_word_span(argv[i]) == 2 && i + 1 < argc) literal[static_cast<size_t>(++i)] = true;
  return program_words(argc, argv, literal);
}

Request parse_words(int argc, char** argv) {
  Request r;
  bool launch = false;
  Pending p;
  // Where the values of the user's "-d" stand in the region, and whether a
  // "-D" was given.
  std::vector<std::pair<size_t, size_t>> log_values;
  bool log_file = false, log_value_next = false;
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
    const size_t start = r.region.size();
    const bool copied = take_word(word, &p, &r);
    if (copied) r.region += p.elf ? interpreter_word(word) : std::string(word);
    if (copied && log_value_next) log_values.emplace_back(start, r.region.size());
    log_value_next = copied && is_qemu_option(word, kQemuLogOption);
    log_file = log_file || (copied && is_qemu_option(word, kQemuLogFileOption));
    if (p.elf) {
      p.elf = false;
      r.elf_path = word;
    }
    r.region.push_back(' ');
    if (strcmp(word, "-elf") == 0) p.elf = true;
  }
  r.outcome = launch ? ScanResult::kLaunch : ScanResult::kUsage;
  add_translation_log(log_values, log_file, &r);
  if (r.fresh_chip && r.chip_dir && r.error.empty())
    r.error = "--fresh-chip: a fresh chip has no folder to name (--chip-dir)";
  if (r.cases_list_path && r.control.cases.empty() && r.error.empty())
    r.error = "--cases-list: the firmware's cases are read only with --cases";
  if (r.chip_from && !r.fresh_chip && r.error.empty())
    r.error = "--chip-from: only a fresh chip starts as a copy (--fresh-chip)";
  return r;
}

void resolve_project(const std::string& cwd, Request* r) {
  if (!r->project) return;
  const std::string name = last_path_component(cwd);
  const std::string dir = std::string(".") + kPathSeparator + "build" + kPathSeparator;
  r->elf_path = dir + name + ".elf";
  r->image_path = dir + name + ".fls";
}

CiEnvironment read_ci_environment() {
  CiEnvironment ci;
  if (environment_value("ZELK_STEP_SUMMARY") != "off")
    ci.step_summary = environment_value("GITHUB_STEP_SUMMARY");
  ci.annotations = environment_value("GITHUB_ACTIONS") == "true" &&
                   environment_value("ZELK_ANNOTATIONS") != "off";
  ci.xml_output_file = environment_value("XML_OUTPUT_FILE");
  ci.premature_exit_file = environment_value("TEST_PREMATURE_EXIT_FILE");
  ci.test_tmpdir = environment_value("TEST_TMPDIR");
  ci.undeclared_outputs_dir = environment_value("TEST_UNDECLARED_OUTPUTS_DIR");
  return ci;
}

void apply_ci_environment(const CiEnvironment& ci, Request* r) {
  r->ci = ci;
  if (!r->watched) return;
  if (!r->junit_path && !ci.xml_output_file.empty()) r->junit_path = ci.xml_output_file;
  if (!r->log_path && !ci.undeclared_outputs_dir.empty())
    r->log_path = ci.undeclared_outputs_dir + kPathSeparator + "console.log";
}
