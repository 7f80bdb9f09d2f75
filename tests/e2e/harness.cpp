#include "e2e/harness.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace {

std::string env_or_empty(const char* name) {
  const char* value = getenv(name);
  return value ? value : "";
}

}  // namespace

std::string launcher_under_test() {
  std::string path = env_or_empty("ZELK_LAUNCHER");
  return path.empty() ? ZELK_DEFAULT_LAUNCHER : path;
}

namespace {

std::string standin_under_test() {
  std::string path = env_or_empty("ZELK_STANDIN");
  return path.empty() ? ZELK_DEFAULT_STANDIN : path;
}

std::string flash_tool_under_test() {
  std::string path = env_or_empty("ZELK_FLASH");
  return path.empty() ? ZELK_DEFAULT_FLASH : path;
}

}  // namespace

bool LaunchTest::windows() { return !env_or_empty("ZELK_WINE").empty(); }

std::string LaunchTest::target_path(const fs::path& path) {
  std::string text = fs::absolute(path).lexically_normal().string();
  if (!windows()) return text;
  for (char& c : text)
    if (c == '/') c = '\\';
  return "Z:" + text;
}

fs::path LaunchTest::wine_prefix() {
  std::string prefix = env_or_empty("WINEPREFIX");
  return prefix.empty() ? fs::path(env_or_empty("HOME")) / ".wine" : fs::path(prefix);
}

fs::path LaunchTest::host_path(const std::string& target) {
  if (!windows()) return target;
  fs::path path;
  size_t pos = 0;
  if (target.size() >= 2 && target[1] == ':') {
    const char letter = static_cast<char>(tolower(static_cast<unsigned char>(target[0])));
    path = wine_prefix() / "dosdevices" / (std::string(1, letter) + ":");
    pos = 2;
  }
  while (pos < target.size()) {
    size_t end = target.find_first_of("\\/", pos);
    if (end == std::string::npos) end = target.size();
    std::string name = target.substr(pos, end - pos);
    if (name != "." && name != "..") {
      while (!name.empty() && (name.back() == '.' || name.back() == ' ')) name.pop_back();
    }
    if (!name.empty()) path /= name;
    pos = end + 1;
  }
  return path;
}

void LaunchTest::SetUp() {
  const std::string launcher = launcher_under_test();
  const std::string standin = standin_under_test();
  const fs::path root = root_.path();
  bin_dir_ = root / "bin";
  work_dir_ = root / "work";
  sim_dir_ = root / "sim";
  profile_dir_ = root / "profile";
  tmp_dir_ = windows() ? profile_dir_ / "AppData" / "Local" / "Temp" : root / "tmp";
  record_ = root / "record.txt";
  for (const fs::path& dir : {bin_dir_, work_dir_, sim_dir_, tmp_dir_})
    fs::create_directories(dir);
  if (windows()) {
    ASSERT_FALSE(env_or_empty("ZELK_WINE_RUNNER").empty())
        << "the Windows leg starts the launcher through ZELK_WINE_RUNNER";
  }
  launcher_ = bin_dir_ / fs::path(launcher).filename();
  fs::copy_file(launcher, launcher_);
  flash_tool_ = bin_dir_ / fs::path(flash_tool_under_test()).filename();
  fs::copy_file(flash_tool_under_test(), flash_tool_);
  fs::copy_file(standin, sim_dir_ / fs::path(standin).filename());
}

void LaunchTest::preseed_backing_files() {
  write_bytes(bin_dir_ / "zelk.iflash", std::vector<uint8_t>(4096, 0xFF));
  write_bytes(bin_dir_ / "zelk.eeprom", std::vector<uint8_t>(64, 0xFF));
}

fs::path LaunchTest::add_fixture_elf(const std::string& fixture, const std::string& name) {
  fs::path to = work_dir_ / name;
  fs::copy_file(fs::path(ZELK_FIXTURES) / "elf" / fixture / (fixture + ".elf"), to,
                fs::copy_options::overwrite_existing);
  return to;
}

namespace {

// The changes to the Windows environment, one a line, for zelk_wine_runner:
// the harness's own first, each replaced by a test's change of the same name
// in any letter case, as Windows would see them.
std::string windows_env_changes(
    const std::map<std::string, std::optional<std::string>>& defaults,
    const std::map<std::string, std::optional<std::string>>& changes) {
  auto same_name = [](const std::string& a, const std::string& b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
             return tolower(static_cast<unsigned char>(x)) == tolower(static_cast<unsigned char>(y));
           });
  };
  std::vector<std::pair<std::string, std::optional<std::string>>> all;
  for (const auto& [name, value] : defaults) {
    bool replaced = false;
    for (const auto& change : changes) replaced = replaced || same_name(name, change.first);
    if (!replaced) all.emplace_back(name, value);
  }
  all.insert(all.end(), changes.begin(), changes.end());
  std::string text;
  for (const auto& [name, value] : all) text += name + (value ? "=" + *value : "") + "\n";
  return text;
}

