// What the POSIX backend offers beyond the platform interface: the prefix
// directory and a hook for message boxes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zq::plat {

// The prefix directory: $ZQ_PREFIX, else $XDG_DATA_HOME/zq6232, else
// $HOME/.local/share/zq6232. Read from the environment at every call.
std::string prefix_directory();

// Takes the place of the default message box (standard error and
// windows/messages.log) until set back to nullptr; its result is returned
// to the caller. A test uses it to see the text or to hold the box "open".
using MessageBoxHandler = int (*)(std::string_view text, std::string_view caption, uint32_t flags);
void set_message_box_handler(MessageBoxHandler handler);

}  // namespace zq::plat
