// The layout of a 32-bit ELF file, as far as the system reads one or its
// tests write one: the identification bytes, the file header, the section
// headers and the symbols. Offsets are in bytes from the start of the
// header or entry they belong to; every number is little-endian on the
// chips' toolchains.
#ifndef ZELK_FORMATS_ELF32_H_
#define ZELK_FORMATS_ELF32_H_

#include <cstddef>
#include <cstdint>

namespace elf32 {

// Identification: the magic, then the class, the byte order and the version.
constexpr uint8_t kMagic[4] = {0x7F, 'E', 'L', 'F'};
constexpr size_t kClassByte = 4;
constexpr size_t kDataByte = 5;
constexpr size_t kIdentVersionByte = 6;
constexpr uint8_t kClass32 = 1;
constexpr uint8_t kLittleEndian = 1;
constexpr uint8_t kCurrentVersion = 1;

// The file header.
constexpr size_t kFileHeaderSize = 52;
constexpr size_t kFileTypeField = 0x10;         // 2 bytes
constexpr size_t kMachineField = 0x12;          // 2 bytes
constexpr size_t kVersionField = 0x14;          // 4 bytes
constexpr size_t kSectionTableField = 0x20;     // 4 bytes: the section table's offset
constexpr size_t kHeaderSizeField = 0x28;       // 2 bytes
constexpr size_t kSectionEntrySizeField = 0x2E; // 2 bytes
constexpr size_t kSectionCountField = 0x30;     // 2 bytes
constexpr size_t kSectionNamesField = 0x32;     // 2 bytes: the name table's index
constexpr uint16_t kExecutableFile = 2;
constexpr uint16_t kMachineArm = 40;
// A section index of 0 is no section: as the name table's index, it says
// the sections have no names; as a symbol's section, it says the symbol is
// defined elsewhere.
constexpr uint16_t kNoSection = 0;

// A section header, one entry of the section table. Every field is 4 bytes.
constexpr size_t kSectionHeaderSize = 40;
constexpr size_t kNameField = 0;  // the name's offset in the name table
constexpr size_t kTypeField = 4;
constexpr size_t kFlagsField = 8;
constexpr size_t kAddrField = 12;
constexpr size_t kOffsetField = 16;
constexpr size_t kSizeField = 20;
constexpr size_t kLinkField = 24;

// Section types.
constexpr uint32_t kProgbits = 1;
constexpr uint32_t kSymtab = 2;
constexpr uint32_t kStrtab = 3;
constexpr uint32_t kNobits = 8;  // takes room in memory, none in the file

// Section flags.
constexpr uint32_t kAlloc = 0x2;
constexpr uint32_t kExecInstr = 0x4;
constexpr uint32_t kCompressed = 0x800;

// A symbol, one entry of a symbol table.
constexpr size_t kSymbolSize = 16;
constexpr size_t kSymbolNameField = 0;     // 4 bytes
constexpr size_t kSymbolValueField = 4;    // 4 bytes
constexpr size_t kSymbolInfoField = 12;    // 1 byte: binding above, type below
constexpr size_t kSymbolSectionField = 14; // 2 bytes
constexpr uint8_t kSymbolTypeMask = 0xF;
constexpr uint8_t kFunctionSymbol = 2;

}  // namespace elf32

#endif  // ZELK_FORMATS_ELF32_H_
