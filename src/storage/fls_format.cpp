#include "storage/fls_format.h"

#include <algorithm>
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

ImageHeader read_image_header(FILE* file) {
  ImageHeader h = {};
  if (fread(h.bytes, 1, kImageHeaderSize, file) != kImageHeaderSize) clearerr(file);
  return h;
}

ImageFault check_image(const ImageHeader& h, uint64_t left) {
  if (h.magic() != kImageMagic) return ImageFault::kBadMagic;
  const uint32_t len = h.image_length();
  if (len > kMaxImageLength) return ImageFault::kTooLarge;
  if (left < kImageHeaderSize || len > left - kImageHeaderSize) return ImageFault::kPastEndOfFile;
  if (!fits_in_flash(h.header_address(), kImageHeaderSize) || !fits_in_flash(h.image_address(), len))
    return ImageFault::kBeyondFlash;
  return ImageFault::kNone;
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

std::vector<StoredRange> stored_ranges(size_t image, const ImageHeader& h) {
  std::vector<StoredRange> ranges;
  if (is_image_flash_address(h.header_address()))
    ranges.push_back({image, true, flash_offset(h.header_address()), kImageHeaderSize});
  if (is_image_flash_address(h.image_address()) && h.image_length() != 0)
    ranges.push_back({image, false, flash_offset(h.image_address()), h.image_length()});
  return ranges;
}

namespace {

// Sweeps the ranges in flash order, pairing each with the one before it
// that reaches furthest, if it reaches into it.
std::vector<std::pair<StoredRange, StoredRange>> find_overlaps(std::vector<StoredRange> ranges) {
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

}  // namespace

bool list_images(const std::string& path, FlsListing* listing) {
  *listing = FlsListing();
  uint64_t size = 0;
  if (!path_is_existing_non_directory(path) || !file_size_of(path, &size)) return false;
  File file = open_file(path, "rb");
  if (!file) return false;
  listing->file_size = size;
  std::vector<StoredRange> ranges;
  ImageWalk walk(size);
  uint64_t at = 0;
  for (; walk.more(); walk.passed(listing->images.back())) {
    if (fseek(file.get(), static_cast<long>(at), SEEK_SET) != 0) return false;
    const ImageHeader h = read_image_header(file.get());
    listing->fault = check_image(h, walk.left());
    if (listing->fault != ImageFault::kNone) {
      listing->fault_header = h;
      break;
    }
    const std::vector<StoredRange> stored = stored_ranges(listing->images.size(), h);
    ranges.insert(ranges.end(), stored.begin(), stored.end());
    listing->images.push_back(h);
    at += kImageHeaderSize + uint64_t{h.image_length()};
  }
  if (listing->fault == ImageFault::kNone) listing->ignored_tail = size - at;
  listing->overlaps = find_overlaps(std::move(ranges));
  return true;
}
