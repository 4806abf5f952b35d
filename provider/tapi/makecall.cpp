#include "tapi/makecall.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <string_view>

#include "callmodel/calls.h"
#include "callmodel/display.h"
#include "callmodel/tables.h"
#include "core/config.h"
#include "core/lifecycle.h"
#include "core/line_record.h"
#include "core/trace.h"
#include "link/receive.h"
#include "link/serial_link.h"
#include "link/supervision.h"
#include "tapi/callinfo.h"
#include "tapi/dispatch.h"
#include "tapi/events.h"
#include "tapi/keys.h"
#include "tapi/queries.h"
#include "tapi/varpart.h"

namespace zq {

bool g_dialToneReport = true;

// TAPI 2.0 ends the call parameters with the calling party ID.
static_assert(offsetof(LINECALLPARAMS, dwCallingPartyIDOffset) + sizeof(DWORD) == LINECALLPARAMS_FIXED_SIZE);

namespace {

constexpr int TRACE_WAIT_MAKECALL = 70;

bool AnyCallIn(uint32_t state) {
    return std::find(g_line.calls.lineCallState.begin(), g_line.calls.lineCallState.end(), state) !=
           g_line.calls.lineCallState.end();
}

int FirstCallIn(uint32_t state) {
    for (int cref = 0; cref < MAX_CALLS; ++cref)
        if (StateOf(cref) == state)
            return cref;
    return -1;
}

bool KeyFree(uint32_t key) {
    return ValidKey(key) && g_line.TouchTable[key].CrefSlot[0] == -1 &&
           g_line.TouchTable[key].CrefSlot[1] == -1;
}

std::string_view LabelOf(uint32_t key) {
    return ValidKey(key) ? TextOf(g_line.TouchTable[key].Label) : std::string_view{};
}

template <typename List>
std::span<const uint32_t> Keys(const List& list) {
    const auto size = static_cast<int>(list.keys.size());
    return std::span<const uint32_t>(list.keys).first(static_cast<size_t>(std::clamp(list.count, 0, size)));
}

// A make call that could not go out. One TAPI was told had started (a
// deferred make call, completed already) ends IDLE; one whose request now
// fails never existed for TAPI, so its handle gets no event.
LONG EndMakeCall(int32_t cref, uint32_t code, bool deferred, LONG result) {
    if (code != REQ_MAKECALL)
        return result;
    const auto i = static_cast<size_t>(cref);
    StateOf(cref) = LINECALLSTATE_IDLE;
    g_line.ReservedByTapi[i] = false;
    if (deferred) {
        DoLineEvent(LINE_CALLSTATE, LINECALLSTATE_IDLE, 0, cref);
    } else {
        g_line.htCall[i] = nullptr;
        g_line.ClosedByTapi[i] = true;
    }
    return result;
}

// TAPI's dial strings: '?' asks the user, '$' waits for the billing tone;
// the set can do neither.
LONG CheckDialString(std::string_view dest) {
    const size_t stop = dest.find_first_of("?$");
    if (stop == std::string_view::npos)
        return 0;
    return dest[stop] == '$' ? Err(LINEERR_DIALBILLING) : Err(LINEERR_DIALPROMPT);
}

uint32_t Bounded(uint32_t value, uint32_t zero, uint32_t low, uint32_t high) {
    if (value == 0)
        return zero;
    return std::clamp(value, low, high);
}

void StoreDialParams(const LINEDIALPARAMS& p) {
    g_line.dial.DialPause = p.dwDialPause == 0 ? 2000 : std::min<uint32_t>(p.dwDialPause, 255000);
    g_line.dial.DialSpeed = Bounded(p.dwDialSpeed, 95, 50, 255);
    g_line.dial.DigitDuration = Bounded(p.dwDigitDuration, 95, 50, 255);
    g_line.dial.WaitForDialtone = Bounded(p.dwWaitForDialtone, 60000, 1000, 255000);
}

// The caller's call parameters, read no further than their dwTotalSize.
LONG CheckCallParams(LPLINECALLPARAMS lpCallParams) {
    DWORD total = 0;
    std::memcpy(&total, lpCallParams, sizeof total);
    if (total < LINECALLPARAMS_FIXED_SIZE)
        return Err(LINEERR_STRUCTURETOOSMALL);
    LINECALLPARAMS params{};
    std::memcpy(&params, lpCallParams, std::min<size_t>(sizeof params, LINECALLPARAMS_FIXED_SIZE));
    TspTrace(TRACE_TSPI, "lpCallParams dwAddressMode %d dwAddressID %d", params.dwAddressMode,
             params.dwAddressID);
    if (params.dwBearerMode != LINEBEARERMODE_VOICE) {
        TspTrace(TRACE_TSPI, "DialMakeCall impossible - LINEERR_INVALBEARERMODE");
        return Err(LINEERR_INVALBEARERMODE);
    }
    if (params.dwMediaMode != LINEMEDIAMODE_INTERACTIVEVOICE) {
        TspTrace(TRACE_TSPI, "DialMakeCall impossible - LINEERR_INVALMEDIAMODE");
        return Err(LINEERR_INVALMEDIAMODE);
    }
    if ((params.dwCallParamFlags & ~(LINECALLPARAMFLAGS_IDLE | LINECALLPARAMFLAGS_BLOCKID)) != 0) {
        TspTrace(TRACE_TSPI, "DialMakeCall impossible - LINEERR_INVALCALLPARAMS");
        return Err(LINEERR_INVALCALLPARAMS);
    }
    StoreDialParams(params.DialParams);
    return 0;
}

// The number as it is dialled: from the first digit, '*' or '#' on; a
// single character must be a digit.
LONG StoreDestination(int32_t cref, std::string_view dest) {
    CallString& stored = g_line.strings.DestAddress[static_cast<size_t>(cref)];
    if (dest.empty())
        return Err(LINEERR_INVALADDRESS);
    if (dest.size() == 1) {
        if (!IsDigit(static_cast<uint8_t>(dest[0])))
            return Err(LINEERR_INVALADDRESS);
        TspTrace(TRACE_TSPI, "lineMakeCall - lpszDestAddress:%s", dest);
    } else {
        TspTrace(TRACE_TSPI, "lineMakeCall -     DestAddress :'%s'", dest);
        const size_t start = dest.find_first_of("0123456789*#");
        dest = start == std::string_view::npos ? std::string_view{} : dest.substr(start);
    }
    CopyText(stored, dest);
    return 0;
}

// FindFreeMultiLine: the line key for a new call, -1 when none is free.
int FindFreeMultiLine() {
    const auto multi = Keys(g_line.lists.MultiLineKeys);
    const auto firstFreeLabelled = [&](std::string_view label) -> int {
        for (const uint32_t key : multi)
            if (KeyFree(key) && LabelOf(key) == label)
                return static_cast<int>(key);
        return -1;
    };
    if (const int connected = FirstCallIn(LINECALLSTATE_CONNECTED); connected >= 0) {
        const uint32_t key = g_line.calls.Touch[static_cast<size_t>(connected)];
        if (const int found = ValidKey(key) ? firstFreeLabelled(LabelOf(key)) : -1; found >= 0) {
            TspTrace(TRACE_CALL, "FindFreeMultiLine tou %d (type analogue a cref %04x CONNECTED)", found,
                     connected);
            return found;
        }
    }
    if (const std::string_view own = TextOf(g_lineSettings.Mcdu); !own.empty()) {
        if (const int found = firstFreeLabelled(own); found >= 0) {
            TspTrace(TRACE_CALL, "FindFreeMultiLine tou %d (mcdu principal)", found);
            return found;
        }
    }
    for (const uint32_t key : multi) {
        if (KeyFree(key)) {
            TspTrace(TRACE_CALL, " pas de tou mcdu principal libre, rech tou mcdu secondaire");
            TspTrace(TRACE_CALL, "FindFreeMultiLine tou %d (mcdu secondaire)", key);
            return static_cast<int>(key);
        }
    }
    TspTrace(TRACE_CALL, " pas de tou mcdu principal libre, ni tou mcdu secondaire libre");
    return -1;
}

// FindTouPatSec: a free boss or secretary key labelled with the number.
int FindTouPatSec(std::string_view dest) {
    if (dest.empty())
        return -1;
    for (const uint32_t key : Keys(g_line.lists.PatronKeys)) {
        if (KeyFree(key) && LabelOf(key) == dest) {
            TspTrace(TRACE_CALL, "Tou Pat '%s' libre trouve tou %d", dest, key);
            return static_cast<int>(key);
        }
    }
    for (const uint32_t key : Keys(g_line.lists.SecretaireKeys)) {
        if (KeyFree(key) && LabelOf(key) == dest) {
            TspTrace(TRACE_CALL, "Tou Sec '%s' libre trouve tou %d", dest, key);
            return static_cast<int>(key);
        }
    }
    return -1;
}

}  // namespace

int FreeCallRecord() {
    const auto takes = [](int cref) {
        const uint32_t state = StateOf(cref);
        return (state == 0 || state == LINECALLSTATE_IDLE || state == LINECALLSTATE_DIALTONE) &&
               !g_line.ReservedByTapi[static_cast<size_t>(cref)];
    };
    for (int cref = 0; cref < MAX_CALLS; ++cref) {
        if (takes(cref) && (StateOf(cref) == LINECALLSTATE_DIALTONE || !HeldByTapi(cref)))
            return cref;
        if (!takes(cref))
            TspTrace(TRACE_TSPI, "lineCallState[%d]:%lx", cref, StateOf(cref));
    }
    for (int cref = 0; cref < MAX_CALLS; ++cref)
        if (takes(cref))
            return cref;
    return -1;
}

LONG MakeCallRequest(int32_t cref, uint32_t code) {
    if (g_lineSettings.StaticConfig) {
        g_superv.deferredMakeCall = true;
        g_superv.crefRequestMakeCall = cref;
        TspTrace(TRACE_TSPI, "dial makecall STATIC_CONFIG crefRequestMakeCall %lx", cref);
        return 0;
    }
    if (g_lineSettings.WaitDynamicConfig) {
        TspTrace(TRACE_TSPI, "dial makecall WaitDynamicConfig");
        if (code == REQ_MAKECALL)
            g_line.ReservedByTapi[static_cast<size_t>(cref)] = false;
        return Err(LINEERR_OPERATIONFAILED);
    }
    const LONG result = DoMakeCall(cref, code, false);
    TspTrace(TRACE_TSPI, "dial makecall DoMakeCall res %d", result);
    if (result == 0) {
        g_superv.progressReport = true;
        g_superv.progressCref = cref;
        g_dialToneReport = code == REQ_MAKECALL;
    }
    return result;
}

LONG DoMakeCall(int32_t cref, uint32_t code, bool deferred) {
    if (!ValidCref(cref))
        return Err(LINEERR_INVALCALLHANDLE);
    if (g_port.openFailed)
        return EndMakeCall(cref, code, deferred, Err(LINEERR_OPERATIONUNAVAIL));
    if (AnyCallIn(LINECALLSTATE_PROCEEDING) || AnyCallIn(LINECALLSTATE_DISCONNECTED)) {
        TspTrace(TRACE_CALL, "un appel sortant est en cours d'init on ne peut pas générer un nouvel appel");
        return EndMakeCall(cref, code, deferred, Err(LINEERR_OPERATIONFAILED));
    }
    bool dialSameLine = false;
    if (g_calls.DbCall || code == REQ_DIAL) {
        if (!AnyCallIn(LINECALLSTATE_DIALTONE)) {
            TspTrace(TRACE_CALL, "DoMakeCall - On ne peut pas assurer le Make Call - Double appel en cours");
            return EndMakeCall(cref, code, deferred, Err(LINEERR_OPERATIONFAILED));
        }
        dialSameLine = true;
    }
    const auto i = static_cast<size_t>(cref);
    CallString& dest = g_line.strings.DestAddress[i];

    int pushKey = -1;
    std::array<KeyItem, 2> items{};
    size_t count = 0;
    if (const int special = code == REQ_MAKECALL ? FindTouPatSec(TextOf(dest)) : -1; special >= 0) {
        pushKey = special;
        items[count++] = KeyPress(pushKey);
    } else {
        if (!dialSameLine)
            pushKey = StateOf(cref) == LINECALLSTATE_DIALTONE ? static_cast<int>(g_line.calls.Touch[i])
                                                              : FindFreeMultiLine();
        TspTrace(TRACE_CALL, "DoMakeCall tou Multi NBtou %d  PushKey %d DialSameLine %d Dest '%s' ",
                 g_line.lists.MultiLineKeys.count, pushKey, dialSameLine, TextOf(dest));
        if (!dialSameLine && !ValidKey(static_cast<uint32_t>(pushKey))) {
            TspTrace(TRACE_ERROR, "LineMakeCall Impossible, aucune ressource disponible");
            return EndMakeCall(cref, code, deferred, Err(LINEERR_OPERATIONFAILED));
        }
        if (!dialSameLine)
            items[count++] = KeyPress(pushKey);
        CleanDialString(dest);
        items[count++] = DialDigits(TextOf(dest));
    }
    if (!g_rx.traceModeSeen) {
        g_superv.traceWaitArmed = true;
        g_superv.traceWaitLimit = g_superv.traceWaitCount + TRACE_WAIT_MAKECALL;
        TspTrace(TRACE_CALL, "LineMakeCall Attente mode Trace time %ld limit %ld", g_superv.traceWaitCount,
                 g_superv.traceWaitLimit);
    }
    if (!SendKeySequence(std::span<const KeyItem>(items).first(count)))
        return EndMakeCall(cref, code, deferred, Err(LINEERR_OPERATIONFAILED));

    g_line.calls.byMakeCall[i] = 1;
    StateOf(cref) = LINECALLSTATE_PROCEEDING;
    if (!dialSameLine) {
        const auto key = static_cast<uint32_t>(pushKey);
        g_line.calls.Touch[i] = key;
        g_line.TouchTable[key].CrefSlot = {cref, -1};
        g_superv.proceedingWatch = true;
        g_superv.proceedingCount = 0;
    }
    TspTrace(TRACE_CALL, "Icone:%d - Etat PROCEEDING - Ref:%d", pushKey, cref);
    g_calls.TmpAddress.fill(0);
    g_calls.DialedNumber.fill(0);
    return 0;
}

LONG DoGenerateDigits(int32_t cref) {
    TspTrace(TRACE_CALL, "EnteringDoGenerateDigits sur call ref:%d", cref);
    if (!ValidCref(cref))
        return Err(LINEERR_INVALCALLHANDLE);
    const int on = SoftKeyPosition(SK_DTMF);
    const int off = SoftKeyPosition(SK_STOP_DTMF);
    const std::string_view digits = TextOf(g_line.strings.Digits[static_cast<size_t>(cref)]);
    if (digits.empty()) {
        if (off == 0) {
            TspTrace(TRACE_CALL, "DoGenerateDigits - Cancel FV wanted - FV! not present");
            return Err(LINEERR_OPERATIONFAILED);
        }
        g_superv.softKeyRelease = false;
        g_superv.softKeyCount = 0;
        const std::array<KeyItem, 1> stop{SoftKeyPress(off)};
        return SendKeySequence(stop, false) ? 0 : Err(LINEERR_OPERATIONFAILED);
    }
    std::array<KeyItem, 2> items{};
    size_t count = 0;
    if (on != 0 && off == 0) {
        items[count++] = SoftKeyPress(on);
    } else if (off == 0) {
        TspTrace(TRACE_CALL, "DoGenerateDigits - SK FV et SK !FV not present");
        return Err(LINEERR_OPERATIONFAILED);
    }
    items[count++] = DialDigits(digits);
    if (!SendKeySequence(std::span<const KeyItem>(items).first(count), false))
        return Err(LINEERR_OPERATIONFAILED);
    g_superv.softKeyRelease = true;
    g_superv.softKeyCount = 0;
    return 0;
}

}  // namespace zq

