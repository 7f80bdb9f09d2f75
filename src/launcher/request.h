// What the launcher's words ask for, read in one pass: help, version or a
// launch; for a launch the options, the region of the user's own words as
// it stands on the simulator's line, and the run-control words.
#ifndef ZELK_LAUNCHER_REQUEST_H_
#define ZELK_LAUNCHER_REQUEST_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "coverage/reports.h"
#include "run_control/case_list.h"
#include "run_control/verdict.h"
#include "storage/memory_load.h"

enum class ScanResult { kUsage, kVersion, kLaunch };

// Where the CI system running the launch asks a test to leave what it
// shows: GitHub Actions' job summary and annotations, Bazel's test
// protocol. Read from the environment once, when the launch starts; an
// empty path is none.
struct CiEnvironment {
  std::string step_summary;   // GITHUB_STEP_SUMMARY, unless ZELK_STEP_SUMMARY=off
  bool annotations = false;   // GITHUB_ACTIONS=true, unless ZELK_ANNOTATIONS=off
  std::string xml_output_file;         // XML_OUTPUT_FILE
  std::string premature_exit_file;     // TEST_PREMATURE_EXIT_FILE
  std::string test_tmpdir;             // TEST_TMPDIR
  std::string undeclared_outputs_dir;  // TEST_UNDECLARED_OUTPUTS_DIR
};

struct Request {
  ScanResult outcome = ScanResult::kUsage;
  // A run-control value that cannot be used; the launch is refused with it.
  std::string error;

  bool graphic = true;
  bool project = false;
  std::optional<std::string> elf_path, image_path, eth_name, uart_num;
  // The user's words as the region holds them: every word leaves one
  // space, the words the options do not take are copied before it, the
  // ELF's path as one word for the interpreter.
  std::string region;

  // The folder holding the chip's backing files, from --chip-dir.
  std::optional<std::string> chip_dir;
  // A new chip for this run alone, from --fresh-chip; a copy of the chip
  // in the folder --chip-from names, where given.
  bool fresh_chip = false;
  // The port of the simulator's debugger server, from --gdb; 0 until a
  // free one is chosen for "auto".
  std::optional<uint16_t> gdb_port;
  std::optional<std::string> chip_from;
  // Files put into the chip after the firmware copy, from --load, in the
  // order given; their files are checked when the launch starts.
  std::vector<Load> loads;
  RunControl control;
  std::optional<std::string> log_path, junit_path;
  // The test's name in the report, from --test-name; else the project's or
  // the ELF's.
  std::optional<std::string> test_name;
  // The file naming the cases the firmware should run, from --cases-list,
  // and those cases once the launch has read it.
  std::optional<std::string> cases_list_path;
  std::vector<ListedCase> listed_cases;
  CiEnvironment ci;
  // The coverage reports to write when the run ends, from --coverage, and
  // the prefix their source paths lose, from --coverage-strip.
  struct CoverageFile {
    CoverageFormat format;
    std::string path;
  };
  std::vector<CoverageFile> coverage;
  std::string coverage_strip;
  // With coverage: whether a user's own "-d" in the region was given the
  // translation log, and the file the simulator logs to (the launch's own).
  bool region_logs_translation = false;
  std::string coverage_log;

  // Any run-control word given: the launcher then watches the run.
  bool watched = false;
};

// Reads words 1 to argc-1. The first help or version word decides,
// wherever it stands; otherwise a launch word (-elf, -kernel, -prj) makes a
// launch. The launcher's own words (those starting with "--" below) take
// the word after them as their value whatever it is, and they and their
// values leave nothing in the region: a line with them equals the line
// without them, but for the debugger's arguments --gdb adds to the tail.
Request parse_words(int argc, char** argv);

// The words main was given, wildcard patterns expanded where the
// platform's runtime would expand them (program_words), but never the
// value of one of the launcher's own words: --fail-re 'ERROR.*' stays a
// pattern whatever files the current folder holds.
std::vector<std::string> launcher_words(int argc, char** argv);

// How many words the launcher's own word |word| stands for with its value
// (1 or 2); 0 for any other word.
int own_word_span(const char* word);

// The CI system's wishes, from the environment.
CiEnvironment read_ci_environment();
// A watched run under Bazel's test runner writes its report and console
// log where the runner looks, unless the words name files of their own.
void apply_ci_environment(const CiEnvironment& ci, Request* r);

// Project mode: the ELF and firmware image of the build folder under the
// current directory |cwd|, named after its last component, replacing any
// -elf or -img value. A directory that could not be read is given as "",
// whose last component is ".".
void resolve_project(const std::string& cwd, Request* r);

#endif  // ZELK_LAUNCHER_REQUEST_H_
