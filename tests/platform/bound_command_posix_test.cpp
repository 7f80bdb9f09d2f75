// BoundCommand against the stand-in simulator, which acts on signals as the
// simulator does (it catches SIGINT, SIGTERM and SIGHUP, says so and exits
// with status 0) and prints a byte at a time.
#include "platform/bound_command.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <cerrno>
#include <chrono>
#include <thread>
#include <vector>

#include "test_util.h"

namespace {

using Event = BoundCommand::Event;
using Clock = std::chrono::steady_clock;

class BoundCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    write_text(dir_.path() / "flash", "flash");
    write_text(dir_.path() / "eeprom", "eeprom");
  }

  // The stand-in's line, with |env| set for it; its errors go to a file.
  std::string simulator(const std::string& env) const {
    const fs::path dir = dir_.path();
    return env + " '" ZELK_DEFAULT_STANDIN "' -machine zelk -nographic -global zelk_iflash.flash='" +
           (dir / "flash").string() + "' -global zelk_i2c.eeprom='" + (dir / "eeprom").string() +
           "' 2>>'" + (dir / "err.txt").string() + "'";
  }
  std::string simulator_errors() const { return read_text(dir_.path() / "err.txt"); }

  // Waits up to |ms| for an event other than output, collecting the output.
  Event next(BoundCommand* command, int64_t ms = 10000) {
    char buf[64];
    size_t got = 0;
    Event event;
    while ((event = command->wait(ms, buf, sizeof buf, &got)) == Event::kOutput)
      output_.append(buf, got);
    return event;
  }

  // True once the process whose id the file |name| holds has ended: gone,
  // a zombie, or past closing its files, which it does only after its
  // memory, and with it its command line, has gone.
  bool ended(const std::string& name) const {
    std::string pid = read_text(dir_.path() / name);
    pid = pid.substr(0, pid.find('\n'));
    if (pid.empty()) return false;
    const std::string stat = read_text("/proc/" + pid + "/stat");
    return stat.empty() || stat.find(") Z ") != std::string::npos ||
           read_text("/proc/" + pid + "/cmdline").empty();
  }

  // Whether the command's processes stand as a case needs them before
  // end(): |standins| stand-ins that catch SIGTERM already (a stopped one
  // aside, which may be stopped before it took its handlers), the ids in
  // the files a and b written where the line writes them, and the process
  // in b stopped where |stopped|. A loaded machine may take far longer than
  // usual to get there, and a process that the shell stops after end()
  // asked it to end is rightly forced.
  bool ready(const std::string& line, int standins, bool stopped) const {
    for (const char* name : {"a", "b"}) {
      if (line.find(std::string("> ") + name) != std::string::npos &&
          read_text(dir_.path() / name).empty())
        return false;
    }
    int catching = 0;
    for (const auto& entry : fs::directory_iterator("/proc")) {
      const std::string cmdline = read_text(entry.path() / "cmdline");
      // Stand-ins of other tests run meanwhile, on chips of their own.
      if (cmdline.compare(0, cmdline.find('\0'), ZELK_DEFAULT_STANDIN) != 0 ||
          cmdline.find(dir_.path().string()) == std::string::npos)
        continue;
      const std::string status = read_text(entry.path() / "status");
      const size_t at = status.find("SigCgt:");
      if (at != std::string::npos &&
          (std::stoull(status.substr(at + 7), nullptr, 16) >> (SIGTERM - 1) & 1))
        ++catching;
    }
    if (catching < standins - stopped) return false;
    if (!stopped) return true;
    std::string pid = read_text(dir_.path() / "b");
    return read_text("/proc/" + pid.substr(0, pid.find('\n')) + "/stat").find(") T ") != std::string::npos;
  }

  ScopedTempDir dir_;
  std::string output_;
};

