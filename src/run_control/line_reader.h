// Console output cut into lines as it arrives. A line ends at LF, and a CR
// just before the LF is no part of it. Of each line only its first
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

// A line of console output as a pattern sees it: its first kLineWindow
// bytes, without the CR of a CR LF end. |context| holds those bytes and, for
// a longer line, the byte after them, so that "$" and "\b" at the window's
// end see that the line goes on.
struct LineView {
  std::string_view context;
  size_t size = 0;  // the bytes a match may use, from context's start
};

// The view of a line of |len| bytes, its LF not among them. A CR at the
// end of a line that has no end yet may be the start of its end, so it is
// left out there too.
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
  bool full() const { return kept_.size() > kLineWindow; }

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
