// Firmware image bytes copied into a small flash backing file (64 KiB; the
// copier takes a flash file of any size).
//
// Properties beyond the sanitizers' own:
// - the flash file never grows past the 128 MiB of the flash window, and no
//   other file appears beside it;
// - a second copy of the same firmware changes nothing: every write puts
//   firmware bytes where they belong, so the result depends on the firmware
//   alone;
// - a comparison made first finds exactly the writes the copy makes, and a
//   listing of the file stops at the image the copy stops at.
#include <cstdint>
#include <vector>

#include "fuzz_support.h"
#include "storage/copy2flash.h"

namespace {

constexpr uint64_t kSmallFlash = 64 * 1024;
constexpr uint64_t kFlashWindow = 0x8000000;
// Reading a grown (sparse) flash file back costs more than the copy itself;
// the second-copy check is made on the ones that stay small.
constexpr uint64_t kCompareLimit = 1 << 20;

fuzz::WorkDir& work() {
  static fuzz::WorkDir dir;
  return dir;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The copier's notes would bury libFuzzer's own report.
  if (!freopen("/dev/null", "w", stdout)) abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const fuzz::fs::path firmware = work().path() / "input.fls";
  const fuzz::fs::path flash = work().path() / "zelk.iflash";
  fuzz::write_file(firmware, data, size);
  const std::vector<uint8_t> erased(kSmallFlash, 0xFF);
  fuzz::write_file(flash, erased.data(), erased.size());

  const CopyResult predicted = copy2flash(firmware.c_str(), flash.c_str(), CopyMode::kCompare);
  const CopyResult done = copy2flash(firmware.c_str(), flash.c_str());
  FUZZ_CHECK(predicted.writes.size() == done.writes.size());
  for (size_t i = 0; i < done.writes.size(); ++i) {
    const FlashWrite &a = predicted.writes[i], &b = done.writes[i];
    FUZZ_CHECK(a.image == b.image && a.header == b.header && a.offset == b.offset &&
               a.size == b.size && a.chunks == b.chunks);
  }
  FlsListing listing;
  FUZZ_CHECK(list_images(firmware.string(), &listing));
  FUZZ_CHECK(listing.fault == done.fault && listing.images.size() == done.images);
  const uint64_t after_one = fuzz::fs::file_size(flash);
  FUZZ_CHECK(after_one <= kFlashWindow);
  FUZZ_CHECK(fuzz::count_entries(work().path()) == 2);

  if (after_one <= kCompareLimit) {
    const std::vector<uint8_t> once = fuzz::read_file(flash);
    copy2flash(firmware.c_str(), flash.c_str());
    FUZZ_CHECK(fuzz::read_file(flash) == once);
  }
  return 0;
}
