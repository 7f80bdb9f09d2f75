// The simulator bound to its launcher, natively: at a terminal the two are
// one job; a kill of any of its processes, at any moment, never frees the
// chip while a simulator runs; what the launcher inherits, the simulator
// inherits too.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "e2e/harness.h"
#include "platform/platform.h"

namespace {

using Clock = std::chrono::steady_clock;

class BindingTest : public LaunchTest {
 protected:
  void SetUp() override {
    LaunchTest::SetUp();
    if (windows()) GTEST_SKIP() << "POSIX terminals and signals; the Windows leg binds by job";
    preseed_backing_files();
    add_fixture_elf("blink", "app.elf");
  }

  std::vector<pid_t> simulators() const {
    return processes_naming(target_path(bin_dir_ / "zelk.iflash"));
  }

  // The ids of |pid|'s children named |name|, or not named it with |other|.
  static std::vector<pid_t> children(pid_t pid, const std::string& name, bool other = false) {
    std::vector<pid_t> found;
    const std::string list = read_text("/proc/" + std::to_string(pid) + "/task/" +
                                       std::to_string(pid) + "/children");
    for (size_t at = 0; at < list.size();) {
      const size_t end = list.find(' ', at);
      const std::string child = list.substr(at, end - at);
      at = end == std::string::npos ? list.size() : end + 1;
      if (child.empty()) continue;
      const std::string comm = read_text("/proc/" + child + "/comm");
      if ((comm == name + "\n") != other) found.push_back(std::stoi(child));
    }
    return found;
  }

