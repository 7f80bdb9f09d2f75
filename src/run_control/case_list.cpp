#include "run_control/case_list.h"

#include <cstdlib>

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
  return text;
}

// An attribute value as XML writes it, its references read back.
std::string unescaped(std::string_view value) {
  static const struct {
    const char* ref;
    char c;
  } kRefs[] = {{"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
  std::string out;
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] != '&') {
      out.push_back(value[i]);
      continue;
    }
    bool known = false;
    for (const auto& r : kRefs) {
      const std::string_view ref(r.ref);
      if (value.substr(i, ref.size()) == ref) {
        out.push_back(r.c);
        i += ref.size() - 1;
        known = true;
        break;
      }
    }
    // A character reference below 128 is kept as its byte; any other
    // reference stays as written.
    const size_t semi = value.find(';', i);
    if (!known && value.substr(i, 2) == "&#" && semi != std::string_view::npos && semi - i <= 8) {
      const std::string digits(value.substr(i + 2, semi - i - 2));
      char* end = nullptr;
      const bool hex = !digits.empty() && (digits[0] == 'x' || digits[0] == 'X');
      const long code = strtol(digits.c_str() + (hex ? 1 : 0), &end, hex ? 16 : 10);
      if (!digits.empty() && *end == '\0' && code > 0 && code < 128) {
        out.push_back(static_cast<char>(code));
        i = semi;
        known = true;
      }
    }
    if (!known) out.push_back('&');
  }
  return out;
}

// The value of the attribute |name| in the tag |tag|, if it has one.
std::optional<std::string> attribute(std::string_view tag, std::string_view name) {
  for (size_t at = tag.find(name); at != std::string_view::npos; at = tag.find(name, at + 1)) {
    if (at == 0 || !is_blank(tag[at - 1])) continue;
    size_t i = at + name.size();
    while (i < tag.size() && is_blank(tag[i])) ++i;
    if (i >= tag.size() || tag[i] != '=') continue;
    ++i;
    while (i < tag.size() && is_blank(tag[i])) ++i;
    if (i >= tag.size() || (tag[i] != '"' && tag[i] != '\'')) continue;
    const size_t end = tag.find(tag[i], i + 1);
    if (end == std::string_view::npos) return std::nullopt;
    return unescaped(tag.substr(i + 1, end - i - 1));
  }
  return std::nullopt;
}

void read_report(std::string_view text, std::vector<ListedCase>* list) {
  const std::string_view open = "<testcase";
  for (size_t at = text.find(open); at != std::string_view::npos; at = text.find(open, at + 1)) {
    const size_t after = at + open.size();
    if (after >= text.size() || !is_blank(text[after])) continue;
    const size_t end = text.find('>', after);
    if (end == std::string_view::npos) return;
    const std::string_view tag = text.substr(after, end - after);
    const std::optional<std::string> name = attribute(tag, "name");
    const std::string suite = attribute(tag, "classname").value_or("");
    // The run's own testcase says how the run went, not a case of it.
    if (name && !name->empty() && suite != "zelk_sim") list->push_back({suite, *name});
  }
}

void read_names(std::string_view text, std::vector<ListedCase>* list) {
  while (!text.empty()) {
    const size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    line = trimmed(line.substr(0, line.find('#')));
    if (!line.empty()) list->push_back({"", std::string(line)});
  }
}

}  // namespace

std::string case_display_name(const CaseResult& c) {
  return (c.suite.empty() || c.suite == c.file ? "" : c.suite + ".") + c.name;
}

bool parse_case_list(std::string_view text, std::vector<ListedCase>* list, std::string* problem) {
  list->clear();
  const std::string_view start = trimmed(text);
  if (!start.empty() && start.front() == '<')
    read_report(text, list);
  else
    read_names(text, list);
  if (list->empty()) *problem = "it lists no case";
  return !list->empty();
}

CaseListCheck::CaseListCheck(std::vector<ListedCase> list)
    : list_(std::move(list)), seen_(list_.size(), false) {
  for (size_t i = 0; i < list_.size(); ++i) by_name_.emplace(list_[i].name, i);
}

std::optional<size_t> CaseListCheck::find(const std::string& suite, const std::string& name) const {
  // A listed case not yet seen first; else one seen already (a repeat).
  std::optional<size_t> repeat;
  auto look = [&](const std::string& key, bool names_suite) -> std::optional<size_t> {
    const auto range = by_name_.equal_range(key);
    for (auto it = range.first; it != range.second; ++it) {
      const ListedCase& listed = list_[it->second];
      // A report's classname must agree; "suite.name" names the suite itself.
      if (!names_suite && !listed.suite.empty() && !suite.empty() && listed.suite != suite) continue;
      if (!seen_[it->second]) return it->second;
      if (!repeat) repeat = it->second;
    }
    return std::nullopt;
  };
  if (std::optional<size_t> i = look(name, false)) return i;
  if (!suite.empty())
    if (std::optional<size_t> i = look(suite + "." + name, true)) return i;
  return repeat;
}

void CaseListCheck::see(const CaseResult& result) {
  const std::optional<size_t> index = find(result.suite, result.name);
  if (!index) {
    ++unlisted_;
    return;
  }
  seen_[*index] = true;
  last_seen_ = *index;
}

ListJudgement CaseListCheck::judge(const RunEnd& end, const CaseReader& cases,
                                   const std::string& plain_reason, Verdict* verdict) const {
  ListJudgement j;
  j.unlisted = unlisted_;
  // Where the framework shows no case start, cases run in the list's
  // order: the one under way is the first listed after the last that
  // finished.
  std::optional<size_t> running;
  if (!cases.summary_seen() && cases.running().empty()) {
    for (size_t i = last_seen_ ? *last_seen_ + 1 : 0; i < list_.size() && !running; ++i)
      if (!seen_[i]) running = i;
  } else if (!cases.summary_seen()) {
    // The framework names it, without its suite: it holds the ending where
    // the list has it, as "name" or "suite.name".
    const std::string name = cases.running();
    for (size_t i = 0; i < list_.size() && !running; ++i) {
      const std::string& listed = list_[i].name;
      if (!seen_[i] && (listed == name || (listed.size() > name.size() &&
                                           listed.compare(listed.size() - name.size(), name.size(), name) == 0 &&
                                           listed[listed.size() - name.size() - 1] == '.')))
        running = i;
    }
  }
  uint64_t not_run = 0;
  for (size_t i = 0; i < list_.size(); ++i) {
    if (seen_[i]) continue;
    CaseResult c;
    c.suite = list_[i].suite;
    c.name = list_[i].name;
    c.outcome = CaseOutcome::kFailed;
    c.message = running == i ? plain_reason : kDidNotRun;
    if (running != i) ++not_run;
    j.missing.push_back(std::move(c));
  }
  if (running) {
    j.ending_in_a_case = true;
    if (cases.running().empty()) {
      const char* verb = end.cause == RunEnd::Cause::kEndedByItself ? "crashed in "
                         : end.cause == RunEnd::Cause::kTimedOut    ? "hung in "
                                                                    : "stopped in ";
      verdict->reason = verb + list_[*running].name + " (" +
                        (last_seen_ ? "the next listed case after " + list_[*last_seen_].name
                                    : std::string("the first listed case")) +
                        "): " + plain_reason;
    }
  }
  if (not_run > 0) {
    verdict->passed = false;
    if (verdict->status == 0) verdict->status = 1;
    verdict->reason += "; " + std::to_string(not_run) +
                       (not_run == 1 ? " listed case did not run" : " listed cases did not run");
  }
  return j;
}
