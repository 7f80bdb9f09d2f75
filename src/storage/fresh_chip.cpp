#include "storage/fresh_chip.h"

#include <cerrno>
#include <cstring>
#include <utility>

#include "chip/memory_map.h"
#include "platform/platform.h"
#include "storage/backing_files.h"

namespace {

const char kFreshChipStem[] = "zelk_chip_";

std::string in_folder(const std::string& dir, const std::string& name) {
  return dir + kPathSeparator + name;
}

// Why |path| is no backing file to copy.
std::string cannot_use(const std::string& path) {
  const std::string problem = backing_file_problem(path);
  return problem.empty() ? path + ": " + strerror(errno) : problem;
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

std::string chip_template_problem(const std::string& source, const std::string& dir) {
  const std::string problem = chip_dir_problem(source, dir, check_chip_dir(dir));
  if (!problem.empty()) return problem;
  const BackingFiles files = backing_files_in(dir);
  const struct {
    const std::string& path;
    uint64_t size;
  } wanted[] = {{files.flash, kFlashSize}, {files.eeprom, kEepromSize}};
  for (const auto& w : wanted) {
    uint64_t size = 0;
    if (path_kind(w.path) != PathKind::kFile || !file_size_of(w.path, &size))
      return source + " " + dir + " holds no chip: " + cannot_use(w.path);
    if (size != w.size)
      return source + " " + dir + " holds no chip: " + w.path + " is " + std::to_string(size) +
             " bytes, not " + std::to_string(w.size);
  }
  return "";
}

TemplateCopy copy_chip_template(const std::string& dir, const BackingFiles& fresh) {
  TemplateCopy copy;
  const BackingFiles from = backing_files_in(dir);
  FileLock lock;
  switch (lock.take_shared(from.lock, &copy.holder)) {
    case FileLock::Status::kTaken: break;
    case FileLock::Status::kHeld: copy.outcome = TemplateCopy::Outcome::kInUse; return copy;
    case FileLock::Status::kFailed: copy.unlocked = true; break;
  }
  for (const auto& pair : {std::make_pair(&from.flash, &fresh.flash),
                           std::make_pair(&from.eeprom, &fresh.eeprom)}) {
    if (const int error = clone_file(*pair.first, *pair.second)) {
      copy.outcome = TemplateCopy::Outcome::kFailed;
      copy.problem = "cannot copy " + *pair.first + " to " + *pair.second + ": " + strerror(error);
      return copy;
    }
  }
  return copy;
}