  // Waits for the launcher of |started| to end, for at most 20 s.
  int wait_launcher(const Started& started) {
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    int status = 0;
    while (waitpid(started.pid, &status, WNOHANG) == 0) {
      if (Clock::now() > deadline) {
        kill(-started.pid, SIGKILL);
        waitpid(started.pid, &status, 0);
        ADD_FAILURE() << "the launcher did not end";
        return -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return status;
  }

  static bool can_unshare() { return system("unshare -m true 2>/dev/null") == 0; }

  // Runs terminal.py with |steps| in the work folder, the stand-in on the
  // path and |env| set; what the terminal showed where a step was not met.
  std::string at_terminal(const std::vector<std::string>& steps, const std::string& env,
                          const std::string& sh = "") {
    auto quoted = [](const std::string& word) {
      std::string q = "'";
      for (char c : word) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
      return q + "'";
    };
    std::string command = "cd " + quoted(work_dir_.string()) + " && env PATH=" +
                          quoted(sim_dir_.string() + ":" + std::getenv("PATH")) +
                          " TMPDIR=" + quoted(tmp_dir_.string()) + " " + env + " ";
    if (!sh.empty())
      command += "unshare -m bash -c 'mount --bind " + sh + " /bin/sh && exec \"$@\"' _ ";
    command += "python3 " + quoted(ZELK_SOURCE_DIR "/tests/e2e/terminal.py");
    for (const std::string& step : steps) command += " " + quoted(step);
    FILE* pipe = popen(command.c_str(), "r");
    std::string shown;
    char buf[4096];
    while (size_t n = fread(buf, 1, sizeof buf, pipe)) shown.append(buf, n);
    return pclose(pipe) == 0 ? "" : shown;
  }
};

// Rule: at a terminal the launch is one job with its simulator, as the
// simulator run alone would be: Ctrl-Z stops both and gives the prompt back,
// fg resumes both; Ctrl-C is an interruption (130) whatever the simulator
// and the interpreter make of it; the launcher killed, the terminal is the
// job's as before, with its settings; the launch's pipeline partners keep
// the terminal.
TEST_F(BindingTest, AtATerminalTheLaunchIsOneJobWithItsSimulator) {
  const std::string launcher = "'" + launcher_.string() + "' -elf app.elf -nographic";
  const struct {
    std::string name, env;
    std::vector<std::string> steps;
    std::string sh;  // what /bin/sh is, where not the system's
  } cases[] = {
      {"Ctrl-Z, jobs, fg, Ctrl-C", "ZELK_STANDIN_CHATTER_BYTES=-1",
       {"send:" + launcher + " --expect never --timeout 60\\n", "expect:log: sensor", "send:\\x1a",
        "expect:$ ", "send:jobs\\n", "expect:Stopped", "send:fg\\n", "expect:log: sensor",
        "expect:log: sensor", "send:\\x03", "expect:interrupted after", "send:echo status $?\\n",
        "expect:status 130"}, ""},
      {"Ctrl-C with bash as /bin/sh", "ZELK_STANDIN_HOLD_MS=20000",
       {"send:" + launcher + " --expect never\\n", "expect:holding", "send:\\x03",
        "expect:interrupted after", "send:echo status $?\\n", "expect:status 130"},
       "/bin/bash"},
      {"the launcher killed in a script", "ZELK_STANDIN_HOLD_MS=20000",
       {"send:stty -a >s1; sh -c \"" + launcher + "; echo next; read x; echo read:\\$x\"; stty -a >s2; cmp s1 s2 && echo same settings\\n",
        "expect:holding", "kill:zelk_sim:9", "expect:next", "send:hello\\n", "expect:read:hello",
        "expect:same settings"}, ""},
      {"a pipeline partner reads the terminal", "ZELK_STANDIN_HOLD_MS=3000",
       {"send:" + launcher + " | (sleep 1; read x </dev/tty; echo read:$x)\\n", "sleep:1.5",
        "send:hello\\n", "expect:read:hello"}, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (!c.sh.empty() && !can_unshare()) continue;
    EXPECT_EQ("", at_terminal(c.steps, c.env, c.sh));
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (!simulators().empty() && Clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(simulators().empty());
  }
}

// Rule: whatever is killed, whenever (the launcher while it starts the
// simulator or while it runs, the launcher's whole process group as CI
// runners cancel a job, its guardian, once or many times, and then the
// launcher), the chip is free only once no simulator runs, and soon after;
// so too where the launcher's user cannot read the simulator's
// descriptors (file capabilities, setuid), and where the launcher ends it
// itself.
TEST_F(BindingTest, AKillAtAnyMomentFreesTheChipOnlyOnceTheSimulatorIsGone) {
  enum class Whom { kLauncher, kGroup, kGuardianThenLauncher };
  const struct {
    std::string name;
    bool starting;  // killed once the interpreter exists, not once the simulator prints
    Whom whom;
    int tries;
    int guardian_kills = 1, sig = SIGKILL;
    int pause_ms = 0;      // between the guardian's kill and the launcher's
    bool hidden = false;   // as the user nobody, the simulator not dumpable
  } cases[] = {
      {"the launcher while it starts the simulator", true, Whom::kLauncher, 8},
      {"the group while it starts the simulator", true, Whom::kGroup, 8},
      {"the launcher", false, Whom::kLauncher, 1},
      {"the group", false, Whom::kGroup, 1},
      {"the guardian, then the launcher", false, Whom::kGuardianThenLauncher, 1},
      {"the guardian, then the launcher a second later", false, Whom::kGuardianThenLauncher, 1, 1,
       SIGKILL, 1000},
      {"the guardian 100 times, then the launcher", false, Whom::kGuardianThenLauncher, 1, 100},
      {"the launcher, its simulator hidden", false, Whom::kLauncher, 1, 1, SIGKILL, 0, true},
      {"the launcher asked to end, its simulator hidden", false, Whom::kLauncher, 1, 1, SIGTERM, 0,
       true},
  };
  for (const auto& c : cases) {
    RunOptions holding;
    holding.env["ZELK_STANDIN_HOLD_MS"] = "20000";
    if (c.hidden) {
      holding.env["ZELK_STANDIN_UNDUMPABLE"] = "1";
      if (geteuid() == 0) {
        holding.wrapper = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
        for (const fs::path& dir : {root_.path(), bin_dir_, work_dir_, tmp_dir_})
          fs::permissions(dir, fs::perms::all);
        for (const char* name : {"zelk.iflash", "zelk.eeprom", "zelk.lock"})
          if (fs::exists(bin_dir_ / name)) fs::permissions(bin_dir_ / name, fs::perms::all);
      }
    }
    for (int attempt = 0; attempt < c.tries; ++attempt) {
      SCOPED_TRACE(c.name + ", try " + std::to_string(attempt));
      Started started = start({"-elf", "app.elf", "-nographic", "--expect", "never"}, holding);
      const auto deadline = Clock::now() + std::chrono::seconds(10);
      if (c.starting) {
        while (children(started.pid, "zelk_sim guard", true).empty() && Clock::now() < deadline) {
        }
      } else {
        ASSERT_TRUE(wait_for_output(&started, "holding"));
      }
      // The launcher starts another guardian at once: one alone, not the
      // one killed last.
      std::vector<pid_t> killed;
      for (int k = 0; c.whom == Whom::kGuardianThenLauncher && k <= c.guardian_kills; ++k) {
        std::vector<pid_t> guardians;
        while (((guardians = children(started.pid, "zelk_sim guard")).size() != 1 || guardians == killed) &&
               Clock::now() < deadline)
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ASSERT_EQ(1u, guardians.size());
        if (k < c.guardian_kills) kill(guardians[0], SIGKILL);
        killed = guardians;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(c.pause_ms));
      kill(c.whom == Whom::kGroup ? -started.pid : started.pid, c.sig);
      wait_launcher(started);
      FileLock lock;
      long holder = 0;
      bool taken = false;
      while (!taken && Clock::now() < deadline + std::chrono::seconds(5)) {
        taken = lock.take(target_path(bin_dir_ / "zelk.lock"), &holder) == FileLock::Status::kTaken;
        if (taken) {
          EXPECT_TRUE(simulators().empty());
        }
      }
      EXPECT_TRUE(taken) << read_text(started.err);
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      EXPECT_TRUE(simulators().empty()) << "a simulator started after the chip was free";
    }
  }
}

// Rule: what the launcher was started with, the simulator gets: blocked
// SIGCHLD keeps neither launch from seeing its end, signals ignored (nohup,
// a background job, SIGCHLD where the interpreter keeps it) stay ignored;
// an interpreter that cannot be started is named with the reason, and a
// watched run then says nothing ran (2). An output that takes bytes only as
// its reader makes room gets every byte; a reader that goes away (| head)
// leaves the watch going; a tracer changes nothing.
TEST_F(BindingTest, WhatTheLauncherInheritsTheSimulatorInheritsToo) {
  const std::string block_chld =
      "import signal,os,sys; signal.pthread_sigmask(signal.SIG_BLOCK,[signal.SIGCHLD]); "
      "os.execv(sys.argv[1], sys.argv[1:])";
  const std::string ignore_int_hup =
      "import signal,os,sys; signal.signal(signal.SIGINT, signal.SIG_IGN); "
      "signal.signal(signal.SIGHUP, signal.SIG_IGN); os.execv(sys.argv[1], sys.argv[1:])";
  const std::string ignore_chld =
      "import signal,os,sys; signal.signal(signal.SIGCHLD, signal.SIG_IGN); "
      "os.execv(sys.argv[1], sys.argv[1:])";
  // Reads the launcher's output slowly from a pipe it writes without
  // blocking, into the file "received".
  const std::string slow_reader =
      "import fcntl,os,subprocess,sys,time\n"
      "r, w = os.pipe(); fcntl.fcntl(w, fcntl.F_SETFL, os.O_NONBLOCK)\n"
      "p = subprocess.Popen(sys.argv[1:], stdout=w); os.close(w)\n"
      "with open('received', 'wb') as out:\n"
      "  while True:\n"
      "    time.sleep(0.001); data = os.read(r, 4096)\n"
      "    if not data: break\n"
      "    out.write(data)\n"
      "sys.exit(p.wait())\n";
  auto with_sh = [](const std::string& sh, std::vector<std::string> then) {
    std::vector<std::string> words = {"unshare", "-m", "bash", "-c",
                                      "mount --bind " + sh + " /bin/sh && exec \"$@\"", "_"};
    words.insert(words.end(), then.begin(), then.end());
    return words;
  };
  const struct {
    std::string name;
    std::vector<std::string> wrapper, words;
    std::map<std::string, std::optional<std::string>> env;
    int status;
    std::string out, err;  // what stdout holds, how stderr's last line starts
  } cases[] = {
      {"SIGCHLD blocked, unwatched", {"python3", "-c", block_chld}, {}, {}, 0, "stand-in", ""},
      {"SIGCHLD blocked, bash as /bin/sh, watched",
       with_sh("/bin/bash", {"python3", "-c", block_chld}), {"--expect", "never"}, {}, 1, "stand-in",
       "zelk_sim: the simulator ended after "},
      {"SIGINT and SIGHUP ignored", {"python3", "-c", ignore_int_hup}, {}, {}, 0,
       "  ignores signal 2\n  ignores signal 1\n", ""},
      {"SIGCHLD ignored, bash as /bin/sh", with_sh("/bin/bash", {"python3", "-c", ignore_chld}), {},
       {}, 0, "  ignores signal 17\n", ""},
      {"no interpreter, watched", with_sh("/dev/null", {}), {"--expect", "PASS"}, {}, 2, "",
       "zelk_sim: cannot start /bin/sh: Permission denied"},
      {"no interpreter, unwatched", with_sh("/dev/null", {}), {}, {}, 0, "",
       "zelk_sim: cannot start /bin/sh: Permission denied"},
      {"an output that does not block, read slowly", {"python3", "-c", slow_reader},
       {"--log", "console.txt", "--status"}, {{"ZELK_STANDIN_CHATTER_BYTES", "2097152"}}, 0, "",
       "zelk_sim: the simulator ended with status 0"},
      // A tracer slows the launcher's end: a late SIGCHLD must not find its
      // self-pipe closed (SIGPIPE, 141). The leak checker cannot work
      // under one.
      {"under a tracer, 20 times",
       {"bash", "-c", "for i in $(seq 20); do strace -f -o /dev/null \"$@\" || exit; done", "_"},
       {}, {{"ASAN_OPTIONS", "detect_leaks=0"}}, 0, "stand-in", ""},
      {"a reader that goes away", {"bash", "-c", "\"$@\" | head -c 10 >/dev/null", "_"},
       {"--expect", "PASS"}, {{"ZELK_STANDIN_PRINT", "\\pPASS\\n"}}, 0, "",
       "zelk_sim: \"PASS\" seen after "},
  };
  const bool unshare = can_unshare();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.wrapper[0] == "unshare" && !unshare) continue;
    RunOptions options;
    options.wrapper = c.wrapper;
    options.env = c.env;
    std::vector<std::string> words = {"-elf", "app.elf", "-nographic"};
    words.insert(words.end(), c.words.begin(), c.words.end());
    const Started started = start(words, options);
    const int status = wait_launcher(started);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == c.status) << status;
    const std::string out = read_text(started.out);
    const std::vector<std::string> err = split_lines(read_text(started.err));
    EXPECT_NE(std::string::npos, out.find(c.out)) << out;
    EXPECT_EQ(0u, (err.empty() ? std::string() : err.back()).find(c.err)) << read_text(started.err);
    if (fs::exists(work_dir_ / "received")) {
      const std::string received = read_text(work_dir_ / "received");
      const std::string log = read_text(work_dir_ / "console.txt");
      EXPECT_GT(log.size(), 2097152u);
      EXPECT_TRUE(received.size() >= log.size() &&
                  received.compare(received.size() - log.size(), log.size(), log) == 0)
          << received.size() << " bytes received of " << log.size();
      fs::remove(work_dir_ / "received");
    }
  }
}

}  // namespace
