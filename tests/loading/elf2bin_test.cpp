// elf2bin and do_elf2bin on hand-built ELFs and on the real fixture
// firmware: which sections make the raw image, the loader argument, and the
// refusal of every field that points outside the file.
#include "loading/elf2bin.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iterator>
#include <list>
#include <memory>
#include <optional>
#include <utility>

#include "loading/elf_writer.h"
#include "platform/file.h"
#include "platform/platform.h"
#include "test_util.h"

namespace {

using namespace elf_test;

bool on_windows() { return kPathSeparator == '\\'; }

// Sets an environment variable for the life of the object, then puts back
// what was there. putenv keeps the pointer it is given, hence the strings
// kept here, and the value put back kept for the rest of the process, as
// later tests spawn with that environment; Windows unsets with "NAME=",
// POSIX with "NAME".
class ScopedEnv {
 public:
  ScopedEnv(const std::string& name, const std::string& value)
      : unset_(on_windows() ? name + "=" : name), now_(name + "=" + value) {
    if (const char* old = getenv(name.c_str())) old_ = name + "=" + old;
    putenv(now_.data());
  }
  // The value put back outlives the object, as the environment keeps it.
  ~ScopedEnv() {
    static std::list<std::string> put_back;
    if (old_) put_back.push_back(*old_);
    putenv(old_ ? put_back.back().data() : unset_.data());
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string unset_, now_;
  std::optional<std::string> old_;
};

// Points every variable that decides where the raw image goes at |tmp|:
// TMPDIR on POSIX; on Windows the profile (a bare temporary name goes to its
// AppData\Local\Temp) and TMP/TEMP (a full one follows them), so that the
// tests find the image whatever the runtime does.
class ScopedTempFolder {
 public:
  explicit ScopedTempFolder(const fs::path& profile, const fs::path& tmp) {
    if (!on_windows()) {
      vars_.emplace_back(std::make_unique<ScopedEnv>("TMPDIR", tmp.string()));
      return;
    }
    vars_.emplace_back(std::make_unique<ScopedEnv>("USERPROFILE", profile.string()));
    vars_.emplace_back(std::make_unique<ScopedEnv>("TMP", tmp.string()));
    vars_.emplace_back(std::make_unique<ScopedEnv>("TEMP", tmp.string()));
  }

 private:
  std::vector<std::unique_ptr<ScopedEnv>> vars_;
};

// Where a profile keeps its temporary files.
fs::path profile_temp(const fs::path& profile) {
  return on_windows() ? profile / "AppData" / "Local" / "Temp" : profile / "tmp";
}

struct Converted {
  int ret = 0;
  std::string addr;      // as written, "0x..."
  std::string raw_path;
  std::vector<uint8_t> raw;
};


class Elf2binTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tmp_ = profile_temp(dir_.path());
    fs::create_directories(tmp_);
    temp_folder_.emplace(dir_.path(), tmp_);
  }

  fs::path write_elf(const std::vector<uint8_t>& bytes, const std::string& name = "app.elf") {
    fs::path path = dir_.path() / name;
    write_bytes(path, bytes);
    return path;
  }

  // Runs elf2bin; a success names a new raw image in the temporary folder,
  // which is read and removed.
  Converted convert(const fs::path& elf) {
    Converted c;
    RawImage image;
    c.ret = elf2bin(elf.string().c_str(), &image);
    if (c.ret != kElfOk) return c;
    char addr[16];
    snprintf(addr, sizeof addr, "0x%x", static_cast<unsigned>(image.load_addr));
    c.addr = addr;
    c.raw_path = image.path;
    c.raw = read_bytes(c.raw_path);
    EXPECT_TRUE(fs::is_regular_file(c.raw_path)) << c.raw_path;
    EXPECT_TRUE(fs::equivalent(tmp_, fs::path(c.raw_path).parent_path())) << c.raw_path;
    std::error_code ec;
    fs::remove(c.raw_path, ec);
    return c;
  }
  Converted convert(const std::vector<uint8_t>& elf) { return convert(write_elf(elf)); }

  // Expects the conversion to succeed with |addr| and exactly |raw|.
  void expect_image(const std::vector<uint8_t>& elf, const std::string& addr,
                    const std::vector<uint8_t>& raw) {
    Converted c = convert(elf);
    ASSERT_EQ(kElfOk, c.ret);
    EXPECT_EQ(addr, c.addr);
    EXPECT_EQ(raw, c.raw);
  }

  bool tmp_is_empty() const { return fs::is_empty(tmp_); }

