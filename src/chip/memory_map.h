// The zelk chip's memories as the simulator keeps them: where flash lies
// among the chip's addresses, and the sizes of its two backing files.
#ifndef ZELK_CHIP_MEMORY_MAP_H_
#define ZELK_CHIP_MEMORY_MAP_H_

#include <cstddef>
#include <cstdint>

// The first byte of flash; the flash backing file holds the whole window,
// the byte for an address lying at offset address & kFlashOffsetMask.
constexpr uint32_t kFlashBase = 0x08000000;
constexpr uint64_t kFlashSize = 0x08000000;  // 128 MiB
constexpr uint32_t kFlashOffsetMask = 0x07FFFFFF;
constexpr uint32_t kFlashEnd = kFlashBase + static_cast<uint32_t>(kFlashSize);

// A firmware image file may name any address up to here as flash; lower
// addresses alias the window.
constexpr uint32_t kLastImageFlashAddress = 0x0FFFFFFF;
// An ELF section loaded anywhere from kFlashBase up to here resides in
// flash and goes into the raw image.
constexpr uint32_t kLastResidentFlashAddress = 0x1FFFFFFF;

// Firmware is compared and rewritten in pieces of this size, counted from
// each image's own address.
constexpr size_t kFlashChunk = 4096;

constexpr uint64_t kEepromSize = 0x8000;  // 32 KiB

// Erased flash and EEPROM read as this byte.
constexpr uint8_t kErasedByte = 0xFF;

inline bool is_image_flash_address(uint32_t addr) { return addr <= kLastImageFlashAddress; }
inline uint32_t flash_offset(uint32_t addr) { return addr & kFlashOffsetMask; }

#endif  // ZELK_CHIP_MEMORY_MAP_H_
