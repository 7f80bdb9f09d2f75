// The commands on the chip's memories: diff, write, load, erase and dump.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "chip/memory_map.h"
#include "flash_tool/flash_tool.h"
#include "platform/file.h"
#include "storage/copy2flash.h"

namespace {

void print_notes(const Creation& c) {
  for (const std::string& note : creation_notes(c)) fprintf(stderr, "%s\n", note.c_str());
}

// Makes the chip's missing backing files as a launch does; a chip that
// cannot be made is refused.
int prepare_chip(const BackingFiles& files) {
  const Preparation prepared = prepare_backing_files(files);
  print_notes(prepared.flash);
  print_notes(prepared.eeprom);
  const std::string problem = preparation_problem(prepared);
  return problem.empty() ? kExitOk : complain(kExitTrouble, problem);
}

// Takes the chip as a launch does; a launch holding it, or a lock that
// cannot be taken at all, is a refusal.
int take_chip(const BackingFiles& files, FileLock* lock) {
  long holder = 0;
  int error = 0;
  switch (lock_chip(files, lock, &holder, &error)) {
    case FileLock::Status::kTaken: return kExitOk;
    case FileLock::Status::kHeld: return complain(kExitTrouble, chip_in_use_text(files.dir, holder));
    case FileLock::Status::kFailed: break;
  }
  return complain(kExitTrouble, chip_not_locked_text(files.dir, error));
}

// Something other than a file where a backing file belongs is refused
// before anything is read or written.
int check_backing_file(const std::string& path) {
  const std::string problem = backing_file_problem(path);
  return problem.empty() ? kExitOk : complain(kExitTrouble, problem);
}

std::string plural(uint64_t count, const char* one) {
  return std::to_string(count) + " " + one + (count == 1 ? "" : "s");
}

void print_writes(const CopyResult& r) {
  for (const FlashWrite& w : r.writes) {
    const uint64_t start = kFlashBase + uint64_t{w.offset};
    printf("%s..%s  image %zu %s\n", hex32(start).c_str(), hex32(start + w.size).c_str(), w.image,
           w.header ? "header" : ("data, " + plural(w.chunks, "chunk")).c_str());
  }
}

std::string summary(const CopyResult& r) {
  uint64_t bytes = 0;
  for (const FlashWrite& w : r.writes) bytes += w.size;
  return plural(r.headers_written(), "header") + " and " + plural(r.chunks_written(), "chunk") +
         " (" + plural(bytes, "byte") + ")";
}

// What stopped the copy before its end, if anything: a file that could
// not be read or written (2), or where a launch's copy stops (1).
int copy_stop_status(const CopyResult& r, const std::string& fls, const std::string& flash) {
  if (r.files == CopyResult::Files::kNoFirmware)
    return complain(kExitTrouble, cannot("read", fls, r.open_error));
  if (r.files == CopyResult::Files::kNoFlash)
    return complain(kExitTrouble, cannot("open", flash, r.open_error));
  const FlashFailure& f = r.flash_failure;
  if (f.op != FlashFailure::Op::kNone) {
    const std::string where = flash + " at " + hex32(kFlashBase + uint64_t{f.offset});
    const bool read = f.op == FlashFailure::Op::kRead;
    return complain(kExitTrouble, cannot(read ? "read" : "write", where, f.error) +
                                      (r.writes.empty() || read ? "" : "; written before it: " + summary(r)));
  }
  if (r.firmware_error != 0) return complain(kExitTrouble, cannot("read", fls, r.firmware_error));
  if (r.fault != ImageFault::kNone)
    return complain(kExitFound, copy_stops_text(r.images, image_fault_text(r.fault, r.fault_header)));
  return kExitOk;
}

bool stopped_by_trouble(const CopyResult& r) {
  return r.files != CopyResult::Files::kOpened || r.flash_failure.op != FlashFailure::Op::kNone ||
         r.firmware_error != 0;
}

}  // namespace

