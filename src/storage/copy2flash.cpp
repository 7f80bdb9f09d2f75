#include "storage/copy2flash.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <map>
#include <utility>

#include "chip/memory_map.h"
#include "chip/new_chip.h"
#include "platform/file.h"
#include "platform/platform.h"

namespace {

// Image data is read, and flash read back for comparison, this many chunks
// at a time: a few system calls per 128 KiB rather than three per chunk, in
// pieces small enough to stay in the processor's cache from the read to
// the comparison (a megabyte made the copy slower than cmp).
constexpr size_t kPieceSize = 32 * kFlashChunk;

// The flash backing file, read and written in whole pieces.
class FileFlash : public FlashStore {
 public:
  explicit FileFlash(FILE* file) : file_(file) {}

  int read(uint64_t offset, uint8_t* bytes, size_t len, size_t* held) override {
    *held = 0;
    if (!seek_file(file_, offset)) return failed_call_error();
    const size_t got = fread(bytes, 1, len, file_);
    if (got == len) {
      *held = len;
      return 0;
    }
    if (ferror(file_)) {
      const int error = failed_call_error();
      clearerr(file_);
      return error;
    }
    // Short without an error: the file ends there.
    *held = got;
    memset(bytes + got, 0, len - got);
    clearerr(file_);
    return 0;
  }

  int write(uint64_t offset, const uint8_t* bytes, size_t len, size_t* written) override {
    *written = 0;
    if (!seek_file(file_, offset)) return failed_call_error();
    errno = 0;
    *written = fwrite(bytes, 1, len, file_);
    if (*written == len) return 0;
    const int error = failed_call_error();
    clearerr(file_);
    return error;
  }

 private:
  FILE* file_;
};

// The flash of a new chip, for a comparison before the flash file exists.
class NewChipFlash : public FlashStore {
 public:
  // A new chip's flash file spans the whole flash window, where every
  // image lies.
  int read(uint64_t offset, uint8_t* bytes, size_t len, size_t* held) override {
    new_flash_bytes(offset, bytes, len);
    *held = len;
    return 0;
  }
  int write(uint64_t, const uint8_t*, size_t len, size_t* written) override {
    *written = len;
    return 0;
  }
};

// A comparison's flash: |base| as it is, with what earlier images would
// have written shown to later reads, so that images that overlap are
// compared as the copy would compare them. Nothing reaches |base|.
class PendingFlash : public FlashStore {
 public:
  explicit PendingFlash(FlashStore* base) : base_(base) {}

  int read(uint64_t offset, uint8_t* bytes, size_t len, size_t* held) override {
    if (int error = base_->read(offset, bytes, len, held)) return error;
    show_pending(offset, bytes, len);
    // Earlier writes past the end would have made the file longer up to
    // their own end, a gap before them reading as zeros.
    if (end_ > offset)
      *held = std::max(*held, static_cast<size_t>(std::min<uint64_t>(len, end_ - offset)));
    return 0;
  }

  int write(uint64_t offset, const uint8_t* bytes, size_t len, size_t* written) override {
    remember(offset, bytes, len);
    end_ = std::max(end_, offset + len);
    *written = len;
    return 0;
  }

 private:
  // Keeps the ranges disjoint: what |bytes| covers of earlier ones goes.
  void remember(uint64_t at, const uint8_t* bytes, size_t len) {
    const uint64_t end = at + len;
    auto keep_tail = [&](std::vector<uint8_t>* range, uint64_t start) {
      if (start + range->size() > end)
        pending_.emplace(end, std::vector<uint8_t>(range->begin() + (end - start), range->end()));
    };
    auto it = pending_.lower_bound(at);
    if (it != pending_.begin()) {
      auto before = std::prev(it);
      if (before->first + before->second.size() > at) {
        keep_tail(&before->second, before->first);
        before->second.resize(at - before->first);
      }
    }
    while (it != pending_.end() && it->first < end) {
      keep_tail(&it->second, it->first);
      it = pending_.erase(it);
    }
    pending_.emplace(at, std::vector<uint8_t>(bytes, bytes + len));
  }

  void show_pending(uint64_t at, uint8_t* bytes, size_t len) const {
    if (pending_.empty()) return;
    const uint64_t end = at + len;
    auto it = pending_.upper_bound(at);
    if (it != pending_.begin()) --it;
    for (; it != pending_.end() && it->first < end; ++it) {
      const uint64_t from = std::max(at, it->first);
      const uint64_t to = std::min(end, it->first + it->second.size());
      if (from < to) memcpy(bytes + (from - at), it->second.data() + (from - it->first), to - from);
    }
  }

