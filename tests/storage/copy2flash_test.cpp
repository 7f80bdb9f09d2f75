#include "storage/copy2flash.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <chrono>
#include <fstream>
#include <optional>
#include <random>
#include <utility>

#include "chip/memory_map.h"
#include "test_util.h"

namespace {

constexpr uint32_t kNoHeader = kHeaderNotStored;
constexpr size_t kHeaderSize = kImageHeaderSize;
constexpr size_t kChunk = kFlashChunk;
constexpr uint64_t kFullFlash = kFlashSize;
// Far smaller than the simulator's flash; the copier takes any size.
constexpr size_t kSmallFlash = 256 * 1024;

// One image of a firmware file as a build tool would write it.
struct Image {
  Image(uint32_t addr, uint32_t header_addr, std::vector<uint8_t> data)
      : addr(addr), header_addr(header_addr), data(std::move(data)) {}
  uint32_t addr;
  uint32_t header_addr;
  std::vector<uint8_t> data;
  uint32_t magic = kImageMagic;
  // The length the header declares, when it is not the data's own.
  std::optional<uint32_t> declared_length;
};

void put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

std::vector<uint8_t> header_of(const Image& image) {
  ImageHeader h = make_image_header(image.addr, image.header_addr, image.data.data(),
                                    static_cast<uint32_t>(image.data.size()), "app.bin");
  put32(h.bytes + kMagicField, image.magic);
  if (image.declared_length) put32(h.bytes + kImageLengthField, *image.declared_length);
  return std::vector<uint8_t>(h.bytes, h.bytes + kImageHeaderSize);
}

std::vector<uint8_t> fls_of(const std::vector<Image>& images) {
  std::vector<uint8_t> out;
  for (const Image& image : images) {
    const std::vector<uint8_t> h = header_of(image);
    out.insert(out.end(), h.begin(), h.end());
    out.insert(out.end(), image.data.begin(), image.data.end());
  }
  return out;
}

std::vector<uint8_t> pattern(size_t size, uint32_t seed) {
  std::mt19937 gen(seed);
  std::vector<uint8_t> bytes(size);
  for (uint8_t& b : bytes) b = static_cast<uint8_t>(gen());
  return bytes;
}

// Where flash address |addr| lives in the backing file.
size_t offset_of(uint32_t addr) { return addr & 0x07FFFFFF; }

void place(std::vector<uint8_t>* flash, uint32_t addr, const std::vector<uint8_t>& bytes) {
  std::copy(bytes.begin(), bytes.end(), flash->begin() + static_cast<std::ptrdiff_t>(offset_of(addr)));
}

// |flash| as it should be once |images| are stored in it.
std::vector<uint8_t> with_images(std::vector<uint8_t> flash, const std::vector<Image>& images) {
  for (const Image& image : images) {
    if (image.header_addr != kNoHeader) place(&flash, image.header_addr, header_of(image));
    place(&flash, image.addr, image.data);
  }
  return flash;
}

std::vector<uint8_t> read_range(const fs::path& path, uint64_t offset, size_t size) {
  std::ifstream in(path, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(offset));
  std::vector<uint8_t> bytes(size);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(size));
  bytes.resize(static_cast<size_t>(in.gcount()));
  return bytes;
}

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

class Copy2FlashTest : public ::testing::Test {
 protected:
  void SetUp() override {
    flash_ = dir_.path() / "zelk.iflash";
    fls_ = dir_.path() / "app.fls";
    erased_.assign(kSmallFlash, 0xFF);
    write_bytes(flash_, erased_);
  }

  // Runs the copier on |fls| and returns what it printed.
  std::string copy(const std::vector<uint8_t>& fls) {
    write_bytes(fls_, fls);
    return copy_file();
  }
  std::string copy(const std::vector<Image>& images) { return copy(fls_of(images)); }
  // Each copy is first only compared, which must find exactly the writes
  // the copy then makes, and listed, which must stop where it stops.
  std::string copy_file() {
    const CopyResult predicted =
        copy2flash(fls_.string().c_str(), flash_.string().c_str(), CopyMode::kCompare);
    const CopyResult done = copy2flash(fls_.string().c_str(), flash_.string().c_str());
    last_copy_ = done;
    if (done.files == CopyResult::Files::kOpened) {
      EXPECT_EQ(writes(predicted), writes(done));
      const FlsListing listing = list_images(fls_.string());
      EXPECT_EQ(0, listing.error);
      EXPECT_EQ(done.fault, listing.fault);
      EXPECT_EQ(done.images, listing.images.size());
    }
    if (done.fault == ImageFault::kNone) return "";
    return image_fault_text(done.fault, done.fault_header) + "\n";
  }

