#include "storage/memory_load.h"

#include <cstdio>
#include <cstring>

#include "chip/memory_map.h"
#include "platform/file.h"
#include "storage/copy2flash.h"
#include "storage/fls_format.h"

namespace {

uint64_t memory_end(Memory memory) {
  return memory == Memory::kFlash ? uint64_t{kFlashEnd} : kEepromSize;
}

const char* memory_name(Memory memory) { return memory == Memory::kFlash ? "flash" : "eeprom"; }

// Flash as the chip's addresses, EEPROM as offsets of its 32 KiB.
std::string address_text(Memory memory, uint64_t address) {
  char text[24];
  snprintf(text, sizeof text, memory == Memory::kFlash ? "0x%08llx" : "0x%04llx",
           static_cast<unsigned long long>(address));
  return text;
}

std::string counted(uint64_t count, const char* one) {
  return std::to_string(count) + " " + one + (count == 1 ? "" : "s");
}

}  // namespace

bool parse_number(const std::string& text, uint64_t* value) {
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const uint64_t base = hex ? 16 : 10;
  if (text.empty()) return false;
  uint64_t v = 0;
  for (size_t i = hex ? 2 : 0; i < text.size(); ++i) {
    const char c = text[i];
    uint64_t digit;
    if (c >= '0' && c <= '9') digit = static_cast<uint64_t>(c - '0');
    else if (hex && c >= 'a' && c <= 'f') digit = static_cast<uint64_t>(c - 'a' + 10);
    else if (hex && c >= 'A' && c <= 'F') digit = static_cast<uint64_t>(c - 'A' + 10);
    else return false;
    if (v > (UINT64_MAX - digit) / base) return false;
    v = v * base + digit;
  }
  *value = v;
  return true;
}

std::string cannot(const char* verb, const std::string& path, int error) {
  return std::string("cannot ") + verb + " " + path + ": " + strerror(error);
}

bool parse_memory(const std::string& name, Memory* memory) {
  if (name != "flash" && name != "eeprom") return false;
  *memory = name == "flash" ? Memory::kFlash : Memory::kEeprom;
  return true;
}

std::string load_address_problem(Memory memory, uint64_t address) {
  if (memory == Memory::kFlash && (address < kFlashBase || address >= kFlashEnd))
    return address_text(memory, address) + " lies outside flash, " +
           address_text(memory, kFlashBase) + ".." + address_text(memory, kFlashEnd - 1);
  if (memory == Memory::kEeprom && address >= kEepromSize)
    return address_text(memory, address) + " lies outside the EEPROM's " +
           std::to_string(kEepromSize) + " bytes";
  return "";
}

std::string check_load(Load* load) {
  const std::string problem = load_address_problem(load->memory, load->address);
  if (!problem.empty()) return problem;
  // The address lies inside, so the room is no sum that could wrap.
  const uint64_t room = memory_end(load->memory) - load->address;
  bool more = false;
  if (const int error = read_whole_file(load->path, room, &load->bytes, &more))
    return cannot("read", load->path, error);
  load->size = load->bytes.size();
  if (!more) return "";
  uint64_t size = 0;
  // A stream's length is known only as far as it was read.
  const std::string count = path_kind(load->path) == PathKind::kFile && file_size_of(load->path, &size)
                                ? std::to_string(size) + " bytes"
                                : "more than " + std::to_string(room) + " bytes";
  return load->path + ": " + count + " at " + address_text(load->memory, load->address) +
         " reach past the end of " + memory_name(load->memory) + ", " +
         address_text(load->memory, memory_end(load->memory));
}

LoadResult load_into(const BackingFiles& files, const Load& load) {
  LoadResult result;
  const bool flash = load.memory == Memory::kFlash;
  const std::string& path = flash ? files.flash : files.eeprom;
  MemoryFlsSource source(load.bytes.data(), load.bytes.size());
  LazyFileStore store;
  if (const int error = store.open(path)) {
    result.problem = cannot("open", path, error);
    return result;
  }
  const uint64_t offset = flash ? load.address - kFlashBase : load.address;
  const CopyResult r = copy_span(&source, 0, static_cast<uint32_t>(load.bytes.size()),
                                 static_cast<uint32_t>(offset), &store);
  const int close_error = store.close();
  result.chunks = r.chunks_written();
  const FlashFailure& f = r.flash_failure;
  if (f.op != FlashFailure::Op::kNone) {
    const uint64_t at = flash ? kFlashBase + uint64_t{f.offset} : f.offset;
    result.problem = cannot(f.op == FlashFailure::Op::kRead ? "read" : "write",
                            path + " at " + address_text(load.memory, at), f.error);
  } else if (close_error != 0) {
    result.problem = cannot("write", path, close_error);
  }
  return result;
}

std::string loaded_text(const Load& load, const LoadResult& result) {
  return "loaded " + load.path + " into " + memory_name(load.memory) + " at " +
         address_text(load.memory, load.address) + ": " + counted(load.size, "byte") + ", " +
         counted(result.chunks, "piece") + " written";
}
