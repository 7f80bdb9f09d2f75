#include "storage/copy2flash.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <map>

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

// The flash side of a copy. Writing, it is the flash file. Comparing, it
// keeps what earlier images would have written and shows it to later reads,
// so that images that overlap are compared as the copy would compare them;
// without a file it holds a new chip.
class Flash {
 public:
  Flash(FILE* file, CopyMode mode) : file_(file), mode_(mode) {}

  // Reads |len| bytes at |offset|; bytes past the end of the file read as
  // zeros. False when the seek fails, which ends the copy.
  bool read(uint64_t offset, uint8_t* bytes, size_t len) {
    if (!file_) {
      new_flash_bytes(offset, bytes, len);
    } else {
      if (fseek(file_, static_cast<long>(offset), SEEK_SET) != 0) return false;
      const size_t got = fread(bytes, 1, len, file_);
      if (got != len) {
        memset(bytes + got, 0, len - got);
        clearerr(file_);
      }
    }
    show_pending(offset, bytes, len);
    return true;
  }

  bool write(uint64_t offset, const uint8_t* bytes, size_t len) {
    if (mode_ == CopyMode::kCompare) {
      remember(offset, bytes, len);
      return true;
    }
    if (fseek(file_, static_cast<long>(offset), SEEK_SET) != 0) return false;
    fwrite(bytes, 1, len, file_);
    return true;
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

  FILE* file_;
  CopyMode mode_;
  std::map<uint64_t, std::vector<uint8_t>> pending_;
};

class Copier {
 public:
  Copier(FILE* firmware, Flash* flash, CopyResult* result)
      : firmware_(firmware), flash_(flash), result_(result) {}

  // Writes the header if its flash copy differs. False when a seek fails.
  bool update_header(size_t image, uint32_t offset, const ImageHeader& h) {
    uint8_t have[kImageHeaderSize];
    if (!flash_->read(offset, have, kImageHeaderSize)) return false;
    if (memcmp(have, h.bytes, kImageHeaderSize) == 0) return true;
    note({image, true, offset, kImageHeaderSize, 0});
    return flash_->write(offset, h.bytes, kImageHeaderSize);
  }

  // Copies the data of one image in chunks counted from its own address; a
  // piece holds whole chunks. False when a seek fails.
  bool copy_data(size_t image, uint32_t addr, uint32_t len) {
    uint32_t offset = flash_offset(addr);
    while (len > 0) {
      const size_t size = std::min<size_t>(len, kPieceSize);
      if (want_.size() < size) {
        want_.resize(size);
        have_.resize(size);
      }
      const size_t got = fread(want_.data(), 1, size, firmware_);
      // Of a piece cut short, the chunks read whole are still stored.
      const size_t whole = got == size ? size : got - got % kFlashChunk;
      if (whole != 0 && !update_piece(image, offset, whole)) return false;
      if (got != size) return true;
      len -= static_cast<uint32_t>(size);
      offset += static_cast<uint32_t>(size);
    }
    return true;
  }

 private:
  // Writes the chunks of |len| bytes at |offset| that differ from flash.
  // Chunks that differ side by side go out in one write; the bytes written
  // are the same as chunk by chunk.
  bool update_piece(size_t image, uint32_t offset, size_t len) {
    if (!flash_->read(offset, have_.data(), len)) return false;
    size_t run = 0, run_start = 0;
    for (size_t at = 0; at < len; at += kFlashChunk) {
      const size_t size = std::min(kFlashChunk, len - at);
      if (memcmp(want_.data() + at, have_.data() + at, size) != 0) {
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
    note({image, false, offset, static_cast<uint32_t>(len),
          static_cast<uint32_t>((len + kFlashChunk - 1) / kFlashChunk)});
    return flash_->write(offset, want_.data() + start, len);
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

  FILE* firmware_;
  Flash* flash_;
  CopyResult* result_;
  std::vector<uint8_t> want_, have_;
};

void copy_images(FILE* firmware, uint64_t size, Flash* flash, CopyResult* result) {
  Copier copier(firmware, flash, result);
  for (ImageWalk walk(size); walk.more(); ++result->images) {
    const ImageHeader h = read_image_header(firmware);
    result->fault = check_image(h, walk.left());
    if (result->fault != ImageFault::kNone) {
      result->fault_header = h;
      return;
    }
    const size_t image = result->images;
    if (is_image_flash_address(h.header_address()) &&
        !copier.update_header(image, flash_offset(h.header_address()), h)) {
      result->seek_failed = true;
      return;
    }
    if (is_image_flash_address(h.image_address())) {
      if (!copier.copy_data(image, h.image_address(), h.image_length())) {
        result->seek_failed = true;
        return;
      }
    } else if (fseek(firmware, static_cast<long>(h.image_length()), SEEK_CUR) != 0) {
      // Data that goes nowhere is skipped, so the next header is read after it.
      return;
    }
    walk.passed(h);
  }
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

CopyResult copy2flash(const char* image_path, const char* flash_path, CopyMode mode) {
  CopyResult result;
  result.files = CopyResult::Files::kNoFirmware;
  // POSIX opens a folder for reading, and its "size" would be read as
  // images; Windows refuses it. Both skip it this way.
  if (!path_is_existing_non_directory(image_path)) return result;
  File firmware = open_file(image_path, "rb");
  if (!firmware) return result;
  if (fseek(firmware.get(), 0, SEEK_END) != 0) return result;
  const long size = ftell(firmware.get());
  if (size < 0 || fseek(firmware.get(), 0, SEEK_SET) != 0) return result;

  result.files = CopyResult::Files::kNoFlash;
  File flash_file_stream;
  if (mode == CopyMode::kCompare && !path_exists(flash_path)) {
    result.new_chip = true;
  } else {
    flash_file_stream = open_file(flash_path, mode == CopyMode::kWrite ? "r+b" : "rb");
    if (!flash_file_stream) return result;
    // Flash is read and written in whole pieces, which a stream buffer
    // would only copy once more.
    setvbuf(flash_file_stream.get(), nullptr, _IONBF, 0);
  }
  result.files = CopyResult::Files::kOpened;
  Flash flash(flash_file_stream.get(), mode);
  copy_images(firmware.get(), static_cast<uint64_t>(size), &flash, &result);
  return result;
}
