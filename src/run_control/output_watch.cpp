#include "run_control/output_watch.h"

#include <algorithm>
#include <cstring>

namespace {

// How often a byte turns up in console output, roughly: control bytes and
// bytes past ASCII least, then rare punctuation, capitals, digits, common
// punctuation, lower case letters, and blanks and line ends most.
int commonness(unsigned char c) {
  if (c == ' ' || c == '\n' || c == '\r' || c == '\t') return 7;
  if (c >= 'a' && c <= 'z') return strchr("jkqvxz", c) ? 5 : 6;
  if (c && strchr(".,:;-=/()'\"!?", c)) return 5;
  if (c >= '0' && c <= '9') return 4;
  if (c >= 'A' && c <= 'Z') return 3;
  if (c > 0x20 && c < 0x7F) return 2;
  return c >= 0x80 ? 1 : 0;
}

}  // namespace

StreamSearch::StreamSearch(std::string text) : text_(std::move(text)) {
  const size_t n = text_.size();
  std::fill(std::begin(skip_), std::end(skip_), n);
  for (size_t i = 0; i + 1 < n; ++i) skip_[static_cast<unsigned char>(text_[i])] = n - 1 - i;
  for (size_t i = 1; i < n; ++i)
    if (commonness(static_cast<unsigned char>(text_[i])) <
        commonness(static_cast<unsigned char>(text_[rare_])))
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

OutputWatch::OutputWatch(const RunControl& control) : expect_(control.expect), sends_(control.sends) {
  for (const std::string& text : control.fail) fails_.push_back(std::make_unique<StreamSearch>(text));
  if (!expect_.empty()) next_expect_ = std::make_unique<StreamSearch>(expect_[0]);
  if (const CaseFormat* format = find_case_format(control.cases))
    cases_ = std::make_unique<CaseReader>(*format);
}

void OutputWatch::feed(const char* data, size_t len, double now) {
  if (decided_) return;
  if (cases_) cases_->feed(data, len, now);
  // The framework's summary decides once every expect is seen; one that
  // says the run failed decides at once.
  const bool summary = !cases_ || cases_->summary_seen();
  // The earliest fail text in this piece, by where it ends.
  size_t fail_end = StreamSearch::kNotFound;
  for (size_t i = 0; i < fails_.size(); ++i) {
    const size_t end = fails_[i]->find_in(data, len);
    if (end < fail_end) {
      fail_end = end;
      fail_index_ = i;
    }
  }
  // The expect texts in order, each looked for after the one before it,
  // and only where they would end before a fail text does: at the same
  // byte, the fail text wins.
  size_t at = 0;
  const size_t limit = fail_end == StreamSearch::kNotFound ? len : fail_end - 1;
  while (next_expect_ && !send_due() && at < limit) {
    const size_t end = next_expect_->find_in(data + at, limit - at);
    if (end == StreamSearch::kNotFound) break;
    at += end;
    ++expects_seen_;
    if (expects_seen_ == expect_.size()) {
      next_expect_.reset();
      // A conversation that goes on after its last expect is decided when
      // the simulator ends.
      if (send_due() || !summary) break;
      decided_ = true;
      cause_ = cases_ ? RunEnd::Cause::kSummarySeen : RunEnd::Cause::kExpectSeen;
      return;
    }
    next_expect_ = std::make_unique<StreamSearch>(expect_[expects_seen_]);
  }
  if (fail_end != StreamSearch::kNotFound) {
    decided_ = true;
    cause_ = RunEnd::Cause::kFailSeen;
  } else if (cases_ && summary && !send_due() &&
             (expects_seen_ == expect_.size() || cases_->summary().failed ||
              cases_->counts().failed > 0)) {
    decided_ = true;
    cause_ = RunEnd::Cause::kSummarySeen;
  }
}

const Send* OutputWatch::send_due() const {
  if (sends_written_ == sends_.size() || sends_[sends_written_].after_expects > expects_seen_)
    return nullptr;
  return &sends_[sends_written_];
}

void OutputWatch::sent() {
  ++sends_written_;
  // What came before the send is not what answers it.
  if (!send_due() && expects_seen_ < expect_.size())
    next_expect_ = std::make_unique<StreamSearch>(expect_[expects_seen_]);
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
