// What a run reached, written for the tools that read coverage: an lcov
// tracefile (genhtml renders it, lcov -a merges several) and a Cobertura
// XML report (CI servers' coverage views). Every line with code counts as
// run once when it was reached, as the simulator tells translation and not
// how often; so does every function whose entry was reached.
#ifndef ZELK_COVERAGE_REPORTS_H_
#define ZELK_COVERAGE_REPORTS_H_

#include <string>

#include "coverage/line_map.h"

enum class CoverageFormat { kLcov, kCobertura };

// The format named |name|; false for none.
bool parse_coverage_format(const std::string& name, CoverageFormat* format);
// The names, as a message lists them.
const char* coverage_format_names();

std::string lcov_tracefile(const LineMap& map, const std::string& test_name);
// |timestamp| in seconds since 1970, as the format's readers expect.
std::string cobertura_report(const LineMap& map, const std::string& version, long long timestamp);

// "812 of 1204 lines (67.4%), 40 of 52 functions".
std::string coverage_summary(const LineMap& map);

#endif  // ZELK_COVERAGE_REPORTS_H_
