#include "coverage/log_reader.h"

#include <cstring>

namespace {

// A log line that matters is short; of a longer one (a symbol's name gone
// wild) only this much is kept, so memory stays the same whatever it holds.
constexpr size_t kKeptLineBytes = 512;

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool starts_with(const std::string& s, const char* prefix) {
  return s.compare(0, strlen(prefix), prefix) == 0;
}

// "0xADDR:" at the start of |line|, up to 16 hex digits.
bool address_line(const std::string& line, uint64_t* addr) {
  if (line.size() < 4 || line[0] != '0' || (line[1] != 'x' && line[1] != 'X')) return false;
  uint64_t value = 0;
  size_t i = 2;
  for (; i < line.size() && hex_value(line[i]) >= 0; ++i) {
    if (i - 2 == 16) return false;
    value = value << 4 | static_cast<uint64_t>(hex_value(line[i]));
  }
  if (i == 2 || i >= line.size() || line[i] != ':') return false;
  *addr = value;
  return true;
}

// A line of raw instruction bytes, "TAG: 0a0b0c...": the count of bytes, or
// -1 when the line is something else.
long raw_bytes_line(const std::string& line) {
  const size_t colon = line.find(": ");
  if (colon == std::string::npos || colon == 0 || colon > 16) return -1;
  for (size_t i = 0; i < colon; ++i) {
    const char c = line[i];
    if (!((c >= 'A' && c <= 'Z') || c == '-')) return -1;
  }
  size_t digits = 0;
  for (size_t i = colon + 2; i < line.size(); ++i) {
    if (hex_value(line[i]) < 0) return -1;
    ++digits;
  }
  if (digits == 0 || digits % 2 != 0) return -1;
  return static_cast<long>(digits / 2);
}

}  // namespace

void TranslationLogReader::feed(const char* data, size_t len) {
  while (len > 0) {
    const char* end = static_cast<const char*>(memchr(data, '\n', len));
    const size_t piece = end ? static_cast<size_t>(end - data) : len;
    if (line_.size() < kKeptLineBytes)
      line_.append(data, std::min(piece, kKeptLineBytes - line_.size()));
    if (!end) return;
    take_line();
    line_.clear();
    data += piece + 1;
    len -= piece + 1;
  }
}

void TranslationLogReader::finish() {
  if (!line_.empty()) take_line();
  line_.clear();
  flush_instruction();
  in_block_ = false;
}

void TranslationLogReader::flush_instruction() {
  if (!have_instruction_) return;
  have_instruction_ = false;
  // An instruction is known by its first byte where its length is not.
  uint64_t length = raw_bytes_ > 0 ? raw_bytes_ : 1;
  if (length > UINT64_MAX - instruction_) length = UINT64_MAX - instruction_;
  if (length > 0) sink_(instruction_, instruction_ + length);
  raw_bytes_ = 0;
}

void TranslationLogReader::take_line() {
  if (!line_.empty() && line_.back() == '\r') line_.pop_back();
  if (starts_with(line_, "IN:")) {
    flush_instruction();
    in_block_ = true;
    return;
  }
  if (!in_block_) return;
  uint64_t addr = 0;
  if (address_line(line_, &addr)) {
    flush_instruction();
    have_instruction_ = true;
    instruction_ = addr;
    return;
  }
  const long raw = have_instruction_ ? raw_bytes_line(line_) : -1;
  if (raw > 0) {
    raw_bytes_ += static_cast<uint64_t>(raw);
    return;
  }
  // An empty line, the next block's rule or anything else ends the block.
  flush_instruction();
  in_block_ = false;
}
