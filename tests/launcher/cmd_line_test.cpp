#include "launcher/cmd_line.h"

#include <gtest/gtest.h>

#include <tuple>

#include "launcher/request.h"
#include "platform/platform.h"
#include "test_util.h"

namespace {

const std::string kGtk = "-display gtk,show-tabs=off,show-cursor=on,show-menubar=off ";

Request parse(std::vector<std::string> words) {
  words.insert(words.begin(), "zelk_sim");
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  return parse_words(static_cast<int>(argv.size()), argv.data());
}

// Parses |words| and assembles them after a stand-in head "H ", with no
// raw image; returns the line and the end of the region, counted from the
// start of the region.
struct Assembled {
  std::string line;
  size_t region_end;
};

Assembled assemble(std::vector<std::string> words) {
  Request r = parse(std::move(words));
  resolve_project(fs::current_path().string(), &r);
  const CommandLine line = cmd_copy(r, "H ", nullptr);
  return {line.text.substr(2), line.region_end - 2};
}

// The folder a test runs in, so that project mode reads a known name and no
// relative ELF or image path names a real file.
class CmdCopyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = fs::current_path();
    fs::create_directory(dir_.path() / "proj");
    fs::current_path(dir_.path() / "proj");
  }
  void TearDown() override { fs::current_path(saved_); }
  std::string project(const char* ext) {
    return std::string(".") + kPathSeparator + "build" + kPathSeparator + "proj" + ext;
  }
  ScopedTempDir dir_;
  fs::path saved_;
};

TEST_F(CmdCopyTest, WorkedExampleRegionAndTail) {
  Assembled a = assemble({"-elf", "app.elf", "-img", "app.fls", "-uart", "1"});
  EXPECT_EQ(" app.elf     " + kGtk + "-global zelk_uart.uart_num=1 -kernel \"app.elf\" ", a.line);
  EXPECT_EQ(13u, a.region_end);  // just after the five spaces
  // The debugger's arguments join the tail, outside the length test.
  a = assemble({"-elf", "app.elf", "--gdb", "65535", "-nographic"});
  EXPECT_EQ(" app.elf  -nographic -gdb tcp:127.0.0.1:65535 -S -kernel \"app.elf\" ", a.line);
  EXPECT_EQ(10u, a.region_end);
  // Coverage: the log's words join the tail; a user's -d gets the
  // translation log where it stands, and counts as it then stands.
  for (const auto& [words, line, end] : std::vector<std::tuple<std::vector<std::string>, std::string, size_t>>{
           {{"-elf", "app.elf", "-nographic", "--coverage", "lcov:c.info"},
            " app.elf  -nographic -d in_asm -D \"L\" -kernel \"app.elf\" ", 10},
           {{"-elf", "app.elf", "-d", "int", "--coverage", "cobertura:c.xml", "-d", "in_asm,exec"},
            " app.elf -d int,in_asm -d in_asm,exec " + kGtk + "-D \"L\" -kernel \"app.elf\" ", 38}}) {
    Request r = parse(words);
    r.coverage_log = "L";
    const CommandLine l = cmd_copy(r, "H ", nullptr);
    EXPECT_EQ(line, l.text.substr(2));
    EXPECT_EQ(end, l.region_end - 2);
    EXPECT_FALSE(r.watched);
  }
  EXPECT_FALSE(parse({"-prj", "--gdb", "auto"}).watched);
  EXPECT_EQ(0u, parse({"-prj", "--gdb", "auto"}).gdb_port.value_or(1));
}

TEST_F(CmdCopyTest, ProjectMode) {
  Assembled a = assemble({"-prj"});
  EXPECT_EQ(" " + kGtk + "-kernel \"" + project(".elf") + "\" ", a.line);
  EXPECT_EQ(1u, a.region_end);

  a = assemble({"-prj", "-nographic", "-eth", "tap0"});
  EXPECT_EQ("    -nographic -net nic -net tap,ifname=tap0 -kernel \"" + project(".elf") + "\" ",
            a.line);

  // Project mode replaces an -elf value.
  a = assemble({"-elf", "other.elf", "-prj"});
  EXPECT_EQ(" other.elf  " + kGtk + "-kernel \"" + project(".elf") + "\" ", a.line);
}

TEST_F(CmdCopyTest, OptionWordsAreNeverValues) {
  // -nographic stays an option although -img waits for a value; the value
  // then goes to the first pending expectation: image, then eth, then uart.
  Assembled a = assemble({"-uart", "-eth", "-img", "-nographic", "f.fls", "tap1", "3"});
  EXPECT_EQ("       -nographic -net nic -net tap,ifname=tap1 -global zelk_uart.uart_num=3 ",
            a.line);
  // -eth without a value: no network argument; a later value overrides.
  a = assemble({"-uart", "1", "-uart", "2", "-eth"});
  EXPECT_EQ("     " + kGtk + "-global zelk_uart.uart_num=2 ", a.line);
}

