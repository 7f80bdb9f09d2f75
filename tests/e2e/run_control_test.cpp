// The launcher as a CI step: the run-control words against the stand-in,
// whose console output, hold and exit status each row chooses.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <set>
#include <thread>

#include "e2e/harness.h"
#include "platform/loopback.h"
#include "platform/platform.h"

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
  // True when a TCP connection to |host|:|port| is accepted.
  static bool connects_to(const char* host, int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, host, &addr.sin_addr);
    const bool connected = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    return connected;
  }
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
  write_text(work_dir_ / "played.txt", "boot\nexit status=0x00000003\n");
  write_text(work_dir_ / "list.txt", "a\nb\n");
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
      // The same bytes a byte a write, paused after each line, or cut anywhere.
      {{"--expect-re", "exit status=0$"}, {{"ZELK_STANDIN_PRINT", "boot\\nexit status=0x00000003\\n"}}, 1,
       "zelk_sim: the simulator ended after ", false},
      {{"--expect-re", "exit status=0$"}, {{"ZELK_STANDIN_PRINT", "boot\\n\\pexit status=0x00000003\\n\\p"}}, 1,
       "zelk_sim: the simulator ended after ", false},
      {{"--expect-re", "exit status=0$"}, {{"ZELK_STANDIN_REPLAY", target_path(work_dir_ / "played.txt")}}, 1,
       "zelk_sim: the simulator ended after ", false},
      {{"--timeout", ".5", "--expect", "never"}, {{"ZELK_STANDIN_CHATTER_BYTES", "-1"}}, 124,
       "zelk_sim: timeout after .5 s", true},
      {{"--expect", "holding", "--junit", "report.xml"}, {{"ZELK_STANDIN_HOLD_MS", "20000"}}, 0,
       "zelk_sim: \"holding\" seen after ", true},
      // Long enough for the stand-in's first lines to reach the report
      // under a loaded Wine.
      {{"--timeout", "2", "--junit", "report.xml"}, {{"ZELK_STANDIN_HOLD_MS", "20000"}}, 124,
       "zelk_sim: timeout after 2 s", true},
      // A log or report that lost bytes is said, and the run is no pass.
      {{"--expect", "holding", "--log", "/dev/full"}, {{"ZELK_STANDIN_HOLD_MS", "20000"}}, 1,
       "zelk_sim: \"holding\" seen after ", true},
      {{"--expect", "PASS", "--junit", "report.xml"},
       {{"ZELK_STANDIN_PRINT", std::string(4000, '.') + "PASS"}, {"ZELK_STANDIN_HOLD_MS", "20000"}}, 1,
       "zelk_sim: cannot write report.xml: File too large", true, 3000},
      // Patterns: within one line, a prompt with no line end yet, a line
      // past the window that a pattern sees. The fail is held to a line's start,
      // as the stand-in's summary names a raw image in hex digits, "ab" among
      // them now and then.
      {{"--expect-re", "^boot v\\d+\\.\\d+ ok$", "--expect-re", "^login: ", "--fail-re", "^(a+)+b"},
       {{"ZELK_STANDIN_PRINT", "boot v1.23 ok\\n" + std::string(5000, 'a') + "\\nlogin: \\p"},
        {"ZELK_STANDIN_HOLD_MS", "20000"}}, 0, "zelk_sim: \"^login: \" seen after ", true},
      {{"--expect", "PASS", "--fail-re", "PAN\\w+ \\d"},
       {{"ZELK_STANDIN_PRINT", "boot\\nPAN\\pIC 7\\n"}, {"ZELK_STANDIN_HOLD_MS", "20000"}}, 1,
       "zelk_sim: \"PAN\\\\w+ \\\\d\" seen after ", true},
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
      // A listed case whose line ends with the output ran.
      {{"--cases", "tap", "--cases-list", "list.txt"}, {{"ZELK_STANDIN_PRINT", "1..2\\nok 1 - a\\nok 2 - b"}},
       0, "zelk_sim: 2 cases: 2 passed, 0 failed", false},
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
    SCOPED_TRACE(c.reason + " " + c.words.back() + " " + ::testing::PrintToString(c.env));
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
      EXPECT_EQ(c.status != 0, xml.find("<failure message=\"timeout after 2 s\"") != std::string::npos);
      EXPECT_NE(std::string::npos, xml.find(kSummary));
      EXPECT_TRUE(junit_parser_reads(junit_path())) << xml;
    }
  }
}

