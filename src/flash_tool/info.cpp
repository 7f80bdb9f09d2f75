// info: what a .fls or an ELF holds, and what a launch takes from it.
#include <cstdio>
#include <cstring>

#include "chip/memory_map.h"
#include "flash_tool/flash_tool.h"
#include "loading/elf2bin.h"
#include "platform/file.h"
#include "storage/fls_format.h"

namespace {

// A name from a file, safe to print: bytes that are not printable ASCII
// are shown as \xNN.
std::string printable(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      out.push_back(static_cast<char>(c));
    } else {
      char escaped[8];
      snprintf(escaped, sizeof escaped, "\\x%02x", c);
      out += escaped;
    }
  }
  return out;
}

// What a launch writes of an image.
const char* launch_writes(const ImageHeader& h) {
  const bool header = is_image_flash_address(h.header_address());
  const bool data = is_image_flash_address(h.image_address()) && h.image_length() != 0;
  if (header && data) return "header and data";
  if (data) return "data; its header is not stored";
  if (header) return h.image_length() == 0 ? "header; it has no data" : "header; its data lies outside flash, skipped";
  return h.image_length() == 0 ? "nothing" : "nothing: header and data lie outside flash";
}

std::string range_text(const StoredRange& r) {
  return "image " + std::to_string(r.image) + (r.header ? "'s header" : "'s data") + " (" +
         hex32(kFlashBase + uint64_t{r.offset}) + ".." + hex32(kFlashBase + uint64_t{r.offset} + r.size) + ")";
}

int info_fls(const std::string& path) {
  const FlsListing l = list_images(path);
  if (l.error != 0) return complain(kExitTrouble, cannot("read", path, l.error));
  printf("%s: firmware image file of %llu bytes, %zu image%s\n", path.c_str(),
         static_cast<unsigned long long>(l.file_size), l.images.size(),
         l.images.size() == 1 ? "" : "s");
  if (!l.images.empty()) printf("image  header      data        length      end         a launch writes\n");
  for (size_t i = 0; i < l.images.size(); ++i) {
    const ImageHeader& h = l.images[i].header;
    printf("%5zu  %s  %s  %-10u  %s  %s\n", i, hex32(h.header_address()).c_str(),
           hex32(h.image_address()).c_str(), h.image_length(),
           hex32(uint64_t{h.image_address()} + h.image_length()).c_str(), launch_writes(h));
  }
  if (l.ignored_tail != 0)
    printf("%llu trailing byte%s ignored\n", static_cast<unsigned long long>(l.ignored_tail),
           l.ignored_tail == 1 ? " is" : "s are");
  int status = kExitOk;
  if (l.fault != ImageFault::kNone)
    status = complain(kExitFound, copy_stops_text(l.images.size(), l.stop_text()));
  for (const auto& [first, second] : find_overlaps(l))
    status = complain(kExitFound, range_text(first) + " and " + range_text(second) + " overlap");
  return status;
}

void print_sections(const char* title, const std::vector<ElfSection>& sections) {
  printf("%s\n", title);
  for (const ElfSection& s : sections)
    printf("  [%2u] %-20s %s  %10u bytes at file offset %s\n", s.index,
           s.name.empty() ? "(no name)" : printable(s.name).c_str(), hex32(s.addr).c_str(),
           s.size, hex32(s.offset).c_str());
}

int info_elf(const std::string& path) {
  ElfPlan plan;
  const int code = plan_elf2bin(path.c_str(), &plan);
  if (code != kElfOk) {
    const bool refused = code == kElfMalformed || code == kElfTooLarge;
    return complain(refused ? kExitFound : kExitTrouble,
                    path + ": a launch prints copy cmd ret = " + std::to_string(code) + ": " +
                        elf2bin_code_text(code));
  }
  printf("%s: ELF; a launch loads a raw image of %llu bytes at %s\n", path.c_str(),
         static_cast<unsigned long long>(plan.raw_size()), hex32(plan.load_addr).c_str());
  print_sections("flash sections, in table order:", plan.flash);
  print_sections(".data sections, after them:", plan.data);
  return kExitOk;
}

bool starts_as_elf(const std::string& path) {
  File file = open_file(path, "rb");
  unsigned char magic[4] = {};
  return file && fread(magic, 1, 4, file.get()) == 4 && memcmp(magic, "\x7f" "ELF", 4) == 0;
}

}  // namespace

int info_command(const BackingFiles&, const Words& args) {
  if (args.size() != 1) return usage_error("info", "give one file");
  return starts_as_elf(args[0]) ? info_elf(args[0]) : info_fls(args[0]);
}
