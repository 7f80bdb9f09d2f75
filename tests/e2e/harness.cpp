#include "e2e/harness.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

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

}  // namespace

bool LaunchTest::windows() { return !env_or_empty("ZELK_WINE").empty(); }

std::string LaunchTest::target_path(const fs::path& path) {
  std::string text = fs::absolute(path).lexically_normal().string();
  if (!windows()) return text;
  for (char& c : text)
    if (c == '/') c = '\\';
  return "Z:" + text;
}

void LaunchTest::SetUp() {
  const std::string launcher = launcher_under_test();
  const std::string standin = standin_under_test();
  const fs::path root = root_.path();
  bin_dir_ = root / "bin";
  work_dir_ = root / "work";
  sim_dir_ = root / "sim";
  tmp_dir_ = root / "tmp";
  record_ = root / "record.txt";
  for (const fs::path& dir : {bin_dir_, work_dir_, sim_dir_, tmp_dir_})
    fs::create_directories(dir);
  launcher_ = bin_dir_ / fs::path(launcher).filename();
  fs::copy_file(launcher, launcher_);
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

RunResult LaunchTest::run(const std::vector<std::string>& words, const RunOptions& options) {
  std::error_code ec;
  fs::remove(record_, ec);
  const fs::path out_path = root_.path() / "stdout.txt";
  const fs::path err_path = root_.path() / "stderr.txt";

  std::vector<std::string> argv;
  const std::string wine = env_or_empty("ZELK_WINE");
  if (!wine.empty()) argv.push_back(wine);
  argv.push_back(options.word0 && wine.empty() ? *options.word0 : launcher_.string());
  argv.insert(argv.end(), words.begin(), words.end());

  std::map<std::string, std::optional<std::string>> env = {
      {"ZELK_STANDIN_RECORD", record_.string()},
      {"TMPDIR", tmp_dir_.string()},
      {"WINEDEBUG", "-all"},
  };
  if (options.put_standin_on_path) {
    env["PATH"] = sim_dir_.string() + ":" + env_or_empty("PATH");
    env["WINEPATH"] = target_path(sim_dir_);
  } else {
    env["WINEPATH"] = std::nullopt;
  }
  for (const auto& [name, value] : options.env) env[name] = value;

  pid_t pid = fork();
  if (pid == 0) {
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
    const char* program = wine.empty() ? launcher_.c_str() : args[0];
    if (wine.empty()) execv(program, args.data());
    else execvp(program, args.data());
    _exit(127);
  }
  RunResult result;
  int status = 0;
  if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status))
    result.status = WEXITSTATUS(status);
  result.out = read_text(out_path);
  result.err = read_text(err_path);
  return result;
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
