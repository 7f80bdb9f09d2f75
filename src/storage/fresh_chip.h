// A chip of a run's own: a new folder under the temporary directory with a
// new chip's flash and EEPROM, removed with what it holds once the run is
// over, and by a later run where the one that made it was killed. It may
// start as a copy of a chip prepared once, a template.
#ifndef ZELK_STORAGE_FRESH_CHIP_H_
#define ZELK_STORAGE_FRESH_CHIP_H_

#include <functional>
#include <string>

#include "storage/backing_files.h"

// Creates the run's folder in |parent|, the temporary directory where
// empty; false, errno set, when it cannot.
bool create_fresh_chip_dir(std::string* dir, const std::string& parent = "");

// Removes the chip folder |dir| and every file in it, never following a
// link out of it. Its lock must have been let go.
void remove_chip_folder(const std::string& dir);

// Removes the folders of fresh chips whose runs are over: their lock was
// taken once and is free now, so no process of their run is left, or it
// was never taken by a run long gone. Only this user's own folders of the
// launcher's name form that hold nothing but a chip are touched, and no
// link is followed. |parent| as for create_fresh_chip_dir().
void remove_abandoned_fresh_chips(const std::string& parent = "");

// What is wrong with the folder |dir|, named by |source| (--chip-from,
// say), as the chip a fresh chip starts from: empty when it holds a flash
// and an EEPROM file of a chip's sizes.
std::string chip_template_problem(const std::string& source, const std::string& dir);

// What became of copying a template's chip into a fresh chip.
struct TemplateCopy {
  enum class Outcome { kCopied, kInUse, kFailed } outcome = Outcome::kCopied;
  long holder = 0;      // kInUse: the launch holding the template, 0 if unknown
  std::string problem;  // kFailed: what could not be copied or locked, and why
};

// Copies the file |from| to |to|, which does not exist yet: 0, or the
// system's error number.
using FileCopier = std::function<int(const std::string& from, const std::string& to)>;

// Gives the fresh chip in |fresh|, which holds no backing files yet, the
// backing files of the chip in |dir|, holding |dir|'s lock for reading
// meanwhile: a chip a launch holds is never copied, a copy is never torn
// by a launch that starts meanwhile, and |dir| is never changed. A lock
// that cannot be taken (a zelk.lock no one may read) refuses the copy.
TemplateCopy copy_chip_template(const std::string& dir, const BackingFiles& fresh,
                                const FileCopier& copy_file = clone_file);

#endif  // ZELK_STORAGE_FRESH_CHIP_H_
