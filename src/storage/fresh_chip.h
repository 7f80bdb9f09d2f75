// A chip of a run's own: a new folder under the temporary directory with a
// new chip's flash and EEPROM, removed with what it holds once the run is
// over, and by a later run where the one that made it was killed.
#ifndef ZELK_STORAGE_FRESH_CHIP_H_
#define ZELK_STORAGE_FRESH_CHIP_H_

#include <string>

// Creates the run's folder; false, errno set, when it cannot.
bool create_fresh_chip_dir(std::string* dir);

// Removes the chip folder |dir| and every file in it, never following a
// link out of it. Its lock must have been let go.
void remove_chip_folder(const std::string& dir);

// Removes the folders of fresh chips whose runs are over: their lock was
// taken once and is free now, so no process of their run is left, or it
// was never taken by a run long gone. Only this user's own folders of the
// launcher's name form that hold nothing but a chip are touched, and no
// link is followed.
void remove_abandoned_fresh_chips();

#endif  // ZELK_STORAGE_FRESH_CHIP_H_
