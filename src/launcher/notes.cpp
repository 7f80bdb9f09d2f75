#include "launcher/notes.h"

#include <cstdio>
#include <cstring>

namespace {

void print_creation(const Creation& c) {
  // As perror("fwrite") would have put it when the block failed.
  for (int error : c.short_writes) fprintf(stderr, "fwrite: %s\n", strerror(error));
  if (c.outcome == Creation::Outcome::kFailed)
    fprintf(stderr, "%s\n", not_created_text(c.path).c_str());
}

}  // namespace

void print_preparation(const Preparation& p) {
  print_creation(p.flash);
  print_creation(p.eeprom);
}

void print_copy(const CopyResult& result) {
  if (result.fault != ImageFault::kNone)
    printf("%s\n", image_fault_text(result.fault, result.fault_header).c_str());
}
