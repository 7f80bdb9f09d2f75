#include "coverage/line_map.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <unordered_map>

#include "formats/elf32.h"

namespace {

// ---- Bytes read with every length checked against what is there.

class Bytes {
 public:
  Bytes() = default;
  Bytes(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool ok() const { return ok_; }
  bool at_end() const { return pos_ >= size_; }
  size_t pos() const { return pos_; }
  size_t size() const { return size_; }
  const uint8_t* data() const { return data_; }

  bool skip(uint64_t n) {
    if (!ok_ || n > size_ - pos_) return fail();
    pos_ += static_cast<size_t>(n);
    return true;
  }
  uint64_t fixed(unsigned n) {  // little-endian, n of 1, 2, 3, 4 or 8
    if (!ok_ || n > size_ - pos_) return fail();
    uint64_t v = 0;
    for (unsigned i = 0; i < n; ++i) v |= static_cast<uint64_t>(data_[pos_ + i]) << (8 * i);
    pos_ += n;
    return v;
  }
  uint64_t uleb() {
    uint64_t v = 0;
    for (unsigned shift = 0;; shift += 7) {
      if (!ok_ || pos_ >= size_) return fail();
      const uint8_t b = data_[pos_++];
      if (shift < 64) v |= static_cast<uint64_t>(b & 0x7f) << shift;
      if (!(b & 0x80)) return v;
    }
  }
  int64_t sleb() {
    uint64_t v = 0;
    unsigned shift = 0;
    uint8_t b = 0;
    do {
      if (!ok_ || pos_ >= size_) return static_cast<int64_t>(fail());
      b = data_[pos_++];
      if (shift < 64) v |= static_cast<uint64_t>(b & 0x7f) << shift;
      shift += 7;
    } while (b & 0x80);
    if (shift < 64 && (b & 0x40)) v |= ~uint64_t{0} << shift;
    return static_cast<int64_t>(v);
  }
  // A string ending in a zero byte, which must lie inside.
  std::string cstr() {
    if (!ok_) return "";
    const void* end = memchr(data_ + pos_, 0, size_ - pos_);
    if (!end) return fail(), "";
    std::string s(reinterpret_cast<const char*>(data_ + pos_),
                  static_cast<const uint8_t*>(end) - (data_ + pos_));
    pos_ += s.size() + 1;
    return s;
  }
  // The |n| bytes from here on as a reader of their own.
  Bytes sub(uint64_t n) {
    if (!ok_ || n > size_ - pos_) return fail(), Bytes();
    Bytes b(data_ + pos_, static_cast<size_t>(n));
    pos_ += static_cast<size_t>(n);
    return b;
  }
  uint64_t fail() {
    ok_ = false;
    return 0;
  }

 private:
  const uint8_t* data_ = nullptr;
  size_t size_ = 0, pos_ = 0;
  bool ok_ = true;
};

// The string at |offset| of a string section.
std::string string_at(const Bytes& section, uint64_t offset, bool* ok) {
  if (offset >= section.size()) return *ok = false, "";
  Bytes b(section.data() + offset, section.size() - static_cast<size_t>(offset));
  std::string s = b.cstr();
  if (!b.ok()) *ok = false;
  return s;
}

// ---- The ELF: 32-bit little-endian, as the chips' toolchains make them.

struct Section {
  std::string name;
  uint32_t name_offset = 0, type = 0, flags = 0, addr = 0, offset = 0, size = 0, link = 0;
};

struct Elf {
  uint16_t machine = 0;
  std::vector<Section> sections;
  const uint8_t* data = nullptr;
  size_t size = 0;

