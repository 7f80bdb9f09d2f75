#include "run_control/output_watch.h"

#include <algorithm>
#include <cstring>

StreamSearch::StreamSearch(std::string text) : text_(std::move(text)) {
  const size_t n = text_.size();
  std::fill(std::begin(skip_), std::end(skip_), n);
  for (size_t i = 0; i + 1 < n; ++i) skip_[static_cast<unsigned char>(text_[i])] = n - 1 - i;
  for (size_t i = 1; i < n; ++i)
    if (byte_commonness(static_cast<unsigned char>(text_[i])) <
        byte_commonness(static_cast<unsigned char>(text_[rare_])))
      rare_ = i;
}

size_t StreamSearch::horspool(const char* data, size_t len, size_t from) const {
  const size_t n = text_.size();
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(data);
  const unsigned char last = static_cast<unsigned char>(text_[n - 1]);
  for (size_t at = from; at <= len - n;) {
    const unsigned char c = bytes[at + n - 1];
    if (c == last && memcmp(data + at, text_.data(), n - 1) == 0) return at + n;
    at += skip_[c];
  }
  return kNotFound;
}

size_t StreamSearch::search(const char* data, size_t len) const {
  const size_t n = text_.size();
  if (n == 0) return 0;
  if (len < n) return kNotFound;
  // Candidates are where the rare byte stands; while they stay rare,
  // memchr passes over the rest many bytes at a time. Where they prove
  // common, Horspool's skips take over.
  const char rare = text_[rare_];
  const size_t last_start = len - n;
  size_t at = 0, misses = 0;
  while (at <= last_start) {
    const void* hit = memchr(data + at + rare_, rare, last_start - at + 1);
    if (!hit) return kNotFound;
    const size_t start = static_cast<size_t>(static_cast<const char*>(hit) - data) - rare_;
    if (memcmp(data + start, text_.data(), n) == 0) return start + n;
    at = start + 1;
    if (++misses > 8 && misses * 8 > at) return horspool(data, len, at);
  }
  return kNotFound;
}

size_t StreamSearch::find_in(const char* data, size_t len) {
  const size_t keep = text_.empty() ? 0 : text_.size() - 1;
  if (!carry_.empty()) {
    // A match that starts in the carried bytes ends within the first
    // |keep| new ones.
    const size_t carried = carry_.size();
    carry_.append(data, std::min(len, keep));
    const size_t end = search(carry_.data(), carry_.size());
    carry_.resize(carried);
    if (end != kNotFound) {
      carry_.clear();
      return end - carried;
    }
  }
  const size_t end = search(data, len);
  if (end != kNotFound) {
    carry_.clear();
    return end;
  }
  if (len >= keep) {
    carry_.assign(data + len - keep, keep);
  } else {
    carry_.append(data, len);
    if (carry_.size() > keep) carry_.erase(0, carry_.size() - keep);
  }
  return kNotFound;
}

namespace {

const Pattern* pattern_at(const std::vector<std::shared_ptr<const Pattern>>& patterns, size_t i) {
  return i < patterns.size() ? patterns[i].get() : nullptr;
}

// The stream's current line after the first |at| bytes of a piece, the
// current line having been |before| at its start.
LineWindow line_after(const LineWindow& before, const char* data, size_t at) {
  const char* nl = last_line_end(data, at);
  LineWindow line;
  if (!nl) line = before;
  const char* start = nl ? nl + 1 : data;
  line.add(start, static_cast<size_t>(data + at - start));
  return line;
}

}  // namespace

OutputWatch::OutputWatch(const RunControl& control)
    : expect_(control.expect), expect_pattern_(control.expect_pattern), sends_(control.sends) {
  std::vector<const Pattern*> fail_patterns;
  for (size_t i = 0; i < control.fail.size(); ++i) {
    const Pattern* p = pattern_at(control.fail_pattern, i);
    fails_.push_back(p ? nullptr : std::make_unique<StreamSearch>(control.fail[i]));
    if (p) {
      fail_patterns.push_back(p);
      fail_pattern_index_.push_back(i);
    }
  }
  if (!fail_patterns.empty())
    fail_patterns_ = std::make_unique<PatternSearch>(std::move(fail_patterns), LineWindow(), 0);
  for (size_t i = 0; i < expect_.size(); ++i)
    has_patterns_ = has_patterns_ || pattern_at(expect_pattern_, i);
  has_patterns_ = has_patterns_ || fail_patterns_;
  if (!expect_.empty()) start_expect(LineWindow());
  if (const CaseFormat* format = find_case_format(control.cases))
    cases_ = std::make_unique<CaseReader>(*format);
}

void OutputWatch::start_expect(const LineWindow& line) {
  next_expect_.reset();
  next_expect_pattern_.reset();
  if (expects_seen_ == expect_.size()) return;
  if (const Pattern* p = pattern_at(expect_pattern_, expects_seen_))
    next_expect_pattern_ = std::make_unique<PatternSearch>(std::vector<const Pattern*>{p}, line,
                                                           line.length());
  else
    next_expect_ = std::make_unique<StreamSearch>(expect_[expects_seen_]);
}

size_t OutputWatch::find_expect(const char* data, size_t len) {
  if (next_expect_pattern_) {
    const size_t end = next_expect_pattern_->find_in(data, len);
    return end == PatternSearch::kNotFound ? StreamSearch::kNotFound : end;
  }
  return next_expect_->find_in(data, len);
}

