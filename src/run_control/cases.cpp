#include "run_control/cases.h"

#include "run_control/patterns.h"

#include <re2/re2.h>
#include <re2/set.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

// The named groups a row's pattern may have.
enum Field { kSuiteF, kNameF, kFileF, kLineF, kMessageF, kMsF, kSecondsF, kTestsF, kRanF,
             kPassedF, kFailuresF, kSkippedF, kFieldCount };
const char* const kFieldNames[kFieldCount] = {"suite", "name",  "file",   "line",
                                              "message", "ms",  "seconds", "tests",
                                              "ran",   "passed", "failures", "skipped"};

// The most groups a pattern has, its whole match included.
constexpr int kMostGroups = 16;

uint64_t number(std::string_view text) {
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9' || value > UINT64_MAX / 10 - 9) break;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  return value;
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// Drops the terminal's control sequences (ESC [ ... final byte), as
// frameworks print them for colour.
void strip_escapes(const char* data, size_t len, std::string* out) {
  out->clear();
  for (size_t i = 0; i < len; ++i) {
    if (data[i] != '\x1b') {
      out->push_back(data[i]);
      continue;
    }
    if (i + 1 < len && data[i + 1] == '[') {
      i += 2;
      while (i < len && !(data[i] >= 0x40 && data[i] <= 0x7E)) ++i;
    }
  }
}

// The start of the line that |at| is in, no earlier than |from|.
const char* line_start(const char* from, const char* at) {
  while (at > from && at[-1] != '\n') --at;
  return at;
}

}  // namespace

namespace {

struct Group {
  Field field;
  int index;
};

}  // namespace

struct CaseFormat::Compiled {
  std::vector<std::unique_ptr<RE2>> patterns;
  std::vector<std::vector<Group>> groups;  // per row
  std::unique_ptr<RE2::Set> set;
  // Per row: it names no case (no name, no file), so ends only the one
  // running.
  std::vector<bool> anonymous;
  // The literals one of which is in every line that a row of a kind the
  // reader takes between cases matches, before any counts (|between|), or
  // that any row matches (|any|); empty where some row may match a line
  // holding none of its literals, and the key bytes serve instead.
  std::vector<std::string> between, any;
};

CaseFormat::CaseFormat() = default;
CaseFormat::~CaseFormat() = default;

bool CaseFormat::compile(const CaseFormatTable& table, std::string* problem) {
  table_ = &table;
  // Each key is looked for in its own pass over the output; a few at most.
  if (strlen(table.keys) == 0 || strlen(table.keys) > kMostKeys) {
    *problem = std::string(table.name) + ": from 1 to " + std::to_string(kMostKeys) + " keys";
    return false;
  }
  compiled_ = std::make_unique<Compiled>();
  auto& set_ = compiled_->set;
  auto& groups_ = compiled_->groups;
  auto& patterns_ = compiled_->patterns;
  RE2::Options options;
  options.set_log_errors(false);
  // Lines are bytes: a name or message in no encoding, or a broken one,
  // is matched as any other.
  options.set_encoding(RE2::Options::EncodingLatin1);
  // Anchored at the line's start, the set gives up on most other output
  // after a byte or two; a row that may match further in says so itself.
  set_ = std::make_unique<RE2::Set>(options, RE2::ANCHOR_START);
  for (const LineRow& row : table.rows) {
    auto re = std::make_unique<RE2>(row.pattern, options);
    std::string error;
    if (!re->ok() || re->NumberOfCapturingGroups() >= kMostGroups ||
        set_->Add(row.pattern[0] == '^' ? std::string(row.pattern)
                                        : std::string("(?s:.*)(?:") + row.pattern + ")",
                  &error) < 0) {
      *problem = std::string(table.name) + ": " + row.pattern + ": " + re->error() + error;
      return false;
    }
    std::vector<Group> groups;
    for (const auto& named : re->NamedCapturingGroups())
      for (int f = 0; f < kFieldCount; ++f)
        if (named.first == kFieldNames[f]) groups.push_back({static_cast<Field>(f), named.second});
    const bool names = std::any_of(groups.begin(), groups.end(),
                                   [](const Group& g) { return g.field == kNameF || g.field == kFileF; });
    compiled_->anonymous.push_back(!names);
    groups_.push_back(std::move(groups));
    patterns_.push_back(std::move(re));
  }
  if (!set_->Compile()) {
    *problem = std::string(table.name) + ": the patterns do not compile together";
    return false;
  }
  bool between_open = true, any_open = true;
  for (size_t i = 0; i < table.rows.size(); ++i) {
    const LineKind kind = table.rows[i].kind;
    const std::vector<std::string> literals = pattern_literals(table.rows[i].pattern, true);
    const bool between = !(compiled_->anonymous[i] && kind == LineKind::kEnd) &&
                         kind != LineKind::kSummaryEnd && kind != LineKind::kPlace &&
                         kind != LineKind::kNote;
    any_open = any_open && !literals.empty();
    if (between) between_open = between_open && !literals.empty();
    compiled_->any.insert(compiled_->any.end(), literals.begin(), literals.end());
    if (between) compiled_->between.insert(compiled_->between.end(), literals.begin(), literals.end());
  }
  // Colour codes may cut a literal in two: a line holding one is matched.
  for (std::vector<std::string>* literals : {&compiled_->between, &compiled_->any})
    literals->push_back("\x1b");
  if (!between_open) compiled_->between.clear();
  if (!any_open) compiled_->any.clear();
  return true;
}

