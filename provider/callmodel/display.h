// Names and numbers read from display line 0, and where the soft keys stand
// on line 1.
#pragma once

#include <span>

namespace zq {

// The caller of IncomingCref, of a call offered without caller data
// (WaitInfo), or of a call connected before its caller was known.
void GetCallInformation(int cref);
// The connected or called party of a call (TQLA version 1).
void RequestDispName(int cref);
// The name of the party an answered call reached (TQLA version 1).
void EnquiryConnectedName(int cref);
// The position 1..5 of soft key `id`'s label on display line 1, 0 when it is
// not shown.
int SoftKeyPosition(int id);
// Removes trailing spaces of a NUL-terminated buffer.
void TrimRight(std::span<char> text);

}  // namespace zq
