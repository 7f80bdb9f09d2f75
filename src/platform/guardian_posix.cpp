#include "platform/guardian_posix.h"

#include <dirent.h>
#include <initializer_list>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdint.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace {

long now_ms() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

// Appends |text| to |out| (|cap| bytes, kept terminated) from |at|; returns
// the new end.
size_t put_text(char* out, size_t at, size_t cap, const char* text) {
  while (*text && at + 1 < cap) out[at++] = *text++;
  out[at] = '\0';
  return at;
}

size_t put_number(char* out, size_t at, size_t cap, unsigned long long n) {
  char digits[24];
  int count = 0;
  do {
    digits[count++] = static_cast<char>('0' + n % 10);
    n /= 10;
  } while (n);
  while (count && at + 1 < cap) out[at++] = digits[--count];
  out[at] = '\0';
  return at;
}

pid_t pid_of(const char* name) {
  pid_t pid = 0;
  for (const char* c = name; *c; ++c) {
    if (*c < '0' || *c > '9') return 0;
    pid = pid * 10 + (*c - '0');
  }
  return pid;
}

// Reads /proc/PID/|what| into |buf|, terminated; its length, or -1.
ssize_t read_proc(int proc, pid_t pid, const char* what, char* buf, size_t cap) {
  char path[48];
  put_text(path, put_number(path, 0, sizeof path, static_cast<unsigned long long>(pid)), sizeof path, what);
  const int fd = openat(proc, path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  const ssize_t n = read(fd, buf, cap - 1);
  close(fd);
  if (n >= 0) buf[n] = '\0';
  return n;
}

// What /proc/PID/stat, which anyone may read, says of a process.
struct Stat {
  char state = 0;
  pid_t parent = 0, group = 0;
};

bool read_stat(int proc, pid_t pid, Stat* st) {
  char buf[512];
  const ssize_t n = read_proc(proc, pid, "/stat", buf, sizeof buf);
  // The name in parentheses may hold anything; what follows the last ')'
  // is plain.
  const char* p = nullptr;
  for (ssize_t i = n - 1; i >= 0 && !p; --i)
    if (buf[i] == ')') p = buf + i;
  if (!p || p[1] != ' ' || !p[2]) return false;
  p += 2;
  st->state = *p++;
  long fields[2];
  for (long& field : fields) {
    while (*p == ' ') ++p;
    const bool negative = *p == '-';
    if (negative) ++p;
    field = 0;
    while (*p >= '0' && *p <= '9') field = field * 10 + (*p++ - '0');
    if (negative) field = -field;
  }
  st->parent = static_cast<pid_t>(fields[0]);
  st->group = static_cast<pid_t>(fields[1]);
  return true;
}

// True when a descriptor of |pid| links to |link| ("pipe:[INO]"). Only the
// link text is read: nothing is followed into a file system, which may be
// another user's or not answer. Where the descriptors cannot be read,
// false.
bool holds_pipe(int proc, pid_t pid, const char* link) {
  char path[32];
  put_text(path, put_number(path, 0, sizeof path, static_cast<unsigned long long>(pid)), sizeof path, "/fd");
  const int fds = openat(proc, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fds < 0) return false;
  const size_t length = strlen(link);
  bool found = false;
  char entries[4096];
  ssize_t n;
  while (!found && (n = getdents64(fds, entries, sizeof entries)) > 0) {
    for (ssize_t off = 0; off < n && !found;) {
      const struct dirent64* entry = reinterpret_cast<const struct dirent64*>(entries + off);
      off += entry->d_reclen;
      char text[64];
      found = entry->d_name[0] != '.' &&
              readlinkat(fds, entry->d_name, text, sizeof text) == static_cast<ssize_t>(length) &&
              memcmp(text, link, length) == 0;
    }
  }
  close(fds);
  return found;
}

// The run's processes found so far, each with a handle on it taken before
// it was checked to be of the run, so that its id cannot name another
// process meanwhile, and the signal it was sent last. Without the heap.
struct Known {
  static constexpr unsigned kMax = 256;
  pid_t pids[kMax];
  int handles[kMax];
  int sent[kMax];
  unsigned count = 0;

  Known() = default;
  Known(const Known&) = delete;
  Known& operator=(const Known&) = delete;
  ~Known() {
    for (unsigned i = 0; i < count; ++i)
      if (handles[i] >= 0) close(handles[i]);
  }
  bool has(pid_t pid) const {
    for (unsigned i = 0; i < count; ++i)
      if (pids[i] == pid) return true;
    return false;
  }
  // Whether the process |i| still runs: a zombie holds nothing any more.
  bool alive(unsigned i) const {
    if (handles[i] < 0) {
      // Without handles (before Linux 5.3): the id, unless a zombie's.
      if (kill(pids[i], 0) != 0) return false;
      const int proc = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      Stat st;
      const bool zombie = proc >= 0 && read_stat(proc, pids[i], &st) && st.state == 'Z';
      if (proc >= 0) close(proc);
      return !zombie;
    }
    struct pollfd p = {handles[i], POLLIN, 0};
    return poll(&p, 1, 0) == 0;
  }
  void signal(unsigned i, int sig, pid_t reached, pid_t group) {
    if (sent[i] == sig) return;
    sent[i] = sig;
    if (reached > 0 && group == reached) return;
    const int sigs[2] = {sig, sig == SIGTERM ? SIGCONT : 0};
    for (int s : sigs) {
      if (s == 0) continue;
      if (handles[i] >= 0) syscall(SYS_pidfd_send_signal, handles[i], s, nullptr, 0);
      else kill(pids[i], s);
    }
  }
};

// Tells the run's processes by the token and those known already.
struct Finder {
  const RunToken& token;
  int proc;
  pid_t self = getpid();
  char link[40];
  Known* known;

  Finder(const RunToken& t, int p, Known* k) : token(t), proc(p), known(k) {
    put_text(link, put_number(link, put_text(link, 0, sizeof link, "pipe:["), sizeof link, token.pipe),
             sizeof link, "]");
  }

  // Whether |pid|, whose stat is |st|, is of the run; its pipe is looked
  // for where |by_pipe|.
  bool of_run(pid_t pid, const Stat& st, bool by_pipe) const {
    if (pid == self || pid == token.skip || st.state == 'Z' || st.state == 'X') return false;
    return pid == token.interpreter || (token.adopter > 0 && st.parent == token.adopter) ||
           known->has(st.parent) || (by_pipe && holds_pipe(proc, pid, link));
  }

  // Walks /proc until no process is added: a child listed before its
  // parent is found on the next walk. The group of each one added goes to
  // |groups|.
  void find(pid_t* groups) {
    const bool by_pipe = token.adopter == 0 && token.pipe != 0;
    char entries[8192];
    for (bool first = true, grown = true; grown; first = false) {
      grown = false;
      lseek(proc, 0, SEEK_SET);
      ssize_t n;
      while ((n = getdents64(proc, entries, sizeof entries)) > 0) {
        for (ssize_t off = 0; off < n && known->count < Known::kMax;) {
          const struct dirent64* entry = reinterpret_cast<const struct dirent64*>(entries + off);
          off += entry->d_reclen;
          const pid_t pid = pid_of(entry->d_name);
          Stat st;
          if (pid <= 0 || known->has(pid) || !read_stat(proc, pid, &st) ||
              !of_run(pid, st, first && by_pipe))
            continue;
          const int handle = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
          if (handle < 0 && errno != ENOSYS) continue;  // gone already
          // Checked again once held.
          if (handle >= 0 && !(read_stat(proc, pid, &st) && of_run(pid, st, first && by_pipe))) {
            close(handle);
            continue;
          }
          const unsigned i = known->count++;
          known->pids[i] = pid;
          known->handles[i] = handle;
          known->sent[i] = 0;
          groups[i] = st.group;
          grown = true;
        }
      }
    }
  }
};

// Finds the run's processes, adding them to |known|, and signals with |sig|
// each known one that still runs and has not had it, but those of the
// group |reached| (none where |sig| is 0); returns how many still run.
int look(const RunToken& token, int sig, pid_t reached, Known* known) {
  const int proc = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (proc < 0) return 0;
  pid_t groups[Known::kMax] = {};
  const unsigned before = known->count;
  Finder finder(token, proc, known);
  finder.find(groups);
  close(proc);
  int running = 0;
  for (unsigned i = 0; i < known->count; ++i) {
    if (!known->alive(i)) continue;
    ++running;
    if (sig != 0) known->signal(i, sig, reached, i >= before ? groups[i] : 0);
  }
  return running;
}

// True when |gone| reports that the run's pipe has no reader left.
bool gone_already(int gone) {
  struct pollfd p = {gone, 0, 0};
  return gone >= 0 && poll(&p, 1, 0) == 1 && (p.revents & POLLERR);
}

// True when the adopter has no child but |token.skip|: nothing of the run
// is left below it. False where that cannot be read.
bool adopted_none(const RunToken& token) {
  const int proc = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (proc < 0) return false;
  char what[48];
  put_text(what, put_number(what, put_text(what, 0, sizeof what, "/task/"), sizeof what,
                            static_cast<unsigned long long>(token.adopter)),
           sizeof what, "/children");
  char list[512];
  const ssize_t n = read_proc(proc, token.adopter, what, list, sizeof list);
  close(proc);
  if (n < 0 || n == static_cast<ssize_t>(sizeof list) - 1) return false;
  for (const char* p = list; *p;) {
    pid_t pid = 0;
    while (*p >= '0' && *p <= '9') pid = pid * 10 + (*p++ - '0');
    if (pid > 0 && pid != token.skip) return false;
    while (*p == ' ' || *p == '\n') ++p;
    if (*p && (*p < '0' || *p > '9')) return false;
  }
  return true;
}

// Waits up to |ms| for |wake| to be readable or |gone| to report an error.
void pause_for(int wake, int gone, long ms) {
  struct pollfd p[2] = {{wake, POLLIN, 0}, {gone, 0, 0}};
  poll(p, 2, static_cast<int>(ms));
  char drain[64];
  if (wake >= 0 && (p[0].revents & POLLIN) && read(wake, drain, sizeof drain) < 0) {
    // Drained already.
  }
}

// Returns once the run's pipe has no reader left.
void hold_until_gone(int gone) {
  struct pollfd p = {gone, 0, 0};
  while (gone >= 0 && poll(&p, 1, -1) < 0 && errno == EINTR) {
  }
}

bool read_all(int fd, void* data, size_t len) {
  char* at = static_cast<char*>(data);
  while (len > 0) {
    const ssize_t n = read(fd, at, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    at += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

// A handle on the interpreter |pid|, checked to be the launcher's child
// after it was taken; -1 where there is none.
int interpreter_handle(pid_t pid, pid_t launcher) {
  if (pid <= 0) return -1;
  const int handle = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  if (handle < 0) return -1;
  const int proc = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  Stat st;
  const bool ours = proc >= 0 && read_stat(proc, pid, &st) && st.parent == launcher;
  if (proc >= 0) close(proc);
  if (ours) return handle;
  close(handle);
  return -1;
}

// One fd in each 16 bits of the guardian's argument; 0xFFFF is none.
constexpr unsigned kNoFd = 0xFFFF;

int fd_in(uintptr_t fds, int k) {
  const unsigned fd = static_cast<unsigned>(fds >> (16 * k)) & 0xFFFF;
  return fd == kNoFd ? -1 : static_cast<int>(fd);
}

int guard(void* fds_value) {
  const uintptr_t fds = reinterpret_cast<uintptr_t>(fds_value);
  const int orders = fd_in(fds, 0), pipe_end = fd_in(fds, 2);
  // The guardian's own copy of the order pipe's other end must go, or the
  // pipe never ends; a reading end of the run's pipe would count it as of
  // the run.
  for (int k : {1, 3})
    if (fd_in(fds, k) >= 0) close(fd_in(fds, k));
  // Named apart from the launcher, so that killing the launcher by name
  // leaves the guardian to do its work.
  prctl(PR_SET_NAME, "zelk_sim guard");
  sigset_t all;
  sigfillset(&all);
  sigprocmask(SIG_SETMASK, &all, nullptr);
  const pid_t launcher = getppid();
  GuardOrder order;
  bool ordered = false;
  int interpreter = -1;
  for (;;) {
    char kind = 0;
    const ssize_t n = read(orders, &kind, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (kind == kDone) _exit(0);
    if (kind == kHold) {
      hold_until_gone(pipe_end);
      _exit(0);
    }
    if (kind == kTakeInterrupt) {
      sigset_t interrupt;
      sigemptyset(&interrupt);
      sigaddset(&interrupt, SIGINT);
      const struct timespec now = {0, 0};
      sigtimedwait(&interrupt, nullptr, &now);
    } else if (kind == kOrder) {
      if (!read_all(orders, &order, sizeof order)) break;
      ordered = true;
      if (interpreter >= 0) close(interpreter);
      interpreter = interpreter_handle(order.token.interpreter, launcher);
    }
  }
  if (!ordered) _exit(0);  // nothing was started
  order.token.adopter = 0;
  order.token.skip = getpid();
  // An interpreter that has ended may have had its id given to another.
  struct pollfd ended = {interpreter, POLLIN, 0};
  if (interpreter < 0 || poll(&ended, 1, 0) != 0) order.token.interpreter = 0;
  const bool all_gone = end_run(order.token, -1, pipe_end, nullptr, nullptr);
  // A simulator that was forced to end may have left the terminal raw;
  // with every signal blocked, this works from the background too.
  if (order.has_termios) tcsetattr(0, TCSADRAIN, &order.termios);
  if (!all_gone && say_what_is_left(order.token, pipe_end, order.name)) hold_until_gone(pipe_end);
  _exit(0);
}

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

}  // namespace

bool end_run(const RunToken& token, int wake, int gone, void (*between)(void*), void* context) {
  const struct {
    int sig;
    int ms;
  } phases[] = {{SIGTERM, kGraceMs}, {SIGKILL, kForcedMs}};
  Known known;
  for (const auto& phase : phases) {
    const long deadline = now_ms() + phase.ms;
    for (;;) {
      if (between) between(context);
      // Below an adopter every process of the run is seen; without one,
      // a process that cannot be seen still holds the pipe.
      const bool pipe_gone = gone < 0 || gone_already(gone);
      if (token.adopter > 0 && pipe_gone && adopted_none(token)) return true;
      if (look(token, phase.sig, 0, &known) == 0 && (token.adopter > 0 || pipe_gone))
        return true;
      const long left = deadline - now_ms();
      if (left <= 0) break;
      // A process gone by SIGTERM takes a few milliseconds.
      pause_for(wake, gone, left < 5 ? left : 5);
    }
  }
  return false;
}

void signal_run(const RunToken& token, int sig, pid_t reached) {
  Known known;
  look(token, sig, reached, &known);
}

bool say_what_is_left(const RunToken& token, int gone, const char* name) {
  Known seen;
  const int running = look(token, 0, 0, &seen);
  const bool unseen = token.adopter == 0 && gone >= 0 && !gone_already(gone);
  if (running == 0 && !unseen) return false;
  char line[512];
  size_t at = put_text(line, 0, sizeof line, name);
  at = put_text(line, at, sizeof line, ": the run is not over:");
  if (running > 0) {
    at = put_text(line, at, sizeof line, " process");
    for (unsigned i = 0; i < seen.count && at + 40 < sizeof line; ++i) {
      if (!seen.alive(i)) continue;
      at = put_text(line, at, sizeof line, " ");
      at = put_number(line, at, sizeof line, static_cast<unsigned long long>(seen.pids[i]));
    }
    at = put_text(line, at, sizeof line, " could not be ended");
  }
  if (unseen) {
    at = put_text(line, at, sizeof line,
                  running > 0 ? ", and processes that cannot be seen hold its pipe"
                                 : " processes that cannot be seen hold its pipe");
  }
  at = put_text(line, at, sizeof line, "; the chip stays locked until they end\n");
  if (write(2, line, at) < 0) {
    // Nowhere left to say it.
  }
  return true;
}

bool has_pending(pid_t pid, int sig) {
  const int proc = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (proc < 0) return false;
  char status[4096];
  const ssize_t n = read_proc(proc, pid, "/status", status, sizeof status);
  close(proc);
  if (n <= 0) return false;
  for (const char* key : {"\nSigPnd:", "\nShdPnd:"}) {
    const char* p = strstr(status, key);
    if (!p) continue;
    p += strlen(key);
    while (*p == ' ' || *p == '\t') ++p;
    unsigned long long mask = 0;
    for (;; ++p) {
      const int digit = *p >= '0' && *p <= '9' ? *p - '0' : *p >= 'a' && *p <= 'f' ? *p - 'a' + 10 : -1;
      if (digit < 0) break;
      mask = mask << 4 | static_cast<unsigned>(digit);
    }
    if (mask >> (sig - 1) & 1) return true;
  }
  return false;
}

pid_t start_guardian(const int order_pipe[2], int pipe_end, int close_also, void** stack) {
  *stack = nullptr;
  uintptr_t fds = 0;
  const int given[4] = {order_pipe[0], order_pipe[1], pipe_end, close_also};
  for (int k = 0; k < 4; ++k) {
    if (given[k] >= static_cast<int>(kNoFd)) {
      errno = EMFILE;
      return -1;
    }
    fds |= static_cast<uintptr_t>(given[k] < 0 ? kNoFd : static_cast<unsigned>(given[k])) << (16 * k);
  }
  void* arg = reinterpret_cast<void*>(fds);
  if (kGuardianCopiesMemory) {
    const pid_t pid = fork();
    if (pid == 0) guard(arg);
    return pid;
  }
  // It shares this process's memory rather than copying it, which makes it
  // cheap to start, and runs on a stack of its own.
  void* memory = mmap(nullptr, kGuardianStack, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
  if (memory == MAP_FAILED) return -1;
  const pid_t pid = clone(guard, static_cast<char*>(memory) + kGuardianStack, CLONE_VM | SIGCHLD, arg);
  if (pid < 0) munmap(memory, kGuardianStack);
  else *stack = memory;
  return pid;
}

void free_guardian_stack(void* stack) {
  if (stack) munmap(stack, kGuardianStack);
}
