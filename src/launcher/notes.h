// The launcher's notes on what the storage steps of a launch did: firmware
// faults and failed flash writes on standard output, short writes while
// creating a backing file on standard error.
#ifndef ZELK_LAUNCHER_NOTES_H_
#define ZELK_LAUNCHER_NOTES_H_

#include "storage/backing_files.h"
#include "storage/copy2flash.h"

// One "fwrite" report per block written short; a file that was not
// created is the launch's refusal, said by the launch.
void print_preparation(const Preparation& p);

// Where the copy stopped, if it did: a fault of the firmware file, or a
// read or write of flash that failed.
void print_copy(const CopyResult& result);

#endif  // ZELK_LAUNCHER_NOTES_H_