  FlashStore* base_;
  std::map<uint64_t, std::vector<uint8_t>> pending_;
  uint64_t end_ = 0;  // of the furthest write remembered
};

// Whether the |len| bytes |have| read from flash, of which the first |held|
// lie before its end, already are |want|. Zeros read past the end are no
// match: taken as held, they would leave the file shorter than the copy
// that writes them, and a later write beyond them would change them.
bool already_held(const uint8_t* want, const uint8_t* have, size_t len, size_t held) {
  return held >= len && memcmp(want, have, len) == 0;
}

class Copier {
 public:
  Copier(FlsSource* firmware, FlashStore* flash, CopyResult* result)
      : firmware_(firmware), flash_(flash), result_(result) {}

  // Writes the header if its flash copy differs. False when flash fails.
  bool update_header(size_t image, uint32_t offset, const ImageHeader& h) {
    uint8_t have[kImageHeaderSize];
    size_t held = 0;
    if (!read_flash(offset, have, kImageHeaderSize, &held)) return false;
    if (already_held(h.bytes, have, kImageHeaderSize, held)) return true;
    return write_flash({image, true, offset, kImageHeaderSize, 0}, h.bytes);
  }

  // Copies the data of one image in chunks counted from its own address; a
  // piece holds whole chunks. False when the copy stops.
  bool copy_data(size_t image, const ListedImage& listed) {
    return copy_span(image, listed.data_offset, listed.header.image_length(),
                     flash_offset(listed.header.image_address()));
  }

  // Copies |len| bytes of the source from |from| on to |offset|, in chunks
  // counted from there.
  bool copy_span(size_t image, uint64_t from, uint32_t len, uint32_t offset) {
    while (len > 0) {
      const size_t size = std::min<size_t>(len, kPieceSize);
      if (want_.size() < size) {
        want_.resize(size);
        have_.resize(size);
      }
      size_t got = 0;
      const int error = firmware_->read_at(from, want_.data(), size, &got);
      // Of a piece cut short, the chunks read whole are still stored.
      const size_t whole = got == size ? size : got - got % kFlashChunk;
      if (whole != 0 && !update_piece(image, offset, whole)) return false;
      if (got != size) {
        // The file was read to its end when it was listed; it has changed
        // or cannot be read since.
        result_->firmware_error = error != 0 ? error : EIO;
        return false;
      }
      len -= static_cast<uint32_t>(size);
      offset += static_cast<uint32_t>(size);
      from += size;
    }
    return true;
  }

 private:
  // Writes the chunks of |len| bytes at |offset| that differ from flash.
  // Chunks that differ side by side go out in one write; the bytes written
  // are the same as chunk by chunk.
  bool update_piece(size_t image, uint32_t offset, size_t len) {
    size_t held = 0;
    if (!read_flash(offset, have_.data(), len, &held)) return false;
    size_t run = 0, run_start = 0;
    for (size_t at = 0; at < len; at += kFlashChunk) {
      const size_t size = std::min(kFlashChunk, len - at);
      if (!already_held(want_.data() + at, have_.data() + at, size, held > at ? held - at : 0)) {
        if (run == 0) run_start = at;
        run += size;
        continue;
      }
      if (!write_run(image, offset, run_start, run)) return false;
      run = 0;
    }
    return write_run(image, offset, run_start, run);
  }

  bool write_run(size_t image, uint32_t piece_offset, size_t start, size_t len) {
    if (len == 0) return true;
    const uint32_t offset = piece_offset + static_cast<uint32_t>(start);
    return write_flash({image, false, offset, static_cast<uint32_t>(len),
                        static_cast<uint32_t>((len + kFlashChunk - 1) / kFlashChunk)},
                       want_.data() + start);
  }

  bool read_flash(uint32_t offset, uint8_t* bytes, size_t len, size_t* held) {
    const int error = flash_->read(offset, bytes, len, held);
    if (error != 0) result_->flash_failure = {FlashFailure::Op::kRead, offset, error};
    return error == 0;
  }

  bool write_flash(const FlashWrite& w, const uint8_t* bytes) {
    size_t written = 0;
    const int error = flash_->write(w.offset, bytes, w.size, &written);
    if (error != 0) {
      result_->flash_failure = {FlashFailure::Op::kWrite,
                                w.offset + static_cast<uint32_t>(written), error};
      return false;
    }
    note(w);
    return true;
  }

  // Side-by-side data writes of one image are one stretch.
  void note(const FlashWrite& w) {
    std::vector<FlashWrite>& writes = result_->writes;
    if (!w.header && !writes.empty()) {
      FlashWrite& last = writes.back();
      if (!last.header && last.image == w.image && last.offset + last.size == w.offset) {
        last.size += w.size;
        last.chunks += w.chunks;
        return;
      }
    }
    writes.push_back(w);
  }