void OutputWatch::feed(const char* data, size_t len, double now) {
  if (!decided_) judge(data, len, now, false);
}

void OutputWatch::end_of_output(double now) {
  if (!decided_ && !ended_) judge(nullptr, 0, now, true);
  ended_ = true;
}

void OutputWatch::judge(const char* data, size_t len, double now, bool last) {
  constexpr size_t kNone = StreamSearch::kNotFound;
  // Each detector says at which byte of the piece its deciding text ends
  // (how many bytes it took); the earliest decides, a fail on a tie.
  // At the output's end, a last line without its end is complete.
  size_t fail_end = kNone;
  for (size_t i = 0; i < fails_.size() && !last; ++i) {
    const size_t end = fails_[i] ? fails_[i]->find_in(data, len) : kNone;
    if (end < fail_end) {
      fail_end = end;
      fail_index_ = i;
    }
  }
  if (fail_patterns_) {
    const size_t end = last ? fail_patterns_->end_of_output() : fail_patterns_->find_in(data, len);
    if (end != PatternSearch::kNotFound && end < fail_end) {
      fail_end = end;
      fail_index_ = fail_pattern_index_[fail_patterns_->matched()];
    }
  }
  // The framework's reader sees nothing past a fail, and stops at its
  // summary: what follows either is not judged.
  const bool summary_before = cases_ && cases_->summary_seen();
  size_t summary_end = kNone;
  if (cases_ && !summary_before) {
    if (last) {
      cases_->end_of_output(now);
      if (cases_->summary_seen()) summary_end = 0;
    } else {
      const size_t end = cases_->feed(data, fail_end == kNone ? len : fail_end, now);
      if (end != CaseReader::kNotOver) summary_end = end;
    }
  }
  // A summary that says the run failed decides at once; one that passes
  // waits for the expects.
  const bool summary_fails =
      cases_ && cases_->summary_seen() && (cases_->summary().failed || cases_->counts().failed > 0);
  // The expects in order, each looked for after the one before it, and
  // only where they would end before a fail (which wins a tie) or a
  // failing summary does.
  size_t limit = len;
  if (fail_end != kNone) limit = fail_end == 0 ? 0 : fail_end - 1;
  if (summary_fails && summary_end != kNone) limit = std::min(limit, summary_end);
  size_t at = 0, expects_end = kNone;
  bool missing = expects_seen_ < expect_.size();
  while (missing && !send_due() && at <= limit) {
    size_t end = kNone;
    if (!last) end = find_expect(data + at, limit - at);
    else if (next_expect_pattern_) end = next_expect_pattern_->end_of_output();
    if (end == kNone) break;
    at += end;
    ++expects_seen_;
    missing = expects_seen_ < expect_.size();
    if (!missing) expects_end = at;
    // At the output's end nothing more comes to the line.
    start_expect(has_patterns_ && !last ? line_after(line_, data, at) : LineWindow());
    if (last) break;
  }
  // Without --cases the last expect decides where it ends; a conversation
  // that goes on after it is decided when the simulator ends. With them,
  // the summary decides, once every expect is seen or at once if it fails.
  size_t pass_end = kNone;
  if (!send_due()) {
    const size_t summary_at = summary_before ? 0 : summary_end;
    if (!cases_)
      pass_end = expects_end;
    else if (summary_at != kNone && summary_fails)
      pass_end = summary_at;
    else if (summary_at != kNone && !missing)
      pass_end = std::max(summary_at, expects_end == kNone ? 0 : expects_end);
  }
  if (fail_end != kNone && (pass_end == kNone || fail_end <= pass_end)) {
    decide(RunEnd::Cause::kFailSeen);
    return;
  }
  if (pass_end != kNone) {
    decide(cases_ ? RunEnd::Cause::kSummarySeen : RunEnd::Cause::kExpectSeen);
    return;
  }
  if (has_patterns_ && !last) line_ = line_after(line_, data, len);
}

void OutputWatch::decide(RunEnd::Cause cause) {
  decided_ = true;
  cause_ = cause;
  // Nothing after the deciding byte is read into the cases.
  if (cases_) cases_->stop();
}

const Send* OutputWatch::send_due() const {
  if (sends_written_ == sends_.size() || sends_[sends_written_].after_expects > expects_seen_)
    return nullptr;
  return &sends_[sends_written_];
}

void OutputWatch::sent() {
  ++sends_written_;
  // What came before the send is not what answers it.
  if (!send_due() && expects_seen_ < expect_.size()) start_expect(line_);
}

void OutputTail::keep(const char* data, size_t len) {
  const size_t size = ring_.size();
  if (size == 0 || len == 0) return;
  if (len >= size) {
    memcpy(ring_.data(), data + len - size, size);
    next_ = 0;
    kept_ = size;
    return;
  }
  // Up to the ring's end, then on from its start.
  const size_t first = std::min(len, size - next_);
  memcpy(ring_.data() + next_, data, first);
  memcpy(ring_.data(), data + first, len - first);
  next_ = (next_ + len) % size;
  kept_ = std::min(size, kept_ + len);
}

std::string OutputTail::text() const {
  // Until the ring is full its bytes start at its start; after, at |next_|.
  if (kept_ < ring_.size()) return std::string(ring_.data(), kept_);
  std::string all(ring_.data() + next_, ring_.size() - next_);
  all.append(ring_.data(), next_);
  return all;
}
