#include "callmodel/calls.h"

#include "core/line_record.h"
#include "core/trace.h"
#include "tapi/events.h"

namespace zq {

CallMarkers g_calls;
DisplayState g_display;

namespace {

// Bytes 0x80 to 0xFF of the set's character code.
constexpr std::array<uint8_t, 128> kDisplayHigh = {
    0xC7, 0xFC, 0xE9, 0xE2, 0xE4, 0xE0, 0xE5, 0xE7, 0xEA, 0xEB, 0xE8, 0xEF, 0xEE, 0xEC, 0xC4, 0xC5,  // 80
    0xC9, 0xE6, 0xC6, 0xF4, 0xF6, 0xF2, 0xFB, 0xF9, 0xFF, 0xD6, 0xDC, 0xF1, 0xD1, 0xAA, 0xBA, 0xBF,  // 90
    0xE1, 0xED, 0xF3, 0xFA, 0xA2, 0xA3, 0xA5, 0x52, 0x83, 0xA1, 0xC3, 0xE3, 0xD5, 0xF5, 0xD8, 0xF8,  // A0
    0xB7, 0xA8, 0xB0, 0x60, 0xB4, 0xBD, 0xBC, 0xD7, 0xF7, 0x20, 0x20, 0xAB, 0xBB, 0x20, 0x20, 0x20,  // B0
    0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x52, 0x43,  // C0
    0x99, 0x86, 0xA7, 0xB6, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20,  // D0
    0xDF, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0xB5, 0x20, 0x20, 0x20, 0x20, 0x20,  // E0
    0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x52, 0x20, 0x46, 0x20, 0x20, 0x20, 0x53, 0x50,  // F0
};

bool ValidCref(int cref) {
    return cref >= 0 && cref < MAX_CALLS;
}

}  // namespace

uint8_t TranslateDisplayChar(uint8_t c) {
    return c < 0x80 ? c : kDisplayHigh[c - 0x80u];
}

std::string DisplayText(int line) {
    std::string text;
    if (line < 0 || line >= DISPLAY_LINES)
        return text;
    for (int i = 0; i < DISPLAY_WIDTH; ++i) {
        const uint8_t c = g_display.DisplayLine[static_cast<size_t>(line)][static_cast<size_t>(i)];
        text += c < 0x20 ? '#' : static_cast<char>(TranslateDisplayChar(c));
    }
    return text;
}

void ClearCallStrings(int cref) {
    if (!ValidCref(cref))
        return;
    const auto i = static_cast<size_t>(cref);
    CallStrings& s = g_line.strings;
    for (auto* a : {&s.DestAddress, &s.DestName, &s.CalledAdd, &s.CalledName, &s.CallerAdd, &s.CallerName,
                    &s.RedirectionAddress, &s.RedirectionName, &s.RedirectingAddress, &s.RedirectingName,
                    &s.ConnectedAddr, &s.ConnectedName})
        (*a)[i].fill(0);
    s.NameEnquiry[i] = 0;
    s.Origin[i] = LINECALLORIGIN_UNAVAIL;
    s.Reason[i] = LINECALLREASON_UNAVAIL;
}

void ClearCall(int cref) {
    if (!ValidCref(cref))
        return;
    const auto i = static_cast<size_t>(cref);
    TspTrace(TRACE_CALL, "ClearCall cref %d", cref);
    g_calls.TmpAddress.fill(0);
    g_line.calls.lineCallState[i] = LINECALLSTATE_DISCONNECTED;
    DoLineEvent(LINE_CALLSTATE, LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_NORMAL, cref);
    g_line.calls.lineCallState[i] = LINECALLSTATE_IDLE;
    DoLineEvent(LINE_CALLSTATE, LINECALLSTATE_IDLE, 0, cref);
    g_line.calls.byMakeCall[i] = 0;
    g_line.calls.Inbound[i] = 0;
    g_line.calls.Outbound[i] = 0;
    const uint32_t key = g_line.calls.Touch[i];
    if (key >= 1 && key <= MAX_TOUCH) {
        TouchEntry& t = g_line.TouchTable[key];
        t.IconState = IDLE_ICON;
        if (t.CrefSlot[0] == cref)
            t.CrefSlot[0] = -1;
        else if (t.CrefSlot[1] == cref)
            t.CrefSlot[1] = -1;
        if (static_cast<uint32_t>(g_calls.ActivCallTouch) == key && t.CrefSlot[0] == -1 &&
            t.CrefSlot[1] == -1)
            g_calls.ActivCallTouch = 0;
    }
    g_line.calls.Touch[i] = 0;
    ClearCallStrings(cref);
}

void ResetConfDetection() {
    g_calls.ConfDetected = false;
    g_calls.ConferenceReq = false;
    g_calls.ConfRef1 = -1;
    g_calls.ConfRef2 = -1;
    for (auto& name : g_calls.ConfNames)
        name.fill(0);
}

void AllCallReset() {
    for (int cref = 0; cref < MAX_CALLS; ++cref) {
        const auto i = static_cast<size_t>(cref);
        const uint32_t state = g_line.calls.lineCallState[i];
        if (state != 0 && state != LINECALLSTATE_IDLE) {
            DoLineEvent(LINE_CALLSTATE, LINECALLSTATE_IDLE, 0, cref);
            TspTrace(TRACE_TSPI, "AllCallReset-DoLineEvent(LINECALLSTATE_IDLE,%d)", cref);
        }
        g_line.calls.lineCallState[i] = LINECALLSTATE_IDLE;
        g_line.calls.byMakeCall[i] = 0;
        g_line.calls.Inbound[i] = 0;
        g_line.calls.Outbound[i] = 0;
        g_line.calls.Touch[i] = 0;
        ClearCallStrings(cref);
    }
    const KeyList<MAX_MULTILINE>& multi = g_line.lists.MultiLineKeys;
    for (int k = 0; k < multi.count && k < MAX_MULTILINE; ++k) {
        const uint32_t key = multi.keys[static_cast<size_t>(k)];
        if (key >= 1 && key <= MAX_TOUCH)
            g_line.TouchTable[key].CrefSlot = {-1, -1};
    }
    g_calls.ActivCallTouch = 0;
    g_calls.DbCall = false;
    g_calls.ConfBroken = false;
    g_calls.DropActiveReq = false;
    ResetConfDetection();
    g_line.ConfState = LINECALLSTATE_IDLE;
    ResetEventState();
}

}  // namespace zq