namespace {

constexpr unsigned kind_bit(LineKind kind) { return 1u << static_cast<unsigned>(kind); }
constexpr unsigned kAnyKind = ~0u;

// The kinds of line each state takes, by CaseState. A summary line inside
// an open case is that case's text until the case's own end line comes; a
// held case takes its notes, and any other line ends its wait first.
constexpr unsigned kCaseStateTakes[] = {
    // kBetween
    kAnyKind & ~kind_bit(LineKind::kPlace) & ~kind_bit(LineKind::kNote),
    // kInCase
    kind_bit(LineKind::kSuite) | kind_bit(LineKind::kStart) | kind_bit(LineKind::kPlace) |
        kind_bit(LineKind::kEnd) | kind_bit(LineKind::kBail),
    // kExplaining
    kind_bit(LineKind::kStart) | kind_bit(LineKind::kPlace) | kind_bit(LineKind::kNote) |
        kind_bit(LineKind::kEnd) | kind_bit(LineKind::kBail),
    // kHeld
    kind_bit(LineKind::kPlace) | kind_bit(LineKind::kNote),
    // kOver
    0,
};

}  // namespace

CaseReader::CaseReader(const CaseFormat& format)
    : format_(format),
      between_(std::make_unique<LiteralFilter>(format.compiled_->between)),
      any_(std::make_unique<LiteralFilter>(format.compiled_->any)) {}

CaseReader::~CaseReader() = default;

bool CaseReader::takes(LineKind kind) const {
  return (kCaseStateTakes[static_cast<size_t>(state_)] & kind_bit(kind)) != 0;
}

LiteralFilter* CaseReader::filter() {
  const bool counted = summary_.tests || summary_.ran || summary_.failures;
  LiteralFilter* f = state_ == CaseState::kBetween && !counted ? between_.get() : any_.get();
  return f->every_line() ? nullptr : f;
}

