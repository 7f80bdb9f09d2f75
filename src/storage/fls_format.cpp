#include "storage/fls_format.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "chip/memory_map.h"
#include "platform/file.h"
#include "platform/platform.h"

namespace {

void put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// True when |len| bytes stored at |addr| stay inside the flash window.
bool fits_in_flash(uint32_t addr, uint64_t len) {
  return !is_image_flash_address(addr) || flash_offset(addr) + len <= kFlashSize;
}

// Why a copy stops at the image of header |h|, |left| being the bytes of
// the file from its header on.
ImageFault check_image(const ImageHeader& h, uint64_t left) {
  if (h.magic() != kImageMagic) return ImageFault::kBadMagic;
  const uint32_t len = h.image_length();
  if (len > kMaxImageLength) return ImageFault::kTooLarge;
  if (left < kImageHeaderSize || len > left - kImageHeaderSize) return ImageFault::kPastEndOfFile;
  if (!fits_in_flash(h.header_address(), kImageHeaderSize) || !fits_in_flash(h.image_address(), len))
    return ImageFault::kBeyondFlash;
  return ImageFault::kNone;
}

}  // namespace

ImageHeader make_image_header(uint32_t addr, uint32_t header_addr, const uint8_t* data,
                              uint32_t len, const std::string& name) {
  ImageHeader h;
  memset(h.bytes, 0xFF, sizeof h.bytes);
  uint32_t sum = 0;
  for (uint32_t i = 0; i < len; ++i) sum += data[i];
  put32(h.bytes + kMagicField, kImageMagic);
  put32(h.bytes + kChecksumField, sum);
  put32(h.bytes + kImageAddressField, addr);
  put32(h.bytes + kImageLengthField, len);
  put32(h.bytes + kHeaderAddressField, header_addr);
  const size_t n = std::min(name.size(), kNameMax);
  memcpy(h.bytes + kNameField, name.data(), n);
  h.bytes[kNameField + n] = 0;
  return h;
}

std::string image_fault_text(ImageFault fault, const ImageHeader& h) {
  const char* what = nullptr;
  switch (fault) {
    case ImageFault::kNone: return "";
    case ImageFault::kBadMagic: return "image magic error";
    case ImageFault::kTooLarge: what = "is too large"; break;
    case ImageFault::kPastEndOfFile: what = "runs past the end of the firmware file"; break;
    case ImageFault::kBeyondFlash: what = "reaches beyond the end of flash"; break;
  }
  char text[128];
  snprintf(text, sizeof text, "image at 0x%08x: length %u %s", h.image_address(),
           h.image_length(), what);
  return text;
}

namespace {

// Adds the stretches of flash |h| stores; none outside flash or of no
// length.
void add_stored_ranges(size_t image, const ImageHeader& h, std::vector<StoredRange>* ranges) {
  if (is_image_flash_address(h.header_address()))
    ranges->push_back({image, true, flash_offset(h.header_address()), kImageHeaderSize});
  if (is_image_flash_address(h.image_address()) && h.image_length() != 0)
    ranges->push_back({image, false, flash_offset(h.image_address()), h.image_length()});
}

}  // namespace

// Sweeps the ranges in flash order, pairing each with the one before it
// that reaches furthest, if it reaches into it.
std::vector<std::pair<StoredRange, StoredRange>> find_overlaps(const FlsListing& listing) {
  std::vector<StoredRange> ranges;
  for (size_t i = 0; i < listing.images.size(); ++i)
    add_stored_ranges(i, listing.images[i].header, &ranges);
  std::sort(ranges.begin(), ranges.end(), [](const StoredRange& a, const StoredRange& b) {
    return a.offset != b.offset ? a.offset < b.offset : a.image < b.image;
  });
  std::vector<std::pair<StoredRange, StoredRange>> overlaps;
  const StoredRange* furthest = nullptr;
  for (const StoredRange& r : ranges) {
    const auto end = [](const StoredRange* x) { return uint64_t{x->offset} + x->size; };
    if (furthest && r.offset < end(furthest)) overlaps.emplace_back(*furthest, r);
    if (!furthest || end(&r) > end(furthest)) furthest = &r;
  }
  return overlaps;
}

namespace {

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

}  // namespace

int MemoryFlsSource::read_at(uint64_t offset, uint8_t* out, size_t len, size_t* got) {
  *got = offset < size_ ? static_cast<size_t>(std::min<uint64_t>(len, size_ - offset)) : 0;
  if (*got != 0) memcpy(out, bytes_ + offset, *got);
  return 0;
}

int FileFlsSource::open(const std::string& path) {
  if (int error = open_to_read(path, &file_)) return error;
  // Read in whole headers and pieces, which a stream buffer would only
  // copy once more.
  setvbuf(file_.get(), nullptr, _IONBF, 0);
  if (!stream_size(file_.get(), &size_)) return failed_call_error();
  return 0;
}

int FileFlsSource::read_at(uint64_t offset, uint8_t* out, size_t len, size_t* got) {
  *got = 0;
  if (offset != position_ && !seek_file(file_.get(), offset)) return failed_call_error();
  *got = fread(out, 1, len, file_.get());
  position_ = offset + *got;
  if (*got == len || !ferror(file_.get())) return 0;
  const int error = failed_call_error();
  clearerr(file_.get());
  position_ = UINT64_MAX;  // unknown until the next seek
  return error;
}

FlsListing read_fls(FlsSource* source) {
  FlsListing listing;
  listing.file_size = source->size();
  uint64_t at = 0;
  ImageWalk walk(listing.file_size);
  for (; walk.more(); walk.passed(listing.images.back().header)) {
    // Bytes past a short read stay zero.
    ImageHeader h = {};
    size_t got = 0;
    listing.error = source->read_at(at, h.bytes, kImageHeaderSize, &got);
    if (listing.error != 0) break;
    listing.fault = check_image(h, walk.left());
    if (listing.fault != ImageFault::kNone) {
      listing.fault_header = h;
      break;
    }
    listing.images.push_back({h, at + kImageHeaderSize});
    at += kImageHeaderSize + uint64_t{h.image_length()};
  }
  if (listing.fault == ImageFault::kNone && listing.error == 0)
    listing.ignored_tail = listing.file_size - at;
  return listing;
}

FlsListing list_images(const std::string& path) {
  FileFlsSource source;
  FlsListing listing;
  listing.error = source.open(path);
  return listing.error != 0 ? listing : read_fls(&source);
}

