#include "run_control/verdict.h"

#include <cstdio>

#include "run_control/cases.h"

std::string seconds_text(double seconds) {
  char text[32];
  snprintf(text, sizeof text, "%.1f s", seconds);
  return text;
}

namespace {

std::string ended_text(const RunEnd& end, bool with_status) {
  std::string text = "the simulator ended";
  if (with_status) text += " with status " + std::to_string(end.simulator_status);
  return text + " after " + seconds_text(end.seconds);
}

// Where a conversation stood: the send written last, if any.
std::string step_text(const RunControl& control, const RunEnd& end) {
  if (end.sends_written == 0) return "";
  return ", after sending " + quoted_text(control.sends[end.sends_written - 1].text);
}

// The --expect text the run was waiting for, if any.
std::string missing_text(const RunControl& control, const RunEnd& end) {
  if (end.expects_seen >= control.expect.size()) return "";
  return " before " + quoted_text(control.expect[end.expects_seen]) + " was seen" +
         step_text(control, end);
}

}  // namespace

namespace {

Verdict judge_without_cases(const RunControl& control, const RunEnd& end) {
  Verdict v;
  const std::string after = " after " + seconds_text(end.seconds);
  switch (end.cause) {
    case RunEnd::Cause::kExpectSeen:
      v.passed = true;
      v.reason = quoted_text(control.expect.back()) + " seen" + after;
      return v;
    case RunEnd::Cause::kFailSeen:
      v.status = 1;
      v.reason = quoted_text(control.fail[end.fail_index]) + " seen" + after;
      return v;
    case RunEnd::Cause::kTimedOut:
      v.status = kStatusTimedOut;
      v.reason = "timeout after " + control.timeout_text + " s";
      if (!control.sends.empty()) v.reason += missing_text(control, end);
      return v;
    case RunEnd::Cause::kSendFailed:
      v.status = 1;
      v.reason = "could not send " + quoted_text(control.sends[end.sends_written].text) + ": " +
                 end.send_error;
      return v;
    case RunEnd::Cause::kInterrupted:
      v.status = kStatusInterrupted;
      v.reason = "interrupted" + after;
      return v;
    case RunEnd::Cause::kEndedByItself:
      break;
    case RunEnd::Cause::kSummarySeen:
      v.passed = true;
      return v;
  }
  // A guest that reports its own failure says more than a text it never
  // printed.
  if (control.use_status && end.simulator_status != 0) {
    v.status = end.simulator_status;
    v.reason = ended_text(end, true);
  } else if (end.expects_seen < control.expect.size()) {
    v.status = 1;
    v.reason = ended_text(end, control.use_status) + missing_text(control, end);
  } else {
    v.passed = true;
    v.reason = ended_text(end, control.use_status);
  }
  return v;
}

// Where a run without its summary stood: "ended after a, in b".
std::string where_text(const CaseReader& cases) {
  std::string text = cases.last_finished().empty() ? "ended before any case ended"
                                                   : "ended after " + cases.last_finished();
  if (!cases.running().empty()) text += ", in " + cases.running();
  return text;
}

}  // namespace

std::string case_counts_text(const CaseCounts& counts) {
  return std::to_string(counts.total()) + (counts.total() == 1 ? " case: " : " cases: ") +
         std::to_string(counts.passed) + " passed, " + std::to_string(counts.failed) +
         " failed, " + std::to_string(counts.skipped) + " skipped";
}

Verdict judge_run(const RunControl& control, const RunEnd& end) {
  Verdict v = judge_without_cases(control, end);
  if (!end.cases) return v;
  const CaseReader& cases = *end.cases;
  if (!cases.summary_seen()) {
    v.passed = false;
    if (v.status == 0) v.status = 1;
    v.reason = where_text(cases) + ": " + v.reason + " before the summary";
    return v;
  }
  if (!v.passed) return v;
  v.reason = case_counts_text(cases.counts());
  const std::string disagreement = cases.disagreement();
  if (!cases.summary().bail.empty()) v.reason += "; Bail out! " + cases.summary().bail;
  if (!disagreement.empty()) v.reason += "; " + disagreement;
  if (cases.counts().failed > 0 || !cases.summary().bail.empty() || !disagreement.empty()) {
    v.passed = false;
    v.status = 1;
  }
  return v;
}

bool parse_escapes(const std::string& text, std::string* bytes) {
  auto hex = [](char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  bytes->clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      bytes->push_back(text[i]);
      continue;
    }
    const char next = i + 1 < text.size() ? text[i + 1] : '\0';
    if (next == 'r' || next == 'n' || next == 't' || next == '\\') {
      bytes->push_back(next == 'r' ? '\r' : next == 'n' ? '\n' : next == 't' ? '\t' : '\\');
      ++i;
    } else if (next == 'x' && i + 3 < text.size() && hex(text[i + 2]) >= 0 &&
               hex(text[i + 3]) >= 0) {
      bytes->push_back(static_cast<char>(hex(text[i + 2]) * 16 + hex(text[i + 3])));
      i += 3;
    } else {
      return false;
    }
  }
  return true;
}

std::string quoted_text(const std::string& text) {
  std::string out = "\"";
  const size_t shown = text.size() > kQuotedBytes ? kQuotedBytes : text.size();
  for (unsigned char c : text.substr(0, shown)) {
    switch (c) {
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\\': out += "\\\\"; break;
      case '"': out += "\\\""; break;
      default:
        if (c >= 0x20 && c < 0x7F) {
          out.push_back(static_cast<char>(c));
        } else {
          char escaped[8];
          snprintf(escaped, sizeof escaped, "\\x%02x", c);
          out += escaped;
        }
    }
  }
  out += "\"";
  if (shown < text.size()) out += "... (" + std::to_string(text.size()) + " bytes)";
  return out;
}

bool parse_seconds(const std::string& text, uint64_t* ms) {
  // Up to 9 digits before the point: about 31 years, far below overflow.
  constexpr size_t kMaxWholeDigits = 9;
  const size_t point = text.find('.');
  const std::string whole = text.substr(0, point);
  const std::string fraction = point == std::string::npos ? "" : text.substr(point + 1);
  auto digits_only = [](const std::string& s) {
    return s.find_first_not_of("0123456789") == std::string::npos;
  };
  if ((whole.empty() && fraction.empty()) || whole.size() > kMaxWholeDigits ||
      !digits_only(whole) || !digits_only(fraction))
    return false;
  uint64_t value = 0;
  for (char c : whole) value = value * 10 + static_cast<uint64_t>(c - '0');
  value *= 1000;
  for (size_t i = 0; i < 3; ++i)
    value += static_cast<uint64_t>(i < fraction.size() ? fraction[i] - '0' : 0) *
             (i == 0 ? 100 : i == 1 ? 10 : 1);
  // A fraction finer than a millisecond still waits that millisecond.
  if (fraction.size() > 3 && fraction.find_first_not_of('0', 3) != std::string::npos) ++value;
  if (value == 0) return false;
  *ms = value;
  return true;
}
