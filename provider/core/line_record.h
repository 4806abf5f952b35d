// The provider's one line record. Its address is the hdLine and the hdPhone
// handed to TAPI; its first field is the line device identifier.
#pragma once

#include <array>
#include <cstdint>

#include "callmodel/tables.h"
#include "zq/tapi.h"

namespace zq {

inline constexpr int PORT_NAME_SIZE = 40;

struct DialSettings {
    uint32_t DialPause;
    uint32_t DialSpeed;
    uint32_t DigitDuration;
    uint32_t WaitForDialtone;
};

struct LineRecord {
    uint32_t dwDeviceID;
    uint32_t dwPhoneDeviceID;
    uint32_t PermanentProviderID;
    HPROVIDER hProvider;
    ASYNC_COMPLETION lpfnCompletionProc;
    HTAPILINE htLine;
    LINEEVENT lpfnEventProc;
    HTAPIPHONE htPhone;
    PHONEEVENT lpfnPhoneEventProc;
    bool phoneOpen;
    DialSettings dial;
    uint8_t lineDevState;  // 1 initialised, 2 in service, 0 out of service
    // One media mode and one application value for every call on the line.
    uint32_t dwMediaMode = LINEMEDIAMODE_INTERACTIVEVOICE;
    uint32_t dwAppSpecific;

    std::array<char, PORT_NAME_SIZE> PortName;
    std::array<char, PORT_NAME_SIZE> Speed;
    std::array<WCHAR, 40> LineName;
    std::array<char, PORT_NAME_SIZE> Address;

    // Calls and keys.
    CallTable calls;
    uint32_t ConfState;
    std::array<HTAPICALL, MAX_CALLS> htCall;
    HTAPICALL htConfCall;
    CallStrings strings;
    TouchTableArray TouchTable;
    KeyLists lists;
    uint8_t EnqCallMode;
    // PHONELAMPMODE_ of the set's lamps 0..19, for the phone device.
    std::array<uint32_t, 20> LampMode;

    // The one outstanding asynchronous request.
    uint32_t pendingReqId;
    int32_t cref;
    int32_t consultcref;
    // Strings of line-wide requests, NUL-terminated.
    std::array<char, CALL_STRING_SIZE> ForwardAddress;
    std::array<char, CALL_STRING_SIZE> PickupAddress;
    // Records TAPI holds a handle for before the set shows their call (a
    // deferred make call, a consultation call, a pickup): no incoming call
    // may take them.
    std::array<bool, MAX_CALLS> ReservedByTapi;
    // Handles TAPI has closed: their records get no events until TAPI has
    // a new handle for them.
    std::array<bool, MAX_CALLS> ClosedByTapi;
    // Phone requests: the caller's display VARSTRING, the button pressed.
    LPVARSTRING phoneDisplay;
    uint32_t buttonMode;
    uint32_t buttonId;
};

extern LineRecord g_line;

inline HDRVLINE LineHandle() {
    return reinterpret_cast<HDRVLINE>(&g_line);
}
inline HDRVPHONE PhoneHandle() {
    return reinterpret_cast<HDRVPHONE>(&g_line);
}

}  // namespace zq
