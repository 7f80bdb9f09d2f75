#include "run_control/output_watch.h"

#include <algorithm>
#include <cstring>

StreamSearch::StreamSearch(std::string text) : text_(std::move(text)) {
  const size_t n = text_.size();
  std::fill(std::begin(skip_), std::end(skip_), n);
  for (size_t i = 0; i + 1 < n; ++i) skip_[static_cast<unsigned char>(text_[i])] = n - 1 - i;
}

size_t StreamSearch::search(const char* data, size_t len) const {
  const size_t n = text_.size();
  if (n == 0) return 0;
  if (len < n) return kNotFound;
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(data);
  const unsigned char last = static_cast<unsigned char>(text_[n - 1]);
  for (size_t at = 0; at <= len - n;) {
    const unsigned char c = bytes[at + n - 1];
    if (c == last && memcmp(data + at, text_.data(), n - 1) == 0) return at + n;
    at += skip_[c];
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

OutputWatch::OutputWatch(const RunControl& control) : expect_(control.expect) {
  for (const std::string& text : control.fail) fails_.push_back(std::make_unique<StreamSearch>(text));
  if (!expect_.empty()) next_expect_ = std::make_unique<StreamSearch>(expect_[0]);
}

void OutputWatch::feed(const char* data, size_t len) {
  if (decided_) return;
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
  while (next_expect_ && at < limit) {
    const size_t end = next_expect_->find_in(data + at, limit - at);
    if (end == StreamSearch::kNotFound) break;
    at += end;
    ++expects_seen_;
    if (expects_seen_ == expect_.size()) {
      next_expect_.reset();
      decided_ = true;
      cause_ = RunEnd::Cause::kExpectSeen;
      return;
    }
    next_expect_ = std::make_unique<StreamSearch>(expect_[expects_seen_]);
  }
  if (fail_end != StreamSearch::kNotFound) {
    decided_ = true;
    cause_ = RunEnd::Cause::kFailSeen;
  }
}

void OutputTail::add(const char* data, size_t len) {
  if (capacity_ == 0) {
    dropped_ += len;
    return;
  }
  if (len >= capacity_) {
    dropped_ += ring_.size() + (len - capacity_);
    ring_.assign(data + len - capacity_, capacity_);
    start_ = 0;
    return;
  }
  if (ring_.size() < capacity_) {
    const size_t room = std::min(len, capacity_ - ring_.size());
    ring_.append(data, room);
    data += room;
    len -= room;
  }
  // Full: overwrite the oldest bytes, going round.
  while (len > 0) {
    const size_t n = std::min(len, capacity_ - start_);
    memcpy(&ring_[start_], data, n);
    start_ = (start_ + n) % capacity_;
    dropped_ += n;
    data += n;
    len -= n;
  }
}

std::string OutputTail::text() const {
  return ring_.substr(start_) + ring_.substr(0, start_);
}
