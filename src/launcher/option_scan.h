// The first look at the words: help, version or a launch.
#ifndef ZELK_LAUNCHER_OPTION_SCAN_H_
#define ZELK_LAUNCHER_OPTION_SCAN_H_

enum class ScanResult { kUsage, kVersion, kLaunch };

// The first help or version word decides, wherever it stands; otherwise a
// launch word makes a launch, and without one the usage text is due.
ScanResult scan_words(int argc, char** argv);

#endif  // ZELK_LAUNCHER_OPTION_SCAN_H_
