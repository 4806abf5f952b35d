// Private-profile (INI) files as text, with the behaviour of
// WritePrivateProfileString and GetPrivateProfileString. Shared by the
// POSIX and in-memory backends.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zq::plat::common {

// Whether section/key=value can be written without breaking the file: no
// line break anywhere, a non-blank section without ']', a non-blank key
// without '=' that does not read as a section or a comment.
bool ini_valid_entry(std::string_view section, std::string_view key, std::string_view value);

// Sets section/key to value, adding the section or key when missing. Names
// match without regard to case; a replaced key keeps its written case. New
// lines take the text's line ending, CR LF in a new file. An entry that is
// not valid leaves the text as it is.
std::string ini_write_string(std::string_view text, std::string_view section, std::string_view key,
                             std::string_view value);
// Removes the whole section with its keys (every copy of it).
std::string ini_delete_section(std::string_view text, std::string_view section);
// The value of the first such key in the first such section, without the
// blanks around it and without one pair of enclosing quotes.
std::optional<std::string> ini_read_string(std::string_view text, std::string_view section,
                                           std::string_view key);
// Every key of the first such section with its value (read as above), in
// the file's order.
std::vector<std::pair<std::string, std::string>> ini_read_section(std::string_view text,
                                                                  std::string_view section);

}  // namespace zq::plat::common
