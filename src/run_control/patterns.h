// Patterns looked for in the console output: RE2 syntax, matched within
// one line (see line_reader.h), in time linear in the output whatever the
// pattern. Each is compiled once, when the words are read.
#ifndef ZELK_RUN_CONTROL_PATTERNS_H_
#define ZELK_RUN_CONTROL_PATTERNS_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "run_control/line_reader.h"

namespace re2 {
class RE2;
}

class Pattern {
 public:
  // The compiled |text|, or null with RE2's reason in |error|; an empty
  // pattern is refused too.
  static std::shared_ptr<const Pattern> compile(const std::string& text, std::string* error);
  ~Pattern();

  // How far into |line| a match that starts at or after its byte |from|
  // holds whatever may follow: the fewest of the line's bytes after which
  // every continuation (a word byte, any other byte, or the line's end)
  // leaves one. kAtLineEnd where only the line's end does (|ended|: the
  // line has ended), kNoMatch where nothing does yet. So "$", "\b" and
  // "\B" never hold at the end of a line that is still growing, while
  // "login: " holds as soon as its bytes are there. |scratch| is room to
  // work in.
  size_t decide(const LineView& line, size_t from, bool ended, std::string* scratch) const;
  static constexpr size_t kNoMatch = static_cast<size_t>(-1);
  static constexpr size_t kAtLineEnd = kNoMatch - 1;

  const std::string& text() const { return text_; }
  // Lower case ASCII literals one of which every match holds, whatever the
  // case it is written in; empty when any line may hold a match.
  const std::vector<std::string>& literals() const { return literals_; }

 private:
  Pattern() = default;
  std::string text_;
  // A match and one byte after it: matched against the line so far and a
  // continuation, it tells whether a match ends within the line so far
  // and stays one whatever that byte is.
  bool holds_after(std::string* line, size_t size, size_t from) const;
  std::unique_ptr<re2::RE2> re_, then_any_;
  std::vector<std::string> literals_;
};

// Finds the lines that may hold one of some literals (lower case ASCII,
// found in either case), each literal by its byte rarest in the output:
// memchr passes over the rest many bytes at a time.
class LiteralFilter {
 public:
  // No literals: every line may hold a match.
  explicit LiteralFilter(std::vector<std::string> literals = {});
  bool every_line() const { return every_line_; }
  // Learns which bytes are rare in this output from a first piece of some
  // size.
  void tune(const char* data, size_t len);
  static constexpr size_t kTuningBytes = 4096;
  // A new piece is read: what was found in the last one is forgotten.
  void new_piece();
  // Where a line that may hold one starts within [begin, end), which
  // starts at a line's start; null if none does. Calls in one piece go
  // forward.
  const char* next_line(const char* begin, const char* end);
  bool may_hold(const char* begin, const char* end);

 private:
  // A byte that stands in some literals, and where.
  struct Trigger {
    unsigned char byte;
    std::vector<std::pair<size_t, size_t>> literals;  // which of literals_, at which byte
    const char* next = nullptr;  // its next hit in the piece being read
  };
  const char* hit(Trigger* t, const char* from, const char* begin, const char* end) const;
  // Picks the byte each literal is found by: the one the output holds
  // least, by the |counts| of its bytes so far, or by their likelihood in
  // console output when null.
  void choose(const size_t* counts);

  std::vector<std::string> literals_;
  bool every_line_ = true;
  bool tuned_ = false;
  std::vector<Trigger> triggers_;
};

// A line's literals, as Pattern::literals() gives them, of an RE2 pattern
// compiled with |latin1| or UTF-8: empty when a match may hold none.
std::vector<std::string> pattern_literals(const std::string& pattern, bool latin1);

// A stream's search for the first match of any of some patterns. Only
// lines holding one of their literals are matched; a line with no end yet
// is matched again as it grows, as far as the window reaches, and counts
// only where nothing that follows could undo its match. The byte a match
// is found at is where it first holds that way, or its line's end: a
// function of the bytes alone, however the pieces cut them.
class PatternSearch {
 public:
  // |line| is the stream's current line so far; matches start at or after
  // its byte |from|: what came before is not looked at again.
  PatternSearch(std::vector<const Pattern*> patterns, const LineWindow& line, uint64_t from);
  ~PatternSearch();
  PatternSearch(const PatternSearch&) = delete;
  PatternSearch& operator=(const PatternSearch&) = delete;

  // Looks in the next |len| bytes of the stream. Returns how many of them
  // were taken up to the byte the first match is found at, or kNotFound. A
  // search that found its match is over.
  size_t find_in(const char* data, size_t len);
  // The output ended: its last line, if it has no end, has ended with it.
  // Returns 0 when a match is found there, else kNotFound.
  size_t end_of_output();
  static constexpr size_t kNotFound = static_cast<size_t>(-1);
  // The size of a first piece that shows which bytes the output holds.
  static constexpr size_t kTuningBytes = LiteralFilter::kTuningBytes;
  // Which of the patterns matched first, by where it ends.
  size_t matched() const { return matched_; }

 private:
  // The earliest byte of |line| a match is found at (Pattern::decide).
  size_t match(const LineView& line, bool ended);
  // How many bytes of the piece, whose first byte is the |before|th of the
  // raw line |line|, were taken up to where |found| says.
  static size_t taken(const LineView& line, size_t found, uint64_t before, size_t line_end);

  std::vector<const Pattern*> patterns_;
  // Several patterns, compiled together once: one pass over a line tells
  // which of them match it.
  struct Together;
  std::unique_ptr<Together> together_;
  LiteralFilter filter_;
  LineWindow line_;
  uint64_t from_ = 0;
  size_t seen_ = 0;  // bytes of the line's window matched already
  size_t matched_ = 0;
  std::string scratch_;
};

#endif  // ZELK_RUN_CONTROL_PATTERNS_H_
