// Keys, calls and line-wide markers of the call model, and the display and
// configuration tables that it reads.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace zq {

inline constexpr int MAX_CALLS = 20;
inline constexpr int MAX_TOUCH = 88;
inline constexpr int CONFREF = 30;
inline constexpr int MAX_MULTILINE = 10;
inline constexpr int MAX_SUPERV = 31;
inline constexpr int MAX_SPECIAL = 10;  // boss, secretary and secretary-overflow lists
inline constexpr int MAX_AOM = 3;
inline constexpr int CALL_STRING_SIZE = 80;
inline constexpr int KEY_LABEL_SIZE = 32;

// Key kinds as the configuration download delivers them.
inline constexpr uint32_t KEY_SUPERV = 7;
inline constexpr uint32_t KEY_PATRON = 8;
inline constexpr uint32_t KEY_SECRETAIRE = 9;
inline constexpr uint32_t KEY_SECR_DEBORD = 10;
inline constexpr uint32_t KEY_MULTILIGNE = 11;

// Icon states share the numbering of the call model's event names.
inline constexpr uint32_t ACTIV_ICON = 11;
inline constexpr uint32_t INCOM_ICON = 12;
inline constexpr uint32_t HOLD_ICON = 13;
inline constexpr uint32_t IDLE_ICON = 14;
inline constexpr uint32_t RESERVED_ICON = 15;

// The call model's event names, as the trace prints them; index 0 is empty.
inline constexpr std::array<const char*, 16> kEventNames = {
    "",           "IBUTTON",   "DISCONNECTKEY", "DISPSUSPEND",      "VMO_RING",  "CLEARALLLED",
    "VMO_CHAT",   "VMO_IDLE",  "MUTE",          "SENDING_COMPLETE", "CONN_DISP", "ACTIV_ICON",
    "INCOM_ICON", "HOLD_ICON", "IDLE_ICON",     "RESERVED_ICON"};
inline const char* EventName(uint32_t event) {
    return event < kEventNames.size() ? kEventNames[event] : "";
}

inline constexpr uint32_t CALLSTATE_REOFFER = 0x10000;

using CallString = std::array<char, CALL_STRING_SIZE>;

struct CallTable {
    std::array<uint32_t, MAX_CALLS> byMakeCall;
    std::array<uint32_t, MAX_CALLS> Inbound;
    std::array<uint32_t, MAX_CALLS> Outbound;
    std::array<uint32_t, MAX_CALLS> Touch;
    std::array<uint32_t, MAX_CALLS> lineCallState;
};

struct CallStrings {
    std::array<CallString, MAX_CALLS> DestAddress;
    std::array<CallString, MAX_CALLS> DestName;
    std::array<CallString, MAX_CALLS> Digits;
    std::array<CallString, MAX_CALLS> CalledAdd;
    std::array<CallString, MAX_CALLS> CalledName;
    std::array<CallString, MAX_CALLS> CallerAdd;
    std::array<CallString, MAX_CALLS> CallerName;
    std::array<CallString, MAX_CALLS> RedirectionAddress;
    std::array<CallString, MAX_CALLS> RedirectionName;
    std::array<CallString, MAX_CALLS> RedirectingAddress;
    std::array<CallString, MAX_CALLS> RedirectingName;
    std::array<CallString, MAX_CALLS> ConnectedAddr;
    std::array<CallString, MAX_CALLS> ConnectedName;
    std::array<uint32_t, MAX_CALLS> NameEnquiry;
    std::array<uint32_t, MAX_CALLS> Origin;
    std::array<uint32_t, MAX_CALLS> Reason;
};

struct TouchEntry {
    uint32_t IconState = IDLE_ICON;
    uint32_t IconValue;
    std::array<int32_t, 2> CrefSlot{-1, -1};  // the key's calls; -1 when none
    uint32_t Kind;
    std::array<char, KEY_LABEL_SIZE> Label;
};

// Index 0 is unused: keys are numbered 1 to MAX_TOUCH.
using TouchTableArray = std::array<TouchEntry, MAX_TOUCH + 1>;

template <int N>
struct KeyList {
    std::array<uint32_t, N> keys;
    int count;
};

