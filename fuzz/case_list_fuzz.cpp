// A --cases-list file, untrusted bytes: a list of names or a JUnit report.
//
// Properties beyond the sanitizers' own:
// - a list read holds only cases with a name;
// - checked against a run that gave none of them and ended before its
//   summary, every listed case is missing, one of them holding the ending,
//   and the others fail the run.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "run_control/case_list.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<ListedCase> list;
  std::string problem;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (!parse_case_list(text, &list, &problem)) {
    FUZZ_CHECK(list.empty() && !problem.empty());
    return 0;
  }
  for (const ListedCase& c : list) FUZZ_CHECK(!c.name.empty());
  CaseReader reader(*find_case_format("unity"));
  reader.end_of_output(0);
  CaseListCheck check(list);
  RunEnd end;
  end.cases = &reader;
  Verdict verdict;
  const ListJudgement j = check.judge(end, reader, "ended", &verdict);
  FUZZ_CHECK(j.missing.size() == list.size() && j.ending_in_a_case);
  FUZZ_CHECK(list.size() == 1 || verdict.status == 1);
  return 0;
}
