#include "tapi/transfer.h"

#include <array>
#include <cstddef>
#include <cstring>
#include <initializer_list>
#include <span>
#include <string_view>

#include "callmodel/calls.h"
#include "callmodel/display.h"
#include "callmodel/tables.h"
#include "core/config.h"
#include "core/lifecycle.h"
#include "core/line_record.h"
#include "core/trace.h"
#include "link/serial_link.h"
#include "link/supervision.h"
#include "tapi/callinfo.h"
#include "tapi/dispatch.h"
#include "tapi/events.h"
#include "tapi/keys.h"
#include "tapi/makecall.h"
#include "tapi/queries.h"
#include "tapi/varpart.h"

namespace zq {

namespace {

constexpr uint32_t HELD_AND_CONNECTED = LINECALLSTATE_ONHOLD | LINECALLSTATE_CONNECTED;
constexpr uint32_t REOFFER_AND_CONNECTED = CALLSTATE_REOFFER | LINECALLSTATE_CONNECTED;
constexpr uint32_t HELD_AND_PROCEEDING = LINECALLSTATE_ONHOLD | LINECALLSTATE_PROCEEDING;

// dwTotalSize and dwNumEntries, before the first LINEFORWARD.
constexpr uint32_t LINEFORWARDLIST_FIXED_SIZE = 8;
static_assert(offsetof(LINEFORWARDLIST, ForwardList) == LINEFORWARDLIST_FIXED_SIZE);

struct ForwardMode {
    uint32_t code;  // request code
    uint32_t mode;  // LINEFORWARDMODE_
    size_t serviceCode;
    const char* name;
};

constexpr std::array<ForwardMode, 4> kForwardModes = {{
    {REQ_FWD_UNCOND, LINEFORWARDMODE_UNCOND, 0, "LINEFORWARDMODE_UNCOND"},
    {REQ_FWD_BUSY, LINEFORWARDMODE_BUSY, 1, "LINEFORWARDMODE_BUSY"},
    {REQ_FWD_NOANSW, LINEFORWARDMODE_NOANSW, 2, "LINEFORWARDMODE_NOANSW"},
    {REQ_FWD_BUSYNA, LINEFORWARDMODE_BUSYNA, 3, "LINEFORWARDMODE_BUSYNA"},
}};

// The blind transfer's destination, apart from the connected call's
// DestAddress, which keeps the party of that call.
CallString s_blindDest{};

// The running transfer the watch counts for.
struct TransferWatch {
    uint32_t reqId = 0;
    uint32_t op = 0;
    int ticks = 0;
};
TransferWatch s_watch;

int CallKey(int32_t cref) {
    return static_cast<int>(KeyOf(cref));
}

HDRVCALL HandleOf(int32_t cref) {
    return reinterpret_cast<HDRVCALL>(static_cast<uintptr_t>(cref));
}

// One request, one sequence: queued whole or not at all.
LONG Send(std::initializer_list<KeyItem> items) {
    return SendKeySequence(std::span<const KeyItem>(items.begin(), items.size()))
               ? 0
               : Err(LINEERR_OPERATIONFAILED);
}

LONG Fail(const char* text) {
    TspTrace(TRACE_ERROR, text);
    return Err(LINEERR_OPERATIONFAILED);
}

std::string_view ServiceCode(size_t entry) {
    return TextOf(g_set.ServiceCode[entry]);
}

// A forwarding or a pickup needs the set idle: the first record neither
// free nor idle refuses it.
bool LineBusy() {
    for (int cref = 0; cref < MAX_CALLS; ++cref) {
        const uint32_t state = StateOf(cref);
        if (state != 0 && state != LINECALLSTATE_IDLE) {
            TspTrace(TRACE_TSPI, "RedirectCallFailed cref:%d,state%lx", cref, state);
            return true;
        }
    }
    return false;
}

bool BothConferenced(int32_t cref, int32_t consultcref) {
    return StateOf(cref) == LINECALLSTATE_CONFERENCED && StateOf(consultcref) == LINECALLSTATE_CONFERENCED;
}

bool BossOrSecretary(uint32_t key) {
    if (!ValidKey(key))
        return false;
    const uint32_t kind = g_line.TouchTable[key].Kind;
    return kind == KEY_PATRON || kind == KEY_SECRETAIRE;
}

bool BothOnActiveKey(int32_t cref, int32_t consultcref) {
    const auto active = static_cast<uint32_t>(g_calls.ActivCallTouch);
    return ValidKey(active) && KeyOf(cref) == active && KeyOf(consultcref) == active;
}

int FirstFreeMultiLine() {
    const auto& list = g_line.lists.MultiLineKeys;
    for (int i = 0; i < list.count && i < static_cast<int>(list.keys.size()); ++i) {
        const uint32_t key = list.keys[static_cast<size_t>(i)];
        if (ValidKey(key) && g_line.TouchTable[key].CrefSlot[0] == -1 &&
            g_line.TouchTable[key].CrefSlot[1] == -1)
            return static_cast<int>(key);
    }
    return -1;
}

// With several calls held, the set must be told which two: the key of the
// call that is not connected, the soft key, then the connected call's key.
LONG PressChoosingCalls(int32_t cref, int32_t consultcref, int position) {
    const bool first = StateOf(cref) == LINECALLSTATE_CONNECTED;
    const int32_t connected = first ? cref : consultcref;
    const int32_t other = first ? consultcref : cref;
    return Send({KeyPress(CallKey(other)), SoftKeyPress(position), KeyPress(CallKey(connected))});
}

void TraceCounts(const char* format, const CallCounts& c) {
    TspTrace(TRACE_TSPI, format, c.NumCalls, c.connected, c.OnHold, c.OnHoldPend, c.Reoffer);
}

int HeldOrReoffered(const CallCounts& c) {
    return c.OnHold + c.OnHoldPend + c.Reoffer;
}

LONG TransferKeys(int32_t cref, int32_t consultcref, int position, const CallCounts& c) {
    if (c.NumCalls - c.idle == 2) {
        TspTrace(TRACE_TSPI, "Demande de transfert - 2 appels en cours");
        return Send({SoftKeyPress(position)});
    }
    const uint32_t h = StateOf(cref) | StateOf(consultcref);
    if (g_calls.DbCall) {
        if ((h == HELD_AND_CONNECTED || h == HELD_AND_PROCEEDING) && BothOnActiveKey(cref, consultcref)) {
            TspTrace(TRACE_TSPI, "Demande de transfert - 2 appels en cours sur tou %d",
                     g_calls.ActivCallTouch);
            return Send({SoftKeyPress(position)});
        }
        return Fail("Echec transfert - pb d'état");
    }
    if (h == HELD_AND_CONNECTED || h == REOFFER_AND_CONNECTED) {
        if (HeldOrReoffered(c) == 1) {
            TspTrace(TRACE_TSPI, "Demande de transfert - >2 appels mais 1 seule garde ");
            return Send({SoftKeyPress(position)});
        }
        TspTrace(TRACE_TSPI, "Demande de transfert - plus d'un ONHOLD/REOFFER: choix tou");
        return PressChoosingCalls(cref, consultcref, position);
    }
    if (h == HELD_AND_PROCEEDING) {
        if (BossOrSecretary(KeyOf(cref)) || BossOrSecretary(KeyOf(consultcref))) {
            TspTrace(TRACE_TSPI, "Demande de transfert sur sonnerie - 1 des appels pat/sec: choix tou");
            const int32_t held = StateOf(cref) == LINECALLSTATE_PROCEEDING ? consultcref : cref;
            return Send({SoftKeyPress(position), KeyPress(CallKey(held))});
        }
        if (cref == g_running.lastHeldCref || consultcref == g_running.lastHeldCref) {
            TspTrace(TRACE_TSPI, "Demande de transfert sur sonnerie - 2 appels sur touche diff");
            return Send({SoftKeyPress(position)});
        }
    }
    return Fail("Echec transfert - pb d'état");
}

LONG ConferenceKeys(int32_t cref, int32_t consultcref, int position, const CallCounts& c) {
    if (c.NumCalls - c.idle == 2) {
        TspTrace(TRACE_TSPI, "Demande de conference - 2 appels en cours");
        return Send({SoftKeyPress(position)});
    }
    const uint32_t h = StateOf(cref) | StateOf(consultcref);
    if (g_calls.DbCall) {
        if (h == HELD_AND_CONNECTED && BothOnActiveKey(cref, consultcref)) {
            TspTrace(TRACE_TSPI, "Demande de conf - 2 appels en cours sur tou %d", g_calls.ActivCallTouch);
            return Send({SoftKeyPress(position)});
        }
        return Fail("Echec conf - pb d'état");
    }
    if (h != HELD_AND_CONNECTED && h != REOFFER_AND_CONNECTED)
        return Fail("Echec conf - pb d'état");
    if (HeldOrReoffered(c) == 1) {
        TspTrace(TRACE_TSPI, "Demande de conférence - > 2 appels ,1 seule garde");
        return Send({SoftKeyPress(position)});
    }
    TspTrace(TRACE_TSPI, "Demande de conference - plus d'un ONHOLD/REOFFER: choix tou");
    return PressChoosingCalls(cref, consultcref, position);
}

void StartWatch(uint32_t op) {
    s_watch = {g_line.pendingReqId, op, 0};
}

// ---- TSPI checks

bool TransferAccepted(int32_t cref, int32_t consultcref) {
    const uint32_t h = StateOf(cref) | StateOf(consultcref);
    if (h == HELD_AND_CONNECTED || h == REOFFER_AND_CONNECTED || BothConferenced(cref, consultcref))
        return true;
    if (h != HELD_AND_PROCEEDING)
        return false;
    const uint32_t key = KeyOf(cref);
    const uint32_t consultKey = KeyOf(consultcref);
    return g_line.EnqCallMode == 0 || (ValidKey(key) && key == consultKey) || BossOrSecretary(key) ||
           BossOrSecretary(consultKey);
}

bool ConferenceAccepted(int32_t cref, int32_t consultcref) {
    const uint32_t h = StateOf(cref) | StateOf(consultcref);
    return h == HELD_AND_CONNECTED || h == REOFFER_AND_CONNECTED || BothConferenced(cref, consultcref);
}

const ForwardMode* ModeOfCode(uint32_t code) {
    for (const ForwardMode& m : kForwardModes)
        if (m.code == code)
            return &m;
    return nullptr;
}

const ForwardMode* ModeOfForwardMode(uint32_t mode) {
    for (const ForwardMode& m : kForwardModes)
        if (m.mode == mode)
            return &m;
    return nullptr;
}

uint32_t DwordAt(std::span<const uint8_t> bytes, size_t offset) {
    uint32_t value = 0;
    std::memcpy(&value, bytes.subspan(offset, sizeof value).data(), sizeof value);
    return value;
}

// The caller's forward list, read only inside its dwTotalSize: the request
// code of its first entry's mode (cancel for an empty list) and that
// entry's destination, cleaned for dialling.
LONG ReadForwardList(LPLINEFORWARDLIST list, uint32_t& code, CallString& dest) {
    const std::span<const uint8_t> bytes = CallerBytes(list);
    if (bytes.size() < LINEFORWARDLIST_FIXED_SIZE)
        return Err(LINEERR_INVALPARAM);
    const uint32_t entries = DwordAt(bytes, offsetof(LINEFORWARDLIST, dwNumEntries));
    if (entries == 0) {
        code = REQ_FWD_CANCEL;
        return 0;
    }
    if (uint64_t{LINEFORWARDLIST_FIXED_SIZE} + uint64_t{entries} * LINEFORWARD_SIZE > bytes.size())
        return Err(LINEERR_INVALPARAM);
    const std::span<const uint8_t> entry = bytes.subspan(LINEFORWARDLIST_FIXED_SIZE, LINEFORWARD_SIZE);
    const ForwardMode* mode = ModeOfForwardMode(DwordAt(entry, offsetof(LINEFORWARD, dwForwardMode)));
    if (mode == nullptr)
        return Err(LINEERR_INVALPARAM);
    TspTrace(TRACE_TSPI, "TSPI_lineForward - %s", mode->name);
    const uint32_t size = DwordAt(entry, offsetof(LINEFORWARD, dwDestAddressSize));
    const uint32_t offset = DwordAt(entry, offsetof(LINEFORWARD, dwDestAddressOffset));
    if (size >= CALL_STRING_SIZE || offset > bytes.size() || size > bytes.size() - offset)
        return Err(LINEERR_INVALPARAM);
    // At most 39 characters: the copy always ends on a NUL of its own.
    std::array<WCHAR, CALL_STRING_SIZE / sizeof(WCHAR) + 1> wide{};
    std::memcpy(wide.data(), bytes.subspan(offset, size).data(), size - size % sizeof(WCHAR));
    WideToAnsi(wide.data(), dest);
    TspTrace(TRACE_TSPI, "TSPI_lineForward - RedirectCallAddress '%s' DestAddressSize %ld", dest, size);
    if (CleanDialString(dest) == 0)
        return Err(LINEERR_INVALPARAM);
    code = mode->code;
    return 0;
}

// A caller's destination string as ANSI, cleaned for dialling: false when
// it does not fit 80 bytes with its NUL or has nothing to dial.
bool ReadDialString(LPCWSTR text, CallString& out) {
    return WideToAnsi(text, out) < out.size() && CleanDialString(out) > 0;
}

// TAPI's handle for a record that the set does not show yet: installed for
// the request, put back when the request is not carried out.
struct HandleSlot {
    HTAPICALL htCall;
    bool reserved;
    bool closed;
};

HandleSlot InstallHandle(int32_t cref, HTAPICALL htCall) {
    const auto i = static_cast<size_t>(cref);
    const HandleSlot kept{g_line.htCall[i], g_line.ReservedByTapi[i], g_line.ClosedByTapi[i]};
    g_line.htCall[i] = htCall;
    g_line.ReservedByTapi[i] = true;
    g_line.ClosedByTapi[i] = false;
    return kept;
}

void RestoreHandle(int32_t cref, const HandleSlot& kept) {
    const auto i = static_cast<size_t>(cref);
    g_line.htCall[i] = kept.htCall;
    g_line.ReservedByTapi[i] = kept.reserved;
    g_line.ClosedByTapi[i] = kept.closed;
}

}  // namespace

LONG DoBlindTransfer(int32_t cref) {
    TspTrace(TRACE_TSPI, "DoBlindTransfer");
    if (g_calls.DbCall || SoftKeyPosition(SK_SECONDCALL) == 0)
        return Err(LINEERR_OPERATIONUNAVAIL);
    if (CleanDialString(s_blindDest) == 0)
        return Err(LINEERR_INVALADDRESS);
    TspTrace(TRACE_TSPI, "DoBlindTransfer - DestAddress:%s Supermsg %d", s_blindDest,
             g_port.superAllowed ? 1 : 0);
    // Digits on the connected call start the consultation call.
    if (const LONG result = Send({DialDigits(TextOf(s_blindDest))}); result != 0)
        return result;
    TspTrace(TRACE_TSPI, "BlindTransfer Running ReqId %d cref %d", g_line.pendingReqId, cref);
    StartWatch(REQ_BLINDTRANSFER);
    return 0;
}

LONG DoSetupTransfer(int32_t cref, int32_t consultcref) {
    TspTrace(TRACE_TSPI, "Setup Transfer call cref %04x consultcref %04x", cref, consultcref);
    if (!ValidCref(consultcref))
        return Err(LINEERR_INVALCALLHANDLE);
    LONG result = 0;
    if (const int position = SoftKeyPosition(SK_SECONDCALL); position != 0) {
        result = Send({SoftKeyPress(position)});
    } else if (g_line.EnqCallMode != 0) {
        return Err(LINEERR_OPERATIONUNAVAIL);
    } else {
        const int key = FirstFreeMultiLine();
        if (key < 0) {
            TspTrace(TRACE_ERROR, "SetupTransfer Impossible, aucune ressource disponible");
            return Err(LINEERR_RESOURCEUNAVAIL);
        }
        TspTrace(TRACE_TSPI, "prise ligne %d ", key);
        result = Send({KeyPress(key)});
    }
    if (result != 0)
        return result;
    TspTrace(TRACE_TSPI, "SetupTransfer Running ReqId %ld cref %04x consultcref %04x", g_line.pendingReqId,
             cref, consultcref);
    StartWatch(REQ_SETUPTRANSFER);
    return 0;
}

LONG DoCompleteTransfer(int32_t cref, int32_t consultcref) {
    TspTrace(TRACE_TSPI, "Transfer call");
    if (!ValidCref(cref) || !ValidCref(consultcref))
        return Err(LINEERR_INVALCALLHANDLE);
    if (BothConferenced(cref, consultcref)) {
        // The set leaves the conference; the two others stay together.
        TspTrace(TRACE_TSPI, "Transfer de 2 appels CONFERENCED");
        return Send({FunctionPress(KEY_CODE_RELEASE)});
    }
    const int position = SoftKeyPosition(SK_TRANSFER);
    if (position == 0)
        return Fail("Echec Transfer - SK not present");
    const CallCounts counts = CallsStat();
    TraceCounts("transfert NumCalls %d connected %d OnHold %d OnHoldPend %d Reoffer %d", counts);
    return TransferKeys(cref, consultcref, position, counts);
}

LONG DoConference(int32_t cref, int32_t consultcref) {
    TspTrace(TRACE_TSPI, "Conference");
    if (!ValidCref(cref) || !ValidCref(consultcref))
        return Err(LINEERR_INVALCALLHANDLE);
    const int position = SoftKeyPosition(SK_CONFERENCE);
    if (position == 0)
        return Fail("Echec conference - SK not present");
    const CallCounts counts = CallsStat();
    TraceCounts("Conf NumCalls %d connected %d OnHold %d OnHoldPend %d Reoffer %d", counts);
    const LONG result = ConferenceKeys(cref, consultcref, position, counts);
    if (result == 0)
        g_calls.ConferenceReq = true;
    return result;
}

LONG DoForward(uint32_t code) {
    const ForwardMode* mode = ModeOfCode(code);
    if (mode == nullptr)
        return Err(LINEERR_OPERATIONUNAVAIL);
    TspTrace(TRACE_TSPI, "Renvoi(%s) - %s", g_line.ForwardAddress, mode->name);
    if (LineBusy())
        return Err(LINEERR_OPERATIONFAILED);
    // Without its code the destination alone would be called.
    const std::string_view service = ServiceCode(mode->serviceCode);
    if (service.empty() || TextOf(g_line.ForwardAddress).empty())
        return Err(LINEERR_OPERATIONUNAVAIL);
    const LONG result = Send({DialDigits(service), DialDigits(TextOf(g_line.ForwardAddress))});
    if (result == 0)
        g_superv.FwdGuard = FWD_GUARD_TICKS;
    return result;
}

LONG DoCancelForward() {
    TspTrace(TRACE_TSPI, "Annulation renvoi");
    if (LineBusy())
        return Err(LINEERR_OPERATIONFAILED);
    const std::string_view service = ServiceCode(SERVICE_CANCEL_FORWARDING);
    if (service.empty())
        return Err(LINEERR_OPERATIONUNAVAIL);
    const LONG result = Send({DialDigits(service)});
    if (result != 0)
        return result;
    g_superv.FwdGuard = FWD_GUARD_TICKS;
    return Send({FunctionPress(KEY_CODE_RELEASE)});
}

LONG DoPickup(int32_t cref) {
    TspTrace(TRACE_TSPI, "msg Call Pickup cref %d", cref);
    const std::string_view service = ServiceCode(SERVICE_CALL_PICKUP);
    if (service.empty() || TextOf(g_line.PickupAddress).empty())
        return Err(LINEERR_OPERATIONUNAVAIL);
    if (LineBusy())
        return Err(LINEERR_OPERATIONFAILED);
    const LONG result = Send({DialDigits(service), DialDigits(TextOf(g_line.PickupAddress))});
    // Only a pickup sent waits for the key the set will light.
    if (result == 0)
        g_calls.PickupCref = cref;
    return result;
}

namespace {

int s_conferenceTicks = 0;
int s_pickupTicks = 0;

// A conference or a pickup TAPI was told is done (completed at once) that
// the set never shows: TAPI's call for it ends.
void ConferenceAndPickupWatch() {
    s_conferenceTicks = g_calls.ConferenceReq ? s_conferenceTicks + 1 : 0;
    if (s_conferenceTicks == TRANSFER_WATCH_TICKS) {
        TspTrace(TRACE_ERROR, "Conference demandee: rien vu sur le poste => fin");
        g_calls.ConferenceReq = false;
        s_conferenceTicks = 0;
        if (g_line.htConfCall != nullptr)
            SendState(CONFREF, LINECALLSTATE_IDLE);
    }
    const int pickup = g_calls.PickupCref;
    s_pickupTicks = ValidCref(pickup) && StateOf(pickup) == 0 ? s_pickupTicks + 1 : 0;
    if (s_pickupTicks == TRANSFER_WATCH_TICKS) {
        TspTrace(TRACE_ERROR, "Call Pickup cref %d: rien vu sur le poste => fin", pickup);
        s_pickupTicks = 0;
        g_calls.PickupCref = -1;
        SendState(pickup, LINECALLSTATE_IDLE);
        ReleaseRecord(pickup);
    }
}

}  // namespace

void TransferWatchTick() {
    ConferenceAndPickupWatch();
    const uint32_t op = g_running.runningOp;
    if (op != REQ_BLINDTRANSFER && op != REQ_SETUPTRANSFER) {
        s_watch = {};
        return;
    }
    if (s_watch.reqId != g_line.pendingReqId || s_watch.op != op)
        StartWatch(op);
    if (++s_watch.ticks < TRANSFER_WATCH_TICKS)
        return;
    const int32_t cref = g_running.runningCref;
    const int32_t consultcref = g_running.runningConsultCref;
    TspTrace(TRACE_ERROR, "%s Running ReqId %ld cref %04x consultcref %04x: rien vu sur le poste => echec",
             op == REQ_BLINDTRANSFER ? "BlindTransfer" : "SetupTransfer", s_watch.reqId, cref, consultcref);
    // TAPI forgets the consultation call of a failed setup transfer.
    if (op == REQ_SETUPTRANSFER && ValidCref(consultcref) && !Announced(consultcref)) {
        const auto i = static_cast<size_t>(consultcref);
        g_line.ReservedByTapi[i] = false;
        g_line.htCall[i] = nullptr;
        g_line.ClosedByTapi[i] = true;
    }
    s_watch = {};
    // Cleared before the completion: TAPI may start the next request from it.
    g_running.runningOp = 0;
    g_running.runningCref = -1;
    g_running.runningConsultCref = -1;
    // A call held for the transfer no longer waits for it.
    if (op == REQ_SETUPTRANSFER && ValidCref(cref) && StateOf(cref) == LINECALLSTATE_ONHOLD)
        ReportState(cref, LINECALLSTATE_ONHOLD);
    SendCompletion(Err(LINEERR_OPERATIONFAILED));
}

}  // namespace zq

