#include "storage/copy2flash.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/file.h"
#include "platform/platform.h"

namespace {

constexpr uint32_t kImageMagic = 0xA0FFFF9F;
constexpr size_t kHeaderSize = 64;
constexpr size_t kChunkSize = 4096;
constexpr uint32_t kLastFlashAddress = 0x0FFFFFFF;
constexpr uint32_t kFlashOffsetMask = 0x07FFFFFF;
constexpr uint64_t kFlashSize = 0x08000000;
// The count of an image's data bytes is a signed 32-bit number.
constexpr uint32_t kMaxImageLength = 0x7FFFFFFF;
// Image data is read, and flash read back for comparison, this many chunks
// at a time: a few system calls per 128 KiB rather than three per chunk, in
// pieces small enough to stay in the processor's cache from the read to
// the comparison (a megabyte made the copy slower than cmp).
constexpr size_t kPieceSize = 32 * kChunkSize;

struct ImageHeader {
  uint8_t bytes[kHeaderSize];
  uint32_t field(size_t offset) const {
    const uint8_t* p = bytes + offset;
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
  }
  uint32_t magic() const { return field(0); }
  uint32_t image_address() const { return field(8); }
  uint32_t image_length() const { return field(12); }
  uint32_t header_address() const { return field(16); }
};

bool is_flash_address(uint32_t addr) { return addr <= kLastFlashAddress; }

// True when |len| bytes stored at flash address |addr| stay inside the
// 128 MiB of the flash backing file.
bool fits_in_flash(uint32_t addr, uint64_t len) {
  return !is_flash_address(addr) || (addr & kFlashOffsetMask) + len <= kFlashSize;
}

// Reads |len| bytes of flash at |offset|. Bytes past the end of the file
// read as zeros. False when the seek fails, which ends the copy.
bool read_flash(FILE* flash, long offset, uint8_t* bytes, size_t len) {
  if (fseek(flash, offset, SEEK_SET) != 0) return false;
  const size_t got = fread(bytes, 1, len, flash);
  if (got != len) {
    memset(bytes + got, 0, len - got);
    clearerr(flash);
  }
  return true;
}

bool write_flash(FILE* flash, long offset, const uint8_t* bytes, size_t len) {
  if (fseek(flash, offset, SEEK_SET) != 0) return false;
  fwrite(bytes, 1, len, flash);
  return true;
}

// Writes a header whose flash copy differs. False when a seek fails.
bool update_header(FILE* flash, long offset, const uint8_t* want) {
  uint8_t have[kHeaderSize];
  if (!read_flash(flash, offset, have, kHeaderSize)) return false;
  return memcmp(have, want, kHeaderSize) == 0 || write_flash(flash, offset, want, kHeaderSize);
}

// One piece of image data and the flash it goes over, kept across images.
struct Piece {
  std::vector<uint8_t> want, have;
};

// Writes the chunks of |len| bytes at |offset| that differ from flash.
// Chunks that differ side by side go out in one write; the bytes written
// are the same as chunk by chunk. False when a seek fails.
bool update_piece(FILE* flash, long offset, size_t len, Piece* piece) {
  const uint8_t* want = piece->want.data();
  if (!read_flash(flash, offset, piece->have.data(), len)) return false;
  size_t run = 0, run_start = 0;
  for (size_t at = 0; at < len; at += kChunkSize) {
    const size_t size = std::min(kChunkSize, len - at);
    if (memcmp(want + at, piece->have.data() + at, size) != 0) {
      if (run == 0) run_start = at;
      run += size;
      continue;
    }
    if (run != 0 && !write_flash(flash, offset + static_cast<long>(run_start),
                                 want + run_start, run))
      return false;
    run = 0;
  }
  return run == 0 ||
         write_flash(flash, offset + static_cast<long>(run_start), want + run_start, run);
}

// Copies the data of one image in chunks counted from its own address; a
// piece holds whole chunks. False when a seek fails.
bool copy_image_data(FILE* firmware, FILE* flash, uint32_t addr, uint32_t len, Piece* piece) {
  long offset = static_cast<long>(addr & kFlashOffsetMask);
  while (len > 0) {
    const size_t size = std::min<size_t>(len, kPieceSize);
    if (piece->want.size() < size) {
      piece->want.resize(size);
      piece->have.resize(size);
    }
    const size_t got = fread(piece->want.data(), 1, size, firmware);
    // Of a piece cut short, the chunks read whole are still stored.
    const size_t whole = got == size ? size : got - got % kChunkSize;
    if (whole != 0 && !update_piece(flash, offset, whole, piece)) return false;
    if (got != size) return true;
    len -= static_cast<uint32_t>(size);
    offset += static_cast<long>(size);
  }
  return true;
}

// Refuses an image that would be written anywhere but its place in flash.
bool image_is_acceptable(const ImageHeader& h, uint64_t left) {
  const uint32_t addr = h.image_address(), len = h.image_length();
  if (len > kMaxImageLength) {
    printf("image at 0x%08x: length %u is too large\n", addr, len);
    return false;
  }
  if (left < kHeaderSize || len > left - kHeaderSize) {
    printf("image at 0x%08x: length %u runs past the end of the firmware file\n",
           addr, len);
    return false;
  }
  if (!fits_in_flash(h.header_address(), kHeaderSize) || !fits_in_flash(addr, len)) {
    printf("image at 0x%08x: length %u reaches beyond the end of flash\n", addr, len);
    return false;
  }
  return true;
}

}  // namespace

void copy2flash(const char* image_path, const char* flash_path) {
  // POSIX opens a folder for reading, and its "size" would be read as
  // images; Windows refuses it. Both skip it in silence this way.
  if (!path_is_existing_non_directory(image_path)) return;
  File firmware = open_file(image_path, "rb");
  if (!firmware) return;
  if (fseek(firmware.get(), 0, SEEK_END) != 0) return;
  const long size = ftell(firmware.get());
  if (size < 0 || fseek(firmware.get(), 0, SEEK_SET) != 0) return;
  File flash = open_file(flash_path, "r+b");
  if (!flash) return;
  // Flash is read and written in whole pieces, which a stream buffer would
  // only copy once more.
  setvbuf(flash.get(), nullptr, _IONBF, 0);
  Piece piece;

  uint64_t left = static_cast<uint64_t>(size);
  while (left != 0) {
    ImageHeader h = {};
    if (fread(h.bytes, 1, kHeaderSize, firmware.get()) != kHeaderSize)
      clearerr(firmware.get());
    if (h.magic() != kImageMagic) {
      printf("image magic error\n");
      return;
    }
    if (!image_is_acceptable(h, left)) return;
    if (is_flash_address(h.header_address()) &&
        !update_header(flash.get(), static_cast<long>(h.header_address() & kFlashOffsetMask),
                       h.bytes))
      return;
    if (is_flash_address(h.image_address())) {
      if (!copy_image_data(firmware.get(), flash.get(), h.image_address(), h.image_length(),
                           &piece))
        return;
    } else if (fseek(firmware.get(), static_cast<long>(h.image_length()), SEEK_CUR) != 0) {
      // Data that goes nowhere is skipped, so the next header is read after it.
      return;
    }
    left -= uint64_t{h.image_length()} + kHeaderSize;
    if (left <= kHeaderSize) return;
  }
}
