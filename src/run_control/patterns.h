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

  // Where the first match in |line| that starts at or after |from| ends,
  // or kNoMatch.
  size_t match_end(const LineView& line, size_t from) const;
  static constexpr size_t kNoMatch = static_cast<size_t>(-1);

  const std::string& text() const { return text_; }
  // Lower case ASCII literals one of which every match holds, whatever the
  // case it is written in; empty when any line may hold a match.
  const std::vector<std::string>& literals() const { return literals_; }

 private:
  Pattern() = default;
  std::string text_;
  std::unique_ptr<re2::RE2> re_;
  std::vector<std::string> literals_;
};

// A stream's search for the first match of any of some patterns. Only
// lines holding one of their literals are matched; a line with no end yet
// is matched again as it grows, as far as the window reaches.
class PatternSearch {
 public:
  // |line| is the stream's current line so far; matches start at or after
  // its byte |from|: what came before is not looked at again.
  PatternSearch(std::vector<const Pattern*> patterns, const LineWindow& line, uint64_t from);

  // Looks in the next |len| bytes of the stream. Returns how many of them
  // were taken up to the end of the first match, or kNotFound. A search
  // that found its match is over.
  size_t find_in(const char* data, size_t len);
  static constexpr size_t kNotFound = static_cast<size_t>(-1);
  // Which of the patterns matched first, by where it ends.
  size_t matched() const { return matched_; }

 private:
  // A byte that stands in some literals, and where.
  struct Trigger {
    unsigned char byte;
    std::vector<std::pair<const std::string*, size_t>> literals;
    const char* next = nullptr;  // its next hit in the piece being read
  };
  // Where a line that may hold a match starts within [begin, end), which
  // starts at a line's start; null if none does.
  const char* next_candidate(const char* begin, const char* end);
  const char* hit(Trigger* t, const char* from, const char* begin, const char* end) const;
  bool may_match(const char* begin, const char* end);
  // The earliest match end in |line| from its byte |from|, or kNoMatch.
  size_t match(const LineView& line, uint64_t from);

  std::vector<const Pattern*> patterns_;
  std::vector<Trigger> triggers_;  // empty: every line is matched
  LineWindow line_;
  uint64_t from_ = 0;
  size_t seen_ = 0;  // bytes of the line's window matched already
  size_t matched_ = 0;
};

#endif  // ZELK_RUN_CONTROL_PATTERNS_H_