  ScopedTempDir dir_;
  fs::path tmp_;
  std::optional<ScopedTempFolder> temp_folder_;
};

// Rule: a PROGBITS section with a non-zero address in [0x08000000,
// 0x1FFFFFFF] joins the flash list; one elsewhere joins the data list only
// when named exactly ".data"; everything else is left out. The image is the
// flash list then the data list, each in table order, and the load address
// is that of the first flash section in the table, not the lowest.
TEST_F(Elf2binTest, TakesFlashSectionsThenDataInTableOrder) {
  ElfWriter w;
  w.progbits(".below_flash", 0x07FFFFFF, text_bytes("lo"));
  w.progbits(".data", 0x20000000, text_bytes("D1D1"));
  w.progbits(".isr_vector", 0x08000010, text_bytes("ISR!"));
  w.add(".bss", kNobits, 0x08000100, text_bytes("NOBITS"));
  w.progbits(".comment", 0, text_bytes("COMMENT"));
  w.progbits(".text", 0x08000000, text_bytes("TEXT"));
  w.progbits(".ramfunc", 0x20000100, text_bytes("RAMF"));
  w.progbits(".data.x", 0x20000200, text_bytes("DX"));
  w.progbits(".DATA", 0x20000300, text_bytes("UP"));
  w.progbits(".dat", 0x20000380, text_bytes("SH"));
  w.progbits(".data", 0x20000400, text_bytes("D2"));
  w.add(".data", kNobits, 0x20000500, text_bytes("NBDATA"));
  w.progbits(".data", 0, text_bytes("ZERO"));
  w.progbits(".top", 0x1FFFFFFF, text_bytes("T"));
  w.progbits(".sram", 0x20000000, text_bytes("SRAM"));
  w.progbits(".high", 0xFFFFFFF0, text_bytes("HI"));
  expect_image(w.build(), "0x8000010", text_bytes("ISR!TEXTTD1D1D2"));
}

// Rule: the flash range decides before the name, so a ".data" placed in
// flash is a flash section and may set the load address.
TEST_F(Elf2binTest, FlashResidentDataIsAFlashSection) {
  ElfWriter w;
  w.progbits(".data", 0x20000000, text_bytes("RAM"));
  w.progbits(".data", 0x08000200, text_bytes("FLASH"));
  w.progbits(".text", 0x08000000, text_bytes("TXT"));
  expect_image(w.build(), "0x8000200", text_bytes("FLASHTXTRAM"));
}

// Rule: with no flash section the address is 0 and the image holds only
// the data list (possibly nothing); do_elf2bin reports 0 whatever the
// caller's variable held.
TEST_F(Elf2binTest, WithoutFlashSectionsTheAddressIsZero) {
  ElfWriter data_only;
  data_only.progbits(".comment", 0, text_bytes("COMMENT"));
  data_only.progbits(".data", 0x20000000, text_bytes("DATA"));
  expect_image(data_only.build(), "0x0", text_bytes("DATA"));

  ElfWriter nothing;
  nothing.progbits(".comment", 0, text_bytes("COMMENT"));
  nothing.add(".bss", kNobits, 0x20000000, text_bytes("BSS"));
  expect_image(nothing.build(), "0x0", {});

  // No section table at all (only program headers): nothing to choose, and
  // neither the table offset nor the name index is looked at.
  std::vector<uint8_t> no_table = nothing.build();
  put32(&no_table, kTableOffsetField, 0xFFFFFFF0);
  put16(&no_table, kCountField, 0);
  put16(&no_table, kNamesIndexField, 0xFFFF);
  expect_image(no_table, "0x0", {});

  const std::vector<uint8_t> elf = data_only.build();
  const fs::path out = dir_.path() / "direct.bin";
  uint32_t addr = 0x1234;
  {
    File raw = open_file(out.string(), "wb");
    ASSERT_TRUE(raw);
    EXPECT_EQ(kElfOk, do_elf2bin(elf.data(), elf.size(), raw.get(), &addr));
  }
  EXPECT_EQ(0u, addr);
  EXPECT_EQ(text_bytes("DATA"), read_bytes(out));
}

// Rule: every qualifying section is taken, however many; real firmware has
// more than ten flash sections.
TEST_F(Elf2binTest, EveryQualifyingSectionIsTaken) {
  ElfWriter w;
  std::vector<uint8_t> flash, data;
  for (uint8_t i = 0; i < 24; ++i) {
    const std::vector<uint8_t> bytes = pattern(5 + i, i);
    if (i % 5 == 4) {
      w.progbits(".data", 0x20000000 + i * 0x100, bytes);
      append(&data, bytes);
    } else {
      w.progbits(".s" + std::to_string(i), 0x08001000 + i * 0x100, bytes);
      append(&flash, bytes);
    }
  }
  append(&flash, data);
  expect_image(w.build(), "0x8001000", flash);
}

