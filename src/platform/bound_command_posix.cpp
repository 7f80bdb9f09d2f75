// The command runs in this process's own process group, as a program run
// alone would: Ctrl-C and Ctrl-Z at the terminal reach it and the launcher
// together, the shell's job control stops and resumes both, and the
// terminal never changes hands, so nothing is left to hand back however
// the launcher ends. A kill of the whole group ends the command with it.
// Its processes are found by the run's pipe they inherit (see
// guardian_posix.h), and a guardian ends them when the launcher is killed
// alone. The chip's lock is shared with them, so that it is free only once
// every one of them has ended, whatever was killed first.
#include "platform/bound_command.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
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
  int orders = -1;         // the guardian's pipe
  int token = -1;          // writing end of the run's pipe
  GuardOrder order = {};
  bool started = false, ordered = false, ended = false, gone = false, done = false;
  int status = 0;
  std::string problem;
  sigset_t entry_mask;
  struct sigaction entry_actions[kCaughtCount] = {};
  bool caught[kCaughtCount] = {};
  struct sigaction entry_pipe = {};
  bool ignoring_pipe = false;

  // Collects the interpreter and whatever of the run became this process's
  // to collect. A guardian that was killed is replaced before it is
  // collected, so that whoever sees it gone finds the run guarded again.
  static void reap(void* context) {
    State* s = static_cast<State*>(context);
    siginfo_t info = {};
    if (s->guardian > 0 && !s->done &&
        waitid(P_PID, static_cast<id_t>(s->guardian), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
        info.si_pid == s->guardian) {
      const pid_t dead = s->guardian;
      void* stack = s->guardian_stack;
      s->start_guardian_for_run();
      waitpid(dead, nullptr, 0);
      free_guardian_stack(stack);
    }
    int st = 0;
    pid_t pid;
    while ((pid = waitpid(-1, &st, WNOHANG)) > 0) {
      if (pid == s->shell) {
        s->ended = true;
        s->status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
      } else if (pid == s->guardian) {
        s->guardian = -1;
        free_guardian_stack(s->guardian_stack);
        s->guardian_stack = nullptr;
      }
    }
  }

  bool start_guardian_for_run() {
    close_fd(&orders);
    int pipe_ends[2];
    if (pipe2(pipe_ends, O_CLOEXEC) != 0) return false;
    guardian = start_guardian(pipe_ends, &guardian_stack);
    close(pipe_ends[0]);
    orders = pipe_ends[1];
    if (guardian < 0) return false;
    return !ordered || tell_guardian();
  }

  // One write of less than a pipe's atomic size: all of it or nothing.
  bool tell_guardian() const {
    char bytes[sizeof order];
    memcpy(bytes, &order, sizeof order);
    return write(orders, bytes, sizeof bytes) == static_cast<ssize_t>(sizeof bytes);
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
  for (int* fd : {&s.out, &s.input, &s.wake[0], &s.wake[1], &s.orders, &s.token}) close_fd(fd);
  if (!s.started) return;
  for (size_t i = 0; i < kCaughtCount; ++i)
    if (s.caught[i]) sigaction(kCaught[i], &s.entry_actions[i], nullptr);
  if (s.ignoring_pipe) sigaction(SIGPIPE, &s.entry_pipe, nullptr);
  sigprocmask(SIG_SETMASK, &s.entry_mask, nullptr);
  g_wake_fd = -1;
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
    if (s.entry_actions[i].sa_handler == SIG_IGN && kCaught[i] != SIGCHLD) continue;
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

  // The guardian comes first, so that it holds none of the pipes below.
  if (!s.start_guardian_for_run()) return s.cannot_start(errno, "the launcher's guardian");
  int token[2];
  if (pipe2(token, O_CLOEXEC) != 0) return s.cannot_start(errno);
  struct stat st;
  fstat(token[0], &st);
  s.order.token.dev = st.st_dev;
  s.order.token.ino = st.st_ino;
  s.token = token[1];
  s.ordered = true;
  // Told before anything runs: a launcher killed from here on leaves a run
  // the guardian can find.
  if (!s.tell_guardian()) {
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
  const int error = posix_spawn(&s.shell, "/bin/sh", &actions, &attr,
                                const_cast<char* const*>(argv), environ);
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
  if (s.shell > 0 && !s.gone && g_interrupt_sent) signal_run(s.order.token, SIGINT);
}

void BoundCommand::end() {
  State& s = *s_;
  // What it prints is read no more: one blocked printing to a full pipe
  // is freed to end as it is asked.
  close_fd(&s.out);
  if (s.shell > 0 && !s.gone) {
    end_run(s.order.token, s.wake[0], s.token, &State::reap, &s);
    State::reap(&s);
    s.gone = true;
  }
  // Open until the run has ended: no end of input reaches the simulator.
  close_fd(&s.input);
  // A simulator that was ended may have left the console raw.
  if (s.order.has_termios && tcgetpgrp(0) == getpgrp()) tcsetattr(0, TCSADRAIN, &s.order.termios);
  s.done = true;
  if (s.orders >= 0) {
    const char done = 'd';
    if (write(s.orders, &done, 1) < 0) {
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
