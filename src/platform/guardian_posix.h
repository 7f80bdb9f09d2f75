// The processes of a bound command, found and ended by what they hold, and
// the guardian that ends them when the launcher cannot. Everything here
// keeps to plain system calls on the caller's stack: the guardian runs it
// in memory it shares with a process that may have died anywhere, with
// its heap's lock held.
#ifndef ZELK_PLATFORM_GUARDIAN_POSIX_H_
#define ZELK_PLATFORM_GUARDIAN_POSIX_H_

#include <sys/types.h>
#include <termios.h>

// A run's processes are those that hold the reading end of the run's own
// pipe, which the interpreter inherits and passes on to whatever it starts.
// Nothing else can hold it, so it names them however they were started,
// whatever group or parent they have now.
struct RunToken {
  dev_t dev = 0;
  ino_t ino = 0;
};

// What the guardian needs to know of a run: the token and, where the
// launcher had the terminal, its settings to put back.
struct GuardOrder {
  RunToken token;
  int has_termios = 0;
  struct termios termios;
};

// How long a run asked to end may take before it is forced, and how long a
// forced one may take to be gone before it is given up on.
constexpr int kGraceMs = 2000;
constexpr int kForcedMs = 5000;

// Asks every process of |token|'s run to end (SIGTERM, with SIGCONT for one
// that was stopped), forces those left after kGraceMs (SIGKILL), and
// returns true once none is left. Between looks it calls |between|
// (collecting what became the caller's to collect) and waits up to 5 ms
// for |wake| (or -1) to be readable, or for |gone| (or -1), the writing
// end of the run's pipe, to report that its last reader has gone. A
// process is signalled through a handle on it where the system has one, so
// that an id that came round again is never hit.
bool end_run(const RunToken& token, int wake, int gone, void (*between)(void*), void* context);

// Sends |sig| to every process of |token|'s run.
void signal_run(const RunToken& token, int sig);

// Starts the guardian, which reads one GuardOrder from |order_pipe[0]| and
// then waits. When the pipe ends without a byte after the order (this
// process ended without saying it was done), it ends the run and puts the
// terminal's settings back. It blocks every signal it can: only SIGKILL
// ends it early. It is given the pipe's reading end alone. Returns its pid
// or -1; |*stack| is the memory to free once it is gone, or nullptr.
pid_t start_guardian(const int order_pipe[2], void** stack);

// Frees a guardian's stack once it is known to be gone.
void free_guardian_stack(void* stack);

#endif  // ZELK_PLATFORM_GUARDIAN_POSIX_H_
