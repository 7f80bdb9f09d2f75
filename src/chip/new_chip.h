// What a new chip holds: erased flash with the factory block at its start,
// and erased EEPROM.
#ifndef ZELK_CHIP_NEW_CHIP_H_
#define ZELK_CHIP_NEW_CHIP_H_

#include <array>
#include <cstddef>
#include <cstdint>

// Written over the first 8 KiB of a new chip's flash. The launcher does not
// interpret it.
constexpr size_t kFactoryBlockSize = 8192;
extern const std::array<uint8_t, kFactoryBlockSize> flash_ft_data;

// Fills |out| with the |len| bytes of a new chip's flash that start at
// flash file offset |offset|.
void new_flash_bytes(uint64_t offset, uint8_t* out, size_t len);

// Fills |out| with |len| bytes of a new chip's EEPROM.
void new_eeprom_bytes(uint8_t* out, size_t len);

// True when the |len| bytes at |bytes| are what a new chip's flash holds
// from flash file offset |offset| on, or its EEPROM. Compared in place,
// without making a new chip's bytes first.
bool is_new_flash(uint64_t offset, const uint8_t* bytes, size_t len);
bool is_new_eeprom(const uint8_t* bytes, size_t len);

#endif  // ZELK_CHIP_NEW_CHIP_H_
