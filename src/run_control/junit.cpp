#include "run_control/junit.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string_view>

namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

// The length of the well-formed UTF-8 sequence at |p| holding a character
// XML 1.0 allows, or 0.
size_t allowed_sequence(const unsigned char* p, size_t left) {
  const unsigned char c = p[0];
  size_t len;
  uint32_t code;
  if (c < 0x80) {
    len = 1;
    code = c;
  } else if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
    code = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    code = c & 0x0F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    code = c & 0x07;
  } else {
    return 0;
  }
  if (len > left) return 0;
  for (size_t i = 1; i < len; ++i) {
    if ((p[i] & 0xC0) != 0x80) return 0;
    code = code << 6 | (p[i] & 0x3F);
  }
  // Overlong forms, surrogates and what lies past Unicode are not UTF-8.
  if ((len == 3 && code < 0x800) || (len == 4 && (code < 0x10000 || code > 0x10FFFF)) ||
      (code >= 0xD800 && code <= 0xDFFF))
    return 0;
  const bool allowed = code == 0x9 || code == 0xA || code == 0xD || (code >= 0x20 && code != 0xFFFE && code != 0xFFFF);
  return allowed ? len : 0;
}

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

std::string xml_text(const std::string& text) {
  std::string out;
  append_xml_text(text, &out);
  return out;
}

namespace {

void append_escaped(std::string_view text, bool attribute, std::string* out) {
  // Most text is plain printable ASCII, which stays as it is.
  const bool plain = std::all_of(text.begin(), text.end(), [](char c) {
    return c >= 0x20 && c < 0x7F && c != '&' && c != '<' && c != '>' && c != '"';
  });
  if (plain) {
    out->append(text.data(), text.size());
    return;
  }
  out->reserve(out->size() + text.size());
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text.data());
  for (size_t at = 0; at < text.size();) {
    const size_t len = allowed_sequence(p + at, text.size() - at);
    if (len == 0) {
      *out += kReplacement;
      ++at;
      continue;
    }
    switch (p[at]) {
      case '&': *out += "&amp;"; break;
      case '<': *out += "&lt;"; break;
      case '>': *out += "&gt;"; break;
      case '"': *out += "&quot;"; break;
      // A parser would turn a bare carriage return into a line feed.
      case '\r': *out += "&#13;"; break;
      case '\n': *out += attribute ? "&#10;" : "\n"; break;
      case '\t': *out += attribute ? "&#9;" : "\t"; break;
      default: out->append(text.data() + at, len);
    }
    at += len;
  }
}

}  // namespace

void append_xml_text(std::string_view text, std::string* out) { append_escaped(text, false, out); }

void append_xml_attribute(std::string_view text, std::string* out) {
  append_escaped(text, true, out);
}

std::string xml_attribute(const std::string& text) {
  std::string out;
  append_xml_attribute(text, &out);
  return out;
}

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
