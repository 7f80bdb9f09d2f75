#include "loading/elf2bin.h"

#include <cstring>
#include <filesystem>
#include <memory>
#include <new>
#include <system_error>
#include <vector>

#include "launcher/qemu_args.h"
#include "platform/file.h"
#include "platform/platform.h"

namespace {

constexpr uint32_t kProgramData = 1;  // SHT_PROGBITS
constexpr uint32_t kFlashFirst = 0x08000000;
constexpr uint32_t kFlashLast = 0x1FFFFFFF;
constexpr size_t kFileHeaderSize = 52;
constexpr size_t kSectionHeaderSize = 40;
// The size is held as a 32-bit signed number.
constexpr uint64_t kMaxElfSize = 0x7FFFFFFF;

uint32_t read32(const uint8_t* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}
uint16_t read16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

struct Section {
  uint32_t name, type, addr, offset, size;
};

// A range of |len| bytes at |off| lies inside a buffer of |size| bytes.
bool inside(uint64_t off, uint64_t len, size_t size) {
  return off <= size && len <= size - off;
}

struct Model {
  std::vector<Section> sections;
  uint32_t names_offset = 0, names_size = 0;
};

// Reads the section table, checking every field against the buffer.
int read_model(const uint8_t* elf, size_t size, Model* model) {
  if (size < kFileHeaderSize) return kElfMalformed;
  const uint32_t table = read32(elf + 0x20);
  const uint16_t count = read16(elf + 0x30);
  const uint16_t names_index = read16(elf + 0x32);
  // No table means no string table either (e_shstrndx >= 0 == count).
  if (!inside(table, uint64_t{count} * kSectionHeaderSize, size) ||
      names_index >= count)
    return kElfMalformed;
  for (uint16_t i = 0; i < count; ++i) {
    const uint8_t* h = elf + table + size_t{i} * kSectionHeaderSize;
    model->sections.push_back({read32(h), read32(h + 4), read32(h + 12),
                               read32(h + 16), read32(h + 20)});
  }
  const Section& names = model->sections[names_index];
  model->names_offset = names.offset;
  model->names_size = names.size;
  return kElfOk;
}

// True when the section's name is exactly |want|; a name outside the
// string table is an error.
int name_is(const uint8_t* elf, size_t size, const Model& model,
            const Section& s, const char* want, bool* match) {
  if (!inside(model.names_offset, model.names_size, size) ||
      s.name >= model.names_size)
    return kElfMalformed;
  const char* name = reinterpret_cast<const char*>(elf + model.names_offset + s.name);
  const size_t room = model.names_size - s.name;
  if (!memchr(name, '\0', room)) return kElfMalformed;
  *match = strcmp(name, want) == 0;
  return kElfOk;
}

int write_sections(const uint8_t* elf, const std::vector<Section>& list,
                   FILE* raw, int short_code) {
  for (const Section& s : list)
    if (fwrite(elf + s.offset, 1, s.size, raw) != s.size) return short_code;
  // A full disk may only show when the stream's buffer reaches the file;
  // flushing here keeps that failure with the list that caused it.
  if (fflush(raw) != 0) return short_code;
  return kElfOk;
}

// Reads the whole ELF at |path| into |buf|.
int read_elf(const char* path, std::unique_ptr<uint8_t[]>* buf, size_t* size) {
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) return kElfCannotOpen;
  const uintmax_t disk_size = std::filesystem::file_size(path, ec);
  if (!ec && disk_size > kMaxElfSize) return kElfTooLarge;
  File file = open_file(path, "rb");
  if (!file) return kElfCannotOpen;
  if (fseek(file.get(), 0, SEEK_END) != 0) return kElfSeekEndFailed;
  const long end = ftell(file.get());
  if (end < 0) return kElfSeekEndFailed;
  if (static_cast<uint64_t>(end) > kMaxElfSize) return kElfTooLarge;
  if (fseek(file.get(), 0, SEEK_SET) != 0) return kElfSeekStartFailed;
  *size = static_cast<size_t>(end);
  buf->reset(new (std::nothrow) uint8_t[*size ? *size : 1]);
  if (!*buf) return kElfNoMemory;
  if (fread(buf->get(), 1, *size, file.get()) != *size) return kElfShortRead;
  return kElfOk;
}

}  // namespace

int do_elf2bin(const uint8_t* elf, size_t size, FILE* raw, uint32_t* load_addr) {
  *load_addr = 0;
  Model model;
  if (int ret = read_model(elf, size, &model)) return ret;
  std::vector<Section> flash, data;
  for (const Section& s : model.sections) {
    if (s.type != kProgramData || s.addr == 0) continue;
    bool take_as_data = false;
    if (s.addr < kFlashFirst || s.addr > kFlashLast) {
      if (int ret = name_is(elf, size, model, s, ".data", &take_as_data)) return ret;
      if (!take_as_data) continue;
    }
    if (!inside(s.offset, s.size, size)) return kElfMalformed;
    if (take_as_data) {
      data.push_back(s);
    } else {
      flash.push_back(s);
      if (*load_addr == 0) *load_addr = s.addr;
    }
  }
  if (int ret = write_sections(elf, flash, raw, kElfFlashWriteShort)) return ret;
  return write_sections(elf, data, raw, kElfDataWriteShort);
}

int elf2bin(const char* elf_path, std::string* cmd) {
  if (!elf_path || !cmd) return kElfNoPath;
  std::unique_ptr<uint8_t[]> elf;
  size_t size = 0;
  if (int ret = read_elf(elf_path, &elf, &size)) return ret;

  std::string raw_path;
  File raw(create_raw_image_file(&raw_path));
  if (!raw) return kElfCannotCreateRaw;
  uint32_t load_addr = 0;
  int ret = do_elf2bin(elf.get(), size, raw.get(), &load_addr);
  raw.reset();
  // A refused ELF leaves no empty image behind.
  if (ret == kElfMalformed) remove(raw_path.c_str());
  if (ret == kElfOk) cmd->append(qemu_loader_arg(load_addr, raw_path));
  return ret;
}
