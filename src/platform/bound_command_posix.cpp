// The command runs in this process's own process group, as a program run
// alone would: Ctrl-C and Ctrl-Z at the terminal reach it and the launcher
// together, the shell's job control stops and resumes both, and the
// terminal never changes hands, so nothing is left to hand back however
// the launcher ends. A kill of the whole group ends the command with it.
// This process adopts the run's orphans, so that every process of the run
// stays below it and is found from /proc/PID/stat, whatever its
// credentials (see guardian_posix.h); a guardian ends them when the
// launcher is killed alone. The chip's lock is shared with them and with
// the guardian, so that it is free only once every one of them has ended,
// whatever was killed first.
#include "platform/bound_command.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "platform/guardian_posix.h"

namespace {

constexpr int kOutputPipeBytes = 1 << 20;
// The signals a BoundCommand catches while it runs; SIGCHLD only wakes it.
constexpr int kCaught[] = {SIGINT, SIGTERM, SIGHUP, SIGCHLD};
constexpr size_t kCaughtCount = sizeof kCaught / sizeof kCaught[0];

// The handlers' end of the self-pipe that wakes a waiting BoundCommand.
int g_wake_fd = -1;
volatile sig_atomic_t g_interrupt = 0;
// The last Ctrl-C was sent to this process alone, not typed at the
// terminal, whose Ctrl-C reaches the whole job.
volatile sig_atomic_t g_interrupt_sent = 0;
volatile sig_atomic_t g_stop_request = 0;

void on_signal(int sig, siginfo_t* info, void*) {
  const int saved = errno;
  if (sig == SIGINT) {
    g_interrupt = 1;
    g_interrupt_sent = info && info->si_code <= 0;
  } else if (sig != SIGCHLD) {
    g_stop_request = sig;
  }
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

void close_fd(int* fd) {
  if (*fd >= 0) close(*fd);
  *fd = -1;
}

}  // namespace

struct BoundCommand::State {
  pid_t shell = -1, guardian = -1;
  void* guardian_stack = nullptr;
  int out = -1;            // reading end of the command's standard output
  int input = -1;          // writing end of its standard input, not blocking
  std::string sending;     // the send in flight
  size_t sent = 0;         // how much of it is written
  bool send_in_flight = false;
  int wake[2] = {-1, -1};  // woken by the signal handlers
  int orders = -1;         // the guardian's socket
  int token = -1;          // writing end of the run's pipe
  GuardOrder order = {};
  bool started = false, ordered = false, ended = false, gone = false, done = false;
  bool left = false;       // the run was not over when it was ended
  bool chld_ignored = false;
  pid_t group = 0;
  int status = 0;
  std::string problem;
  sigset_t entry_mask;
  struct sigaction entry_actions[kCaughtCount] = {};
  bool caught[kCaughtCount] = {};
  struct sigaction entry_pipe = {};
  bool ignoring_pipe = false;

  // Collects the interpreter and whatever of the run became this process's
  // to collect, each looked at before it is collected: a guardian that was
  // killed, whenever, is replaced before it is collected, so that whoever
  // sees it gone finds the run guarded again.
  static void reap(void* context) {
    State* s = static_cast<State*>(context);
    for (;;) {
      siginfo_t info = {};
      if (waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid <= 0) return;
      const pid_t pid = info.si_pid;
      if (pid == s->guardian) {
        void* stack = s->guardian_stack;
        s->guardian = -1;
        s->guardian_stack = nullptr;
        if (!s->done) s->start_guardian_for_run();
        waitpid(pid, nullptr, 0);
        free_guardian_stack(stack);
        continue;
      }
      int st = 0;
      if (waitpid(pid, &st, 0) != pid) return;
      if (pid == s->shell) s->shell_ended(WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st));
    }
  }

  void shell_ended(int exit_status) {
    ended = true;
    status = exit_status;
    // Its id may be given to another process from now on.
    order.token.interpreter = 0;
  }

  // After a moment with SIGCHLD ignored: a guardian or an interpreter that
  // ended then was collected by the system, its status lost.
  void collected_meanwhile() {
    siginfo_t info = {};
    if (guardian > 0 && waitid(P_PID, static_cast<id_t>(guardian), &info, WEXITED | WNOHANG | WNOWAIT) != 0 &&
        errno == ECHILD) {
      free_guardian_stack(guardian_stack);
      guardian_stack = nullptr;
      guardian = -1;
      start_guardian_for_run();
    }
    if (shell > 0 && waitid(P_PID, static_cast<id_t>(shell), &info, WEXITED | WNOHANG | WNOWAIT) != 0 &&
        errno == ECHILD)
      shell_ended(0);
  }