int diff_command(const BackingFiles& files, const Words& args) {
  if (args.size() != 1) return usage_error("diff", "give one .fls file");
  if (int status = check_backing_file(files.flash)) return status;
  const CopyResult r = copy2flash(args[0].c_str(), files.flash.c_str(), CopyMode::kCompare);
  if (stopped_by_trouble(r)) return copy_stop_status(r, args[0], files.flash);
  if (r.new_chip) printf("%s does not exist yet: compared with a new chip\n", files.flash.c_str());
  print_writes(r);
  if (r.writes.empty()) {
    if (r.fault == ImageFault::kNone) printf("flash already holds %s\n", args[0].c_str());
    return copy_stop_status(r, args[0], files.flash);
  }
  printf("the next launch would write %s\n", summary(r).c_str());
  copy_stop_status(r, args[0], files.flash);
  return kExitFound;
}

int write_command(const BackingFiles& files, const Words& args) {
  if (args.size() != 1) return usage_error("write", "give one .fls file");
  if (int status = check_backing_file(files.flash)) return status;
  FileLock lock;
  if (int status = take_chip(files, &lock)) return status;
  if (int status = prepare_chip(files)) return status;
  const CopyResult r = copy2flash(args[0].c_str(), files.flash.c_str());
  if (stopped_by_trouble(r)) return copy_stop_status(r, args[0], files.flash);
  if (!r.writes.empty()) printf("wrote %s into %s\n", summary(r).c_str(), files.flash.c_str());
  else if (r.fault == ImageFault::kNone) printf("flash already held %s: nothing written\n", args[0].c_str());
  return copy_stop_status(r, args[0], files.flash);
}

int erase_command(const BackingFiles& files, const Words& args) {
  if (args.size() != 1 || (args[0] != "flash" && args[0] != "eeprom" && args[0] != "all"))
    return usage_error("erase", "say flash, eeprom or all");
  const std::vector<Memory> memories =
      args[0] == "all" ? std::vector<Memory>{Memory::kFlash, Memory::kEeprom}
                       : std::vector<Memory>{args[0] == "flash" ? Memory::kFlash : Memory::kEeprom};
  for (Memory memory : memories) {
    if (int status = check_backing_file(memory == Memory::kFlash ? files.flash : files.eeprom))
      return status;
  }
  FileLock lock;
  if (int status = take_chip(files, &lock)) return status;
  int status = kExitOk;
  for (Memory memory : memories) {
    const std::string& path = memory == Memory::kFlash ? files.flash : files.eeprom;
    const Creation created = prepare_backing_file(files, memory);
    print_notes(created);
    if (created.outcome == Creation::Outcome::kFailed) {
      status = complain(kExitTrouble, creation_problem(created));
    } else if (created.outcome == Creation::Outcome::kCreated) {
      printf("%s: created as on a new chip\n", path.c_str());
    } else {
      const Reset r = reset_backing_file(files, memory);
      if (!r.done) status = complain(kExitTrouble, cannot("erase", path, r.error));
      else printf("%s: erased in place, %s, %s of them rewritten\n", path.c_str(),
                  plural(r.size, "byte").c_str(), std::to_string(r.rewritten).c_str());
    }
  }
  return status;
}

int load_command(const BackingFiles& files, const Words& args) {
  Load load;
  if (args.size() != 3 || !parse_memory(args[0], &load.memory))
    return usage_error("load", "say flash or eeprom, then where, then the file");
  if (!parse_number(args[1], &load.address))
    return usage_error("load", "'" + args[1] + "' is no number");
  load.path = args[2];
  const std::string problem = check_load(&load);
  if (!problem.empty()) return complain(kExitTrouble, problem);
  const bool flash = load.memory == Memory::kFlash;
  if (int status = check_backing_file(flash ? files.flash : files.eeprom)) return status;
  FileLock lock;
  if (int status = take_chip(files, &lock)) return status;
  if (int status = prepare_chip(files)) return status;
  const LoadResult r = load_into(files, load);
  if (!r.problem.empty()) return complain(kExitTrouble, r.problem);
  printf("%s\n", loaded_text(load, r).c_str());
  return kExitOk;
}