using namespace zq;

extern "C" {

LONG WINAPI TSPI_lineBlindTransfer(DRV_REQUESTID dwRequestID, HDRVCALL hdCall, LPCWSTR lpszDestAddress,
                                   DWORD dwCountryCode) {
    WAITLINEMUTEX();
    const int32_t cref = CrefOfHandle(hdCall);
    TspTrace(TRACE_TSPI, "Entering TSPI_lineBlindTransfer(%lx,%lx,%lx)", dwRequestID, hdCall, dwCountryCode);
    if (!ValidCref(cref))
        return REL_LINE_MUTEX(Err(LINEERR_INVALCALLHANDLE));
    if (StateOf(cref) != LINECALLSTATE_CONNECTED)
        return REL_LINE_MUTEX(Err(LINEERR_INVALCALLSTATE));
    CallString dest{};
    if (!ReadDialString(lpszDestAddress, dest))
        return REL_LINE_MUTEX(Err(LINEERR_INVALADDRESS));
    s_blindDest = dest;
    return REL_LINE_MUTEX(RequestReturn(appCall(cref, REQ_BLINDTRANSFER, dwRequestID), dwRequestID));
}

LONG WINAPI TSPI_lineSetupTransfer(DRV_REQUESTID dwRequestID, HDRVCALL hdCall, HTAPICALL htConsultCall,
                                   LPHDRVCALL lphdConsultCall, LPLINECALLPARAMS const lpCallParams) {
    WAITLINEMUTEX();
    const int32_t cref = CrefOfHandle(hdCall);
    TspTrace(TRACE_TSPI, "Entering TSPI_lineSetupTransfer(%lx,%lx,%lx)", dwRequestID, hdCall, htConsultCall);
    if (!ValidCref(cref))
        return REL_LINE_MUTEX(Err(LINEERR_INVALCALLHANDLE));
    if (lphdConsultCall == nullptr)
        return REL_LINE_MUTEX(Err(LINEERR_INVALPOINTER));
    if (lpCallParams != nullptr && CallerBytes(lpCallParams).size() < LINECALLPARAMS_FIXED_SIZE)
        return REL_LINE_MUTEX(Err(LINEERR_STRUCTURETOOSMALL));
    if (StateOf(cref) != LINECALLSTATE_CONNECTED) {
        TspTrace(TRACE_TSPI, "TSPI_lineSetupTransfer INVALCALLSTATE cref %d state %lx ", cref, StateOf(cref));
        return REL_LINE_MUTEX(Err(LINEERR_INVALCALLSTATE));
    }
    const int consultcref = FreeCallRecord();
    if (consultcref < 0) {
        TspTrace(TRACE_TSPI, " impossible - LINEERR_RESOURCEUNAVAIL");
        return REL_LINE_MUTEX(Err(LINEERR_RESOURCEUNAVAIL));
    }
    TspTrace(TRACE_TSPI, " consultref trouve %04x", consultcref);
    *lphdConsultCall = HandleOf(consultcref);
    const HandleSlot kept = InstallHandle(consultcref, htConsultCall);
    const LONG result = appCallTransfer(cref, consultcref, REQ_SETUPTRANSFER, dwRequestID);
    if (g_running.runningOp != REQ_SETUPTRANSFER || g_running.runningConsultCref != consultcref)
        RestoreHandle(consultcref, kept);
    return REL_LINE_MUTEX(RequestReturn(result, dwRequestID));
}

LONG WINAPI TSPI_lineCompleteTransfer(DRV_REQUESTID dwRequestID, HDRVCALL hdCall, HDRVCALL hdConsultCall,
                                      HTAPICALL htConfCall, LPHDRVCALL lphdConfCall, DWORD dwTransferMode) {
    WAITLINEMUTEX();
    const int32_t cref = CrefOfHandle(hdCall);
    const int32_t consultcref = CrefOfHandle(hdConsultCall);
    if (!ValidCref(cref) || !ValidCref(consultcref) || cref == consultcref)
        return REL_LINE_MUTEX(Err(LINEERR_INVALCALLHANDLE));
    TspTrace(TRACE_TSPI, "CompleteTransfer ref:%04x  consultref:%04x Mode %lx", cref, consultcref,
             dwTransferMode);
    if (dwTransferMode == LINETRANSFERMODE_TRANSFER) {
        if (!TransferAccepted(cref, consultcref)) {
            TspTrace(TRACE_TSPI, " Transfer case between call ref:%d and call ref:%d IMPOSSIBLE", consultcref,
                     cref);
            return REL_LINE_MUTEX(Err(LINEERR_INVALCALLSTATE));
        }
        TspTrace(TRACE_TSPI, " Transfer case between call ref:%d and call ref:%d", cref, consultcref);
        return REL_LINE_MUTEX(
            RequestReturn(appCallTransfer(cref, consultcref, REQ_TRANSFER, dwRequestID), dwRequestID));
    }
    if (dwTransferMode != LINETRANSFERMODE_CONFERENCE)
        return REL_LINE_MUTEX(Err(LINEERR_OPERATIONUNAVAIL));
    if (!ConferenceAccepted(cref, consultcref))
        return REL_LINE_MUTEX(Err(LINEERR_INVALCALLSTATE));
    if (lphdConfCall == nullptr)
        return REL_LINE_MUTEX(Err(LINEERR_INVALPOINTER));
    *lphdConfCall = HandleOf(CONFREF);
    const HTAPICALL kept = g_line.htConfCall;
    g_line.htConfCall = htConfCall;
    const LONG result = appCallTransfer(cref, consultcref, REQ_CONFERENCE, dwRequestID);
    if (result < 0 || !g_calls.ConferenceReq)
        g_line.htConfCall = kept;
    return REL_LINE_MUTEX(RequestReturn(result, dwRequestID));
}

LONG WINAPI TSPI_lineSetupConference(DRV_REQUESTID dwRequestID, HDRVCALL hdCall, HDRVLINE hdLine, HTAPICALL,
                                     LPHDRVCALL, HTAPICALL, LPHDRVCALL, DWORD, LPLINECALLPARAMS const) {
    WAITLINEMUTEX();
    TspTrace(TRACE_TSPI, "Entering TSPI_lineSetupConference(%lx,%lx,%lx)", dwRequestID, hdCall, hdLine);
    return REL_LINE_MUTEX(Err(LINEERR_OPERATIONUNAVAIL));
}

LONG WINAPI TSPI_lineAddToConference(DRV_REQUESTID dwRequestID, HDRVCALL hdConfCall, HDRVCALL hdConsultCall) {
    WAITLINEMUTEX();
    TspTrace(TRACE_TSPI, "Entering TSPI_lineAddToConference(%lx,%lx,%lx)", dwRequestID, hdConfCall,
             hdConsultCall);
    return REL_LINE_MUTEX(Err(LINEERR_OPERATIONUNAVAIL));
}

LONG WINAPI TSPI_linePrepareAddToConference(DRV_REQUESTID dwRequestID, HDRVCALL hdConfCall, HTAPICALL,
                                            LPHDRVCALL, LPLINECALLPARAMS const) {
    WAITLINEMUTEX();
    TspTrace(TRACE_TSPI, "Entering TSPI_linePrepareAddToConference(%lx,%lx)", dwRequestID, hdConfCall);
    return REL_LINE_MUTEX(Err(LINEERR_OPERATIONUNAVAIL));
}

LONG WINAPI TSPI_lineRemoveFromConference(DRV_REQUESTID dwRequestID, HDRVCALL hdCall) {
    WAITLINEMUTEX();
    TspTrace(TRACE_TSPI, "TSPI_lineRemoveFromConference(%lx,%lx)", dwRequestID, hdCall);
    const int32_t cref = CrefOfHandle(hdCall);
    if (!ValidCref(cref))
        return REL_LINE_MUTEX(Err(LINEERR_INVALCALLHANDLE));
    return REL_LINE_MUTEX(RequestReturn(appCall(cref, REQ_DROP, dwRequestID), dwRequestID));
}

LONG WINAPI TSPI_lineForward(DRV_REQUESTID dwRequestID, HDRVLINE hdLine, DWORD, DWORD,
                             LPLINEFORWARDLIST const lpForwardList, DWORD, HTAPICALL,
                             LPHDRVCALL lphdConsultCall, LPLINECALLPARAMS const) {
    WAITLINEMUTEX();
    TspTrace(TRACE_TSPI, "Entering TSPI_lineForward");
    if (hdLine != LineHandle())
        return REL_LINE_MUTEX(Err(LINEERR_INVALLINEHANDLE));
    // No consultation call is ever made.
    if (lphdConsultCall != nullptr)
        *lphdConsultCall = nullptr;
    if (LineBusy())
        return REL_LINE_MUTEX(Err(LINEERR_OPERATIONUNAVAIL));
    uint32_t code = REQ_FWD_CANCEL;
    CallString dest{};
    if (lpForwardList != nullptr)
        if (const LONG bad = ReadForwardList(lpForwardList, code, dest); bad != 0)
            return REL_LINE_MUTEX(bad);
    if (code != REQ_FWD_CANCEL)
        g_line.ForwardAddress = dest;
    return REL_LINE_MUTEX(RequestReturn(appCall(0, code, dwRequestID), dwRequestID));
}

LONG WINAPI TSPI_linePickup(DRV_REQUESTID dwRequestID, HDRVLINE hdLine, DWORD, HTAPICALL htCall,
                            LPHDRVCALL lphdCall, LPCWSTR lpszDestAddress, LPCWSTR) {
    WAITLINEMUTEX();
    TspTrace(TRACE_TSPI, "Entering TSPI_linePickup");
    if (hdLine != LineHandle())
        return REL_LINE_MUTEX(Err(LINEERR_INVALLINEHANDLE));
    if (lphdCall == nullptr)
        return REL_LINE_MUTEX(Err(LINEERR_INVALPOINTER));
    CallString address{};
    if (lpszDestAddress == nullptr || !ReadDialString(lpszDestAddress, address))
        return REL_LINE_MUTEX(Err(LINEERR_INVALADDRESSID));
    TspTrace(TRACE_TSPI, "Entering TSPI_linePickup Address '%s'", address);
    const int cref = FreeCallRecord();
    if (cref < 0) {
        TspTrace(TRACE_TSPI, "Pickup impossible - LINEERR_RESOURCEUNAVAIL");
        return REL_LINE_MUTEX(Err(LINEERR_RESOURCEUNAVAIL));
    }
    g_line.PickupAddress = address;
    *lphdCall = HandleOf(cref);
    const HandleSlot kept = InstallHandle(cref, htCall);
    const LONG result = appCall(cref, REQ_PICKUP, dwRequestID);
    if (g_calls.PickupCref != cref)
        RestoreHandle(cref, kept);
    return REL_LINE_MUTEX(RequestReturn(result, dwRequestID));
}

}  // extern "C"
