// make_big_elf: writes a firmware-shaped 32-bit ARM ELF of about 16 MiB
// for the conversion bench: 200 PROGBITS flash sections back to back from
// 0x08000000, a ".data" in RAM whose load image follows them in flash, a
// ".bss", a ".comment", a symbol table and its strings. Program headers
// give ".data" its load address, so objcopy -O binary of the file is the
// flash sections followed by ".data", exactly what the launcher makes.
//
//   make_big_elf OUT.elf
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kFlash = 0x08000000;
constexpr uint32_t kRam = 0x20000000;
constexpr int kFlashSections = 200;
constexpr uint32_t kFlashSectionBase = 80 * 1024;
constexpr uint32_t kDataSize = 192 * 1024;
constexpr uint32_t kBssSize = 64 * 1024;
constexpr uint32_t kSymbols = 4096;
constexpr uint32_t kFileHeaderSize = 52, kProgramHeaderSize = 32, kSectionHeaderSize = 40;

struct Section {
  std::string name;
  uint32_t type, flags, addr, offset, size, link, info, align, entsize;
};

void put(std::vector<uint8_t>* out, uint32_t at, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) (*out)[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

// Bytes that neither compress nor repeat, as code and constants do not.
void fill(std::vector<uint8_t>* out, uint32_t size, uint64_t* state) {
  for (uint32_t i = 0; i < size; ++i) {
    *state ^= *state << 13;
    *state ^= *state >> 7;
    *state ^= *state << 17;
    out->push_back(static_cast<uint8_t>(*state >> 24));
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: make_big_elf OUT.elf\n");
    return 2;
  }
  std::vector<uint8_t> elf(kFileHeaderSize + 2 * kProgramHeaderSize, 0);
  std::vector<Section> sections = {{"", 0, 0, 0, 0, 0, 0, 0, 0, 0}};
  uint64_t state = 0x9E3779B97F4A7C15ull;

  uint32_t addr = kFlash;
  const uint32_t flash_offset = static_cast<uint32_t>(elf.size());
  for (int i = 0; i < kFlashSections; ++i) {
    // Sizes vary by a few words so that no two sections line up alike.
    const uint32_t size = kFlashSectionBase + static_cast<uint32_t>((i * 7919) % 61) * 4;
    char name[32];
    snprintf(name, sizeof name, ".text.part%03d", i);
    sections.push_back({name, 1, 6, addr, static_cast<uint32_t>(elf.size()), size, 0, 0, 4, 0});
    fill(&elf, size, &state);
    addr += size;
  }
  const uint32_t flash_size = addr - kFlash;

  const uint32_t data_offset = static_cast<uint32_t>(elf.size());
  sections.push_back({".data", 1, 3, kRam, data_offset, kDataSize, 0, 0, 4, 0});
  fill(&elf, kDataSize, &state);
  sections.push_back({".bss", 8, 3, kRam + kDataSize, static_cast<uint32_t>(elf.size()),
                      kBssSize, 0, 0, 4, 0});
  const std::string comment = "GCC: (bench) 12.2.1";
  sections.push_back({".comment", 1, 0x30, 0, static_cast<uint32_t>(elf.size()),
                      static_cast<uint32_t>(comment.size() + 1), 0, 0, 1, 1});
  elf.insert(elf.end(), comment.begin(), comment.end());
  elf.push_back(0);
  while (elf.size() % 4) elf.push_back(0);

  // Symbols point into the flash sections; their names follow in .strtab.
  std::string strtab(1, '\0');
  const uint32_t symtab_offset = static_cast<uint32_t>(elf.size());
  elf.resize(elf.size() + 16, 0);  // the null symbol
  for (uint32_t i = 0; i < kSymbols; ++i) {
    const uint32_t at = static_cast<uint32_t>(elf.size());
    elf.resize(at + 16, 0);
    put(&elf, at, static_cast<uint32_t>(strtab.size()), 4);
    put(&elf, at + 4, (kFlash + (i * 3989u) % flash_size) & ~3u, 4);
    put(&elf, at + 8, 32, 4);
    elf[at + 12] = 0x12;  // global function
    put(&elf, at + 14, 1 + i % kFlashSections, 2);
    strtab += "bench_function_" + std::to_string(i);
    strtab.push_back('\0');
  }
  const uint16_t symtab_index = static_cast<uint16_t>(sections.size());
  sections.push_back({".symtab", 2, 0, 0, symtab_offset, (kSymbols + 1) * 16,
                      static_cast<uint32_t>(symtab_index + 1), 1, 4, 16});
  sections.push_back({".strtab", 3, 0, 0, static_cast<uint32_t>(elf.size()),
                      static_cast<uint32_t>(strtab.size()), 0, 0, 1, 0});
  elf.insert(elf.end(), strtab.begin(), strtab.end());

  std::string names(1, '\0');
  std::vector<uint32_t> name_at;
  sections.push_back({".shstrtab", 3, 0, 0, 0, 0, 0, 0, 1, 0});
  for (const Section& s : sections) {
    name_at.push_back(s.name.empty() ? 0 : static_cast<uint32_t>(names.size()));
    if (s.name.empty()) continue;
    names += s.name;
    names.push_back('\0');
  }
  sections.back().offset = static_cast<uint32_t>(elf.size());
  sections.back().size = static_cast<uint32_t>(names.size());
  elf.insert(elf.end(), names.begin(), names.end());
  while (elf.size() % 4) elf.push_back(0);

  const uint32_t table = static_cast<uint32_t>(elf.size());
  for (size_t i = 0; i < sections.size(); ++i) {
    const Section& s = sections[i];
    const uint32_t at = static_cast<uint32_t>(elf.size());
    elf.resize(at + kSectionHeaderSize, 0);
    const uint32_t fields[] = {name_at[i], s.type, s.flags, s.addr, s.offset,
                               s.size, s.link, s.info, s.align, s.entsize};
    for (uint32_t f = 0; f < 10; ++f) put(&elf, at + 4 * f, fields[f], 4);
  }

  const uint8_t ident[] = {0x7F, 'E', 'L', 'F', 1, 1, 1};
  for (size_t i = 0; i < sizeof ident; ++i) elf[i] = ident[i];
  put(&elf, 0x10, 2, 2);                // executable
  put(&elf, 0x12, 40, 2);               // ARM
  put(&elf, 0x14, 1, 4);
  put(&elf, 0x18, kFlash | 1, 4);       // Thumb entry
  put(&elf, 0x1C, kFileHeaderSize, 4);  // program headers
  put(&elf, 0x20, table, 4);
  put(&elf, 0x24, 0x05000200, 4);       // EABI 5, hard float
  put(&elf, 0x28, kFileHeaderSize, 2);
  put(&elf, 0x2A, kProgramHeaderSize, 2);
  put(&elf, 0x2C, 2, 2);
  put(&elf, 0x2E, kSectionHeaderSize, 2);
  put(&elf, 0x30, static_cast<uint32_t>(sections.size()), 2);
  put(&elf, 0x32, static_cast<uint32_t>(sections.size() - 1), 2);

  // Flash: code and constants, run where they are loaded. RAM: .data loaded
  // right after the flash sections, with .bss behind it.
  const uint32_t segments[2][8] = {
      {1, flash_offset, kFlash, kFlash, flash_size, flash_size, 5, 4},
      {1, data_offset, kRam, kFlash + flash_size, kDataSize, kDataSize + kBssSize, 6, 4},
  };
  for (int p = 0; p < 2; ++p)
    for (int f = 0; f < 8; ++f)
      put(&elf, kFileHeaderSize + p * kProgramHeaderSize + 4 * f, segments[p][f], 4);

  FILE* out = fopen(argv[1], "wb");
  if (!out) {
    perror(argv[1]);
    return 1;
  }
  const bool ok = fwrite(elf.data(), 1, elf.size(), out) == elf.size();
  if (fclose(out) != 0 || !ok) {
    perror(argv[1]);
    return 1;
  }
  printf("%s: %zu bytes, %zu sections, image %u bytes at 0x%x\n", argv[1], elf.size(),
         sections.size(), flash_size + kDataSize, kFlash);
  return 0;
}
