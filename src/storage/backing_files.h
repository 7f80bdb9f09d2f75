// The simulated chip's persistent flash and EEPROM, kept in two files
// beside the launcher's executable.
#ifndef ZELK_STORAGE_BACKING_FILES_H_
#define ZELK_STORAGE_BACKING_FILES_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

// Path of the flash backing file, set on every launch (empty when the
// launcher's own path cannot be read); main releases it.
extern std::optional<std::string> flash_file;

// Written over the first 8 KiB of a new flash backing file.
constexpr size_t kFactoryBlockSize = 8192;
extern const std::array<uint8_t, kFactoryBlockSize> flash_ft_data;

constexpr uint64_t kFlashFileSize = 0x8000000;  // 128 MiB
constexpr uint64_t kEepromFileSize = 0x8000;    // 32 KiB

// True when |path| names an existing object that is not a directory.
bool file_is_exist(const std::string& path);

// Creates whichever backing file is missing, sets flash_file and appends
// the two arguments that hand both files to the simulator.
void prefix_args_file(std::string* cmd);

#endif  // ZELK_STORAGE_BACKING_FILES_H_