TEST_F(CmdCopyTest, WordAfterElfIsAlwaysTheElfPath) {
  // -elf as the last word: no ELF, no kernel argument.
  EXPECT_EQ("-s  " + kGtk, assemble({"-s", "-elf"}).line);
  // The word taken by -img is not copied but is still the ELF path.
  EXPECT_EQ("    y.fls -nographic -kernel \"x.fls\" ",
            assemble({"-img", "-elf", "x.fls", "-nographic", "y.fls"}).line);
  // So is an option word after -elf.
  EXPECT_EQ("  -s -nographic -kernel \"-nographic\" ",
            assemble({"-elf", "-nographic", "-s"}).line);
}

TEST_F(CmdCopyTest, OtherWordsAreCopiedUnquoted) {
  Assembled a = assemble({"-kernel", "app.elf", "-s", "a b"});
  EXPECT_EQ("-kernel app.elf -s a b " + kGtk, a.line);
  EXPECT_EQ(23u, a.region_end);
  // The ELF's path is one word for the interpreter, counted as written.
  for (const std::string elf : {"my app.elf", "app;touch X.elf", "a&echo X>X.elf", "A B\\a.elf"}) {
    a = assemble({"-elf", elf, "-s", "a b"});
    EXPECT_EQ(" " + interpreter_word(elf) + " -s a b " + kGtk + "-kernel " + interpreter_quoted(elf) + " ",
              a.line);
    EXPECT_EQ(interpreter_word(elf).size() + 9, a.region_end);
    EXPECT_NE(elf, interpreter_word(elf));
  }
}

TEST_F(CmdCopyTest, NetworkAndUartArgumentsAreCutTo127) {
  const std::string name(200, 'e');
  Assembled a = assemble({"-eth", name, "-uart", std::string(300, '7'), "-nographic"});
  const std::string net = ("-net nic -net tap,ifname=" + name).substr(0, 127);
  const std::string uart = ("-global zelk_uart.uart_num=" + std::string(300, '7')).substr(0, 127);
  EXPECT_EQ("     -nographic " + net + " " + uart + " ", a.line);
}

TEST(OptionScanTest, FirstHelpOrVersionWordWins) {
  auto scan = [](std::vector<std::string> words) { return parse(std::move(words)).outcome; };
  EXPECT_EQ(ScanResult::kUsage, scan({}));
  EXPECT_EQ(ScanResult::kVersion, scan({"-elf", "app.elf", "-v"}));
  EXPECT_EQ(ScanResult::kUsage, scan({"-prj", "-h"}));
  EXPECT_EQ(ScanResult::kUsage, scan({"-elf", "-h", "--version"}));
  EXPECT_EQ(ScanResult::kVersion, scan({"-uart", "-v", "-help"}));
  EXPECT_EQ(ScanResult::kUsage, scan({"--h"}));
  EXPECT_EQ(ScanResult::kVersion, scan({"--version"}));
  EXPECT_EQ(ScanResult::kVersion, scan({"-version"}));
  EXPECT_EQ(ScanResult::kUsage, scan({"-img", "app.fls", "-nographic"}));
  EXPECT_EQ(ScanResult::kLaunch, scan({"-kernel", "app.elf"}));
  // Whole words, case significant.
  EXPECT_EQ(ScanResult::kUsage, scan({"-H", "-elf=app.elf", "-V", "-Prj"}));
  EXPECT_EQ(ScanResult::kLaunch, scan({"-H", "-prj"}));
  // The value of a launcher's own word is never a word of its own.
  EXPECT_EQ(ScanResult::kLaunch, scan({"-prj", "--expect", "-v", "--fail", "-h"}));
  EXPECT_EQ(ScanResult::kUsage, scan({"--expect", "-prj"}));
}

// Rule: the launcher's own words and their values leave nothing on the
// line, wherever they stand, so a line with them equals the line without.
TEST_F(CmdCopyTest, OwnWordsLeaveNothingOnTheLine) {
  const std::vector<std::string> plain = {"-elf", "app.elf", "-s", "-uart", "1"};
  const Assembled want = assemble(plain);
  const std::vector<std::string> with = {
      "--expect", "-nographic", "-elf", "--status", "app.elf", "--timeout", "2.5", "-s",
      "--fail", "-elf", "-uart", "--log", "l.txt", "--junit", "j.xml", "1", "--expect", "B",
      "--send", "-s", "--send-bytes", "\\x03\\r\\n\\t\\\\", "--fresh-chip", "--chip-from", "-s",
      "--load", "eeprom:0x10=C:\\a=b.bin", "--load", "flash:134217728=-s", "--test-name", "--status"};
  const Assembled got = assemble(with);
  EXPECT_EQ(want.line, got.line);
  EXPECT_EQ(want.region_end, got.region_end);
  const Request r = parse(with);
  EXPECT_EQ("", r.error);
  EXPECT_TRUE(r.watched);
  EXPECT_EQ((std::vector<std::string>{"-nographic", "B"}), r.control.expect);
  EXPECT_EQ(std::vector<std::string>{"-elf"}, r.control.fail);
  EXPECT_EQ(2500u, r.control.timeout_ms.value_or(0));
  EXPECT_TRUE(r.control.use_status);
  EXPECT_EQ("--status", r.test_name.value_or(""));
  // A send is written once the expects before it are seen; Enter at a
  // serial console is a carriage return.
  ASSERT_EQ(2u, r.control.sends.size());
  EXPECT_EQ("-s\r", r.control.sends[0].bytes);
  EXPECT_EQ("\x03\r\n\t\\", r.control.sends[1].bytes);
  EXPECT_EQ(2u, r.control.sends[1].after_expects);
  EXPECT_FALSE(parse(plain).watched);
  // FILE is everything after the first '='; the loads keep their order.
  ASSERT_EQ(2u, r.loads.size());
  EXPECT_EQ("C:\\a=b.bin", r.loads[0].path);
  EXPECT_EQ(0x10u, r.loads[0].address);
  EXPECT_EQ(Memory::kFlash, r.loads[1].memory);
  EXPECT_EQ("-s", r.chip_from.value_or(""));
}

