// Console output cut into lines as it arrives. A line ends at LF, CR LF or
// LF CR (UARTs send both orders), and at the end of the output once the
// simulator has ended: a CR just before an LF, or just after one, belongs to
// the line end, so an LF CR end leaves no empty line behind it. Any other CR
// is an ordinary byte of its line: progress output that rewrites a line with
// a lone CR stays one line, holding every rewrite, for the patterns, the
// test frameworks' reader and the report alike. Of each line only its first
// kLineWindow bytes, and one more for context, are kept: memory stays the
// same whatever the line's length.
#ifndef ZELK_RUN_CONTROL_LINE_READER_H_
#define ZELK_RUN_CONTROL_LINE_READER_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// How much of a line a pattern sees.
constexpr size_t kLineWindow = 4096;
// The raw bytes of a line kept to show that window: one more for context,
// and a CR that may stand before it.
constexpr size_t kLineKept = kLineWindow + 2;

// A line of console output as a pattern sees it: its first kLineWindow
// bytes, without the CRs of its ends. |context| holds those bytes and, for
// a longer line, the byte after them: such a line goes on past what is seen.
struct LineView {
  std::string_view context;
  size_t size = 0;   // the bytes a match may use, from context's start
  size_t start = 0;  // where context starts among the line's raw bytes
  bool cut() const { return context.size() > size; }
};

// The view of a line whose raw bytes, from just after the LF before it,
// are the |len| at |line|, no LF among them. A CR at the end of a line that
// has no end yet may be the start of its end, so it is left out there too.
LineView line_view(const char* line, size_t len);

// The current line of a stream, carried from one piece to the next.
class LineWindow {
 public:
  // Takes the next bytes of the line, none of them LF.
  void add(const char* data, size_t len);
  void clear() {
    kept_.clear();
    length_ = 0;
  }
  const std::string& kept() const { return kept_; }
  uint64_t length() const { return length_; }  // past the window too
  bool full() const { return kept_.size() >= kLineKept; }

 private:
  std::string kept_;
  uint64_t length_ = 0;
};

// The last LF among the |len| bytes at |data|, or null.
const char* last_line_end(const char* data, size_t len);

// How often a byte turns up in console output, roughly, from 0 (control
// bytes) to 7 (blanks and line ends): searches look for their rarest byte.
int byte_commonness(unsigned char c);

#endif  // ZELK_RUN_CONTROL_LINE_READER_H_
