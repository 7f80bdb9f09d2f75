#include "formats/xml_text.h"

#include <algorithm>
#include <cstdint>

namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

// The length of the well-formed UTF-8 sequence at |p| holding a character
// XML 1.0 allows, or 0.
size_t allowed_sequence(const unsigned char* p, size_t left) {
  const unsigned char c = p[0];
  size_t len;
  uint32_t code;
  if (c < 0x80) {
    len = 1;
    code = c;
  } else if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
    code = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    code = c & 0x0F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    code = c & 0x07;
  } else {
    return 0;
  }
  if (len > left) return 0;
  for (size_t i = 1; i < len; ++i) {
    if ((p[i] & 0xC0) != 0x80) return 0;
    code = code << 6 | (p[i] & 0x3F);
  }
  // Overlong forms, surrogates and what lies past Unicode are not UTF-8.
  if ((len == 3 && code < 0x800) || (len == 4 && (code < 0x10000 || code > 0x10FFFF)) ||
      (code >= 0xD800 && code <= 0xDFFF))
    return 0;
  const bool allowed = code == 0x9 || code == 0xA || code == 0xD || (code >= 0x20 && code != 0xFFFE && code != 0xFFFF);
  return allowed ? len : 0;
}

void append_escaped(std::string_view text, bool attribute, std::string* out) {
  // Most text is plain printable ASCII, which stays as it is.
  const bool plain = std::all_of(text.begin(), text.end(), [](char c) {
    return c >= 0x20 && c < 0x7F && c != '&' && c != '<' && c != '>' && c != '"';
  });
  if (plain) {
    out->append(text.data(), text.size());
    return;
  }
  out->reserve(out->size() + text.size());
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text.data());
  for (size_t at = 0; at < text.size();) {
    const size_t len = allowed_sequence(p + at, text.size() - at);
    if (len == 0) {
      *out += kReplacement;
      ++at;
      continue;
    }
    switch (p[at]) {
      case '&': *out += "&amp;"; break;
      case '<': *out += "&lt;"; break;
      case '>': *out += "&gt;"; break;
      case '"': *out += "&quot;"; break;
      // A parser would turn a bare carriage return into a line feed.
      case '\r': *out += "&#13;"; break;
      case '\n': *out += attribute ? "&#10;" : "\n"; break;
      case '\t': *out += attribute ? "&#9;" : "\t"; break;
      default: out->append(text.data() + at, len);
    }
    at += len;
  }
}

}  // namespace

std::string xml_text(const std::string& text) {
  std::string out;
  append_xml_text(text, &out);
  return out;
}

void append_xml_text(std::string_view text, std::string* out) { append_escaped(text, false, out); }

std::string xml_attribute(const std::string& text) {
  std::string out;
  append_xml_attribute(text, &out);
  return out;
}

void append_xml_attribute(std::string_view text, std::string* out) {
  append_escaped(text, true, out);
}
