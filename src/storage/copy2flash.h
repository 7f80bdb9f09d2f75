// Writes the images of a firmware image file (".fls") into the flash
// backing file, rewriting only the headers and 4 KiB chunks that differ;
// or, comparing only, finds what such a copy would write.
#ifndef ZELK_STORAGE_COPY2FLASH_H_
#define ZELK_STORAGE_COPY2FLASH_H_

#include <cstddef>
#include <cstdint>
#include <vector>

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

struct CopyResult {
  // kNoFirmware and kNoFlash: a file could not be opened, nothing was read.
  enum class Files { kOpened, kNoFirmware, kNoFlash } files = Files::kOpened;
  // A comparison against a flash file that does not exist yet compares
  // with a new chip, as the launch that creates it would.
  bool new_chip = false;
  size_t images = 0;  // images accepted, in whole or in part
  ImageFault fault = ImageFault::kNone;  // the image the copy stopped at
  ImageHeader fault_header = {};
  bool seek_failed = false;
  std::vector<FlashWrite> writes;

  size_t headers_written() const;
  uint64_t chunks_written() const;
};

// Copies every image of |image_path| into the flash backing file at
// |flash_path| (kWrite), or only finds what that would write (kCompare).
CopyResult copy2flash(const char* image_path, const char* flash_path,
                      CopyMode mode = CopyMode::kWrite);

#endif  // ZELK_STORAGE_COPY2FLASH_H_