// Rule: a bad or missing value, a report that cannot be created, or a
// setup that would test nothing (no simulator to find, an input that
// cannot be read) is status 2 with one line, before anything is written,
// converted, copied or started; a report file that was there stays as it
// was, and a new one gives the setup problem as an error.
TEST_F(RunControlTest, BadValuesStopEverything) {
  write_text(work_dir_ / "old.xml", "old report");
  fs::remove(bin_dir_ / "zelk.iflash");
  fs::remove(bin_dir_ / "zelk.eeprom");
  const std::string missing_dir = target_path(work_dir_ / "no" / "such");
  LoopbackListener taken;
  std::string problem;
  ASSERT_EQ(LoopbackListener::Status::kListening, taken.listen(0, &problem)) << problem;
  const std::string port = std::to_string(taken.port());
  const struct {
    std::vector<std::string> words;
    std::string err;
    bool standin_on_path = true;
  } cases[] = {
      {{"--timeout", "soon"}, "zelk_sim: --timeout: 'soon' is not a number of seconds above 0\n"},
      {{"--expect", ""}, "zelk_sim: --expect: the text is empty\n"},
      {{"--fail"}, "zelk_sim: --fail: needs a value\n"},
      {{"--expect-re", "(a"}, "zelk_sim: --expect-re: '(a': missing ): (a\n"},
      {{"--fail-re", ""}, "zelk_sim: --fail-re: the pattern is empty\n"},
      {{"--cases", "junit"}, "zelk_sim: --cases: 'junit' is not one of unity, gtest, cpputest, tap, ztest\n"},
      {{"--cases-list", "list.txt"}, "zelk_sim: --cases-list: the firmware's cases are read only with --cases\n"},
      {{"--cases", "unity", "--cases-list", "list.txt"},
       "zelk_sim: --cases-list: cannot read list.txt: No such file or directory\n"},
      {{"--cases", "unity", "--cases-list", "."}, "zelk_sim: --cases-list: cannot read .: Is a directory\n"},
      {{"--junit", "old.xml", "--log", missing_dir + sep() + "log.txt"},
       "zelk_sim: cannot create " + missing_dir + sep() + "log.txt: No such file or directory\n"},
      {{"--gdb", port}, "zelk_sim: --gdb: port " + port + " is taken\n"},
      {{"--status", "--junit", "report.xml"},
       "zelk_sim: cannot start qemu-system-cskyv2: not found in PATH\n", false},
      {{"--status"}, "zelk_sim: cannot read app.fls: No such file or directory\n"},
      {{"--status", "-img", "."}, "zelk_sim: cannot read .: Is a directory\n"},
      {{"--status", "-prj"},
       "zelk_sim: cannot read ." + std::string(1, sep()) + "build" + sep() +
           "work.elf: No such file or directory\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.err);
    std::vector<std::string> words = {"-elf", "app.elf", "-img", "app.fls"};
    words.insert(words.end(), c.words.begin(), c.words.end());
    RunOptions options;
    options.put_standin_on_path = c.standin_on_path;
    RunResult r = run(words, options);
    EXPECT_EQ(2, r.status);
    EXPECT_EQ(c.err, r.err);
    EXPECT_EQ("", r.out);
    EXPECT_FALSE(standin_ran());
    if (c.words.back() == "report.xml") {
      EXPECT_NE(std::string::npos, read_text(junit_path()).find("<error message=\"cannot start "));
      EXPECT_TRUE(junit_parser_reads(junit_path()));
    }
  }
  EXPECT_EQ("old report", read_text(work_dir_ / "old.xml"));
  EXPECT_EQ(2, std::distance(fs::directory_iterator(bin_dir_), {})) << "only the programs";
  EXPECT_TRUE(fs::is_empty(tmp_dir_));
}

// Rule: runs side by side with --gdb auto each name a port of their own on
// standard error, the simulator listens there on the loopback address, and
// the program starts once a debugger connects; the watched words judge the
// run from then on.
TEST_F(RunControlTest, DebuggerPortsSideBySide) {
  std::vector<Started> runs;
  for (const std::string chip : {"c0", "c1", "c2", "c3"}) {
    fs::create_directories(work_dir_ / chip);
    for (const char* file : {"zelk.iflash", "zelk.eeprom"})
      write_bytes(work_dir_ / chip / file, std::vector<uint8_t>(4096, 0xFF));
    runs.push_back(start({"-elf", "app.elf", "-nographic", "--chip-dir", chip, "--gdb", "auto",
                          "--expect", "attached", "--timeout", "30"}));
  }
  std::vector<int> ports;
  for (Started& started : runs) {
    ASSERT_TRUE(wait_for_output(&started, "gdb     tcp:127.0.0.1:"));
    const std::string out = read_text(started.out);
    ports.push_back(std::stoi(out.substr(out.find("127.0.0.1:") + 10)));
    // Listening on every address would take this one too.
    EXPECT_FALSE(connects_to("127.0.0.2", ports.back()));
    EXPECT_TRUE(connects_to("127.0.0.1", ports.back()));
  }
  EXPECT_EQ(4u, std::set<int>(ports.begin(), ports.end()).size());
  for (size_t i = 0; i < runs.size(); ++i) {
    RunResult r = finish(runs[i]);
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ(0u, r.err.find("zelk_sim: waiting for a debugger on localhost:" +
                             std::to_string(ports[i]) + "\n")) << r.err;
  }
}

// Rule: a launcher asked to stop ends its simulator first and says it was
// interrupted (130); unwatched, it ends its simulator and then itself as
// it was asked, and passes a Ctrl-C sent to it alone on to the simulator,
// not one sent to its whole process group, which reached the simulator.
TEST_F(RunControlTest, InterruptedLauncherEndsTheSimulatorFirst) {
  RunOptions holding;
  holding.env["ZELK_STANDIN_HOLD_MS"] = "20000";
  holding.env["ZELK_STANDIN_SIGNAL_MS"] = "300";
  // Under Wine a signal reaches the launcher as the console's Ctrl-C, which
  // a real console gives the simulator as well.
  const struct {
    bool watched;
    int sig;
    bool simulator_stopped;  // the simulator was stopped first (SIGSTOP)
    bool group = false;          // sent to the launcher's process group
    bool output_unread = false;  // natively: a launcher held up by its output
    bool report_unread = false;  // natively: one waiting for its report's reader
  } cases[] = {{true, SIGINT, false}, {true, SIGTERM, false}, {false, SIGTERM, false},
               {true, SIGTERM, true}, {true, SIGKILL, false}, {false, SIGINT, false},
               {false, SIGINT, false, true}, {true, SIGTERM, false, false, true},
               {true, SIGTERM, false, false, false, true}};
  const std::string kFlash = target_path(bin_dir_ / "zelk.iflash");
  for (const auto& c : cases) {
    if (windows() && (c.sig != SIGINT || !c.watched || c.group || c.output_unread || c.report_unread))
      continue;
    SCOPED_TRACE(std::string(c.watched ? "watched, " : "unwatched, ") + strsignal(c.sig) +
                 (c.simulator_stopped ? ", the simulator stopped" : "") + (c.group ? ", to the group" : ""));
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
    Started started = start(words, options);
    if (c.output_unread || c.report_unread) {
      std::this_thread::sleep_for(std::chrono::seconds(1));
    } else {
      ASSERT_TRUE(wait_for_output(&started, "holding"));
    }
    if (c.simulator_stopped) {
      for (pid_t pid : processes_naming(kFlash)) kill(pid, SIGSTOP);
    }
    const auto asked = std::chrono::steady_clock::now();
    if (c.group) kill(-started.pid, c.sig);
    else kill_launcher(started, c.sig);
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
      EXPECT_NE(std::string::npos, read_text(started.err).find(": 1 signals came")) << read_text(started.err);
    } else {
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
    }
    if (c.simulator_stopped) {
      EXPECT_NE(std::string::npos, read_text(started.err).find("terminating on signal 15"));
    }
    EXPECT_TRUE(processes_naming(kFlash).empty());
    EXPECT_EQ(std::string::npos, read_text(started.out).find("released"));
    // The guardian of a killed launcher lets the chip go a moment after its
    // simulator ends: the next row's launch must not find it in use.
    for (int i = 0; i < 500; ++i) {
      FileLock probe;
      long holder = 0;
      if (probe.take((bin_dir_ / "zelk.lock").string(), &holder) != FileLock::Status::kHeld) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
}

}  // namespace

namespace {

// Rule: the console output of real test frameworks, played by the
// stand-in, gives one testcase per case in the report, the failed cases
// and the counts on stderr, and passes only by a summary without failure;
// a run that ends before its summary fails and says where it stood.
TEST_F(RunControlTest, RealFrameworksGiveTheirCases) {
  const std::string src = ZELK_SOURCE_DIR "/tests/e2e/frameworks/";
  const struct {
    std::string program;  // a framework's test program, its words, its variables
    const char* format;
    std::vector<std::string> words;  // the launcher's besides --cases
    std::string cut;                 // the output played ends before this text
    int status;
    std::string err;  // the start of stderr
    std::string report;
  } rows[] = {
      {"gtest_cases --gtest_color=yes", "gtest", {}, "", 1,
       "zelk_sim: failed: Checksum.OfHeader at " + src + "gtest_cases.cpp:10: Expected equality of "
       "these values: 5 4 header sum\nzelk_sim: 3 cases: 1 passed, 1 failed, 1 skipped\n",
       "Checksum.OfEmpty Checksum.OfHeader:failure Checksum.OfFlash:skipped "},
      {"gtest_cases --gtest_filter=*Empty", "gtest", {}, "", 0,
       "zelk_sim: 1 case: 1 passed, 0 failed, 0 skipped\n", "Checksum.OfEmpty "},
      {"CMOCKA_MESSAGE_OUTPUT=TAP cmocka_cases", "tap", {}, "", 1,
       "zelk_sim: failed: test_sub at " + src + "cmocka_cases.cpp:15: 0x5 != 0x4 " + src +
           "cmocka_cases.cpp:15: error: Failure!\nzelk_sim: 3 cases: 1 passed, 1 failed, 1 skipped\n",
       "app.test_add app.test_sub:failure app.test_io:skipped "},
      {"CMOCKA_MESSAGE_OUTPUT=TAP cmocka_cases pass", "tap", {"--expect", "ok 1"}, "", 0,
       "zelk_sim: 1 case: 1 passed, 0 failed, 0 skipped\n", "app.test_add "},
      {"cpputest_cases -v -c", "cpputest", {}, "", 1,
       "zelk_sim: failed: Flash.Write at " + src + "cpputest_cases.cpp:11: LONGS_EQUAL(5, 4) failed "
       "expected <5 (0x5)> but was <4 (0x4)>\nzelk_sim: 3 cases: 1 passed, 1 failed, 1 skipped\n",
       "Flash.Later:skipped Flash.Write:failure Flash.Erase "},
      {"cpputest_cases -v -n Erase", "cpputest", {}, "", 0,
       "zelk_sim: 1 case: 1 passed, 0 failed, 0 skipped\n", "Flash.Erase "},
      // The firmware dies inside a case: its status, and where it stood.
      {"gtest_cases", "gtest", {"--status"}, "Expected equality", 99,
       "zelk_sim: 1 case: 1 passed, 0 failed, 0 skipped\nzelk_sim: ended after OfEmpty, in OfHeader: "
       "the simulator ended with status 99 after ",
       "Checksum.OfEmpty zelk_sim.app:failure "},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.program);
    const fs::path played = work_dir_ / "played.txt";
    const std::string command = "cd " + std::string(ZELK_FRAMEWORKS_DIR) + " && env PATH=.:\"$PATH\" " + row.program +
                                " >" + played.string();
    ASSERT_NE(-1, std::system(command.c_str()));
    if (!row.cut.empty()) {
      const std::string whole = read_text(played);
      write_text(played, whole.substr(0, whole.find(row.cut)));
    }
    std::vector<std::string> words = {"-elf", "app.elf", "-nographic", "--cases", row.format,
                                      "--junit", "report.xml"};
    words.insert(words.end(), row.words.begin(), row.words.end());
    RunOptions options;
    options.env["ZELK_STANDIN_REPLAY"] = target_path(played);
    options.env["ZELK_STANDIN_EXIT"] = "99";
    const RunResult r = run(words, options);
    EXPECT_EQ(row.status, r.status) << r.err;
    EXPECT_EQ(row.err, r.err.substr(0, row.err.size()));
    // Each testcase as class.name, and how it did where it did not pass.
    const std::string xml = read_text(junit_path());
    std::string report;
    const std::regex testcase("<testcase name=\"([^\"]*)\" classname=\"([^\"]*)\"[^/]*?(/?)>\\s*(<(failure|skipped))?");
    for (std::sregex_iterator it(xml.begin(), xml.end(), testcase), end; it != end; ++it)
      report += (*it)[2].str() + "." + (*it)[1].str() + ((*it)[5].matched ? ":" + (*it)[5].str() : "") + " ";
    EXPECT_EQ(row.report, report) << xml;
    EXPECT_TRUE(junit_parser_reads(junit_path())) << xml;
  }
}

// Unity's output of three cases, one failing, as the stand-in plays it.
constexpr char kUnityRun[] =
    "t.c:1:test_a:PASS\nt.c:2:test_b:FAIL: Expected 5% Was: 4\nt.c:3:test_x:PASS\n"
    "\n-----------------------\n3 Tests 1 Failures 0 Ignored \nFAIL\n";

// Rule: under GitHub Actions a watched run appends its summary to the
// job's page and marks each failed case's line on stderr, never among the
// console's bytes or in the log; each can be turned off, and neither
// happens outside GitHub. Listed cases that never ran fail, and cases the
// list lacks are counted.
TEST_F(RunControlTest, GithubShowsTheCases) {
  write_text(work_dir_ / "played.txt", kUnityRun);
  write_text(work_dir_ / "list.txt", "test_a\ntest_b\ntest_gone\n");
  using Env = std::map<std::string, std::optional<std::string>>;
  const Env github = {{"GITHUB_STEP_SUMMARY", target_path(work_dir_ / "summary.md")},
                      {"GITHUB_ACTIONS", "true"}, {"ZELK_STANDIN_REPLAY", target_path(work_dir_ / "played.txt")}};
  Env off = github, away = {{"ZELK_STANDIN_REPLAY", github.at("ZELK_STANDIN_REPLAY")}};
  off.insert({{"ZELK_STEP_SUMMARY", "off"}, {"ZELK_ANNOTATIONS", "off"}});
  const struct {
    Env env;
    size_t summaries;  // in the file after the row: each run appends its own
    bool marked;
  } rows[] = {{github, 1, true}, {github, 2, true}, {off, 2, false}, {away, 2, false}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.summaries);
    RunOptions options;
    options.env = row.env;
    const RunResult r = run({"-elf", "app.elf", "-nographic", "--cases", "unity", "--cases-list",
                             "list.txt", "--log", "log.txt"},
                            options);
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("zelk_sim: 1 case ran that the list does not hold\n"
              "zelk_sim: failed: test_b at t.c:2: Expected 5% Was: 4\n"
              "zelk_sim: failed: test_gone: did not run\n"
              "zelk_sim: 4 cases: 2 passed, 2 failed, 0 skipped\n"
              "zelk_sim: 3 cases: 2 passed, 1 failed, 0 skipped; 1 listed case did not run\n" +
                  std::string(row.marked ? "::error file=t.c,line=2,title=test_b::Expected 5%25 Was: 4\n" : ""),
              r.err);
    EXPECT_EQ(std::string::npos, r.raw_out.find("::error"));
    EXPECT_EQ(std::string::npos, read_text(work_dir_ / "log.txt").find("::error"));
    const std::string md = read_text(work_dir_ / "summary.md");
    size_t headings = 0;
    for (size_t at = md.find("### "); at != std::string::npos; at = md.find("### ", at + 1)) ++headings;
    EXPECT_EQ(row.summaries, headings) << md;
    EXPECT_NE(std::string::npos, md.find("| test\\_b | t.c:2 | Expected 5% Was: 4 |\n"
                                         "| test\\_gone |  | did not run |\n"))
        << md;
  }
}

