// The launcher as a CI step: the run-control words against the stand-in,
// whose console output, hold and exit status each row chooses.
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "e2e/harness.h"

namespace {

class RunControlTest : public LaunchTest {
 protected:
  void SetUp() override {
    LaunchTest::SetUp();
    preseed_backing_files();
    add_fixture_elf("blink", "app.elf");
  }
  // The launcher's last line on standard error.
  static std::string last_line(const std::string& err) {
    const std::vector<std::string> lines = split_lines(err);
    return lines.empty() ? "" : lines.back();
  }
  fs::path junit_path() const { return work_dir_ / "report.xml"; }
  // Natively: the launcher's standard output is a pipe nobody reads.
  static std::vector<std::string> output_unread() {
    return {"sh", "-c", "rm -f out.fifo; mkfifo out.fifo; sleep 10 <out.fifo & exec \"$@\" >out.fifo",
            "sh"};
  }
  // |count| sends of |bytes| bytes each; under Wine the line holds 32767
  // characters at most.
  static std::vector<std::string> sends(int count, size_t bytes, std::vector<std::string> then) {
    std::vector<std::string> words;
    for (int i = 0; i < count; ++i) words.insert(words.end(), {"--send-bytes", std::string(bytes, 's')});
    words.insert(words.end(), then.begin(), then.end());
    return words;
  }
};

// Rule: each way a watched run ends has its exit status and one line on
// standard error; the simulator the launcher ends is gone before it
// returns (it never gets to release its files), and its console output
// reaches the launcher's standard output as it was printed.
TEST_F(RunControlTest, EachEndHasItsStatus) {
  const std::string kSummary = "stand-in qemu-system-cskyv2: machine zelk";
  const struct {
    std::vector<std::string> words;
    std::map<std::string, std::optional<std::string>> env;
    int status;
    std::string reason;  // the start of the last line on stderr
    bool ended_by_launcher;
    uint64_t file_size_limit = 0;  // the report's final form does not fit
    std::string input = "";        // what the simulator read
    bool output_unread = false;    // natively only
    bool windows_only = false;
  } cases[] = {
      {{"--expect", "holding"}, {{"ZELK_STANDIN_HOLD_MS", "20000"}}, 0,
       "zelk_sim: \"holding\" seen after ", true},
      {{"--expect", "boot", "--expect", "PASS", "--fail", "PANIC"},
       {{"ZELK_STANDIN_PRINT", "boot\\nPA\\pSS\\n"}, {"ZELK_STANDIN_HOLD_MS", "20000"}}, 0,
       "zelk_sim: \"PASS\" seen after ", true},
      {{"--expect", "PASS", "--fail", "PANIC"},
       {{"ZELK_STANDIN_PRINT", "boot\\nPAN\\pIC\\n"}, {"ZELK_STANDIN_HOLD_MS", "20000"}}, 1,
       "zelk_sim: \"PANIC\" seen after ", true},
      {{"--expect", "PASS"}, {{"ZELK_STANDIN_EXIT", "3"}}, 1, "zelk_sim: the simulator ended after ",
       false},
      {{"--expect", "PASS", "--status"}, {{"ZELK_STANDIN_EXIT", "3"}}, 3,
       "zelk_sim: the simulator ended with status 3 after ", false},
      {{"--status"}, {{"ZELK_STANDIN_EXIT", "0"}}, 0, "zelk_sim: the simulator ended with status 0",
       false},
      {{"--log", "console.txt"}, {{"ZELK_STANDIN_EXIT", "3"}}, 0, "zelk_sim: the simulator ended after",
       false},
      {{"--timeout", "0.5"}, {{"ZELK_STANDIN_HOLD_MS", "20000"}}, 124, "zelk_sim: timeout after 0.5 s",
       true},
      {{"--timeout", ".5", "--expect", "never"}, {{"ZELK_STANDIN_CHATTER_BYTES", "-1"}}, 124,
       "zelk_sim: timeout after .5 s", true},
      {{"--expect", "holding", "--junit", "report.xml"}, {{"ZELK_STANDIN_HOLD_MS", "20000"}}, 0,
       "zelk_sim: \"holding\" seen after ", true},
      {{"--timeout", "0.5", "--junit", "report.xml"}, {{"ZELK_STANDIN_HOLD_MS", "20000"}}, 124,
       "zelk_sim: timeout after 0.5 s", true},
      // A log or report that lost bytes is said, and the run is no pass.
      {{"--expect", "holding", "--log", "/dev/full"}, {{"ZELK_STANDIN_HOLD_MS", "20000"}}, 1,
       "zelk_sim: \"holding\" seen after ", true},
      {{"--expect", "PASS", "--junit", "report.xml"},
       {{"ZELK_STANDIN_PRINT", std::string(4000, '.') + "PASS"}, {"ZELK_STANDIN_HOLD_MS", "20000"}}, 1,
       "zelk_sim: cannot write report.xml: File too large", true, 3000},
      // A device gets the final report alone.
      {{"--expect", "holding", "--junit", "/dev/full"}, {{"ZELK_STANDIN_HOLD_MS", "20000"}}, 1,
       "zelk_sim: cannot write /dev/full: No space left on device", true},
      // No write holds up the watch: sends larger than the pipe to a
      // simulator that prints much before it reads, or reads nothing, and
      // an output nobody reads.
      {windows() ? sends(1, 24576, {"--expect", "read 24576 bytes"})
                 : sends(16, 98304, {"--expect", "read 1572864 bytes"}),
       {{"ZELK_STANDIN_CHATTER_BYTES", "3145728"},
        {"ZELK_STANDIN_READ_BYTES", std::to_string(windows() ? 24576 : 16 * 98304)},
        {"ZELK_STANDIN_HOLD_MS", "20000"}},
       0, "zelk_sim: \"read ", true},
      {sends(1, windows() ? 24576 : 71680, {"--timeout", "1", "--expect", "never"}),
       {{"ZELK_STANDIN_HOLD_MS", "20000"}}, 124,
       "zelk_sim: timeout after 1 s before \"never\" was seen", true},
      {{"--timeout", "2", "--expect", "never"}, {{"ZELK_STANDIN_CHATTER_BYTES", "100000000"}}, 124,
       "zelk_sim: timeout after 2 s", true, 0, "", true},
      // A FIFO gets the final report alone, once its reader comes; one
      // that never comes is waited for no longer than the timeout.
      {{"--expect", "holding", "--junit", "report.fifo"}, {{"ZELK_STANDIN_HOLD_MS", "20000"}}, 0,
       "zelk_sim: \"holding\" seen after ", true},
      {{"--expect", "holding", "--timeout", "1", "--junit", "report.fifo"},
       {{"ZELK_STANDIN_HOLD_MS", "20000"}}, 1,
       "zelk_sim: cannot write report.fifo: no reader took it in time", true},
      // The interpreter ends, and what it left behind prints for good: its
      // output is read a moment longer, not for ever.
      {{"--status", "&", "start", "/b", "cmd", "/c", "for /l %i in (1,0,2) do @echo x"}, {}, 0,
       "zelk_sim: the simulator ended with status 0 after ", false, 0, "", false, true},
      // A conversation: each send written once the expects before it are
      // seen; a run that goes on after its last expect ends by itself.
      {{"--expect", "login: ", "--send", "root", "--expect", "hello, root", "--send-bytes",
        "exit\\r", "--status", "--timeout", "20"},
       {{"ZELK_STANDIN_ANSWER", "login: =root=hello, root;# =exit=bye"}}, 0,
       "zelk_sim: the simulator ended with status 0 after ", false, 0, "root\rexit\r"},
      {{"--expect", "login: ", "--send", "rot", "--expect", "hello, root", "--timeout", "1"},
       {{"ZELK_STANDIN_ANSWER", "login: =root=hello, root"}, {"ZELK_STANDIN_HOLD_MS", "20000"}},
       124, "zelk_sim: timeout after 1 s before \"hello, root\" was seen, after sending \"rot\"",
       true, 0, "rot\r"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reason + " " + c.words.back());
    const bool full = c.words.back() == "/dev/full";
    // Under Wine the file size limit falls on Wine's own processes too.
    if ((full || c.file_size_limit) && windows()) continue;
    std::error_code ec;
    fs::remove(junit_path(), ec);
    const bool fifo = c.words.back() == "report.fifo";
    if ((c.output_unread || fifo) && windows()) continue;
    if (c.windows_only && !windows()) continue;
    std::string report;
    std::thread reader;
    if (fifo) {
      fs::remove(work_dir_ / "report.fifo", ec);
      ASSERT_EQ(0, mkfifo((work_dir_ / "report.fifo").c_str(), 0600));
      // One reader, which reads until the end.
      if (c.status == 0) reader = std::thread([&] { report = read_text(work_dir_ / "report.fifo"); });
    }
    std::vector<std::string> words = {"-elf", "app.elf", "-nographic"};
    words.insert(words.end(), c.words.begin(), c.words.end());
    RunOptions options;
    options.env = c.env;
    if (c.output_unread) options.wrapper = output_unread();
    options.env["ZELK_STANDIN_INPUT_RECORD"] = target_path(work_dir_ / "input.txt");
    options.file_size_limit = c.file_size_limit;
    const auto started = std::chrono::steady_clock::now();
    RunResult r = run(words, options);
    const auto took = std::chrono::steady_clock::now() - started;
    if (reader.joinable()) {
      reader.join();
      EXPECT_EQ(report.find("<?xml"), report.rfind("<?xml")) << report;
      write_text(junit_path(), report);
      EXPECT_TRUE(junit_parser_reads(junit_path())) << report;
    }
    EXPECT_EQ(c.status, r.status) << r.err;
    EXPECT_EQ(0u, last_line(r.err).find(c.reason)) << r.err;
    if (!c.output_unread) {
      EXPECT_EQ(0u, r.out.find(kSummary)) << r.out;
    }
    if (c.status == 124) {
      EXPECT_LT(took, std::chrono::seconds(5));
    }
    EXPECT_LT(took, std::chrono::seconds(15));
    if (c.ended_by_launcher) {
      EXPECT_EQ(std::string::npos, r.out.find("released")) << r.out;
      EXPECT_TRUE(processes_naming(target_path(bin_dir_ / "zelk.iflash")).empty());
    }
    if (full) {
      EXPECT_NE(std::string::npos, r.err.find("zelk_sim: cannot write /dev/full: No space left on device"));
    }
    if (!c.input.empty()) {
      EXPECT_EQ(c.input, read_text(work_dir_ / "input.txt"));
    }
    if (c.file_size_limit) {
      EXPECT_NE(std::string::npos, read_text(junit_path()).find("the run did not finish"));
      continue;
    }
    if (c.words[0] == "--log") {
      EXPECT_EQ(r.raw_out, read_text(work_dir_ / "console.txt"));
    }
    if (c.words.back() == "report.xml") {
      const std::string xml = read_text(junit_path());
      EXPECT_EQ(0u, xml.find("<?xml")) << xml;
      EXPECT_NE(std::string::npos, xml.find("<testcase name=\"app\""));
      EXPECT_EQ(c.status != 0, xml.find("<failure message=\"timeout after 0.5 s\"") != std::string::npos);
      EXPECT_NE(std::string::npos, xml.find(kSummary));
      EXPECT_TRUE(junit_parser_reads(junit_path())) << xml;
    }
  }
}

// Rule: a bad or missing value, or a report that cannot be created, is
// status 2 with one line, before anything is written, converted, copied
// or started; a report file that was there stays as it was.
TEST_F(RunControlTest, BadValuesStopEverything) {
  write_text(work_dir_ / "old.xml", "old report");
  fs::remove(bin_dir_ / "zelk.iflash");
  fs::remove(bin_dir_ / "zelk.eeprom");
  const std::string missing_dir = target_path(work_dir_ / "no" / "such");
  const struct {
    std::vector<std::string> words;
    std::string err;
  } cases[] = {
      {{"--timeout", "soon"}, "zelk_sim: --timeout: 'soon' is not a number of seconds above 0\n"},
      {{"--expect", ""}, "zelk_sim: --expect: the text is empty\n"},
      {{"--fail"}, "zelk_sim: --fail: needs a value\n"},
      {{"--junit", "old.xml", "--log", missing_dir + sep() + "log.txt"},
       "zelk_sim: cannot create " + missing_dir + sep() + "log.txt: No such file or directory\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.err);
    std::vector<std::string> words = {"-elf", "app.elf", "-img", "app.fls"};
    words.insert(words.end(), c.words.begin(), c.words.end());
    RunResult r = run(words);
    EXPECT_EQ(2, r.status);
    EXPECT_EQ(c.err, r.err);
    EXPECT_EQ("", r.out);
    EXPECT_FALSE(standin_ran());
  }
  EXPECT_EQ("old report", read_text(work_dir_ / "old.xml"));
  EXPECT_EQ(2, std::distance(fs::directory_iterator(bin_dir_), {})) << "only the programs";
  EXPECT_TRUE(fs::is_empty(tmp_dir_));
}

// Rule: a launcher asked to stop ends its simulator first and says it was
// interrupted (130); unwatched, it ends its simulator and then itself as
// it was asked, and passes a Ctrl-C sent to it alone on to the simulator.
TEST_F(RunControlTest, InterruptedLauncherEndsTheSimulatorFirst) {
  RunOptions holding;
  holding.env["ZELK_STANDIN_HOLD_MS"] = "20000";
  // Under Wine a signal reaches the launcher as the console's Ctrl-C, which
  // a real console gives the simulator as well.
  const struct {
    bool watched;
    int sig;
    bool simulator_stopped;  // the simulator was stopped first (SIGSTOP)
    bool output_unread = false;  // natively: a launcher held up by its output
    bool report_unread = false;  // natively: one waiting for its report's reader
  } cases[] = {{true, SIGINT, false}, {true, SIGTERM, false}, {false, SIGTERM, false},
               {true, SIGTERM, true}, {true, SIGKILL, false}, {false, SIGINT, false},
               {true, SIGTERM, false, true}, {true, SIGTERM, false, false, true}};
  const std::string kFlash = target_path(bin_dir_ / "zelk.iflash");
  for (const auto& c : cases) {
    if (windows() && (c.sig != SIGINT || !c.watched || c.output_unread || c.report_unread)) continue;
    SCOPED_TRACE(std::string(c.watched ? "watched, " : "unwatched, ") + strsignal(c.sig) +
                 (c.simulator_stopped ? ", the simulator stopped" : ""));
    std::vector<std::string> words = {"-elf", "app.elf", "-nographic"};
    if (c.report_unread) {
      std::error_code ec;
      fs::remove(work_dir_ / "report.fifo", ec);
      ASSERT_EQ(0, mkfifo((work_dir_ / "report.fifo").c_str(), 0600));
      words.insert(words.end(), {"--expect", "holding", "--junit", "report.fifo"});
    } else if (c.watched) {
      words.insert(words.end(), {"--expect", "never", "--junit", "report.xml"});
    }
    RunOptions options = holding;
    if (c.output_unread) {
      options.env["ZELK_STANDIN_CHATTER_BYTES"] = "100000000";
      options.wrapper = output_unread();
    }
    const Started started = start(words, options);
    if (c.output_unread || c.report_unread) {
      std::this_thread::sleep_for(std::chrono::seconds(1));
    } else {
      ASSERT_TRUE(wait_for_output(started, "holding"));
    }
    if (c.simulator_stopped) {
      for (pid_t pid : processes_naming(kFlash)) kill(pid, SIGSTOP);
    }
    const auto asked = std::chrono::steady_clock::now();
    kill_launcher(started, c.sig);
    int status = 0;
    ASSERT_EQ(started.pid, waitpid(started.pid, &status, 0));
    // A stopped simulator is woken to end as asked, not forced after the
    // grace.
    EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::milliseconds(1500));
    if (c.sig == SIGKILL) {
      // The guardian ends the simulator; until the run ends, the report
      // says so.
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
      for (int i = 0; i < 500 && !processes_naming(kFlash).empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      EXPECT_NE(std::string::npos, read_text(junit_path()).find("the run did not finish"));
      EXPECT_TRUE(junit_parser_reads(junit_path()));
    } else if (c.watched) {
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 130) << status;
      EXPECT_EQ(0u, split_lines(read_text(started.err))
                        .back()
                        .find(c.report_unread ? "zelk_sim: cannot write report.fifo: interrupted"
                                              : "zelk_sim: interrupted after "));
    } else if (c.sig == SIGINT) {
      // Sent to the launcher alone, Ctrl-C is passed on, and the simulator
      // acts on it as on Ctrl-C at its terminal.
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
      EXPECT_NE(std::string::npos, read_text(started.err).find("terminating on signal 2"));
    } else {
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
    }
    if (c.simulator_stopped) {
      EXPECT_NE(std::string::npos, read_text(started.err).find("terminating on signal 15"));
    }
    EXPECT_TRUE(processes_naming(kFlash).empty());
    EXPECT_EQ(std::string::npos, read_text(started.out).find("released"));
  }
}

}  // namespace
