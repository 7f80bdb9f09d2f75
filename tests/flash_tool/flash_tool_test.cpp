// zelk_flash's pieces on their own: numbers as the commands take them, and
// hex dump lines as hexdump -C prints and folds them.
#include "flash_tool/flash_tool.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(FlashToolTest, NumbersAreDecimalOrHexadecimalAfter0x) {
  const struct {
    const char* text;
    bool ok;
    uint64_t value;
  } cases[] = {
      {"0", true, 0},
      {"4096", true, 4096},
      {"0x08000000", true, 0x08000000},
      {"0XfF", true, 255},
      {"18446744073709551615", true, UINT64_MAX},
      {"0xffffffffffffffff", true, UINT64_MAX},
      {"18446744073709551616", false, 0},
      {"0x10000000000000000", false, 0},
      {"", false, 0},
      {"0x", false, 0},
      {"12x", false, 0},
      {"-1", false, 0},
      {" 1", false, 0},
      {"0xg", false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    uint64_t value = 7;
    EXPECT_EQ(c.ok, parse_number(c.text, &value));
    EXPECT_EQ(c.ok ? c.value : 7, value);
  }
}

// Rule: a full line equal to the one before folds into one "*" however
// many repeat and however the bytes come in pieces; a short last line never
// folds; the end is the address after the last byte.
TEST(FlashToolTest, HexDumpFoldsRepeatedLines) {
  const std::string ff_line =
      "ff ff ff ff ff ff ff ff  ff ff ff ff ff ff ff ff  |................|\n";
  const struct {
    const char* what;
    uint64_t address;
    std::vector<std::vector<uint8_t>> pieces;
    std::string out;
  } cases[] = {
      {"nothing", 0x1000, {}, "00001000\n"},
      {"short line", 0x10, {{'A', 0x00, 0x7f, 'z'}},
       "00000010  41 00 7f 7a                                       |A..z|\n00000014\n"},
      {"repeats across pieces", 0x08000000,
       {std::vector<uint8_t>(32, 0xFF), std::vector<uint8_t>(32, 0xFF), std::vector<uint8_t>(8, 0xFF)},
       "08000000  " + ff_line + "*\n08000040  ff ff ff ff ff ff ff ff" + std::string(27, ' ') +
           "|........|\n08000048\n"},
      {"fold, change, fold", 0,
       {std::vector<uint8_t>(48, 0xFF), std::vector<uint8_t>(16, 0x20), std::vector<uint8_t>(32, 0xFF)},
       "00000000  " + ff_line + "*\n00000030  " +
           "20 20 20 20 20 20 20 20  20 20 20 20 20 20 20 20  |                |\n" +
           "00000040  " + ff_line + "*\n00000060\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    HexDump dump(c.address);
    std::string out;
    for (const std::vector<uint8_t>& piece : c.pieces) out += dump.add(piece.data(), piece.size());
    EXPECT_EQ(c.out, out + dump.finish());
  }
}

}  // namespace
