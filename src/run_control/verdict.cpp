#include "run_control/verdict.h"

#include <cstdio>

namespace {

std::string seconds_text(double seconds) {
  char text[32];
  snprintf(text, sizeof text, "%.1f s", seconds);
  return text;
}

std::string ended_text(const RunEnd& end, bool with_status) {
  std::string text = "the simulator ended";
  if (with_status) text += " with status " + std::to_string(end.simulator_status);
  return text + " after " + seconds_text(end.seconds);
}

}  // namespace

Verdict judge_run(const RunControl& control, const RunEnd& end) {
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
      return v;
    case RunEnd::Cause::kInterrupted:
      v.status = kStatusInterrupted;
      v.reason = "interrupted" + after;
      return v;
    case RunEnd::Cause::kEndedByItself:
      break;
  }
  // A guest that reports its own failure says more than a text it never
  // printed.
  if (control.use_status && end.simulator_status != 0) {
    v.status = end.simulator_status;
    v.reason = ended_text(end, true);
  } else if (end.expects_seen < control.expect.size()) {
    v.status = 1;
    v.reason = ended_text(end, control.use_status) + " before " +
               quoted_text(control.expect[end.expects_seen]) + " was seen";
  } else {
    v.passed = true;
    v.reason = ended_text(end, control.use_status);
  }
  return v;
}

std::string quoted_text(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
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
  return out + "\"";
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
