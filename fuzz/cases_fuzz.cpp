// The console output, untrusted bytes, read by each test framework's table.
// The first byte chooses the format and the size of the pieces the rest
// arrives in.
//
// Properties beyond the sanitizers' own:
// - the cases finished are the cases counted, and each keeps its message
//   within the bound, however long the lines;
// - the pieces' size changes nothing but the launcher's own times: cut
//   anywhere, the output gives the same cases and the same summary.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "run_control/cases.h"

namespace {

std::string read_all(const CaseFormat& format, const uint8_t* data, size_t size, size_t piece) {
  CaseReader reader(format);
  uint64_t finished = 0;
  std::string seen;
  for (size_t at = 0; at < size; at += piece) {
    reader.feed(reinterpret_cast<const char*>(data) + at, std::min(piece, size - at), 0);
    for (const CaseResult& c : *reader.finished()) {
      FUZZ_CHECK(c.message.size() <= kCaseMessageBytes);
      seen += c.suite + "/" + c.name + "@" + c.file + ":" + std::to_string(c.line) + "=" +
              std::to_string(static_cast<int>(c.outcome)) + c.message + "\n";
    }
    finished += reader.finished()->size();
    reader.finished()->clear();
  }
  reader.end_of_output(0);
  for (const CaseResult& c : *reader.finished())
    seen += c.suite + "/" + c.name + "=" + std::to_string(static_cast<int>(c.outcome)) + "\n";
  finished += reader.finished()->size();
  FUZZ_CHECK(finished == reader.counts().total());
  return seen + (reader.summary_seen() ? "summary " + reader.disagreement() : "running " + reader.running());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const char* const kFormats[] = {"unity", "gtest", "cpputest", "tap", "ztest"};
  if (size < 1) return 0;
  const CaseFormat* format = find_case_format(kFormats[data[0] % 5]);
  FUZZ_CHECK(format != nullptr);
  const size_t piece = 1 + data[0] / 5;
  FUZZ_CHECK(read_all(*format, data + 1, size - 1, size) == read_all(*format, data + 1, size - 1, piece));
  return 0;
}
