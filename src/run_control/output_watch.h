// Watches the simulator's console output as it arrives, piece by piece,
// for the run-control texts and patterns, and keeps its tail for the report. Memory
// stays bounded whatever the output's length: a search keeps fewer bytes
// than its text, the tail a fixed amount.
#ifndef ZELK_RUN_CONTROL_OUTPUT_WATCH_H_
#define ZELK_RUN_CONTROL_OUTPUT_WATCH_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "run_control/cases.h"
#include "run_control/line_reader.h"
#include "run_control/patterns.h"
#include "run_control/verdict.h"

// One text looked for in a stream of pieces, also where it straddles two.
class StreamSearch {
 public:
  explicit StreamSearch(std::string text);
  // Looks in the next |len| bytes of the stream. Returns how many of them
  // were taken up to the end of the first match, or kNotFound.
  size_t find_in(const char* data, size_t len);
  static constexpr size_t kNotFound = static_cast<size_t>(-1);

 private:
  size_t search(const char* data, size_t len) const;

  size_t horspool(const char* data, size_t len, size_t from) const;

  std::string text_;
  // The text's byte least likely in console output, and where it stands:
  // memchr finds candidates for it faster than anything else.
  size_t rare_ = 0;
  size_t skip_[256];  // Horspool: how far a window may move on its last byte
  std::string carry_;  // the stream's last bytes, fewer than the text's
};

class OutputWatch {
 public:
  explicit OutputWatch(const RunControl& control);
  OutputWatch(const OutputWatch&) = delete;
  OutputWatch& operator=(const OutputWatch&) = delete;

  // Feeds the next piece of output, which came |now| seconds into the run.
  // Once the run is decided (every expect seen, and with --cases the
  // framework's summary; or a fail text seen) later pieces change nothing.
  // While a send is due, no expect text is looked for: the next is sought
  // only in output that comes after the send was written.
  void feed(const char* data, size_t len, double now = 0);
  // The simulator ended by itself and its output with it: a last line
  // without its end is a line.
  void end_of_output(double now = 0);
  // With --cases, the framework's results read so far; else nullptr.
  CaseReader* cases() { return cases_.get(); }

  // The send to write now, or nullptr; sent() once it is written.
  const Send* send_due() const;
  void sent();
  size_t sends_written() const { return sends_written_; }

  bool decided() const { return decided_; }
  // Valid once decided: which came first.
  RunEnd::Cause cause() const { return cause_; }
  size_t fail_index() const { return fail_index_; }
  size_t expects_seen() const { return expects_seen_; }

 private:
  // Starts the search for the next expect in a stream whose current line
  // is |line|: only what comes after is looked at.
  void start_expect(const LineWindow& line);
  size_t find_expect(const char* data, size_t len);
  // Judges the next piece, or with |last| the end of the output.
  void judge(const char* data, size_t len, double now, bool last);
  void decide(RunEnd::Cause cause);

  std::vector<std::string> expect_;
  std::vector<std::shared_ptr<const Pattern>> expect_pattern_;
  std::vector<Send> sends_;
  size_t sends_written_ = 0;
  std::vector<std::unique_ptr<StreamSearch>> fails_;  // null for a pattern
  std::unique_ptr<PatternSearch> fail_patterns_;
  std::vector<size_t> fail_pattern_index_;  // which fail each of its patterns is
  // The search for the next expect: its text's or its pattern's.
  std::unique_ptr<StreamSearch> next_expect_;
  std::unique_ptr<PatternSearch> next_expect_pattern_;
  bool has_patterns_ = false;
  LineWindow line_;  // the stream's current line, as of the last piece
  size_t expects_seen_ = 0;
  bool decided_ = false;
  bool ended_ = false;
  RunEnd::Cause cause_ = RunEnd::Cause::kEndedByItself;
  size_t fail_index_ = 0;
  std::unique_ptr<CaseReader> cases_;
};

// The last |capacity| bytes of a stream, copied into a ring of that size
// allocated once: its memory stays the same whatever the stream's length
// and however it is cut into pieces.
class OutputTail {
 public:
  explicit OutputTail(size_t capacity) : ring_(capacity) {}
  // Keeps the next |len| bytes of the stream; of a piece longer than the
  // ring, only its last bytes.
  void keep(const char* data, size_t len);
  // The kept bytes in the order they came.
  std::string text() const;

 private:
  std::vector<char> ring_;
  size_t next_ = 0;  // where the next byte goes
  size_t kept_ = 0;  // how many bytes the ring holds, up to its size
};

#endif  // ZELK_RUN_CONTROL_OUTPUT_WATCH_H_
