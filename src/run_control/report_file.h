// Writing a report so that whoever reads its path, at any moment, finds a
// whole one: the old or the new, never a file cut short.
#ifndef ZELK_RUN_CONTROL_REPORT_FILE_H_
#define ZELK_RUN_CONTROL_REPORT_FILE_H_

#include <cstdio>
#include <string>

// Writes |text| to a new file beside |path| and renames it over |path|.
// False when it cannot, with |*problem| set to "cannot write PATH: REASON";
// what stood at |path| is then left as it was, and no temporary file stays.
// A device or pipe at |path| is written to instead.
bool write_report_file(const std::string& path, const std::string& text, std::string* problem);

// The same for a report whose middle is the whole of |body|, a file open
// for reading and writing: a report larger than memory is written whole.
bool write_report_file(const std::string& path, const std::string& head, FILE* body,
                       const std::string& foot, std::string* problem);

#endif  // ZELK_RUN_CONTROL_REPORT_FILE_H_