size_t CaseReader::feed(const char* data, size_t len, double now) {
  if (state_ == CaseState::kOver || stopped_) return kNotOver;
  const char* at = data;
  const char* const end = data + len;
  // The raw bytes kept of a line: its start, and a CR that may lead it.
  constexpr size_t kKept = kCaseLineBytes + 1;
  if (!partial_.empty()) {
    const char* nl = static_cast<const char*>(memchr(at, '\n', len));
    const size_t piece = static_cast<size_t>((nl ? nl : end) - at);
    partial_.append(at, std::min(piece, kKept - std::min(kKept, partial_.size())));
    if (!nl) return kNotOver;
    read_raw_line(partial_.data(), partial_.size(), now);
    partial_.clear();
    at = nl + 1;
    if (state_ == CaseState::kOver) return static_cast<size_t>(at - data);
  }
  for (const char*& key_at : key_at_) key_at = nullptr;
  for (LiteralFilter* f : {between_.get(), any_.get()}) {
    f->tune(at, static_cast<size_t>(end - at));
    f->new_piece();
  }
  while (at < end) {
    // Most output is none of the framework's: only the lines holding one
    // of the literals of the rows the state takes (or, where a row has
    // none, one of the format's keys) are matched, unless every line may
    // explain a failure.
    if (!(state_ == CaseState::kExplaining && format_.table_->unmatched_lines_explain)) {
      if (LiteralFilter* f = filter()) {
        const char* line = f->next_line(at, end);
        if (!line) {
          at = line_start(at, end);
          break;
        }
        at = line;
      } else {
        const char* key = next_key(at, end);
        const char* from = key ? key : end;
        at = line_start(at, from);
        if (!key) break;
      }
    }
    const char* nl = static_cast<const char*>(memchr(at, '\n', static_cast<size_t>(end - at)));
    if (!nl) break;
    read_raw_line(at, std::min(static_cast<size_t>(nl - at), kKept), now);
    at = nl + 1;
    if (state_ == CaseState::kOver) return static_cast<size_t>(at - data);
  }
  // A line without its end yet, kept for the next piece.
  partial_.assign(at, std::min(static_cast<size_t>(end - at), kKept));
  return kNotOver;
}

const char* CaseReader::next_key(const char* from, const char* end) {
  const char* first = nullptr;
  const char* keys = format_.table_->keys;
  for (size_t k = 0; keys[k] != '\0'; ++k) {
    const char*& at = key_at_[k];
    // Found before |from| (or never looked for): look again; gone: stays gone.
    if (at != end && (at == nullptr || at < from)) {
      at = static_cast<const char*>(memchr(from, keys[k], static_cast<size_t>(end - from)));
      if (!at) at = end;
    }
    if (at != end && (!first || at < first)) first = at;
  }
  return first;
}

void CaseReader::end_of_output(double now) {
  if (!stopped_ && state_ != CaseState::kOver && !partial_.empty())
    read_raw_line(partial_.data(), partial_.size(), now);
  partial_.clear();
  release_held();
}

void CaseReader::read_raw_line(const char* data, size_t len, double now) {
  // The CRs of CR LF and LF CR ends are no part of the line.
  if (len > 0 && data[0] == '\r') {
    ++data;
    --len;
  }
  if (len > 0 && data[len - 1] == '\r') --len;
  // An LF CR end leaves no empty line behind it; no row matches one anyway.
  if (len > 0) read_line(data, std::min(len, kCaseLineBytes), now);
}

void CaseReader::read_line(const char* data, size_t len, double now) {
  if (memchr(data, '\x1b', len)) {
    strip_escapes(data, len, &clean_);
    data = clean_.data();
    len = clean_.size();
  }
  if (len > 0 && data[len - 1] == '\r') --len;
  const std::string_view line(data, len);
  matched_.clear();
  format_.compiled_->set->Match(line, &matched_);
  // One row of each kind, the first in the table's order; kinds in that
  // order too, so that a line that starts and ends a case does both. A
  // kind the state does not take leaves the line text.
  std::sort(matched_.begin(), matched_.end());
  unsigned kinds_done = 0;
  bool read = false;
  for (int row : matched_) {
    const LineKind kind = format_.table_->rows[row].kind;
    if (kinds_done & kind_bit(kind)) continue;
    kinds_done |= kind_bit(kind);
    // A held case waits only for its notes: anything else ends the wait.
    if (state_ == CaseState::kHeld && !takes(kind)) release_held();
    if (!takes(kind)) continue;
    // An end that names no case ends the one running, and none else.
    if (kind == LineKind::kEnd && format_.compiled_->anonymous[static_cast<size_t>(row)] &&
        !running_)
      continue;
    apply(static_cast<size_t>(row), data, len, now);
    read = true;
  }
  if (!read && state_ == CaseState::kExplaining && format_.table_->unmatched_lines_explain &&
      line.find_first_not_of(" \t") != std::string::npos)
    explain(trimmed(line));
}

