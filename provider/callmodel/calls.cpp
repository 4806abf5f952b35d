#include "callmodel/calls.h"

#include "core/config.h"
#include "core/line_record.h"
#include "core/trace.h"
#include "link/supervision.h"
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

// Letters of the Windows character set, for the word rule of TextColumn.
bool IsLetter(uint8_t c) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))
        return true;
    switch (c) {
        case 0x8A:
        case 0x8C:
        case 0x8E:
        case 0x9A:
        case 0x9C:
        case 0x9E:
        case 0x9F:
        case 0xAA:
        case 0xB5:
        case 0xBA:
            return true;
        default:
            return c >= 0xC0 && c != 0xD7 && c != 0xF7;
    }
}

uint32_t& StateOf(int cref) {
    return g_line.calls.lineCallState[static_cast<size_t>(cref)];
}

// A record is given back: nothing may go on naming it.
void ForgetMarkers(int cref) {
    for (int* marker : {&g_calls.ConnectedCref, &g_calls.PickupCref, &g_calls.SupervPickupCref,
                        &g_calls.SwapKeyCref, &g_calls.ConfRef1, &g_calls.ConfRef2, &g_running.lastHeldCref})
        if (*marker == cref)
            *marker = -1;
    if (g_superv.IncomingCref == cref) {
        g_superv.IncomingCref = -1;
        g_superv.OfferWaitCount = 0;
    }
    if (g_superv.progressReport && g_superv.progressCref == cref) {
        g_superv.progressReport = false;
        g_superv.progressCref = -1;
    }
    for (int32_t& waiting : g_set.WaitInfo)
        if (waiting == cref)
            waiting = -1;
}

}  // namespace

uint8_t TranslateDisplayChar(uint8_t c) {
    return c < 0x80 ? c : kDisplayHigh[c - 0x80u];
}

uint8_t RawAt(int col) {
    if (col < 0 || col >= DISPLAY_WIDTH)
        return 0;
    return g_display.DisplayLine[0][static_cast<size_t>(col)];
}

