// Runs the built launcher as a process in a fresh folder, with the stand-in
// simulator first on the search path, natively or as a Windows .exe under
// Wine. The environment says which:
//   ZELK_LAUNCHER      the launcher executable (zelk_sim or zelk_sim.exe);
//                      default: the native build's
//   ZELK_STANDIN       the stand-in simulator executable; default: the
//                      native build's
//   ZELK_FLASH         zelk_flash (or zelk_flash.exe), installed beside the
//                      launcher; default: the native build's
//   ZELK_WINE          the Wine loader (wine64) for the Windows leg, else
//                      unset
//   ZELK_WINE_RUNNER   the Windows leg's zelk_wine_runner.exe, which starts
//                      the launcher with the test's Windows environment
//   WINEPREFIX         the Wine prefix of the Windows leg (default ~/.wine)
#ifndef ZELK_TESTS_E2E_HARNESS_H_
#define ZELK_TESTS_E2E_HARNESS_H_

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/types.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "test_util.h"

// The launcher executable the tests run.
std::string launcher_under_test();

struct RunResult {
  int status = -1;
  // What the launcher wrote, with Windows' CR LF line ends turned into LF so
  // that one expectation fits both legs.
  std::string out, err;
  // The bytes exactly as written.
  std::string raw_out, raw_err;
};

struct RunOptions {
  std::optional<fs::path> cwd;  // default: the test's work folder
  // Variables to set (a value) or remove (nullopt) for this run. On Windows
  // they change the launcher's Windows environment, names matching in any
  // letter case, so that the profile variables Wine takes from its registry
  // can be set too.
  std::map<std::string, std::optional<std::string>> env;
  // Variables for the Windows leg's zelk_wine_runner itself, not the
  // program it starts.
  std::map<std::string, std::string> runner_env;
  bool put_standin_on_path = true;
  // 0: no limit; otherwise RLIMIT_FSIZE in bytes, with SIGXFSZ ignored.
  uint64_t file_size_limit = 0;
  // Run zelk_flash, installed beside the launcher, instead of the launcher.
  bool flash_tool = false;
  // Natively: a command and its words that start the launcher, which
  // follows as the last words (a wrapper that changes what it inherits).
  std::vector<std::string> wrapper;
  // Start the launcher by this word 0 instead of its path. On Windows it is
  // the command line's first word, which also names the program to start,
  // so it must be a path Windows finds (or a command such as "cmd").
  std::optional<std::string> word0;
};

class LaunchTest : public ::testing::Test {
 protected:
  void SetUp() override;

  static bool windows();
  // A path of this machine as the launcher sees it (Z:\... under Wine).
  static std::string target_path(const fs::path& path);
  // The file of this machine that a path the launcher wrote names: a drive
  // letter goes through the prefix's dosdevices links, and the trailing dots
  // and blanks Windows drops from a name are dropped.
  static fs::path host_path(const std::string& target);
  // The separator the launcher writes.
  static char sep() { return windows() ? '\\' : '/'; }
  // The Wine prefix of the Windows leg.
  static fs::path wine_prefix();

  // Small backing files, so that a launch does not write 128 MiB; the
  // launcher accepts any size.
  void preseed_backing_files();
  RunResult run(const std::vector<std::string>& words, const RunOptions& options = {});
  RunResult run_flash_tool(const std::vector<std::string>& words, RunOptions options = {});

  // A run that goes on while the test does more: its own process group,
  // so that everything it starts can be stopped with it.
  struct Started {
    pid_t pid = -1;
    fs::path out, err;
    // What it was started with, to start it once more.
    std::vector<std::string> words;
    RunOptions options;
  };
  Started start(const std::vector<std::string>& words, const RunOptions& options = {});
  RunResult finish(const Started& started);
  // Waits until the run's standard output holds |text|; after |seconds|,
  // or once the run has ended without it, a failure that shows what the
  // run printed. A run Wine failed to start (see run()) is started once
  // more.
  ::testing::AssertionResult wait_for_output(Started* started, const std::string& text,
                                             int seconds = 20);
  // Sends |sig| to the launcher of |started| alone, SIGKILL as a CI job's
  // end might: natively the process started, under Wine the launcher's
  // own (where SIGINT is the console's Ctrl-C).
  void kill_launcher(const Started& started, int sig = SIGKILL);
  // The processes, zombies aside, whose command line holds |text|. Under
  // Wine a process Wine has ended is given up to 2 s to leave the Unix
  // process table before it counts.
  static std::vector<pid_t> processes_naming(const std::string& text);
  // True when xmllint finds |report| a JUnit report as CI servers read
  // them (tests/fixtures/junit/junit.xsd).
  static bool junit_parser_reads(const fs::path& report);

  // The arguments the stand-in received, one per element; empty when it did
  // not run. On Windows the raw command line comes first, see raw_line().
  std::vector<std::string> recorded_args() const;
  std::string raw_line() const;
  bool standin_ran() const { return fs::exists(record_); }
  // True when |r|, a run with |options|, tested nothing: Wine failed to
  // start a program of it.
  bool tested_nothing(const RunResult& r, const RunOptions& options) const;

  // Copies a fixture ELF into the work folder under |name|.
  fs::path add_fixture_elf(const std::string& fixture, const std::string& name);

  ScopedTempDir root_;
  // tmp_dir_ is where the launcher puts its raw images: $TMPDIR natively,
  // the profile's AppData\Local\Temp on Windows. profile_dir_ is the
  // USERPROFILE of the Windows leg.
  fs::path bin_dir_, work_dir_, sim_dir_, tmp_dir_, profile_dir_, launcher_, flash_tool_, record_;
};

#endif  // ZELK_TESTS_E2E_HARNESS_H_
