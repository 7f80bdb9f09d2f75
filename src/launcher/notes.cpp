#include "launcher/notes.h"

#include <cstdio>

namespace {

void print_creation(const Creation& c) {
  for (const std::string& note : creation_notes(c)) fprintf(stderr, "%s\n", note.c_str());
}

}  // namespace

void print_preparation(const Preparation& p) {
  print_creation(p.flash);
  print_creation(p.eeprom);
}

void print_copy(const CopyResult& result) {
  if (result.fault != ImageFault::kNone)
    printf("%s\n", image_fault_text(result.fault, result.fault_header).c_str());
  if (result.flash_failure.op != FlashFailure::Op::kNone)
    printf("%s\n", flash_failure_text(result.flash_failure).c_str());
}
