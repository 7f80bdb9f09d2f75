#include "platform/platform.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/auxv.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <vector>

#include "platform/interpreter_rules.h"
#include "platform/path_rules.h"

const char kPathSeparator = '/';

namespace {

// Linux refuses a path of PATH_MAX characters or more in every call that
// takes one. Such a path is reached one folder at a time, and its last
// component through /proc/self/fd, which names the open folder in a few
// characters. A path that cannot be walked is kept as it is, so that the
// call fails as it would have.
class ShortPath {
 public:
  explicit ShortPath(const std::string& path) : text_(path) {
    if (path.size() < PATH_MAX) return;
    const size_t cut = path.find_last_of('/');
    const std::string name = cut == std::string::npos ? path : path.substr(cut + 1);
    const std::string dir = cut == std::string::npos ? "" : path.substr(0, cut);
    dir_ = open(path[0] == '/' ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    for (size_t start = 0; dir_ >= 0 && start < dir.size();) {
      size_t end = dir.find('/', start);
      if (end == std::string::npos) end = dir.size();
      if (end > start) {
        const int next = openat(dir_, dir.substr(start, end - start).c_str(),
                                O_PATH | O_DIRECTORY | O_CLOEXEC);
        close(dir_);
        dir_ = next;
      }
      start = end + 1;
    }
    if (dir_ >= 0) text_ = "/proc/self/fd/" + std::to_string(dir_) + "/" + name;
  }
  ~ShortPath() {
    if (dir_ >= 0) close(dir_);
  }
  ShortPath(const ShortPath&) = delete;
  ShortPath& operator=(const ShortPath&) = delete;
  const std::string& text() const { return text_; }

 private:
  int dir_ = -1;
  std::string text_;
};

bool stat_path(const std::string& path, struct stat* st) {
  return stat(ShortPath(path).text().c_str(), st) == 0;
}

// The kernel cannot spell its own path of the executable once that has
// PATH_MAX characters or more. The name the program was started by, taken
// against the current directory (which the launcher never changes), serves
// instead once it proves to be the same file.
bool executable_by_start_name(std::string* path) {
  const char* start_name = reinterpret_cast<const char*>(getauxval(AT_EXECFN));
  if (!start_name || !*start_name) return false;
  std::string candidate = start_name;
  while (candidate.compare(0, 2, "./") == 0) candidate.erase(0, 2);
  if (candidate.empty()) return false;
  if (candidate[0] != '/') {
    std::string cwd;
    if (!current_directory(&cwd)) return false;
    candidate = cwd + (cwd.back() == '/' ? "" : "/") + candidate;
  }
  struct stat self, st;
  if (stat("/proc/self/exe", &self) != 0 || !stat_path(candidate, &st) ||
      st.st_dev != self.st_dev || st.st_ino != self.st_ino)
    return false;
  *path = candidate;
  return true;
}

}  // namespace

bool own_executable_path(std::string* path) {
  // readlink reports truncation only by filling the whole buffer, so grow
  // until the link fits with room to spare.
  std::vector<char> buf(256);
  for (;;) {
    ssize_t len = readlink("/proc/self/exe", buf.data(), buf.size());
    if (len < 0 && errno == ENAMETOOLONG) return executable_by_start_name(path);
    if (len <= 0) return false;
    if (static_cast<size_t>(len) < buf.size()) {
      path->assign(buf.data(), static_cast<size_t>(len));
      return true;
    }
    buf.resize(buf.size() * 2);
  }
}

bool current_directory(std::string* path) {
  std::vector<char> buf(256);
  for (;;) {
    if (getcwd(buf.data(), buf.size())) {
      path->assign(buf.data());
      return true;
    }
    if (errno != ERANGE) return false;
    buf.resize(buf.size() * 2);
  }
}

bool path_is_existing_non_directory(const std::string& path) {
  struct stat st;
  return stat_path(path, &st) && !S_ISDIR(st.st_mode);
}

bool file_size_of(const std::string& path, uint64_t* size) {
  struct stat st;
  if (!stat_path(path, &st)) return false;
  *size = static_cast<uint64_t>(st.st_size);
  return true;
}

bool path_exists(const std::string& path) {
  struct stat st;
  return stat_path(path, &st);
}

FILE* open_file_stream(const std::string& path, const char* mode) {
  const ShortPath target(path);
  // Not inherited by the programs this process starts, the simulator
  // among them.
  if (mode[0] != 'r') return fopen(target.text().c_str(), (std::string(mode) + "e").c_str());
  // Opening a FIFO for reading waits for a writer, who may never come;
  // opened without waiting it reads as empty, as any other file may.
  const int fd = open(target.text().c_str(),
                      (strchr(mode, '+') ? O_RDWR : O_RDONLY) | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  FILE* file = nullptr;
  const int flags = fcntl(fd, F_GETFL);
  if (flags != -1 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0) file = fdopen(fd, mode);
  if (!file) close(fd);
  return file;
}

// POSIX has no share modes; advisory locks bind only those who ask.
FILE* open_file_denying_writers(const std::string& path) {
  return open_file_stream(path, "r+b");
}

FILE* create_new_file(const std::string& path) {
  const int fd = open(ShortPath(path).text().c_str(),
                      O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  FILE* file = fdopen(fd, "wb");
  if (!file) close(fd);
  return file;
}

bool publish_file(const std::string& from, const std::string& to) {
  const ShortPath source(from), target(to);
  // A hard link never replaces what has the name already; where the file
  // system has no hard links, a rename that refuses to replace serves.
  if (link(source.text().c_str(), target.text().c_str()) == 0) {
    // The file has its name now; the old one is only a second link.
    unlink(source.text().c_str());
    return true;
  }
  if (errno == EEXIST) return false;
  return renameat2(AT_FDCWD, source.text().c_str(), AT_FDCWD, target.text().c_str(),
                   RENAME_NOREPLACE) == 0;
}

bool remove_file(const std::string& path) {
  return unlink(ShortPath(path).text().c_str()) == 0;
}

FileLock::~FileLock() {
  if (handle_ < 0) return;
  // Let go now: a guardian may still share the open file for a moment,
  // and the next launch must not find the chip taken.
  struct flock whole = {};
  whole.l_type = F_UNLCK;
  whole.l_whence = SEEK_SET;
  fcntl(static_cast<int>(handle_), F_OFD_SETLK, &whole);
  close(static_cast<int>(handle_));
}

// A lock on the open file, not on the process: the launcher's guardian
// shares it, so it lasts until both have ended. It goes however they end
// and is not inherited by the programs they start. The holder's process id
// is the file's text, as such a lock does not tell it.
FileLock::Status FileLock::take(const std::string& path, long* holder) {
  *holder = 0;
  const int fd = open(ShortPath(path).text().c_str(),
                      O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
  if (fd < 0) return Status::kFailed;
  struct flock whole = {};
  whole.l_type = F_WRLCK;
  whole.l_whence = SEEK_SET;
  if (fcntl(fd, F_OFD_SETLK, &whole) == 0) {
    // Of one width whatever the id, so that no longer text is left over
    // and no truncation is needed.
    char text[24];
    const int len = snprintf(text, sizeof text, "%-20ld\n", static_cast<long>(getpid()));
    if (pwrite(fd, text, static_cast<size_t>(len), 0) != len) {
      // The lock holds all the same; only its holder's name is missing.
    }
    handle_ = fd;
    return Status::kTaken;
  }
  const int error = errno;
  Status status = Status::kFailed;
  if (error == EAGAIN || error == EACCES) {
    status = Status::kHeld;
    char text[32] = {};
    if (pread(fd, text, sizeof text - 1, 0) > 0) *holder = strtol(text, nullptr, 10);
  }
  close(fd);
  return status;
}

std::string environment_value(const char* name) {
  const char* value = getenv(name);
  return value ? value : "";
}

bool environment_has(const char* name) { return getenv(name) != nullptr; }

std::string absolute_path(const std::string& path) {
  std::string cwd;
  if (path.empty() || path[0] == '/' || !current_directory(&cwd)) return path;
  return cwd + (cwd.back() == '/' ? "" : "/") + path;
}

std::string last_path_component(const std::string& path) {
  return posix_last_component(path);
}

FILE* create_raw_image_file(std::string* path) {
  std::string dir = environment_value("TMPDIR");
  if (dir.empty()) dir = "/tmp";
  const std::string name = dir + "/zelk_raw_XXXXXX";
  const ShortPath target(name);
  std::vector<char> templ(target.text().begin(), target.text().end());
  templ.push_back('\0');
  int fd = mkstemp(templ.data());
  // mkstemp fills in the last six characters, whichever spelling it got.
  path->assign(name.substr(0, name.size() - 6) + (templ.data() + templ.size() - 7));
  if (fd < 0) return nullptr;
  FILE* file = fdopen(fd, "wb");
  if (!file) close(fd);
  return file;
}

std::string interpreter_quoted(const std::string& text) { return posix_sh_quoted(text); }

namespace {

// How long a command asked to end may take before it is forced, and how
// long a forced one may take to be gone before it is given up on.
constexpr int kGraceMs = 2000;
constexpr int kForcedMs = 5000;
constexpr int kOutputPipeBytes = 1 << 20;

// The handlers' end of the self-pipe that wakes a waiting BoundCommand.
int g_wake_fd = -1;
volatile sig_atomic_t g_stop_signal = 0;

void on_signal(int sig) {
  const int saved = errno;
  if (sig != SIGCHLD) g_stop_signal = sig;
  const char byte = static_cast<char>(sig);
  if (write(g_wake_fd, &byte, 1) < 0) {
    // The pipe is full: a wake-up is pending already.
  }
  errno = saved;
}

int64_t now_ms() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1000000;
}

// The state and process group of the process /proc/|pid| names, read
// with plain system calls into this stack only, as the guardian must;
// false when it has gone.
bool process_state(const char* pid, char* state, long* group) {
  char path[64] = "/proc/";
  size_t at = strlen(path);
  for (const char* c = pid; *c && at < sizeof path - 8; ++c) path[at++] = *c;
  memcpy(path + at, "/stat", 6);
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char line[512];
  const ssize_t n = read(fd, line, sizeof line - 1);
  close(fd);
  if (n <= 0) return false;
  line[n] = '\0';
  // "pid (name) state ppid pgrp ...", the name holding any byte.
  const char* p = strrchr(line, ')');
  if (!p || p[1] != ' ' || !p[2] || p[3] != ' ') return false;
  *state = p[2];
  p += 4;
  while (*p >= '0' && *p <= '9') ++p;
  if (*p++ != ' ') return false;
  const bool negative = *p == '-';
  if (negative) ++p;
  long value = 0;
  while (*p >= '0' && *p <= '9') value = value * 10 + (*p++ - '0');
  *group = negative ? -value : value;
  return true;
}

// True once no process of |group| runs. A zombie counts as gone: it holds
// nothing open any more, and when it is collected is up to its parent,
// which after this process has ended is init.
bool group_gone(pid_t group) {
  if (kill(-group, 0) != 0 && errno == ESRCH) return true;
  const int proc = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (proc < 0) return false;
  bool running = false;
  char entries[8192];
  ssize_t n;
  while (!running && (n = getdents64(proc, entries, sizeof entries)) > 0) {
    for (ssize_t at = 0; at < n && !running;) {
      const struct dirent64* entry = reinterpret_cast<const struct dirent64*>(entries + at);
      at += entry->d_reclen;
      char state = 0;
      long pgrp = 0;
      running = entry->d_name[0] >= '0' && entry->d_name[0] <= '9' &&
                process_state(entry->d_name, &state, &pgrp) && pgrp == group && state != 'Z' &&
                state != 'X';
    }
  }
  close(proc);
  return !running;
}

// Waits up to |ms| for |group| to be gone, collecting with |reap| whatever
// of it became this process's to collect; |wake| (or -1) interrupts the
// pauses between looks.
bool wait_group_gone(pid_t group, int ms, int wake, void (*reap)(void*), void* context) {
  const int64_t deadline = now_ms() + ms;
  for (;;) {
    if (reap) reap(context);
    if (group_gone(group)) return true;
    const int64_t left = deadline - now_ms();
    if (left <= 0) return false;
    struct pollfd p = {wake, POLLIN, 0};
    // Without a wake-up, look again soon; a process gone by SIGTERM takes
    // a few milliseconds.
    poll(wake >= 0 ? &p : nullptr, wake >= 0 ? 1 : 0, static_cast<int>(left < 5 ? left : 5));
    char drain[64];
    if (wake >= 0 && (p.revents & POLLIN)) {
      if (read(wake, drain, sizeof drain) < 0) {
      }
    }
  }
}

void end_group(pid_t group, int wake, void (*reap)(void*), void* context) {
  if (kill(-group, SIGTERM) != 0 && errno == ESRCH) {
    if (reap) reap(context);
    return;
  }
  if (wait_group_gone(group, kGraceMs, wake, reap, context)) return;
  kill(-group, SIGKILL);
  wait_group_gone(group, kForcedMs, wake, reap, context);
}

// A process that shares this one's memory and outlives it for one
// purpose: when this process ends without saying it is done, however it
// ends, the guardian ends the command's process group, and only then lets
// go of the files it shares with this process, the chip's lock among
// them. It shares the memory rather than copying it, which makes it cheap
// to start, and so it keeps to plain system calls on its own stack: this
// process may have died anywhere, its heap's lock held.
int guard(void* death_pipe) {
  // Both ends of the death pipe, read end low: the guardian's own copy of
  // the writing end must go, or the pipe never ends.
  const uint64_t ends = reinterpret_cast<uintptr_t>(death_pipe);
  const int death = static_cast<int>(ends & 0xFFFFFFFF);
  close(static_cast<int>(ends >> 32));
  // Named apart from the launcher, so that killing the launcher by name
  // leaves the guardian to do its work. Signals from the terminal or the
  // launcher's job wait for good: only SIGKILL ends it early.
  prctl(PR_SET_NAME, "zelk_sim guard");
  sigset_t all;
  sigfillset(&all);
  sigprocmask(SIG_SETMASK, &all, nullptr);
  pid_t group = 0;
  size_t got = 0;
  while (got < sizeof group) {
    const ssize_t n = read(death, reinterpret_cast<char*>(&group) + got, sizeof group - got);
    if (n <= 0) _exit(0);
    got += static_cast<size_t>(n);
  }
  char done = 0;
  if (read(death, &done, 1) == 1 || group <= 0) _exit(0);
  end_group(group, -1, nullptr, nullptr);
  _exit(0);
}

// The guardian's stack: it runs beside this process, not on its stack.
constexpr size_t kGuardianStack = 64 * 1024;

// A sanitizer keeps state per thread that a process sharing this one's
// memory would share as well; under one, the guardian gets a copy of the
// memory instead.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kGuardianCopiesMemory = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kGuardianCopiesMemory = true;
#else
constexpr bool kGuardianCopiesMemory = false;
#endif
#else
constexpr bool kGuardianCopiesMemory = false;
#endif

// Starts the guardian on the death pipe |death|; its pid, or -1.
pid_t start_guardian(const int death[2], void** stack) {
  const uint64_t ends = uint64_t{static_cast<uint32_t>(death[1])} << 32 | static_cast<uint32_t>(death[0]);
  void* arg = reinterpret_cast<void*>(static_cast<uintptr_t>(ends));
  if (kGuardianCopiesMemory) {
    const pid_t pid = fork();
    if (pid == 0) guard(arg);
    return pid;
  }
  *stack = mmap(nullptr, kGuardianStack, PROT_READ | PROT_WRITE,
                MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
  if (*stack == MAP_FAILED) return -1;
  const pid_t pid = clone(guard, static_cast<char*>(*stack) + kGuardianStack, CLONE_VM | SIGCHLD, arg);
  if (pid < 0) {
    munmap(*stack, kGuardianStack);
    *stack = MAP_FAILED;
  }
  return pid;
}

}  // namespace

struct BoundCommand::State {
  pid_t shell = -1, guardian = -1;
  void* guardian_stack = MAP_FAILED;
  int out = -1;              // read end of the command's standard output
  int wake[2] = {-1, -1};    // woken by the signal handlers
  int death = -1;            // the guardian's pipe
  bool ended = false, gone = false;
  int status = 0;
  bool terminal = false;     // the terminal was handed to the command
  bool ctrl_c = false;       // which ended it by Ctrl-C
  bool restore_ttou = false, restore_pipe = false;
  bool have_termios = false;
  struct termios termios = {};
  struct sigaction old_int = {}, old_term = {}, old_chld = {}, old_ttou = {}, old_pipe = {};

  // Collects the shell and whatever of its group became this process's.
  static void reap(void* context) {
    State* s = static_cast<State*>(context);
    int st = 0;
    pid_t pid;
    while ((pid = waitpid(-s->shell, &st, WNOHANG)) > 0) {
      if (pid != s->shell) continue;
      s->ended = true;
      s->status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
      // Ctrl-C at the terminal the command had reaches its group, not
      // this process: the interpreter ended by it is an interruption.
      s->ctrl_c = s->terminal && WIFSIGNALED(st) && WTERMSIG(st) == SIGINT;
    }
  }
};

BoundCommand::BoundCommand() : s_(new State) {}

BoundCommand::~BoundCommand() {
  end();
  for (int fd : {s_->out, s_->wake[0], s_->wake[1]})
    if (fd >= 0) close(fd);
  if (s_->wake[1] >= 0) {
    sigaction(SIGINT, &s_->old_int, nullptr);
    sigaction(SIGTERM, &s_->old_term, nullptr);
    sigaction(SIGCHLD, &s_->old_chld, nullptr);
    if (s_->restore_ttou) sigaction(SIGTTOU, &s_->old_ttou, nullptr);
    if (s_->restore_pipe) sigaction(SIGPIPE, &s_->old_pipe, nullptr);
    g_wake_fd = -1;
  }
}

bool BoundCommand::start(const std::string& line, bool capture) {
  State& s = *s_;
  if (pipe2(s.wake, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  g_wake_fd = s.wake[1];
  g_stop_signal = 0;
  struct sigaction act = {};
  act.sa_handler = on_signal;
  sigemptyset(&act.sa_mask);
  sigaction(SIGINT, &act, &s.old_int);
  sigaction(SIGTERM, &act, &s.old_term);
  sigaction(SIGCHLD, &act, &s.old_chld);
  // Handing the terminal back, and writing to it while the command has
  // it, must not stop this process; a reader of the output gone is a
  // failed write, not the launcher's end.
  struct sigaction ignore = {};
  ignore.sa_handler = SIG_IGN;
  s.terminal = isatty(0) && tcgetpgrp(0) == getpgrp();
  if (s.terminal) sigaction(SIGTTOU, &ignore, &s.old_ttou);
  if (capture) sigaction(SIGPIPE, &ignore, &s.old_pipe);
  s.restore_ttou = s.terminal;
  s.restore_pipe = capture;
  // Whatever the interpreter leaves behind comes to this process to be
  // collected, not to init.
  prctl(PR_SET_CHILD_SUBREAPER, 1);

  // The guardian comes first, so that it holds none of the pipes below;
  // it is given the death pipe's reading end alone.
  int death[2];
  if (pipe2(death, O_CLOEXEC) != 0) return false;
  s.guardian = start_guardian(death, &s.guardian_stack);
  close(death[0]);
  if (s.guardian < 0) {
    close(death[1]);
    return false;
  }
  s.death = death[1];

  int out[2] = {-1, -1};
  if (capture && pipe2(out, O_CLOEXEC) != 0) return false;
  // A roomier pipe lets a simulator that prints much go on while the
  // launcher relays what came before; where it cannot grow it serves as is.
  if (capture) fcntl(out[1], F_SETPIPE_SZ, kOutputPipeBytes);
  // The command runs in a process group of its own, which is ended as
  // one. Where this process has the terminal, the group gets it, so that
  // it reads the console and takes Ctrl-C as it would in this process's
  // place.
  if (s.terminal) s.have_termios = tcgetattr(0, &s.termios) == 0;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_t actions;
  posix_spawnattr_init(&attr);
  posix_spawn_file_actions_init(&actions);
  sigset_t defaults, none;
  sigemptyset(&defaults);
  for (int sig : {SIGINT, SIGTERM, SIGCHLD, SIGTTOU, SIGPIPE}) sigaddset(&defaults, sig);
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF |
                                      POSIX_SPAWN_SETSIGMASK);
  if (s.terminal) posix_spawn_file_actions_addtcsetpgrp_np(&actions, 0);
  if (capture) posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  const char* argv[] = {"sh", "-c", line.c_str(), nullptr};
  const int error = posix_spawn(&s.shell, "/bin/sh", &actions, &attr,
                                const_cast<char* const*>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (capture) {
    close(out[1]);
    s.out = out[0];
  }
  if (error != 0) {
    s.shell = -1;
    if (s.out >= 0) close(s.out);
    s.out = -1;
    return false;
  }
  const pid_t group = s.shell;
  if (write(s.death, &group, sizeof group) != static_cast<ssize_t>(sizeof group)) {
    // The guardian is gone already; nothing is left to tell it.
  }
  return true;
}

BoundCommand::Event BoundCommand::wait(int64_t timeout_ms, char* buf, size_t cap, size_t* got) {
  State& s = *s_;
  const int64_t deadline = timeout_ms < 0 ? -1 : now_ms() + timeout_ms;
  for (;;) {
    if (g_stop_signal != 0) return Event::kInterrupted;
    State::reap(&s);
    if (s.ctrl_c) return Event::kInterrupted;
    if (s.ended && s.out < 0) return Event::kEnded;
    struct pollfd fds[2] = {{s.wake[0], POLLIN, 0}, {s.out, POLLIN, 0}};
    int wait_ms = -1;
    if (deadline >= 0) {
      const int64_t left = deadline - now_ms();
      if (left <= 0) return Event::kTimedOut;
      wait_ms = static_cast<int>(left < INT32_MAX ? left : INT32_MAX);
    }
    // Once the interpreter has ended, its output is read only as far as it
    // is there already: a process it left behind may hold the pipe open.
    if (s.ended) wait_ms = 0;
    const int ready = poll(fds, s.out >= 0 ? 2 : 1, wait_ms);
    if (ready < 0 && errno != EINTR) return Event::kEnded;
    if (fds[0].revents & POLLIN) {
      char drain[64];
      if (read(s.wake[0], drain, sizeof drain) < 0) {
      }
    }
    if (s.out >= 0 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
      const ssize_t n = read(s.out, buf, cap);
      if (n > 0) {
        *got = static_cast<size_t>(n);
        return Event::kOutput;
      }
      if (n == 0 || errno != EINTR) {
        close(s.out);
        s.out = -1;
      }
    } else if (s.ended && ready == 0 && s.out >= 0) {
      close(s.out);
      s.out = -1;
    }
  }
}

void BoundCommand::end() {
  State& s = *s_;
  if (s.shell > 0 && !s.gone) {
    end_group(s.shell, s.wake[0], &State::reap, &s);
    s.gone = true;
  }
  if (s.terminal) {
    tcsetpgrp(0, getpgrp());
    s.terminal = false;
  }
  // A simulator that was ended may have left the console raw.
  if (s.have_termios) tcsetattr(0, TCSADRAIN, &s.termios);
  s.have_termios = false;
  if (s.death >= 0) {
    const char done = 'd';
    if (write(s.death, &done, 1) < 0) {
    }
    close(s.death);
    s.death = -1;
  }
  // Told it is done, the guardian ends by itself; waiting for it would
  // only delay the launcher. Its stack goes once it is known to be gone,
  // else with this process.
  if (s.guardian > 0 && waitpid(s.guardian, nullptr, WNOHANG) == s.guardian) {
    if (s.guardian_stack != MAP_FAILED) munmap(s.guardian_stack, kGuardianStack);
    s.guardian_stack = MAP_FAILED;
    s.guardian = -1;
  }
}

int BoundCommand::status() const { return s_->status; }

int run_command_line(const std::string& command_line) {
  BoundCommand command;
  if (!command.start(command_line, false)) return -1;
  for (;;) {
    const BoundCommand::Event event = command.wait(-1, nullptr, 0, nullptr);
    if (event == BoundCommand::Event::kEnded) break;
    if (event != BoundCommand::Event::kInterrupted) continue;
    const int sig = g_stop_signal;
    g_stop_signal = 0;
    // Ctrl-C at the terminal has ended the command, as system() lets it.
    if (sig == 0) break;
    if (sig == SIGINT) {
      // As system() lets Ctrl-C reach the command and goes on waiting.
      if (command.s_->shell > 0) kill(-command.s_->shell, SIGINT);
      continue;
    }
    command.end();
    signal(sig, SIG_DFL);
    raise(sig);
  }
  command.end();
  return command.status();
}

bool raw_command_line(std::string*) { return false; }

bool write_standard_output(const char* data, size_t len) {
  while (len > 0) {
    const ssize_t n = write(1, data, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}
PathKind path_kind(const std::string& path) {
  struct stat st;
  if (!stat_path(path, &st)) return PathKind::kMissing;
  if (S_ISREG(st.st_mode)) return PathKind::kFile;
  return S_ISDIR(st.st_mode) ? PathKind::kFolder : PathKind::kOther;
}

bool seek_file(FILE* file, uint64_t offset) {
  return offset <= static_cast<uint64_t>(INT64_MAX) &&
         fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
}

bool stream_size(FILE* file, uint64_t* size) {
  struct stat st;
  if (fstat(fileno(file), &st) != 0) return false;
  *size = static_cast<uint64_t>(st.st_size);
  return true;
}

FILE* create_own_named_file(const std::string& stem, std::string* path) {
  static unsigned counter = 0;
  struct timespec now = {};
  clock_gettime(CLOCK_REALTIME, &now);
  for (int attempt = 0; attempt < 64; ++attempt) {
    char suffix[64];
    snprintf(suffix, sizeof suffix, "%ld_%llx_%u", static_cast<long>(getpid()),
             static_cast<unsigned long long>(now.tv_sec) * 1000000000ull +
                 static_cast<unsigned long long>(now.tv_nsec),
             counter++);
    *path = stem + suffix;
    if (FILE* file = create_new_file(*path)) return file;
    if (errno != EEXIST) return nullptr;
  }
  return nullptr;
}

bool replace_file(const std::string& from, const std::string& to) {
  const ShortPath source(from), target(to);
  return rename(source.text().c_str(), target.text().c_str()) == 0;
}
