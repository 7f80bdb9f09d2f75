#include "storage/fresh_chip.h"

#include "platform/platform.h"
#include "storage/backing_files.h"

namespace {

const char kFreshChipStem[] = "zelk_chip_";

std::string in_folder(const std::string& dir, const std::string& name) {
  return dir + kPathSeparator + name;
}

}  // namespace

bool create_fresh_chip_dir(std::string* dir) {
  return create_own_named_folder(in_folder(temporary_directory(), kFreshChipStem), dir);
}

void remove_chip_folder(const std::string& dir) {
  for (const std::string& name : folder_entries(dir)) remove_file(in_folder(dir, name));
  remove_folder(dir);
}

void remove_abandoned_fresh_chips() {
  const std::string temp = temporary_directory();
  const std::string stem = kFreshChipStem;
  for (const std::string& name : folder_entries(temp)) {
    if (name.compare(0, stem.size(), stem) != 0) continue;
    const BackingFiles files = backing_files_in(in_folder(temp, name));
    // A lock file that holds no id yet is a run's that is still starting.
    uint64_t size = 0;
    if (!file_size_of(files.lock, &size) || size == 0) continue;
    {
      FileLock lock;
      long holder = 0;
      if (lock.take(files.lock, &holder) != FileLock::Status::kTaken) continue;
    }
    remove_chip_folder(files.dir);
  }
}
