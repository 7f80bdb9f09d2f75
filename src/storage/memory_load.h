// A file's bytes put into the chip's flash or EEPROM at the chip's own
// address: checked whole before anything is written, then stored in the
// 4 KiB chunks that differ, as the firmware copy stores an image.
#ifndef ZELK_STORAGE_MEMORY_LOAD_H_
#define ZELK_STORAGE_MEMORY_LOAD_H_

#include <cstdint>
#include <string>
#include <vector>

#include "storage/backing_files.h"

// A number as the programs take them: decimal, or hexadecimal after 0x.
bool parse_number(const std::string& text, uint64_t* value);

// "cannot VERB PATH: REASON", REASON being the system's text for |error|.
std::string cannot(const char* verb, const std::string& path, int error);

// "flash" or "eeprom"; false for any other name.
bool parse_memory(const std::string& name, Memory* memory);

struct Load {
  Memory memory = Memory::kFlash;
  // Flash: the chip's address, from 0x08000000 on; EEPROM: the offset.
  uint64_t address = 0;
  std::string path;
  // The file's bytes, read once when checked: a pipe or a FIFO can be read
  // only once, and a file that changes afterwards changes nothing here.
  std::vector<uint8_t> bytes;
  uint64_t size = 0;  // of the file, once checked
};

// What is wrong with where a load starts: outside the flash window, or at
// or past the EEPROM's end; empty when nothing is.
std::string load_address_problem(Memory memory, uint64_t address);

// Reads the load's file to its end: empty, or what is wrong: a file that
// cannot be read, or bytes that reach past the memory's end.
std::string check_load(Load* load);

struct LoadResult {
  std::string problem;  // empty when the load is done
  uint64_t chunks = 0;  // written
};

// Stores the bytes of a checked load into the backing files, which exist; a file that
// already holds the bytes is not opened for writing.
LoadResult load_into(const BackingFiles& files, const Load& load);

// "loaded FILE into MEMORY at ADDRESS: N bytes, N pieces written".
std::string loaded_text(const Load& load, const LoadResult& result);

#endif  // ZELK_STORAGE_MEMORY_LOAD_H_
