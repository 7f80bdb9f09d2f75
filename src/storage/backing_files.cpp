#include "storage/backing_files.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "chip/memory_map.h"
#include "chip/new_chip.h"
#include "platform/file.h"

namespace {

constexpr char kFlashFileName[] = "zelk.iflash";
constexpr char kEepromFileName[] = "zelk.eeprom";
constexpr char kLockFileName[] = "zelk.lock";
// A backing file is written under this suffix and takes its name only once
// it is whole. Only the lock holder writes it, so one name serves.
constexpr char kPartSuffix[] = ".part";

constexpr size_t kFlashBlock = 4096;
constexpr size_t kEepromBlock = 64;
// New contents go out this many bytes per write, so that the 128 MiB of a
// new flash file reach the disk in a hundred-odd system calls rather than
// one per block.
constexpr size_t kBatchBytes = 1 << 20;
// Erasing compares what a file holds in blocks of this size, which stay in
// the processor's cache from the read to the comparison.
constexpr size_t kCompareBlock = 64 * 1024;
constexpr size_t kFirstCompareBlock = 4096;
// So every piece of a new chip after the first holds the same bytes.
static_assert(kFactoryBlockSize <= kBatchBytes, "the factory block lies in the first piece");

void new_bytes(Memory memory, uint64_t offset, uint8_t* out, size_t len) {
  if (memory == Memory::kFlash) new_flash_bytes(offset, out, len);
  else new_eeprom_bytes(out, len);
}

// Writes |size| bytes of a new chip's |memory| in blocks of |block| bytes
// and keeps the error of every block that does not reach the file whole.
// The stream is unbuffered, so a short write shows at the block it hit and
// not at some later flush. After the first short write the rest go one
// block at a time, each noted on its own, as a full disk fails each.
void write_new_contents(FILE* file, Memory memory, uint64_t size, size_t block,
                        std::vector<int>* short_writes) {
  // The batch holds the contents from offset 0 at first; past it a new
  // chip is erased throughout, and the batch is refilled so once.
  std::vector<uint8_t> batch(static_cast<size_t>(std::min<uint64_t>(size, kBatchBytes)));
  new_bytes(memory, 0, batch.data(), batch.size());
  bool head = true;
  const uint64_t count = size / block;
  size_t most = batch.size() / block;
  for (uint64_t done = 0; done < count;) {
    const uint64_t at = done * block;
    if (head && at >= batch.size()) {
      new_bytes(memory, at, batch.data(), batch.size());
      head = false;
    }
    const uint8_t* from = head ? batch.data() + at : batch.data();
    const size_t room = (head ? batch.size() - static_cast<size_t>(at) : batch.size()) / block;
    const size_t blocks = static_cast<size_t>(std::min<uint64_t>({most, room, count - done}));
    const size_t written = fwrite(from, 1, blocks * block, file);
    if (written == blocks * block) {
      done += blocks;
      continue;
    }
    // The block the write stopped in is the short one.
    short_writes->push_back(errno);
    done += written / block + 1;
    most = 1;
  }
}

Creation create_backing_file(const std::string& path, Memory memory, uint64_t size,
                             size_t block) {
  Creation c;
  c.path = path;
  c.outcome = Creation::Outcome::kFailed;
  // Something in the way, a folder say, is never replaced.
  if (path_exists(path)) {
    c.error = path_kind(path) == PathKind::kFolder ? EISDIR : EEXIST;
    return c;
  }
  const std::string part = path + kPartSuffix;
  // Left by a preparation that was killed half way.
  remove_file(part);
  File file(create_new_file(part));
  if (!file) {
    c.error = failed_call_error();
    return c;
  }
  setvbuf(file.get(), nullptr, _IONBF, 0);
  write_new_contents(file.get(), memory, size, block, &c.short_writes);
  const bool whole = c.short_writes.empty() && !ferror(file.get());
  errno = 0;
  // Closing may be where the system reports a write it could not make.
  const bool closed = fclose(file.release()) == 0;
  if (closed && whole && publish_file(part, path)) {
    c.outcome = Creation::Outcome::kCreated;
    return c;
  }
  c.error = !c.short_writes.empty() ? c.short_writes.front() : failed_call_error();
  remove_file(part);
  // Another process may have created it meanwhile; that one stays.
  if (file_is_exist(path)) c.outcome = Creation::Outcome::kPresent;
  return c;
}

// The folder holding the executable; "." for a bare name, which no platform
// is expected to report.
std::string launcher_directory(const std::string& exe_path) {
  size_t cut = exe_path.find_last_of(kPathSeparator);
  return cut == std::string::npos ? "." : exe_path.substr(0, cut);
}

bool is_new(Memory memory, uint64_t offset, const uint8_t* bytes, size_t len) {
  return memory == Memory::kFlash ? is_new_flash(offset, bytes, len) : is_new_eeprom(bytes, len);
}

// Reads the |len| bytes at |at| a block at a time, as far as the first
// that differs from a new chip's. True when none does; false, with
// |error| 0, at the first that does. The first block is small: in a piece
// that was written, it is usually all that needs reading.
bool reads_as_new(FILE* file, Memory memory, uint64_t at, size_t len, std::vector<uint8_t>* block,
                  int* error) {
  for (size_t done = 0; done < len;) {
    const size_t n = std::min(done == 0 ? kFirstCompareBlock : block->size(), len - done);
    if (fread(block->data(), 1, n, file) != n) {
      *error = failed_call_error();
      return false;
    }
    if (!is_new(memory, at + done, block->data(), n)) return false;
    done += n;
  }
  return true;
}

// Rewrites, piece by piece, what differs from a new chip's |memory|. A
// piece is read only as far as its first block that differs: it is then
// rewritten whole.
Reset reset_file(const std::string& path, Memory memory) {
  Reset r;
  File file = open_file(path, "r+b");
  if (!file || !stream_size(file.get(), &r.size)) {
    r.error = failed_call_error();
    return r;
  }
  setvbuf(file.get(), nullptr, _IONBF, 0);
  std::vector<uint8_t> block(kCompareBlock), want;
  uint64_t want_at = UINT64_MAX;  // the piece |want| holds
  for (uint64_t at = 0; at < r.size; at += kBatchBytes) {
    const size_t len = static_cast<size_t>(std::min<uint64_t>(kBatchBytes, r.size - at));
    if (!seek_file(file.get(), at)) {
      r.error = failed_call_error();
      return r;
    }
    if (reads_as_new(file.get(), memory, at, len, &block, &r.error)) continue;
    if (r.error != 0) return r;
    if (want_at == UINT64_MAX || (want_at == 0) != (at == 0)) {
      want.resize(kBatchBytes);
      new_bytes(memory, at, want.data(), want.size());
      want_at = at;
    }
    errno = 0;
    if (!seek_file(file.get(), at) || fwrite(want.data(), 1, len, file.get()) != len) {
      r.error = failed_call_error();
      return r;
    }
    r.rewritten += len;
  }
  // Closing may be where the system reports a write it could not make.
  if (fclose(file.release()) != 0) {
    r.error = failed_call_error();
    return r;
  }
  r.done = true;
  return r;
}

}  // namespace