void CaseReader::explain(std::string_view text) {
  CaseResult* target = held_ ? &*held_ : running_ ? &*running_ : nullptr;
  if (!target || text.empty()) return;
  std::string& message = target->message;
  if (message.size() >= kCaseMessageBytes) return;
  if (!message.empty()) message += '\n';
  message.append(text.data(), std::min(text.size(), kCaseMessageBytes - message.size()));
}

void CaseReader::apply(size_t row_index, const char* data, size_t len, double now) {
  const LineRow& row = format_.table_->rows[row_index];
  re2::StringPiece sub[kMostGroups];
  const RE2& re = *format_.compiled_->patterns[row_index];
  if (!re.Match(re2::StringPiece(data, len), 0, len, RE2::UNANCHORED, sub,
                re.NumberOfCapturingGroups() + 1))
    return;
  std::string_view field[kFieldCount];
  bool has[kFieldCount] = {};
  for (const Group& g : format_.compiled_->groups[row_index]) {
    if (sub[g.index].data() == nullptr) continue;
    field[g.field] = std::string_view(sub[g.index].data(), sub[g.index].size());
    has[g.field] = true;
  }
  auto text = [&](Field f) { return has[f] ? trimmed(field[f]) : std::string_view(); };
  switch (row.kind) {
    case LineKind::kSuite:
      suite_ = text(kSuiteF);
      return;
    case LineKind::kStart:
      // A case that failed at a place and never printed its end is still
      // failed: it is finished so, not dropped.
      if (state_ == CaseState::kExplaining && running_->outcome == CaseOutcome::kFailed)
        finish_running(now);
      running_ = CaseResult();
      running_->suite = has[kSuiteF] ? text(kSuiteF) : std::string_view(suite_);
      running_->name = text(kNameF);
      running_since_ = now;
      state_ = CaseState::kInCase;
      return;
    case LineKind::kPlace: {
      CaseResult* target = held_ ? &*held_ : running_ ? &*running_ : nullptr;
      if (!target) return;
      if (target->file.empty() && has[kFileF]) {
        target->file = text(kFileF);
        target->line = number(field[kLineF]);
      }
      if (row.outcome == CaseOutcome::kFailed) target->outcome = CaseOutcome::kFailed;
      if (state_ != CaseState::kHeld) state_ = CaseState::kExplaining;
      explain(text(kMessageF));
      return;
    }
    case LineKind::kNote:
      explain(text(kMessageF));
      return;
    case LineKind::kEnd:
      break;
    case LineKind::kCounts: {
      std::optional<uint64_t>* counts[] = {&summary_.tests, &summary_.ran, &summary_.passed,
                                           &summary_.failures, &summary_.skipped};
      for (int f = kTestsF; f <= kSkippedF; ++f)
        if (has[f]) *counts[f - kTestsF] = counts[f - kTestsF]->value_or(0) + number(field[f]);
      if (row.outcome == CaseOutcome::kFailed) summary_.failed = true;
      // A summary with a last line of its own is over at that line.
      const auto& rows = format_.table_->rows;
      if (std::none_of(rows.begin(), rows.end(),
                       [](const LineRow& r) { return r.kind == LineKind::kSummaryEnd; }))
        over();
      return;
    }
    case LineKind::kPlan:
      // A plan after the results is their end; one before them is
      // complete at its Nth result, and later plans are no plans.
      if (plan_) return;
      plan_ = number(field[kTestsF]);
      summary_.tests = plan_;
      if (counts_.total() > 0 || *plan_ == 0) over();
      return;
    case LineKind::kSummaryEnd:
      // A bare "OK" is the summary's end only after its counts.
      if (!summary_.tests && !summary_.ran && !summary_.failures) return;
      if (row.outcome == CaseOutcome::kFailed) summary_.failed = true;
      over();
      return;
    case LineKind::kBail:
      summary_.failed = true;
      summary_.bail = has[kMessageF] && !text(kMessageF).empty() ? text(kMessageF)
                                                                 : std::string_view("no reason given");
      over();
      return;
  }
  // The end of a case: the one running, unless the line names another.
  release_held();
  CaseResult result;
  double since = last_end_;
  if (running_ && (!has[kNameF] || text(kNameF).empty() || text(kNameF) == running_->name)) {
    result = std::move(*running_);
    since = running_since_;
  }
  running_.reset();
  state_ = CaseState::kBetween;
  if (has[kSuiteF]) result.suite = text(kSuiteF);
  if (result.suite.empty()) result.suite = suite_;
  if (has[kNameF] && !text(kNameF).empty()) result.name = text(kNameF);
  if (has[kFileF] && result.file.empty()) {
    result.file = text(kFileF);
    result.line = number(field[kLineF]);
  }
  // Unity's cases are known by their file.
  if (result.suite.empty() && has[kFileF]) result.suite = text(kFileF);
  const std::string_view message = text(kMessageF);
  // A case the line does not name takes its reason as its name (TAP's
  // "not ok 4 # SKIP name"), or else its number.
  if (result.name.empty()) result.name = message;
  else if (!message.empty())
    result.message = std::string(message) + (result.message.empty() ? "" : "\n") + result.message;
  if (result.name.empty()) result.name = "#" + std::to_string(counts_.total() + 1);
  if (row.outcome != CaseOutcome::kPassed) result.outcome = row.outcome;
  if (has[kMsF]) {
    result.seconds = static_cast<double>(number(field[kMsF])) / 1000;
  } else if (has[kSecondsF]) {
    result.seconds = strtod(std::string(field[kSecondsF]).c_str(), nullptr);
  } else {
    result.seconds = now > since ? now - since : 0;
  }
  last_end_ = now;
  last_finished_ = result.name;
  switch (result.outcome) {
    case CaseOutcome::kPassed: ++counts_.passed; break;
    case CaseOutcome::kFailed: ++counts_.failed; break;
    case CaseOutcome::kSkipped: ++counts_.skipped; break;
  }
  const bool complete = plan_ && counts_.total() >= *plan_;
  if (result.outcome == CaseOutcome::kFailed && format_.table_->notes_follow_result && !complete) {
    held_ = std::move(result);
    state_ = CaseState::kHeld;
    return;
  }
  finished_.push_back(std::move(result));
  if (complete) over();
}

