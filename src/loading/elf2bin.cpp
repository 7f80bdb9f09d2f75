#include "loading/elf2bin.h"

#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "chip/memory_map.h"
#include "formats/elf32.h"
#include "platform/file.h"
#include "platform/platform.h"
#include "qemu/qemu_args.h"

namespace {

// The size is held as a 32-bit signed number, which also keeps every
// offset inside the file within a long for fseek on every platform.
constexpr uint64_t kMaxElfSize = 0x7FFFFFFF;
// Small enough to stay in the processor's cache between the read that
// fills it and the write that empties it.
constexpr size_t kCopyChunk = 256 * 1024;

uint32_t read32(const uint8_t* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}
uint16_t read16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

struct Section {
  uint16_t index;
  uint32_t name, type, addr, offset, size;
};

// A range of |len| bytes at |off| lies inside a buffer of |size| bytes.
bool inside(uint64_t off, uint64_t len, size_t size) {
  return off <= size && len <= size - off;
}

// Where the ELF's bytes come from: a buffer already in memory, or the file
// itself. Callers check every range against size() before asking for it.
class Input {
 public:
  explicit Input(size_t size) : size_(size) {}
  virtual ~Input() = default;
  size_t size() const { return size_; }
  // Points |*bytes| at the |len| bytes at |off|; they stay valid as long as
  // the input does.
  virtual int view(size_t off, size_t len, const uint8_t** bytes) = 0;
  // Appends the |len| bytes at |off| to |raw|; a failed write is
  // |short_write|.
  virtual int copy(size_t off, size_t len, FILE* raw, int short_write) = 0;

 private:
  size_t size_;
};

class MemoryInput : public Input {
 public:
  MemoryInput(const uint8_t* elf, size_t size) : Input(size), elf_(elf) {}
  int view(size_t off, size_t, const uint8_t** bytes) override {
    *bytes = elf_ + off;
    return kElfOk;
  }
  int copy(size_t off, size_t len, FILE* raw, int short_write) override {
    return fwrite(elf_ + off, 1, len, raw) == len ? kElfOk : short_write;
  }

 private:
  const uint8_t* elf_;
};

// Reads only what a conversion uses: the file header, the section table,
// the name table and the chosen sections. An ELF is mostly symbols and
// debug information, and a whole-file buffer costs the kernel a fresh,
// zeroed page for every 4 KiB before a byte is copied; one reused chunk
// does not.
class FileInput : public Input {
 public:
  FileInput(FILE* file, size_t size) : Input(size), file_(file) {}

  int view(size_t off, size_t len, const uint8_t** bytes) override {
    std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[len]);
    if (!buf) return kElfNoMemory;
    if (int ret = read_at(off, buf.get(), len)) return ret;
    *bytes = buf.get();
    views_.push_back(std::move(buf));
    return kElfOk;
  }

  int copy(size_t off, size_t len, FILE* raw, int short_write) override {
    if (len == 0) return kElfOk;
    if (!chunk_) {
      chunk_.reset(new (std::nothrow) uint8_t[kCopyChunk]);
      if (!chunk_) return kElfNoMemory;
    }
    if (fseek(file_, static_cast<long>(off), SEEK_SET) != 0) return kElfSeekStartFailed;
    while (len > 0) {
      const size_t n = len < kCopyChunk ? len : kCopyChunk;
      if (fread(chunk_.get(), 1, n, file_) != n) return kElfShortRead;
      if (fwrite(chunk_.get(), 1, n, raw) != n) return short_write;
      len -= n;
    }
    return kElfOk;
  }

 private:
  int read_at(size_t off, uint8_t* to, size_t len) {
    if (fseek(file_, static_cast<long>(off), SEEK_SET) != 0) return kElfSeekStartFailed;
    return fread(to, 1, len, file_) == len ? kElfOk : kElfShortRead;
  }

  FILE* file_;
  std::vector<std::unique_ptr<uint8_t[]>> views_;
  std::unique_ptr<uint8_t[]> chunk_;
};

struct Model {
  std::vector<Section> sections;
  // The section-name table; without one no section has a name.
  bool has_names = false;
  uint32_t names_offset = 0, names_size = 0;
  const uint8_t* names = nullptr;  // read on the first name looked up
};

// Only 32-bit little-endian ELF files are read at all.
bool is_elf32_le(const uint8_t* ident) {
  return memcmp(ident, elf32::kMagic, sizeof elf32::kMagic) == 0 &&
         ident[elf32::kClassByte] == elf32::kClass32 &&
         ident[elf32::kDataByte] == elf32::kLittleEndian;
}

