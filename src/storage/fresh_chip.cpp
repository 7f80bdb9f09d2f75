#include "storage/fresh_chip.h"

#include <cerrno>
#include <cstring>
#include <utility>

#include "chip/memory_map.h"
#include "platform/file.h"
#include "platform/platform.h"
#include "qemu/qemu_args.h"
#include "storage/backing_files.h"

namespace {

const char kFreshChipStem[] = "zelk_chip_";

// A run killed between making its folder and locking its chip leaves a
// folder with no lock held and no holder's id; a run still starting looks
// the same for a moment only.
constexpr double kStartingSeconds = 60;

std::string in_folder(const std::string& dir, const std::string& name) {
  return dir + kPathSeparator + name;
}

// Why |path| is no backing file to copy.
std::string cannot_use(const std::string& path) {
  const std::string problem = backing_file_problem(path);
  return problem.empty() ? path + ": " + strerror(errno) : problem;
}

// The stem, then a suffix as the launcher makes it: decimal, hexadecimal
// and decimal digits joined by '_'.
bool is_fresh_chip_name(const std::string& name) {
  const std::string stem = kFreshChipStem;
  if (name.compare(0, stem.size(), stem) != 0) return false;
  const char* const kDigits[] = {"0123456789", "0123456789abcdef", "0123456789"};
  size_t at = stem.size();
  for (int part = 0; part < 3; ++part) {
    if (part > 0 && (at >= name.size() || name[at++] != '_')) return false;
    const size_t end = name.find_first_not_of(kDigits[part], at);
    if (end == at) return false;
    at = end == std::string::npos ? name.size() : end;
  }
  return at == name.size();
}

// True when the folder holds nothing but what a run's chip folder holds:
// the backing files and the raw images, each a file of its own.
bool holds_only_a_chip(const std::vector<HeldFolder::Entry>& entries) {
  const std::string raw = kRawImageStem;
  for (const HeldFolder::Entry& e : entries) {
    const bool known = is_backing_file_name(e.name) || e.name.compare(0, raw.size(), raw) == 0;
    if (!known || !e.plain_file) return false;
  }
  return true;
}

// Removes the fresh chip folder |name| of |temp| when its run is over.
// Nothing is followed out of it and nothing but this user's chip folders
// is touched.
void remove_if_abandoned(const std::string& temp, const std::string& name) {
  HeldFolder folder;
  std::vector<HeldFolder::Entry> entries;
  if (!folder.open(temp, name) || !folder.owned_by_this_user() || !folder.entries(&entries) ||
      !holds_only_a_chip(entries))
    return;
  const std::string lock_name = lock_file_name();
  bool locked_once = false;
  for (const HeldFolder::Entry& e : entries) locked_once |= e.name == lock_name && e.size > 0;
  {
    FileLock lock;
    const FileLock::Status status = folder.lock_file(lock_name, &lock);
    if (status == FileLock::Status::kHeld) return;
    // A lock file that holds no id yet: the run is starting, or was killed
    // while it did.
    if ((status != FileLock::Status::kTaken || !locked_once) &&
        folder.seconds_unchanged() < kStartingSeconds)
      return;
    for (const HeldFolder::Entry& e : entries)
      if (e.name != lock_name) folder.remove_file(e.name);
  }
  folder.remove_file(lock_name);
  folder.remove();
}

}  // namespace

bool create_fresh_chip_dir(std::string* dir, const std::string& parent) {
  return create_own_named_folder(
      in_folder(parent.empty() ? temporary_directory() : parent, kFreshChipStem), dir);
}

void remove_chip_folder(const std::string& dir) {
  const size_t cut = dir.rfind(kPathSeparator);
  if (cut == std::string::npos) return;
  HeldFolder folder;
  std::vector<HeldFolder::Entry> entries;
  if (!folder.open(dir.substr(0, cut), dir.substr(cut + 1)) || !folder.entries(&entries)) return;
  for (const HeldFolder::Entry& e : entries) folder.remove_file(e.name);
  folder.remove();
}

void remove_abandoned_fresh_chips(const std::string& parent) {
  const std::string temp = parent.empty() ? temporary_directory() : parent;
  for (const std::string& name : folder_entries(temp))
    if (is_fresh_chip_name(name)) remove_if_abandoned(temp, name);
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

namespace {

// Copies the template's two backing files into the fresh chip.
TemplateCopy copy_backing_files(const BackingFiles& from, const BackingFiles& to,
                                const FileCopier& copy_file) {
  TemplateCopy copy;
  for (const auto& pair : {std::make_pair(&from.flash, &to.flash),
                           std::make_pair(&from.eeprom, &to.eeprom)}) {
    if (const int error = copy_file(*pair.first, *pair.second)) {
      copy.outcome = TemplateCopy::Outcome::kFailed;
      copy.problem = "cannot copy " + *pair.first + " to " + *pair.second + ": " + strerror(error);
      return copy;
    }
  }
  return copy;
}

// A lock file that vanishes again and again between the checks.
constexpr int kCopyAttempts = 3;

}  // namespace

TemplateCopy copy_chip_template(const std::string& dir, const BackingFiles& fresh,
                                const FileCopier& copy_file) {
  const BackingFiles from = backing_files_in(dir);
  for (int attempt = 0; attempt < kCopyAttempts; ++attempt) {
    TemplateCopy copy;
    FileLock lock;
    errno = 0;
    switch (lock.take_shared(from.lock, &copy.holder)) {
      case FileLock::Status::kTaken: break;
      case FileLock::Status::kHeld: copy.outcome = TemplateCopy::Outcome::kInUse; return copy;
      case FileLock::Status::kFailed:
        copy.outcome = TemplateCopy::Outcome::kFailed;
        copy.problem = chip_not_locked_text(dir, failed_call_error());
        return copy;
    }
    // No lock file: no launch ever took the template, and nothing keeps
    // one from starting now. A launch makes the lock file before it
    // writes a backing file, so a copy after which there is still none
    // is whole; otherwise it is made again, under the lock.
    const bool unlocked = lock.handle() == -1;
    copy = copy_backing_files(from, fresh, copy_file);
    if (copy.outcome != TemplateCopy::Outcome::kCopied || !unlocked || !path_exists(from.lock))
      return copy;
    remove_file(fresh.flash);
    remove_file(fresh.eeprom);
  }
  TemplateCopy torn;
  torn.outcome = TemplateCopy::Outcome::kFailed;
  torn.problem = "cannot copy the chip in " + dir + ": it was taken while it was copied";
  return torn;
}
