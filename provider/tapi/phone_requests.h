// Requests of the phone device: its display read back, and buttons and
// the hookswitch pressed on the set.
#pragma once

#include "core/line_record.h"
#include "zq/tapi.h"

namespace zq {

// The display as TAPI reads it: two lines of 40 ANSI characters, one after
// the other, without a NUL.
inline constexpr uint32_t PHONE_DISPLAY_OFFSET = 24;
inline constexpr uint32_t PHONE_DISPLAY_SIZE = 80;

inline bool IsPhoneHandle(HDRVPHONE hdPhone) {
    return hdPhone == PhoneHandle();
}

// Fills the caller's VARSTRING (g_line.phoneDisplay) with the display, as
// far as its dwTotalSize allows, and clears g_line.phoneDisplay: the
// request has been carried out.
void DoGetDisplay();
// Presses the button of g_line.buttonMode and buttonId; 0 or PHONEERR_.
LONG DoPressButton();

}  // namespace zq
