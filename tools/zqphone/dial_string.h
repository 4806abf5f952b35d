// The number zqphone dials, from what a user or a desktop link gives it.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zq::phone {

// A dial string from a typed number ("06 12 34 56 78") or a tel: link
// ("tel:2005;phone-context=...", "tel:06%2012%2034"): the scheme and the
// parameters dropped, percent escapes decoded, the visual separators
// (blank - . ( )) removed. A number that starts with + is in canonical form
// ("tel:+33-1-23-45-67-89", "+33 (1) 23 45 67 89") and keeps them, for
// lineTranslateAddress. What is left must hold a digit and nothing but
// digits, * and #, the tones A to D and the dial modifiers , W P T ! @,
// and be shorter than a TAPI destination address (80 with its NUL);
// anything else is no number (nullopt), so a link cannot smuggle other text
// to the line.
std::optional<std::string> DialString(std::string_view text);

}  // namespace zq::phone
