// A JUnit XML report of one watched run, as CI servers read them: one
// testsuite holding one testcase.
#ifndef ZELK_RUN_CONTROL_JUNIT_H_
#define ZELK_RUN_CONTROL_JUNIT_H_

#include <string>

#include "formats/xml_text.h"  // the escaping its reports use
#include "run_control/cases.h"
#include "run_control/verdict.h"

// The console output's last bytes that go into the report.
constexpr size_t kReportTailBytes = 64 * 1024;

// The report for the test |name| (the ELF's or project's), which took
// |seconds|, judged |verdict|, whose console output ended in |tail|: a
// failure when the firmware did not pass, an error when the setup kept it
// from being tested.
// Bytes that XML cannot hold are replaced, so the report stays well formed
// whatever the simulator printed.
// |steps|, where not empty, is the conversation's record, one step a line,
// given as the test's system-err.
std::string junit_report(const std::string& name, double seconds, const Verdict& verdict,
                         const std::string& tail, const std::string& steps = "");

// The report of the test |name| while its run has started and not yet
// ended: a failure saying the run did not finish. Standing in the report's
// place from the start, it is what CI finds if the launcher is killed
// before it can write the real one.
std::string junit_unfinished_report(const std::string& name);

// A report of the firmware's own cases (--cases) is written in three
// parts, so that a million cases need not be held at once: the head, one
// testcase per case, and the foot, with the console's tail and |steps| as
// the suite's system-out and system-err.
std::string junit_cases_head(const std::string& name, double seconds, const CaseCounts& counts);
// A case of no suite is given |classname|.
std::string junit_case(const CaseResult& result, const std::string& classname);
// The same, added to the end of |xml|.
void append_junit_case(const CaseResult& result, const std::string& classname, std::string* xml);
std::string junit_cases_foot(const std::string& tail, const std::string& steps);

#endif  // ZELK_RUN_CONTROL_JUNIT_H_