// Rule: the command's output comes to wait() whole, however it was written,
// and its status is the interpreter's; the SIGPIPE the launcher ignores
// while it captures is the command's default again.
TEST_F(BoundCommandTest, OutputAndStatusAreTheInterpreters) {
  const struct {
    std::string line;
    std::string output;
    int status;
  } cases[] = {
      {"printf abc; exit 3", "abc", 3},
      {"kill -9 $$", "", 137},
      {"printf %d $(( 0x$(sed -n 's/^SigIgn:[[:space:]]*//p' /proc/self/status) >> 12 & 1 ))",
       "0", 0},
      {simulator("ZELK_STANDIN_PRINT='x\\py\\n'"), "xy\n", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    output_.clear();
    BoundCommand command;
    BoundCommand::Options options;
    options.capture = true;
    ASSERT_TRUE(command.start(c.line, options)) << command.problem();
    EXPECT_EQ(Event::kEnded, next(&command));
    EXPECT_EQ(c.status, command.status());
    EXPECT_NE(std::string::npos, output_.find(c.output)) << output_;
  }
}

// Rule: end() asks every process of the command to end, a stopped one
// included, and forces only one that stays past the grace; it returns once
// all of them are gone, wherever the interpreter put them.
TEST_F(BoundCommandTest, EndAsksFirstThenForcesEveryProcessOfTheCommand) {
  const std::string hold = simulator("ZELK_STANDIN_HOLD_MS=20000");
  const struct {
    std::string line;
    int standins;
    bool stopped;
    bool asked;  // the stand-in said it was ended by SIGTERM
    int min_ms, max_ms;
  } cases[] = {
      {hold, 1, false, true, 0, 1500},
      {hold + " & echo $! > a; " + hold + " & echo $! > b; kill -STOP $!; wait", 2, true, true, 0,
       1500},
      {"trap '' TERM; sleep 30 & echo $! > a; sleep 30 & echo $! > b; wait", 0, false, false, 1900,
       4000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    for (const char* name : {"err.txt", "a", "b"}) write_text(dir_.path() / name, "");
    BoundCommand command;
    ASSERT_TRUE(command.start("cd '" + dir_.path().string() + "'; " + c.line, {}));
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (!ready(c.line, c.standins, c.stopped) && Clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(ready(c.line, c.standins, c.stopped));
    // The shell reaches its wait.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto started = Clock::now();
    command.end();
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started);
    EXPECT_GE(took.count(), c.min_ms);
    EXPECT_LE(took.count(), c.max_ms);
    EXPECT_EQ(c.asked, simulator_errors().find("terminating on signal 15") != std::string::npos)
        << simulator_errors();
    if (c.line.find("> a") != std::string::npos) {
      EXPECT_TRUE(ended("a"));
      EXPECT_TRUE(ended("b"));
    }
  }
}

// Rule: a send is written by wait() as the command takes it, kSent after
// its last byte, however large, while the output is still read; once the
// command has closed its input, a send fails with the reason.
TEST_F(BoundCommandTest, SendWritesTheInputUntilTheCommandClosesIt) {
  BoundCommand command;
  BoundCommand::Options options;
  options.capture = options.input = true;
  // 3 MiB printed before anything is read; 4 MiB read, then the input
  // closed.
  ASSERT_TRUE(command.start("head -c 3145728 /dev/zero; head -c 4194304 >/dev/null; echo got;"
                            " exec 0<&-; sleep 5", options));
  const std::string big(4 << 20, 'x');
  ASSERT_TRUE(command.send(big.data(), big.size()));
  std::vector<char> buf(1 << 16);
  size_t got = 0, printed = 0;
  Event event;
  while ((event = command.wait(10000, buf.data(), buf.size(), &got)) == Event::kOutput)
    printed += got;
  EXPECT_EQ(Event::kSent, event);
  while (printed < 3145728u + 4 && command.wait(10000, buf.data(), buf.size(), &got) == Event::kOutput)
    printed += got;
  EXPECT_EQ(3145728u + 4, printed);
  // The interpreter closes its input a moment after it has printed.
  int error = 0;
  for (int i = 0; i < 300 && error == 0; ++i) {
    ASSERT_TRUE(command.send("more\n", 5));
    if (command.wait(5000, buf.data(), buf.size(), &got) == Event::kSendFailed) error = errno;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(EPIPE, error);
}

}  // namespace
