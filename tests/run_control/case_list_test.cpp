#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "run_control/case_list.h"
#include "run_control/cases.h"
#include "run_control/github.h"

namespace {

// The list |list_text| checked against Unity's |output| of a run that ended
// by |cause|: the missing testcases ("name=message;"), then the reason.
std::string check(const std::string& list_text, const std::string& output, RunEnd::Cause cause) {
  std::vector<ListedCase> list;
  std::string problem;
  if (!parse_case_list(list_text, &list, &problem)) return problem;
  CaseReader reader(*find_case_format("unity"));
  reader.feed(output.data(), output.size(), 1);
  reader.end_of_output(2);
  CaseListCheck listed(list);
  for (const CaseResult& c : *reader.finished()) listed.see(c);
  RunEnd end;
  end.cause = cause;
  end.cases = &reader;
  Verdict v;
  v.passed = reader.summary_seen();
  v.status = v.passed ? 0 : 99;
  v.reason = v.passed ? "3 cases" : "the simulator ended";
  const ListJudgement j = listed.judge(end, reader, "the simulator ended", &v);
  std::string text;
  for (const CaseResult& c : j.missing) text += c.suite + "/" + c.name + "=" + c.message + ";";
  return text + " " + std::to_string(v.status) + " " + v.reason + (j.ending_in_a_case ? " [held]" : "") +
         " unlisted " + std::to_string(j.unlisted);
}

// Rule: listed cases the run never gave fail as "did not run"; where the
// run ended before its summary, the first listed case after the last one
// that finished holds the ending, and the reason names both; a case given
// that the list lacks is counted; a list is names or an earlier report.
TEST(CaseListTest, ListedCasesAgainstTheRun) {
  const std::string five = "test_a\ntest_b  # the second\n\n test_c\r\ntest_d\ntest_e\n";
  const std::string two_passed = "t.c:1:test_a:PASS\nt.c:2:test_b:PASS\n";
  const std::string summary = "\n-----------------------\n3 Tests 0 Failures 0 Ignored \nOK\n";
  const struct {
    std::string list, output;
    RunEnd::Cause cause;
    std::string result;
  } rows[] = {
      // A crash in the 3rd of 5.
      {five, two_passed + "t.c:3:test_c", RunEnd::Cause::kEndedByItself,
       "/test_c=the simulator ended;/test_d=did not run;/test_e=did not run; 99 crashed in test_c "
       "(the next listed case after test_b): the simulator ended; 2 listed cases did not run [held] "
       "unlisted 0"},
      // A hang before any case ended.
      {"test_a\ntest_b\n", "boot\n", RunEnd::Cause::kTimedOut,
       "/test_a=the simulator ended;/test_b=did not run; 99 hung in test_a (the first listed case): "
       "the simulator ended; 1 listed case did not run [held] unlisted 0"},
      // A case dropped from a run that passes otherwise; one not listed.
      {"test_a\ntest_gone\ntest_b\n", two_passed + "t.c:3:test_x:PASS\n" + summary,
       RunEnd::Cause::kSummarySeen, "/test_gone=did not run; 1 3 cases; 1 listed case did not run unlisted 1"},
      // A list from a report: its testcases but the run's own, names
      // unescaped, "suite.name" lines matching too.
      {"<?xml version=\"1.0\"?>\n<testsuite>\n  <testcase name=\"test_a\" classname=\"t.c\" time=\"0\"/>\n"
       "  <testcase classname='t.c' name='test_&lt;b&gt;'/>\n"
       "  <testcase name=\"app\" classname=\"zelk_sim\"><failure/></testcase>\n</testsuite>\n",
       "t.c:1:test_a:PASS\n" + summary, RunEnd::Cause::kSummarySeen,
       "t.c/test_<b>=did not run; 1 3 cases; 1 listed case did not run unlisted 0"},
      {"t.c.test_a\nt.c.test_b\n", two_passed + summary, RunEnd::Cause::kSummarySeen, " 0 3 cases unlisted 0"},
      // Nothing listed is no list.
      {"# nothing\n\n", "", RunEnd::Cause::kSummarySeen, "it lists no case"},
      {"<testsuite tests=\"0\"/>", "", RunEnd::Cause::kSummarySeen, "it lists no case"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.list);
    EXPECT_EQ(row.result, check(row.list, row.output, row.cause));
  }
}

// Rule: the job summary is the verdict, the counts and a table of the
// failed cases, at most kSummaryFailures, whose cells hold their text
// whatever it is; annotations name each failed case's place and escape
// what workflow commands require.
TEST(GithubTest, SummaryAndAnnotations) {
  std::vector<CaseResult> failed(kSummaryFailures + 2);
  failed[0] = {"test/t.c", "test_sum", "test/t.c", "Expected 5 Was 4", 17, CaseOutcome::kFailed, 0};
  failed[1] = {"Flash", "Write", "f,1:c", "100% off: a|b\r\nnext <b>", 9, CaseOutcome::kFailed, 0};
  const CaseCounts counts{2, 60, 0};
  const std::string md = github_summary("unit", {1, false, "62 cases", false}, &counts, failed, 60);
  EXPECT_EQ(0u, md.find("### \xE2\x9D\x8C unit failed (status 1)\n\n62 cases\n\n"
                        "62 cases: 2 passed, 60 failed, 0 skipped\n\n| Case | Place | Message |\n"
                        "|------|-------|---------|\n| test\\_sum | test/t.c:17 | Expected 5 Was 4 |\n"
                        "| Flash.Write | f,1:c:9 | 100% off: a\\|b  next \\<b\\> |\n|  |  |  |\n"))
      << md;
  EXPECT_EQ("|  |  |  |\n\nand 10 more\n\n", md.substr(md.size() - 25));
  EXPECT_EQ("::error file=test/t.c,line=17,title=test_sum::Expected 5 Was 4\n"
            "::error file=f%2C1%3Ac,line=9,title=Flash.Write::100%25 off: a|b%0D%0Anext <b>\n",
            github_annotations(failed));
  EXPECT_EQ("### \xE2\x9D\x8C unit was not tested (status 2)\n\nno ELF\n\n",
            github_summary("unit", {2, false, "no ELF", true}, nullptr, {}, 0));
  EXPECT_EQ("### \xE2\x9C\x85 unit passed\n\n\"PASS\" seen after 1.0 s\n\n",
            github_summary("unit", {0, true, "\"PASS\" seen after 1.0 s", false}, nullptr, {}, 0));
}

}  // namespace
