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
// which it expands there too and offers no escape for. So each run of %
// stands outside the quotes ("a"%"OS"%"b"): the name between two of them
// then holds a quote, which no variable's name does, and the program's
// runtime drops the quotes and joins the pieces into one word again. A
// Windows path holds no double quote.
std::string windows_cmd_quoted(const std::string& text);

// The first %NAME% (or %NAME:...%) in |line| that cmd.exe would expand,
// |is_set| telling which names are set; empty when there is none. cmd.exe
// leaves a %NAME% of no set variable as it stands on a command line.
std::string windows_cmd_expansion(const std::string& line, bool (*is_set)(const std::string& name));

// The same, but a word holding nothing the interpreter would act on stays
// as it is, byte for byte: letters, digits, bytes above 127 and the
// characters that mean nothing to it anywhere in a word.
std::string posix_sh_word(const std::string& text);
std::string windows_cmd_word(const std::string& text);

// A word of the command line as the Windows C runtime splits it for main:
// blanks part words outside double quotes; a quote opens or closes them
// (two within quotes stand for one), and backslashes are plain but before
// a quote, where each pair stands for one and an odd one makes the quote
// plain. |quoted|: a quote stood in the word. Word 0 ends at its closing
// quote, or else at the first blank.
struct RuntimeWord {
  std::string text;
  bool quoted = false;
};
std::vector<RuntimeWord> windows_runtime_words(const std::string& line);

// True when the runtime, asked to, would expand |word| as a wildcard
// pattern: a * or ? in it, and no quote, which keeps a word as typed.
bool windows_runtime_pattern(const RuntimeWord& word);

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