void CaseReader::finish_running(double now) {
  CaseResult result = std::move(*running_);
  running_.reset();
  result.seconds = now > running_since_ ? now - running_since_ : 0;
  last_end_ = now;
  last_finished_ = result.name;
  ++counts_.failed;
  finished_.push_back(std::move(result));
}

void CaseReader::release_held() {
  if (!held_) return;
  finished_.push_back(std::move(*held_));
  held_.reset();
  if (state_ == CaseState::kHeld) state_ = CaseState::kBetween;
}

void CaseReader::over() {
  release_held();
  summary_.seen = true;
  state_ = CaseState::kOver;
}

std::string CaseReader::disagreement() const {
  if (!summary_.bail.empty()) return "";
  std::string text;
  auto check = [&](const std::optional<uint64_t>& said, uint64_t seen, const char* what) {
    if (!said || *said == seen) return;
    text += (text.empty() ? "" : ", ") + std::to_string(*said) + " " + what + " where " +
            std::to_string(seen) + (seen == 1 ? " was" : " were") + " seen";
  };
  check(summary_.tests, counts_.total(), "tests");
  check(summary_.ran, counts_.passed + counts_.failed, "ran");
  check(summary_.passed, counts_.passed, "passed");
  check(summary_.failures, counts_.failed, "failed");
  check(summary_.skipped, counts_.skipped, "skipped");
  if (text.empty() && summary_.failed && counts_.failed == 0)
    text = "the run failed, yet no case failed";
  return text.empty() ? "" : "the summary says " + text;
}
