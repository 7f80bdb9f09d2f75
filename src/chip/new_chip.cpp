#include "chip/new_chip.h"

#include <algorithm>
#include <cstring>

#include "chip/memory_map.h"

namespace {

// The bytes the factory block sets; the rest of it is erased flash.
struct FactoryBytes {
  size_t offset;
  uint8_t bytes[16];
  size_t count;
};

constexpr FactoryBytes kFactoryBytes[] = {
    {0x0000, {0x9F, 0xFF, 0xFF, 0xA0, 0xF5, 0xFA, 0x70, 0x8B,
              0x28, 0x6D, 0xCE, 0x32, 0xA8, 0x1B, 0x01, 0x00}, 16},
    {0x0010, {0x28, 0x6D, 0xCE, 0x37, 0x3B, 0xFB, 0x34, 0x00,
              0xB6, 0xF7, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF}, 16},
    {0x0020, {0x00, 0x00, 0x04, 0x00, 0xFF, 0xFF, 0xFF, 0xFF,
              0x39, 0xE0, 0xFF, 0x01, 0xFF, 0xFF, 0xFF, 0xFF}, 16},
    {0x0084, {0x4B, 0xA4, 0x90, 0x14}, 4},
};

constexpr std::array<uint8_t, kFactoryBlockSize> make_factory_block() {
  std::array<uint8_t, kFactoryBlockSize> block{};
  for (size_t i = 0; i < kFactoryBlockSize; ++i) block[i] = kErasedByte;
  for (const FactoryBytes& run : kFactoryBytes)
    for (size_t i = 0; i < run.count; ++i) block[run.offset + i] = run.bytes[i];
  return block;
}

}  // namespace

const std::array<uint8_t, kFactoryBlockSize> flash_ft_data = make_factory_block();

void new_flash_bytes(uint64_t offset, uint8_t* out, size_t len) {
  memset(out, kErasedByte, len);
  if (offset >= kFactoryBlockSize) return;
  const size_t from = static_cast<size_t>(offset);
  memcpy(out, flash_ft_data.data() + from, std::min(len, kFactoryBlockSize - from));
}

void new_eeprom_bytes(uint8_t* out, size_t len) { memset(out, kErasedByte, len); }

namespace {

bool is_erased(const uint8_t* bytes, size_t len) {
  static const std::array<uint8_t, 4096> erased = [] {
    std::array<uint8_t, 4096> block;
    block.fill(kErasedByte);
    return block;
  }();
  for (size_t at = 0; at < len; at += erased.size())
    if (memcmp(bytes + at, erased.data(), std::min(erased.size(), len - at)) != 0) return false;
  return true;
}

}  // namespace

bool is_new_flash(uint64_t offset, const uint8_t* bytes, size_t len) {
  size_t factory = 0;
  if (offset < kFactoryBlockSize) {
    factory = std::min(len, kFactoryBlockSize - static_cast<size_t>(offset));
    if (memcmp(bytes, flash_ft_data.data() + offset, factory) != 0) return false;
  }
  return is_erased(bytes + factory, len - factory);
}

bool is_new_eeprom(const uint8_t* bytes, size_t len) { return is_erased(bytes, len); }
