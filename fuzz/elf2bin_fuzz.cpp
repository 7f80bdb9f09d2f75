// ELF bytes, as a file would hold them, through both the in-memory
// converter and the whole file-to-raw-image path.
//
// Properties beyond the sanitizers' own:
// - both paths agree: the same result code, and the raw image file holds
//   exactly the bytes the in-memory conversion wrote;
// - a refused ELF leaves the command line untouched and no raw image;
// - the load address, when set, lies in the flash window.
#include <cstdint>
#include <cstdio>
#include <string>

#include "fuzz_support.h"
#include "loading/elf2bin.h"

namespace {

fuzz::WorkDir& work() {
  static fuzz::WorkDir dir;
  return dir;
}

// A stream that only counts: the converter's output size without a disk.
ssize_t count_write(void* cookie, const char*, size_t size) {
  *static_cast<size_t*>(cookie) += size;
  return static_cast<ssize_t>(size);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The raw image goes to the temporary directory: keep it in ours.
  fuzz::fs::create_directories(work().path() / "tmp");
  setenv("TMPDIR", (work().path() / "tmp").c_str(), 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  size_t written = 0;
  uint32_t load_addr = 0;
  int mem_ret;
  {
    cookie_io_functions_t io = {nullptr, count_write, nullptr, nullptr};
    File counter(fopencookie(&written, "wb", io));
    FUZZ_CHECK(counter);
    mem_ret = do_elf2bin(data, size, counter.get(), &load_addr);
  }
  FUZZ_CHECK(load_addr == 0 || (load_addr >= 0x08000000 && load_addr <= 0x1FFFFFFF));

  const fuzz::fs::path tmp = work().path() / "tmp";
  const fuzz::fs::path elf = work().path() / "input.elf";
  fuzz::write_file(elf, data, size);
  RawImage image;
  const int file_ret = elf2bin(elf.c_str(), &image);
  FUZZ_CHECK(file_ret == mem_ret);
  if (file_ret == kElfOk) {
    FUZZ_CHECK(fuzz::count_entries(tmp) == 1);
    const fuzz::fs::path raw = fuzz::fs::directory_iterator(tmp)->path();
    FUZZ_CHECK(fuzz::fs::file_size(raw) == written);
    FUZZ_CHECK(image.path == raw.string());
    FUZZ_CHECK(image.load_addr == load_addr);
  } else {
    FUZZ_CHECK(image.path.empty());
    if (file_ret == kElfMalformed) FUZZ_CHECK(fuzz::count_entries(tmp) == 0);
  }
  fuzz::clear_dir(tmp);
  return 0;
}
