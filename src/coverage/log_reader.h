// The simulator's translation log (QEMU's "-d in_asm") read as it comes:
// each translated block is a "IN:" line followed by one line per
// instruction, "0xADDR:  ...", and ends at an empty line. Only the
// addresses are relied on: a simulator built without a disassembler for
// its target prints, after a block's one address line, the block's bytes
// in hex on lines of their own ("OBJD-T: 0a0b..."), and those give the
// block's length instead.
#ifndef ZELK_COVERAGE_LOG_READER_H_
#define ZELK_COVERAGE_LOG_READER_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

// Receives each stretch of translated code, [lo, hi), hi > lo.
using TranslatedSink = std::function<void(uint64_t lo, uint64_t hi)>;

class TranslationLogReader {
 public:
  explicit TranslationLogReader(TranslatedSink sink) : sink_(std::move(sink)) {}
  // Takes the next bytes of the log, however they are cut.
  void feed(const char* data, size_t len);
  // The log has ended: a last line without its end still counts.
  void finish();

 private:
  void take_line();
  void flush_instruction();

  TranslatedSink sink_;
  std::string line_;   // the current line's first kKeptLineBytes bytes
  bool in_block_ = false;
  bool have_instruction_ = false;
  uint64_t instruction_ = 0;
  uint64_t raw_bytes_ = 0;  // bytes of the instruction printed in hex
};

#endif  // ZELK_COVERAGE_LOG_READER_H_
