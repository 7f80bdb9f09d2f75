#include <gtest/gtest.h>

#include "launcher/case_log.h"

// Rule: at most ten failed cases are said one by one, then how many more,
// then the counts.
TEST(CaseLogTest, TenFailuresThenHowManyMore) {
  CaseLog log;
  std::vector<CaseResult> finished(12);
  for (CaseResult& c : finished) c = {"", "test_a", "t.c", "Expected\n  5", 7, CaseOutcome::kFailed, 0};
  log.take(&finished);
  CaseCounts counts;
  counts.failed = 12;
  const std::vector<std::string> lines = log.lines(counts);
  ASSERT_EQ(12u, lines.size());
  EXPECT_EQ("failed: test_a at t.c:7: Expected 5", lines[9]);
  EXPECT_EQ("and 2 more", lines[10]);
  EXPECT_EQ("12 cases: 0 passed, 12 failed, 0 skipped", lines[11]);
}
