// How each platform's command interpreter reads a word in double quotes, as
// plain functions so that both can be tested on either platform.
#ifndef ZELK_PLATFORM_INTERPRETER_RULES_H_
#define ZELK_PLATFORM_INTERPRETER_RULES_H_

#include <string>
#include <vector>

// /bin/sh still expands $ and backquotes inside double quotes, and a
// backslash there escapes those, itself and the quote; each of them gets a
// backslash, so the shell hands the text on literally.
std::string posix_sh_quoted(const std::string& text);

// cmd.exe takes everything between double quotes literally but for %NAME%,
// which it expands there too and offers no escape for; a Windows path holds
// no double quote.
std::string windows_cmd_quoted(const std::string& text);

// The same, but a word holding nothing the interpreter would act on stays
// as it is, byte for byte: letters, digits, bytes above 127 and the
// characters that mean nothing to it anywhere in a word.
std::string posix_sh_word(const std::string& text);
std::string windows_cmd_word(const std::string& text);

// Where each interpreter looks for a command named without a folder, as
// the files it tries in order.

// /bin/sh: |name| in each folder of |path_value|, an empty entry being the
// current folder.
std::vector<std::string> posix_sh_search(const std::string& name, const std::string& path_value);

// cmd.exe: the current folder, then each folder of |path_value| (quotes
// around one dropped, empty entries skipped), in each |name| with every
// extension of |pathext_value| in turn (cmd.exe's own list where it is
// empty); a name that has an extension is first tried as it stands.
std::vector<std::string> windows_cmd_search(const std::string& name, const std::string& path_value,
                                            const std::string& pathext_value);

#endif  // ZELK_PLATFORM_INTERPRETER_RULES_H_
