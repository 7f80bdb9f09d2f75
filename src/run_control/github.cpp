#include "run_control/github.h"

#include <cstring>

#include "run_control/case_list.h"

namespace {

// The most bytes of a message a table cell shows.
constexpr size_t kCellBytes = 200;

std::string place(const CaseResult& c) {
  return c.file.empty() ? "" : c.file + ":" + std::to_string(c.line);
}

std::string escaped(std::string_view text, bool property) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '%': out += "%25"; break;
      case '\r': out += "%0D"; break;
      case '\n': out += "%0A"; break;
      case ':': out += property ? "%3A" : ":"; break;
      case ',': out += property ? "%2C" : ","; break;
      default: out.push_back(c);
    }
  }
  return out;
}

}  // namespace

std::string markdown_text(std::string_view text) {
  std::string_view shown = text.substr(0, kCellBytes);
  // Never half a UTF-8 character.
  if (shown.size() < text.size())
    while (!shown.empty() && (static_cast<unsigned char>(text[shown.size()]) & 0xC0) == 0x80)
      shown.remove_suffix(1);
  std::string out;
  for (char c : shown) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (c == '\r' || c == '\n' || c == '\t') {
      out.push_back(' ');
    } else if (u < 0x20 || u == 0x7F) {
      // Control bytes have no place on a page.
    } else if (strchr("\\`*_[]<>|~&!#$()", c) || (out.empty() && strchr("-+=", c))) {
      out.push_back('\\');
      out.push_back(c);
    } else {
      out.push_back(c);
    }
  }
  if (shown.size() < text.size()) out += "...";
  return out;
}

std::string workflow_data(std::string_view text) { return escaped(text, false); }
std::string workflow_property(std::string_view text) { return escaped(text, true); }

std::string github_summary(const std::string& name, const Verdict& verdict, const CaseCounts* counts,
                           const std::vector<CaseResult>& failed, uint64_t failed_total) {
  const std::string outcome = verdict.setup_problem ? " was not tested (status " : " failed (status ";
  std::string md = verdict.passed ? "### \xE2\x9C\x85 " + markdown_text(name) + " passed\n\n"
                                  : "### \xE2\x9D\x8C " + markdown_text(name) + outcome +
                                        std::to_string(verdict.status) + ")\n\n";
  if (!verdict.reason.empty()) md += markdown_text(verdict.reason) + "\n\n";
  if (counts) md += markdown_text(case_counts_text(*counts)) + "\n\n";
  if (failed.empty()) return md;
  md += "| Case | Place | Message |\n|------|-------|---------|\n";
  for (size_t i = 0; i < failed.size() && i < kSummaryFailures; ++i) {
    const CaseResult& c = failed[i];
    md += "| " + markdown_text(case_display_name(c)) + " | " + markdown_text(place(c)) + " | " +
          markdown_text(c.message) + " |\n";
  }
  const uint64_t shown = failed.size() < kSummaryFailures ? failed.size() : kSummaryFailures;
  if (failed_total > shown) md += "\nand " + std::to_string(failed_total - shown) + " more\n";
  return md + "\n";
}

std::string github_annotations(const std::vector<CaseResult>& failed) {
  std::string lines;
  size_t given = 0;
  for (const CaseResult& c : failed) {
    if (c.file.empty() || c.outcome != CaseOutcome::kFailed) continue;
    if (given++ == kMostAnnotations) break;
    lines += "::error file=" + workflow_property(c.file) + ",line=" + std::to_string(c.line) +
             ",title=" + workflow_property(case_display_name(c)) +
             "::" + workflow_data(c.message.empty() ? "failed" : c.message) + "\n";
  }
  return lines;
}
