// A command line run through the platform's command interpreter, bound to
// this process. One implementation file per platform.
#ifndef ZELK_PLATFORM_BOUND_COMMAND_H_
#define ZELK_PLATFORM_BOUND_COMMAND_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/platform.h"

// Runs a line with the words system() would use (POSIX: /bin/sh -c LINE;
// Windows: %COMSPEC% /c LINE). The interpreter and everything it starts are
// bound to this process: when this process ends, however it ends, they end
// too. They share this process's console as a program run alone would: its
// terminal, its job, its signals.
class BoundCommand {
 public:
  enum class Event {
    kOutput,       // bytes of its standard output, with capture
    kSent,         // the last byte of the send in flight has been written
    kSendFailed,   // the send in flight cannot be written: the command
                   // closed its input (errno says why)
    kEnded,        // the interpreter has ended and its output has been read
    kInterrupt,    // Ctrl-C, at the console or sent to this process
    kStopRequest,  // this process is asked to end (SIGTERM, SIGHUP, the
                   // console closing)
    kTimedOut,
  };

  struct Options {
    // Its standard output comes to wait() instead of this process's.
    bool capture = false;
    // Its standard input is a pipe that send() writes, open until end().
    bool input = false;
    // A lock the command holds as well: free only once this process and
    // every process of the command have ended, however they end.
    const FileLock* shared_lock = nullptr;
  };

  BoundCommand();
  ~BoundCommand();  // ends whatever still runs
  BoundCommand(const BoundCommand&) = delete;
  BoundCommand& operator=(const BoundCommand&) = delete;

  // Starts |line|. False when the interpreter cannot be started; problem()
  // then says why.
  bool start(const std::string& line, const Options& options);

  // Waits up to |timeout_ms| (negative: no limit) for what comes next,
  // writing the send in flight as the command takes it. With kOutput, up
  // to |cap| bytes were read into |buf|, their count in |*got|.
  Event wait(int64_t timeout_ms, char* buf, size_t cap, size_t* got);

  // As wait(), but reads no output and never says kEnded: for while the
  // output has nowhere to go, and for after end(), where only a signal or
  // the time can end the wait.
  Event wait_without_output(int64_t timeout_ms);

  // Starts sending |len| bytes to the command's input. wait() writes them
  // as the command takes them, never waiting for it, and says kSent once
  // the last is written, or kSendFailed. One send at a time; false, errno
  // set, when the input is closed already.
  bool send(const char* data, size_t len);

  // Passes Ctrl-C on to the command, where it has not reached it already
  // (Ctrl-C typed at a terminal reaches every program of the job).
  void interrupt();

  // Ends the interpreter and everything it started, asking first and then
  // forcing, and returns once all of them are gone.
  void end();

  // Once the command has ended after a kStopRequest: ends this process as
  // the request would have ended it had it not been caught.
  [[noreturn]] static void obey_stop_request();

  // The interpreter's exit status once it has ended by itself: its exit
  // code, or 128 + the signal that killed it.
  int status() const;

  // Why start() failed, or what the platform could not do for the binding
  // though the command runs (empty when nothing): one line for the user.
  const std::string& problem() const;

 private:
  struct State;
  std::unique_ptr<State> s_;
};

#endif  // ZELK_PLATFORM_BOUND_COMMAND_H_