// Rule: the image follows table order, not file order; a section's bytes
// are its own range of the file even when ranges repeat or sit apart, and
// sections larger than any read buffer arrive whole.
TEST_F(Elf2binTest, ImageFollowsTableOrderWhateverTheFileLayout) {
  ElfWriter w;
  const std::vector<uint8_t> big = pattern(600 * 1024 + 3, 1), next = pattern(300 * 1024 + 1, 2),
                             data = pattern(70 * 1024 + 2, 3);
  const size_t first = w.progbits(".text", 0x08000000, big);
  const size_t second = w.progbits(".rodata", 0x08100000, next);
  w.progbits(".comment", 0, text_bytes("gap"));
  w.progbits(".data", 0x20000000, data);
  const size_t again = w.progbits(".again", 0x08200000, text_bytes("XY"));
  std::vector<uint8_t> elf = w.build();
  std::vector<uint8_t> want = big;
  append(&want, next);
  append(&want, text_bytes("XY"));
  append(&want, data);
  expect_image(elf, "0x8000000", want);

  // The same file with the first two headers' ranges swapped, and the last
  // section pointing back into the first range.
  const uint32_t first_at = get32(elf, w.header(first) + kOffsetField);
  const uint32_t second_at = get32(elf, w.header(second) + kOffsetField);
  put32(&elf, w.header(first) + kOffsetField, second_at);
  put32(&elf, w.header(first) + kSizeField, static_cast<uint32_t>(next.size()));
  put32(&elf, w.header(second) + kOffsetField, first_at);
  put32(&elf, w.header(second) + kSizeField, static_cast<uint32_t>(big.size()));
  put32(&elf, w.header(again) + kOffsetField, first_at + 10);
  want = next;
  append(&want, big);
  want.insert(want.end(), big.begin() + 10, big.begin() + 12);
  append(&want, data);
  expect_image(elf, "0x8000000", want);
}

// Rule: only what a selection uses is checked: the ranges of sections that
// are left out and the names of flash sections are never read, so stray
// values there (common for NOBITS, whose size need not lie in the file) do
// not refuse the file.
TEST_F(Elf2binTest, FieldsThatAreNotUsedAreNotChecked) {
  ElfWriter w;
  const size_t bss = w.add(".bss", kNobits, 0x20000000, {});
  const size_t comment = w.progbits(".comment", 0, text_bytes("C"));
  const size_t ram = w.progbits(".ram", 0x20001000, text_bytes("R"));
  const size_t text = w.progbits(".text", 0x08000000, text_bytes("TEXT"));
  w.progbits(".data", 0x20000000, text_bytes("DATA"));
  std::vector<uint8_t> elf = w.build();
  put32(&elf, w.header(bss) + kSizeField, 0x00100000);
  put32(&elf, w.header(comment) + kOffsetField, 0xFFFFFFFF);
  put32(&elf, w.header(ram) + kOffsetField, 0xFFFFFFF0);
  put32(&elf, w.header(ram) + kSizeField, 0x20);
  put32(&elf, w.header(text) + kNameField, 0xFFFFFFFF);
  expect_image(elf, "0x8000000", text_bytes("TEXTDATA"));

  // Names index 0: the sections have no names, so none is ".data", and no
  // name offset is looked at.
  put16(&elf, kNamesIndexField, 0);
  expect_image(elf, "0x8000000", text_bytes("TEXT"));
}

// Rule: for firmware built by the real toolchain the image equals
// objcopy -O binary's output and the address is the first flash section's.
TEST_F(Elf2binTest, RealFirmwareMatchesObjcopy) {
  for (const char* name : {"blink", "multisec"}) {
    SCOPED_TRACE(name);
    const fs::path dir = fs::path(ZELK_FIXTURES) / "elf" / name;
    Converted c = convert(dir / (std::string(name) + ".elf"));
    ASSERT_EQ(kElfOk, c.ret);
    EXPECT_EQ(split_lines(read_text(dir / "expected.txt")).at(0), c.addr);
    const std::vector<uint8_t> want = read_bytes(dir / (std::string(name) + ".bin"));
    ASSERT_FALSE(want.empty());
    EXPECT_EQ(want, c.raw);
  }
}

