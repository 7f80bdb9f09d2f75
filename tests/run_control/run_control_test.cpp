#include <gtest/gtest.h>

#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "run_control/junit.h"
#include "run_control/output_watch.h"
#include "run_control/verdict.h"

namespace {

using Cause = RunEnd::Cause;

struct Watched {
  bool decided;
  Cause cause;
  size_t fail_index, expects_seen;
};

// The watch's words: an expect or fail "re:P" stands for the pattern P.
RunControl control_of(const std::vector<std::string>& expect, const std::vector<std::string>& fail) {
  RunControl control;
  for (auto [words, texts, patterns] :
       {std::make_tuple(&expect, &control.expect, &control.expect_pattern),
        std::make_tuple(&fail, &control.fail, &control.fail_pattern)})
    for (const std::string& word : *words) {
      std::string error;
      patterns->push_back(word.rfind("re:", 0) == 0 ? Pattern::compile(word.substr(3), &error) : nullptr);
      texts->push_back(patterns->back() ? word.substr(3) : word);
    }
  return control;
}

// A piece "<send>" stands for the moment the launcher writes the send due.
Watched watch(const std::vector<std::string>& pieces, const std::vector<std::string>& expect,
              const std::vector<std::string>& fail, const std::vector<size_t>& sends_after = {}) {
  RunControl control = control_of(expect, fail);
  for (size_t after : sends_after) control.sends.push_back({"x", "x", after});
  OutputWatch w(control);
  for (const std::string& piece : pieces) {
    if (piece != "<send>") w.feed(piece.data(), piece.size());
    else if (w.send_due()) w.sent();
  }
  return {w.decided(), w.cause(), w.fail_index(), w.expects_seen()};
}

// Rule: texts match as plain bytes anywhere in the output, also across the
// pieces it arrives in; expect texts in their order, each after the one
// before; whichever of an expect run and a fail text ends first decides,
// a fail text on a tie.
TEST(OutputWatchTest, TextsMatchAcrossPiecesInOrder) {
  const struct {
    std::vector<std::string> pieces, expect, fail;
    bool decided;
    Cause cause;
    size_t fail_index, expects_seen;
    std::vector<size_t> sends_after = {};
  } cases[] = {
      {{"boot\nPASS\n"}, {"PASS"}, {}, true, Cause::kExpectSeen, 0, 1},
      {{"P", "A", "S", "S"}, {"PASS"}, {}, true, Cause::kExpectSeen, 0, 1},
      {{"xxPA", "SS"}, {"PASS"}, {}, true, Cause::kExpectSeen, 0, 1},
      {{"PAS", "x", "SS"}, {"PASS"}, {}, false, Cause::kEndedByItself, 0, 0},
      {{"aaa", "ab"}, {"aab"}, {}, true, Cause::kExpectSeen, 0, 1},
      {{"two one two"}, {"one", "two"}, {}, true, Cause::kExpectSeen, 0, 2},
      {{"two one"}, {"one", "two"}, {}, false, Cause::kEndedByItself, 0, 1},
      {{"onetwo"}, {"one", "two"}, {}, true, Cause::kExpectSeen, 0, 2},
      {{"onetw", "o"}, {"one", "two"}, {}, true, Cause::kExpectSeen, 0, 2},
      {{"FAIL PASS"}, {"PASS"}, {"FAIL"}, true, Cause::kFailSeen, 0, 0},
      {{"PASS FAIL"}, {"PASS"}, {"FAIL"}, true, Cause::kExpectSeen, 0, 1},
      {{"PA", "SS FAIL"}, {"PASS"}, {"FAIL"}, true, Cause::kExpectSeen, 0, 1},
      {{"x PANIC y ASSERT"}, {}, {"ASSERT", "PANIC"}, true, Cause::kFailSeen, 1, 0},
      {{"TEST OK"}, {"TEST OK"}, {"OK"}, true, Cause::kFailSeen, 0, 0},
      {{std::string("a\0b", 3)}, {std::string("\0b", 2)}, {}, true, Cause::kExpectSeen, 0, 1},
      {{"nothing here"}, {"PASS"}, {"FAIL"}, false, Cause::kEndedByItself, 0, 0},
      // After a send, an expect is sought only in what came after it was
      // written; a fail text in all of the output.
      {{"login: # ", "<send>", "# "}, {"login: ", "# "}, {}, true, Cause::kExpectSeen, 0, 2, {1}},
      {{"login: # ", "<send>"}, {"login: ", "# "}, {}, false, Cause::kEndedByItself, 0, 1, {1}},
      {{"# ", "<send>", "login: # "}, {"login: ", "# "}, {}, true, Cause::kExpectSeen, 0, 2, {0}},
      {{"login: FAIL", "<send>"}, {"login: ", "# "}, {"FAIL"}, true, Cause::kFailSeen, 0, 1, {1}},
      {{"a", "<send>", "b"}, {"a"}, {}, false, Cause::kEndedByItself, 0, 1, {1}},
      // Patterns take their turn as texts do; each sees the rest of the
      // line after what came before it, and a line with no end yet.
      {{"boot v1", ".23 ok\r\n"}, {"re:^boot v\\d+\\.\\d+ ok$"}, {}, true, Cause::kExpectSeen, 0, 1},
      {{"one two\n"}, {"one", "re:^two"}, {}, false, Cause::kEndedByItself, 0, 1},
      {{"one\ntwo\n"}, {"one", "re:^two"}, {}, true, Cause::kExpectSeen, 0, 2},
      {{"ab", "<send>", "c\n"}, {"re:ab$", "re:b"}, {}, false, Cause::kEndedByItself, 0, 1, {1}},
      {{"login: ", "<send>", "root\n# "}, {"re:login: ", "re:^# "}, {}, true, Cause::kExpectSeen, 0, 2, {1}},
      {{"login: ", "<send>", "root\n# "}, {"re:login: $", "re:^# "}, {}, false, Cause::kEndedByItself, 0, 0, {1}},
      {{"PASS x PANIC 3\n"}, {"re:PASS"}, {"re:PANIC \\d"}, true, Cause::kExpectSeen, 0, 1},
      {{"x PANIC 3\n PASS"}, {"PASS"}, {"ASSERT", "re:PANIC \\d"}, true, Cause::kFailSeen, 1, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pieces[0]);
    const Watched w = watch(c.pieces, c.expect, c.fail, c.sends_after);
    EXPECT_EQ(c.decided, w.decided);
    if (!c.decided) continue;
    EXPECT_EQ(c.cause, w.cause);
    EXPECT_EQ(c.fail_index, w.fail_index);
    EXPECT_EQ(c.expects_seen, w.expects_seen);
  }
}

// Rule: however the output is cut into pieces, a search finds the first
// match where a search of the whole output does, and the tail is the
// output's last |capacity| bytes. Pieces are mostly single bytes, as a
// UART without a FIFO delivers them, now and then longer than the tail.
TEST(OutputWatchTest, PiecesFindWhatTheWholeFinds) {
  std::mt19937 random(7);
  for (int round = 0; round < 2000; ++round) {
    // Common letters, which the search steps over, and a rare capital,
    // which it looks for first.
    std::string stream(random() % 200, 'a');
    for (char& c : stream) c = "abcQ"[random() % 4];
    std::string text(1 + random() % 5, 'a');
    for (char& c : text) c = "abcQ"[random() % 4];
    const size_t at = stream.find(text);
    const size_t want = at == std::string::npos ? StreamSearch::kNotFound : at + text.size();

    StreamSearch search(text);
    const size_t capacity = 1 + random() % 40;
    OutputTail tail(capacity);
    size_t fed = 0, found = StreamSearch::kNotFound;
    while (fed < stream.size()) {
      const size_t cut = random() % 2 ? 1 : 1 + random() % 50;
      const size_t len = std::min(cut, stream.size() - fed);
      tail.keep(stream.data() + fed, len);
      if (found == StreamSearch::kNotFound) {
        const size_t end = search.find_in(stream.data() + fed, len);
        if (end != StreamSearch::kNotFound) found = fed + end;
      }
      fed += len;
    }
    ASSERT_EQ(want, found) << stream << " / " << text;
    ASSERT_EQ(stream.substr(stream.size() - std::min(stream.size(), capacity)), tail.text());
  }
}

// A whole run as the launcher watches it: |output| comes in pieces of
// |cut| bytes (0: a line a piece, its end included), the watch deciding
// where it does; then the simulator ends, if the watch has not ended it.
// Gives the status, the reason and the cases, one a line.
std::string run(const std::string& cases, const std::vector<std::string>& expect,
                const std::vector<std::string>& fail, const std::string& output, size_t cut) {
  RunControl control = control_of(expect, fail);
  control.cases = cases;
  OutputWatch w(control);
  std::string seen;
  auto take = [&] {
    if (!w.cases()) return;
    for (const CaseResult& c : *w.cases()->finished())
      seen += "PFS"[static_cast<int>(c.outcome)] + (" " + c.suite + "." + c.name + " " + c.message + "\n");
    w.cases()->finished()->clear();
  };
  for (size_t at = 0; at < output.size() && !w.decided();) {
    const size_t nl = output.find('\n', at);
    const size_t len = cut ? cut : (nl == std::string::npos ? output.size() : nl + 1) - at;
    w.feed(output.data() + at, std::min(len, output.size() - at));
    take();
    at += len;
  }
  RunEnd end;
  end.cause = Cause::kEndedByItself;
  w.end_of_output();
  if (w.decided()) end.cause = w.cause();
  end.fail_index = w.fail_index();
  end.expects_seen = w.expects_seen();
  if (w.cases()) w.cases()->end_of_output(0);
  take();
  end.cases = w.cases();
  const Verdict v = judge_run(control, end);
  return std::to_string(v.status) + " " + v.reason + "\n" + seen;
}

// Rule: the same bytes give the same status, reason and cases however the
// reads cut them: read whole, a line a read and a byte a read. The first
// summary ends the run; a summary inside an open case is its text; a fail
// text before the summary decides; lines end at LF, CR LF and LF CR.
TEST(OutputWatchTest, TheBytesDecideNotTheCuts) {
  const struct {
    std::string cases;
    std::vector<std::string> expect, fail;
    std::string output, want;
  } rows[] = {
      {"", {"re:exit status=0$"}, {}, "boot\nexit status=0x00000003\n",
       "1 the simulator ended after 0.0 s before \"exit status=0$\" was seen\n"},
      {"", {"re:done$"}, {}, "all done", "0 \"done$\" seen after 0.0 s\n"},
      {"unity", {"boot ok"}, {"PANIC"},
       "boot ok\nPANIC: stack overflow\nt.c:1:test_a:PASS\n1 Tests 0 Failures 0 Ignored\nOK\n",
       "1 ended before any case ended: \"PANIC\" seen after 0.0 s before the summary\n"},
      {"unity", {}, {},
       "t.c:1:test_a:PASS\n1 Tests 0 Failures 0 Ignored\nOK\nt.c:1:test_b:FAIL: no\n"
       "1 Tests 1 Failures 0 Ignored\nFAIL\n",
       "0 1 case: 1 passed, 0 failed, 0 skipped\nP t.c.test_a \n"},
      {"unity", {}, {}, "\n\rt.c:1:test_a:PASS\n\rt.c:2:test_b:PASS\n\r2 Tests 0 Failures 0 Ignored\n\rOK\n\r",
       "0 2 cases: 2 passed, 0 failed, 0 skipped\nP t.c.test_a \nP t.c.test_b \n"},
      {"gtest", {}, {},
       "[==========] Running 2 tests from 1 test suite.\n[ RUN      ] S.a\n[       OK ] S.a (0 ms)\n"
       "[ RUN      ] S.b\nx.cc:12: Failure\nFailed\nrunner log:\n"
       "[==========] 1 test from 1 test suite ran. (0 ms total)\n[  FAILED  ] S.b (0 ms)\n"
       "[==========] 2 tests from 1 test suite ran. (1 ms total)\n[  PASSED  ] 1 test.\n",
       "1 2 cases: 1 passed, 1 failed, 0 skipped\nP S.a \nF S.b Failed\nrunner log:\n"
       "[==========] 1 test from 1 test suite ran. (0 ms total)\n"},
      {"gtest", {}, {}, "[ RUN      ] S.\xff\xfe\n[       OK ] S.\xff\xfe (0 ms)\n[==========] 1 test from 1 test suite ran.\n",
       "0 1 case: 1 passed, 0 failed, 0 skipped\nP S.\xff\xfe \n"},
      {"tap", {}, {}, "1..2\nok 1 - a\nok 2 - b\nnot ok 3 - c\n",
       "0 2 cases: 2 passed, 0 failed, 0 skipped\nP .a \nP .b \n"},
      {"tap", {}, {}, "1..2\nok 1 - a\nnot ok 2 - ]]> \xff\xfe\n",
       "1 2 cases: 1 passed, 1 failed, 0 skipped\nP .a \nF .]]> \xff\xfe \n"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.output);
    for (size_t cut : {row.output.size(), size_t{0}, size_t{1}})
      EXPECT_EQ(row.want, run(row.cases, row.expect, row.fail, row.output, cut)) << "cut " << cut;
  }
}

// Rule: the exit status and the reason of each way a watched run ends.
TEST(VerdictTest, EachEndHasItsStatusAndReason) {
  RunControl expect;
  expect.expect = {"BOOT", "PASS"};
  expect.fail = {"FAIL"};
  expect.timeout_text = "2.5";
  RunControl plain, status;
  status.use_status = true;
  RunControl both = expect;
  both.use_status = true;
  RunControl talk = expect;
  talk.sends = {{"root\r", "root", 1}};
  auto end = [](Cause cause, size_t seen = 0, int simulator = 0, size_t sent = 0) {
    RunEnd e;
    e.cause = cause;
    e.expects_seen = seen;
    e.sends_written = sent;
    e.send_error = "Broken pipe";
    e.simulator_status = simulator;
    e.seconds = 1.84;
    return e;
  };
  const struct {
    const RunControl& control;
    RunEnd end;
    int status;
    std::string reason;
  } cases[] = {
      {expect, end(Cause::kExpectSeen, 2), 0, "\"PASS\" seen after 1.8 s"},
      {expect, end(Cause::kFailSeen), 1, "\"FAIL\" seen after 1.8 s"},
      {expect, end(Cause::kTimedOut), 124, "timeout after 2.5 s"},
      {expect, end(Cause::kInterrupted), 130, "interrupted after 1.8 s"},
      {expect, end(Cause::kEndedByItself, 1, 3), 1,
       "the simulator ended after 1.8 s before \"PASS\" was seen"},
      {both, end(Cause::kEndedByItself, 1, 3), 3, "the simulator ended with status 3 after 1.8 s"},
      {both, end(Cause::kEndedByItself, 0, 0), 1,
       "the simulator ended with status 0 after 1.8 s before \"BOOT\" was seen"},
      {plain, end(Cause::kEndedByItself, 0, 3), 0, "the simulator ended after 1.8 s"},
      {status, end(Cause::kEndedByItself, 0, 137), 137,
       "the simulator ended with status 137 after 1.8 s"},
      {status, end(Cause::kEndedByItself, 0, 0), 0, "the simulator ended with status 0 after 1.8 s"},
      // A conversation names the step it reached.
      {talk, end(Cause::kEndedByItself, 1, 0, 1), 1,
       "the simulator ended after 1.8 s before \"PASS\" was seen, after sending \"root\""},
      {talk, end(Cause::kTimedOut, 1, 0, 1), 124,
       "timeout after 2.5 s before \"PASS\" was seen, after sending \"root\""},
      {talk, end(Cause::kTimedOut, 0, 0, 0), 124, "timeout after 2.5 s before \"BOOT\" was seen"},
      {talk, end(Cause::kSendFailed, 1, 0, 0), 1, "could not send \"root\": Broken pipe"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reason);
    const Verdict v = judge_run(c.control, c.end);
    EXPECT_EQ(c.status, v.status);
    EXPECT_EQ(c.status == 0, v.passed);
    EXPECT_EQ(c.reason, v.reason);
  }
  EXPECT_EQ("\"a\\\"b\\n\\x01\\\\\"", quoted_text("a\"b\n\x01\\"));
  EXPECT_EQ("\"" + std::string(60, 'x') + "\"... (100000 bytes)", quoted_text(std::string(100000, 'x')));
}

// Rule: seconds are decimal digits with an optional fraction, above 0;
// a fraction finer than a millisecond rounds up.
TEST(VerdictTest, SecondsAreDecimalAndAboveZero) {
  const struct {
    const char* text;
    uint64_t ms;  // 0: refused
  } cases[] = {
      {"30", 30000}, {"2.5", 2500}, {".25", 250}, {"5.", 5000}, {"0.0001", 1},
      {"999999999", 999999999000}, {"0", 0}, {"0.000", 0}, {"", 0}, {".", 0}, {"-1", 0},
      {"1e3", 0}, {" 5", 0}, {"5s", 0}, {"inf", 0}, {"1.2.3", 0}, {"1000000000", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    uint64_t ms = 0;
    EXPECT_EQ(c.ms != 0, parse_seconds(c.text, &ms));
    if (c.ms) {
      EXPECT_EQ(c.ms, ms);
    }
  }
}

// Rule: the report stays well-formed XML whatever the simulator printed:
// markup is escaped, bytes that are not UTF-8 and characters XML forbids
// become U+FFFD; a failure is told with its reason, and so are a setup
// problem (an error) and a run that has not finished.
TEST(JunitTest, ReportHoldsAnyOutput) {
  const std::string r = "\xEF\xBF\xBD";
  EXPECT_EQ("a&lt;b&gt;&amp;&quot;'" + r + r + r + r + "&#13;\n\t\xC3\xA9\xE2\x82\xAC",
            xml_text(std::string("a<b>&\"'\x01\xFF\xC3", 10) +
                     std::string("\0\r\n\t\xC3\xA9\xE2\x82\xAC", 9)));
  EXPECT_EQ("\xEF\xBF\xBD\xEF\xBF\xBD", xml_text("\xED\xA0"));  // a surrogate's start
  Verdict failed;
  failed.status = 124;
  failed.reason = "timeout after 2 s";
  EXPECT_EQ(
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<testsuite name=\"zelk_sim\" tests=\"1\" failures=\"1\" errors=\"0\" skipped=\"0\" time=\"2.004\">\n"
      "  <testcase name=\"a&amp;b\" classname=\"zelk_sim\" time=\"2.004\">\n"
      "    <failure message=\"timeout after 2 s\" type=\"status 124\">timeout after 2 s</failure>\n"
      "    <system-out>boot&lt;\n</system-out>\n"
      "  </testcase>\n"
      "</testsuite>\n",
      junit_report("a&b", 2.004, failed, "boot<\n"));
  Verdict passed;
  passed.passed = true;
  EXPECT_EQ(std::string::npos, junit_report("app", 1, passed, "").find("<failure"));
  failed.setup_problem = true;
  const std::string error = junit_report("app", 0, failed, "");
  EXPECT_NE(std::string::npos, error.find("failures=\"0\" errors=\"1\""));
  EXPECT_NE(std::string::npos,
            error.find("<error message=\"timeout after 2 s\" type=\"status 124\">timeout after 2 s</"));
  EXPECT_EQ(
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<testsuite name=\"zelk_sim\" tests=\"1\" failures=\"1\" errors=\"0\" skipped=\"0\" time=\"0.000\">\n"
      "  <testcase name=\"a&lt;b\" classname=\"zelk_sim\" time=\"0.000\">\n"
      "    <failure message=\"the run did not finish\" type=\"unfinished\">the run did not finish</failure>\n"
      "    <system-out></system-out>\n"
      "  </testcase>\n"
      "</testsuite>\n",
      junit_unfinished_report("a<b"));
}

}  // namespace
