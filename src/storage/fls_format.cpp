#include "storage/fls_format.h"

#include <algorithm>
#include <cstring>

#include "chip/memory_map.h"

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