// What a CI system running this suite asks of a test is no part of a row:
// a row sets these itself where it wants them.
const char* const kCiVariables[] = {"GITHUB_ACTIONS", "GITHUB_STEP_SUMMARY", "XML_OUTPUT_FILE",
                                    "TEST_PREMATURE_EXIT_FILE", "TEST_TMPDIR",
                                    "TEST_UNDECLARED_OUTPUTS_DIR"};

std::string crlf_to_lf(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i)
    if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) out.push_back(text[i]);
  return out;
}

}  // namespace

bool LaunchTest::tested_nothing(const RunResult& r, const RunOptions& options) const {
  // On a loaded machine Wine now and then fails to start a program:
  // - cmd.exe then says it cannot recognize one it found, while the
  //   launcher's own search has just found the stand-in on the path;
  // - or a program ends with a failure before printing a byte, which the
  //   launcher and the flash tool never do;
  // - or the runner cannot start the program or wait for it, and says so.
  return windows() && !standin_ran() &&
         ((options.put_standin_on_path &&
           r.err.find("Can't recognize 'qemu-system-cskyv2 ") != std::string::npos) ||
          (r.status != 0 && r.raw_out.empty() && r.raw_err.empty()) ||
          r.err.rfind("zelk_wine_runner: ", 0) == 0);
}

namespace {

void say_run_once_more(const RunResult& r) {
  fprintf(stderr, "(under Wine a launch tested nothing, status %d: \"%s\"; run once more)\n",
          r.status, r.err.substr(0, r.err.find('\n')).c_str());
}

}  // namespace

RunResult LaunchTest::run(const std::vector<std::string>& words, const RunOptions& options) {
  RunResult r = finish(start(words, options));
  if (!tested_nothing(r, options)) return r;
  say_run_once_more(r);
  return finish(start(words, options));
}

RunResult LaunchTest::run_flash_tool(const std::vector<std::string>& words, RunOptions options) {
  options.flash_tool = true;
  return run(words, options);
}

LaunchTest::Started LaunchTest::start(const std::vector<std::string>& words,
                                      const RunOptions& options) {
  std::error_code ec;
  fs::remove(record_, ec);
  static int runs = 0;
  ++runs;
  const fs::path out_path = root_.path() / ("stdout" + std::to_string(runs) + ".txt");
  const fs::path err_path = root_.path() / ("stderr" + std::to_string(runs) + ".txt");
  const std::string wine = env_or_empty("ZELK_WINE");

  const fs::path program = options.flash_tool ? flash_tool_ : launcher_;
  std::vector<std::string> argv;
  std::map<std::string, std::optional<std::string>> env;
  if (wine.empty()) {
    argv.push_back(options.word0 ? *options.word0 : program.string());
    env = {{"ZELK_STANDIN_RECORD", record_.string()}, {"TMPDIR", tmp_dir_.string()}};
    for (const char* name : kCiVariables) env[name] = std::nullopt;
    if (options.put_standin_on_path)
      env["PATH"] = sim_dir_.string() + ":" + env_or_empty("PATH");
    for (const auto& [name, value] : options.env) env[name] = value;
  } else {
    // Wine hands the runner's words over as they are, so the launcher's path
    // is given as Windows sees it. Only the program Wine starts itself may be
    // a path of this machine.
    argv = {wine, env_or_empty("ZELK_WINE_RUNNER"),
            options.word0 ? *options.word0 : target_path(program)};
    // The stand-in may run with another drive current, so its record file is
    // named with its drive. Wine appends WINEPATH to the Windows PATH.
    std::map<std::string, std::optional<std::string>> defaults = {
        {"ZELK_STANDIN_RECORD", target_path(record_)}, {"USERPROFILE", target_path(profile_dir_)}};
    for (const char* name : kCiVariables) defaults[name] = std::nullopt;
    env = {{"WINEDEBUG", "-all"},
           {"WINEPATH", options.put_standin_on_path
                            ? std::optional<std::string>(target_path(sim_dir_))
                            : std::nullopt},
           {"ZELK_WINE_RUNNER_ENV",
            windows_env_changes(defaults, options.env)}};
    for (const auto& [name, value] : options.runner_env) env[name] = value;
  }
  argv.insert(argv.end(), words.begin(), words.end());
  const bool wrapped = wine.empty() && !options.wrapper.empty();
  if (wrapped) argv.insert(argv.begin(), options.wrapper.begin(), options.wrapper.end());

  pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);
    if (chdir((options.cwd ? *options.cwd : work_dir_).c_str()) != 0) _exit(126);
    int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int in = open("/dev/null", O_RDONLY);
    if (out < 0 || err < 0 || in < 0) _exit(126);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    for (const auto& [name, value] : env) {
      if (value) setenv(name.c_str(), value->c_str(), 1);
      else unsetenv(name.c_str());
    }
    if (options.file_size_limit) {
      signal(SIGXFSZ, SIG_IGN);
      struct rlimit limit = {options.file_size_limit, options.file_size_limit};
      setrlimit(RLIMIT_FSIZE, &limit);
    }
    std::vector<char*> args;
    for (std::string& word : argv) args.push_back(word.data());
    args.push_back(nullptr);
    if (wine.empty() && !wrapped) execv(program.c_str(), args.data());
    else execvp(args[0], args.data());
    _exit(127);
  }
  return {pid, out_path, err_path, words, options};
}

