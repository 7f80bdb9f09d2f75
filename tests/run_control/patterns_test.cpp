#include <gtest/gtest.h>

#include <re2/re2.h>

#include <random>
#include <string>
#include <vector>

#include "run_control/patterns.h"

namespace {

constexpr size_t kNone = PatternSearch::kNotFound;

// Where in the stream the first match ends and which pattern it was, the
// stream fed as |pieces|.
std::pair<size_t, size_t> search(const std::vector<std::string>& patterns,
                                 const std::vector<std::string>& pieces,
                                 const std::string& line_so_far = "") {
  std::vector<std::shared_ptr<const Pattern>> compiled;
  std::vector<const Pattern*> list;
  for (const std::string& text : patterns) {
    std::string error;
    compiled.push_back(Pattern::compile(text, &error));
    EXPECT_TRUE(compiled.back()) << text << ": " << error;
    list.push_back(compiled.back().get());
  }
  LineWindow line;
  line.add(line_so_far.data(), line_so_far.size());
  PatternSearch s(list, line, line.length());
  size_t fed = 0;
  for (const std::string& piece : pieces) {
    const size_t end = s.find_in(piece.data(), piece.size());
    if (end != kNone) return {fed + end, s.matched()};
    fed += piece.size();
  }
  return {kNone, 0};
}

// Rule: a pattern matches within one line, its end (LF, CR LF, LF CR) no
// part of it, across the pieces the line comes in; a line with no end yet
// as it grows, where the match holds whatever follows, else at the line's
// end (the byte after its LF); it sees a line's first kLineWindow bytes,
// and that the line goes on; of several, the one found first counts.
TEST(PatternSearchTest, MatchesWithinOneLine) {
  const std::string wide(kLineWindow, 'a');
  std::string chatter;
  while (chatter.size() < 2 * PatternSearch::kTuningBytes) chatter += "log: 0x2a login\n";
  const struct {
    std::vector<std::string> patterns, pieces;
    size_t end, which;
    std::string line_so_far = "";
  } cases[] = {
      {{"boot v\\d+\\.\\d+ ok$"}, {"x\nboot v1.23 ok\r\n"}, 17, 0},
      {{"^BOOT OK$"}, {"\n\rBOOT OK\n\r"}, 10, 0},
      {{"^BOOT OK$"}, {"\n\rBOOT OK\rx\n\r"}, kNone, 0},
      {{"^$"}, {"a\n\rb\n\r"}, kNone, 0},
      {{"^$"}, {"a\n\nb"}, 3, 0},
      // On a growing line "$", "\\z", "\\b", "\\B" and "(?m)$" never hold
      // at its end; text that nothing can undo holds at once.
      {{"status=0$"}, {"status=0", "x00000003\n"}, kNone, 0},
      {{"status=0$"}, {"status=0", "\n"}, 9, 0},
      {{"status=0\\z"}, {"status=0"}, kNone, 0},
      {{"status=0\\z"}, {"status=0\n"}, 9, 0},
      {{"(?m)status=0$"}, {"status=0"}, kNone, 0},
      {{"(?m)status=0$"}, {"status=0\r\n"}, 10, 0},
      {{"ok\\b"}, {"ok\n"}, 3, 0},
      {{"ok\\B"}, {"ok\n"}, kNone, 0},
      {{"ok\\b"}, {"ok", "ay\n"}, kNone, 0},
      {{"ok\\b"}, {"ok", ", fine"}, 3, 0},
      {{"ok\\B"}, {"ok"}, kNone, 0},
      {{"ok\\B"}, {"ok", "ay"}, 3, 0},
      {{"boot v\\d"}, {"bo", "ot v", "1", "\n"}, 7, 0},
      {{"login: "}, {"log", "in: "}, 7, 0},
      {{"^login: $"}, {"login: \r"}, kNone, 0},
      {{"^login: $"}, {"login: \r\n"}, 9, 0},
      {{"boot v[0-9]+"}, {"boot v1", "2"}, 7, 0},
      {{"b.c", "b\\s*c", "b\\n"}, {"ab", "\ncd\n"}, kNone, 0},
      {{"^PASS"}, {"x PASS\nPASS\n"}, 11, 0},
      {{"^\\d+$"}, {"12a\n", "345\n"}, 8, 0},
      {{"panic"}, {"PANIC\n"}, kNone, 0},
      {{"(?i)panic"}, {"PANIC\n"}, 5, 0},
      {{"a", "b"}, {"xb a\n"}, 2, 1},
      {{"(a+)+$"}, {std::string(4000, 'a') + "\n"}, 4001, 0},
      {{"(a+)+$"}, {std::string(30000, 'a'), "\n"}, kNone, 0},
      {{"END"}, {wide, "END\n"}, kNone, 0},
      {{"a$"}, {wide + "b\n"}, kNone, 0},
      {{"a$"}, {wide + "\n"}, kLineWindow + 1, 0},
      // Literals are found by the bytes rare in the output so far.
      {{"^login: ok$"}, {chatter + "log", "in: ok\r\n"}, chatter.size() + 11, 0},
      // Only what comes after the line so far is looked at.
      {{"login"}, {"root\n"}, kNone, 0, "login: "},
      {{"root$"}, {"root\n"}, 5, 0, "login: "},
      {{"^root"}, {"root\n"}, kNone, 0, "login: "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.patterns[0] + " in " + c.pieces[0].substr(0, 20));
    const auto [end, which] = search(c.patterns, c.pieces, c.line_so_far);
    EXPECT_EQ(c.end, end);
    if (end != kNone) {
      EXPECT_EQ(c.which, which);
    }
  }
}

// Rule: however the output is cut into pieces, the first match is found
// at the byte where the whole output, read at once, finds it.
TEST(PatternSearchTest, PiecesFindWhatTheWholeFinds) {
  const char* const kPatterns[] = {"aQ", "Q.b", "^b", "a+Qb", "^[ab]+\\r", "Q$", "a\\b", "b\\B", "ab|a"};
  constexpr size_t kCount = sizeof kPatterns / sizeof kPatterns[0];
  std::mt19937 random(11);
  for (int round = 0; round < 3000; ++round) {
    std::string stream(random() % 200, 'a');
    for (char& c : stream) c = "abQ \n\r"[random() % 6];
    const std::string pattern = kPatterns[random() % kCount];
    std::vector<std::string> pieces;
    for (size_t fed = 0; fed < stream.size();) {
      const size_t len = std::min<size_t>(random() % 2 ? 1 : 1 + random() % 50, stream.size() - fed);
      pieces.push_back(stream.substr(fed, len));
      fed += len;
    }
    ASSERT_EQ(search({pattern}, {stream}).first, search({pattern}, pieces).first)
        << pattern << " in " << stream;
  }
}

// Rule: a pattern that does not compile, or an empty one, is refused with
// RE2's reason.
TEST(PatternTest, BadPatternsAreRefused) {
  for (const auto& [text, why] : {std::pair<std::string, std::string>{"(a", "missing ): (a"},
                                  {"", "the pattern is empty"},
                                  {"a{2,1}", "invalid repetition size: {2,1}"}}) {
    std::string error;
    EXPECT_FALSE(Pattern::compile(text, &error));
    EXPECT_EQ(why, error);
  }
}

}  // namespace
