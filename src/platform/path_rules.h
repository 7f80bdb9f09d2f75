// Last-path-component rules of both platforms, as plain functions so that
// both can be tested on either platform.
#ifndef ZELK_PLATFORM_PATH_RULES_H_
#define ZELK_PLATFORM_PATH_RULES_H_

#include <string>

// Windows rules: '\' and '/' both separate; a drive prefix ("C:") or a
// network prefix ("\\server\share") belongs to no component; trailing
// separators are cut. An empty path or a bare drive gives "."; a bare
// network prefix, or only separators after the prefix, gives "\".
// |is_lead_byte| tells whether a byte starts a double-byte character, whose
// trail byte is then never taken for a separator.
std::string windows_last_component(const std::string& path,
                                   bool (*is_lead_byte)(unsigned char));

// POSIX rules: '/' separates; trailing separators are cut; an empty path
// gives "." and a path of only separators gives "/".
std::string posix_last_component(const std::string& path);

#endif  // ZELK_PLATFORM_PATH_RULES_H_