RunResult LaunchTest::finish(const Started& started) {
  RunResult result;
  int status = 0;
  if (started.pid > 0 && waitpid(started.pid, &status, 0) == started.pid && WIFEXITED(status))
    result.status = WEXITSTATUS(status);
  result.raw_out = read_text(started.out);
  result.raw_err = read_text(started.err);
  result.out = windows() ? crlf_to_lf(result.raw_out) : result.raw_out;
  result.err = windows() ? crlf_to_lf(result.raw_err) : result.raw_err;
  return result;
}

::testing::AssertionResult LaunchTest::wait_for_output(Started* started, const std::string& text,
                                                      int seconds) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  bool again = windows();
  for (;;) {
    // Whether it has ended, asked before its output is read for the last
    // time; it stays to be collected by finish().
    siginfo_t info = {};
    const bool ended = waitid(P_PID, static_cast<id_t>(started->pid), &info,
                              WEXITED | WNOHANG | WNOWAIT) == 0 &&
                       info.si_pid == started->pid;
    if (read_text(started->out).find(text) != std::string::npos)
      return ::testing::AssertionSuccess();
    if (ended && again) {
      again = false;
      const RunResult r = finish(*started);
      if (tested_nothing(r, started->options)) {
        say_run_once_more(r);
        *started = start(started->words, started->options);
        deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        continue;
      }
    }
    if (ended || std::chrono::steady_clock::now() > deadline)
      return ::testing::AssertionFailure()
             << "no \"" << text << "\" " << (ended ? "before the run ended" : "in time")
             << "; stdout:\n" << read_text(started->out) << "stderr:\n" << read_text(started->err);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

std::vector<std::string> LaunchTest::recorded_args() const {
  std::vector<std::string> lines = split_lines(read_text(record_));
  if (windows() && !lines.empty()) lines.erase(lines.begin());
  return lines;
}

std::string LaunchTest::raw_line() const {
  std::vector<std::string> lines = split_lines(read_text(record_));
  return windows() && !lines.empty() ? lines.front() : "";
}

namespace {

// The processes, zombies aside, whose command line holds |text| now.
std::vector<pid_t> scan_processes(const std::string& text) {
  std::vector<pid_t> found;
  DIR* proc = opendir("/proc");
  if (!proc) return found;
  while (const struct dirent* entry = readdir(proc)) {
    const pid_t pid = static_cast<pid_t>(atoi(entry->d_name));
    if (pid <= 0) continue;
    const fs::path dir = fs::path("/proc") / entry->d_name;
    const std::string stat = read_text(dir / "stat");
    const size_t name_end = stat.rfind(')');
    if (name_end == std::string::npos || name_end + 2 >= stat.size() || stat[name_end + 2] == 'Z')
      continue;
    if (read_text(dir / "cmdline").find(text) != std::string::npos) found.push_back(pid);
  }
  closedir(proc);
  return found;
}

}  // namespace

std::vector<pid_t> LaunchTest::processes_naming(const std::string& text) {
  std::vector<pid_t> found = scan_processes(text);
  if (!windows()) return found;
  // Wine counts a process it ends as ended at once, before its Unix
  // process has taken the news and exited, which on a busy machine takes
  // a moment longer: such a process is given that moment to go.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (!found.empty() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    found = scan_processes(text);
  }
  return found;
}

void LaunchTest::kill_launcher(const Started& started, int sig) {
  if (!windows()) {
    kill(started.pid, sig);
    return;
  }
  // Under Wine the process started is the runner; the launcher is a
  // process of its own, whose command line begins with its Windows path.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (;;) {
    bool killed = false;
    for (pid_t pid : scan_processes(target_path(launcher_))) {
      if (read_text(fs::path("/proc") / std::to_string(pid) / "comm") != "zelk_sim.exe\n") continue;
      kill(pid, sig);
      killed = true;
    }
    if (killed || std::chrono::steady_clock::now() > deadline) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

bool LaunchTest::junit_parser_reads(const fs::path& report) {
  const fs::path schema = fs::path(ZELK_FIXTURES) / "junit" / "junit.xsd";
  const std::string command = "xmllint --noout --schema '" + schema.string() + "' '" +
                              report.string() + "' >/dev/null 2>&1";
  return system(command.c_str()) == 0;
}
