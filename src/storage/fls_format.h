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

// Reads the next header from |file|; bytes past a short read stay zero.
ImageHeader read_image_header(FILE* file);

// Why a copy stops at an image, |left| being the bytes of the file from
// its header on.
enum class ImageFault { kNone, kBadMagic, kTooLarge, kPastEndOfFile, kBeyondFlash };
ImageFault check_image(const ImageHeader& h, uint64_t left);

// The fault's text, as the launcher prints it.
std::string image_fault_text(ImageFault fault, const ImageHeader& h);

// Where the images of a file end: a first header is read whatever the
// size, later ones only while more than a header's worth is left, so up to
// 64 trailing bytes are ignored.
class ImageWalk {
 public:
  explicit ImageWalk(uint64_t file_size) : left_(file_size) {}
  bool more() const { return first_ ? left_ != 0 : left_ > kImageHeaderSize; }
  uint64_t left() const { return left_; }
  // Past an image that check_image accepted.
  void passed(const ImageHeader& h) {
    left_ -= uint64_t{h.image_length()} + kImageHeaderSize;
    first_ = false;
  }

 private:
  uint64_t left_;
  bool first_ = true;
};

// A stretch of flash an image stores: its header or its data.
struct StoredRange {
  size_t image = 0;
  bool header = false;
  uint32_t offset = 0;  // in the flash backing file
  uint32_t size = 0;
};

// What a copy would find in a firmware image file, read without flash.
struct FlsListing {
  uint64_t file_size = 0;
  // The images a copy accepts, in file order.
  std::vector<ImageHeader> images;
  // The image it would stop at, counted from 0, and why.
  ImageFault fault = ImageFault::kNone;
  ImageHeader fault_header = {};
  // Bytes after the last image that a copy ignores.
  uint64_t ignored_tail = 0;
  // Stretches that two of the accepted images both store, each paired with
  // one before it in flash order.
  std::vector<std::pair<StoredRange, StoredRange>> overlaps;
};

// The stretches of flash |h| stores; none outside flash or of no length.
std::vector<StoredRange> stored_ranges(size_t image, const ImageHeader& h);

// Lists the images of the firmware image file at |path|; false when it
// cannot be read.
bool list_images(const std::string& path, FlsListing* listing);

#endif  // ZELK_STORAGE_FLS_FORMAT_H_
