// The simulated chip's persistent flash and EEPROM, kept in two files
// beside the launcher's executable, and the lock that lets one launch at a
// time own them.
#ifndef ZELK_STORAGE_BACKING_FILES_H_
#define ZELK_STORAGE_BACKING_FILES_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"

struct BackingFiles {
  std::string dir;  // empty when there is no folder to keep them in
  std::string flash, eeprom, lock;
};

// The backing files kept in |dir|.
BackingFiles backing_files_in(const std::string& dir);
// True for the name of a backing file, or of one being made, in its folder.
bool is_backing_file_name(const std::string& name);
// The lock file's name in its folder.
const char* lock_file_name();

// The backing files beside the running executable; none when its path
// cannot be read.
BackingFiles backing_files_beside_executable();

// The folder a program keeps the chip in: |named| when a word named one
// (|word| says which, --chip-dir say), else the one the ZELK_CHIP_DIR
// variable names when it is set, else the folder beside the executable. A
// folder that was named but cannot keep the chip (check_chip_dir) gives no
// files and a |problem| that says why: a script's unset variable must not
// fall back to another chip.
struct ChipChoice {
  BackingFiles files;
  bool named = false;  // by the word or the variable
  std::string problem;
};
ChipChoice choose_chip(const std::optional<std::string>& named, const std::string& word);

// True when |path| names an existing object that is not a directory.
bool file_is_exist(const std::string& path);

// Whether a folder named by the user (--dir, say) can keep the backing
// files: kEmpty for an empty name, which is no folder at all; kUnusable
// with the system's error number for a name that is not an existing
// folder. Nothing is created or changed.
struct ChipDirCheck {
  enum class Status { kUsable, kEmpty, kUnusable } status = Status::kUsable;
  int error = 0;
};
ChipDirCheck check_chip_dir(const std::string& dir);
// The problem as a program prints it, |source| naming where |dir| came
// from ("--dir", say).
std::string chip_dir_problem(const std::string& source, const std::string& dir,
                             const ChipDirCheck& check);

// What is wrong with the object where the backing file |path| belongs, for
// a program that reads or writes it: empty for a regular file or nothing
// (a launch creates it), else "PATH is a folder" or "PATH is not a regular
// file".
std::string backing_file_problem(const std::string& path);

// What became of one backing file.
struct Creation {
  enum class Outcome { kPresent, kCreated, kFailed } outcome = Outcome::kPresent;
  std::string path;
  // The system's error number for each block written short.
  std::vector<int> short_writes;
  int error = 0;  // kFailed: why, as the system says
};

struct Preparation {
  Creation flash, eeprom;
};

// Creates whichever backing file is missing with a new chip's contents,
// whole or not at all: a file that could not be written whole is removed
// again, and the next preparation tries anew. Existing files, of whatever
// size, are never touched.
Preparation prepare_backing_files(const BackingFiles& files);

// The lines a program prints on standard error for a creation: one
// "fwrite" report per block written short, as perror puts it.
std::vector<std::string> creation_notes(const Creation& c);

// "cannot create PATH: REASON" for a file that was not created; empty when
// it is there. A chip without its backing files can run nothing, so the
// programs refuse it.
std::string creation_problem(const Creation& c);
// The first such problem of the two files; empty when both are there.
std::string preparation_problem(const Preparation& p);

enum class Memory { kFlash, kEeprom };

// Prepares one backing file as prepare_backing_files does.
Creation prepare_backing_file(const BackingFiles& files, Memory memory);

// What erasing one backing file did.
struct Reset {
  bool done = false;
  int error = 0;           // the system's error number when not done
  uint64_t size = 0;       // the file's size, kept
  uint64_t rewritten = 0;  // bytes that differed from a new chip's
};

// Gives an existing backing file a new chip's contents in place, keeping
// its size; only what differs is written.
Reset reset_backing_file(const BackingFiles& files, Memory memory);

// Takes the lock for the folder of |files|, held until |lock| goes. The
// backing files themselves stay free of it, as the simulator opens them
// while the lock is held. |error| is the system's error number when the
// lock could not be taken for a reason other than its holder.
FileLock::Status lock_chip(const BackingFiles& files, FileLock* lock, long* holder, int* error);

// The texts the programs print for a chip in use and a lock that could not
// be taken (a folder without write access, a read-only zelk.lock, say).
// Either refuses the chip: a chip nobody can lock is no chip to write.
std::string chip_in_use_text(const std::string& dir, long holder);
std::string chip_not_locked_text(const std::string& dir, int error);

#endif  // ZELK_STORAGE_BACKING_FILES_H_