  static std::vector<std::vector<uint32_t>> writes(const CopyResult& r) {
    std::vector<std::vector<uint32_t>> out;
    for (const FlashWrite& w : r.writes)
      out.push_back({static_cast<uint32_t>(w.image), w.header, w.offset, w.size, w.chunks});
    return out;
  }

  std::vector<uint8_t> flash() const { return read_bytes(flash_); }

  // Puts the flash file's time well into the past, so that any write
  // afterwards shows; returns the time as the file system keeps it.
  fs::file_time_type age_flash() const {
    fs::last_write_time(flash_, fs::last_write_time(flash_) - std::chrono::hours(24 * 400));
    return fs::last_write_time(flash_);
  }

  // A sparse flash file of the simulator's full size, for images at its end.
  void use_full_size_flash() {
    fs::remove(flash_);
    write_bytes(flash_, {});
    fs::resize_file(flash_, kFullFlash);
  }

  ScopedTempDir dir_;
  fs::path flash_, fls_;
  std::vector<uint8_t> erased_;
  CopyResult last_copy_;
};

TEST_F(Copy2FlashTest, ImagesLandAtTheirOffsetsUnderEitherAddressAlias) {
  const std::vector<Image> images = {
      {0x08001000, 0x08000FC0, pattern(5000, 1)},
      // 0x00xxxxxx names the same flash as 0x08xxxxxx.
      {0x00030100, 0x0003F000, pattern(300, 2)},
  };
  EXPECT_EQ("", copy(images));
  const std::vector<uint8_t> got = flash();
  ASSERT_EQ(kSmallFlash, got.size());
  EXPECT_TRUE(with_images(erased_, images) == got);
}

TEST_F(Copy2FlashTest, RecopyWritesOnlyWhenSomethingChanged) {
  std::vector<Image> images = {
      {0x08004000, 0x08003FC0, pattern(3 * kChunk + 17, 3)},
      {0x08020000, 0x0801FFC0, pattern(700, 4)},
  };
  ASSERT_EQ("", copy(images));

  fs::file_time_type aged = age_flash();
  EXPECT_EQ("", copy(images));
  EXPECT_EQ(aged, fs::last_write_time(flash_)) << "unchanged images were rewritten";
  EXPECT_TRUE(with_images(erased_, images) == flash());

  images[0].data[2 * kChunk + 5] ^= 0x01;
  aged = age_flash();
  EXPECT_EQ("", copy(images));
  EXPECT_NE(aged, fs::last_write_time(flash_));
  EXPECT_TRUE(with_images(erased_, images) == flash());

  // Images that overlap rewrite each other on every copy; a comparison
  // sees what the earlier image would write, as the copy does.
  const std::vector<Image> overlapping = {{0x08030000, kNoHeader, pattern(2 * kChunk, 40)},
                                          {0x08030800, kNoHeader, pattern(kChunk, 41)}};
  ASSERT_EQ("", copy(overlapping));
  aged = age_flash();
  EXPECT_EQ("", copy(overlapping));
  EXPECT_NE(aged, fs::last_write_time(flash_));
  EXPECT_TRUE(with_images(with_images(erased_, images), overlapping) == flash());
}

// An image of zeros over a flash file of zeros differs only in the chunk
// of its one changed byte. The image starts off the 4 KiB grid, so chunks
// counted from the file's start would lie elsewhere.
TEST_F(Copy2FlashTest, OneChangedByteWritesExactlyItsChunkCountedFromTheImage) {
  const uint32_t addr = 0x08000100;
  // Over a megabyte, larger than any sensible read buffer.
  const size_t length = 300 * kChunk + 100;
  const struct {
    size_t changed;
    uint64_t end;
  } cases[] = {
      {0, 0x100 + kChunk},
      {kChunk - 1, 0x100 + kChunk},
      {kChunk, 0x100 + 2 * kChunk},
      {2 * kChunk + 7, 0x100 + 3 * kChunk},
      {256 * kChunk + 5, 0x100 + 257 * kChunk},
      {299 * kChunk - 1, 0x100 + 299 * kChunk},
      {300 * kChunk, 0x100 + length},
      {length - 1, 0x100 + length},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.changed);
    std::vector<uint8_t> want(0x100 + length, 0);
    write_bytes(flash_, want);
    Image image = {addr, kNoHeader, std::vector<uint8_t>(length, 0)};
    image.data[c.changed] = 0x5A;
    EXPECT_EQ("", copy({image}));
    const uint32_t start = static_cast<uint32_t>(0x100 + c.changed / kChunk * kChunk);
    const std::vector<std::vector<uint32_t>> chunk = {
        {0, 0, start, static_cast<uint32_t>(c.end - start), 1}};
    EXPECT_EQ(chunk, writes(last_copy_));
    want[0x100 + c.changed] = 0x5A;
    EXPECT_TRUE(want == flash());
  }
}

