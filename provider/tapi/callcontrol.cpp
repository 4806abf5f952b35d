#include "tapi/callcontrol.h"

#include <array>
#include <cstddef>
#include <span>

#include "callmodel/calls.h"
#include "callmodel/display.h"
#include "callmodel/tables.h"
#include "core/lifecycle.h"
#include "core/line_record.h"
#include "core/trace.h"
#include "tapi/callinfo.h"
#include "tapi/dispatch.h"
#include "tapi/events.h"
#include "tapi/keys.h"

namespace zq {

namespace {

constexpr int SOFTKEY_POS_DROP_ACTIVE = 1;
constexpr int SOFTKEY_POS_SWAP = 2;
constexpr int SOFTKEY_POS_CONF_DROP_LAST = 3;

// Nothing half sent: a press the queue cannot take fails the request.
LONG Press(const KeyItem& item) {
    const std::array<KeyItem, 1> items{item};
    return SendKeySequence(items) ? 0 : Err(LINEERR_OPERATIONFAILED);
}

LONG PressCallKey(int32_t cref) {
    return Press(KeyPress(static_cast<int>(KeyOf(cref))));
}

// The other call on a key, -1 when the key holds no other.
int OtherCallOnKey(int key, int32_t cref) {
    if (!ValidKey(static_cast<uint32_t>(key)))
        return -1;
    for (int slot = 0; slot < 2; ++slot) {
        const int other = SlotCall(static_cast<uint32_t>(key), slot);
        if (other >= 0 && other != cref)
            return other;
    }
    return -1;
}

bool ActiveKeyHolds(uint32_t state) {
    const auto key = static_cast<uint32_t>(g_calls.ActivCallTouch);
    return ValidKey(key) && SearchState(key, state) >= 0;
}

// Two calls on the active key: the soft key drops the active one and the
// set takes back the held one.
LONG DropActiveOfTwo() {
    if (!ActiveKeyHolds(LINECALLSTATE_ONHOLD)) {
        TspTrace(TRACE_TSPI, "On ne peut pas raccrocher l'appel");
        return Err(LINEERR_INVALCALLSTATE);
    }
    const LONG result = Press(SoftKeyPress(SOFTKEY_POS_DROP_ACTIVE));
    if (result == 0)
        g_calls.DropActiveReq = true;
    return result;
}

LONG ClearConference() {
    TspTrace(TRACE_TSPI, "DoClearCall  confState %lx", g_line.ConfState);
    if (g_line.ConfState != LINECALLSTATE_CONNECTED)
        return Err(LINEERR_INVALCALLSTATE);
    const int position = SoftKeyPosition(SK_TRANSFER);
    if (position == 0)
        return Err(LINEERR_OPERATIONUNAVAIL);
    TspTrace(TRACE_TSPI, "DoClearCall sur Conf -> Transfert");
    return Press(SoftKeyPress(position));
}

bool ProceedingOnMultiline() {
    const auto& list = g_line.lists.MultiLineKeys;
    for (int i = 0; i < list.count && i < static_cast<int>(list.keys.size()); ++i) {
        if ((KeyStates(list.keys[static_cast<size_t>(i)]) & LINECALLSTATE_PROCEEDING) != 0)
            return true;
    }
    return false;
}

}  // namespace

LONG DoAnswerCall(int32_t cref) {
    TspTrace(TRACE_TSPI, "Answer");
    const uint32_t key = KeyOf(cref);
    const LONG result = PressCallKey(cref);
    if (result == 0 && ValidKey(key) && g_line.TouchTable[key].Kind == KEY_SUPERV)
        g_calls.SupervPickupCref = cref;
    return result;
}

LONG DoClearCall(int32_t cref) {
    TspTrace(TRACE_TSPI, "Drop call cref %d ReqId %lx", cref, g_line.pendingReqId);
    if (cref == CONFREF)
        return ClearConference();
    switch (StateOf(cref)) {
        case 0:
        case LINECALLSTATE_IDLE:
            return Err(LINEERR_INVALCALLSTATE);
        case LINECALLSTATE_CONNECTED:
            TspTrace(TRACE_TSPI, "DoClearCall - La ligne a deconnecter est CONNECTED");
            if (!g_calls.DbCall)
                return Press(FunctionPress(KEY_CODE_RELEASE));
            TspTrace(TRACE_TSPI, "On a 2 appels sur une ligne : 1 CONNECTED / 1 ONHOLD");
            return DropActiveOfTwo();
        case LINECALLSTATE_PROCEEDING:
            TspTrace(TRACE_TSPI, "La ligne a deconnecter est PROCEEDING");
            if (!g_calls.DbCall) {
                TspTrace(TRACE_TSPI, "pas d'autre appel en cours -> raccrochage");
                return Press(FunctionPress(KEY_CODE_RELEASE));
            }
            TspTrace(TRACE_TSPI, "On a 2 appels sur une ligne : 1 PROCEEDING / 1 ONHOLD");
            return DropActiveOfTwo();
        case LINECALLSTATE_ONHOLD:
            TspTrace(TRACE_TSPI, "La ligne a déconnecter est ONHOLD - impossible");
            return Err(LINEERR_INVALCALLSTATE);
        case LINECALLSTATE_CONFERENCED:
            TspTrace(TRACE_TSPI,
                     "La ligne à deconnecter est CONFERENCED - Libération du dernier appel arrivé en conf");
            if (g_calls.ConfBroken || g_calls.ConfRef2 != cref)
                return Err(LINEERR_INVALCALLSTATE);
            return Press(SoftKeyPress(SOFTKEY_POS_CONF_DROP_LAST));
        case LINECALLSTATE_DISCONNECTED:
            TspTrace(TRACE_TSPI, "DoClearCall - La ligne a deconnecter est DISCONNECTED");
            if (static_cast<int>(KeyOf(cref)) == g_calls.ActivCallTouch)
                return Press(FunctionPress(KEY_CODE_RELEASE));
            return 0;
        default:
            // Offering, dial tone, dialling: the set ends them itself.
            return 0;
    }
}

LONG DoHoldCall(int32_t cref) {
    TspTrace(TRACE_TSPI, "hold call:%d", cref);
    if (StateOf(cref) != LINECALLSTATE_CONNECTED)
        return Err(LINEERR_INVALCALLSTATE);
    if (!g_calls.DbCall)
        return PressCallKey(cref);
    // Two calls on the active key: the soft key swaps them, and the icons
    // will not show it.
    const int other = OtherCallOnKey(g_calls.ActivCallTouch, cref);
    const LONG result = Press(SoftKeyPress(SOFTKEY_POS_SWAP));
    if (result != 0)
        return result;
    TspTrace(TRACE_TSPI, "Icone:%d  - Etat:ONHOLD - Ref:%d", g_calls.ActivCallTouch, cref);
    ReportState(cref, LINECALLSTATE_ONHOLD);
    if (other >= 0) {
        TspTrace(TRACE_TSPI, "Icone:%d  - Etat:CONNECTED - Ref:%d", g_calls.ActivCallTouch, other);
        ReportState(other, LINECALLSTATE_CONNECTED);
    }
    return 0;
}

LONG DoUnholdCall(int32_t cref) {
    TspTrace(TRACE_TSPI, "Unhold call:%d", cref);
    if (StateOf(cref) != LINECALLSTATE_ONHOLD)
        return Err(LINEERR_INVALCALLSTATE);
    if (!g_calls.DbCall) {
        if (ProceedingOnMultiline())
            return Err(LINEERR_OPERATIONFAILED);
        return PressCallKey(cref);
    }
    if (static_cast<int>(KeyOf(cref)) != g_calls.ActivCallTouch)
        return Err(LINEERR_OPERATIONFAILED);
    const int other = OtherCallOnKey(g_calls.ActivCallTouch, cref);
    if (other < 0 || StateOf(other) != LINECALLSTATE_CONNECTED)
        return Err(LINEERR_INVALCALLSTATE);
    if (!Announced(cref)) {
        TspTrace(TRACE_TSPI, "DoUnholdCall - Pb d'état...Incohérence");
        return Err(LINEERR_OPERATIONFAILED);
    }
    const LONG result = Press(SoftKeyPress(SOFTKEY_POS_SWAP));
    if (result != 0)
        return result;
    ReportState(other, LINECALLSTATE_ONHOLD);
    ReportState(cref, LINECALLSTATE_CONNECTED);
    return 0;
}

}  // namespace zq

