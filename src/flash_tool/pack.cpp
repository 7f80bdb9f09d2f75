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

bool read_whole(const std::string& path, std::vector<uint8_t>* bytes) {
  uint64_t size = 0;
  if (!path_is_existing_non_directory(path) || !file_size_of(path, &size) || size > kMaxImageLength)
    return false;
  File file = open_file(path, "rb");
  bytes->resize(static_cast<size_t>(size));
  return file && fread(bytes->data(), 1, bytes->size(), file.get()) == bytes->size();
}

bool write_whole(const std::string& path, const std::vector<uint8_t>& bytes) {
  FILE* file = open_file_stream(path, "wb");
  if (!file) return false;
  const bool written = fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return fclose(file) == 0 && written;
}

}  // namespace

int pack_command(const Words& args) {
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
    if (!read_whole(spec.path, &data)) return complain(kExitTrouble, "cannot read " + spec.path);
    const ImageHeader h = make_image_header(spec.addr, spec.header_addr, data.data(),
                                            static_cast<uint32_t>(data.size()),
                                            last_path_component(spec.path));
    fls.insert(fls.end(), h.bytes, h.bytes + kImageHeaderSize);
    fls.insert(fls.end(), data.begin(), data.end());
  }
  if (!write_whole(out, fls)) {
    remove_file(out);
    return complain(kExitTrouble, "cannot write " + out);
  }
  // Read back by the rules a launch copies by.
  FlsListing listing;
  if (!list_images(out, &listing)) return complain(kExitTrouble, "cannot read " + out);
  if (listing.fault != ImageFault::kNone) {
    remove_file(out);
    return complain(kExitTrouble, "image " + std::to_string(listing.images.size()) + ": " +
                                      image_fault_text(listing.fault, listing.fault_header) +
                                      "; nothing written");
  }
  for (size_t i = 0; i < listing.images.size(); ++i)
    if (!is_image_flash_address(listing.images[i].image_address()))
      complain(kExitOk, "note: image " + std::to_string(i) + "'s data lies outside flash; a launch skips it");
  if (!listing.overlaps.empty())
    complain(kExitOk, "note: " + std::to_string(listing.overlaps.size()) +
                          " overlap(s) in flash; 'zelk_flash info " + out + "' lists them");
  printf("%s: %zu image%s, %zu bytes\n", out.c_str(), specs.size(), specs.size() == 1 ? "" : "s",
         fls.size());
  return kExitOk;
}
