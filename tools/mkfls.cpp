// mkfls: packs raw binaries into a zelk firmware image file (.fls).
//
//   mkfls OUT.fls ADDR:HDRADDR:FILE [ADDR:HDRADDR:FILE ...]
//
// ADDR is the flash address of the image data, HDRADDR the flash address
// where the image's 64-byte header is stored (FFFFFFFF: header not stored
// in flash). Both are hex, with or without a 0x prefix. FILE is copied as-is.
//
// The output is the images back to back, each a 64-byte header followed by
// the data. Header words are little-endian uint32:
//   0  magic 0xA0FFFF9F
//   4  checksum: sum of the data bytes, modulo 2^32 (informational)
//   8  image address
//   12 image length (bytes of data after the header)
//   16 header address
//   20..63 base name of FILE, at most 31 ASCII bytes, NUL-terminated,
//          the remaining bytes 0xFF (informational)
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace {

using File = std::unique_ptr<FILE, decltype(&fclose)>;

constexpr uint32_t kMagic = 0xA0FFFF9Fu;
constexpr size_t kHeaderSize = 64;
constexpr size_t kNameOffset = 20;
constexpr size_t kNameMax = 31;

[[noreturn]] void fail(const std::string& msg) {
    std::fprintf(stderr, "mkfls: %s\n", msg.c_str());
    std::exit(1);
}

bool parse_hex(const std::string& s, uint32_t& out) {
    size_t i = (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) ? 2 : 0;
    if (s.size() == i || s.size() - i > 8) return false;
    uint32_t v = 0;
    for (; i < s.size(); ++i) {
        char c = s[i];
        uint32_t d;
        if (c >= '0' && c <= '9') d = static_cast<uint32_t>(c - '0');
        else if (c >= 'a' && c <= 'f') d = static_cast<uint32_t>(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F') d = static_cast<uint32_t>(c - 'A' + 10);
        else return false;
        v = (v << 4) | d;
    }
    out = v;
    return true;
}

std::vector<uint8_t> read_file(const std::string& path) {
    File f(std::fopen(path.c_str(), "rb"), &fclose);
    if (!f) fail("cannot open '" + path + "'");
    std::vector<uint8_t> data;
    uint8_t buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f.get())) > 0) data.insert(data.end(), buf, buf + n);
    if (std::ferror(f.get())) fail("cannot read '" + path + "'");
    return data;
}

void put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Appends header + data for one ADDR:HDRADDR:FILE argument to `out`.
void add_image(const std::string& arg, std::vector<uint8_t>& out) {
    size_t c1 = arg.find(':');
    size_t c2 = c1 == std::string::npos ? c1 : arg.find(':', c1 + 1);
    if (c2 == std::string::npos || c2 + 1 == arg.size())
        fail("bad image '" + arg + "', expected ADDR:HDRADDR:FILE");
    uint32_t addr = 0, hdr_addr = 0;
    if (!parse_hex(arg.substr(0, c1), addr)) fail("bad image address in '" + arg + "'");
    if (!parse_hex(arg.substr(c1 + 1, c2 - c1 - 1), hdr_addr)) fail("bad header address in '" + arg + "'");
    const std::string path = arg.substr(c2 + 1);  // may itself contain ':' (C:\...)

    std::vector<uint8_t> data = read_file(path);
    if (data.size() > 0xFFFFFFFFu - addr) fail("image '" + path + "' does not fit below 4 GiB at its address");
    if (hdr_addr != 0xFFFFFFFFu && hdr_addr > 0xFFFFFFFFu - kHeaderSize) fail("bad header address in '" + arg + "'");

    uint32_t sum = 0;
    for (uint8_t b : data) sum += b;

    uint8_t hdr[kHeaderSize];
    std::fill(hdr, hdr + kHeaderSize, uint8_t{0xFF});
    put32(hdr + 0, kMagic);
    put32(hdr + 4, sum);
    put32(hdr + 8, addr);
    put32(hdr + 12, static_cast<uint32_t>(data.size()));
    put32(hdr + 16, hdr_addr);
    std::string name = path.substr(path.find_last_of("/\\") + 1).substr(0, kNameMax);
    std::copy(name.begin(), name.end(), hdr + kNameOffset);
    hdr[kNameOffset + name.size()] = 0;

    out.insert(out.end(), hdr, hdr + kHeaderSize);
    out.insert(out.end(), data.begin(), data.end());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) fail("usage: mkfls OUT.fls ADDR:HDRADDR:FILE...");
    std::vector<uint8_t> out;
    for (int i = 2; i < argc; ++i) add_image(argv[i], out);

    File f(std::fopen(argv[1], "wb"), &fclose);
    if (!f) fail(std::string("cannot create '") + argv[1] + "'");
    if (std::fwrite(out.data(), 1, out.size(), f.get()) != out.size() || std::fflush(f.get()) != 0)
        fail(std::string("cannot write '") + argv[1] + "'");
    return 0;
}
