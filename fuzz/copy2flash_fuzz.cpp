// Firmware image bytes copied into a small flash (64 KiB; the copier takes
// a flash file of any size). Both live in memory, behind the interfaces the
// copier reads and writes files through, so that the copy's own code runs
// without the file system's cost.
//
// Properties beyond the sanitizers' own:
// - a comparison writes nothing, and finds exactly the writes the copy
//   then makes;
// - the flash never grows past the 128 MiB of the flash window;
// - a second copy of the same firmware changes nothing: every write puts
//   firmware bytes where they belong, so the result depends on the
//   firmware alone.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "fuzz_support.h"
#include "storage/copy2flash.h"

namespace {

// The harness's own branches tell the fuzzer nothing about the copier; left
// out of its coverage, they no longer cost it bookkeeping on every run.
#define HARNESS __attribute__((no_sanitize("coverage")))

constexpr uint64_t kSmallFlash = 64 * 1024;
constexpr uint64_t kFlashWindow = 0x8000000;
constexpr uint64_t kPage = 4096;
using Page = std::array<uint8_t, kPage>;

// Pages by number, in a list whose room outlives clear(): once earlier
// inputs have made the room, an input allocates nothing for its pages.
class Pages {
 public:
  HARNESS Page* find(uint64_t number) {
    for (size_t i = 0; i < used_; ++i)
      if (list_[i].first == number) return &list_[i].second;
    return nullptr;
  }
  HARNESS const Page* find(uint64_t number) const { return const_cast<Pages*>(this)->find(number); }
  HARNESS Page* add(uint64_t number, uint8_t fill) {
    if (used_ == list_.size()) list_.emplace_back();
    list_[used_].first = number;
    list_[used_].second.fill(fill);
    return &list_[used_++].second;
  }
  HARNESS void clear() { used_ = 0; }
  HARNESS size_t size() const { return used_; }
  HARNESS const std::pair<uint64_t, Page>& operator[](size_t i) const { return list_[i]; }

 private:
  std::vector<std::pair<uint64_t, Page>> list_;
  size_t used_ = 0;
};

// A flash file of 64 KiB of 0xFF, kept as a file system keeps a sparse
// file: holes, and everything past the end, read as zeros. Its first
// megabyte is one buffer, set back after each input only where it was
// written; past it, only pages written hold bytes, so that an image at the
// far end of the window costs a page, not 128 MiB.
class MemoryFlash : public FlashStore {
 public:
  HARNESS MemoryFlash() : low_(kLowSize, 0) {
    std::fill(low_.begin(), low_.begin() + kSmallFlash, 0xFF);
  }

  HARNESS void reset() {
    for (uint64_t page : dirty_)
      memset(low_.data() + page * kPage, page * kPage < kSmallFlash ? 0xFF : 0, kPage);
    dirty_.clear();
    high_.clear();
    watched_.clear();
    watching_ = false;
    size_ = kSmallFlash;
    writes_ = 0;
  }

  HARNESS int read(uint64_t offset, uint8_t* bytes, size_t len, size_t* held) override {
    copy_out(offset, bytes, len);
    *held = offset >= size_ ? 0 : static_cast<size_t>(std::min<uint64_t>(len, size_ - offset));
    return 0;
  }

  HARNESS void copy_out(uint64_t offset, uint8_t* bytes, size_t len) const {
    for (size_t done = 0; done < len;) {
      const uint64_t at = offset + done;
      const size_t n = static_cast<size_t>(std::min<uint64_t>(len - done, kPage - at % kPage));
      const uint8_t* page = page_at(at / kPage);
      if (at >= size_ || !page) memset(bytes + done, 0, n);
      else memcpy(bytes + done, page + at % kPage, n);
      done += n;
    }
  }

  HARNESS int write(uint64_t offset, const uint8_t* bytes, size_t len, size_t* written) override {
    ++writes_;
    for (size_t done = 0; done < len;) {
      const uint64_t at = offset + done;
      const size_t n = static_cast<size_t>(std::min<uint64_t>(len - done, kPage - at % kPage));
      uint8_t* page = writable_page(at / kPage);
      memcpy(page + at % kPage, bytes + done, n);
      done += n;
    }
    size_ = std::max(size_, offset + len);
    *written = len;
    return 0;
  }

  HARNESS uint64_t size() const { return size_; }
  HARNESS int writes() const { return writes_; }

  // Keeps what each page holds before it is first written from now on, so
  // that unchanged() can tell whether the bytes, in the end, are the same.
  HARNESS void watch() {
    watching_ = true;
    watched_.clear();
    watched_size_ = size_;
  }
  HARNESS bool unchanged() const {
    if (size_ != watched_size_) return false;
    Page now;
    for (size_t i = 0; i < watched_.size(); ++i) {
      copy_out(watched_[i].first * kPage, now.data(), kPage);
      if (now != watched_[i].second) return false;
    }
    return true;
  }

 private:
  static constexpr uint64_t kLowSize = 1 << 20;

  HARNESS const uint8_t* page_at(uint64_t page) const {
    if (page * kPage < kLowSize) return low_.data() + page * kPage;
    const Page* high = high_.find(page);
    return high ? high->data() : nullptr;
  }
  HARNESS uint8_t* writable_page(uint64_t page) {
    if (watching_ && !watched_.find(page)) copy_out(page * kPage, watched_.add(page, 0)->data(), kPage);
    if (page * kPage < kLowSize) {
      dirty_.push_back(page);
      return low_.data() + page * kPage;
    }
    Page* high = high_.find(page);
    return (high ? high : high_.add(page, 0))->data();  // a hole reads as zeros
  }

  std::vector<uint8_t> low_;
  std::vector<uint64_t> dirty_;
  Pages high_, watched_;
  bool watching_ = false;
  uint64_t size_ = kSmallFlash, watched_size_ = 0;
  int writes_ = 0;
};

HARNESS bool same_writes(const CopyResult& x, const CopyResult& y) {
  if (x.writes.size() != y.writes.size()) return false;
  for (size_t i = 0; i < x.writes.size(); ++i) {
    const FlashWrite &a = x.writes[i], &b = y.writes[i];
    if (a.image != b.image || a.header != b.header || a.offset != b.offset || a.size != b.size ||
        a.chunks != b.chunks)
      return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static MemoryFlash flash;
  flash.reset();
  MemoryFlsSource firmware(data, size);

  const CopyResult predicted = copy_firmware(&firmware, &flash, CopyMode::kCompare);
  FUZZ_CHECK(flash.writes() == 0);
  const CopyResult done = copy_firmware(&firmware, &flash, CopyMode::kWrite);
  FUZZ_CHECK(done.flash_failure.op == FlashFailure::Op::kNone && done.firmware_error == 0);
  FUZZ_CHECK(same_writes(predicted, done));
  FUZZ_CHECK(flash.size() <= kFlashWindow);

  flash.watch();
  copy_firmware(&firmware, &flash, CopyMode::kWrite);
  FUZZ_CHECK(flash.unchanged());
  return 0;
}
