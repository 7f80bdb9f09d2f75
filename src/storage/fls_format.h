// The firmware image file (".fls"): images back to back from its first
// byte, each a 64-byte header followed by the image's data. Header fields
// are unsigned 32-bit little-endian numbers.
#ifndef ZELK_STORAGE_FLS_FORMAT_H_
#define ZELK_STORAGE_FLS_FORMAT_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "platform/file.h"

constexpr uint32_t kImageMagic = 0xA0FFFF9F;
constexpr size_t kImageHeaderSize = 64;

// Header fields by offset. The checksum and the name are not interpreted
// by a copy; they are what the packer writes there.
constexpr size_t kMagicField = 0;
constexpr size_t kChecksumField = 4;      // sum of the data bytes, mod 2^32
constexpr size_t kImageAddressField = 8;  // flash address of the data
constexpr size_t kImageLengthField = 12;  // bytes of data after the header
constexpr size_t kHeaderAddressField = 16;  // flash address of the header
constexpr size_t kNameField = 20;         // the data file's name, 0-ended
constexpr size_t kNameMax = 31;

// An image's count of data bytes is a signed 32-bit number.
constexpr uint32_t kMaxImageLength = 0x7FFFFFFF;
// A header address that says the header is not stored.
constexpr uint32_t kHeaderNotStored = 0xFFFFFFFF;

struct ImageHeader {
  uint8_t bytes[kImageHeaderSize];

  uint32_t field(size_t offset) const {
    const uint8_t* p = bytes + offset;
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
  }
  uint32_t magic() const { return field(kMagicField); }
  uint32_t image_address() const { return field(kImageAddressField); }
  uint32_t image_length() const { return field(kImageLengthField); }
  uint32_t header_address() const { return field(kHeaderAddressField); }
};

// The header the packer writes for |len| bytes of |data| named |name|.
ImageHeader make_image_header(uint32_t addr, uint32_t header_addr, const uint8_t* data,
                              uint32_t len, const std::string& name);

// Why a copy stops at an image.
enum class ImageFault { kNone, kBadMagic, kTooLarge, kPastEndOfFile, kBeyondFlash };

// The fault's text, as the launcher prints it.
std::string image_fault_text(ImageFault fault, const ImageHeader& h);

// Where the bytes of a firmware image file come from: the file, or bytes
// in memory.
class FlsSource {
 public:
  virtual ~FlsSource() = default;
  virtual uint64_t size() const = 0;
  // Reads up to |len| bytes at |offset|; |got| says how many came, fewer
  // only at the end. Returns 0, or the system's error number.
  virtual int read_at(uint64_t offset, uint8_t* out, size_t len, size_t* got) = 0;
};

class MemoryFlsSource : public FlsSource {
 public:
  MemoryFlsSource(const uint8_t* bytes, size_t size) : bytes_(bytes), size_(size) {}
  uint64_t size() const override { return size_; }
  int read_at(uint64_t offset, uint8_t* out, size_t len, size_t* got) override;

 private:
  const uint8_t* bytes_;
  size_t size_;
};

// A firmware image file open for reading; stays open while it lives.
class FileFlsSource : public FlsSource {
 public:
  // 0, or the system's error number when |path| cannot be opened; a folder
  // gives EISDIR on every platform.
  int open(const std::string& path);
  uint64_t size() const override { return size_; }
  int read_at(uint64_t offset, uint8_t* out, size_t len, size_t* got) override;

 private:
  File file_;
  uint64_t size_ = 0;
  uint64_t position_ = 0;
};

// A stretch of flash an image stores: its header or its data.
struct StoredRange {
  size_t image = 0;
  bool header = false;
  uint32_t offset = 0;  // in the flash backing file
  uint32_t size = 0;
};

struct ListedImage {
  ImageHeader header;
  uint64_t data_offset = 0;  // in the firmware image file
};

// What a copy finds in a firmware image file, read without flash: the
// images it accepts and where and why it stops.
struct FlsListing {
  uint64_t file_size = 0;
  // The system's error number when the file could not be opened or read;
  // the listing then holds what came before.
  int error = 0;
  // The images a copy accepts, in file order.
  std::vector<ListedImage> images;
  // Why the copy stops at the image after them.
  ImageFault fault = ImageFault::kNone;
  ImageHeader fault_header = {};
  // Bytes after the last image that a copy ignores.
  uint64_t ignored_tail = 0;

  // The text the launcher prints where the copy stops; empty when it
  // reaches the end.
  std::string stop_text() const { return image_fault_text(fault, fault_header); }
};

// Stretches of flash that two of the listed images both store, each paired
// with one before it in flash order.
std::vector<std::pair<StoredRange, StoredRange>> find_overlaps(const FlsListing& listing);

// The one reader of the format: what a copy would find in |source|.
FlsListing read_fls(FlsSource* source);

// The listing of the firmware image file at |path|.
FlsListing list_images(const std::string& path);


#endif  // ZELK_STORAGE_FLS_FORMAT_H_
