// The call model's lookups and clean-ups over the call and key tables, the
// line-wide markers, and the set's display image.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "callmodel/tables.h"

namespace zq {

struct CallMarkers {
    int ActivCallTouch = 0;
    bool DbCall = false;
    bool ConferenceReq = false;
    bool ConfDetected = false;
    int ConfRef1 = -1;
    int ConfRef2 = -1;
    bool ConfBroken = false;
    int ConnectedCref = -1;
    int PickupCref = -1;
    int SupervPickupCref = -1;
    int SwapKeyCref = -1;
    bool DropActiveReq = false;
    bool ConfEndReq = false;
    std::array<std::array<char, 13>, 2> ConfNames{};
    std::array<char, CALL_STRING_SIZE> TmpAddress{};
    std::array<char, CALL_STRING_SIZE> DialedNumber{};
};

extern CallMarkers g_calls;

inline constexpr int DISPLAY_LINES = 2;
inline constexpr int DISPLAY_WIDTH = 40;

struct DisplayState {
    std::array<std::array<uint8_t, DISPLAY_WIDTH + 1>, DISPLAY_LINES> DisplayLine{};
    std::array<int, DISPLAY_LINES> DisplayLen{};
};

extern DisplayState g_display;

// The set's character code to the Windows character set.
uint8_t TranslateDisplayChar(uint8_t c);
// Display line 0 or 1 as 40 Windows characters; control characters as '#'.
std::string DisplayText(int line);

void ClearCallStrings(int cref);
void ClearCall(int cref);
void ResetConfDetection();
// Every call reported idle and the call model cleared (link loss, stop).
void AllCallReset();

}  // namespace zq