  // |close_also|: a descriptor the guardian is not to keep.
  bool start_guardian_for_run(int close_also = -1) {
    close_fd(&orders);
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return false;
    guardian = start_guardian(ends, token, close_also, &guardian_stack);
    close(ends[0]);
    orders = ends[1];
    order.token.skip = guardian;
    if (guardian < 0) return false;
    return !ordered || tell_guardian(kOrder);
  }

  // One message, all of it or nothing; a guardian gone is no signal.
  bool tell_guardian(char kind) const {
    char bytes[1 + sizeof order];
    bytes[0] = kind;
    size_t len = 1;
    if (kind == kOrder) {
      memcpy(bytes + 1, &order, sizeof order);
      len += sizeof order;
    }
    return ::send(orders, bytes, len, MSG_NOSIGNAL) == static_cast<ssize_t>(len);
  }

  // Writes what the input takes of the send in flight, without waiting.
  // True, with |*event| and errno set, once the send is done or failed.
  bool push_input(Event* event) {
    while (sent < sending.size()) {
      const ssize_t n = write(input, sending.data() + sent, sending.size() - sent);
      if (n > 0) {
        sent += static_cast<size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return false;
      const int error = n < 0 ? errno : EIO;
      finish_send();
      *event = Event::kSendFailed;
      errno = error;
      return true;
    }
    finish_send();
    *event = Event::kSent;
    return true;
  }

  void finish_send() {
    std::string().swap(sending);
    sent = 0;
    send_in_flight = false;
  }

  Event wait(int64_t timeout_ms, char* buf, size_t cap, size_t* got, bool reading);

  // Says what could not be started, and why.
  bool cannot_start(int error, const char* what = "/bin/sh") {
    problem = std::string("cannot start ") + what + ": " + strerror(error);
    return false;
  }
};

BoundCommand::BoundCommand() : s_(new State) {}

BoundCommand::~BoundCommand() {
  end();
  State& s = *s_;
  // The handlers go before the self-pipe they write: a late SIGCHLD (the
  // guardian's end, slowed by a tracer) must find no closed pipe, nor a
  // number that another file took since.
  if (s.started) {
    for (size_t i = 0; i < kCaughtCount; ++i)
      if (s.caught[i]) sigaction(kCaught[i], &s.entry_actions[i], nullptr);
    g_wake_fd = -1;
    if (s.ignoring_pipe) sigaction(SIGPIPE, &s.entry_pipe, nullptr);
    sigprocmask(SIG_SETMASK, &s.entry_mask, nullptr);
  }
  for (int* fd : {&s.out, &s.input, &s.wake[0], &s.wake[1], &s.orders, &s.token}) close_fd(fd);
}

bool BoundCommand::start(const std::string& line, const Options& options) {
  State& s = *s_;
  if (pipe2(s.wake, O_CLOEXEC | O_NONBLOCK) != 0) return s.cannot_start(errno);
  s.started = true;
  g_wake_fd = s.wake[1];
  g_interrupt = g_interrupt_sent = g_stop_request = 0;
  // Signals the launcher was started with blocked or ignored stay so for
  // the command, as they would for a program run alone; the launcher itself
  // must hear the ones it waits on, except those its starter chose to
  // ignore (nohup, or a background job's Ctrl-C).
  sigset_t caught;
  sigemptyset(&caught);
  for (int sig : kCaught) sigaddset(&caught, sig);
  sigprocmask(SIG_UNBLOCK, &caught, &s.entry_mask);
  struct sigaction act = {};
  act.sa_sigaction = on_signal;
  act.sa_flags = SA_SIGINFO | SA_RESTART;
  sigemptyset(&act.sa_mask);
  for (size_t i = 0; i < kCaughtCount; ++i) {
    sigaction(kCaught[i], nullptr, &s.entry_actions[i]);
    const bool ignored = s.entry_actions[i].sa_handler == SIG_IGN;
    if (kCaught[i] == SIGCHLD) s.chld_ignored = ignored;
    else if (ignored) continue;
    s.caught[i] = sigaction(kCaught[i], &act, nullptr) == 0;
  }
  // A reader of the output gone, or a command that closed its input, is a
  // failed write, not the launcher's end.
  sigaction(SIGPIPE, nullptr, &s.entry_pipe);
  if ((options.capture || options.input) && s.entry_pipe.sa_handler != SIG_IGN) {
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    s.ignoring_pipe = sigaction(SIGPIPE, &ignore, nullptr) == 0;
  }
  // Settings to put back should the simulator be forced to end with the
  // terminal raw.
  if (isatty(0) && tcgetpgrp(0) == getpgrp())
    s.order.has_termios = tcgetattr(0, &s.order.termios) == 0;

  s.group = getpgrp();
  // The run's orphans become this process's children rather than init's,
  // so that the run stays below it; where the system cannot, the run's pipe
  // alone finds them.
  if (prctl(PR_SET_CHILD_SUBREAPER, 1) == 0) s.order.token.adopter = getpid();
  snprintf(s.order.name, sizeof s.order.name, "%s", program_invocation_short_name);
  int token[2];
  if (pipe2(token, O_CLOEXEC) != 0) return s.cannot_start(errno);
  struct stat st;
  fstat(token[0], &st);
  s.order.token.pipe = st.st_ino;
  s.token = token[1];
  // The guardian comes next, so that it holds none of the pipes below; it
  // keeps the run's pipe's writing end, to know when the run has no
  // process left.
  if (!s.start_guardian_for_run(token[0])) {
    close(token[0]);
    return s.cannot_start(errno, "the launcher's guardian");
  }
  s.ordered = true;
  // Told before anything runs: a launcher killed from here on leaves a run
  // the guardian can find.
  if (!s.tell_guardian(kOrder)) {
    // The guardian is gone; reap() starts another, told the same.
  }

  int out[2] = {-1, -1}, in[2] = {-1, -1};
  if ((options.capture && pipe2(out, O_CLOEXEC) != 0) ||
      (options.input && pipe2(in, O_CLOEXEC) != 0)) {
    const int error = errno;
    for (int fd : {token[0], out[0], out[1], in[0], in[1]})
      if (fd >= 0) close(fd);
    return s.cannot_start(error);
  }
  // A roomier pipe lets a simulator that prints much go on while the
  // launcher relays what came before; where it cannot grow it serves as is.
  if (options.capture) fcntl(out[1], F_SETPIPE_SZ, kOutputPipeBytes);

  posix_spawnattr_t attr;
  posix_spawn_file_actions_t actions;
  posix_spawnattr_init(&attr);
  posix_spawn_file_actions_init(&actions);
  sigset_t defaults;
  sigemptyset(&defaults);
  if (s.ignoring_pipe) sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setsigmask(&attr, &s.entry_mask);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  // A descriptor given its own number is inherited.
  posix_spawn_file_actions_adddup2(&actions, token[0], token[0]);
  const int lock = options.shared_lock ? static_cast<int>(options.shared_lock->handle()) : -1;
  if (lock >= 0) posix_spawn_file_actions_adddup2(&actions, lock, lock);
  if (options.capture) posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  if (options.input) posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  const char* argv[] = {"sh", "-c", line.c_str(), nullptr};
  // A SIGCHLD ignored on entry stays so for the command; the handler that
  // wakes this process is its own. Ignored for the moment of the start,
  // a child that ends meanwhile is collected by the system.
  struct sigaction ignore_chld = {}, own_chld = {};
  ignore_chld.sa_handler = SIG_IGN;
  if (s.chld_ignored) sigaction(SIGCHLD, &ignore_chld, &own_chld);
  const int error = posix_spawn(&s.shell, "/bin/sh", &actions, &attr,
                                const_cast<char* const*>(argv), environ);
  if (s.chld_ignored) {
    sigaction(SIGCHLD, &own_chld, nullptr);
    s.collected_meanwhile();
  }
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  close(token[0]);
  if (options.capture) {
    close(out[1]);
    s.out = out[0];
  }
  if (options.input) {
    close(in[0]);
    s.input = in[1];
    // Ours alone: a simulator that reads nothing never holds up the watch.
    fcntl(s.input, F_SETFL, fcntl(s.input, F_GETFL) | O_NONBLOCK);
  }
  if (error != 0) {
    s.shell = -1;
    s.gone = true;
    close_fd(&s.out);
    return s.cannot_start(error);
  }
  // The guardian knows the interpreter from now on, and so its
  // descendants, whatever becomes of this process.
  if (!s.ended) s.order.token.interpreter = s.shell;
  if (!s.tell_guardian(kOrder)) {
    // The guardian is gone; reap() starts another, told the same.
  }
  return true;
}

BoundCommand::Event BoundCommand::wait(int64_t timeout_ms, char* buf, size_t cap, size_t* got) {
  return s_->wait(timeout_ms, buf, cap, got, true);
}

BoundCommand::Event BoundCommand::wait_without_output(int64_t timeout_ms) {
  return s_->wait(timeout_ms, nullptr, 0, nullptr, false);
}

BoundCommand::Event BoundCommand::State::wait(int64_t timeout_ms, char* buf, size_t cap,
                                              size_t* got, bool reading) {
  State& s = *this;
  const int64_t deadline = timeout_ms < 0 ? -1 : now_ms() + timeout_ms;
  for (;;) {
    if (g_stop_request != 0) return Event::kStopRequest;
    if (g_interrupt) {
      g_interrupt = 0;
      return Event::kInterrupt;
    }
    State::reap(&s);
    if (reading && s.ended && s.out < 0) return Event::kEnded;
    Event sent;
    if (s.send_in_flight && s.push_input(&sent)) return sent;
    const bool read_out = reading && s.out >= 0;
    struct pollfd fds[3] = {{s.wake[0], POLLIN, 0}, {-1, 0, 0}, {-1, 0, 0}};
    if (read_out) fds[1] = {s.out, POLLIN, 0};
    if (s.send_in_flight) fds[2] = {s.input, POLLOUT, 0};
    int wait_ms = -1;
    if (deadline >= 0) {
      const int64_t left = deadline - now_ms();
      if (left <= 0) return Event::kTimedOut;
      wait_ms = static_cast<int>(left < INT32_MAX ? left : INT32_MAX);
    }
    // Once the interpreter has ended, its output is read only as far as it
    // is there already: a process it left behind may hold the pipe open.
    if (read_out && s.ended) wait_ms = 0;
    const int ready = poll(fds, 3, wait_ms);
    if (ready < 0 && errno != EINTR) return reading ? Event::kEnded : Event::kTimedOut;
    if (ready > 0 && (fds[0].revents & POLLIN)) {
      char drain[64];
      if (read(s.wake[0], drain, sizeof drain) < 0) {
        // Drained already.
      }
    }
    if (read_out && ready > 0 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
      const ssize_t n = read(s.out, buf, cap);
      if (n > 0) {
        *got = static_cast<size_t>(n);
        return Event::kOutput;
      }
      if (n == 0 || errno != EINTR) close_fd(&s.out);
    } else if (read_out && s.ended && ready == 0) {
      close_fd(&s.out);
    }
  }
}

bool BoundCommand::send(const char* data, size_t len) {
  State& s = *s_;
  if (s.input < 0 || s.send_in_flight) {
    errno = EPIPE;
    return false;
  }
  s.sending.assign(data, len);
  s.sent = 0;
  s.send_in_flight = true;
  return true;
}

void BoundCommand::interrupt() {
  State& s = *s_;
  if (s.shell <= 0 || s.gone) return;
  // Typed at the terminal or sent to the whole process group, it reached
  // the processes of the run in this process's group already. The
  // guardian, of the group too, blocks it and so keeps it pending, which
  // tells a group's from one sent to this process alone.
  bool reached_group = !g_interrupt_sent;
  if (s.guardian > 0 && has_pending(s.guardian, SIGINT)) {
    reached_group = true;
    s.tell_guardian(kTakeInterrupt);
  }
  signal_run(s.order.token, SIGINT, reached_group ? s.group : 0);
}

void BoundCommand::end() {
  State& s = *s_;
  // What it prints is read no more: one blocked printing to a full pipe
  // is freed to end as it is asked.
  close_fd(&s.out);
  if (s.shell > 0 && !s.gone) {
    const bool all_gone = end_run(s.order.token, s.wake[0], s.token, &State::reap, &s);
    State::reap(&s);
    s.gone = true;
    s.left = !all_gone && say_what_is_left(s.order.token, s.token, s.order.name);
  }
  // Open until the run has ended: no end of input reaches the simulator.
  close_fd(&s.input);
  // A simulator that was ended may have left the console raw.
  if (s.order.has_termios && tcgetpgrp(0) == getpgrp()) tcsetattr(0, TCSADRAIN, &s.order.termios);
  s.done = true;
  if (s.orders >= 0) {
    // What could not be ended keeps the chip: the guardian holds it until
    // the run's pipe has no holder left.
    if (!s.tell_guardian(s.left ? kHold : kDone)) {
      // The guardian is gone; nothing is left to tell it.
    }
    close_fd(&s.orders);
  }
  // Told it is done, the guardian ends by itself; waiting for it would only
  // delay the launcher. Its stack goes once it is known to be gone, else
  // with this process.
  if (s.guardian > 0 && waitpid(s.guardian, nullptr, WNOHANG) == s.guardian) {
    free_guardian_stack(s.guardian_stack);
    s.guardian_stack = nullptr;
    s.guardian = -1;
  }
}

void BoundCommand::obey_stop_request() {
  const int sig = g_stop_request ? g_stop_request : SIGTERM;
  signal(sig, SIG_DFL);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, sig);
  sigprocmask(SIG_UNBLOCK, &only, nullptr);
  raise(sig);
  _exit(128 + sig);
}

int BoundCommand::status() const { return s_->status; }

const std::string& BoundCommand::problem() const { return s_->problem; }
