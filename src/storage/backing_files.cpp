#include "storage/backing_files.h"

#include <algorithm>
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
// Erased blocks go out this many bytes per write, so that the 128 MiB of a
// new flash file reach the disk in a hundred-odd system calls rather than
// one per block.
constexpr size_t kBatchBytes = 1 << 20;

// Writes |count| blocks of |size| bytes from |blocks|, which holds
// |per_batch| of them back to back, and reports every block that does not
// reach the file whole. The stream is unbuffered, so a short write shows at
// the block it hit and not at some later flush. After the first short write
// the rest go one block at a time, each reported on its own, as a full disk
// would fail each of them.
void write_blocks(FILE* file, const uint8_t* blocks, size_t size, size_t per_batch,
                  size_t count) {
  size_t done = 0;
  while (done < count && per_batch > 1) {
    const size_t batch = std::min(per_batch, count - done);
    const size_t written = fwrite(blocks, 1, batch * size, file);
    if (written == batch * size) {
      done += batch;
      continue;
    }
    // The block the write stopped in is the short one.
    done += written / size + 1;
    perror("fwrite");
    per_batch = 1;
  }
  for (; done < count; ++done)
    if (fwrite(blocks, 1, size, file) != size) perror("fwrite");
}

File open_unbuffered(const std::string& path) {
  File file = open_file(path, "wb");
  if (file) setvbuf(file.get(), nullptr, _IONBF, 0);
  return file;
}

void create_flash_file(const std::string& path) {
  File file = open_unbuffered(path);
  if (!file) return;
  const std::vector<uint8_t> erased(kBatchBytes, 0xFF);
  write_blocks(file.get(), erased.data(), kFlashBlock, kBatchBytes / kFlashBlock,
               kFlashFileSize / kFlashBlock);
  // A failed seek would write the factory block at the end instead.
  if (fseek(file.get(), 0, SEEK_SET) != 0) return;
  write_blocks(file.get(), flash_ft_data.data(), kFlashBlock, 1, 1);
  write_blocks(file.get(), flash_ft_data.data() + kFlashBlock, kFlashBlock, 1, 1);
}

void create_eeprom_file(const std::string& path) {
  File file = open_unbuffered(path);
  if (!file) return;
  const size_t count = kEepromFileSize / kEepromBlock;
  const std::vector<uint8_t> erased(kEepromFileSize, 0xFF);
  write_blocks(file.get(), erased.data(), kEepromBlock, count, count);
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