// Rule: each conversion creates a new raw file and none is removed
// afterwards, so two launches never share or lose an image.
TEST_F(Elf2binTest, EachConversionKeepsItsOwnRawFile) {
  const fs::path elf = fs::path(ZELK_FIXTURES) / "elf" / "blink" / "blink.elf";
  const std::vector<uint8_t> want =
      read_bytes(fs::path(ZELK_FIXTURES) / "elf" / "blink" / "blink.bin");
  RawImage first, second;
  ASSERT_EQ(kElfOk, elf2bin(elf.string().c_str(), &first));
  ASSERT_EQ(kElfOk, elf2bin(elf.string().c_str(), &second));
  EXPECT_NE(first.path, second.path);
  EXPECT_EQ(2, std::distance(fs::directory_iterator(tmp_), {}));
  for (const std::string& path : {first.path, second.path}) {
    EXPECT_EQ(want, read_bytes(path)) << path;
    std::error_code ec;
    fs::remove(path, ec);
  }
}

// Rule: a file that is not a 32-bit little-endian ELF, or any field that
// points outside the file, or at a string-table index or name that does
// not exist, refuses the file with -9; the command is left alone and no
// raw file is left.
TEST_F(Elf2binTest, MalformedFilesAreRefused) {
  ElfWriter w;
  const size_t text = w.progbits(".text", 0x08000000, text_bytes("TEXT"));
  const size_t data = w.progbits(".data", 0x20000000, text_bytes("DATA"));
  w.progbits(".comment", 0, text_bytes("COMMENT"));
  const size_t names = w.names_index();
  const std::vector<uint8_t> good = w.build();
  const uint32_t size = static_cast<uint32_t>(good.size());
  const uint32_t table_bytes = static_cast<uint32_t>(w.count() * kHeaderSize);
  const uint32_t names_at = get32(good, w.header(names) + kOffsetField);
  const uint32_t names_size = get32(good, w.header(names) + kSizeField);
  ASSERT_EQ(kElfOk, convert(good).ret);

  using Edit = std::function<void(std::vector<uint8_t>*)>;
  auto field = [](size_t at, uint32_t value) -> Edit {
    return [=](std::vector<uint8_t>* e) { put32(e, at, value); };
  };
  auto field16 = [](size_t at, uint16_t value) -> Edit {
    return [=](std::vector<uint8_t>* e) { put16(e, at, value); };
  };
  const struct {
    const char* what;
    Edit edit;
  } cases[] = {
      {"table starts past the end", field(kTableOffsetField, size + 1)},
      {"table's last header runs past the end",
       field(kTableOffsetField, size - table_bytes + 1)},
      {"table offset wraps in 32 bits", field(kTableOffsetField, 0xFFFFFFF0)},
      {"count times 40 runs past the end", field16(kCountField, 0xFFFF)},
      {"string table index equals the count",
       field16(kNamesIndexField, static_cast<uint16_t>(w.count()))},
      {"string table index 0xFFFF", field16(kNamesIndexField, 0xFFFF)},
      {"flash section runs past the end", field(w.header(text) + kOffsetField, size - 2)},
      {"flash section starts past the end", [&](std::vector<uint8_t>* e) {
         put32(e, w.header(text) + kOffsetField, size + 1);
         put32(e, w.header(text) + kSizeField, 0);
       }},
      {"flash section wraps in 32 bits", [&](std::vector<uint8_t>* e) {
         put32(e, w.header(text) + kOffsetField, 0x10);
         put32(e, w.header(text) + kSizeField, 0xFFFFFFF8);
       }},
      {"data section runs past the end", field(w.header(data) + kSizeField, size)},
      {"data section wraps in 32 bits", [&](std::vector<uint8_t>* e) {
         put32(e, w.header(data) + kOffsetField, 0xFFFFFFFC);
         put32(e, w.header(data) + kSizeField, 8);
       }},
      {"name just past the string table", field(w.header(data) + kNameField, names_size)},
      {"name far outside the string table", field(w.header(data) + kNameField, 0xFFFFFFF0)},
      {"string table starts past the end", field(w.header(names) + kOffsetField, size + 1)},
      {"string table runs past the end",
       field(w.header(names) + kSizeField, size - names_at + 1)},
      {"string table wraps in 32 bits", [&](std::vector<uint8_t>* e) {
         put32(e, w.header(names) + kOffsetField, 0xFFFFFFF0);
         put32(e, w.header(names) + kSizeField, 0x100);
       }},
      // The file holds the terminator right after the table's end, so only
      // a search bounded by the table finds the name unterminated.
      {"name not terminated inside the string table",
       field(w.header(names) + kSizeField, w.name_offset(data) + 5)},
      {"not an ELF", [](std::vector<uint8_t>* e) { (*e)[1] = 'e'; }},
      {"64-bit class", [](std::vector<uint8_t>* e) { (*e)[4] = 2; }},
      {"big-endian", [](std::vector<uint8_t>* e) { (*e)[5] = 2; }},
      {"file shorter than its header",
       [](std::vector<uint8_t>* e) { e->resize(kFileHeaderSize - 1); }},
      {"empty file", [](std::vector<uint8_t>* e) { e->clear(); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> elf = good;
    c.edit(&elf);
    EXPECT_EQ(kElfMalformed, convert(elf).ret);
    EXPECT_TRUE(tmp_is_empty()) << "the refused raw file is removed";
  }
}

// Rule: no path or no command is -1; a missing file or a directory is -2;
// a file of 2 GiB or more is -10, found before anything is read.
TEST_F(Elf2binTest, FilesThatCannotBeReadGiveTheirCodes) {
  RawImage image;
  EXPECT_EQ(kElfNoPath, elf2bin(nullptr, &image));
  const fs::path elf = fs::path(ZELK_FIXTURES) / "elf" / "blink" / "blink.elf";
  EXPECT_EQ(kElfNoPath, elf2bin(elf.string().c_str(), nullptr));
  EXPECT_EQ(kElfCannotOpen, elf2bin((dir_.path() / "missing.elf").string().c_str(), &image));
  EXPECT_EQ(kElfCannotOpen, elf2bin(dir_.path().string().c_str(), &image));
  EXPECT_EQ("", image.path);

  const fs::path huge = dir_.path() / "huge.elf";
  write_bytes(huge, {});
  std::error_code ec;
  fs::resize_file(huge, uint64_t{1} << 31, ec);  // sparse where it can be
  if (!ec) {
    EXPECT_EQ(kElfTooLarge, convert(huge).ret);
  }
  fs::remove(huge, ec);
  EXPECT_TRUE(tmp_is_empty());
}

// Rule: when the raw file cannot be created the result is -8, and the
// image names the file tried and why; a temporary folder that does not
// exist does it.
TEST_F(Elf2binTest, RawFileThatCannotBeCreatedIsMinusEight) {
  const fs::path missing = dir_.path() / "no" / "such" / "profile";
  ScopedTempFolder nowhere(missing, profile_temp(missing));
  RawImage image;
  const fs::path elf = fs::path(ZELK_FIXTURES) / "elf" / "blink" / "blink.elf";
  EXPECT_EQ(kElfCannotCreateRaw, elf2bin(elf.string().c_str(), &image));
  EXPECT_EQ(ENOENT, image.error);
  EXPECT_NE(std::string::npos, image.path.find("such")) << image.path;
}

// Rule: a write that fails is -51 while the flash list is written and -52
// while the data list is, including a failure that only shows when the
// buffered bytes reach the file.
TEST_F(Elf2binTest, WriteFailuresNameTheListBeingWritten) {
  ElfWriter both;
  both.progbits(".text", 0x08000000, text_bytes("TEXT"));
  both.progbits(".data", 0x20000000, text_bytes("DATA"));
  ElfWriter data_only;
  data_only.progbits(".data", 0x20000000, text_bytes("DATA"));
  const std::vector<uint8_t> flash_elf = both.build(), data_elf = data_only.build();

  // A stream open for reading refuses every write at once.
  const fs::path existing = write_elf({1, 2, 3}, "read_only.bin");
  for (const auto& [elf, code] : {std::pair{&flash_elf, kElfFlashWriteShort},
                                  std::pair{&data_elf, kElfDataWriteShort}}) {
    File raw = open_file(existing.string(), "rb");
    ASSERT_TRUE(raw);
    uint32_t addr = 0;
    EXPECT_EQ(code, do_elf2bin(elf->data(), elf->size(), raw.get(), &addr));
  }

  // /dev/full takes bytes into the stream's buffer and fails them later.
  if (on_windows()) return;
  for (const auto& [elf, code] : {std::pair{&flash_elf, kElfFlashWriteShort},
                                  std::pair{&data_elf, kElfDataWriteShort}}) {
    File raw = open_file("/dev/full", "wb");
    if (!raw) GTEST_SKIP() << "no /dev/full";
    uint32_t addr = 0;
    EXPECT_EQ(code, do_elf2bin(elf->data(), elf->size(), raw.get(), &addr));
  }
}

}  // namespace
