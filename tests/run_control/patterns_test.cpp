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

// Rule: a pattern matches within one line, its end (LF or CR LF) no part
// of it, across the pieces the line comes in, and a line with no end yet
// as it grows; it sees a line's first kLineWindow bytes, and that the line
// goes on; of several, the match that ends first counts.
TEST(PatternSearchTest, MatchesWithinOneLine) {
  const std::string wide(kLineWindow, 'a');
  std::string chatter;
  while (chatter.size() < 2 * PatternSearch::kTuningBytes) chatter += "log: 0x2a login\n";
  const struct {
    std::vector<std::string> patterns, pieces;
    size_t end, which;
    std::string line_so_far = "";
  } cases[] = {
      {{"boot v\\d+\\.\\d+ ok$"}, {"x\nboot v1.23 ok\r\n"}, 15, 0},
      {{"boot v\\d"}, {"bo", "ot v", "1", "\n"}, 7, 0},
      {{"login: $"}, {"log", "in: "}, 7, 0},
      {{"^login: $"}, {"login: \r"}, 7, 0},
      {{"b.c", "b\\s*c", "b\\n"}, {"ab", "\ncd\n"}, kNone, 0},
      {{"^PASS"}, {"x PASS\nPASS\n"}, 11, 0},
      {{"^\\d+$"}, {"12a\n", "345\n"}, 7, 0},
      {{"panic"}, {"PANIC\n"}, kNone, 0},
      {{"(?i)panic"}, {"PANIC\n"}, 5, 0},
      {{"a", "b"}, {"xb a\n"}, 2, 1},
      {{"(a+)+$"}, {std::string(4000, 'a') + "\n"}, 4000, 0},
      {{"(a+)+$"}, {std::string(30000, 'a'), "\n"}, kNone, 0},
      {{"END"}, {wide, "END\n"}, kNone, 0},
      {{"a$"}, {wide + "b\n"}, kNone, 0},
      {{"a$"}, {wide + "\n"}, kLineWindow, 0},
      // Literals are found by the bytes rare in the output so far.
      {{"^login: ok$"}, {chatter + "log", "in: ok\r\n"}, chatter.size() + 9, 0},
      // Only what comes after the line so far is looked at.
      {{"login"}, {"root\n"}, kNone, 0, "login: "},
      {{"root$"}, {"root\n"}, 4, 0, "login: "},
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

// Rule: however the output is cut into pieces, the first match is where
// matching each whole line finds it (for patterns a longer line cannot
// make match sooner).
TEST(PatternSearchTest, PiecesFindWhatTheLinesFind) {
  const char* const kPatterns[] = {"aQ", "Q.b", "^b", "a+Qb", "^[ab]+\\r"};
  std::mt19937 random(11);
  for (int round = 0; round < 2000; ++round) {
    std::string stream(random() % 200, 'a');
    for (char& c : stream) c = "abQ\n\r"[random() % 5];
    const std::string pattern = kPatterns[random() % 5];
    const RE2 re(pattern);
    size_t want = kNone;
    for (size_t start = 0; start < stream.size() && want == kNone;) {
      size_t nl = stream.find('\n', start);
      const size_t stop = nl == std::string::npos ? stream.size() : nl;
      re2::StringPiece line(stream.data() + start, stop - start), found;
      if (line.ends_with("\r")) line.remove_suffix(1);
      if (re.Match(line, 0, line.size(), RE2::UNANCHORED, &found, 1))
        want = static_cast<size_t>(found.data() - stream.data()) + found.size();
      start = stop + 1;
    }
    std::vector<std::string> pieces;
    for (size_t fed = 0; fed < stream.size();) {
      const size_t len = std::min<size_t>(random() % 2 ? 1 : 1 + random() % 50, stream.size() - fed);
      pieces.push_back(stream.substr(fed, len));
      fed += len;
    }
    ASSERT_EQ(want, search({pattern}, pieces).first) << pattern << " in " << stream;
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