inline bool ValidKey(uint32_t key) {
    return key >= 1 && key <= MAX_TOUCH;
}
inline bool ValidCref(int cref) {
    return cref >= 0 && cref < MAX_CALLS;
}

// Appends a key; false when the list is full.
template <int N>
bool AppendKey(KeyList<N>& list, uint32_t key) {
    if (list.count < 0 || list.count >= N)
        return false;
    list.keys[static_cast<std::size_t>(list.count++)] = key;
    return true;
}

struct KeyLists {
    KeyList<MAX_MULTILINE> MultiLineKeys;
    KeyList<MAX_SUPERV> SupervKeys;
    KeyList<MAX_SPECIAL> PatronKeys;
    KeyList<MAX_SPECIAL> SecretaireKeys;
    KeyList<MAX_SPECIAL> SecrDebordKeys;
};

struct AomEntry {
    bool present;
    uint8_t address;  // subdevice address 0..7, 255 when absent
    bool aom20;
    uint8_t offset;  // added to the module's own key number, 255 when absent
};

// Soft keys, display strings and service codes: names are also registry
// value names.
inline constexpr int SOFTKEY_COUNT = 7;
inline constexpr int SOFTKEY_LABEL_LEN = 6;
inline constexpr int LCDSTRING_COUNT = 3;
inline constexpr int LCDSTRING_LEN = 31;
inline constexpr int SERVICECODE_COUNT = 7;
inline constexpr int SERVICECODE_LEN = 4;

// Entries of the soft-key labels and the service codes, in the order of
// their names.
inline constexpr int SK_SECONDCALL = 0;
inline constexpr int SK_ENDSECONDCALL = 1;
inline constexpr int SK_SWAP = 2;
inline constexpr int SK_CONFERENCE = 3;
inline constexpr int SK_DTMF = 4;
inline constexpr int SK_STOP_DTMF = 5;
inline constexpr int SK_TRANSFER = 6;
inline constexpr size_t SERVICE_CANCEL_FORWARDING = 4;
inline constexpr size_t SERVICE_CALL_PICKUP = 6;

inline constexpr std::array<const char*, SOFTKEY_COUNT> kSoftKeyNames = {
    "SecondCall", "EndSecondCall", "Swap", "Conference", "FreqVocale", "CancelFreqVocale", "Transfer"};
inline constexpr std::array<const char*, LCDSTRING_COUNT> kLcdStringNames = {"HangUp", "CancelSecondCall",
                                                                             "Dial"};
inline constexpr std::array<const char*, SERVICECODE_COUNT> kServiceCodeNames = {
    "ForwardingImm",    "ForwardingBusy", "ForwardingNoRep", "ForwadingBusyNoRep",
    "CancelForwarding", "DTMF",           "CallPickUp"};

// No call waits for its caller: cref 0 is a call, so an entry is never 0
// by default.
inline constexpr std::array<int32_t, MAX_MULTILINE> kNoWaitingCalls = [] {
    std::array<int32_t, MAX_MULTILINE> none{};
    none.fill(-1);
    return none;
}();

// Display, soft-key, string and service-code tables (outside LineRecord).
struct SetTables {
    std::array<std::array<char, SOFTKEY_LABEL_LEN + 1>, SOFTKEY_COUNT> SoftKeyLabel;
    std::array<std::array<char, LCDSTRING_LEN + 1>, LCDSTRING_COUNT> LcdString;
    std::array<std::array<char, SERVICECODE_LEN + 1>, SERVICECODE_COUNT> ServiceCode;
    std::array<AomEntry, MAX_AOM> AomTable;
    std::array<int32_t, MAX_MULTILINE> WaitInfo = kNoWaitingCalls;
};

extern SetTables g_set;

// Line-wide settings that the configuration store fills.
struct LineSettings {
    bool SupervService;
    bool ExtPrefixDisp;
    int MaxDigitLocalCall;
    uint8_t TqlaVersion;
    bool StaticConfig;
    bool WaitDynamicConfig;
    std::array<char, 21> ExtPrefix;       // outside-line prefix
    std::array<char, 21> OperatorPrefix;  // added to incoming external numbers
    std::array<char, 40> Mcdu;            // the set's directory number
};

extern LineSettings g_lineSettings;

}  // namespace zq