std::string HexDump::add(const uint8_t* bytes, size_t len) {
  std::string out;
  for (size_t at = 0; at < len; at += kLine) {
    const size_t n = std::min(kLine, len - at);
    const uint8_t* line = bytes + at;
    const uint64_t address = address_;
    address_ += n;
    if (have_last_ && n == kLine && memcmp(last_, line, kLine) == 0) {
      if (!folded_) out += "*\n";
      folded_ = true;
      continue;
    }
    char text[96];
    int put = snprintf(text, sizeof text, "%08llx ", static_cast<unsigned long long>(address));
    for (size_t i = 0; i < kLine; ++i) {
      if (i % 8 == 0) text[put++] = ' ';
      put += i < n ? snprintf(text + put, sizeof text - put, "%02x ", line[i])
                   : snprintf(text + put, sizeof text - put, "   ");
    }
    text[put++] = ' ';
    text[put++] = '|';
    for (size_t i = 0; i < n; ++i) text[put++] = line[i] >= 0x20 && line[i] < 0x7F ? line[i] : '.';
    text[put++] = '|';
    text[put++] = '\n';
    out.append(text, static_cast<size_t>(put));
    memcpy(last_, line, n);
    have_last_ = n == kLine;
    folded_ = false;
  }
  return out;
}

std::string HexDump::finish() const {
  char text[24];
  snprintf(text, sizeof text, "%08llx\n", static_cast<unsigned long long>(address_));
  return text;
}

namespace {

constexpr uint64_t kDefaultDumpLength = 256;

// Dumps |len| bytes of |path| from |offset| on, addressed from |base|, as
// far as the file goes.
int dump_file(const std::string& path, uint64_t base, uint64_t offset, uint64_t len) {
  File file = open_file(path, "rb");
  if (!file || !seek_file(file.get(), offset))
    return complain(kExitTrouble, cannot("read", path, failed_call_error()));
  std::vector<uint8_t> piece(4096);
  HexDump dump(base + offset);
  for (uint64_t done = 0; done < len;) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(piece.size(), len - done));
    const size_t got = fread(piece.data(), 1, want, file.get());
    if (got < want && ferror(file.get()))
      return complain(kExitTrouble, cannot("read", path, failed_call_error()));
    fputs(dump.add(piece.data(), got).c_str(), stdout);
    done += got;
    if (got < want) break;
  }
  fputs(dump.finish().c_str(), stdout);
  return kExitOk;
}

}  // namespace

int dump_command(const BackingFiles& files, const Words& args) {
  if (args.size() < 2 || args.size() > 3 || (args[0] != "flash" && args[0] != "eeprom"))
    return usage_error("dump", "say flash or eeprom, then where");
  const bool flash = args[0] == "flash";
  uint64_t at = 0, len = kDefaultDumpLength;
  if (!parse_number(args[1], &at)) return usage_error("dump", "'" + args[1] + "' is no number");
  if (args.size() == 3 && !parse_number(args[2], &len))
    return usage_error("dump", "'" + args[2] + "' is no number");
  const std::string outside = load_address_problem(flash ? Memory::kFlash : Memory::kEeprom, at);
  if (!outside.empty()) return usage_error("dump", outside);
  const std::string& path = flash ? files.flash : files.eeprom;
  if (int status = check_backing_file(path)) return status;
  // No bytes, no lines, as hexdump -C.
  if (len == 0) return kExitOk;
  // A backing file longer than its memory holds nothing the chip sees
  // beyond the memory's end.
  const uint64_t offset = flash ? at - kFlashBase : at;
  const uint64_t size = flash ? kFlashSize : kEepromSize;
  return dump_file(path, flash ? kFlashBase : 0, offset, std::min(len, size - offset));
}