std::string DisplayText(int line) {
    if (line < 0 || line >= DISPLAY_LINES)
        return {};
    std::string text(DISPLAY_WIDTH, '#');
    for (size_t i = 0; i < text.size(); ++i) {
        const uint8_t c = g_display.DisplayLine[static_cast<size_t>(line)][i];
        if (c >= 0x20)
            text[i] = static_cast<char>(TranslateDisplayChar(c));
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

int TextColumn(std::string_view line, std::string_view text) {
    if (text.empty())
        return -1;
    for (size_t at = line.find(text); at != std::string_view::npos; at = line.find(text, at + 1)) {
        const bool before = at == 0 || !IsLetter(static_cast<uint8_t>(line[at - 1]));
        const size_t next = at + text.size();
        const bool after = next >= line.size() || !IsLetter(static_cast<uint8_t>(line[next]));
        if (before && after)
            return static_cast<int>(at);
    }
    return -1;
}

bool HeldByTapi(int cref) {
    return ValidCref(cref) && g_line.htCall[static_cast<size_t>(cref)] != nullptr;
}

bool Announced(int cref) {
    if (!ValidCref(cref))
        return false;
    const auto i = static_cast<size_t>(cref);
    return g_line.calls.byMakeCall[i] != 0 || g_line.calls.Inbound[i] != 0 || g_line.calls.Outbound[i] != 0;
}

int SlotCall(uint32_t key, int slot) {
    if (!ValidKey(key) || slot < 0 || slot > 1)
        return -1;
    const int cref = g_line.TouchTable[key].CrefSlot[static_cast<size_t>(slot)];
    return ValidCref(cref) && g_line.calls.Touch[static_cast<size_t>(cref)] == key ? cref : -1;
}

int FreeSlot(uint32_t key) {
    if (!ValidKey(key))
        return -1;
    const int slots = g_line.TouchTable[key].Kind == KEY_MULTILIGNE ? 2 : 1;
    for (int slot = 0; slot < slots; ++slot)
        if (SlotCall(key, slot) == -1)
            return slot;
    return -1;
}

uint32_t KeyStates(uint32_t key) {
    uint32_t states = 0;
    for (int slot = 0; slot < 2; ++slot)
        if (const int cref = SlotCall(key, slot); cref != -1)
            states |= StateOf(cref);
    return states;
}

void PutInSlot(uint32_t key, int slot, int cref) {
    if (!ValidKey(key) || slot < 0 || slot > 1 || !ValidCref(cref))
        return;
    g_line.TouchTable[key].CrefSlot[static_cast<size_t>(slot)] = cref;
    g_line.calls.Touch[static_cast<size_t>(cref)] = key;
}

void EmptySlotOf(int cref) {
    if (!ValidCref(cref))
        return;
    const uint32_t key = g_line.calls.Touch[static_cast<size_t>(cref)];
    if (!ValidKey(key))
        return;
    auto& slots = g_line.TouchTable[key].CrefSlot;
    if (slots[0] == cref)
        slots[0] = -1;
    else if (slots[1] == cref)
        slots[1] = -1;
}

int SearchState(uint32_t key, uint32_t state) {
    if (!ValidKey(key))
        return -1;
    const uint32_t kind = g_line.TouchTable[key].Kind;
    int slots = 0;
    if (kind == KEY_MULTILIGNE)
        slots = 2;
    else if (kind == KEY_PATRON || kind == KEY_SECRETAIRE || kind == KEY_SECR_DEBORD)
        slots = 1;
    if (slots == 0) {
        TspTrace(TRACE_ERROR, "SearchState - La Touche %d n'est pas multiligne ni pat/sec!", key);
        return -1;
    }
    for (int slot = 0; slot < slots; ++slot) {
        const int cref = SlotCall(key, slot);
        if (cref != -1 && StateOf(cref) == state)
            return cref;
    }
    return -1;
}

int NewCallRecord(uint32_t state, uint32_t key) {
    // The digit that started the new call stays as its first dialled digit.
    const size_t dialled = TextOf(g_calls.DialedNumber).size();
    if (dialled > 1) {
        g_calls.DialedNumber[0] = g_calls.DialedNumber[dialled - 1];
        g_calls.DialedNumber[1] = '\0';
    }
    g_display.DisplayLine[0][DISPLAY_WIDTH] = 0;
    for (const bool takeHeld : {false, true}) {
        for (int cref = 0; cref < MAX_CALLS; ++cref) {
            if (g_line.calls.Touch[static_cast<size_t>(cref)] != 0 ||
                g_line.ReservedByTapi[static_cast<size_t>(cref)] || (HeldByTapi(cref) && !takeHeld))
                continue;
            StateOf(cref) = state;
            g_line.calls.Touch[static_cast<size_t>(cref)] = key;
            return cref;
        }
    }
    return -1;
}

void SendState(int cref, uint32_t state, uint32_t mode) {
    if (cref == CONFREF) {
        g_line.ConfState = state;
    } else if (ValidCref(cref)) {
        StateOf(cref) = state;
    } else {
        TspTrace(TRACE_ERROR, "SendState cref %d impossible - etat %lx non transmis", cref, state);
        return;
    }
    DWORD_PTR param = mode;
    if (state == LINECALLSTATE_CONFERENCED)
        param = reinterpret_cast<DWORD_PTR>(g_line.htConfCall);
    DoLineEvent(LINE_CALLSTATE, state, param, cref);
}

void SendState(int cref, uint32_t state) {
    SendState(cref, state, state == LINECALLSTATE_DISCONNECTED ? LINEDISCONNECTMODE_NORMAL : 0);
}

void ReportState(int cref, uint32_t state) {
    if (cref == CONFREF || Announced(cref))
        SendState(cref, state);
    else if (ValidCref(cref))
        StateOf(cref) = state;
}

void AnnounceCall(int cref, bool inbound, bool outbound) {
    if (!ValidCref(cref))
        return;
    const auto i = static_cast<size_t>(cref);
    DoLineEventNewCall(cref);
    g_line.calls.byMakeCall[i] = 0;
    g_line.calls.Inbound[i] = inbound ? 1 : 0;
    g_line.calls.Outbound[i] = outbound ? 1 : 0;
}

void FreeCall(int cref) {
    EmptySlotOf(cref);
    ReleaseRecord(cref);
}

void ReleaseRecord(int cref) {
    if (!ValidCref(cref))
        return;
    const auto i = static_cast<size_t>(cref);
    g_line.calls.Touch[i] = 0;
    g_line.calls.byMakeCall[i] = 0;
    g_line.calls.Inbound[i] = 0;
    g_line.calls.Outbound[i] = 0;
    g_line.ReservedByTapi[i] = false;
    ClearCallStrings(cref);
    ForgetMarkers(cref);
}

void ClearCall(int cref) {
    if (!ValidCref(cref))
        return;
    TspTrace(TRACE_CALL, "ClearCall cref %d", cref);
    g_calls.TmpAddress.fill(0);
    SendState(cref, LINECALLSTATE_DISCONNECTED);
    SendState(cref, LINECALLSTATE_IDLE);
    const uint32_t key = g_line.calls.Touch[static_cast<size_t>(cref)];
    FreeCall(cref);
    if (ValidKey(key)) {
        g_line.TouchTable[key].IconState = IDLE_ICON;
        if (static_cast<uint32_t>(g_calls.ActivCallTouch) == key && SlotCall(key, 0) == -1 &&
            SlotCall(key, 1) == -1)
            g_calls.ActivCallTouch = 0;
    }
}

void JoinConference(uint32_t heldKey, int held, uint32_t connectedKey, int connected, bool traceConfState) {
    g_calls.ConfDetected = true;
    if (!g_calls.ConferenceReq)
        DoLineEventNewConf();
    SendState(CONFREF, LINECALLSTATE_ONHOLDPENDCONF);
    TspTrace(TRACE_CALL, "Etat:LINECALLSTATE_ONHOLDPENDCONF - Ref:%d", CONFREF);
    ReportState(held, LINECALLSTATE_CONFERENCED);
    g_calls.ConfRef1 = held;
    TspTrace(TRACE_CALL, "Icone:%d  - Etat:CONFERENCED - Ref:%d", heldKey, held);
    g_calls.ConfRef2 = connected;
    if (connected != -1) {
        ReportState(connected, LINECALLSTATE_CONFERENCED);
        TspTrace(TRACE_CALL, "Icone:%d  - Etat:CONFERENCED - Ref:%d", connectedKey, connected);
    }
    if (traceConfState)
        TspTrace(TRACE_CALL, "confstate %lx - Ref:%04x", g_line.ConfState, CONFREF);
    SendState(CONFREF, LINECALLSTATE_CONNECTED);
    TspTrace(TRACE_CALL, "Etat:LINECALLSTATE_CONNECTED - Ref:%d", CONFREF);
    g_calls.ConferenceReq = false;
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
        const uint32_t state = StateOf(cref);
        // A call TAPI holds before the set shows it (a make call waiting
        // for the set, a pickup, a consultation call) ends too.
        if ((state != 0 && state != LINECALLSTATE_IDLE) || g_line.ReservedByTapi[static_cast<size_t>(cref)]) {
            DoLineEvent(LINE_CALLSTATE, LINECALLSTATE_IDLE, 0, cref);
            TspTrace(TRACE_TSPI, "AllCallReset-DoLineEvent(LINECALLSTATE_IDLE,%d)", cref);
        }
        ReleaseRecord(cref);
        StateOf(cref) = LINECALLSTATE_IDLE;
    }
    // TAPI's conference call ends with its parties, or before the set has
    // shown it.
    const bool confAsked = g_calls.ConferenceReq && g_line.htConfCall != nullptr;
    if ((g_line.ConfState != 0 && g_line.ConfState != LINECALLSTATE_IDLE) || confAsked) {
        DoLineEvent(LINE_CALLSTATE, LINECALLSTATE_IDLE, 0, CONFREF);
        TspTrace(TRACE_TSPI, "AllCallReset-DoLineEvent(LINECALLSTATE_IDLE,%d)", CONFREF);
    }
    // Only the line keys are emptied; another key's entry names a free
    // record, which SlotCall does not take for a call.
    const KeyList<MAX_MULTILINE>& multi = g_line.lists.MultiLineKeys;
    for (int k = 0; k < multi.count && k < MAX_MULTILINE; ++k)
        if (const uint32_t key = multi.keys[static_cast<size_t>(k)]; ValidKey(key))
            g_line.TouchTable[key].CrefSlot = {-1, -1};
    g_calls.ActivCallTouch = 0;
    g_calls.DbCall = false;
    g_calls.ConfBroken = false;
    g_calls.DropActiveReq = false;
    g_calls.ConfEndReq = false;
    ResetConfDetection();
    g_line.ConfState = LINECALLSTATE_IDLE;
    g_superv.deferredMakeCall = false;
    g_superv.crefRequestMakeCall = -1;
    // A request waiting for the set will not be carried out.
    SendCompletion(static_cast<LONG>(LINEERR_OPERATIONFAILED));
    ResetEventState();
}

CallCounts CallsStat() {
    CallCounts n;
    for (int cref = 0; cref < MAX_CALLS; ++cref) {
        const uint32_t state = StateOf(cref);
        if (g_line.calls.Touch[static_cast<size_t>(cref)] != 0)
            TspTrace(TRACE_CALL, "CallsStat cref %04d state %lx", cref, state);
        n.NumCalls += state != 0 ? 1 : 0;
        n.connected += state == LINECALLSTATE_CONNECTED ? 1 : 0;
        n.OnHold += state == LINECALLSTATE_ONHOLD ? 1 : 0;
        n.OnHoldPend += state == LINECALLSTATE_ONHOLDPENDTRANSFER ? 1 : 0;
        n.Reoffer += state == CALLSTATE_REOFFER ? 1 : 0;
        n.idle += state == LINECALLSTATE_IDLE ? 1 : 0;
    }
    return n;
}

}  // namespace zq
