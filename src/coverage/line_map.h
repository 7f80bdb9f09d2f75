// Which source line each address of a program belongs to, and its
// functions, read from the program's ELF: the line table of its debug
// information (.debug_line, DWARF 2 to 5) and the functions of its symbol
// table. Then, as the run's translated code is told, which lines and
// functions it reached.
#ifndef ZELK_COVERAGE_LINE_MAP_H_
#define ZELK_COVERAGE_LINE_MAP_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct SourceLine {
  uint32_t file = 0;  // index into LineMap::files
  uint32_t line = 0;
  bool reached = false;
};

struct Function {
  std::string name;
  uint64_t entry = 0;
  uint32_t source_line = 0;  // index into LineMap::lines: the entry's line
  bool reached = false;
};

// A stretch of code of one source line.
struct CodeRange {
  uint64_t lo = 0, hi = 0;
  uint32_t source_line = 0;
};

struct LineMap {
  std::vector<std::string> files;   // sorted
  std::vector<SourceLine> lines;    // sorted by file, then line
  std::vector<CodeRange> ranges;    // sorted by address, none overlapping
  std::vector<Function> functions;  // sorted by entry, then name

  // Takes [lo, hi) as translated: every line with code in it, and every
  // function whose entry lies in it, is reached.
  void mark(uint64_t lo, uint64_t hi);
};

enum class LineMapResult { kOk, kNotElf, kMalformed, kNoLineInformation };

// Reads the |size| bytes of an ELF at |elf|. Paths are those the debug
// information gives (compilation folder, directory and name); those that
// start with |strip_prefix| lose it, and the separator after it. kOk only
// with at least one line of code; |problem| then stays empty, else it says
// what was wrong in a few words.
LineMapResult read_line_map(const uint8_t* elf, size_t size, const std::string& strip_prefix,
                            LineMap* map, std::string* problem);

#endif  // ZELK_COVERAGE_LINE_MAP_H_
