#include "tapi/dispatch.h"

#include "callmodel/tables.h"
#include "core/lifecycle.h"
#include "core/line_record.h"
#include "core/trace.h"
#include "link/supervision.h"
#include "tapi/callcontrol.h"
#include "tapi/events.h"
#include "tapi/makecall.h"
#include "tapi/phone_requests.h"
#include "tapi/transfer.h"

namespace zq {

namespace {

// No worker: start it for the requests to come and refuse this one, which
// nothing would ever complete. The caller's hold on the line mutex is the
// same on return (StartSerialThread returns holding it).
LONG StartWorker(const char* text) {
    TspTrace(TRACE_ERROR, text);
    REL_LINE_MUTEX(0);
    StartSerialThread();
    return static_cast<LONG>(LINEERR_OPERATIONFAILED);
}

LONG Complete(LONG result) {
    return static_cast<LONG>(SendCompletion(result));
}

// A request the set carries out slowly: refused, it is completed with its
// error now; accepted, it runs until the set shows it done.
LONG Run(uint32_t op, LONG result, int32_t cref, int32_t consultcref) {
    if (result < 0)
        return Complete(result);
    StartRunning(op, cref, consultcref);
    return static_cast<LONG>(g_line.pendingReqId);
}

LONG Hand(uint32_t code, const char* negative) {
    const LONG result = DispatchRequest(code);
    if (result < 0)
        TspTrace(TRACE_ERROR, negative, result, code);
    return result;
}

}  // namespace

LONG appCall(int32_t cref, uint32_t code, DRV_REQUESTID dwRequestID) {
    TspTrace(TRACE_ERROR, "appCall cref %lx msg %d reqId %lx", cref, code, dwRequestID);
    if (g_provider.serialThread == nullptr)
        return StartWorker("appCall - Companion app has not yet been registered - Start it");
    const LONG taken = TakeRequest(dwRequestID, cref, -1);
    if (taken != 0)
        return taken;
    return Hand(code, "send message to companion thread result negative: %lx - msg:%x");
}

LONG appCallTransfer(int32_t cref, int32_t consultcref, uint32_t code, DRV_REQUESTID dwRequestID) {
    if (g_provider.serialThread == nullptr)
        return StartWorker("appCallTransfer - Companion app has not yet been registered - Start it");
    const LONG taken = TakeRequest(dwRequestID, cref, consultcref);
    if (taken != 0)
        return taken;
    return Hand(code, "send message to companion app result negative: %li");
}

LONG DispatchRequest(uint32_t code) {
    const int32_t cref = g_line.cref;
    // The set's configuration never came: the provider has stopped.
    const bool phone = code == REQ_PHONE_DISPLAY || code == REQ_PHONE_BUTTON;
    if (g_superv.stoppedConfigError || g_superv.stoppedNoConfig)
        return Complete(static_cast<LONG>(phone ? PHONEERR_NODEVICE : LINEERR_NODEVICE));
    if (!ValidCref(cref) && cref != CONFREF)
        return Complete(static_cast<LONG>(phone ? PHONEERR_OPERATIONFAILED : LINEERR_INVALCALLHANDLE));
    const int32_t consult = g_line.consultcref;
    switch (code) {
        case REQ_MAKECALL:
        case REQ_DIAL:
            TspTrace(TRACE_TSPI, "dial makecall");
            return Complete(MakeCallRequest(cref, code));
        case REQ_DROP: {
            const LONG result = DoClearCall(cref);
            TspTrace(TRACE_TSPI, "LineDrop Result:%lx", result);
            if (result < 0) {
                g_line.pendingReqId = 0;
                return result;
            }
            StartRunning(REQ_DROP, cref, -1);
            return static_cast<LONG>(g_line.pendingReqId);
        }
        case REQ_ANSWER:
            return Complete(DoAnswerCall(cref));
        case REQ_TRANSFER:
            return Complete(DoCompleteTransfer(cref, consult));
        case REQ_BLINDTRANSFER:
            TspTrace(TRACE_TSPI, "Blind Transfer call");
            return Run(REQ_BLINDTRANSFER, DoBlindTransfer(cref), cref, -1);
        case REQ_HOLD:
            return Complete(DoHoldCall(cref));
        case REQ_UNHOLD:
            return Complete(DoUnholdCall(cref));
        case REQ_GENERATEDIGITS:
            TspTrace(TRACE_TSPI, "GenerateDigits");
            return DoGenerateDigits(cref);
        case REQ_CONFERENCE:
            return Complete(DoConference(cref, consult));
        case REQ_FWD_UNCOND:
        case REQ_FWD_BUSY:
        case REQ_FWD_NOANSW:
        case REQ_FWD_BUSYNA:
            return Complete(DoForward(code));
        case REQ_FWD_CANCEL:
            return Complete(DoCancelForward());
        case REQ_PICKUP:
            return Complete(DoPickup(cref));
        case REQ_SETUPTRANSFER:
            return Run(REQ_SETUPTRANSFER, DoSetupTransfer(cref, consult), cref, consult);
        case REQ_PHONE_DISPLAY:
            DoGetDisplay();
            return 0;
        case REQ_PHONE_BUTTON:
            return Complete(DoPressButton());
        default:
            return Complete(static_cast<LONG>(LINEERR_OPERATIONUNAVAIL));
    }
}

}  // namespace zq