TEST_F(Copy2FlashTest, ImagesAtChunkEdgesAndEmptyImages) {
  const std::vector<Image> images = {
      {0x08002000, 0x08001FC0, pattern(kChunk, 5)},
      {0x08004000, 0x08003FC0, pattern(kChunk + 1, 6)},
      // No data: only the header is stored.
      {0x08008000, 0x08007FC0, {}},
      {0x08006000, 0x08005FC0, pattern(1, 7)},
  };
  EXPECT_EQ("", copy(images));
  EXPECT_TRUE(with_images(erased_, images) == flash());
}

TEST_F(Copy2FlashTest, HeaderStoredOnlyAtAFlashAddress) {
  const std::vector<Image> images = {
      {0x08001000, kNoHeader, pattern(2000, 8)},
      {0x08003000, 0x10000000, pattern(2000, 9)},
      {0x08005000, 0x0803FFC0, pattern(2000, 10)},
  };
  EXPECT_EQ("", copy(images));
  std::vector<uint8_t> want = erased_;
  place(&want, images[0].addr, images[0].data);
  place(&want, images[1].addr, images[1].data);
  place(&want, images[2].addr, images[2].data);
  place(&want, images[2].header_addr, header_of(images[2]));
  EXPECT_TRUE(want == flash());
}

TEST_F(Copy2FlashTest, EmptyOrMissingFilesCopyNothing) {
  const fs::file_time_type aged = age_flash();
  EXPECT_EQ("", copy(std::vector<uint8_t>{}));
  fs::remove(fls_);
  EXPECT_EQ("", copy_file());
  EXPECT_EQ(aged, fs::last_write_time(flash_));
  EXPECT_TRUE(erased_ == flash());

  // No flash file: none is made, as the launcher does when it cannot tell
  // where the flash file belongs (empty path).
  fs::remove(flash_);
  write_bytes(fls_, fls_of({{0x08001000, 0x08000FC0, pattern(100, 11)}}));
  testing::internal::CaptureStdout();
  copy2flash(fls_.string().c_str(), flash_.string().c_str());
  copy2flash(fls_.string().c_str(), "");
  EXPECT_EQ("", testing::internal::GetCapturedStdout());
  EXPECT_FALSE(fs::exists(flash_));
}

TEST_F(Copy2FlashTest, BadMagicStopsTheCopyKeepingEarlierImages) {
  const Image good = {0x08001000, 0x08000FC0, pattern(1000, 12)};
  Image bad = {0x08004000, 0x08003FC0, pattern(1000, 13)};
  bad.magic = 0xA0FFFF9E;
  const Image after = {0x08008000, 0x08007FC0, pattern(1000, 14)};

  EXPECT_EQ("image magic error\n", copy({bad, after}));
  EXPECT_TRUE(erased_ == flash());

  EXPECT_EQ("image magic error\n", copy({good, bad, after}));
  EXPECT_TRUE(with_images(erased_, {good}) == flash());
}