  const Section* find(const char* name) const {
    for (const Section& s : sections)
      if (s.name == name) return &s;
    return nullptr;
  }
  Bytes contents(const Section* s) const {
    if (!s || s->type == elf32::kNobits) return Bytes();
    return Bytes(data + s->offset, s->size);
  }
};

// The little-endian field of |n| bytes at |at| of |entry|, 0 where the
// entry ends before it.
uint64_t field(const Bytes& entry, size_t at, unsigned n) {
  Bytes b = entry;
  b.skip(at);
  return b.fixed(n);
}

uint32_t field32(const Bytes& entry, size_t at) { return static_cast<uint32_t>(field(entry, at, 4)); }

LineMapResult read_elf(const uint8_t* data, size_t size, Elf* elf, std::string* problem) {
  if (size < elf32::kFileHeaderSize || memcmp(data, elf32::kMagic, sizeof elf32::kMagic) != 0)
    return *problem = "not an ELF file", LineMapResult::kNotElf;
  if (data[elf32::kClassByte] != elf32::kClass32 || data[elf32::kDataByte] != elf32::kLittleEndian)
    return *problem = "not a 32-bit little-endian ELF", LineMapResult::kNotElf;
  const Bytes header(data, elf32::kFileHeaderSize);
  elf->machine = static_cast<uint16_t>(field(header, elf32::kMachineField, 2));
  const uint64_t shoff = field(header, elf32::kSectionTableField, 4);
  const uint64_t shnum = field(header, elf32::kSectionCountField, 2);
  const uint64_t shstrndx = field(header, elf32::kSectionNamesField, 2);
  constexpr uint64_t kEntry = elf32::kSectionHeaderSize;
  if (shoff > size || shnum > (size - shoff) / kEntry)
    return *problem = "its section table lies outside the file", LineMapResult::kMalformed;
  elf->data = data;
  elf->size = size;
  for (uint64_t i = 0; i < shnum; ++i) {
    const Bytes h(data + shoff + i * kEntry, kEntry);
    Section s;
    s.name_offset = field32(h, elf32::kNameField);
    s.type = field32(h, elf32::kTypeField);
    s.flags = field32(h, elf32::kFlagsField);
    s.addr = field32(h, elf32::kAddrField);
    s.offset = field32(h, elf32::kOffsetField);
    s.size = field32(h, elf32::kSizeField);
    s.link = field32(h, elf32::kLinkField);
    if (s.type != elf32::kNobits && (s.offset > size || s.size > size - s.offset))
      return *problem = "a section lies outside the file", LineMapResult::kMalformed;
    elf->sections.push_back(s);
  }
  if (shstrndx < elf->sections.size()) {
    const Bytes names = elf->contents(&elf->sections[shstrndx]);
    for (Section& s : elf->sections) {
      bool ok = true;
      const std::string name = string_at(names, s.name_offset, &ok);
      s.name = ok ? name : "";
    }
  }
  return LineMapResult::kOk;
}

// ---- Paths.

bool is_absolute(const std::string& p) {
  return (!p.empty() && (p[0] == '/' || p[0] == '\\')) ||
         (p.size() >= 2 && p[1] == ':' && isalpha(static_cast<unsigned char>(p[0])));
}

// |name| in the folder |dir|, with the separator the folder uses.
std::string join(const std::string& dir, const std::string& name) {
  if (dir.empty() || is_absolute(name)) return name;
  const char sep = dir.find('\\') != std::string::npos && dir.find('/') == std::string::npos ? '\\' : '/';
  std::string p = dir;
  if (p.back() != '/' && p.back() != '\\') p.push_back(sep);
  std::string rest = name;
  while (rest.size() > 2 && rest[0] == '.' && (rest[1] == '/' || rest[1] == '\\')) rest.erase(0, 2);
  return p + rest;
}

// ---- The compilation folder of each line table, for DWARF 2 to 4, where
// the table itself does not hold it: the first entry of each compilation
// unit in .debug_info, as .debug_abbrev describes it.

constexpr uint64_t kAtStmtList = 0x10, kAtCompDir = 0x1b;
constexpr size_t kLongestFolder = 4096;

struct FormContext {
  unsigned addr_size = 4, offset_size = 4, version = 4;
  Bytes str, line_str;
};

// Reads one attribute's value of |form|: a string for string forms, a
// number for the others; false when the form is unknown or the bytes end.
bool read_form(Bytes* in, uint64_t form, const FormContext& c, std::string* text, uint64_t* number,
               int64_t implicit = 0, int depth = 0) {
  bool ok = true;
  switch (form) {
    case 0x01: *number = in->fixed(c.addr_size); break;             // addr
    case 0x03: in->skip(in->fixed(2)); break;                       // block2
    case 0x04: in->skip(in->fixed(4)); break;                       // block4
    case 0x05: *number = in->fixed(2); break;                       // data2
    case 0x06: *number = in->fixed(4); break;                       // data4
    case 0x07: *number = in->fixed(8); break;                       // data8
    case 0x08: *text = in->cstr(); break;                           // string
    case 0x09: case 0x18: in->skip(in->uleb()); break;              // block, exprloc
    case 0x0a: in->skip(in->fixed(1)); break;                       // block1
    case 0x0b: case 0x0c: case 0x11: case 0x25: case 0x29:          // data1 flag ref1 strx1 addrx1
      *number = in->fixed(1); break;
    case 0x12: case 0x26: case 0x2a: *number = in->fixed(2); break; // ref2 strx2 addrx2
    case 0x27: case 0x2b: *number = in->fixed(3); break;            // strx3 addrx3
    case 0x13: case 0x1c: case 0x28: case 0x2c: *number = in->fixed(4); break;
    case 0x14: case 0x20: case 0x24: *number = in->fixed(8); break; // ref8 ref_sig8 ref_sup8
    case 0x0d: *number = static_cast<uint64_t>(in->sleb()); break;  // sdata
    case 0x0f: case 0x15: case 0x1a: case 0x1b: case 0x22: case 0x23:
    case 0x1f01: case 0x1f02:
      *number = in->uleb(); break;
    case 0x10:                                                      // ref_addr
      *number = in->fixed(c.version <= 2 ? c.addr_size : c.offset_size); break;
    case 0x17: case 0x1d: case 0x1f20: case 0x1f21:                 // sec_offset and others
      *number = in->fixed(c.offset_size); break;
    case 0x0e: *text = string_at(c.str, in->fixed(c.offset_size), &ok); break;       // strp
    case 0x1f: *text = string_at(c.line_str, in->fixed(c.offset_size), &ok); break;  // line_strp
    case 0x19: *number = 1; break;                                  // flag_present
    case 0x21: *number = static_cast<uint64_t>(implicit); break;    // implicit_const
    case 0x1e: in->skip(16); break;                                 // data16
    case 0x16:                                                      // indirect
      if (depth > 0) return false;
      return read_form(in, in->uleb(), c, text, number, implicit, depth + 1);
    default: return false;
  }
  return ok && in->ok();
}

// The next unit of a DWARF section: its initial length says how long it is
// and, as 0xffffffff, that its offsets are 64 bits wide (|c|'s offset size).
Bytes next_unit(Bytes* section, FormContext* c) {
  uint64_t length = section->fixed(4);
  if (length == 0xffffffff) {
    c->offset_size = 8;
    length = section->fixed(8);
  }
  return section->sub(length);
}

std::map<uint64_t, std::string> compilation_folders(const Elf& elf, const FormContext& strings) {
  std::map<uint64_t, std::string> folders;
  Bytes info = elf.contents(elf.find(".debug_info"));
  const Bytes abbrev = elf.contents(elf.find(".debug_abbrev"));
  while (info.ok() && !info.at_end()) {
    FormContext c = strings;
    Bytes unit = next_unit(&info, &c);
    if (!info.ok()) break;
    c.version = static_cast<unsigned>(unit.fixed(2));
    if (c.version < 2 || c.version > 5) continue;
    uint64_t abbrev_offset = 0;
    if (c.version >= 5) {
      const uint64_t type = unit.fixed(1);
      c.addr_size = static_cast<unsigned>(unit.fixed(1));
      abbrev_offset = unit.fixed(c.offset_size);
      if (type == 2 || type == 6) unit.skip(8 + c.offset_size);     // type units
      else if (type == 4 || type == 5) unit.skip(8);                // skeleton, split
    } else {
      abbrev_offset = unit.fixed(c.offset_size);
      c.addr_size = static_cast<unsigned>(unit.fixed(1));
    }
    if (c.addr_size != 4 && c.addr_size != 8) continue;
    const uint64_t code = unit.uleb();
    if (!unit.ok() || abbrev_offset >= abbrev.size()) continue;
    Bytes a(abbrev.data() + abbrev_offset, abbrev.size() - static_cast<size_t>(abbrev_offset));
    // The entry's description, by its code.
    bool found = false;
    while (a.ok() && !a.at_end()) {
      const uint64_t this_code = a.uleb();
      if (this_code == 0) break;
      a.uleb();
      a.skip(1);
      if (this_code == code) {
        found = true;
        break;
      }
      for (;;) {
        const uint64_t at = a.uleb(), form = a.uleb();
        if (form == 0x21) a.sleb();
        if (!a.ok() || (at == 0 && form == 0)) break;
      }
    }
    if (!found) continue;
    std::string dir;
    uint64_t stmt_list = UINT64_MAX;
    for (;;) {
      const uint64_t at = a.uleb(), form = a.uleb();
      const int64_t implicit = form == 0x21 ? a.sleb() : 0;
      if (!a.ok() || (at == 0 && form == 0)) break;
      std::string text;
      uint64_t number = 0;
      if (!read_form(&unit, form, c, &text, &number, implicit)) break;
      if (at == kAtCompDir) dir = text;
      if (at == kAtStmtList) stmt_list = number;
    }
    // No folder is that long: a longer one is no folder's name.
    if (stmt_list != UINT64_MAX && dir.size() <= kLongestFolder) folders[stmt_list] = dir;
  }
  return folders;
}

// ---- The line tables.

// One source line's stretch of code as the table says it, before the
// stretches of every table are sorted and made disjoint.
struct RawRange {
  uint64_t lo, hi;
  uint32_t file, line;
};

// What a hostile table can make the paths cost: past these, a unit's
// directories stop its reading, and new files are left out.
constexpr size_t kUnitFolderBytes = 1 << 20;
constexpr size_t kAllPathBytes = 64 << 20;

constexpr uint32_t kNoFile = UINT32_MAX;

struct Collector {
  std::unordered_map<std::string, uint32_t> file_ids;
  std::vector<std::string> files;
  std::vector<RawRange> ranges;
  std::string strip;
  size_t path_bytes = 0;

