// elf_bench: converts one ELF into a raw image through the launcher's own
// elf2bin, with nothing else of a launch around it, so that
// bench/elf_bench.sh can time the conversion alone. The image goes where a
// launch puts it ($TMPDIR on POSIX); the loader argument naming it is
// printed.
//
//   elf_bench FILE.elf
#include <cstdio>
#include <string>

#include "loading/elf2bin.h"
#include "qemu/qemu_args.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: elf_bench FILE.elf\n");
    return 2;
  }
  RawImage raw;
  const int ret = elf2bin(argv[1], &raw);
  if (ret != kElfOk) {
    fprintf(stderr, "elf2bin: %d\n", ret);
    return 1;
  }
  printf("%s\n", qemu_loader_arg(raw.load_addr, raw.path).c_str());
  return 0;
}
