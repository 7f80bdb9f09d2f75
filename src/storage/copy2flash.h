// Writes the images of a firmware image file (".fls") into the flash
// backing file, rewriting only the headers and 4 KiB pieces that differ.
#ifndef ZELK_STORAGE_COPY2FLASH_H_
#define ZELK_STORAGE_COPY2FLASH_H_

// Copies every image of |image_path| into the flash backing file at
// |flash_path|. A missing file on either side means nothing is copied.
void copy2flash(const char* image_path, const char* flash_path);

#endif  // ZELK_STORAGE_COPY2FLASH_H_
