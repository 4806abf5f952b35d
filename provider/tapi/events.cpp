#include "tapi/events.h"

#include "core/line_record.h"
#include "core/trace.h"

namespace zq {

RunningOp g_running;

void ResetEventState() {
    g_running = RunningOp{};
}

LONG TakeRequest(DRV_REQUESTID id, int32_t cref, int32_t consultcref) {
    if (g_line.pendingReqId != 0) {
        TspTrace(TRACE_TSPI, "can't do two async requests at the same time!");
        return LINEERR_RESOURCEUNAVAIL;
    }
    g_line.pendingReqId = id;
    g_line.cref = cref;
    g_line.consultcref = consultcref;
    return 0;
}

void StartRunning(uint32_t op, int32_t cref, int32_t consultcref) {
    g_running.runningOp = op;
    g_running.runningCref = cref;
    g_running.runningConsultCref = consultcref;
}

uint32_t CompleteRunning(LONG result) {
    g_running.runningOp = 0;
    g_running.runningCref = -1;
    g_running.runningConsultCref = -1;
    return SendCompletion(result);
}

uint32_t SendCompletion(LONG result) {
    const uint32_t id = g_line.pendingReqId;
    if (id == 0)
        return 0;
    TspTrace(TRACE_TSPI, "SendCompletion:%lx, res:%lx", id, result);
    g_line.pendingReqId = 0;
    if (g_line.lpfnCompletionProc != nullptr)
        g_line.lpfnCompletionProc(id, result);
    return id;
}

LONG DoLineEvent(uint32_t dwMsg, DWORD_PTR dwParam1, DWORD_PTR dwParam2, int32_t cref) {
    TspTrace(TRACE_CALL, "LinEv cref=%d, ev:%0lx,val%0lx,mod=%0lx", cref, dwMsg, dwParam1, dwParam2);
    if (g_line.lpfnEventProc == nullptr)
        return 0;
    if (cref != -1 && cref != CONFREF && (cref < 0 || cref >= MAX_CALLS)) {
        TspTrace(TRACE_ERROR, "LinEv cref=%d impossible - non transmis", cref);
        return 0;
    }
    TspTrace(TRACE_CALL, "LineEvent send");
    if (cref == -1) {
        const bool reinit = dwMsg == LINE_LINEDEVSTATE && dwParam1 == LINEDEVSTATE_REINIT;
        g_line.lpfnEventProc(reinit ? nullptr : g_line.htLine, nullptr, dwMsg, dwParam1, dwParam2, 0);
        return 0;
    }
    if (dwMsg == LINE_CALLSTATE && dwParam1 == CALLSTATE_REOFFER)
        dwParam1 = LINECALLSTATE_OFFERING;
    if (dwMsg == LINE_CALLSTATE && dwParam1 == LINECALLSTATE_ONHOLD) {
        g_running.lastHeldCref = cref;
        if (g_running.runningOp == REQ_SETUPTRANSFER && g_running.runningCref == cref)
            dwParam1 = LINECALLSTATE_ONHOLDPENDTRANSFER;
    }
    const HTAPICALL htCall = cref == CONFREF ? g_line.htConfCall : g_line.htCall[static_cast<size_t>(cref)];
    if (htCall == nullptr && cref != CONFREF && g_line.ClosedByTapi[static_cast<size_t>(cref)]) {
        TspTrace(TRACE_CALL, "LinEv cref=%d closed by TAPI - non transmis", cref);
        return 0;
    }
    g_line.lpfnEventProc(g_line.htLine, htCall, dwMsg, dwParam1, dwParam2, LINEMEDIAMODE_INTERACTIVEVOICE);
    if (dwMsg == LINE_CALLSTATE && dwParam1 == LINECALLSTATE_IDLE)
        return CompleteRunningDrop(cref) ? -1 : cref;
    return 0;
}

bool CompleteRunningDrop(int32_t cref) {
    if (cref != g_running.runningCref || g_running.runningOp != REQ_DROP)
        return false;
    TspTrace(TRACE_CALL, "lineDrop Running cref %04x => LINE_REPLY OK", cref);
    CompleteRunning(0);
    return true;
}

void DoLineEventNewCall(int32_t cref) {
    if (g_line.lpfnEventProc == nullptr || cref < 0 || cref >= MAX_CALLS)
        return;
    TspTrace(TRACE_CALL, "DoLineEventNewCall send cref:%d", cref);
    HTAPICALL& slot = g_line.htCall[static_cast<size_t>(cref)];
    slot = nullptr;
    g_line.ClosedByTapi[static_cast<size_t>(cref)] = false;
    g_line.lpfnEventProc(g_line.htLine, nullptr, LINE_NEWCALL, static_cast<DWORD_PTR>(cref),
                         reinterpret_cast<DWORD_PTR>(&slot), 0);
}

void DoLineEventNewConf() {
    if (g_line.lpfnEventProc == nullptr)
        return;
    TspTrace(TRACE_CALL, "DoLineEventNewConf send");
    g_line.htConfCall = nullptr;
    g_line.lpfnEventProc(g_line.htLine, nullptr, LINE_NEWCALL, CONFREF,
                         reinterpret_cast<DWORD_PTR>(&g_line.htConfCall), 0);
}

void DoPhoneEvent(uint32_t dwParam1, uint32_t dwParam2) {
    if (g_line.lpfnPhoneEventProc == nullptr || !g_line.phoneOpen)
        return;
    g_line.lpfnPhoneEventProc(g_line.htPhone, PHONE_STATE, dwParam1, dwParam2, 0);
}

}  // namespace zq
