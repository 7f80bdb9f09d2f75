// Reads a test framework's console output, line by line as it arrives,
// into the cases it ran and the summary it printed. Each framework is a
// table of line patterns (case_formats.cpp); one reader serves them all.
// Bytes in, cases out: no clock, no file, no process.
#ifndef ZELK_RUN_CONTROL_CASES_H_
#define ZELK_RUN_CONTROL_CASES_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class LiteralFilter;

enum class CaseOutcome { kPassed, kFailed, kSkipped };

// What one kind of line tells.
enum class LineKind {
  kSuite,       // the suite of the cases that follow
  kStart,       // a case starts
  kPlace,       // where a case failed (or was skipped); text after it explains
  kEnd,         // a case ended
  kNote,        // text explaining the case that failed last
  kCounts,      // the summary's counts (added up over several lines)
  kPlan,        // the number of cases to come; their last is the summary
  kSummaryEnd,  // the summary's last line: the run is over
  kBail,        // the run gave up
};

// One row of a format's table. The pattern's named groups, each optional:
// suite, name, file, line, message, ms or seconds; for counts tests,
// ran (passed and failed), passed, failures, skipped.
struct LineRow {
  LineKind kind;
  // kEnd and kSummaryEnd: what it says. kPlace: kFailed marks the case
  // failed, kSkipped only explains. A kEnd with kPassed passes the case
  // unless a failure was placed in it.
  CaseOutcome outcome;
  const char* pattern;
};

// The most keys a format has.
constexpr size_t kMostKeys = 8;

struct CaseFormatTable {
  const char* name;
  // Bytes one of which is in every line that any row matches (colour codes
  // aside): output with none of them is passed over without being matched.
  const char* keys;
  std::vector<LineRow> rows;
  // Lines no row matches, after a kPlace, explain the case.
  bool unmatched_lines_explain = false;
  // kNote lines come after the failed result they explain.
  bool notes_follow_result = false;
};

// A table with its patterns compiled.
class CaseFormat {
 public:
  // False, with |*problem| set, when a pattern does not compile.
  bool compile(const CaseFormatTable& table, std::string* problem);
  CaseFormat();
  ~CaseFormat();
  const CaseFormatTable& table() const { return *table_; }

 private:
  friend class CaseReader;
  struct Compiled;  // the patterns, one by one and as one set
  const CaseFormatTable* table_ = nullptr;
  std::unique_ptr<Compiled> compiled_;
};

// The format named |word|, compiled on first use; nullptr for none.
const CaseFormat* find_case_format(const std::string& word);
// The names, as the usage and messages list them: "unity, gtest, ...".
std::string case_format_names();

struct CaseResult {
  std::string suite, name, file, message;
  uint64_t line = 0;
  CaseOutcome outcome = CaseOutcome::kPassed;
  double seconds = 0;
};

struct CaseCounts {
  uint64_t passed = 0, failed = 0, skipped = 0;
  uint64_t total() const { return passed + failed + skipped; }
};

// What the summary says; a count the framework does not print stays empty.
struct CaseSummary {
  bool seen = false;
  bool failed = false;  // it says the run failed
  std::string bail;     // the reason the run gave up, if it did
  std::optional<uint64_t> tests, ran, passed, failures, skipped;
};

// The longest piece of a line that is matched; the rest of a longer line
// is passed over.
constexpr size_t kCaseLineBytes = 4096;
// The most of a case's explanation that is kept.
constexpr size_t kCaseMessageBytes = 2048;

// Where the reader stands in the framework's output. Each state takes some
// kinds of line (kCaseStateTakes in cases.cpp); in the others, a line that
// looks like one is text: a message while a case is explaining itself,
// else nothing.
enum class CaseState {
  kBetween,     // no case open
  kInCase,      // a case started and has not ended
  kExplaining,  // the open case was failed (or skipped) at a place: the
                // lines that follow are its message until its end
  kHeld,        // a case ended failed; the notes after it explain it
  kOver,        // the summary or a bail out: the run is over, nothing more is read
};

class CaseReader {
 public:
  explicit CaseReader(const CaseFormat& format);
  ~CaseReader();

  // Reads the next piece of output, which arrived |now| seconds after the
  // run's start. Returns how many of its bytes were read up to the end of
  // the line that ended the run (the summary's), or kNotOver; once the run
  // is over, what follows is not read.
  size_t feed(const char* data, size_t len, double now);
  static constexpr size_t kNotOver = static_cast<size_t>(-1);
  // The output ended with the simulator: a last line without its end is
  // read, unless stop() came first. Finishes a failed case awaiting notes.
  void end_of_output(double now);
  // The run was decided at the last byte fed: nothing after it is read,
  // not even the line it is in.
  void stop() { stopped_ = true; }

  // Cases finished since the caller last emptied the list.
  std::vector<CaseResult>* finished() { return &finished_; }
  const CaseCounts& counts() const { return counts_; }
  const CaseSummary& summary() const { return summary_; }
  // The run is over by the framework's word.
  bool summary_seen() const { return state_ == CaseState::kOver; }
  CaseState state() const { return state_; }
  // Why the summary disagrees with the cases seen; empty when it agrees.
  std::string disagreement() const;
  const std::string& last_finished() const { return last_finished_; }
  // The case that started and has not ended, where the format shows one.
  std::string running() const { return running_ ? running_->name : ""; }

 private:
  // The line whose raw bytes, from just after the LF before it, are the
  // |len| at |data|.
  void read_raw_line(const char* data, size_t len, double now);
  void read_line(const char* data, size_t len, double now);
  const char* next_key(const char* from, const char* end);
  bool takes(LineKind kind) const;
  // The filter for the lines the state may take, or null for the keys.
  LiteralFilter* filter();
  void apply(size_t row, const char* line, size_t len, double now);
  void explain(std::string_view text);
  void finish_running(double now);
  void release_held();
  void over();

  const CaseFormat& format_;
  CaseState state_ = CaseState::kBetween;
  bool stopped_ = false;
  std::string partial_;  // the line still growing, up to kCaseLineBytes
  std::string clean_;    // a line without its colour codes
  std::vector<int> matched_;
  const char* key_at_[kMostKeys] = {};  // where each key is next in the piece read
  std::unique_ptr<LiteralFilter> between_, any_;
  std::string suite_;
  std::optional<CaseResult> running_;
  double running_since_ = 0;
  std::optional<CaseResult> held_;  // failed, awaiting the notes after it
  double last_end_ = 0;
  std::optional<uint64_t> plan_;
  std::vector<CaseResult> finished_;
  CaseCounts counts_;
  CaseSummary summary_;
  std::string last_finished_;
};

#endif  // ZELK_RUN_CONTROL_CASES_H_
