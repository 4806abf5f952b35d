// Every report to TAPI: request completion, line, address and call events,
// new calls, phone events.
#pragma once

#include <cstdint>

#include "zq/tapi.h"

namespace zq {

struct RunningOp {
    uint32_t runningOp = 0;  // request code waiting for the set; 0 none
    int32_t runningCref = -1;
    int32_t runningConsultCref = -1;
    int32_t lastHeldCref = -1;
};

extern RunningOp g_running;

inline constexpr uint32_t REQ_DROP = 3;
inline constexpr uint32_t REQ_BLINDTRANSFER = 7;
inline constexpr uint32_t REQ_SETUPTRANSFER = 19;

void ResetEventState();
// Completes a drop request running for this call: true when it did.
bool CompleteRunningDrop(int32_t cref);

// Takes an asynchronous request for a call (and its consultation call):
// LINEERR_RESOURCEUNAVAIL while another one is outstanding, else 0.
LONG TakeRequest(DRV_REQUESTID id, int32_t cref, int32_t consultcref);
// The outstanding request waits for the set to carry it out: a drop until
// its call is idle, a blind or setup transfer until the display or the
// icons show it done.
void StartRunning(uint32_t op, int32_t cref, int32_t consultcref);
// Completes the running request, its markers cleared first: TAPI may
// start the next request from inside the completion.
uint32_t CompleteRunning(LONG result);
// Completes the outstanding asynchronous request; returns its identifier,
// 0 when none was outstanding.
uint32_t SendCompletion(LONG result);
// cref -1: a line-level event; otherwise cref 0..19 or CONFREF, any other
// is dropped with a trace. CALLSTATE_REOFFER goes to TAPI as OFFERING.
LONG DoLineEvent(uint32_t dwMsg, DWORD_PTR dwParam1, DWORD_PTR dwParam2, int32_t cref);
void DoLineEventNewCall(int32_t cref);
void DoLineEventNewConf();
// PHONE_STATE, while the phone device is open.
void DoPhoneEvent(uint32_t dwParam1, uint32_t dwParam2);

}  // namespace zq
