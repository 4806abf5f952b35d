// Requests from TAPI handed to the call-control procedures: one
// asynchronous request at a time, completed at once or, for those the set
// carries out slowly, when the set shows them done.
#pragma once

#include <cstdint>

#include "core/line_record.h"
#include "zq/tapi.h"

namespace zq {

// Request codes; REQ_DROP, REQ_BLINDTRANSFER and REQ_SETUPTRANSFER, which
// stay running, are with the events.
inline constexpr uint32_t REQ_MAKECALL = 1;
inline constexpr uint32_t REQ_DIAL = 2;
inline constexpr uint32_t REQ_ANSWER = 5;
inline constexpr uint32_t REQ_TRANSFER = 6;
inline constexpr uint32_t REQ_HOLD = 8;
inline constexpr uint32_t REQ_UNHOLD = 9;
inline constexpr uint32_t REQ_GENERATEDIGITS = 10;
inline constexpr uint32_t REQ_CONFERENCE = 11;
inline constexpr uint32_t REQ_FWD_UNCOND = 12;
inline constexpr uint32_t REQ_FWD_CANCEL = 13;
inline constexpr uint32_t REQ_FWD_BUSY = 15;
inline constexpr uint32_t REQ_FWD_NOANSW = 16;
inline constexpr uint32_t REQ_FWD_BUSYNA = 17;
inline constexpr uint32_t REQ_PICKUP = 18;
inline constexpr uint32_t REQ_PHONE_DISPLAY = 20;
inline constexpr uint32_t REQ_PHONE_BUTTON = 21;

// A LINEERR_ or PHONEERR_ code as the LONG TAPI gets.
inline LONG Err(uint32_t code) {
    return static_cast<LONG>(code);
}
// The state and the key of call record cref (0..19, checked by the caller).
inline uint32_t& StateOf(int32_t cref) {
    return g_line.calls.lineCallState[static_cast<size_t>(cref)];
}
inline uint32_t KeyOf(int32_t cref) {
    return g_line.calls.Touch[static_cast<size_t>(cref)];
}

// Takes the request for cref and carries it out: a negative LINEERR_ value
// when it was refused and will never be completed, else the request ID
// completed or still running.
LONG appCall(int32_t cref, uint32_t code, DRV_REQUESTID dwRequestID);
// The same for a request on two calls.
LONG appCallTransfer(int32_t cref, int32_t consultcref, uint32_t code, DRV_REQUESTID dwRequestID);
// Carries out the request now outstanding (its cref in the line record).
LONG DispatchRequest(uint32_t code);
// What an asynchronous TSPI function returns for appCall's result.
inline LONG RequestReturn(LONG result, DRV_REQUESTID dwRequestID) {
    return result < 0 ? result : static_cast<LONG>(dwRequestID);
}

}  // namespace zq
