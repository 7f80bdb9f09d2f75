#include "platform/path_rules.h"

#include <gtest/gtest.h>

#include "platform/interpreter_rules.h"

namespace {

bool no_lead_bytes(unsigned char) { return false; }
// Shift-JIS style: 0x81..0x9F and 0xE0..0xFC start a double-byte character.
bool sjis_lead_byte(unsigned char c) {
  return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

TEST(PathRulesTest, WindowsLastComponent) {
  const struct {
    const char* path;
    const char* want;
  } cases[] = {
      {"C:\\tools\\sim.exe", "sim.exe"},
      {"sim", "sim"},
      {"D:/work/proj/", "proj"},
      {"D:\\work\\proj\\\\", "proj"},
      {"a/b\\c", "c"},
      {"C:sim.exe", "sim.exe"},
      {"", "."},
      {"C:", "."},
      {"C:\\", "\\"},
      {"\\", "\\"},
      {"//", "\\"},
      {"\\\\server\\share", "\\"},
      {"\\\\server\\share\\", "\\"},
      {"\\\\server", "\\"},
      {"\\\\server\\share\\dir\\x.exe", "x.exe"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.want, windows_last_component(c.path, no_lead_bytes)) << c.path;
}

TEST(PathRulesTest, WindowsTrailByteIsNeverASeparator) {
  // 0x95 0x5C is one double-byte character whose second byte is '\'.
  const std::string name = "C:\\dir\\\x95\x5C.exe";
  EXPECT_EQ("\x95\x5C.exe", windows_last_component(name, sjis_lead_byte));
  EXPECT_EQ(".exe", windows_last_component(name, no_lead_bytes));
  // A lead byte at the very end has no trail byte to take.
  EXPECT_EQ("a\x95", windows_last_component("x\\a\x95", sjis_lead_byte));
}

TEST(PathRulesTest, PosixLastComponent) {
  EXPECT_EQ("zelk_sim", posix_last_component("/opt/zelk/zelk_sim"));
  EXPECT_EQ("proj", posix_last_component("/home/u/proj//"));
  EXPECT_EQ("sim", posix_last_component("sim"));
  EXPECT_EQ(".", posix_last_component(""));
  EXPECT_EQ("/", posix_last_component("/"));
  EXPECT_EQ("/", posix_last_component("///"));
  EXPECT_EQ("a\\b", posix_last_component("/x/a\\b"));
}

// Rule: /bin/sh tries each PATH folder in order, an empty one being the
// current folder; cmd.exe tries the current folder first, then each PATH
// folder, each with every PATHEXT extension (its own list without one),
// a name with an extension also as it stands.
TEST(PathRulesTest, InterpretersSearchTheirOwnWay) {
  using V = std::vector<std::string>;
  EXPECT_EQ((V{"/a/q", "q", "/b/q"}), posix_sh_search("q", "/a::/b"));
  EXPECT_EQ((V{"q.EXE", "q.CMD", "C:\\sim\\q.EXE", "C:\\sim\\q.CMD", "D:\\q.EXE", "D:\\q.CMD"}),
            windows_cmd_search("q", "\"C:\\sim\";;D:\\", ".EXE;.CMD"));
  EXPECT_EQ((V{"q.COM", "q.EXE", "q.BAT", "q.CMD"}), windows_cmd_search("q", "", ""));
  EXPECT_EQ((V{"q.x", "q.x.EXE"}), windows_cmd_search("q.x", "", ".EXE"));
}

}  // namespace

namespace {

bool os_and_path_set(const std::string& name) { return name == "OS" || name == "PATH" || name == "\"Q\""; }

// Rule: cmd.exe expands %NAME% of a set variable, with or without a
// :modifier, also inside quotes; a % that starts none stays, and the next
// may start one. The quoting puts each run of % outside the quotes, so a
// name between two holds a quote and nothing a path holds is expanded.
TEST(InterpreterRulesTest, CmdExpandsOnlySetNamesAndTheQuotingHidesThem) {
  const struct {
    const char* line;
    const char* expanded;
  } rows[] = {
      {"\"pct%OS%dir\"", "%OS%"},
      {"a%NOPE%OS%b", "%OS%"},
      {"%PATH:~0,3%", "%PATH:~0,3%"},
      {"%%OS", ""},
      {"100% of %", ""},
      {"\"a\"%\"OS\"%\"b\"", ""},
      {"\"a\"%\"Q\"%\"b\"", "%\"Q\"%"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.line);
    EXPECT_EQ(row.expanded, windows_cmd_expansion(row.line, os_and_path_set));
  }
  for (const char* path : {"C:\\pct%OS%dir\\zelk.iflash", "%OS%", "%%OS%%", "a%%%PATH%b%", "%OS:~1%"}) {
    SCOPED_TRACE(path);
    EXPECT_EQ("", windows_cmd_expansion(windows_cmd_quoted(path), os_and_path_set));
  }
  EXPECT_EQ("\"\"%\"OS\"%\"\"", windows_cmd_quoted("%OS%"));
  EXPECT_EQ("\"a\"%%%\"b\"", windows_cmd_quoted("a%%%b"));
}

// Rule: the runtime's split of a command line, and which words it would
// expand: a * or ? and no quote.
TEST(InterpreterRulesTest, RuntimeWordsAndTheirPatterns) {
  const struct {
    const char* line;
    std::vector<std::string> words;
    std::vector<bool> patterns;
  } rows[] = {
      {"\"C:\\my sim\\zelk_sim.exe\" -elf *.elf", {"C:\\my sim\\zelk_sim.exe", "-elf", "*.elf"},
       {false, false, true}},
      {"sim --fail-re \"ERROR.*\" E\"RR\"?", {"sim", "--fail-re", "ERROR.*", "ERR?"}, {false, false, false, false}},
      {"sim a\\\\\"b c\" d\\\"e \\\\x  \t", {"sim", "a\\b c", "d\"e", "\\\\x"}, {false, false, false, false}},
      {"sim \"a b\"c ?x", {"sim", "a bc", "?x"}, {false, false, true}},
      {"sim", {"sim"}, {false}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.line);
    const std::vector<RuntimeWord> words = windows_runtime_words(row.line);
    ASSERT_EQ(row.words.size(), words.size());
    for (size_t i = 0; i < words.size(); ++i) {
      EXPECT_EQ(row.words[i], words[i].text);
      EXPECT_EQ(row.patterns[i], windows_runtime_pattern(words[i])) << i;
    }
  }
}

}  // namespace
