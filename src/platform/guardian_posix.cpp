#include "platform/guardian_posix.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
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

// True when the process whose /proc entry is |pid| has an open file of
// |token|'s identity. A zombie holds nothing open any more.
bool holds_token(int proc, const char* pid, const RunToken& token) {
  char path[32];
  size_t at = 0;
  while (pid[at] && at < sizeof path - 4) {
    path[at] = pid[at];
    ++at;
  }
  path[at++] = '/';
  path[at++] = 'f';
  path[at++] = 'd';
  path[at] = '\0';
  const int fds = openat(proc, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fds < 0) return false;
  bool found = false;
  char entries[4096];
  ssize_t n;
  while (!found && (n = getdents64(fds, entries, sizeof entries)) > 0) {
    for (ssize_t off = 0; off < n && !found;) {
      const struct dirent64* entry = reinterpret_cast<const struct dirent64*>(entries + off);
      off += entry->d_reclen;
      struct stat st;
      found = entry->d_name[0] != '.' && fstatat(fds, entry->d_name, &st, 0) == 0 &&
              st.st_dev == token.dev && st.st_ino == token.ino;
    }
  }
  close(fds);
  return found;
}

pid_t pid_of(const char* name) {
  pid_t pid = 0;
  for (const char* c = name; *c; ++c) {
    if (*c < '0' || *c > '9') return 0;
    pid = pid * 10 + (*c - '0');
  }
  return pid;
}

// The processes already sent a phase's signal, so that each gets it once.
struct Told {
  pid_t pids[256];
  unsigned count = 0;
  bool has(pid_t pid) const {
    for (unsigned i = 0; i < count; ++i)
      if (pids[i] == pid) return true;
    return false;
  }
  void add(pid_t pid) {
    if (count < sizeof pids / sizeof pids[0]) pids[count++] = pid;
  }
};

// Sends |sig| (and SIGCONT after a SIGTERM, so that a stopped process
// can act on it) to |pid|, through a handle taken before the process is
// checked to be of the run: the id cannot name another process meanwhile.
void signal_holder(int proc, const char* name, pid_t pid, const RunToken& token, int sig) {
  const int handle = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  if (handle < 0 && errno != ENOSYS) return;  // gone already
  if (handle >= 0 && !holds_token(proc, name, token)) {
    close(handle);
    return;
  }
  const int sigs[2] = {sig, sig == SIGTERM ? SIGCONT : 0};
  for (int s : sigs) {
    if (s == 0) continue;
    if (handle >= 0) syscall(SYS_pidfd_send_signal, handle, s, nullptr, 0);
    else kill(pid, s);
  }
  if (handle >= 0) close(handle);
}

// Looks at every process once: signals with |sig| those of the run not in
// |told| (none where |sig| is 0) and returns how many of the run there are.
int look(const RunToken& token, int sig, Told* told) {
  const int proc = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (proc < 0) return 0;
  const pid_t self = getpid();
  int holders = 0;
  char entries[8192];
  ssize_t n;
  while ((n = getdents64(proc, entries, sizeof entries)) > 0) {
    for (ssize_t off = 0; off < n;) {
      const struct dirent64* entry = reinterpret_cast<const struct dirent64*>(entries + off);
      off += entry->d_reclen;
      const pid_t pid = pid_of(entry->d_name);
      if (pid <= 0 || pid == self || !holds_token(proc, entry->d_name, token)) continue;
      ++holders;
      if (sig == 0 || (told && told->has(pid))) continue;
      signal_holder(proc, entry->d_name, pid, token, sig);
      if (told) told->add(pid);
    }
  }
  close(proc);
  return holders;
}

// True when |gone| reports that the run's pipe has no reader left: no
// process of the run is left to look for.
bool gone_already(int gone) {
  struct pollfd p = {gone, 0, 0};
  return gone >= 0 && poll(&p, 1, 0) == 1 && (p.revents & POLLERR);
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

// Both ends of the order pipe, read end low, in one pointer-sized value.
int guard(void* ends_value) {
  const unsigned long ends = reinterpret_cast<unsigned long>(ends_value);
  const int orders = static_cast<int>(ends & 0xFFFFFFFF);
  // The guardian's own copy of the writing end must go, or the pipe never
  // ends.
  close(static_cast<int>(ends >> 32));
  // Named apart from the launcher, so that killing the launcher by name
  // leaves the guardian to do its work.
  prctl(PR_SET_NAME, "zelk_sim guard");
  sigset_t all;
  sigfillset(&all);
  sigprocmask(SIG_SETMASK, &all, nullptr);
  GuardOrder order;
  size_t got = 0;
  while (got < sizeof order) {
    const ssize_t n = read(orders, reinterpret_cast<char*>(&order) + got, sizeof order - got);
    if (n <= 0) _exit(0);  // nothing was started
    got += static_cast<size_t>(n);
  }
  char done = 0;
  if (read(orders, &done, 1) == 1) _exit(0);
  end_run(order.token, -1, -1, nullptr, nullptr);
  // A simulator that was forced to end may have left the terminal raw;
  // with every signal blocked, this works from the background too.
  if (order.has_termios) tcsetattr(0, TCSADRAIN, &order.termios);
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
  for (const auto& phase : phases) {
    Told told;
    const long deadline = now_ms() + phase.ms;
    for (;;) {
      if (between) between(context);
      if (gone_already(gone) || look(token, phase.sig, &told) == 0) return true;
      const long left = deadline - now_ms();
      if (left <= 0) break;
      // A process gone by SIGTERM takes a few milliseconds.
      pause_for(wake, gone, left < 5 ? left : 5);
    }
  }
  return false;
}

void signal_run(const RunToken& token, int sig) { look(token, sig, nullptr); }

pid_t start_guardian(const int order_pipe[2], void** stack) {
  *stack = nullptr;
  const unsigned long ends = static_cast<unsigned long>(static_cast<unsigned>(order_pipe[1])) << 32 |
                             static_cast<unsigned>(order_pipe[0]);
  void* arg = reinterpret_cast<void*>(ends);
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
