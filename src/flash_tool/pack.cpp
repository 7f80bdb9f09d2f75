// pack: a firmware image file from raw binaries.
#include <cerrno>
#include <cstdio>

#include "chip/memory_map.h"
#include "flash_tool/flash_tool.h"
#include "platform/file.h"
#include "platform/platform.h"
#include "storage/fls_format.h"

namespace {

struct Spec {
  uint32_t addr = 0, header_addr = 0;
  std::string path;
};

// ADDR[:HDRADDR]=FILE; the header goes just below the data unless given.
bool parse_spec(const std::string& text, Spec* spec) {
  const size_t eq = text.find('=');
  if (eq == std::string::npos || eq + 1 == text.size()) return false;
  const std::string where = text.substr(0, eq);
  const size_t colon = where.find(':');
  uint64_t addr = 0, header_addr = 0;
  if (!parse_number(where.substr(0, colon), &addr) || addr > UINT32_MAX) return false;
  if (colon == std::string::npos) {
    if (addr < kImageHeaderSize) return false;
    header_addr = addr - kImageHeaderSize;
  } else if (where.substr(colon + 1) == "none") {
    header_addr = kHeaderNotStored;
  } else if (!parse_number(where.substr(colon + 1), &header_addr) || header_addr > UINT32_MAX) {
    return false;
  }
  spec->addr = static_cast<uint32_t>(addr);
  spec->header_addr = static_cast<uint32_t>(header_addr);
  spec->path = text.substr(eq + 1);
  return true;
}

// Reads the whole file at |path|; 0, or the system's error number.
int read_whole(const std::string& path, std::vector<uint8_t>* bytes) {
  uint64_t size = 0;
  File file;
  if (int error = open_to_read(path, &file)) return error;
  if (!stream_size(file.get(), &size)) return failed_call_error();
  // An image's length is a signed 32-bit count.
  if (size > kMaxImageLength) return EFBIG;
  bytes->resize(static_cast<size_t>(size));
  errno = 0;
  if (fread(bytes->data(), 1, bytes->size(), file.get()) != bytes->size()) return failed_call_error();
  return 0;
}

}  // namespace

int pack_command(const BackingFiles&, const Words& args) {
  std::string out;
  std::vector<Spec> specs;
  for (size_t i = 0; i < args.size(); ++i) {
    Spec spec;
    if (args[i] == "-o" && i + 1 < args.size()) out = args[++i];
    else if (parse_spec(args[i], &spec)) specs.push_back(spec);
    else return usage_error("pack", "'" + args[i] + "' is not ADDR[:HDRADDR]=FILE");
  }
  if (out.empty() || specs.empty()) return usage_error("pack", "give -o OUT.fls and an image");

  std::vector<uint8_t> fls;
  for (const Spec& spec : specs) {
    std::vector<uint8_t> data;
    if (int error = read_whole(spec.path, &data))
      return complain(kExitTrouble, cannot("read", spec.path, error));
    const ImageHeader h = make_image_header(spec.addr, spec.header_addr, data.data(),
                                            static_cast<uint32_t>(data.size()),
                                            last_path_component(spec.path));
    fls.insert(fls.end(), h.bytes, h.bytes + kImageHeaderSize);
    fls.insert(fls.end(), data.begin(), data.end());
  }
  // Read by the rules a launch copies by, before anything is written.
  MemoryFlsSource source(fls.data(), fls.size());
  const FlsListing listing = read_fls(&source);
  if (listing.fault != ImageFault::kNone)
    return complain(kExitTrouble, "image " + std::to_string(listing.images.size()) + ": " +
                                      listing.stop_text() + "; nothing written");
  // Only an image of no data at the end can go unread: it lies within the
  // trailing bytes a copy ignores.
  if (listing.images.size() != specs.size())
    return complain(kExitTrouble, "image " + std::to_string(listing.images.size()) +
                                      ": no data, at the end of the file, where a launch "
                                      "ignores 64 bytes; nothing written");
  for (size_t i = 0; i < listing.images.size(); ++i)
    if (!is_image_flash_address(listing.images[i].header.image_address()))
      complain(kExitOk, "note: image " + std::to_string(i) + "'s data lies outside flash; a launch skips it");
  const size_t overlaps = find_overlaps(listing).size();
  if (overlaps != 0)
    complain(kExitOk, "note: " + std::to_string(overlaps) +
                          " overlap(s) in flash; 'zelk_flash info " + out + "' lists them");
  if (int error = replace_file_whole(out, fls.data(), fls.size()))
    return complain(kExitTrouble, cannot("write", out, error));
  printf("%s: %zu image%s, %zu bytes\n", out.c_str(), specs.size(), specs.size() == 1 ? "" : "s",
         fls.size());
  return kExitOk;
}
