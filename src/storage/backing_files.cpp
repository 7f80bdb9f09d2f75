#include "storage/backing_files.h"

#include <cstdio>
#include <vector>

#include "launcher/cmd_line.h"
#include "launcher/qemu_args.h"
#include "platform/file.h"
#include "platform/platform.h"

std::optional<std::string> flash_file;

namespace {

constexpr size_t kFlashBlock = 4096;
constexpr size_t kEepromBlock = 64;
// Large enough that the 128 MiB of a new flash file reach the disk in a few
// hundred system calls rather than one per block.
constexpr size_t kStreamBuffer = 1 << 20;

// Writes |count| blocks from |block|, reporting every short one.
void write_blocks(FILE* file, const uint8_t* block, size_t size, size_t count) {
  for (size_t i = 0; i < count; ++i)
    if (fwrite(block, 1, size, file) != size) perror("fwrite");
}

void create_flash_file(const std::string& path) {
  std::vector<char> stream_buffer(kStreamBuffer);
  File file = open_file(path, "wb");
  if (!file) return;
  setvbuf(file.get(), stream_buffer.data(), _IOFBF, stream_buffer.size());
  const std::vector<uint8_t> erased(kFlashBlock, 0xFF);
  write_blocks(file.get(), erased.data(), kFlashBlock, kFlashFileSize / kFlashBlock);
  // A failed seek would write the factory block at the end instead.
  if (fseek(file.get(), 0, SEEK_SET) != 0) return;
  write_blocks(file.get(), flash_ft_data.data(), kFlashBlock, 1);
  write_blocks(file.get(), flash_ft_data.data() + kFlashBlock, kFlashBlock, 1);
}

void create_eeprom_file(const std::string& path) {
  File file = open_file(path, "wb");
  if (!file) return;
  const std::vector<uint8_t> erased(kEepromBlock, 0xFF);
  write_blocks(file.get(), erased.data(), kEepromBlock, kEepromFileSize / kEepromBlock);
}

// The folder holding the executable; "." for a bare name, which no platform
// is expected to report.
std::string launcher_directory(const std::string& exe_path) {
  size_t cut = exe_path.find_last_of(kPathSeparator);
  return cut == std::string::npos ? "." : exe_path.substr(0, cut);
}

}  // namespace

bool file_is_exist(const std::string& path) {
  return path_is_existing_non_directory(path);
}

void prefix_args_file(std::string* cmd) {
  std::string flash_path, eeprom_path, exe;
  if (own_executable_path(&exe) && !exe.empty()) {
    const std::string dir = launcher_directory(exe);
    flash_path = dir + kPathSeparator + "zelk.iflash";
    eeprom_path = dir + kPathSeparator + "zelk.eeprom";
    if (!file_is_exist(flash_path)) create_flash_file(flash_path);
    if (!file_is_exist(eeprom_path)) create_eeprom_file(eeprom_path);
  }
  flash_file = flash_path;
  space_strcat(cmd, kQemuGlobalOption);
  space_strcat(cmd, qemu_flash_value(flash_path));
  space_strcat(cmd, kQemuGlobalOption);
  space_strcat(cmd, qemu_eeprom_value(eeprom_path));
}