BackingFiles backing_files_in(const std::string& dir) {
  BackingFiles files;
  files.dir = dir;
  files.flash = dir + kPathSeparator + kFlashFileName;
  files.eeprom = dir + kPathSeparator + kEepromFileName;
  files.lock = dir + kPathSeparator + kLockFileName;
  return files;
}

const char* const kBackingFileNames[] = {kFlashFileName, kEepromFileName, kLockFileName};

bool is_backing_file_name(const std::string& name) {
  for (const std::string file : kBackingFileNames)
    if (name == file || name == file + kPartSuffix) return true;
  return false;
}

const char* lock_file_name() { return kLockFileName; }

BackingFiles backing_files_beside_executable() {
  std::string exe;
  if (!own_executable_path(&exe) || exe.empty()) return {};
  return backing_files_in(launcher_directory(exe));
}

ChipChoice choose_chip(const std::optional<std::string>& named, const std::string& word) {
  constexpr char kVariable[] = "ZELK_CHIP_DIR";
  ChipChoice choice;
  std::string source = word, dir;
  if (named) {
    dir = *named;
  } else if (environment_has(kVariable)) {
    source = kVariable;
    dir = environment_value(kVariable);
  } else {
    choice.files = backing_files_beside_executable();
    return choice;
  }
  choice.named = true;
  choice.problem = chip_dir_problem(source, dir, check_chip_dir(dir));
  if (choice.problem.empty()) choice.files = backing_files_in(dir);
  return choice;
}