  FlsSource* firmware_;
  FlashStore* flash_;
  CopyResult* result_;
  std::vector<uint8_t> want_, have_;
};

// Stores the listed images in turn; data that goes nowhere is skipped.
void copy_images(const FlsListing& listing, FlsSource* firmware, FlashStore* flash,
                 CopyResult* result) {
  Copier copier(firmware, flash, result);
  for (const ListedImage& listed : listing.images) {
    const ImageHeader& h = listed.header;
    const size_t image = result->images;
    if (is_image_flash_address(h.header_address()) &&
        !copier.update_header(image, flash_offset(h.header_address()), h))
      return;
    if (is_image_flash_address(h.image_address()) && !copier.copy_data(image, listed)) return;
    ++result->images;
  }
  result->firmware_error = listing.error;
  result->fault = listing.fault;
  result->fault_header = listing.fault_header;
}

}  // namespace

size_t CopyResult::headers_written() const {
  return static_cast<size_t>(
      std::count_if(writes.begin(), writes.end(), [](const FlashWrite& w) { return w.header; }));
}

uint64_t CopyResult::chunks_written() const {
  uint64_t chunks = 0;
  for (const FlashWrite& w : writes) chunks += w.chunks;
  return chunks;
}

CopyResult copy_firmware(FlsSource* firmware, FlashStore* flash, CopyMode mode) {
  CopyResult result;
  const FlsListing listing = read_fls(firmware);
  PendingFlash pending(flash);
  copy_images(listing, firmware, mode == CopyMode::kCompare ? &pending : flash, &result);
  return result;
}

CopyResult copy_span(FlsSource* source, uint64_t from, uint32_t len, uint32_t offset,
                     FlashStore* store) {
  CopyResult result;
  Copier copier(source, store, &result);
  if (copier.copy_span(0, from, len, offset)) result.images = 1;
  return result;
}

LazyFileStore::~LazyFileStore() = default;

int LazyFileStore::open(const std::string& path) {
  path_ = path;
  file_ = open_file(path, "rb");
  if (!file_) return failed_call_error();
  setvbuf(file_.get(), nullptr, _IONBF, 0);
  return 0;
}

int LazyFileStore::read(uint64_t offset, uint8_t* bytes, size_t len, size_t* held) {
  return FileFlash(file_.get()).read(offset, bytes, len, held);
}

int LazyFileStore::write(uint64_t offset, const uint8_t* bytes, size_t len, size_t* written) {
  *written = 0;
  if (!writing_) {
    File file = open_file(path_, "r+b");
    if (!file) return failed_call_error();
    setvbuf(file.get(), nullptr, _IONBF, 0);
    file_ = std::move(file);
    writing_ = true;
  }
  return FileFlash(file_.get()).write(offset, bytes, len, written);
}

int LazyFileStore::close() {
  if (!file_) return 0;
  // Closing may be where the system reports a write it could not make.
  const bool failed = fclose(file_.release()) != 0;
  return failed && writing_ ? failed_call_error() : 0;
}

CopyResult copy2flash(const char* image_path, const char* flash_path, CopyMode mode) {
  CopyResult result;
  FileFlsSource firmware;
  result.open_error = firmware.open(image_path);
  if (result.open_error != 0) {
    result.files = CopyResult::Files::kNoFirmware;
    return result;
  }
  NewChipFlash new_chip;
  if (mode == CopyMode::kCompare && path_kind(flash_path) == PathKind::kMissing) {
    result = copy_firmware(&firmware, &new_chip, mode);
    result.new_chip = true;
    return result;
  }
  File file = open_file(flash_path, mode == CopyMode::kWrite ? "r+b" : "rb");
  if (!file) {
    result.files = CopyResult::Files::kNoFlash;
    result.open_error = failed_call_error();
    return result;
  }
  // Flash is read and written in whole pieces, which a stream buffer
  // would only copy once more.
  setvbuf(file.get(), nullptr, _IONBF, 0);
  FileFlash flash(file.get());
  result = copy_firmware(&firmware, &flash, mode);
  // Closing may be where the system reports a write it could not make.
  if (fclose(file.release()) != 0 && !result.writes.empty() &&
      result.flash_failure.op == FlashFailure::Op::kNone)
    result.flash_failure = {FlashFailure::Op::kWrite, result.writes.back().offset,
                            failed_call_error()};
  return result;
}

std::string flash_failure_text(const FlashFailure& failure) {
  if (failure.op == FlashFailure::Op::kNone) return "";
  char text[64];
  snprintf(text, sizeof text, "flash %s error at 0x%08x: ",
           failure.op == FlashFailure::Op::kRead ? "read" : "write", kFlashBase + failure.offset);
  return text + std::string(strerror(failure.error));
}