using namespace zq;

namespace {

// The call of hdCall, when it is a call record (CONFREF refused).
bool CallRecordOf(HDRVCALL hdCall, int32_t& cref) {
    cref = CrefOfHandle(hdCall);
    return ValidCref(cref);
}

// A drop of a call already idle is done: completed by its own request ID,
// whatever other request is outstanding.
LONG CompleteDropAtOnce(DRV_REQUESTID dwRequestID) {
    const uint32_t outstanding = g_line.pendingReqId;
    g_line.pendingReqId = dwRequestID;
    SendCompletion(0);
    g_line.pendingReqId = outstanding;
    return static_cast<LONG>(dwRequestID);
}

}  // namespace

extern "C" {

LONG WINAPI TSPI_lineAnswer(DRV_REQUESTID dwRequestID, HDRVCALL hdCall, LPCSTR, DWORD) {
    WAITLINEMUTEX();
    int32_t cref = 0;
    const bool valid = CallRecordOf(hdCall, cref);
    TspTrace(TRACE_TSPI, "Entering TSPI_lineAnswer cref:%d", cref);
    if (!valid)
        return REL_LINE_MUTEX(Err(LINEERR_INVALCALLHANDLE));
    const uint32_t state = StateOf(cref);
    if (state != LINECALLSTATE_OFFERING && state != CALLSTATE_REOFFER)
        return REL_LINE_MUTEX(Err(LINEERR_INVALCALLSTATE));
    return REL_LINE_MUTEX(RequestReturn(appCall(cref, REQ_ANSWER, dwRequestID), dwRequestID));
}

LONG WINAPI TSPI_lineDrop(DRV_REQUESTID dwRequestID, HDRVCALL hdCall, LPCSTR, DWORD) {
    WAITLINEMUTEX();
    const int32_t cref = CrefOfHandle(hdCall);
    TspTrace(TRACE_TSPI, "Entering TSPI_lineDrop hdcall(%lx,%lx,%lx,%lx)", dwRequestID, hdCall, cref,
             g_line.pendingReqId);
    if (cref == CONFREF) {
        TspTrace(TRACE_TSPI, "Drop conference");
        return REL_LINE_MUTEX(RequestReturn(appCall(CONFREF, REQ_DROP, dwRequestID), dwRequestID));
    }
    if (!ValidCref(cref))
        return REL_LINE_MUTEX(Err(LINEERR_INVALCALLHANDLE));
    const uint32_t state = StateOf(cref);
    if (state == LINECALLSTATE_IDLE)
        return REL_LINE_MUTEX(CompleteDropAtOnce(dwRequestID));
    if (state == 0) {
        TspTrace(TRACE_TSPI, "Quit TSPI_lineDrop:dwRequestID:%lx, cref:%d", dwRequestID, cref);
        return REL_LINE_MUTEX(Err(LINEERR_OPERATIONFAILED));
    }
    return REL_LINE_MUTEX(RequestReturn(appCall(cref, REQ_DROP, dwRequestID), dwRequestID));
}

// A hold or unhold with nothing to do is refused at once, so that TAPI is
// never left waiting for a completion that will not come.
LONG WINAPI TSPI_lineHold(DRV_REQUESTID dwRequestID, HDRVCALL hdCall) {
    WAITLINEMUTEX();
    int32_t cref = 0;
    const bool valid = CallRecordOf(hdCall, cref);
    TspTrace(TRACE_TSPI, "Entering TSPI_lineHold hdcall(%lx,%lx)", dwRequestID, hdCall);
    if (!valid)
        return REL_LINE_MUTEX(Err(LINEERR_INVALCALLHANDLE));
    const uint32_t state = StateOf(cref);
    if (state == 0 || state == LINECALLSTATE_ONHOLD) {
        TspTrace(TRACE_TSPI, "End of TSPI_lineHold:dwRequestID:%d, cref:%d", dwRequestID, cref);
        return REL_LINE_MUTEX(Err(LINEERR_INVALCALLSTATE));
    }
    return REL_LINE_MUTEX(RequestReturn(appCall(cref, REQ_HOLD, dwRequestID), dwRequestID));
}

LONG WINAPI TSPI_lineUnhold(DRV_REQUESTID dwRequestID, HDRVCALL hdCall) {
    WAITLINEMUTEX();
    int32_t cref = 0;
    const bool valid = CallRecordOf(hdCall, cref);
    TspTrace(TRACE_TSPI, "Entering TSPI_lineUnhold hdcall(%lx,%lx)", dwRequestID, hdCall);
    if (!valid)
        return REL_LINE_MUTEX(Err(LINEERR_INVALCALLHANDLE));
    if (StateOf(cref) == 0) {
        TspTrace(TRACE_TSPI, "Quit TSPI_lineUnhold:dwRequestID:%d, cref:%d", dwRequestID, cref);
        return REL_LINE_MUTEX(Err(LINEERR_INVALCALLSTATE));
    }
    return REL_LINE_MUTEX(RequestReturn(appCall(cref, REQ_UNHOLD, dwRequestID), dwRequestID));
}

}  // extern "C"