using namespace zq;

namespace {

// The caller's destination as ANSI; LINEERR_INVALPOINTER when it has 80
// characters or more.
LONG ReadDestination(LPCWSTR text, CallString& out) {
    return WideToAnsi(text, out) >= out.size() ? Err(LINEERR_INVALPOINTER) : 0;
}

// The record TAPI names a new call by: the dial-tone call when the set
// dials on it, else the first free one.
int MakeCallRecord() {
    if (g_calls.DbCall)
        if (const int dialTone = FirstCallIn(LINECALLSTATE_DIALTONE); dialTone >= 0)
            return dialTone;
    return FreeCallRecord();
}

}  // namespace

extern "C" {

LONG WINAPI TSPI_lineMakeCall(DRV_REQUESTID dwRequestID, HDRVLINE hdLine, HTAPICALL htCall,
                              LPHDRVCALL lphdCall, LPCWSTR lpszDestAddress, DWORD dwCountryCode,
                              LPLINECALLPARAMS const lpCallParams) {
    WAITLINEMUTEX();
    TspTrace(TRACE_TSPI, "Entering TSPI_lineMakeCall(%lx,%lx,%lx,%lx,%lx,%lx,%lx)", dwRequestID, hdLine,
             htCall, lphdCall, lpszDestAddress, dwCountryCode, lpCallParams);
    if (hdLine != LineHandle())
        return REL_LINE_MUTEX(Err(LINEERR_INVALLINEHANDLE));
    if (lphdCall == nullptr)
        return REL_LINE_MUTEX(Err(LINEERR_INVALPOINTER));
    CallString dest{};
    if (lpszDestAddress != nullptr) {
        if (const LONG bad = ReadDestination(lpszDestAddress, dest); bad != 0)
            return REL_LINE_MUTEX(bad);
        if (const LONG bad = CheckDialString(TextOf(dest)); bad != 0)
            return REL_LINE_MUTEX(bad);
    }
    if (g_line.lineDevState == 0) {
        TspTrace(TRACE_TSPI, " TSPI_lineMakeCall LINEERR_NODEVICE ");
        return REL_LINE_MUTEX(Err(LINEERR_NODEVICE));
    }
    // One make call waits for the set at a time.
    if (g_superv.deferredMakeCall)
        return REL_LINE_MUTEX(Err(LINEERR_RESOURCEUNAVAIL));
    const int cref = MakeCallRecord();
    if (cref < 0) {
        TspTrace(TRACE_TSPI, "DialMakeCall impossible - LINEERR_RESOURCEUNAVAIL");
        return REL_LINE_MUTEX(Err(LINEERR_RESOURCEUNAVAIL));
    }
    if (lpCallParams != nullptr)
        if (const LONG bad = CheckCallParams(lpCallParams); bad != 0)
            return REL_LINE_MUTEX(bad);
    if (lpszDestAddress == nullptr)
        return REL_LINE_MUTEX(Err(LINEERR_INVALADDRESS));
    const auto i = static_cast<size_t>(cref);
    const CallString kept = g_line.strings.DestAddress[i];
    if (const LONG bad = StoreDestination(cref, TextOf(dest)); bad != 0)
        return REL_LINE_MUTEX(bad);

    // TAPI's handle is installed for the request's events; a refusal puts
    // back what was there. A dial-tone call TAPI knows under another handle
    // ends for it first.
    HTAPICALL& slot = g_line.htCall[i];
    const HTAPICALL previous = slot;
    if (StateOf(cref) == LINECALLSTATE_DIALTONE && Announced(cref) && previous != htCall)
        DoLineEvent(LINE_CALLSTATE, LINECALLSTATE_IDLE, 0, cref);
    slot = htCall;
    const bool wasClosed = g_line.ClosedByTapi[i];
    g_line.ClosedByTapi[i] = false;
    const bool wasReserved = g_line.ReservedByTapi[i];
    g_line.ReservedByTapi[i] = true;
    *lphdCall = reinterpret_cast<HDRVCALL>(static_cast<uintptr_t>(cref));
    const LONG result = appCall(cref, REQ_MAKECALL, dwRequestID);
    if (result < 0) {
        slot = previous;
        g_line.ClosedByTapi[i] = wasClosed;
        g_line.ReservedByTapi[i] = wasReserved;
        g_line.strings.DestAddress[i] = kept;
    }
    return REL_LINE_MUTEX(RequestReturn(result, dwRequestID));
}

LONG WINAPI TSPI_lineDial(DRV_REQUESTID dwRequestID, HDRVCALL hdCall, LPCWSTR lpszDestAddress,
                          DWORD dwCountryCode) {
    WAITLINEMUTEX();
    TspTrace(TRACE_TSPI, "Entering TSPI_lineDial(%lx,%lx,%lx,%lx)", dwRequestID, hdCall, lpszDestAddress,
             dwCountryCode);
    const int32_t cref = CrefOfHandle(hdCall);
    if (!ValidCref(cref))
        return REL_LINE_MUTEX(Err(LINEERR_INVALCALLHANDLE));
    if (StateOf(cref) != LINECALLSTATE_DIALTONE && StateOf(cref) != LINECALLSTATE_DIALING)
        return REL_LINE_MUTEX(Err(LINEERR_INVALCALLSTATE));
    CallString dest{};
    if (lpszDestAddress == nullptr || ReadDestination(lpszDestAddress, dest) != 0 || TextOf(dest).empty())
        return REL_LINE_MUTEX(Err(LINEERR_INVALADDRESSID));
    if (const LONG bad = CheckDialString(TextOf(dest)); bad != 0)
        return REL_LINE_MUTEX(bad);
    CallString& stored = g_line.strings.DestAddress[static_cast<size_t>(cref)];
    const CallString kept = stored;
    stored = dest;
    TspTrace(TRACE_TSPI, "lineDial '%s' cref %04x", TextOf(stored), cref);
    const LONG result = appCall(cref, REQ_DIAL, dwRequestID);
    if (result < 0)
        stored = kept;
    return REL_LINE_MUTEX(RequestReturn(result, dwRequestID));
}

LONG WINAPI TSPI_lineGenerateDigits(HDRVCALL hdCall, DWORD dwEndToEndID, DWORD dwDigitMode,
                                    LPCWSTR lpszDigits, DWORD dwDuration) {
    WAITLINEMUTEX();
    TspTrace(TRACE_TSPI, "Entering TSPI_lineGenerateDigits(%lx,%lx,%lx,%lx,%lx)", hdCall, dwEndToEndID,
             dwDigitMode, lpszDigits, dwDuration);
    const int32_t cref = CrefOfHandle(hdCall);
    if (!ValidCref(cref))
        return REL_LINE_MUTEX(Err(LINEERR_INVALCALLHANDLE));
    if (StateOf(cref) != LINECALLSTATE_CONNECTED)
        return REL_LINE_MUTEX(Err(LINEERR_INVALCALLSTATE));
    if (dwDigitMode != LINEDIGITMODE_DTMF)
        return REL_LINE_MUTEX(Err(LINEERR_INVALDIGITMODE));
    CallString digits{};
    if (ReadDestination(lpszDigits, digits) != 0)
        return REL_LINE_MUTEX(Err(LINEERR_INVALPOINTER));
    g_line.strings.Digits[static_cast<size_t>(cref)] = digits;
    return REL_LINE_MUTEX(appCall(cref, REQ_GENERATEDIGITS, 0));
}

// The set sends no tones of its own choosing.
LONG WINAPI TSPI_lineGenerateTone(HDRVCALL hdCall, DWORD dwEndToEndID, DWORD dwToneMode, DWORD dwDuration,
                                  DWORD dwNumTones, LPLINEGENERATETONE const lpTones) {
    WAITLINEMUTEX();
    TspTrace(TRACE_TSPI, "Entering TSPI_lineGenerateTone(%lx,%lx,%lx,%lx,%lx,%lx)", hdCall, dwEndToEndID,
             dwToneMode, dwDuration, dwNumTones, lpTones);
    const int32_t cref = CrefOfHandle(hdCall);
    if (!ValidCref(cref))
        return REL_LINE_MUTEX(Err(LINEERR_INVALCALLHANDLE));
    if (StateOf(cref) != LINECALLSTATE_CONNECTED)
        return REL_LINE_MUTEX(Err(LINEERR_INVALCALLSTATE));
    return REL_LINE_MUTEX(Err(LINEERR_OPERATIONUNAVAIL));
}

// TAPI is done with the call: an idle record is free again and its handle
// gets no more events. A live call keeps its handle (TAPI closes a call
// only once it is idle; a record taken over by a new call may still get
// the old handle's close).
LONG WINAPI TSPI_lineCloseCall(HDRVCALL hdCall) {
    WAITLINEMUTEX();
    const int32_t cref = CrefOfHandle(hdCall);
    if (!ValidCref(cref) && cref != CONFREF)
        return REL_LINE_MUTEX(Err(LINEERR_INVALCALLHANDLE));
    TspTrace(TRACE_TSPI, "TSPI_lineCloseCall: cref: %04x, hdCall: %d", cref, hdCall);
    if (cref == CONFREF) {
        if (g_line.ConfState == LINECALLSTATE_IDLE || g_line.ConfState == 0) {
            g_line.ConfState = 0;
            g_line.htConfCall = nullptr;
        }
        return REL_LINE_MUTEX(0);
    }
    const auto i = static_cast<size_t>(cref);
    // A request still running on the call is answered: TAPI waits for it
    // even once it has closed the call. A drop is done as far as TAPI is
    // concerned; a transfer is not.
    if (g_running.runningOp != 0 && (g_running.runningCref == cref || g_running.runningConsultCref == cref))
        CompleteRunning(g_running.runningOp == REQ_DROP ? 0 : Err(LINEERR_OPERATIONFAILED));
    if (g_superv.deferredMakeCall && g_superv.crefRequestMakeCall == cref) {
        g_superv.deferredMakeCall = false;
        g_superv.crefRequestMakeCall = -1;
    }
    if (StateOf(cref) == LINECALLSTATE_IDLE || StateOf(cref) == 0) {
        StateOf(cref) = 0;
        g_line.htCall[i] = nullptr;
        g_line.ClosedByTapi[i] = true;
        g_line.ReservedByTapi[i] = false;
    }
    return REL_LINE_MUTEX(0);
}

}  // extern "C"
