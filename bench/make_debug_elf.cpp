// make_debug_elf: writes a 32-bit ARM ELF of about 16 MiB with debug line
// information, for the coverage bench: 8 MiB of code in flash described by
// a DWARF 4 line table of 64 units (a source line every 2 to 8 bytes, four
// files each), a function symbol every 40 lines, and 5 MiB of other debug
// bytes. As heavy in line information as a firmware of that size gets.
//
//   make_debug_elf OUT.elf
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kFlash = 0x08000000;
constexpr uint32_t kCode = 8 << 20;
constexpr int kUnits = 64, kFilesPerUnit = 4;
constexpr uint32_t kOtherDebug = 5 << 20;

void put(std::vector<uint8_t>* out, size_t at, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) (*out)[at + i] = static_cast<uint8_t>(value >> (8 * i));
}
void add(std::vector<uint8_t>* out, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out->push_back(static_cast<uint8_t>(value >> (8 * i)));
}
void add_text(std::vector<uint8_t>* out, const std::string& s) {
  out->insert(out->end(), s.begin(), s.end());
  out->push_back(0);
}
void add_uleb(std::vector<uint8_t>* out, uint64_t v) {
  do {
    uint8_t b = v & 0x7f;
    v >>= 7;
    out->push_back(static_cast<uint8_t>(b | (v ? 0x80 : 0)));
  } while (v);
}

uint64_t state = 0x9E3779B97F4A7C15ull;
uint32_t next() {
  state ^= state << 13;
  state ^= state >> 7;
  state ^= state << 17;
  return static_cast<uint32_t>(state >> 16);
}

struct Symbol {
  uint32_t name, value;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: make_debug_elf OUT.elf\n");
    return 2;
  }
  std::vector<uint8_t> code(kCode);
  for (uint8_t& b : code) b = static_cast<uint8_t>(next());
  std::vector<uint8_t> lines, strtab(1, 0);
  std::vector<Symbol> symbols;
  const uint32_t per_unit = kCode / kUnits;
  for (int u = 0; u < kUnits; ++u) {
    const size_t start = lines.size();
    add(&lines, 0, 4);  // length, set below
    add(&lines, 4, 2);
    const size_t header_length_at = lines.size();
    add(&lines, 0, 4);
    const size_t header_start = lines.size();
    for (uint8_t b : {2, 1, 1, 0xFB /* -5 */, 14, 13}) lines.push_back(b);
    for (uint8_t n : {0, 1, 1, 1, 1, 0, 0, 0, 1, 0, 0, 1}) lines.push_back(n);
    add_text(&lines, "/work/firmware/src/part" + std::to_string(u));
    lines.push_back(0);
    for (int f = 0; f < kFilesPerUnit; ++f) {
      add_text(&lines, "module" + std::to_string(f) + ".c");
      for (int i = 0; i < 3; ++i) add_uleb(&lines, i == 0 ? 1 : 0);
    }
    lines.push_back(0);
    put(&lines, header_length_at, static_cast<uint32_t>(lines.size() - header_start), 4);
    uint32_t addr = kFlash + u * per_unit;
    const uint32_t end = addr + per_unit;
    lines.insert(lines.end(), {0, 5, 2});
    add(&lines, addr, 4);
    uint32_t line = 1, row = 0;
    while (addr + 8 < end) {
      if (row % 500 == 0) {
        lines.push_back(4);  // set_file
        add_uleb(&lines, 1 + (row / 500) % kFilesPerUnit);
      }
      if (row % 40 == 0) {
        symbols.push_back({static_cast<uint32_t>(strtab.size()), addr | 1});
        add_text(&strtab, "function_" + std::to_string(u) + "_" + std::to_string(row));
      }
      const uint32_t units = 1 + next() % 4, line_advance = 1 + next() % 3;
      lines.push_back(static_cast<uint8_t>((line_advance + 5) + 14 * units + 13));
      addr += 2 * units;
      line += line_advance;
      ++row;
    }
    lines.push_back(2);  // advance_pc to the unit's end
    add_uleb(&lines, (end - addr) / 2);
    lines.insert(lines.end(), {0, 1, 1});
    put(&lines, start, static_cast<uint32_t>(lines.size() - start - 4), 4);
  }
  std::vector<uint8_t> symtab(16, 0);
  for (const Symbol& s : symbols) {
    add(&symtab, s.name, 4);
    add(&symtab, s.value, 4);
    add(&symtab, 4, 4);
    symtab.push_back(0x12);  // global function
    symtab.push_back(0);
    add(&symtab, 1, 2);  // .text
  }
  std::vector<uint8_t> other(kOtherDebug);
  for (uint8_t& b : other) b = static_cast<uint8_t>(next());
  const std::string names[] = {"", ".text", ".debug_line", ".symtab", ".strtab", ".debug_frame", ".shstrtab"};
  std::vector<uint8_t> shstrtab;
  std::vector<uint32_t> name_at;
  for (const std::string& n : names) {
    name_at.push_back(static_cast<uint32_t>(shstrtab.size()));
    add_text(&shstrtab, n);
  }
  std::vector<uint8_t> out(52, 0);
  const std::vector<uint8_t>* contents[] = {nullptr, &code, &lines, &symtab, &strtab, &other, &shstrtab};
  std::vector<uint32_t> offsets(7, 0);
  for (int i = 1; i < 7; ++i) {
    while (out.size() % 4) out.push_back(0);
    offsets[i] = static_cast<uint32_t>(out.size());
    out.insert(out.end(), contents[i]->begin(), contents[i]->end());
  }
  while (out.size() % 4) out.push_back(0);
  const uint32_t shoff = static_cast<uint32_t>(out.size());
  const uint32_t types[] = {0, 1, 1, 2, 3, 1, 3};
  for (int i = 0; i < 7; ++i) {
    add(&out, name_at[i], 4);
    add(&out, types[i], 4);
    add(&out, i == 1 ? 0x6 : 0, 4);  // alloc, exec
    add(&out, i == 1 ? kFlash : 0, 4);
    add(&out, offsets[i], 4);
    add(&out, contents[i] ? static_cast<uint32_t>(contents[i]->size()) : 0, 4);
    add(&out, i == 3 ? 4 : 0, 4);  // the symbols' names
    add(&out, i == 3 ? 1 : 0, 4);
    add(&out, i == 1 ? 4 : 1, 4);
    add(&out, i == 3 ? 16 : 0, 4);
  }
  const uint8_t ident[16] = {0x7f, 'E', 'L', 'F', 1, 1, 1};
  for (int i = 0; i < 16; ++i) out[i] = ident[i];
  put(&out, 16, 2, 2);   // executable
  put(&out, 18, 40, 2);  // ARM
  put(&out, 20, 1, 4);
  put(&out, 32, shoff, 4);
  put(&out, 40, 52, 2);
  put(&out, 46, 40, 2);
  put(&out, 48, 7, 2);
  put(&out, 50, 6, 2);
  FILE* f = fopen(argv[1], "wb");
  if (!f || fwrite(out.data(), 1, out.size(), f) != out.size() || fclose(f) != 0) {
    perror(argv[1]);
    return 1;
  }
  return 0;
}