  uint32_t file_id(std::string path) {
    if (!strip.empty() && path.compare(0, strip.size(), strip) == 0) {
      path.erase(0, strip.size());
      if (!path.empty() && (path[0] == '/' || path[0] == '\\')) path.erase(0, 1);
    }
    auto it = file_ids.find(path);
    if (it != file_ids.end()) return it->second;
    if (path.size() > kAllPathBytes - path_bytes) return kNoFile;
    path_bytes += path.size();
    const uint32_t id = static_cast<uint32_t>(files.size());
    file_ids.emplace(path, id);
    files.push_back(path);
    return id;
  }
};

// A v5 directory or file entry, as its format describes it.
bool read_entry(Bytes* in, const std::vector<std::pair<uint64_t, uint64_t>>& format,
                const FormContext& c, std::string* path, uint64_t* dir) {
  for (const auto& [type, form] : format) {
    std::string text;
    uint64_t number = 0;
    if (!read_form(in, form, c, &text, &number)) return false;
    if (type == 1) *path = text;     // DW_LNCT_path
    if (type == 2) *dir = number;    // DW_LNCT_directory_index
  }
  return true;
}

bool read_format(Bytes* in, std::vector<std::pair<uint64_t, uint64_t>>* format) {
  const uint64_t count = in->fixed(1);
  for (uint64_t i = 0; i < count && in->ok(); ++i) {
    const uint64_t type = in->uleb(), form = in->uleb();
    format->emplace_back(type, form);
  }
  return in->ok();
}

// Runs one unit's line program, |in| holding the whole unit after its
// length; adds its stretches to |out|.
void read_line_unit(Bytes in, const FormContext& strings, const std::string* comp_dir,
                    Collector* out) {
  FormContext c = strings;
  c.version = static_cast<unsigned>(in.fixed(2));
  if (!in.ok() || c.version < 2 || c.version > 5) return;
  if (c.version >= 5) {
    c.addr_size = static_cast<unsigned>(in.fixed(1));
    in.skip(1);  // segment selector size
  }
  const uint64_t header_length = in.fixed(c.offset_size);
  if (!in.ok() || header_length > in.size() - in.pos()) return;
  const size_t program_start = in.pos() + static_cast<size_t>(header_length);
  const uint64_t min_inst = in.fixed(1);
  if (c.version >= 4) in.skip(1);  // operations per instruction: one on these chips
  in.skip(1);  // default_is_stmt: every row counts, statement or not
  const int64_t line_base = static_cast<int8_t>(in.fixed(1));
  const uint64_t line_range = in.fixed(1);
  const uint64_t opcode_base = in.fixed(1);
  if (!in.ok() || line_range == 0 || opcode_base == 0) return;
  std::vector<uint8_t> arg_counts(opcode_base, 0);
  for (uint64_t i = 1; i < opcode_base; ++i) arg_counts[i] = static_cast<uint8_t>(in.fixed(1));

  std::vector<std::string> dirs;
  size_t folder_bytes = 0;
  std::vector<uint32_t> files;  // by the table's own file number
  if (c.version >= 5) {
    std::vector<std::pair<uint64_t, uint64_t>> format;
    if (!read_format(&in, &format)) return;
    const uint64_t dir_count = in.uleb();
    for (uint64_t i = 0; i < dir_count && in.ok(); ++i) {
      std::string path;
      uint64_t unused = 0;
      if (!read_entry(&in, format, c, &path, &unused)) return;
      dirs.push_back(i == 0 || dirs.empty() ? path : join(dirs[0], path));
      if ((folder_bytes += dirs.back().size()) > kUnitFolderBytes) return;
    }
    format.clear();
    if (!read_format(&in, &format)) return;
    const uint64_t file_count = in.uleb();
    for (uint64_t i = 0; i < file_count && in.ok(); ++i) {
      std::string path;
      uint64_t dir = 0;
      if (!read_entry(&in, format, c, &path, &dir)) return;
      files.push_back(dir < dirs.size() ? out->file_id(join(dirs[dir], path)) : kNoFile);
    }
  } else {
    const std::string base = comp_dir ? *comp_dir : "";
    dirs.push_back(base);
    for (std::string d = in.cstr(); in.ok() && !d.empty(); d = in.cstr()) {
      dirs.push_back(join(base, d));
      if ((folder_bytes += dirs.back().size()) > kUnitFolderBytes) return;
    }
    files.push_back(kNoFile);  // numbered from 1
    for (std::string f = in.cstr(); in.ok() && !f.empty(); f = in.cstr()) {
      const uint64_t dir = in.uleb();
      in.uleb();
      in.uleb();
      files.push_back(dir < dirs.size() ? out->file_id(join(dirs[dir], f)) : kNoFile);
    }
  }
  if (!in.ok() || program_start > in.size()) return;
  Bytes program(in.data() + program_start, in.size() - program_start);

  // The state machine's registers that matter here.
  uint64_t address = 0, file = 1, line = 1;
  // The row before, whose stretch ends where the next row starts.
  bool have_row = false;
  uint64_t row_address = 0, row_file = 0, row_line = 0;
  auto emit = [&](bool end_sequence) {
    if (have_row && address > row_address && row_line != 0 && row_file < files.size() &&
        files[row_file] != kNoFile && row_line <= UINT32_MAX)
      out->ranges.push_back({row_address, address, files[row_file], static_cast<uint32_t>(row_line)});
    have_row = !end_sequence;
    row_address = address;
    row_file = file;
    row_line = line;
    if (end_sequence) {
      address = 0;
      file = 1;
      line = 1;
    }
  };
  while (program.ok() && !program.at_end()) {
    const uint64_t op = program.fixed(1);
    if (op >= opcode_base) {
      const uint64_t adjusted = op - opcode_base;
      address += adjusted / line_range * min_inst;
      line += static_cast<uint64_t>(line_base + static_cast<int64_t>(adjusted % line_range));
      emit(false);
      continue;
    }
    switch (op) {
      case 0: {  // extended
        const uint64_t len = program.uleb();
        Bytes ext = program.sub(len);
        if (!program.ok() || len == 0) break;
        const uint64_t sub = ext.fixed(1);
        if (sub == 1) {
          emit(true);
        } else if (sub == 2) {
          const uint64_t n = len - 1;
          if (n == 1 || n == 2 || n == 4 || n == 8) address = ext.fixed(static_cast<unsigned>(n));
        } else if (sub == 3 && c.version < 5) {
          const std::string f = ext.cstr();
          const uint64_t dir = ext.uleb();
          if (ext.ok()) files.push_back(dir < dirs.size() ? out->file_id(join(dirs[dir], f)) : kNoFile);
        }
        break;
      }
      case 1: emit(false); break;                                        // copy
      case 2: address += program.uleb() * min_inst; break;               // advance_pc
      case 3: line += static_cast<uint64_t>(program.sleb()); break;      // advance_line
      case 4: file = program.uleb(); break;                              // set_file
      case 8: address += (255 - opcode_base) / line_range * min_inst; break;  // const_add_pc
      case 9: address += program.fixed(2); break;                        // fixed_advance_pc
      default:
        for (unsigned i = 0; i < arg_counts[op]; ++i) program.uleb();
        break;
    }
  }
}

// ---- The map from the stretches.

// Keeps only code inside the program's executable sections: a table also
// describes functions the linker dropped, left at address 0.
bool inside_code(const std::vector<std::pair<uint64_t, uint64_t>>& code, RawRange* r) {
  for (const auto& [lo, hi] : code) {
    if (r->lo >= lo && r->lo < hi) {
      r->hi = std::min(r->hi, hi);
      return true;
    }
  }
  return false;
}

void build_map(Collector* c, const std::vector<std::pair<uint64_t, uint64_t>>& code, LineMap* map) {
  // The stretches are worked on in place: they are most of the memory.
  std::vector<RawRange>& disjoint = c->ranges;
  disjoint.erase(std::remove_if(disjoint.begin(), disjoint.end(),
                                [&](RawRange& r) { return !inside_code(code, &r); }),
                 disjoint.end());
  std::sort(disjoint.begin(), disjoint.end(), [](const RawRange& a, const RawRange& b) {
    return a.lo != b.lo ? a.lo < b.lo : a.hi > b.hi;
  });
  // Where two tables describe the same bytes, the first one says; a line
  // left with no bytes of its own has no code.
  size_t kept = 0;
  uint64_t covered_to = 0;
  for (RawRange r : disjoint) {
    r.lo = std::max(r.lo, covered_to);
    if (r.lo >= r.hi) continue;
    disjoint[kept++] = r;
    covered_to = r.hi;
  }
  disjoint.resize(kept);
  // Files with code, in order of their paths; lines in order within them.
  std::vector<bool> used(c->files.size(), false);
  for (const RawRange& r : disjoint) used[r.file] = true;
  std::vector<uint32_t> order;
  for (uint32_t i = 0; i < c->files.size(); ++i)
    if (used[i]) order.push_back(i);
  std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) { return c->files[a] < c->files[b]; });
  std::vector<uint32_t> index_of(c->files.size(), 0);
  for (uint32_t i = 0; i < order.size(); ++i) {
    index_of[order[i]] = i;
    map->files.push_back(c->files[order[i]]);
  }
  map->lines.reserve(disjoint.size());
  for (RawRange& r : disjoint) {
    r.file = index_of[r.file];
    map->lines.push_back({r.file, r.line, false});
  }
  auto by_place = [](const SourceLine& a, const SourceLine& b) {
    return a.file != b.file ? a.file < b.file : a.line < b.line;
  };
  std::sort(map->lines.begin(), map->lines.end(), by_place);
  map->lines.erase(std::unique(map->lines.begin(), map->lines.end(),
                               [](const SourceLine& a, const SourceLine& b) {
                                 return a.file == b.file && a.line == b.line;
                               }),
                   map->lines.end());
  map->ranges.reserve(disjoint.size());
  for (const RawRange& r : disjoint) {
    const SourceLine key{r.file, r.line, false};
    const uint32_t index = static_cast<uint32_t>(
        std::lower_bound(map->lines.begin(), map->lines.end(), key, by_place) - map->lines.begin());
    map->ranges.push_back({r.lo, r.hi, index});
  }
  std::vector<RawRange>().swap(disjoint);
}

