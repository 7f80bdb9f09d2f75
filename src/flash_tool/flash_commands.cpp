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

// Takes the chip as a launch does; a launch holding it is a refusal.
int take_chip(const BackingFiles& files, FileLock* lock) {
  long holder = 0;
  switch (lock_chip(files, lock, &holder)) {
    case FileLock::Status::kTaken: return kExitOk;
    case FileLock::Status::kHeld: return complain(kExitTrouble, chip_in_use_text(files.dir, holder));
    case FileLock::Status::kFailed: complain(kExitOk, chip_not_locked_text(files.dir)); break;
  }
  return kExitOk;
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

// The end of a copy's report: where it stopped, if it did.
int copy_status(const CopyResult& r, int status) {
  if (r.fault != ImageFault::kNone)
    return complain(kExitFound, "image " + std::to_string(r.images) + ": " +
                                    image_fault_text(r.fault, r.fault_header) +
                                    "; a launch's copy stops there");
  if (r.seek_failed) return complain(kExitTrouble, "seeking in the flash file failed");
  return status;
}

int copy_files_status(const CopyResult& r, const std::string& fls, const std::string& flash) {
  if (r.files == CopyResult::Files::kNoFirmware) return complain(kExitTrouble, "cannot read " + fls);
  if (r.files == CopyResult::Files::kNoFlash) return complain(kExitTrouble, "cannot open " + flash);
  return kExitOk;
}

}  // namespace

int diff_command(const BackingFiles& files, const Words& args) {
  if (args.size() != 1) return usage_error("diff", "give one .fls file");
  const CopyResult r = copy2flash(args[0].c_str(), files.flash.c_str(), CopyMode::kCompare);
  if (int status = copy_files_status(r, args[0], files.flash)) return status;
  if (r.new_chip) printf("%s does not exist yet: compared with a new chip\n", files.flash.c_str());
  print_writes(r);
  if (r.writes.empty()) {
    if (r.fault == ImageFault::kNone) printf("flash already holds %s\n", args[0].c_str());
    return copy_status(r, kExitOk);
  }
  printf("the next launch would write %s\n", summary(r).c_str());
  return copy_status(r, kExitFound);
}

int write_command(const BackingFiles& files, const Words& args) {
  if (args.size() != 1) return usage_error("write", "give one .fls file");
  FileLock lock;
  if (int status = take_chip(files, &lock)) return status;
  const Preparation prepared = prepare_backing_files(files);
  print_notes(prepared.flash);
  print_notes(prepared.eeprom);
  if (prepared.flash.outcome == Creation::Outcome::kFailed) return kExitTrouble;
  const CopyResult r = copy2flash(args[0].c_str(), files.flash.c_str());
  if (int status = copy_files_status(r, args[0], files.flash)) return status;
  if (r.writes.empty()) printf("flash already held %s: nothing written\n", args[0].c_str());
  else printf("wrote %s into %s\n", summary(r).c_str(), files.flash.c_str());
  return copy_status(r, kExitOk);
}

int erase_command(const BackingFiles& files, const Words& args) {
  if (args.size() != 1 || (args[0] != "flash" && args[0] != "eeprom" && args[0] != "all"))
    return usage_error("erase", "say flash, eeprom or all");
  FileLock lock;
  if (int status = take_chip(files, &lock)) return status;
  int status = kExitOk;
  for (Memory memory : {Memory::kFlash, Memory::kEeprom}) {
    const bool flash = memory == Memory::kFlash;
    if (args[0] != "all" && (args[0] == "flash") != flash) continue;
    const std::string& path = flash ? files.flash : files.eeprom;
    const Creation created = prepare_backing_file(files, memory);
    print_notes(created);
    if (created.outcome == Creation::Outcome::kFailed) {
      status = kExitTrouble;
    } else if (created.outcome == Creation::Outcome::kCreated) {
      printf("%s: created as on a new chip\n", path.c_str());
    } else {
      const Reset r = reset_backing_file(files, memory);
      if (!r.done) status = complain(kExitTrouble, "cannot erase " + path);
      else printf("%s: erased in place, %s, %s of them rewritten\n", path.c_str(),
                  plural(r.size, "byte").c_str(), std::to_string(r.rewritten).c_str());
    }
  }
  return status;
}

namespace {

constexpr size_t kLine = 16;
constexpr uint64_t kDefaultDumpLength = 256;

void print_line(uint64_t address, const uint8_t* bytes, size_t n) {
  char line[96];
  int at = snprintf(line, sizeof line, "%08llx ", static_cast<unsigned long long>(address));
  for (size_t i = 0; i < kLine; ++i) {
    if (i % 8 == 0) line[at++] = ' ';
    at += i < n ? snprintf(line + at, sizeof line - at, "%02x ", bytes[i])
                : snprintf(line + at, sizeof line - at, "   ");
  }
  line[at++] = ' ';
  line[at++] = '|';
  for (size_t i = 0; i < n; ++i) line[at++] = bytes[i] >= 0x20 && bytes[i] < 0x7F ? bytes[i] : '.';
  line[at++] = '|';
  line[at] = '\0';
  puts(line);
}

// Dumps |len| bytes of |path| from |offset| on, addressed from |base|. A
// line equal to the one before it is folded into a single '*'.
int dump_file(const std::string& path, uint64_t base, uint64_t offset, uint64_t len) {
  File file = open_file(path, "rb");
  if (!file) return complain(kExitTrouble, "cannot read " + path);
  if (fseek(file.get(), static_cast<long>(offset), SEEK_SET) != 0)
    return complain(kExitTrouble, "cannot read " + path);
  std::vector<uint8_t> piece(256 * kLine);
  uint8_t last[kLine];
  bool have_last = false, folded = false;
  uint64_t done = 0;
  while (done < len) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(piece.size(), len - done));
    const size_t got = fread(piece.data(), 1, want, file.get());
    for (size_t at = 0; at < got; at += kLine) {
      const size_t n = std::min(kLine, got - at);
      if (have_last && n == kLine && memcmp(last, piece.data() + at, kLine) == 0) {
        if (!folded) puts("*");
        folded = true;
        continue;
      }
      print_line(base + offset + done + at, piece.data() + at, n);
      memcpy(last, piece.data() + at, n);
      have_last = n == kLine;
      folded = false;
    }
    done += got;
    if (got < want) break;
  }
  printf("%08llx\n", static_cast<unsigned long long>(base + offset + done));
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
  if (flash && (at < kFlashBase || at >= kFlashEnd))
    return usage_error("dump", hex32(at) + " lies outside flash, " + hex32(kFlashBase) + ".." +
                                   hex32(kFlashEnd - 1));
  if (!flash && at >= kEepromSize)
    return usage_error("dump", hex32(at) + " lies outside the EEPROM's " +
                                   std::to_string(kEepromSize) + " bytes");
  return flash ? dump_file(files.flash, kFlashBase, at - kFlashBase, len)
               : dump_file(files.eeprom, 0, at, len);
}
