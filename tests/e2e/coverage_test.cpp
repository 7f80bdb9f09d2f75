// --coverage against the stand-in, which logs the code it is told to run
// as the simulator logs its translated blocks.
#include <signal.h>

#include <cstring>
#include <set>

#include "e2e/harness.h"

namespace {

// called() (line 40 at 0x0800007c) logged as one disassembled instruction,
// its lines 41 and 42 as a raw block of 14 bytes that stops short of
// never_called() at 0x08000092.
const char kRun[] = "0800007c,08000084-08000092";
const char kSummary[] = "zelk_sim: coverage: 3 of 31 lines (9.7%), 1 of 7 functions\n";

class CoverageTest : public LaunchTest {
 protected:
  void SetUp() override {
    LaunchTest::SetUp();
    preseed_backing_files();
    add_fixture_elf("coverage", "app.elf");
  }
  static std::vector<std::string> words(std::vector<std::string> more) {
    std::vector<std::string> all = {"-elf", "app.elf", "-nographic", "--coverage-strip", "/firmware/coverage"};
    all.insert(all.end(), more.begin(), more.end());
    return all;
  }
  // The lines a tracefile gives as reached.
  static std::set<std::string> reached(const std::string& tracefile) {
    std::set<std::string> lines;
    for (const std::string& line : split_lines(tracefile))
      if (line.compare(0, 3, "DA:") == 0 && line.size() > 2 && line.substr(line.size() - 2) == ",1")
        lines.insert(line.substr(3, line.size() - 5));
    return lines;
  }
  // The launch's own logs left in the temporary folder.
  size_t logs_left() const {
    size_t n = 0;
    for (const auto& entry : fs::directory_iterator(tmp_dir_))
      n += entry.path().filename().string().rfind("zelk_coverage_", 0) == 0;
    return n;
  }
  static bool cobertura_reader_takes(const fs::path& report) {
    const fs::path dtd = fs::path(ZELK_FIXTURES) / "cobertura" / "coverage-04.dtd";
    return system(("xmllint --noout --dtdvalid '" + dtd.string() + "' '" + report.string() +
                   "' >/dev/null 2>&1").c_str()) == 0;
  }
};

// Rule: whatever ends the run, watched or not (the simulator by itself, a
// verdict, the timeout, a signal to the launcher), the reports are written
// from what was run, the summary is said, and the log goes; a user's -d
// gets the translation log added where it stands. A report that cannot be
// written is said and fails the launch, the others written all the same.
TEST_F(CoverageTest, EveryEndWritesTheReports) {
  const std::string unwritable = "zelk_sim: cannot write no/such/folder/x.info: ";
  const struct {
    std::vector<std::string> words;
    std::map<std::string, std::optional<std::string>> env;
    int status;      // -1: a signal's own
    int signal = 0;  // sent once the stand-in holds
    std::string said = kSummary;
  } rows[] = {
      {{}, {}, 0},
      {{"-d", "in_asm,int", "--expect", "never"}, {{"ZELK_STANDIN_EXIT", "3"}}, 1},
      {{"--expect", "holding"}, {{"ZELK_STANDIN_HOLD_MS", "20000"}}, 0},
      {{"--timeout", "0.5"}, {{"ZELK_STANDIN_CHATTER_BYTES", "-1"}}, 124},
      {{"--expect", "never"}, {{"ZELK_STANDIN_HOLD_MS", "20000"}}, -1, SIGINT},
      {{}, {{"ZELK_STANDIN_HOLD_MS", "20000"}}, -1, SIGINT},
      {{"--expect", "never"}, {{"ZELK_STANDIN_HOLD_MS", "20000"}}, -1, SIGTERM},
      {{}, {{"ZELK_STANDIN_HOLD_MS", "20000"}}, -1, SIGTERM},
      {{"--coverage", "lcov:no/such/folder/x.info"}, {}, 1, 0, unwritable},
      {{"--coverage", "lcov:no/such/folder/x.info", "--status"}, {}, 1, 0, unwritable},
  };
  for (const auto& row : rows) {
    if (windows() && row.signal == SIGTERM) continue;
    SCOPED_TRACE(::testing::PrintToString(row.words) + (row.signal ? strsignal(row.signal) : ""));
    RunOptions options;
    options.env = row.env;
    options.env["ZELK_STANDIN_RUN"] = kRun;
    std::vector<std::string> all = words(row.words);
    all.insert(all.end(), {"--coverage", "lcov:out.info", "--coverage", "cobertura:out.xml"});
    for (const char* report : {"out.info", "out.xml"}) fs::remove(work_dir_ / report);
    RunResult r;
    if (row.signal) {
      Started started = start(all, options);
      ASSERT_TRUE(wait_for_output(&started, "holding"));
      kill_launcher(started, row.signal);
      r = finish(started);
    } else {
      r = run(all, options);
      EXPECT_EQ(row.status, r.status) << r.err;
    }
    EXPECT_NE(std::string::npos, r.err.find(row.said)) << r.err;
    EXPECT_EQ(reached(read_text(work_dir_ / "out.info")), (std::set<std::string>{"40", "41", "42"}));
    EXPECT_TRUE(cobertura_reader_takes(work_dir_ / "out.xml")) << read_text(work_dir_ / "out.xml");
    const std::vector<std::string> args = recorded_args();
    const auto d = std::find(args.begin(), args.end(), "-d");
    ASSERT_TRUE(d != args.end() && d + 1 != args.end());
    EXPECT_NE(std::string::npos, (d + 1)->find("in_asm")) << *(d + 1);
    EXPECT_EQ(std::count(args.begin(), args.end(), "-d"), 1);
    EXPECT_NE(args.end(), std::find(args.begin(), args.end(), "-D"));
    EXPECT_EQ(0u, logs_left());
  }
}

// Rule: values that cannot give a report refuse the launch with 2 before
// anything starts (the words' own checks are the request's table).
TEST_F(CoverageTest, BadValuesAreRefused) {
  add_fixture_elf("blink", "bare.elf");
  const struct {
    std::vector<std::string> words;
    std::string said;
  } refused[] = {
      {{"-elf", "app.elf", "--coverage", "gcov:x.info"}, "zelk_sim: --coverage: 'gcov' is not one of lcov, cobertura\n"},
      {{"-elf", "bare.elf", "--coverage", "lcov:x.info"},
       "zelk_sim: --coverage: bare.elf: it has no line information: build with -g\n"},
      {{"-kernel", "app.elf", "--coverage", "lcov:x.info"},
       "zelk_sim: --coverage: needs the program's ELF (-elf or -prj)\n"},
  };
  for (const auto& row : refused) {
    SCOPED_TRACE(::testing::PrintToString(row.words));
    const RunResult r = run(row.words);
    EXPECT_EQ(2, r.status);
    EXPECT_EQ(row.said, r.err);
    EXPECT_FALSE(standin_ran());
    EXPECT_FALSE(fs::exists(work_dir_ / "x.info"));
  }
}

}  // namespace