// The range holding |addr|, or null.
const CodeRange* range_at(const LineMap& map, uint64_t addr) {
  auto it = std::upper_bound(map.ranges.begin(), map.ranges.end(), addr,
                             [](uint64_t a, const CodeRange& r) { return a < r.hi; });
  return it != map.ranges.end() && it->lo <= addr ? &*it : nullptr;
}

void read_functions(const Elf& elf, LineMap* map) {
  for (const Section& s : elf.sections) {
    if (s.type != elf32::kSymtab || s.link >= elf.sections.size()) continue;
    const Bytes names = elf.contents(&elf.sections[s.link]);
    Bytes symbols = elf.contents(&s);
    while (symbols.ok() && symbols.size() - symbols.pos() >= elf32::kSymbolSize) {
      const Bytes symbol = symbols.sub(elf32::kSymbolSize);
      const uint64_t name = field(symbol, elf32::kSymbolNameField, 4);
      const uint64_t value = field(symbol, elf32::kSymbolValueField, 4);
      const uint64_t info = field(symbol, elf32::kSymbolInfoField, 1);
      const uint64_t shndx = field(symbol, elf32::kSymbolSectionField, 2);
      if ((info & elf32::kSymbolTypeMask) != elf32::kFunctionSymbol || shndx == elf32::kNoSection)
        continue;
      bool ok = true;
      Function f;
      f.name = string_at(names, name, &ok);
      if (!ok || f.name.empty()) continue;
      // An Arm function's address carries the Thumb bit.
      f.entry = elf.machine == elf32::kMachineArm ? value & ~uint64_t{1} : value;
      const CodeRange* r = range_at(*map, f.entry);
      if (!r) continue;
      f.source_line = r->source_line;
      map->functions.push_back(f);
    }
  }
  std::sort(map->functions.begin(), map->functions.end(), [](const Function& a, const Function& b) {
    return a.entry != b.entry ? a.entry < b.entry : a.name < b.name;
  });
  map->functions.erase(std::unique(map->functions.begin(), map->functions.end(),
                                   [](const Function& a, const Function& b) {
                                     return a.entry == b.entry && a.name == b.name;
                                   }),
                       map->functions.end());
}

}  // namespace

