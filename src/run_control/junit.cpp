#include "run_control/junit.h"

#include <cstdint>
#include <cstdio>

namespace {

// "1.234": to the millisecond, by hand: the C library's float formatting
// cost more than the rest of a case's testcase.
void append_seconds(double seconds, std::string* out) {
  constexpr double kMostMs = 1e15;  // about 31,000 years
  const double ms_value = seconds > 0 ? seconds * 1000 + 0.5 : 0;
  const uint64_t ms = static_cast<uint64_t>(ms_value < kMostMs ? ms_value : kMostMs);
  char digits[24];
  size_t at = sizeof digits;
  uint64_t rest = ms;
  for (int i = 0; i < 3; ++i, rest /= 10) digits[--at] = static_cast<char>('0' + rest % 10);
  digits[--at] = '.';
  do {
    digits[--at] = static_cast<char>('0' + rest % 10);
    rest /= 10;
  } while (rest);
  out->append(digits + at, sizeof digits - at);
}

std::string seconds_value(double seconds) {
  std::string text;
  append_seconds(seconds, &text);
  return text;
}

// A failure of the firmware, or an error of the setup (|element|).
struct Problem {
  std::string element, message, type;
};

// One testsuite holding one testcase; with no |problem| element it passed.
std::string report(const std::string& name, double seconds, const Problem& problem,
                   const std::string& tail, const std::string& steps) {
  const std::string time = seconds_value(seconds);
  auto count = [&](const char* element) { return problem.element == element ? "1" : "0"; };
  std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  xml += "<testsuite name=\"zelk_sim\" tests=\"1\" failures=\"" + std::string(count("failure")) +
         "\" errors=\"" + count("error") + "\" skipped=\"0\" time=\"" + time + "\">\n";
  xml += "  <testcase name=\"" + xml_attribute(name) + "\" classname=\"zelk_sim\" time=\"" + time +
         "\">\n";
  if (!problem.element.empty())
    xml += "    <" + problem.element + " message=\"" + xml_attribute(problem.message) + "\" type=\"" +
           problem.type + "\">" + xml_text(problem.message) + "</" + problem.element + ">\n";
  xml += "    <system-out>" + xml_text(tail) + "</system-out>\n";
  if (!steps.empty()) xml += "    <system-err>" + xml_text(steps) + "</system-err>\n";
  xml += "  </testcase>\n</testsuite>\n";
  return xml;
}

}  // namespace

std::string junit_report(const std::string& name, double seconds, const Verdict& verdict,
                         const std::string& tail, const std::string& steps) {
  Problem problem;
  if (!verdict.passed)
    problem = {verdict.setup_problem ? "error" : "failure", verdict.reason,
               "status " + std::to_string(verdict.status)};
  return report(name, seconds, problem, tail, steps);
}

std::string junit_cases_head(const std::string& name, double seconds, const CaseCounts& counts) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuite name=\"" + xml_attribute(name) +
         "\" tests=\"" + std::to_string(counts.total()) + "\" failures=\"" +
         std::to_string(counts.failed) + "\" errors=\"0\" skipped=\"" +
         std::to_string(counts.skipped) + "\" time=\"" + seconds_value(seconds) + "\">\n";
}

std::string junit_case(const CaseResult& c, const std::string& classname) {
  std::string xml;
  append_junit_case(c, classname, &xml);
  return xml;
}

void append_junit_case(const CaseResult& c, const std::string& classname, std::string* xml) {
  *xml += "  <testcase name=\"";
  append_xml_attribute(c.name, xml);
  *xml += "\" classname=\"";
  append_xml_attribute(c.suite.empty() ? classname : c.suite, xml);
  *xml += "\" time=\"";
  append_seconds(c.seconds, xml);
  if (c.outcome == CaseOutcome::kPassed) {
    *xml += "\"/>\n";
    return;
  }
  *xml += '"';
  std::string text = c.message;
  if (!c.file.empty()) {
    const std::string place = c.file + ":" + std::to_string(c.line);
    text = text.empty() ? place : place + ": " + text;
  }
  const bool failed = c.outcome == CaseOutcome::kFailed;
  *xml += failed ? ">\n    <failure message=\"" : ">\n    <skipped message=\"";
  append_xml_attribute(text, xml);
  *xml += '"';
  if (!failed) {
    *xml += "/>\n  </testcase>\n";
    return;
  }
  *xml += " type=\"failure\">";
  append_xml_text(text, xml);
  *xml += "</failure>\n  </testcase>\n";
}

std::string junit_cases_foot(const std::string& tail, const std::string& steps) {
  std::string xml = "  <system-out>" + xml_text(tail) + "</system-out>\n";
  if (!steps.empty()) xml += "  <system-err>" + xml_text(steps) + "</system-err>\n";
  return xml + "</testsuite>\n";
}

std::string junit_unfinished_report(const std::string& name) {
  return report(name, 0, {"failure", "the run did not finish", "unfinished"}, "", "");
}
