// What a GitHub Actions job shows of a watched run: a short Markdown
// summary for the job's page, and workflow commands that mark the failed
// cases on their source lines. Texts only; the launcher writes them.
#ifndef ZELK_RUN_CONTROL_GITHUB_H_
#define ZELK_RUN_CONTROL_GITHUB_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "run_control/cases.h"
#include "run_control/verdict.h"

// The most failed cases the summary's table holds, then "and N more".
constexpr size_t kSummaryFailures = 50;
// The most annotations one run gives.
constexpr size_t kMostAnnotations = 10;

// The summary of the test |name|: its verdict, with --cases (|counts| not
// null) the counts, and a table of |failed|, the first failed cases of
// |failed_total|.
std::string github_summary(const std::string& name, const Verdict& verdict, const CaseCounts* counts,
                           const std::vector<CaseResult>& failed, uint64_t failed_total);

// One "::error file=F,line=L,title=CASE::MESSAGE" line (with its line
// feed) for each of the first kMostAnnotations cases of |failed| that
// have a place.
std::string github_annotations(const std::vector<CaseResult>& failed);

// |text| in a Markdown paragraph or table cell: on one line, at most 200
// bytes, every character that could start markup, HTML or a cell's end
// escaped with a backslash.
std::string markdown_text(std::string_view text);

// A workflow command's message: %, CR and LF escaped as GitHub reads them.
std::string workflow_data(std::string_view text);
// A workflow command's property value: the same, and ':' and ','.
std::string workflow_property(std::string_view text);

#endif  // ZELK_RUN_CONTROL_GITHUB_H_
