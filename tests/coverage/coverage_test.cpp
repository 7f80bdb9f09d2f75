#include <gtest/gtest.h>

#include <set>
#include <utility>

#include "coverage/line_map.h"
#include "coverage/log_reader.h"
#include "coverage/reports.h"
#include "test_util.h"

namespace {

using Stretches = std::vector<std::pair<uint64_t, uint64_t>>;

Stretches read_log(const std::string& log, size_t piece) {
  Stretches got;
  TranslationLogReader reader([&](uint64_t lo, uint64_t hi) { got.emplace_back(lo, hi); });
  for (size_t i = 0; i < log.size(); i += piece) reader.feed(log.data() + i, std::min(piece, log.size() - i));
  reader.finish();
  return got;
}

TEST(TranslationLogReaderTest, AddressesOfTranslatedCodeOnly) {
  const struct {
    std::string log;
    Stretches expected;
  } rows[] = {
      // Disassembled: each instruction known by its first byte.
      {"----------------\nIN: main\n0x08000114:  b580       push     {r7, lr}\n"
       "0x08000116:  af00       add      r7, sp, #0\n\n",
       {{0x08000114, 0x08000115}, {0x08000116, 0x08000117}}},
      // No disassembler: one address, then the block's bytes in hex.
      {"----------------\nIN: \n0x08000040:  \nOBJD-T: b580af00f7ffffd4\nOBJD-T: 4618\n\n",
       {{0x08000040, 0x0800004a}}},
      // Addresses outside a block are other logs' lines (-d int, cpu).
      {"Taking exception 3 [Prefetch Abort]\n0x08000200:  ffff\nIN: \n0x10:  x\n", {{0x10, 0x11}}},
      // A CR LF log, a last line without its end, a 64-bit address.
      {"IN: f\r\n0xffffffff00000000:  nop\r\n0x2:", {{0xffffffff00000000, 0xffffffff00000001}, {2, 3}}},
      // Broken forms count for nothing: too many digits, no colon, no digits.
      {"IN:\n0x12345678123456781:\n0x10 nop\n0x:\n", {}},
      // An odd count of digits is no instruction's bytes, and ends the block.
      {"IN:\n0x20:  \nOBJD-T: 010\n0x30:  \n", {{0x20, 0x21}}},
      // A line too long to keep is cut, and its address still read.
      {"IN: " + std::string(100000, 's') + "\n0x30:  nop\n", {{0x30, 0x31}}},
  };
  for (const auto& row : rows) {
    // However the pipe cuts the log, the same stretches come out.
    for (size_t piece : {size_t{1}, size_t{3}, size_t{1} << 20})
      EXPECT_EQ(read_log(row.log, piece), row.expected) << row.log.substr(0, 80) << " in pieces of " << piece;
  }
}

std::string fixture(const std::string& name) {
  return std::string(ZELK_FIXTURES) + "/elf/coverage/" + name;
}

LineMapResult map_of(const std::vector<uint8_t>& elf, LineMap* map, std::string* problem,
                     const std::string& strip = "") {
  return read_line_map(elf.data(), elf.size(), strip, map, problem);
}

std::set<uint32_t> reached_lines(const LineMap& map) {
  std::set<uint32_t> lines;
  for (const SourceLine& l : map.lines)
    if (l.reached) lines.insert(l.line);
  return lines;
}

TEST(LineMapTest, EveryDwarfVersionGivesTheSameMap) {
  // The fixture's lines with code, and its functions, as the source has them.
  const std::vector<uint32_t> code_lines = {33, 34, 35, 36, 37, 40, 41, 42, 45, 46, 47, 50, 51,
                                            52, 53, 54, 57, 58, 59, 60, 61, 62, 64, 65, 66, 67,
                                            70, 71, 72, 77, 78};
  for (int version : {2, 3, 4, 5}) {
    SCOPED_TRACE(version);
    LineMap map;
    std::string problem;
    ASSERT_EQ(map_of(read_bytes(fixture(version == 5 ? "coverage.elf" : "coverage_dwarf" + std::to_string(version) + ".elf")), &map,
                     &problem),
              LineMapResult::kOk)
        << problem;
    ASSERT_EQ(map.files, std::vector<std::string>{"/firmware/coverage/main.c"});
    std::vector<uint32_t> lines;
    for (const SourceLine& l : map.lines) lines.push_back(l.line);
    EXPECT_EQ(lines, code_lines);
    std::vector<std::pair<std::string, uint32_t>> functions;
    for (const Function& f : map.functions) functions.emplace_back(f.name, map.lines[f.source_line].line);
    EXPECT_EQ(functions, (std::vector<std::pair<std::string, uint32_t>>{
                             {"uart_puts", 33}, {"called", 40}, {"never_called", 45},
                             {"semihosting_exit", 50}, {"main", 57}, {"Reset_Handler", 70},
                             {"Default_Handler", 77}}));
    // A stretch reaches the lines it overlaps and the functions it enters.
    map.mark(0x0800007c, 0x0800007d);  // called's entry
    map.mark(0x0800008f, 0x08000093);  // the last byte of 42 and never_called's entry
    EXPECT_EQ(reached_lines(map), (std::set<uint32_t>{40, 42, 45}));
    EXPECT_TRUE(map.functions[1].reached && map.functions[2].reached && !map.functions[0].reached);
  }
}

TEST(LineMapTest, PrefixStrippedFromEveryPath) {
  const std::vector<uint8_t> elf = read_bytes(fixture("coverage.elf"));
  for (const char* prefix : {"/firmware/coverage", "/firmware/coverage/"}) {
    LineMap map;
    std::string problem;
    ASSERT_EQ(map_of(elf, &map, &problem, prefix), LineMapResult::kOk);
    EXPECT_EQ(map.files, std::vector<std::string>{"main.c"});
  }
}

TEST(LineMapTest, DamagedOrBareElfsAreRefusedWithoutHarm) {
  const std::vector<uint8_t> good = read_bytes(fixture("coverage.elf"));
  const std::vector<uint8_t> bare = read_bytes(std::string(ZELK_FIXTURES) + "/elf/blink/blink.elf");
  LineMap map;
  std::string problem;
  EXPECT_EQ(map_of(bare, &map, &problem), LineMapResult::kNoLineInformation);
  EXPECT_EQ(problem, "it has no line information: build with -g");
  EXPECT_EQ(map_of({}, &map, &problem), LineMapResult::kNotElf);
  // Every prefix of the file, and every byte of its first part changed:
  // a result, never a read outside the bytes (the sanitizer build checks).
  for (size_t n = 0; n < good.size(); n += 7) {
    std::vector<uint8_t> cut(good.begin(), good.begin() + n);
    map_of(cut, &map, &problem);
  }
  for (size_t i = 0; i < good.size(); i += 3) {
    std::vector<uint8_t> bent = good;
    bent[i] ^= 0xA5;
    map_of(bent, &map, &problem);
  }
}

LineMap small_map() {
  LineMap map;
  map.files = {"src/a.c", "src/b&c.c"};
  map.lines = {{0, 3, true}, {0, 4, false}, {1, 10, false}};
  map.ranges = {{0x100, 0x104, 0}, {0x104, 0x108, 1}, {0x200, 0x210, 2}};
  map.functions = {{"f", 0x100, 0, true}, {"g", 0x200, 2, false}};
  return map;
}

TEST(CoverageReportTest, TracefileCoberturaAndSummary) {
  const LineMap map = small_map();
  EXPECT_EQ(lcov_tracefile(map, "t"),
            "TN:t\nSF:src/a.c\nFN:3,f\nFNDA:1,f\nFNF:1\nFNH:1\nDA:3,1\nDA:4,0\nLF:2\nLH:1\nend_of_record\n"
            "TN:t\nSF:src/b&c.c\nFN:10,g\nFNDA:0,g\nFNF:1\nFNH:0\nDA:10,0\nLF:1\nLH:0\nend_of_record\n");
  const std::string xml = cobertura_report(map, "0.0.6", 1700000000);
  EXPECT_NE(xml.find("<coverage line-rate=\"0.3333\" branch-rate=\"0\" lines-covered=\"1\" "
                     "lines-valid=\"3\""),
            std::string::npos);
  EXPECT_NE(xml.find("<package name=\"src\" line-rate=\"0.3333\""), std::string::npos);
  EXPECT_NE(xml.find("filename=\"src/b&amp;c.c\""), std::string::npos);
  // A path's bytes that are not UTF-8, and its line breaks, still give well-formed XML.
  LineMap odd = small_map();
  odd.files[1] = "src/b\xFF\n.c";
  EXPECT_NE(cobertura_report(odd, "0.0.6", 0).find("filename=\"src/b\xEF\xBF\xBD&#10;.c\""),
            std::string::npos);
  EXPECT_EQ(coverage_summary(map), "1 of 3 lines (33.3%), 1 of 2 functions");
  CoverageFormat format;
  EXPECT_TRUE(parse_coverage_format("cobertura", &format));
  EXPECT_FALSE(parse_coverage_format("gcov", &format));
}

}  // namespace
