// The processes of a bound command, found and ended, and the guardian that
// ends them when the launcher cannot. Everything here keeps to plain system
// calls on the caller's stack: the guardian runs it in memory it shares
// with a process that may have died anywhere, with its heap's lock held.
#ifndef ZELK_PLATFORM_GUARDIAN_POSIX_H_
#define ZELK_PLATFORM_GUARDIAN_POSIX_H_

#include <sys/types.h>
#include <termios.h>

// A run's processes are found in /proc alone, from what any process may
// read there whatever the credentials of the one it reads (a simulator
// with file capabilities, setuid or not dumpable has its descriptors
// hidden, not its parent):
// - the descendants of |adopter|, but |skip|: the launcher adopts the
//   run's orphans (PR_SET_CHILD_SUBREAPER), so while it lives every
//   process of the run stays below it, whatever it did;
// - the descendants of |interpreter|, while it runs;
// - where no adopter is known (the launcher has gone), the holders of the
//   run's pipe, which the interpreter inherits and passes on, by the link
//   text of their descriptors ("pipe:[INO]"), never followed into a file
//   system.
struct RunToken {
  ino_t pipe = 0;
  pid_t adopter = 0;
  pid_t interpreter = 0;
  pid_t skip = 0;
};

// What the guardian needs to know of a run: the token, where the launcher
// had the terminal its settings to put back, and the name that begins a
// line it says.
struct GuardOrder {
  RunToken token;
  int has_termios = 0;
  struct termios termios;
  char name[32] = {};
};

// The guardian's orders, one byte each; kOrder is followed by a GuardOrder.
// The pipe's end without kDone (the launcher ended without saying it was
// done) ends the run.
constexpr char kOrder = 'o';
constexpr char kDone = 'd';
// The run is not over (some process could not be ended or seen): hold the
// chip until the run's pipe has no holder left.
constexpr char kHold = 'h';
// Take the SIGINT pending on the guardian, which tells a Ctrl-C sent to
// the whole process group from one sent to the launcher alone.
constexpr char kTakeInterrupt = 'i';

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

// Sends |sig| to every process of |token|'s run, but those of the process
// group |reached| (0: none), which had it already.
void signal_run(const RunToken& token, int sig, pid_t reached);

// Where the run is not over (a process of it is seen, or |gone|, the
// writing end of its pipe, has a reader left), says what is left in one
// line on standard error, begun with |name|, and returns true.
bool say_what_is_left(const RunToken& token, int gone, const char* name);

// True when |pid| has |sig| pending.
bool has_pending(pid_t pid, int sig);

// Starts the guardian, which reads its orders from |order_pipe[0]|. When
// the pipe ends without kDone, it ends the run, puts the terminal's
// settings back and holds the chip (the lock among what it inherited)
// until the run's pipe, whose writing end |pipe_end| it keeps, has no
// holder left. It blocks every signal it can: only SIGKILL ends it early.
// It closes |order_pipe[1]| and |close_also| (or -1). Returns its pid or
// -1; |*stack| is the memory to free once it is gone, or nullptr.
pid_t start_guardian(const int order_pipe[2], int pipe_end, int close_also, void** stack);

// Frees a guardian's stack once it is known to be gone.
void free_guardian_stack(void* stack);

#endif  // ZELK_PLATFORM_GUARDIAN_POSIX_H_
