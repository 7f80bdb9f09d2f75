// The simulator's translation log, as bytes of any kind.
//
// Properties beyond the sanitizers' own:
// - however the log is cut (whole, a byte at a time, in uneven pieces),
//   the same stretches come out, in the same order;
// - every stretch is non-empty and does not wrap.
#include <cstdint>
#include <cstdlib>
#include <utility>
#include <vector>

#include "coverage/log_reader.h"

namespace {

using Stretches = std::vector<std::pair<uint64_t, uint64_t>>;

Stretches read(const uint8_t* data, size_t size, size_t first_piece) {
  Stretches got;
  TranslationLogReader reader([&](uint64_t lo, uint64_t hi) {
    if (hi <= lo) abort();
    got.emplace_back(lo, hi);
  });
  const char* text = reinterpret_cast<const char*>(data);
  size_t piece = first_piece;
  for (size_t at = 0; at < size;) {
    const size_t n = std::min(piece, size - at);
    reader.feed(text + at, n);
    at += n;
    piece = piece * 7 % 13 + 1;
  }
  reader.finish();
  return got;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Stretches whole = read(data, size, size + 1);
  if (read(data, size, 1) != whole) abort();
  if (read(data, size, 5) != whole) abort();
  return 0;
}
