#include <gtest/gtest.h>

#include <string>

#include "run_control/cases.h"
#include "run_control/junit.h"
#include "run_control/verdict.h"

namespace {

// The cases read from |output|, fed in pieces of |piece| bytes, each piece
// a second after the one before: one line a case, "P", "F" or "S", the
// suite and name, the place, the message and the time; then how the run
// stood.
std::string read_cases(const char* format, const std::string& output, size_t piece = 1 << 20) {
  const CaseFormat* f = find_case_format(format);
  if (!f) return "no format";
  CaseReader reader(*f);
  double now = 0;
  for (size_t at = 0; at < output.size(); at += piece)
    reader.feed(output.data() + at, std::min(piece, output.size() - at), ++now);
  const bool summary = reader.summary_seen();
  reader.end_of_output(++now);
  std::string text;
  char seconds[16];
  for (const CaseResult& c : *reader.finished()) {
    snprintf(seconds, sizeof seconds, "%g", c.seconds);
    text += std::string(1, "PFS"[static_cast<int>(c.outcome)]) + " " + c.suite + "/" + c.name;
    if (!c.file.empty()) text += " @" + c.file + ":" + std::to_string(c.line);
    if (!c.message.empty()) text += " \"" + c.message + "\"";
    text += " " + std::string(seconds) + "\n";
  }
  if (!summary) return text + "no summary, after " + reader.last_finished() + ", in " + reader.running();
  return text + case_counts_text(reader.counts()) + "; " + reader.disagreement();
}

// Rule: each framework's own output, as it printed it here or as its
// documentation shows it, is read into its cases: pass, fail with place and
// message, skip with reason, the framework's time or the time between
// lines; the summary agrees with them, or says how it does not.
TEST(CaseFormatTest, FrameworksOutputReadsAsItsCases) {
  const struct {
    const char* format;
    std::string output;
    std::string cases;
  } rows[] = {
      // Unity, plain, with colour, with execution times, CR LF.
      {"unity",
       "boot\ntest/t.c:20:test_add:PASS\ntest/t.c:30:test_sum:FAIL: Expected 1 Was 0\n"
       "test/t.c:62:test_io:IGNORE: later\n-----------------------\n3 Tests 1 Failures 1 Ignored \nFAIL\n",
       "P test/t.c/test_add @test/t.c:20 1\nF test/t.c/test_sum @test/t.c:30 \"Expected 1 Was 0\" 0\n"
       "S test/t.c/test_io @test/t.c:62 \"later\" 0\n3 cases: 1 passed, 1 failed, 1 skipped; "},
      {"unity",
       "t.c:5:test_a:\x1b[42mPASS\x1b[0m (3 ms)\r\nt.c:9:test_b:IGNORE\r\n"
       "2 Tests 0 Failures 1 Ignored\r\n\x1b[42mOK\x1b[0m\r\n",
       "P t.c/test_a @t.c:5 0.003\nS t.c/test_b @t.c:9 0\n2 cases: 1 passed, 0 failed, 1 skipped; "},
      // Unity's fixture runner, verbose.
      {"unity",
       "Unity test run 1 of 1\nTEST(Flash, Erase) PASS\nTEST(Flash, Write)test/f.c:41::FAIL: Expected 1 Was 0\n"
       "TEST(Flash, Later)test/f.c:50::IGNORE\n\n-----------------------\n3 Tests 0 Failures 1 Ignored \nOK\n",
       "P Flash/Erase 0\nF Flash/Write @test/f.c:41 \"Expected 1 Was 0\" 0\nS Flash/Later @test/f.c:50 0\n"
       "3 cases: 1 passed, 1 failed, 1 skipped; the summary says 0 failed where 1 was seen"},
      // A bare OK is no summary; the run stops inside a case.
      {"unity", "OK\nTEST(Flash, Erase) PASS\nTEST(Flash, Write)",
       "P Flash/Erase 0\nno summary, after Erase, in Write"},
      // GoogleTest 1.12, colour on.
      {"gtest",
       "\x1b[0;32m[ RUN      ] \x1b[mChecksum.Empty\n\x1b[0;32m[       OK ] \x1b[mChecksum.Empty (0 ms)\n"
       "\x1b[0;32m[ RUN      ] \x1b[mChecksum.OfHeader\nchatter\ng.cc:4: Failure\n"
       "Expected equality of these values:\n  5\n  4\nheader sum\n"
       "\x1b[0;31m[  FAILED  ] \x1b[mChecksum.OfHeader (7 ms)\n\x1b[0;32m[ RUN      ] \x1b[mChecksum.Later\n"
       "g.cc:5: Skipped\nno flash\n\x1b[0;32m[  SKIPPED ] \x1b[mChecksum.Later (0 ms)\n"
       "\x1b[0;32m[==========] \x1b[m3 tests from 1 test suite ran. (0 ms total)\n",
       "P Checksum/Empty 0\nF Checksum/OfHeader @g.cc:4 \"Expected equality of these values:\n5\n4\n"
       "header sum\" 0.007\nS Checksum/Later @g.cc:5 \"no flash\" 0\n3 cases: 1 passed, 1 failed, 1 skipped; "},
      {"gtest", "[ RUN      ] Inst/P.Works/0\n[       OK ] Inst/P.Works/0, where GetParam() = 5 (1 ms)\n"
       "[==========] 2 tests from 1 test suite ran. (1 ms total)\n",
       "P Inst/P/Works/0 0.001\n1 case: 1 passed, 0 failed, 0 skipped; the summary says 2 tests where 1 was seen"},
      // CppUTest 4.0 -v, colour on.
      {"cpputest",
       "IGNORE_TEST(Flash, Later) - 0 ms\nTEST(Flash, Write)chatter\n"
       "u.cpp:6: error: Failure in TEST(Flash, Write)\n\tLONGS_EQUAL(5, 4) failed\n\texpected <5 (0x5)>\n\n"
       " - 1 ms\nTEST(Flash, Erase) - 0 ms\n\n"
       "\x1b[31;1mErrors (1 failures, 3 tests, 2 ran, 2 checks, 1 ignored, 0 filtered out, 1 ms)\x1b[m\n",
       "S Flash/Later 0\nF Flash/Write @u.cpp:6 \"LONGS_EQUAL(5, 4) failed\nexpected <5 (0x5)>\" 0.001\n"
       "P Flash/Erase 0\n3 cases: 1 passed, 1 failed, 1 skipped; "},
      {"cpputest", "TEST(A, B) - 0 ms\nOK (2 tests, 2 ran, 2 checks, 0 ignored, 0 filtered out, 0 ms)\n",
       "P A/B 0\n1 case: 1 passed, 0 failed, 0 skipped; the summary says 2 ran where 1 was seen"},
      // cmocka 1.1 in TAP: the plan first, the skip's name after SKIP.
      {"tap",
       "1..3\nok 1 - t_add\nnot ok 2 - t_sub\n# 0x5 != 0x4\n# c.c:7: error: Failure!\n"
       "not ok 3 # SKIP t_skip\n# not ok - arith\n",
       "P /t_add 1\nF /t_sub @c.c:7 \"0x5 != 0x4\nc.c:7: error: Failure!\" 0\nS /t_skip 0\n"
       "3 cases: 1 passed, 1 failed, 1 skipped; "},
      // TAP 14: the plan last, TODO, a directive with a reason.
      {"tap", "TAP version 14\nok - a # skip no disk\nnot ok 2 b # TODO later\nok 3 c\n1..3\n",
       "S /a \"no disk\" 1\nS /b \"TODO later\" 0\nP /c 0\n3 cases: 1 passed, 0 failed, 2 skipped; "},
      {"tap", "1..4\nok 1\nBail out! no board\n", "P /#1 1\n1 case: 1 passed, 0 failed, 0 skipped; "},
      // Zephyr's ztest, as its documentation shows it.
      {"ztest",
       "Running TESTSUITE framework_tests\n"
       "===================================================================\nSTART - test_assert\n"
       " PASS - test_assert in 0.001 seconds\nSTART - test_fail\n"
       "    Assertion failed at WEST_TOPDIR/zephyr/tests/main.c:51: framework_tests_test_fail: (1 is not equal to 0)\n"
       " FAIL - test_fail in 0.005 seconds\nSTART - test_skip\n SKIP - test_skip in 0.000 seconds\n"
       "TESTSUITE framework_tests failed.\n\n------ TESTSUITE SUMMARY START ------\n\n"
       "SUITE FAIL -  33.33% [framework_tests]: pass = 1, fail = 1, skip = 1, total = 3 duration = 0.006 seconds\n"
       " - PASS - [framework_tests.test_assert] duration = 0.001 seconds\n"
       " - FAIL - [framework_tests.test_fail] duration = 0.005 seconds\n\n"
       "------ TESTSUITE SUMMARY END ------\n\nPROJECT EXECUTION FAILED\n",
       "P framework_tests/test_assert 0.001\nF framework_tests/test_fail @WEST_TOPDIR/zephyr/tests/main.c:51 "
       "\"framework_tests_test_fail: (1 is not equal to 0)\" 0.005\nS framework_tests/test_skip 0\n"
       "3 cases: 1 passed, 1 failed, 1 skipped; "},
      {"ztest", "Running TESTSUITE s\nSTART - test_a\n PASS - test_a in 0.001 seconds\nSTART - test_b\n",
       "P s/test_a 0.001\nno summary, after test_a, in test_b"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.output);
    EXPECT_EQ(row.cases, read_cases(row.format, row.output));
  }
  // Pieces of any size read as the whole does, times aside.
  const std::string gtest = rows[4].output;
  for (size_t piece : {1, 2, 7, 64})
    EXPECT_EQ(read_cases("gtest", gtest), read_cases("gtest", gtest, piece)) << piece;
  EXPECT_EQ("no format", read_cases("junit", ""));
  EXPECT_EQ("unity, gtest, cpputest, tap, ztest", case_format_names());
}

// Rule: a line longer than the reader keeps is read by its start, and
// what follows it is read as ever.
TEST(CaseFormatTest, LongLineIsCut) {
  const std::string output = "t.c:1:test_a:FAIL: " + std::string(3 * kCaseLineBytes, 'x') +
                             "\nt.c:2:test_b:PASS\n2 Tests 1 Failures 0 Ignored\nFAIL\n";
  const std::string cases = read_cases("unity", output, 1000);
  EXPECT_EQ(0u, cases.find("F t.c/test_a @t.c:1 \"xxx")) << cases;
  EXPECT_NE(std::string::npos, cases.find("\nP t.c/test_b @t.c:2 0\n2 cases: 1 passed, 1 failed, 0 skipped; "));
}

// Rule: with --cases a run passes only by a summary that agrees and no
// failed case; without its summary it says where it stood.
TEST(CaseFormatTest, VerdictFollowsTheSummary) {
  const struct {
    std::string output;
    RunEnd::Cause cause;
    int status;
    std::string reason;
  } rows[] = {
      {"t.c:1:a:PASS\n1 Tests 0 Failures 0 Ignored\nOK\n", RunEnd::Cause::kSummarySeen, 0,
       "1 case: 1 passed, 0 failed, 0 skipped"},
      {"t.c:1:a:PASS\n2 Tests 0 Failures 0 Ignored\nOK\n", RunEnd::Cause::kSummarySeen, 1,
       "1 case: 1 passed, 0 failed, 0 skipped; the summary says 2 tests where 1 was seen"},
      {"t.c:1:a:FAIL\n1 Tests 1 Failures 0 Ignored\nFAIL\n", RunEnd::Cause::kSummarySeen, 1,
       "1 case: 0 passed, 1 failed, 0 skipped"},
      {"TEST(G, add_negative) PASS\nTEST(G, checksum)", RunEnd::Cause::kEndedByItself, 1,
       "ended after add_negative, in checksum: the simulator ended after 2.0 s before the summary"},
      {"", RunEnd::Cause::kTimedOut, 124, "ended before any case ended: timeout after 5 s before the summary"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.output);
    RunControl control;
    control.cases = "unity";
    control.timeout_text = "5";
    CaseReader reader(*find_case_format("unity"));
    reader.feed(row.output.data(), row.output.size(), 1);
    reader.end_of_output(2);
    RunEnd end;
    end.cause = row.cause;
    end.seconds = 2;
    end.cases = &reader;
    const Verdict v = judge_run(control, end);
    EXPECT_EQ(row.status, v.status);
    EXPECT_EQ(row.reason, v.reason);
  }
}

// Rule: a failed case's testcase holds its class, place and message as XML
// can hold them.
TEST(CaseFormatTest, CaseInTheReport) {
  CaseResult c;
  c.name = "test_<a>";
  c.file = "t.c";
  c.line = 17;
  c.message = "Expected 5 Was 4";
  c.outcome = CaseOutcome::kFailed;
  EXPECT_EQ("  <testcase name=\"test_&lt;a&gt;\" classname=\"app\" time=\"0.000\">\n"
            "    <failure message=\"t.c:17: Expected 5 Was 4\" type=\"failure\">t.c:17: Expected 5 Was 4"
            "</failure>\n  </testcase>\n",
            junit_case(c, "app"));
  // Line breaks stay line breaks through a parser, in attributes too.
  c.message = "one\ntwo\tthree";
  EXPECT_NE(std::string::npos, junit_case(c, "app").find("message=\"t.c:17: one&#10;two&#9;three\""));
}

}  // namespace