// Rule: under Bazel's test runner a watched run writes its report to
// XML_OUTPUT_FILE and its console to TEST_UNDECLARED_OUTPUTS_DIR, unless
// the words name files; makes its fresh chip under TEST_TMPDIR; and leaves
// no premature-exit mark once it ended. An unwatched run writes no report.
TEST_F(RunControlTest, BazelFindsTheReport) {
  write_text(work_dir_ / "played.txt", kUnityRun);
  const fs::path outputs = work_dir_ / "outputs", test_tmp = work_dir_ / "test_tmp";
  fs::create_directories(outputs);
  fs::create_directories(test_tmp);
  RunOptions options;
  options.env = {{"XML_OUTPUT_FILE", target_path(work_dir_ / "test.xml")},
                 {"TEST_PREMATURE_EXIT_FILE", target_path(work_dir_ / "premature")},
                 {"TEST_TMPDIR", target_path(test_tmp)},
                 {"TEST_UNDECLARED_OUTPUTS_DIR", target_path(outputs)},
                 {"ZELK_STANDIN_REPLAY", target_path(work_dir_ / "played.txt")}};
  const struct {
    std::vector<std::string> words;
    bool to_bazel;  // the report and the log where Bazel looks
  } rows[] = {
      {{"--cases", "unity"}, true},
      {{"--cases", "unity", "--junit", "report.xml", "--log", "log.txt"}, false},
      {{}, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.words.size());
    fs::remove(work_dir_ / "test.xml");
    fs::remove(outputs / "console.log");
    std::vector<std::string> words = {"--fresh-chip", "-elf", "app.elf", "-nographic"};
    words.insert(words.end(), row.words.begin(), row.words.end());
    const RunResult r = run(words, options);
    EXPECT_EQ(row.words.empty() ? 0 : 1, r.status) << r.err;
    EXPECT_FALSE(fs::exists(work_dir_ / "premature"));
    EXPECT_EQ(row.to_bazel, fs::exists(work_dir_ / "test.xml"));
    EXPECT_EQ(row.to_bazel, fs::exists(outputs / "console.log"));
    if (row.to_bazel) {
      EXPECT_NE(std::string::npos, read_text(work_dir_ / "test.xml").find("<testcase name=\"test_b\""));
      EXPECT_TRUE(junit_parser_reads(work_dir_ / "test.xml"));
      EXPECT_NE(std::string::npos, read_text(outputs / "console.log").find("t.c:3:test_x:PASS"));
    }
    // The chip was under Bazel's folder, and went with the run.
    const std::vector<std::string> args = recorded_args();
    EXPECT_TRUE(std::any_of(args.begin(), args.end(),
                            [&](const std::string& a) { return a.find(target_path(test_tmp)) != std::string::npos; }));
    EXPECT_TRUE(fs::is_empty(test_tmp));
  }
}

}  // namespace
