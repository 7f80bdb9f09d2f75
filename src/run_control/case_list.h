// The cases a run should have run (--cases-list), and what a run's cases
// say against them: which listed ones never ran, which one was running
// when the run ended before its summary, how many ran that the list does
// not hold. Text in, results out: no clock, no file, no process.
#ifndef ZELK_RUN_CONTROL_CASE_LIST_H_
#define ZELK_RUN_CONTROL_CASE_LIST_H_

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "run_control/cases.h"
#include "run_control/verdict.h"

// One case of the list. From a list of names the suite is empty and the
// name may be "suite.name"; from a report the suite is its classname.
struct ListedCase {
  std::string suite, name;
};

// Reads a list: a JUnit report when its first byte other than a blank is
// '<' (its testcases, but for the run's own, class zelk_sim), else one
// name a line, '#' starting a comment. False, with |*problem| set, when it
// holds no case.
bool parse_case_list(std::string_view text, std::vector<ListedCase>* list, std::string* problem);

// The listed cases that were not seen, as failed testcases, and the run's
// reason amended.
struct ListJudgement {
  std::vector<CaseResult> missing;
  // The run ended before its summary with a listed case under way, which
  // holds that ending: no testcase of the run itself is needed.
  bool ending_in_a_case = false;
  uint64_t unlisted = 0;  // cases seen that the list does not hold
};

class CaseListCheck {
 public:
  explicit CaseListCheck(std::vector<ListedCase> list);

  // A case the run gave, in the order they finished.
  void see(const CaseResult& result);

  // What the list adds to the run judged |*verdict| (|plain_reason| being
  // its reason without the cases' part), once it ended as |end| says.
  ListJudgement judge(const RunEnd& end, const CaseReader& cases, const std::string& plain_reason,
                      Verdict* verdict) const;

  uint64_t unlisted() const { return unlisted_; }

 private:
  // The first listed case not yet seen that |result| names, if any.
  std::optional<size_t> find(const std::string& suite, const std::string& name) const;

  std::vector<ListedCase> list_;
  std::vector<bool> seen_;
  std::multimap<std::string, size_t> by_name_;  // listed name -> index, in list order
  std::optional<size_t> last_seen_;              // the listed case that finished last
  uint64_t unlisted_ = 0;
};

// A case as the messages name it: "suite.name", or the name alone where
// the suite is none or the file it is in (Unity's).
std::string case_display_name(const CaseResult& c);

// The message of a listed case that never ran.
constexpr char kDidNotRun[] = "did not run";

#endif  // ZELK_RUN_CONTROL_CASE_LIST_H_
