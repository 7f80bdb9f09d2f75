// An ELF's bytes, hostile debug sections and symbols among them, read into
// a line map.
//
// Properties beyond the sanitizers' own:
// - a map is consistent: its ranges sorted, non-empty and disjoint, each
//   naming a line that exists; its lines sorted and each naming a file; its
//   functions' lines existing;
// - a refusal leaves an empty map and says why;
// - marking any stretch and writing the reports stays within the map.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "coverage/line_map.h"
#include "coverage/reports.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  LineMap map;
  std::string problem;
  const LineMapResult result = read_line_map(data, size, "/firmware", &map, &problem);
  if (result != LineMapResult::kOk) {
    if (problem.empty() || !map.lines.empty() || !map.ranges.empty()) abort();
    return 0;
  }
  if (map.lines.empty() || !problem.empty()) abort();
  for (size_t i = 0; i < map.ranges.size(); ++i) {
    const CodeRange& r = map.ranges[i];
    if (r.lo >= r.hi || r.source_line >= map.lines.size()) abort();
    if (i > 0 && map.ranges[i - 1].hi > r.lo) abort();
  }
  for (size_t i = 0; i < map.lines.size(); ++i) {
    if (map.lines[i].file >= map.files.size()) abort();
    if (i > 0 && map.lines[i - 1].file == map.lines[i].file && map.lines[i - 1].line >= map.lines[i].line)
      abort();
  }
  for (const Function& f : map.functions)
    if (f.source_line >= map.lines.size()) abort();
  map.mark(0, UINT64_MAX);
  for (const SourceLine& l : map.lines)
    if (!l.reached) abort();
  lcov_tracefile(map, "");
  cobertura_report(map, "fuzz", 0);
  coverage_summary(map);
  return 0;
}