// Reads the section table, checking every field against the input.
int read_model(Input* in, Model* model) {
  if (in->size() < elf32::kFileHeaderSize) return kElfMalformed;
  const uint8_t* header = nullptr;
  if (int ret = in->view(0, elf32::kFileHeaderSize, &header)) return ret;
  if (!is_elf32_le(header)) return kElfMalformed;
  const uint32_t table = read32(header + elf32::kSectionTableField);
  const uint16_t count = read16(header + elf32::kSectionCountField);
  const uint16_t names_index = read16(header + elf32::kSectionNamesField);
  // Without a section table nothing is chosen, and the image is empty.
  if (count == 0) return kElfOk;
  const size_t table_size = size_t{count} * elf32::kSectionHeaderSize;
  if (!inside(table, table_size, in->size()) || names_index >= count) return kElfMalformed;
  const uint8_t* headers = nullptr;
  if (int ret = in->view(table, table_size, &headers)) return ret;
  model->sections.reserve(count);
  for (uint16_t i = 0; i < count; ++i) {
    const uint8_t* h = headers + size_t{i} * elf32::kSectionHeaderSize;
    model->sections.push_back({i, read32(h + elf32::kNameField), read32(h + elf32::kTypeField),
                               read32(h + elf32::kAddrField), read32(h + elf32::kOffsetField),
                               read32(h + elf32::kSizeField)});
  }
  if (names_index == elf32::kNoSection) return kElfOk;
  const Section& names = model->sections[names_index];
  model->has_names = true;
  model->names_offset = names.offset;
  model->names_size = names.size;
  return kElfOk;
}

// Points |name| at the section's name, nullptr when the sections have
// none; a name outside the name table, or one that runs to its end, is an
// error.
int name_of(Input* in, Model* model, const Section& s, const char** name) {
  *name = nullptr;
  if (!model->has_names) return kElfOk;
  if (!inside(model->names_offset, model->names_size, in->size()) ||
      s.name >= model->names_size)
    return kElfMalformed;
  if (!model->names) {
    if (int ret = in->view(model->names_offset, model->names_size, &model->names)) return ret;
  }
  const char* text = reinterpret_cast<const char*>(model->names + s.name);
  if (!memchr(text, '\0', model->names_size - s.name)) return kElfMalformed;
  *name = text;
  return kElfOk;
}

// Chooses the sections by the launch's rules: program data at a non-zero
// address goes to the flash list when it lies in flash, to the data list
// when it is named ".data". Checks each chosen one lies in the input.
// With |names| every chosen section is given its name where it has a good
// one, which the rules need only for sections outside flash.
int choose(Input* in, Model* model, bool names, ElfPlan* plan) {
  *plan = ElfPlan();
  for (const Section& s : model->sections) {
    if (s.type != elf32::kProgbits || s.addr == 0) continue;
    const bool in_flash = s.addr >= kFlashBase && s.addr <= kLastResidentFlashAddress;
    const char* name = nullptr;
    if (!in_flash) {
      if (int ret = name_of(in, model, s, &name)) return ret;
      if (!name || strcmp(name, ".data") != 0) continue;
    } else if (names && name_of(in, model, s, &name) != kElfOk) {
      name = nullptr;
    }
    if (!inside(s.offset, s.size, in->size())) return kElfMalformed;
    ElfSection chosen{s.index, name ? name : "", s.addr, s.offset, s.size};
    if (in_flash) {
      if (plan->flash.empty()) plan->load_addr = s.addr;
      plan->flash.push_back(chosen);
    } else {
      plan->data.push_back(chosen);
    }
  }
  return kElfOk;
}

int write_sections(Input* in, const std::vector<ElfSection>& list, FILE* raw, int short_code) {
  // Linkers place consecutive sections back to back in the file, so a run
  // of them is copied as one range, in fewer and larger pieces.
  size_t i = 0;
  while (i < list.size()) {
    const size_t start = list[i].offset;
    size_t end = start + list[i].size;
    for (++i; i < list.size() && list[i].offset == end; ++i) end += list[i].size;
    if (int ret = in->copy(start, end - start, raw, short_code)) return ret;
  }
  // A full disk may only show when the stream's buffer reaches the file;
  // flushing here keeps that failure with the list that caused it.
  if (fflush(raw) != 0) return short_code;
  return kElfOk;
}

int write_plan(Input* in, const ElfPlan& plan, FILE* raw) {
  if (int ret = write_sections(in, plan.flash, raw, kElfFlashWriteShort)) return ret;
  return write_sections(in, plan.data, raw, kElfDataWriteShort);
}

int plan_input(Input* in, bool names, ElfPlan* plan) {
  Model model;
  if (int ret = read_model(in, &model)) return ret;
  return choose(in, &model, names, plan);
}

