// The call model's lookups and clean-ups over the call and key tables, the
// line-wide markers, and the set's display image.
//
// Words used throughout the call model:
// - a call is "announced" to TAPI once byMakeCall, Inbound or Outbound is set;
// - "report" a state: set it, and tell TAPI when the call is announced;
// - "send" a state: set it and tell TAPI in any case;
// - "free" a call: its record, its key slot and every marker naming it are
//   given back, without any event.
// Everything here runs under the line mutex.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

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
// The set's own byte at a column of display line 0, where spaces, digits and
// separators are tested; the ends of the line and a column never written
// (NUL) read as 0.
uint8_t RawAt(int col);
inline bool IsDigit(uint8_t c) {
    return c >= '0' && c <= '9';
}

// The column where `text` stands on `line` as a word of its own: the
// characters just before and after it are not letters (the ends of the line
// count as non-letters), so "Enq" is not found inside "EndEnq" while "Dial"
// is found in "Dial 2005". -1 when it is not there; an empty text is never
// there.
int TextColumn(std::string_view line, std::string_view text);
inline bool TextOnLine(std::string_view line, std::string_view text) {
    return TextColumn(line, text) >= 0;
}

// ---- calls and keys

bool Announced(int cref);
// TAPI still has a handle on the record's call: an ended call's handle stays
// valid until TAPI closes it, so a new call takes such a record only when
// every other one is held.
bool HeldByTapi(int cref);
// The call in a slot of a key, -1 when the slot is empty or the entry is not
// a call of that key.
int SlotCall(uint32_t key, int slot);
// The first empty slot of a key (a non-multiline key has slot 0 only), -1.
int FreeSlot(uint32_t key);
// The OR of the states of the calls on a key; an empty slot counts 0.
uint32_t KeyStates(uint32_t key);
// Puts a call into a slot of a key and onto that key.
void PutInSlot(uint32_t key, int slot, int cref);
// Empties the slot of its key that holds the call (slot 0 first).
void EmptySlotOf(int cref);

// The cref on `key` whose state is `state`, -1: slot 0 then slot 1 of a
// multiline key, slot 0 of a boss or secretary key; an error trace for any
// other kind.
int SearchState(uint32_t key, uint32_t state);
// The lowest free record, set to `state` on `key`; -1 when all are in use.
int NewCallRecord(uint32_t state, uint32_t key);

// LINE_CALLSTATE for a call or for CONFREF. `param` is the mode of a
// DISCONNECTED (LINEDISCONNECTMODE_NORMAL unless given) and TAPI's
// conference handle for CONFERENCED.
void SendState(int cref, uint32_t state);
void SendState(int cref, uint32_t state, uint32_t mode);
void ReportState(int cref, uint32_t state);
// Announces a call the set shows: LINE_NEWCALL, and the flags it arrives
// with.
void AnnounceCall(int cref, bool inbound, bool outbound);

void ClearCallStrings(int cref);
// Frees a record without any event: key slot, flags, strings, and every
// marker that names it.
void FreeCall(int cref);
// The same but for the key slot.
void ReleaseRecord(int cref);
// Ends a call whatever TAPI knows of it: DISCONNECTED, IDLE, freed.
void ClearCall(int cref);
void ResetConfDetection();
// The set joined a held and a connected call: the conference call (new to
// TAPI unless TAPI asked for the conference) goes ONHOLDPENDCONF, both
// parties CONFERENCED, then the conference CONNECTED. `connected` may be -1.
void JoinConference(uint32_t heldKey, int held, uint32_t connectedKey, int connected,
                    bool traceConfState = false);
// Every call reported idle (the conference call too) and the call model
// cleared (link loss, stop, close); an outstanding request fails.
void AllCallReset();

struct CallCounts {
    int NumCalls = 0, connected = 0, OnHold = 0, OnHoldPend = 0, Reoffer = 0, idle = 0;
};
CallCounts CallsStat();

}  // namespace zq