bool file_is_exist(const std::string& path) {
  return path_is_existing_non_directory(path);
}

ChipDirCheck check_chip_dir(const std::string& dir) {
  ChipDirCheck check;
  if (dir.empty()) {
    check.status = ChipDirCheck::Status::kEmpty;
    return check;
  }
  const PathKind kind = path_kind(dir);
  if (kind == PathKind::kFolder) return check;
  check.status = ChipDirCheck::Status::kUnusable;
  check.error = kind == PathKind::kMissing ? failed_call_error() : ENOTDIR;
  return check;
}

std::string chip_dir_problem(const std::string& source, const std::string& dir,
                             const ChipDirCheck& check) {
  switch (check.status) {
    case ChipDirCheck::Status::kUsable: return "";
    case ChipDirCheck::Status::kEmpty: return source + " needs a folder";
    case ChipDirCheck::Status::kUnusable: break;
  }
  return source + " " + dir + ": " + strerror(check.error);
}

std::string backing_file_problem(const std::string& path) {
  switch (path_kind(path)) {
    case PathKind::kFile:
    case PathKind::kMissing: return "";
    case PathKind::kFolder: return path + " is a folder";
    case PathKind::kOther: break;
  }
  return path + " is not a regular file";
}

Creation prepare_backing_file(const BackingFiles& files, Memory memory) {
  const bool flash = memory == Memory::kFlash;
  const std::string& path = flash ? files.flash : files.eeprom;
  if (file_is_exist(path)) {
    Creation present;
    present.path = path;
    return present;
  }
  return create_backing_file(path, memory, flash ? kFlashSize : kEepromSize,
                             flash ? kFlashBlock : kEepromBlock);
}

Preparation prepare_backing_files(const BackingFiles& files) {
  Preparation p;
  if (files.dir.empty()) return p;
  p.flash = prepare_backing_file(files, Memory::kFlash);
  p.eeprom = prepare_backing_file(files, Memory::kEeprom);
  return p;
}

std::vector<std::string> creation_notes(const Creation& c) {
  std::vector<std::string> notes;
  for (int error : c.short_writes) notes.push_back(std::string("fwrite: ") + strerror(error));
  return notes;
}

std::string creation_problem(const Creation& c) {
  if (c.outcome != Creation::Outcome::kFailed) return "";
  return "cannot create " + c.path + ": " + strerror(c.error != 0 ? c.error : EIO);
}

std::string preparation_problem(const Preparation& p) {
  const std::string flash = creation_problem(p.flash);
  return flash.empty() ? creation_problem(p.eeprom) : flash;
}

Reset reset_backing_file(const BackingFiles& files, Memory memory) {
  return reset_file(memory == Memory::kFlash ? files.flash : files.eeprom, memory);
}

FileLock::Status lock_chip(const BackingFiles& files, FileLock* lock, long* holder, int* error) {
  errno = 0;
  const FileLock::Status status = lock->take(files.lock, holder);
  *error = status == FileLock::Status::kFailed ? failed_call_error() : 0;
  return status;
}

std::string chip_in_use_text(const std::string& dir, long holder) {
  std::string text = "the chip in " + dir + " is in use by ";
  return text + (holder > 0 ? "process " + std::to_string(holder) : "another process");
}

std::string chip_not_locked_text(const std::string& dir, int error) {
  return "the chip in " + dir + " cannot be locked: " + strerror(error != 0 ? error : EIO);
}
