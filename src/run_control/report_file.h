// Writing a report so that whoever reads its path, at any moment, finds a
// whole one: the old or the new, never a file cut short.
#ifndef ZELK_RUN_CONTROL_REPORT_FILE_H_
#define ZELK_RUN_CONTROL_REPORT_FILE_H_

#include <cstdio>
#include <string>

#include "platform/background_writer.h"

// Writes |text| to a new file beside |path| and renames it over |path|.
// False when it cannot, with |*problem| set to "cannot write PATH: REASON";
// what stood at |path| is then left as it was, and no temporary file stays.
bool write_report_file(const std::string& path, const std::string& text, std::string* problem);

// A report's text: its head, the whole of |body| (a file open for
// reading, or none), then its foot, so that a report larger than memory is
// written whole.
struct ReportText {
  std::string head;
  FILE* body = nullptr;
  std::string foot;
};

// The same as write_report_file() above for such a report.
bool write_report_file(const std::string& path, const std::string& head, FILE* body,
                       const std::string& foot, std::string* problem);

// True where |path| names what no rename can replace: a pipe, a FIFO, a
// device. Such a report gets the final document alone, written once, by
// a BackgroundWriter given report_stream_sink(): the reader may take its
// time, or never come.
bool report_is_stream(const std::string& path);
BackgroundWriter::Sink report_stream_sink(const std::string& path);

// The line that says a report could not be written: "cannot write PATH:
// REASON".
std::string report_problem(const std::string& path, int error);

#endif  // ZELK_RUN_CONTROL_REPORT_FILE_H_
