// What the launcher's run-control words ask of a run, and how a run that
// ended is judged: its exit status and the one line that says why.
#ifndef ZELK_RUN_CONTROL_VERDICT_H_
#define ZELK_RUN_CONTROL_VERDICT_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class CaseReader;
struct CaseCounts;
class Pattern;

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
  // By index, the compiled pattern where an |expect| or |fail| entry is
  // one (--expect-re, --fail-re), kept as the user wrote it; null or
  // missing for a plain text.
  std::vector<std::shared_ptr<const Pattern>> expect_pattern, fail_pattern;
  std::optional<uint64_t> timeout_ms;
  std::string timeout_text;  // as the user wrote it, for the messages
  // The simulator's own exit status decides when it ends by itself.
  bool use_status = false;
  // The test framework whose results the output holds (--cases), or "".
  std::string cases;
};

// Exit statuses of a watched run besides 0, 1 and the simulator's own.
// A bad value, or a setup that keeps the firmware from being tested: the
// launch is refused, and no verdict on the firmware is given.
constexpr int kStatusUsage = 2;
constexpr int kStatusTimedOut = 124;  // as GNU timeout
constexpr int kStatusInterrupted = 130;

// How a watched run came to its end.
struct RunEnd {
  // kSummarySeen: the framework's summary, and every expect if any.
  enum class Cause {
    kExpectSeen, kFailSeen, kEndedByItself, kTimedOut, kInterrupted, kSendFailed, kSummarySeen
  };
  Cause cause = Cause::kEndedByItself;
  size_t fail_index = 0;     // kFailSeen: which --fail text
  size_t expects_seen = 0;   // how many --expect texts were seen, in order
  size_t sends_written = 0;  // how many sends were written
  std::string send_error;    // kSendFailed: the system's reason
  int simulator_status = 0;  // kEndedByItself: its exit status, 128 + signal if killed
  double seconds = 0;        // from the simulator's start
  const CaseReader* cases = nullptr;  // with --cases: what the output held
};

struct Verdict {
  int status = 0;
  bool passed = false;
  std::string reason;  // "\"PASS\" seen after 1.8 s", without the program's name
  // The launch was refused before the firmware could be tested: a problem
  // of the setup, which a report gives as an error, never a failure.
  bool setup_problem = false;
};

// With --cases the run passes only when the framework's summary was seen,
// agrees with the cases seen and none of them failed; a run that ended
// before its summary says where it stood.
Verdict judge_run(const RunControl& control, const RunEnd& end);

// "12 cases: 10 passed, 1 failed, 1 skipped".
std::string case_counts_text(const CaseCounts& counts);

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