TEST_F(Copy2FlashTest, TrailingBytesUpToAHeaderAreIgnored) {
  const Image image = {0x08001000, 0x08000FC0, pattern(1500, 15)};
  // A zero-length image, whole but where only ignored bytes may be.
  const std::vector<uint8_t> stray = header_of({0x08010000, 0x08010000, {}});
  const struct {
    std::vector<uint8_t> tail;
    const char* out;
  } cases[] = {
      {{}, ""},
      {{0x00}, ""},
      {std::vector<uint8_t>(64, 0x00), ""},
      {stray, ""},
      {std::vector<uint8_t>(65, 0x00), "image magic error\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.tail.size());
    write_bytes(flash_, erased_);
    std::vector<uint8_t> fls = fls_of({image});
    fls.insert(fls.end(), c.tail.begin(), c.tail.end());
    EXPECT_EQ(c.out, copy(fls));
    EXPECT_TRUE(with_images(erased_, {image}) == flash());
  }

  // A file that is a lone header is no trailer: its image is stored.
  write_bytes(flash_, erased_);
  EXPECT_EQ("", copy(stray));
  EXPECT_TRUE(with_images(erased_, {{0x08010000, 0x08010000, {}}}) == flash());
}

TEST_F(Copy2FlashTest, DataBoundOutsideFlashIsSkipped) {
  const std::vector<Image> images = {
      // Its header still goes to flash; its data goes nowhere.
      {0x20000000, 0x08000000, pattern(3000, 16)},
      {0x10000000, kNoHeader, pattern(kChunk + 3, 17)},
      {0x08002000, 0x08001FC0, pattern(500, 18)},
  };
  EXPECT_EQ("", copy(images));
  std::vector<uint8_t> want = erased_;
  place(&want, 0x08000000, header_of(images[0]));
  place(&want, images[2].header_addr, header_of(images[2]));
  place(&want, images[2].addr, images[2].data);
  EXPECT_TRUE(want == flash());
}

TEST_F(Copy2FlashTest, ImpossibleLengthsStopTheCopyBeforeTheImage) {
  const Image good = {0x08001000, 0x08000FC0, pattern(800, 19)};
  const std::vector<uint8_t> data = pattern(2 * kChunk, 20);
  const uint32_t lengths[] = {
      0x80000000,  // no image is that long
      0xFFFFFFFF,
      0x7FFFFFFF,  // longer than the file
      static_cast<uint32_t>(data.size() + 1),
  };
  for (uint32_t length : lengths) {
    SCOPED_TRACE(length);
    write_bytes(flash_, erased_);
    Image bad = {0x08004000, 0x08003FC0, data};
    bad.declared_length = length;
    const std::string out = copy({good, bad});
    EXPECT_EQ(1u, split_lines(out).size()) << out;
    EXPECT_NE("image magic error\n", out);
    EXPECT_TRUE(with_images(erased_, {good}) == flash()) << "part of the bad image was written";
  }

  // A header cut short by the end of the file.
  std::vector<uint8_t> cut = header_of({0x08004000, 0x08003FC0, {}});
  cut.resize(20);
  write_bytes(flash_, erased_);
  const std::string out = copy(cut);
  EXPECT_EQ(1u, split_lines(out).size()) << out;
  EXPECT_NE("image magic error\n", out);
  EXPECT_TRUE(erased_ == flash());
}

TEST_F(Copy2FlashTest, ImagesReachingPastTheEndOfFlashAreRefusedWhole) {
  const Image good = {0x08001000, 0x08000FC0, pattern(600, 21)};
  const struct {
    Image image;
    const char* addr;
    const char* length;
  } cases[] = {
      {{0x0FFFF001, 0x08000FC0, pattern(kChunk, 22)}, "0x0ffff001", "4096"},
      {{0x07FFFFFF, kNoHeader, pattern(2, 23)}, "0x07ffffff", "2"},
      {{0x08002000, 0x0FFFFFC1, pattern(100, 24)}, "0x08002000", "100"},
      {{0x00002000, 0x07FFFFFF, pattern(100, 25)}, "0x00002000", "100"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.addr);
    write_bytes(flash_, erased_);
    const std::string out = lower(copy({good, c.image, good}));
    EXPECT_EQ(1u, split_lines(out).size()) << out;
    EXPECT_NE(std::string::npos, out.find(c.addr)) << out;
    EXPECT_NE(std::string::npos, out.find(c.length)) << out;
    EXPECT_TRUE(with_images(erased_, {good}) == flash());
  }
}

TEST_F(Copy2FlashTest, ImagesEndingAtTheEndOfFlashAreStored) {
  use_full_size_flash();
  const Image data_at_end = {0x0FFFF000, 0x0FFFEFC0, pattern(kChunk, 26)};
  EXPECT_EQ("", copy({data_at_end}));
  EXPECT_EQ(data_at_end.data, read_range(flash_, 0x07FFF000, kChunk));
  EXPECT_EQ(header_of(data_at_end), read_range(flash_, 0x07FFEFC0, kHeaderSize));

  const Image header_at_end = {0x07FFC000, 0x07FFFFC0, pattern(kChunk, 27)};
  EXPECT_EQ("", copy({header_at_end}));
  EXPECT_EQ(header_of(header_at_end), read_range(flash_, 0x07FFFFC0, kHeaderSize));
  EXPECT_EQ(header_at_end.data, read_range(flash_, 0x07FFC000, kChunk));
  EXPECT_EQ(kFullFlash, fs::file_size(flash_));
}

// Rule: a flash file shorter than the firmware grows to hold it, since
// nothing past its end is held, zeros included; a second copy then leaves
// the file as it was, and writes nothing unless images overlap.
TEST_F(Copy2FlashTest, FlashFileOfAnySizeTakesTheImage) {
  std::vector<uint8_t> ending_in_zeros(kChunk + 2, 0);
  std::fill(ending_in_zeros.begin(), ending_in_zeros.begin() + 0x80, 0xFF);
  const struct {
    std::vector<Image> images;
    size_t headers;
    uint64_t chunks;
    uint64_t chunks_again;  // by the second copy
  } cases[] = {
      {{{0x08010000, kNoHeader, pattern(5000, 28)}}, 0, 2, 0},
      // The first chunk matches the file up to its end and is zeros beyond.
      {{{0x08000F80, 0x08000F40, ending_in_zeros}}, 1, 2, 0},
      // Zeros past the end, then a later image over them: taken as held,
      // the zeros were left out, and the second copy grew the file.
      {{{0x00010000, 0x00000007, {0x00, 0x00}}, {0x08010000, kNoHeader, {0xF3}}}, 1, 2, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.images[0].addr);
    write_bytes(flash_, std::vector<uint8_t>(kChunk, 0xFF));
    EXPECT_EQ("", copy(c.images));
    EXPECT_EQ(c.headers, last_copy_.headers_written());
    EXPECT_EQ(c.chunks, last_copy_.chunks_written());
    size_t end = 0;
    for (const Image& image : c.images) end = std::max(end, offset_of(image.addr) + image.data.size());
    std::vector<uint8_t> want(end, 0);
    std::fill(want.begin(), want.begin() + kChunk, 0xFF);
    const std::vector<uint8_t> first = flash();
    EXPECT_TRUE(with_images(want, c.images) == first);

    EXPECT_EQ("", copy(c.images));
    EXPECT_EQ(0u, last_copy_.headers_written());
    EXPECT_EQ(c.chunks_again, last_copy_.chunks_written());
    EXPECT_TRUE(first == flash());
  }
}

// A flash whose reads or writes fail from a given call on, as a disk that
// fills up or goes away does.
class FailingFlash : public FlashStore {
 public:
  FailingFlash(int reads_left, int writes_left) : reads_left_(reads_left), writes_left_(writes_left) {}
  int read(uint64_t, uint8_t* bytes, size_t len, size_t* held) override {
    memset(bytes, 0xFF, len);
    *held = len;
    return reads_left_-- > 0 ? 0 : EIO;
  }
  int write(uint64_t, const uint8_t*, size_t len, size_t* written) override {
    *written = writes_left_-- > 0 ? len : len / 2;
    return *written == len ? 0 : ENOSPC;
  }

 private:
  int reads_left_, writes_left_;
};

// Rule: the copy stops at the first read or write of flash that fails,
// says which, where and why, lists only what was written before it, and
// reaches no image after it.
TEST(CopyFirmwareTest, StopsAtTheFirstFailureOfFlash) {
  const std::vector<uint8_t> fls = fls_of({{0x08001000, 0x08000FC0, pattern(2 * kChunk, 29)},
                                           {0x08008000, kNoHeader, pattern(100, 30)}});
  const struct {
    int reads, writes;
    FlashFailure::Op op;
    uint32_t offset;
    size_t written;
  } cases[] = {
      {0, 9, FlashFailure::Op::kRead, 0xFC0, 0},
      {9, 0, FlashFailure::Op::kWrite, 0xFC0 + 32, 0},
      {9, 1, FlashFailure::Op::kWrite, 0x1000 + kChunk, 1},
      {2, 9, FlashFailure::Op::kRead, 0x8000, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.offset);
    MemoryFlsSource firmware(fls.data(), fls.size());
    FailingFlash flash(c.reads, c.writes);
    const CopyResult r = copy_firmware(&firmware, &flash, CopyMode::kWrite);
    EXPECT_EQ(c.op, r.flash_failure.op);
    EXPECT_EQ(c.offset, r.flash_failure.offset);
    EXPECT_EQ(c.written, r.writes.size());
    EXPECT_EQ(c.op == FlashFailure::Op::kRead ? EIO : ENOSPC, r.flash_failure.error);
  }
  FlashFailure failure = {FlashFailure::Op::kWrite, 0x1000, ENOSPC};
  EXPECT_EQ("flash write error at 0x08001000: " + std::string(strerror(ENOSPC)),
            flash_failure_text(failure));
}

}  // namespace
