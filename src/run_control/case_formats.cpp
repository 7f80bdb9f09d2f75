// The test frameworks' console output, each a table of line patterns, as
// each framework documents and prints it. Colour codes are gone before a
// line is matched.
#include <cstring>

#include "run_control/cases.h"

namespace {

using K = LineKind;
using O = CaseOutcome;

// Unity: "FILE:LINE:NAME:PASS", ":FAIL: MESSAGE", ":IGNORE[: MESSAGE]",
// each with " (N ms)" when execution times are on; then
// "N Tests F Failures I Ignored" and "OK" or "FAIL". The fixture runner's
// verbose form starts a case with "TEST(Group, Name)" and puts the result
// after it: " PASS", or the failure with an empty name.
// The plain form's rows are kept one-pass (at every byte one way on), so
// that RE2 reads their groups in one sweep: a million results cost little.
#define UNITY_PLACE "(?P<file>[^:]+):(?P<line>[0-9]+):(?P<name>[^:]*):"
#define UNITY_FIXTURE "^TEST\\([^)]*\\)" UNITY_PLACE
#define MS_AT_END "(?: \\((?P<ms>[0-9]+) ms\\))?$"
const CaseFormatTable kUnity = {
    "unity",
    "AOT",
    {
        {K::kStart, O::kPassed, "^TEST\\((?P<suite>[^,]+), (?P<name>[^)]*)\\)"},
        {K::kEnd, O::kFailed, UNITY_FIXTURE "FAIL(?:: ?(?P<message>.*?))?" MS_AT_END},
        {K::kEnd, O::kSkipped, UNITY_FIXTURE "IGNORE(?:: ?(?P<message>.*?))?" MS_AT_END},
        {K::kEnd, O::kPassed, "^TEST\\([^)]*\\) ?PASS" MS_AT_END},
        {K::kEnd, O::kPassed, "^ ?PASS" MS_AT_END},
        {K::kEnd, O::kPassed, "^" UNITY_PLACE "PASS" MS_AT_END},
        {K::kEnd, O::kFailed, "^" UNITY_PLACE "FAIL(?:: ?(?P<message>.*?))?" MS_AT_END},
        {K::kEnd, O::kSkipped, "^" UNITY_PLACE "IGNORE(?:: ?(?P<message>.*?))?" MS_AT_END},
        {K::kCounts, O::kSkipped,
         "^(?P<tests>[0-9]+) Tests (?P<failures>[0-9]+) Failures (?P<skipped>[0-9]+) Ignored\\s*$"},
        {K::kSummaryEnd, O::kPassed, "^OK\\s*$"},
        {K::kSummaryEnd, O::kFailed, "^FAIL\\s*$"},
    },
};

// GoogleTest: "[ RUN      ] Suite.Name", then "[       OK ]",
// "[  FAILED  ]" or "[  SKIPPED ]" with the time; the failure's text
// follows "FILE:LINE: Failure". The summary is
// "[==========] N tests from M test suites ran."
#define GTEST_CASE "(?P<suite>[^.\\s]+)\\.(?P<name>[^\\s,]+)(?:, where .*)? \\((?P<ms>[0-9]+) ms\\)"
const CaseFormatTable kGtest = {
    "gtest",
    "[FS",
    {
        {K::kStart, O::kPassed, "^\\[ RUN +\\] (?P<suite>[^.\\s]+)\\.(?P<name>[^\\s,]+)"},
        {K::kPlace, O::kFailed, "^(?P<file>.+?):(?P<line>[0-9]+): Failure\\s*$"},
        {K::kPlace, O::kSkipped, "^(?P<file>.+?):(?P<line>[0-9]+): Skipped\\s*$"},
        {K::kEnd, O::kPassed, "^\\[ +OK \\] " GTEST_CASE},
        {K::kEnd, O::kFailed, "^\\[  FAILED  \\] " GTEST_CASE},
        {K::kEnd, O::kSkipped, "^\\[  SKIPPED \\] " GTEST_CASE},
        {K::kCounts, O::kSkipped,
         "^\\[=+\\] (?P<tests>[0-9]+) tests? from [0-9]+ test (?:suites?|cases?) ran\\."},
    },
    true,
};

// CppUTest with -v: "TEST(Group, Name)" ... " - N ms" ("IGNORE_TEST" for
// one ignored); a failure is "FILE:LINE: error: Failure in TEST(Group,
// Name)" and indented lines. The summary: "OK (N tests, R ran, ...)" or
// "Errors (F failures, N tests, R ran, C checks, I ignored, ...)".
const CaseFormatTable kCppUTest = {
    "cpputest",
    "(-",
    {
        {K::kStart, O::kPassed, "^TEST\\((?P<suite>[^,]+), (?P<name>[^)]*)\\)"},
        {K::kStart, O::kPassed, "^IGNORE_TEST\\((?P<suite>[^,]+), (?P<name>[^)]*)\\)"},
        {K::kPlace, O::kFailed, "^(?P<file>.+?):(?P<line>[0-9]+): error: Failure in TEST\\("},
        {K::kEnd, O::kSkipped, "^IGNORE_TEST\\(.*- (?P<ms>[0-9]+) ms\\s*$"},
        {K::kEnd, O::kPassed, "(?:^|[ )])- (?P<ms>[0-9]+) ms\\s*$"},
        {K::kCounts, O::kPassed,
         "^OK \\([0-9]+ tests?, (?P<ran>[0-9]+) ran, [0-9]+ checks?, (?P<skipped>[0-9]+) ignored"},
        {K::kCounts, O::kFailed,
         "^Errors \\((?P<failures>[0-9]+) failures?, [0-9]+ tests?, (?P<ran>[0-9]+) ran, [0-9]+ checks?, "
         "(?P<skipped>[0-9]+) ignored"},
    },
    true,
};

// TAP 13 and 14: "1..N" before or after the results, "ok N - name",
// "not ok N - name", the directives "# SKIP" and "# TODO", "Bail out!",
// and "#" lines explaining a failure after it. cmocka writes a skipped
// case "not ok 4 # SKIP name".
#define TAP_RESULT "(?:ok|not ok)\\b(?: *[0-9]+)?(?: *-)? *(?P<name>[^#]*?) *#"
const CaseFormatTable kTap = {
    "tap",
    "k#.B",
    {
        {K::kEnd, O::kSkipped, "^" TAP_RESULT " *(?i:skip)\\S* *(?P<message>.*)$"},
        {K::kEnd, O::kSkipped,
         "^not ok\\b(?: *[0-9]+)?(?: *-)? *(?P<name>[^#]*?) *# *(?P<message>(?i:todo)\\b.*)$"},
        {K::kEnd, O::kPassed, "^ok\\b(?: *[0-9]+)?(?: *-)? *(?P<name>[^#]*?) *(?:#.*)?$"},
        {K::kEnd, O::kFailed, "^not ok\\b(?: *[0-9]+)?(?: *-)? *(?P<name>[^#]*?) *(?:#.*)?$"},
        {K::kPlace, O::kFailed, "^# *(?P<file>[^:\\s]+):(?P<line>[0-9]+):"},
        {K::kNote, O::kFailed, "^#(?P<message>.*)$"},
        {K::kPlan, O::kPassed, "^1\\.\\.(?P<tests>[0-9]+)"},
        {K::kBail, O::kFailed, "^Bail out!(?P<message>.*)$"},
    },
    false,
    true,
};

// Zephyr's ztest: "Running TESTSUITE name", "START - name",
// " PASS - name in S seconds" (FAIL, SKIP), the assertion line before a
// failure, the "SUITE PASS - ...: pass = P, fail = F, skip = S, total = T"
// lines of the summary, and "PROJECT EXECUTION SUCCESSFUL" or "FAILED".
const CaseFormatTable kZtest = {
    "ztest",
    "-TA",
    {
        {K::kSuite, O::kPassed, "^Running TESTSUITE (?P<suite>\\S+)"},
        {K::kStart, O::kPassed, "^START - (?P<name>\\S+)"},
        {K::kPlace, O::kFailed,
         "Assertion failed at (?P<file>[^:]+(?::[^:0-9][^:]*)?):(?P<line>[0-9]+): (?P<message>.*)$"},
        {K::kEnd, O::kPassed, "^ ?PASS - (?P<name>\\S+) in (?P<seconds>[0-9.]+) seconds"},
        {K::kEnd, O::kFailed, "^ ?FAIL - (?P<name>\\S+) in (?P<seconds>[0-9.]+) seconds"},
        {K::kEnd, O::kSkipped, "^ ?SKIP - (?P<name>\\S+) in (?P<seconds>[0-9.]+) seconds"},
        {K::kCounts, O::kSkipped,
         "^SUITE (?:PASS|FAIL|SKIP) - .*: pass = (?P<passed>[0-9]+), fail = (?P<failures>[0-9]+), "
         "skip = (?P<skipped>[0-9]+), total = (?P<tests>[0-9]+)"},
        {K::kSummaryEnd, O::kPassed, "^PROJECT EXECUTION SUCCESSFUL"},
        {K::kSummaryEnd, O::kFailed, "^PROJECT EXECUTION FAILED"},
    },
};

const CaseFormatTable* const kTables[] = {&kUnity, &kGtest, &kCppUTest, &kTap, &kZtest};

}  // namespace

const CaseFormat* find_case_format(const std::string& word) {
  // Compiled once, the first time each is asked for.
  static CaseFormat formats[sizeof kTables / sizeof kTables[0]];
  static bool compiled[sizeof kTables / sizeof kTables[0]] = {};
  for (size_t i = 0; i < sizeof kTables / sizeof kTables[0]; ++i) {
    if (word != kTables[i]->name) continue;
    std::string problem;
    if (!compiled[i]) compiled[i] = formats[i].compile(*kTables[i], &problem);
    return compiled[i] ? &formats[i] : nullptr;
  }
  return nullptr;
}

std::string case_format_names() {
  std::string names;
  for (const CaseFormatTable* table : kTables) names += (names.empty() ? "" : ", ") + std::string(table->name);
  return names;
}