// Opens the ELF at |path| and finds its size.
int open_elf(const char* path, File* file, size_t* size) {
  if (!path) return kElfNoPath;
  // POSIX opens a folder for reading; Windows does not.
  if (!path_is_existing_non_directory(path)) return kElfCannotOpen;
  // Asked before opening, since where long is 32 bits ftell cannot tell
  // the size of such a file.
  uint64_t disk_size = 0;
  if (file_size_of(path, &disk_size) && disk_size > kMaxElfSize) return kElfTooLarge;
  *file = open_file(path, "rb");
  if (!*file) return kElfCannotOpen;
  // Every read is either a few header bytes or a whole chunk; a stream
  // buffer would only split each chunk and read ahead past it.
  setvbuf(file->get(), nullptr, _IONBF, 0);
  if (fseek(file->get(), 0, SEEK_END) != 0) return kElfSeekEndFailed;
  const long end = ftell(file->get());
  if (end < 0) return kElfSeekEndFailed;
  if (static_cast<uint64_t>(end) > kMaxElfSize) return kElfTooLarge;
  if (fseek(file->get(), 0, SEEK_SET) != 0) return kElfSeekStartFailed;
  *size = static_cast<size_t>(end);
  return kElfOk;
}

}  // namespace

int do_elf2bin(const uint8_t* elf, size_t size, FILE* raw, uint32_t* load_addr) {
  MemoryInput in(elf, size);
  ElfPlan plan;
  int ret = plan_input(&in, false, &plan);
  *load_addr = plan.load_addr;
  return ret != kElfOk ? ret : write_plan(&in, plan, raw);
}

int plan_elf2bin(const char* elf_path, ElfPlan* plan) {
  *plan = ElfPlan();
  File elf;
  size_t size = 0;
  if (int ret = open_elf(elf_path, &elf, &size)) return ret;
  FileInput in(elf.get(), size);
  return plan_input(&in, true, plan);
}

namespace {

// The file the raw image goes to: in |dir| where one is given; else under
// the runtime's next temporary name, as the simulator's users have always
// found it, or, where the runtime has none to give, one of the launcher's
// own in the temporary directory.
File create_raw_image(const std::string& dir, std::string* path) {
  if (dir.empty()) {
    File file(create_runtime_named_file(path));
    if (file || !path->empty()) return file;
  }
  const std::string folder = dir.empty() ? temporary_directory() : dir;
  return File(create_own_named_file(folder + kPathSeparator + kRawImageStem, path));
}

}  // namespace

int elf2bin(const char* elf_path, RawImage* image, const std::string& dir) {
  if (!elf_path || !image) return kElfNoPath;
  File elf;
  size_t size = 0;
  if (int ret = open_elf(elf_path, &elf, &size)) return ret;
  // Read and chosen before the raw image is created, so that a refused ELF
  // leaves nothing behind.
  FileInput in(elf.get(), size);
  ElfPlan plan;
  if (int ret = plan_input(&in, false, &plan)) return ret;

  std::string raw_path;
  File raw(create_raw_image(dir, &raw_path));
  if (!raw) {
    image->path = raw_path;
    image->error = failed_call_error();
    return kElfCannotCreateRaw;
  }
  // Written a chunk at a time, which a stream buffer would only split.
  setvbuf(raw.get(), nullptr, _IONBF, 0);
  errno = 0;
  const int ret = write_plan(&in, plan, raw.get());
  raw.reset();
  // An image cut short is never handed on, so it is not left behind either.
  if (ret != kElfOk) {
    image->path = raw_path;
    image->error = failed_call_error();
    remove_file(raw_path);
    return ret;
  }
  image->path = raw_path;
  image->load_addr = plan.load_addr;
  return kElfOk;
}

uint64_t ElfPlan::raw_size() const {
  uint64_t size = 0;
  for (const ElfSection& s : flash) size += s.size;
  for (const ElfSection& s : data) size += s.size;
  return size;
}

const char* elf2bin_code_text(int code) {
  switch (code) {
    case kElfOk: return "converted";
    case kElfNoPath: return "no ELF path";
    case kElfCannotOpen: return "the ELF cannot be opened";
    case kElfSeekEndFailed:
    case kElfSeekStartFailed: return "seeking in the ELF failed";
    case kElfNoMemory: return "no memory for the ELF";
    case kElfShortRead: return "fewer bytes read than the ELF's size";
    case kElfCannotCreateRaw: return "the raw image file cannot be created";
    case kElfMalformed:
      return "not a 32-bit little-endian ELF, or a field points outside the file";
    case kElfTooLarge: return "the ELF is 2 GiB or larger";
    case kElfFlashWriteShort: return "a flash section was written short";
    case kElfDataWriteShort: return "a .data section was written short";
  }
  return "unknown code";
}
