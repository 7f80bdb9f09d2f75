// Turns an ELF's flash-resident sections and its ".data" into a raw image
// that the simulator's generic loader copies into flash unparsed.
#ifndef ZELK_LOADING_ELF2BIN_H_
#define ZELK_LOADING_ELF2BIN_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// Result codes of elf2bin.
enum : int {
  kElfOk = 0,
  kElfNoPath = -1,           // no ELF path, or nowhere to append
  kElfCannotOpen = -2,
  kElfSeekEndFailed = -3,
  kElfSeekStartFailed = -4,
  kElfNoMemory = -5,
  kElfShortRead = -6,
  kElfCannotCreateRaw = -8,  // there is no code -7
  kElfMalformed = -9,        // not a 32-bit little-endian ELF, or a field
                             // points outside the file
  kElfTooLarge = -10,        // 2 GiB or more
  kElfFlashWriteShort = -51,
  kElfDataWriteShort = -52,
};

// What a result code of elf2bin means, in a few words.
const char* elf2bin_code_text(int code);

// A section the conversion takes.
struct ElfSection {
  uint16_t index = 0;
  std::string name;  // empty when the file gives it no good name
  uint32_t addr = 0, offset = 0, size = 0;
};

// What a conversion takes from an ELF: the flash-resident sections, then
// the ".data" sections, in table order, and the address the raw image is
// loaded at, that of the first flash-resident section (0 without one).
struct ElfPlan {
  uint32_t load_addr = 0;
  std::vector<ElfSection> flash, data;
  uint64_t raw_size() const;
};

// Reads the ELF at |elf_path| and chooses its sections as a conversion
// does, writing nothing. Returns the code the conversion would give for
// what it reads.
int plan_elf2bin(const char* elf_path, ElfPlan* plan);

// A raw image written for the simulator's loader: where it lies and the
// address it is loaded at.
// When it could not be written whole: the file tried last (empty where no
// name was had) and the system's error number.
struct RawImage {
  std::string path;
  uint32_t load_addr = 0;
  int error = 0;
};

// Converts the ELF at |elf_path| (may be null) into a new raw image file in
// the temporary directory, or in the folder |dir| where one is given, and,
// on success, says where in |raw|. Returns one of the codes above.
int elf2bin(const char* elf_path, RawImage* raw, const std::string& dir = "");

// Selects the sections of the |size| bytes at |elf| and writes them to
// |raw|; sets |load_addr| to the address of the first flash-resident one,
// 0 when there is none.
int do_elf2bin(const uint8_t* elf, size_t size, FILE* raw, uint32_t* load_addr);

#endif  // ZELK_LOADING_ELF2BIN_H_
