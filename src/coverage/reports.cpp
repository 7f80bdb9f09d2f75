#include "coverage/reports.h"

#include <cstdio>
#include <algorithm>
#include <cstring>
#include <vector>

#include "formats/xml_text.h"

bool parse_coverage_format(const std::string& name, CoverageFormat* format) {
  if (name == "lcov") *format = CoverageFormat::kLcov;
  else if (name == "cobertura") *format = CoverageFormat::kCobertura;
  else return false;
  return true;
}

const char* coverage_format_names() { return "lcov, cobertura"; }

namespace {

struct Counts {
  size_t lines = 0, lines_hit = 0, functions = 0, functions_hit = 0;
};

// One file's lines, which stand together in the map, and its functions in
// order of their lines.
struct FileView {
  size_t begin = 0, end = 0;
  std::vector<const Function*> functions;
  Counts counts;
};

std::vector<FileView> by_file(const LineMap& map) {
  std::vector<FileView> files(map.files.size());
  for (size_t i = 0; i < map.lines.size(); ++i) {
    FileView& f = files[map.lines[i].file];
    if (f.end == 0) f.begin = i;
    f.end = i + 1;
    ++f.counts.lines;
    f.counts.lines_hit += map.lines[i].reached;
  }
  for (const Function& fn : map.functions) {
    FileView& f = files[map.lines[fn.source_line].file];
    f.functions.push_back(&fn);
    ++f.counts.functions;
    f.counts.functions_hit += fn.reached;
  }
  for (FileView& f : files)
    std::stable_sort(f.functions.begin(), f.functions.end(),
                     [](const Function* a, const Function* b) { return a->source_line < b->source_line; });
  return files;
}

Counts total(const std::vector<FileView>& files) {
  Counts all;
  for (const FileView& f : files) {
    all.lines += f.counts.lines;
    all.lines_hit += f.counts.lines_hit;
    all.functions += f.counts.functions;
    all.functions_hit += f.counts.functions_hit;
  }
  return all;
}

// A rate as the format writes it: 0 to 1, four places at most.
std::string rate(size_t hit, size_t all) {
  char text[32];
  snprintf(text, sizeof text, "%.4f", all == 0 ? 1.0 : static_cast<double>(hit) / static_cast<double>(all));
  return text;
}

// A name fit for one field of a tracefile line: no line ends in it.
std::string lcov_field(const std::string& text) {
  std::string out = text;
  for (char& c : out)
    if (c == '\n' || c == '\r') c = '?';
  return out;
}

// The folder part of |path| and the name after it.
void split_path(const std::string& path, std::string* dir, std::string* name) {
  const size_t sep = path.find_last_of("/\\");
  *dir = sep == std::string::npos ? "." : path.substr(0, sep);
  *name = sep == std::string::npos ? path : path.substr(sep + 1);
}

}  // namespace

std::string lcov_tracefile(const LineMap& map, const std::string& test_name) {
  const std::vector<FileView> files = by_file(map);
  std::string out;
  for (uint32_t file = 0; file < map.files.size(); ++file) {
    const FileView& v = files[file];
    out += "TN:" + lcov_field(test_name) + "\n";
    out += "SF:" + lcov_field(map.files[file]) + "\n";
    for (const Function* f : v.functions)
      out += "FN:" + std::to_string(map.lines[f->source_line].line) + "," + lcov_field(f->name) + "\n";
    for (const Function* f : v.functions)
      out += "FNDA:" + std::string(f->reached ? "1" : "0") + "," + lcov_field(f->name) + "\n";
    out += "FNF:" + std::to_string(v.counts.functions) + "\n";
    out += "FNH:" + std::to_string(v.counts.functions_hit) + "\n";
    for (size_t i = v.begin; i < v.end; ++i)
      out += "DA:" + std::to_string(map.lines[i].line) + (map.lines[i].reached ? ",1\n" : ",0\n");
    out += "LF:" + std::to_string(v.counts.lines) + "\n";
    out += "LH:" + std::to_string(v.counts.lines_hit) + "\n";
    out += "end_of_record\n";
  }
  return out;
}

std::string cobertura_report(const LineMap& map, const std::string& version, long long timestamp) {
  const std::vector<FileView> files = by_file(map);
  const Counts all = total(files);
  std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  out += "<coverage line-rate=\"" + rate(all.lines_hit, all.lines) + "\" branch-rate=\"0\" lines-covered=\"" +
         std::to_string(all.lines_hit) + "\" lines-valid=\"" + std::to_string(all.lines) +
         "\" branches-covered=\"0\" branches-valid=\"0\" complexity=\"0\" version=\"" +
         xml_attribute(version) + "\" timestamp=\"" + std::to_string(timestamp) + "\">\n";
  out += "  <sources>\n    <source>.</source>\n  </sources>\n  <packages>\n";
  // One package per folder, one class per file; the files are sorted, so
  // each folder's files stand together.
  uint32_t file = 0;
  while (file < map.files.size()) {
    std::string dir, name, d, n;
    split_path(map.files[file], &dir, &name);
    uint32_t end = file;
    size_t hit = 0, lines = 0;
    for (; end < map.files.size(); ++end) {
      split_path(map.files[end], &d, &n);
      if (d != dir) break;
      hit += files[end].counts.lines_hit;
      lines += files[end].counts.lines;
    }
    out += "    <package name=\"" + xml_attribute(dir) + "\" line-rate=\"" + rate(hit, lines) +
           "\" branch-rate=\"0\" complexity=\"0\">\n      <classes>\n";
    for (; file < end; ++file) {
      const FileView& v = files[file];
      split_path(map.files[file], &dir, &name);
      out += "        <class name=\"" + xml_attribute(name) + "\" filename=\"" +
             xml_attribute(map.files[file]) + "\" line-rate=\"" + rate(v.counts.lines_hit, v.counts.lines) +
             "\" branch-rate=\"0\" complexity=\"0\">\n          <methods>\n";
      for (const Function* f : v.functions) {
        const char* hits = f->reached ? "1" : "0";
        out += "            <method name=\"" + xml_attribute(f->name) + "\" signature=\"\" line-rate=\"" +
               hits + "\" branch-rate=\"0\" complexity=\"0\">\n              <lines>\n";
        out += "                <line number=\"" + std::to_string(map.lines[f->source_line].line) +
               "\" hits=\"" + hits + "\" branch=\"false\"/>\n              </lines>\n            </method>\n";
      }
      out += "          </methods>\n          <lines>\n";
      for (size_t i = v.begin; i < v.end; ++i)
        out += "            <line number=\"" + std::to_string(map.lines[i].line) + "\" hits=\"" +
               (map.lines[i].reached ? "1" : "0") + "\" branch=\"false\"/>\n";
      out += "          </lines>\n        </class>\n";
    }
    out += "      </classes>\n    </package>\n";
  }
  out += "  </packages>\n</coverage>\n";
  return out;
}

std::string coverage_summary(const LineMap& map) {
  const Counts c = total(by_file(map));
  char percent[32];
  snprintf(percent, sizeof percent, "%.1f",
           c.lines == 0 ? 0.0 : 100.0 * static_cast<double>(c.lines_hit) / static_cast<double>(c.lines));
  return std::to_string(c.lines_hit) + " of " + std::to_string(c.lines) + " lines (" + percent + "%), " +
         std::to_string(c.functions_hit) + " of " + std::to_string(c.functions) + " functions";
}
