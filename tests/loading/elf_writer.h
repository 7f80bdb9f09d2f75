// Builds small 32-bit little-endian ELF files by hand, so that a test says
// exactly which sections a file has and where each of its fields points.
// Layout: file header, the sections' bytes back to back in the order they
// were added, the section-name string table, then the section header table
// (the null section, the added sections, the string table's own header).
#ifndef ZELK_TESTS_LOADING_ELF_WRITER_H_
#define ZELK_TESTS_LOADING_ELF_WRITER_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "formats/elf32.h"

namespace elf_test {

using elf32::kNobits;
using elf32::kProgbits;

// File header fields.
constexpr size_t kTableOffsetField = elf32::kSectionTableField;
constexpr size_t kCountField = elf32::kSectionCountField;
constexpr size_t kNamesIndexField = elf32::kSectionNamesField;
using elf32::kFileHeaderSize;
// Section header fields, relative to the header.
constexpr size_t kHeaderSize = elf32::kSectionHeaderSize;
using elf32::kAddrField;
using elf32::kNameField;
using elf32::kOffsetField;
using elf32::kSizeField;
using elf32::kTypeField;

inline void put16(std::vector<uint8_t>* b, size_t at, uint16_t v) {
  (*b)[at] = static_cast<uint8_t>(v);
  (*b)[at + 1] = static_cast<uint8_t>(v >> 8);
}

inline void put32(std::vector<uint8_t>* b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) (*b)[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

inline uint32_t get32(const std::vector<uint8_t>& b, size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

inline std::vector<uint8_t> text_bytes(const std::string& text) {
  return std::vector<uint8_t>(text.begin(), text.end());
}

// |n| bytes that differ from those of any other |seed|, so that a section
// taken in the wrong place or twice shows in a byte comparison.
inline std::vector<uint8_t> pattern(size_t n, uint8_t seed) {
  std::vector<uint8_t> bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(seed * 37 + i * 11 + 1);
  return bytes;
}

inline void append(std::vector<uint8_t>* to, const std::vector<uint8_t>& bytes) {
  to->insert(to->end(), bytes.begin(), bytes.end());
}

class ElfWriter {
 public:
  // The bytes are written into the file whatever the type, so a section
  // that is wrongly taken shows up in the image. Returns the section's index.
  size_t add(const std::string& name, uint32_t type, uint32_t addr,
             const std::vector<uint8_t>& bytes) {
    sections_.push_back({name, type, addr, bytes});
    return sections_.size();
  }
  size_t progbits(const std::string& name, uint32_t addr, const std::vector<uint8_t>& bytes) {
    return add(name, kProgbits, addr, bytes);
  }

  size_t count() const { return sections_.size() + 2; }
  size_t names_index() const { return sections_.size() + 1; }

  // Offset of the header of section |index| in the built file.
  size_t header(size_t index) const { return table_offset() + index * kHeaderSize; }

  // Offset of section |index|'s name in the string table.
  uint32_t name_offset(size_t index) const {
    uint32_t at = 1;
    for (size_t i = 1; i < index; ++i) at += static_cast<uint32_t>(sections_[i - 1].name.size() + 1);
    return at;
  }

  std::vector<uint8_t> build() const {
    std::vector<uint8_t> elf(kFileHeaderSize, 0);
    for (size_t i = 0; i < sizeof elf32::kMagic; ++i) elf[i] = elf32::kMagic[i];
    elf[elf32::kClassByte] = elf32::kClass32;
    elf[elf32::kDataByte] = elf32::kLittleEndian;
    elf[elf32::kIdentVersionByte] = elf32::kCurrentVersion;
    put16(&elf, elf32::kFileTypeField, elf32::kExecutableFile);
    put16(&elf, elf32::kMachineField, elf32::kMachineArm);
    put32(&elf, elf32::kVersionField, elf32::kCurrentVersion);
    put16(&elf, elf32::kHeaderSizeField, kFileHeaderSize);
    put16(&elf, elf32::kSectionEntrySizeField, kHeaderSize);
    put32(&elf, kTableOffsetField, static_cast<uint32_t>(table_offset()));
    put16(&elf, kCountField, static_cast<uint16_t>(count()));
    put16(&elf, kNamesIndexField, static_cast<uint16_t>(names_index()));

    for (const Section& s : sections_) append(&elf, s.bytes);
    const size_t names_at = elf.size();
    const std::vector<uint8_t> names = name_table();
    append(&elf, names);
    elf.resize(table_offset(), 0);

    elf.resize(elf.size() + kHeaderSize, 0);  // the null section
    size_t offset = kFileHeaderSize;
    for (size_t i = 0; i < sections_.size(); ++i) {
      const Section& s = sections_[i];
      add_header(&elf, name_offset(i + 1), s.type, s.addr, offset, s.bytes.size());
      offset += s.bytes.size();
    }
    add_header(&elf, name_offset(names_index()), elf32::kStrtab, 0, names_at, names.size());
    return elf;
  }

 private:
  struct Section {
    std::string name;
    uint32_t type, addr;
    std::vector<uint8_t> bytes;
  };

  std::vector<uint8_t> name_table() const {
    std::vector<uint8_t> names(1, 0);
    for (const Section& s : sections_) {
      append(&names, text_bytes(s.name));
      names.push_back(0);
    }
    append(&names, text_bytes(".shstrtab"));
    names.push_back(0);
    return names;
  }

  // Headers start on a 4-byte boundary, as a linker places them.
  size_t table_offset() const {
    size_t end = kFileHeaderSize + name_table().size();
    for (const Section& s : sections_) end += s.bytes.size();
    return (end + 3) & ~size_t{3};
  }

  static void add_header(std::vector<uint8_t>* elf, uint32_t name, uint32_t type,
                         uint32_t addr, size_t offset, size_t size) {
    const size_t at = elf->size();
    elf->resize(at + kHeaderSize, 0);
    put32(elf, at + kNameField, name);
    put32(elf, at + kTypeField, type);
    put32(elf, at + kAddrField, addr);
    put32(elf, at + kOffsetField, static_cast<uint32_t>(offset));
    put32(elf, at + kSizeField, static_cast<uint32_t>(size));
  }

  std::vector<Section> sections_;
};

}  // namespace elf_test

#endif  // ZELK_TESTS_LOADING_ELF_WRITER_H_
