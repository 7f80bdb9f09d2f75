// coverage_bench: the launcher's coverage work on one ELF, timed in its
// steps: the line map read from the ELF, a translation log that reached
// every instruction (QEMU's raw-bytes form, a block every 64 bytes) read
// into it, and the lcov tracefile written. Prints milliseconds per step
// and the map's size.
//
//   coverage_bench FILE.elf
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "coverage/line_map.h"
#include "coverage/log_reader.h"
#include "coverage/reports.h"

namespace {

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: coverage_bench FILE.elf\n");
    return 2;
  }
  FILE* f = fopen(argv[1], "rb");
  if (!f) return perror(argv[1]), 1;
  std::vector<uint8_t> elf;
  uint8_t piece[1 << 16];
  for (size_t n; (n = fread(piece, 1, sizeof piece, f)) > 0;) elf.insert(elf.end(), piece, piece + n);
  fclose(f);

  Clock::time_point start = Clock::now();
  LineMap map;
  std::string problem;
  if (read_line_map(elf.data(), elf.size(), "", &map, &problem) != LineMapResult::kOk) {
    fprintf(stderr, "%s: %s\n", argv[1], problem.c_str());
    return 1;
  }
  const double map_ms = ms_since(start);

  std::string log;
  const uint64_t lo = map.ranges.front().lo, hi = map.ranges.back().hi;
  char line[64];
  for (uint64_t a = lo; a < hi; a += 64) {
    snprintf(line, sizeof line, "----------------\nIN: \n0x%08llx:  \n", static_cast<unsigned long long>(a));
    log += line;
    log += "OBJD-T: " + std::string(64, '0') + "\nOBJD-T: " + std::string(64, '0') + "\n\n";
  }
  start = Clock::now();
  TranslationLogReader reader([&](uint64_t l, uint64_t h) { map.mark(l, h); });
  reader.feed(log.data(), log.size());
  reader.finish();
  const double log_ms = ms_since(start);

  start = Clock::now();
  const std::string tracefile = lcov_tracefile(map, "");
  const double lcov_ms = ms_since(start);
  printf("elf %.1f MiB: %zu files, %zu lines, %zu ranges, %zu functions\n", elf.size() / 1048576.0,
         map.files.size(), map.lines.size(), map.ranges.size(), map.functions.size());
  printf("line map %.1f ms; log of %.1f MiB %.1f ms; lcov %.1f ms (%.1f MiB); %s\n", map_ms,
         log.size() / 1048576.0, log_ms, lcov_ms, tracefile.size() / 1048576.0, coverage_summary(map).c_str());
  return 0;
}