// Rule: a bad or missing value is refused with a line that names the word;
// the first one found is told.
TEST(OptionScanTest, BadValuesOfTheLaunchersOwnWords) {
  const struct {
    std::vector<std::string> words;
    std::string error;
  } cases[] = {
      {{"-prj", "--expect"}, "--expect: needs a value"},
      {{"-prj", "--expect", ""}, "--expect: the text is empty"},
      {{"-prj", "--fail", ""}, "--fail: the text is empty"},
      {{"-prj", "--timeout", "0"}, "--timeout: '0' is not a number of seconds above 0"},
      {{"-prj", "--timeout", "-1"}, "--timeout: '-1' is not a number of seconds above 0"},
      {{"-prj", "--timeout", "1e3", "--log", ""}, "--timeout: '1e3' is not a number of seconds above 0"},
      {{"-prj", "--log", ""}, "--log: the file name is empty"},
      {{"-prj", "--junit"}, "--junit: needs a value"},
      {{"-prj", "--chip-dir"}, "--chip-dir: needs a value"},
      {{"-prj", "--gdb"}, "--gdb: needs a value"},
      {{"-prj", "--gdb", "0"}, "--gdb: '0' is not a port from 1 to 65535, nor auto"},
      {{"-prj", "--gdb", "65536"}, "--gdb: '65536' is not a port from 1 to 65535, nor auto"},
      {{"-prj", "--gdb", "99999999999999999999"},
       "--gdb: '99999999999999999999' is not a port from 1 to 65535, nor auto"},
      {{"-prj", "--gdb", "+80"}, "--gdb: '+80' is not a port from 1 to 65535, nor auto"},
      {{"-prj", "--gdb", ""}, "--gdb: '' is not a port from 1 to 65535, nor auto"},
      {{"-prj", "--test-name", ""}, "--test-name: the name is empty"},
      {{"-prj", "--send", ""}, "--send: the text is empty"},
      {{"-prj", "--load", "eeprom:0x10"}, "--load: 'eeprom:0x10' names no file: say MEM:ADDR=FILE"},
      {{"-prj", "--load", "eeprom=c.bin"}, "--load: 'eeprom=c.bin' names no address: say MEM:ADDR=FILE"},
      {{"-prj", "--load", "ram:0=c.bin"}, "--load: 'ram' is neither flash nor eeprom"},
      {{"-prj", "--load", "flash:0x8000000g=c"}, "--load: '0x8000000g' is no number"},
      {{"-prj", "--load", "flash:0x1000=c"},
       "--load: 0x00001000 lies outside flash, 0x08000000..0x0fffffff"},
      {{"-prj", "--load", "eeprom:0x8000=c"}, "--load: 0x8000 lies outside the EEPROM's 32768 bytes"},
      {{"-prj", "--chip-from", "t"}, "--chip-from: only a fresh chip starts as a copy (--fresh-chip)"},
      {{"-prj", "--fresh-chip", "--chip-from", ""}, "--chip-from: needs a folder"},
      {{"-prj", "--send-bytes", "a\\qb"},
       "--send-bytes: 'a\\qb' has a backslash that is none of \\r \\n \\t \\\\ \\xHH"},
      {{"-prj", "--coverage", "lcov"}, "--coverage: 'lcov' names no file: say FORMAT:FILE"},
      {{"-prj", "--coverage", "lcov:"}, "--coverage: 'lcov:' names no file: say FORMAT:FILE"},
      {{"-prj", "-D", "q.log", "--coverage", "lcov:c"},
       "--coverage: the simulator's log goes to a file of the launch's own: leave out -D"},
      {{"-prj", "--coverage-strip", "", "--coverage", "lcov:c"}, "--coverage-strip: the prefix is empty"},
      {{"-prj", "--send-bytes", "\\x3"},
       "--send-bytes: '\\x3' has a backslash that is none of \\r \\n \\t \\\\ \\xHH"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error);
    EXPECT_EQ(c.error, parse(c.words).error);
  }
}

}  // namespace
