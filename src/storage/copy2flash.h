// Writes the images of a firmware image file (".fls") into the flash
// backing file, rewriting only the headers and 4 KiB chunks that differ;
// or, comparing only, finds what such a copy would write.
#ifndef ZELK_STORAGE_COPY2FLASH_H_
#define ZELK_STORAGE_COPY2FLASH_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/file.h"
#include "storage/fls_format.h"

enum class CopyMode { kWrite, kCompare };

// One stretch of flash that a copy wrote, or that a comparison found it
// would write: an image's header, or side-by-side data chunks of an image.
struct FlashWrite {
  size_t image = 0;  // counted from 0 in file order
  bool header = false;
  uint32_t offset = 0;  // in the flash backing file
  uint32_t size = 0;
  uint32_t chunks = 0;  // data chunks covered; 0 for a header
};

// A read or write of flash that failed; the copy stopped there.
struct FlashFailure {
  enum class Op { kNone, kRead, kWrite } op = Op::kNone;
  uint32_t offset = 0;  // in the flash backing file
  int error = 0;        // the system's error number
};

struct CopyResult {
  // kNoFirmware and kNoFlash: a file could not be opened, nothing was
  // read; |open_error| says why.
  enum class Files { kOpened, kNoFirmware, kNoFlash } files = Files::kOpened;
  int open_error = 0;
  // A comparison against a flash file that does not exist yet compares
  // with a new chip, as the launch that creates it would.
  bool new_chip = false;
  size_t images = 0;  // images accepted, in whole or in part
  // The image the copy stopped at, once it got there.
  ImageFault fault = ImageFault::kNone;
  ImageHeader fault_header = {};
  FlashFailure flash_failure;
  // The system's error number when the firmware file could not be read
  // to its end; the copy stopped there.
  int firmware_error = 0;
  // What was written, or would be; a write that failed is not among them.
  std::vector<FlashWrite> writes;

  size_t headers_written() const;
  uint64_t chunks_written() const;
};

// The flash side of a copy: the flash backing file, or memory. Each call
// returns 0, or the system's error number.
class FlashStore {
 public:
  virtual ~FlashStore() = default;
  // |held| says how many of the |len| bytes the store holds; those past
  // its end read as zeros, and a copy counts them as differing whatever
  // they are, so that it leaves the store as long as the firmware needs.
  virtual int read(uint64_t offset, uint8_t* bytes, size_t len, size_t* held) = 0;
  // Bytes past the end make the store longer; |written| says how many of
  // them went in, also when the write fails.
  virtual int write(uint64_t offset, const uint8_t* bytes, size_t len, size_t* written) = 0;
};

// Copies every image that |firmware| lists into |flash| (kWrite), or only
// finds what that would write (kCompare, which never writes to |flash|).
CopyResult copy_firmware(FlsSource* firmware, FlashStore* flash, CopyMode mode);

// Copies the |len| bytes of |source| from |from| on to |offset| of
// |store|, in chunks counted from |offset|, writing only those that
// differ. |images| is 1 once the whole span is stored.
CopyResult copy_span(FlsSource* source, uint64_t from, uint32_t len, uint32_t offset,
                     FlashStore* store);

// A backing file read through a stream of its own, and opened for writing
// only at the first write: a copy that finds everything in place leaves
// the file as it was, its time too.
class LazyFileStore : public FlashStore {
 public:
  ~LazyFileStore() override;
  // 0, or the system's error number when |path| cannot be read.
  int open(const std::string& path);
  int read(uint64_t offset, uint8_t* bytes, size_t len, size_t* held) override;
  int write(uint64_t offset, const uint8_t* bytes, size_t len, size_t* written) override;
  // 0, or the system's error number for a write the close reported.
  int close();

 private:
  std::string path_;
  File file_;
  bool writing_ = false;
};

// Copies every image of |image_path| into the flash backing file at
// |flash_path| (kWrite), or only finds what that would write (kCompare).
CopyResult copy2flash(const char* image_path, const char* flash_path,
                      CopyMode mode = CopyMode::kWrite);

// The launcher's note on a failed read or write, "flash write error at
// 0xADDR: REASON"; empty when nothing failed.
std::string flash_failure_text(const FlashFailure& failure);

#endif  // ZELK_STORAGE_COPY2FLASH_H_
