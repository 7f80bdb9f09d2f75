#include "run_control/line_reader.h"

#include <algorithm>
#include <cstring>

LineView line_view(const char* line, size_t len) {
  LineView v;
  if (len > 0 && line[0] == '\r') {
    v.start = 1;
    ++line;
    --len;
  }
  if (len > kLineWindow) {
    v.context = std::string_view(line, kLineWindow + 1);
    v.size = kLineWindow;
    return v;
  }
  v.size = len > 0 && line[len - 1] == '\r' ? len - 1 : len;
  v.context = std::string_view(line, v.size);
  return v;
}

void LineWindow::add(const char* data, size_t len) {
  const size_t room = kLineKept - std::min(kept_.size(), kLineKept);
  kept_.append(data, std::min(len, room));
  length_ += len;
}

const char* last_line_end(const char* data, size_t len) {
  for (size_t i = len; i > 0; --i)
    if (data[i - 1] == '\n') return data + i - 1;
  return nullptr;
}

int byte_commonness(unsigned char c) {
  if (c == ' ' || c == '\n' || c == '\r' || c == '\t') return 7;
  if (c >= 'a' && c <= 'z') return strchr("jkqvxz", c) ? 5 : 6;
  if (c && strchr(".,:;-=/()'\"!?", c)) return 5;
  if (c >= '0' && c <= '9') return 4;
  if (c >= 'A' && c <= 'Z') return 3;
  if (c > 0x20 && c < 0x7F) return 2;
  return c >= 0x80 ? 1 : 0;
}
