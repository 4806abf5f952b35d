#include "tapi/dispatch.h"

#include "callmodel/tables.h"
#include "core/lifecycle.h"
#include "core/line_record.h"
#include "core/trace.h"
#include "link/supervision.h"
#include "tapi/callcontrol.h"
#include "tapi/events.h"

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
    if (g_superv.stoppedConfigError || g_superv.stoppedNoConfig)
        return static_cast<LONG>(SendCompletion(static_cast<LONG>(LINEERR_NODEVICE)));
    if (!ValidCref(cref) && cref != CONFREF)
        return static_cast<LONG>(SendCompletion(static_cast<LONG>(LINEERR_INVALCALLHANDLE)));
    switch (code) {
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
            return static_cast<LONG>(SendCompletion(DoAnswerCall(cref)));
        case REQ_HOLD:
            return static_cast<LONG>(SendCompletion(DoHoldCall(cref)));
        case REQ_UNHOLD:
            return static_cast<LONG>(SendCompletion(DoUnholdCall(cref)));
        default:
            return static_cast<LONG>(SendCompletion(static_cast<LONG>(LINEERR_OPERATIONUNAVAIL)));
    }
}

}  // namespace zq
