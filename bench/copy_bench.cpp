// copy_bench: stores a firmware image file in a flash backing file through
// the launcher's own copier, with nothing else of a launch around it, so
// that bench/run.sh can time the copy alone.
//
//   copy_bench IMAGE.fls FLASH_FILE
#include <cstdio>

#include "storage/copy2flash.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: copy_bench IMAGE.fls FLASH_FILE\n");
    return 2;
  }
  copy2flash(argv[1], argv[2]);
  return 0;
}