void LineMap::mark(uint64_t lo, uint64_t hi) {
  auto it = std::upper_bound(ranges.begin(), ranges.end(), lo,
                             [](uint64_t a, const CodeRange& r) { return a < r.hi; });
  for (; it != ranges.end() && it->lo < hi; ++it) lines[it->source_line].reached = true;
  auto f = std::lower_bound(functions.begin(), functions.end(), lo,
                            [](const Function& fn, uint64_t a) { return fn.entry < a; });
  for (; f != functions.end() && f->entry < hi; ++f) f->reached = true;
}

LineMapResult read_line_map(const uint8_t* data, size_t size, const std::string& strip_prefix,
                            LineMap* map, std::string* problem) {
  *map = LineMap();
  problem->clear();
  Elf elf;
  const LineMapResult read = read_elf(data, size, &elf, problem);
  if (read != LineMapResult::kOk) return read;
  const Section* line_section = elf.find(".debug_line");
  for (const char* name : {".debug_line", ".debug_info", ".debug_abbrev", ".debug_str", ".debug_line_str"}) {
    const Section* s = elf.find(name);
    if (s && (s->flags & elf32::kCompressed)) {
      *problem = std::string(name) + " is compressed: link without --compress-debug-sections";
      return LineMapResult::kMalformed;
    }
  }
  if (!line_section || line_section->type == elf32::kNobits)
    return *problem = "it has no line information: build with -g", LineMapResult::kNoLineInformation;
  FormContext strings;
  strings.str = elf.contents(elf.find(".debug_str"));
  strings.line_str = elf.contents(elf.find(".debug_line_str"));
  const std::map<uint64_t, std::string> folders = compilation_folders(elf, strings);
  Collector collector;
  collector.strip = strip_prefix;
  Bytes lines = elf.contents(line_section);
  while (lines.ok() && !lines.at_end()) {
    const uint64_t offset = lines.pos();
    FormContext c = strings;
    Bytes unit = next_unit(&lines, &c);
    if (!lines.ok()) break;
    auto folder = folders.find(offset);
    read_line_unit(unit, c, folder != folders.end() ? &folder->second : nullptr, &collector);
  }
  std::vector<std::pair<uint64_t, uint64_t>> code;
  constexpr uint32_t kCode = elf32::kAlloc | elf32::kExecInstr;
  for (const Section& s : elf.sections)
    if ((s.flags & kCode) == kCode && s.size > 0)
      code.emplace_back(s.addr, uint64_t{s.addr} + s.size);
  build_map(&collector, code, map);
  if (map->lines.empty())
    return *problem = "it has no line information: build with -g", LineMapResult::kNoLineInformation;
  read_functions(elf, map);
  return LineMapResult::kOk;
}
