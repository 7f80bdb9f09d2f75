// What the launcher's run-control words ask of a run, and how a run that
// ended is judged: its exit status and the one line that says why.
#ifndef ZELK_RUN_CONTROL_VERDICT_H_
#define ZELK_RUN_CONTROL_VERDICT_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Bytes written to the simulator's console input once the --expect texts
// before it on the line have been seen.
struct Send {
  std::string bytes;
  std::string text;  // as the messages name it
  size_t after_expects = 0;
};

struct RunControl {
  // Texts that must appear in the console output in this order.
  std::vector<std::string> expect;
  // In the order they are written.
  std::vector<Send> sends;
  // Texts any one of which fails the run.
  std::vector<std::string> fail;
  std::optional<uint64_t> timeout_ms;
  std::string timeout_text;  // as the user wrote it, for the messages
  // The simulator's own exit status decides when it ends by itself.
  bool use_status = false;
};

// Exit statuses of a watched run besides 0, 1 and the simulator's own.
constexpr int kStatusUsage = 2;
constexpr int kStatusTimedOut = 124;  // as GNU timeout
constexpr int kStatusInterrupted = 130;

// How a watched run came to its end.
struct RunEnd {
  enum class Cause { kExpectSeen, kFailSeen, kEndedByItself, kTimedOut, kInterrupted, kSendFailed };
  Cause cause = Cause::kEndedByItself;
  size_t fail_index = 0;     // kFailSeen: which --fail text
  size_t expects_seen = 0;   // how many --expect texts were seen, in order
  size_t sends_written = 0;  // how many sends were written
  std::string send_error;    // kSendFailed: the system's reason
  int simulator_status = 0;  // kEndedByItself: its exit status, 128 + signal if killed
  double seconds = 0;        // from the simulator's start
};

struct Verdict {
  int status = 0;
  bool passed = false;
  std::string reason;  // "\"PASS\" seen after 1.8 s", without the program's name
};

Verdict judge_run(const RunControl& control, const RunEnd& end);

// |seconds| as the messages give it: "1.8 s".
std::string seconds_text(double seconds);

// |text| between double quotes, with what would not print shown as an
// escape: \n, \r, \t, \\, \" and \xNN. Of a longer text, its first
// kQuotedBytes bytes, followed by ... and its length: a line quotes a
// text, never repeats a long one whole.
constexpr size_t kQuotedBytes = 60;
std::string quoted_text(const std::string& text);

// Reads the escapes \r, \n, \t, \\ and \xHH of |text| into |bytes|;
// false for any other backslash.
bool parse_escapes(const std::string& text, std::string* bytes);

// Parses a count of seconds: decimal digits with an optional fraction,
// more than 0; false for anything else. Rounded up to whole milliseconds.
bool parse_seconds(const std::string& text, uint64_t* ms);

#endif  // ZELK_RUN_CONTROL_VERDICT_H_
