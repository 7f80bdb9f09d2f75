// Text as XML 1.0 holds it, for every report the system writes in XML.
// Whatever bytes come, the result is well formed: markup is escaped, and
// bytes that are not UTF-8 and characters XML forbids become U+FFFD.
#ifndef ZELK_FORMATS_XML_TEXT_H_
#define ZELK_FORMATS_XML_TEXT_H_

#include <string>
#include <string_view>

// |text| as XML character data: markup escaped, invalid UTF-8 and
// characters XML 1.0 forbids replaced by U+FFFD.
std::string xml_text(const std::string& text);
void append_xml_text(std::string_view text, std::string* out);
// The same as an attribute value, whose line breaks and tabs a parser
// would turn into blanks unless they are character references.
std::string xml_attribute(const std::string& text);
void append_xml_attribute(std::string_view text, std::string* out);

#endif  // ZELK_FORMATS_XML_TEXT_H_
