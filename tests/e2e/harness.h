// Runs the built launcher as a process in a fresh folder, with the stand-in
// simulator first on the search path, natively or as a Windows .exe under
// Wine. The environment says which:
//   ZELK_LAUNCHER  the launcher executable (zelk_sim or zelk_sim.exe);
//                  default: the native build's
//   ZELK_STANDIN   the stand-in simulator executable; default: the native
//                  build's
//   ZELK_WINE      the Wine loader (wine64) for the Windows leg, else unset
#ifndef ZELK_TESTS_E2E_HARNESS_H_
#define ZELK_TESTS_E2E_HARNESS_H_

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "test_util.h"

// The launcher executable the tests run.
std::string launcher_under_test();

struct RunResult {
  int status = -1;
  std::string out, err;
};

struct RunOptions {
  std::optional<fs::path> cwd;  // default: the test's work folder
  // Variables to set (a value) or remove (nullopt) for this run.
  std::map<std::string, std::optional<std::string>> env;
  bool put_standin_on_path = true;
  // 0: no limit; otherwise RLIMIT_FSIZE in bytes, with SIGXFSZ ignored.
  uint64_t file_size_limit = 0;
  // Start the launcher by this word 0 instead of its path (native only).
  std::optional<std::string> word0;
};

class LaunchTest : public ::testing::Test {
 protected:
  void SetUp() override;

  static bool windows();
  // A path of this machine as the launcher sees it (Z:\... under Wine).
  static std::string target_path(const fs::path& path);
  // The separator the launcher writes.
  static char sep() { return windows() ? '\\' : '/'; }

  // Small backing files, so that a launch does not write 128 MiB; the
  // launcher accepts any size.
  void preseed_backing_files();
  RunResult run(const std::vector<std::string>& words, const RunOptions& options = {});

  // The arguments the stand-in received, one per element; empty when it did
  // not run. On Windows the raw command line comes first, see raw_line().
  std::vector<std::string> recorded_args() const;
  std::string raw_line() const;
  bool standin_ran() const { return fs::exists(record_); }

  // Copies a fixture ELF into the work folder under |name|.
  fs::path add_fixture_elf(const std::string& fixture, const std::string& name);

  ScopedTempDir root_;
  fs::path bin_dir_, work_dir_, sim_dir_, tmp_dir_, launcher_, record_;
};

#endif  // ZELK_TESTS_E2E_HARNESS_H_
