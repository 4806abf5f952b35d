#include "tapi/queries.h"

#include <array>
#include <cstddef>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

#include "callmodel/calls.h"
#include "callmodel/tables.h"
#include "core/config.h"
#include "core/lifecycle.h"
#include "core/line_record.h"
#include "core/trace.h"
#include "link/serial_link.h"
#include "link/setconfig.h"
#include "tapi/callinfo.h"
#include "tapi/dispatch.h"
#include "tapi/events.h"
#include "tapi/varpart.h"

namespace zq {

// Every field written lies in the fixed part TAPI 2.0 gives the caller.
static_assert(offsetof(LINEDEVCAPS, DefaultDialParams) + sizeof(LINEDIALPARAMS) <= LINEDEVCAPS_FIXED_SIZE);
static_assert(offsetof(LINEADDRESSCAPS, dwAddressFeatures) + sizeof(DWORD) <= LINEADDRESSCAPS_FIXED_SIZE);
static_assert(offsetof(LINEADDRESSSTATUS, dwDevSpecificOffset) + sizeof(DWORD) ==
              LINEADDRESSSTATUS_FIXED_SIZE);
static_assert(offsetof(LINEDEVSTATUS, dwDevStatusFlags) + sizeof(DWORD) <= LINEDEVSTATUS_FIXED_SIZE);
static_assert(offsetof(LINECALLSTATUS, dwCallFeatures) + sizeof(DWORD) <= LINECALLSTATUS_FIXED_SIZE);
static_assert(offsetof(LINEFORWARD, dwDestAddressOffset) + sizeof(DWORD) == LINEFORWARD_SIZE);
static_assert(sizeof(VARSTRING) == VARSTRING_FIXED_SIZE);

namespace {

constexpr std::u16string_view kProviderInfo =
    u"Windows Telephony Service Provider for Velmora ZQ protocol telephone's VEX PC interface";
constexpr std::u16string_view kSwitchInfo = u"Velmora 6200";

// OTHER|CONNECTED|DISCONNECTED|INSERVICE|OUTOFSERVICE|OPEN|CLOSE|NUMCALLS|REINIT
constexpr uint32_t kLineStates = 0x40ECD;
// OTHER, INUSEZERO, INUSEONE, NUMCALLS, FORWARD
constexpr uint32_t kAddressStates = 0x6D;
// OTHER, APPSPECIFIC, ORIGIN, NUMOWNERINCR/DECR, NUMMONITORS, CALLERID,
// CALLEDID, CONNECTEDID, DIALPARAMS
constexpr uint32_t kCallInfoStates = 0x403B921;
// Every call state but ACCEPTED, SPECIALINFO and UNKNOWN.
constexpr uint32_t kCallStates = 0x7F7B;
// BLOCKIDDEFAULT, DIALED, TRANSFERHELD, TRANSFERMAKE, CONFERENCEHELD,
// CONFERENCEMAKE, PARTIALDIAL, PICKUPCALLWAIT
constexpr uint32_t kAddrCapFlags = 0x41F028;
// ANSWER, BLINDTRANSFER, COMPLETETRANSF, DIAL, DROP, GENERATEDIGITS, HOLD,
// REMOVEFROMCONF, SETUPTRANSFER, UNHOLD
constexpr uint32_t kCallFeatures = 0xA040AEC;
// UNCOND, BUSY, NOANSW, BUSYNA
constexpr uint32_t kForwardModes = 0x1111;
// FORWARD, MAKECALL, PICKUP, PICKUPDIRECT, FORWARDFWD
constexpr uint32_t kAddressFeatures = 0x1407;
constexpr uint32_t kPartyBoth = LINECALLPARTYID_ADDRESS | LINECALLPARTYID_NAME;
// Forwarding status from the PBX: 0..3 the four modes, 4 none.
constexpr uint8_t kNotForwarded = 4;
// Stored only: events go to TAPI whatever the application asked for.
struct StatusSettings {
    DWORD defaultMediaModes = 0;
    DWORD lineStates = 0;
    DWORD addressStates = 0;
};
StatusSettings g_status;

constexpr std::array<uint32_t, 4> kForwardModeOfStatus = {LINEFORWARDMODE_UNCOND, LINEFORWARDMODE_BUSY,
                                                          LINEFORWARDMODE_NOANSW, LINEFORWARDMODE_BUSYNA};

bool IsLineHandle(HDRVLINE hdLine) {
    return hdLine == LineHandle();
}

bool AnyCallIn(uint32_t state) {
    for (int cref = 0; cref < MAX_CALLS; ++cref)
        if (StateOf(cref) == state)
            return true;
    return false;
}

bool AnyCallHeld() {
    return AnyCallIn(LINECALLSTATE_ONHOLD) || AnyCallIn(LINECALLSTATE_ONHOLDPENDTRANSFER);
}

// Free records (state 0) count as idle.
bool EveryCallIdle() {
    for (int cref = 0; cref < MAX_CALLS; ++cref)
        if (StateOf(cref) != 0 && StateOf(cref) != LINECALLSTATE_IDLE)
            return false;
    return true;
}

bool LineInService() {
    return PortIsOpen() && g_line.lineDevState == 2;
}

// What the line can start now: `all` when no call is up, `makeCall` when
// no call is being set up, in a conference or disconnected, else nothing.
uint32_t LineFeatures(uint32_t all, uint32_t makeCall) {
    if (!LineInService())
        return 0;
    if (EveryCallIdle())
        return all;
    if (AnyCallIn(LINECALLSTATE_PROCEEDING) || AnyCallIn(LINECALLSTATE_CONFERENCED) ||
        AnyCallIn(LINECALLSTATE_DISCONNECTED))
        return 0;
    return makeCall;
}

struct CallCountFields {
    DWORD active;
    DWORD onHold;
    DWORD onHoldPend;
};

CallCountFields CountCalls() {
    const CallCounts n = CallsStat();
    TspTrace(TRACE_CALL, "NumCalls %d connected %d OnHold %d OnHoldPend %d Reoffer %d", n.NumCalls,
             n.connected, n.OnHold, n.OnHoldPend, n.Reoffer);
    const int active = n.NumCalls - n.OnHold - n.OnHoldPend - n.idle;
    return {static_cast<DWORD>(active > 0 ? active : 0), static_cast<DWORD>(n.OnHold),
            static_cast<DWORD>(n.OnHoldPend)};
}

bool KeyCarriesTwoCalls(int cref) {
    const uint32_t key = g_line.calls.Touch[static_cast<size_t>(cref)];
    if (!ValidKey(key))
        return false;
    const auto& slots = g_line.TouchTable[key].CrefSlot;
    return slots[0] != -1 && slots[1] != -1;
}

uint32_t ConnectedFeatures(int cref) {
    if (AnyCallIn(LINECALLSTATE_PROCEEDING))
        return 0;
    constexpr uint32_t base = LINECALLFEATURE_DROP | LINECALLFEATURE_GENERATEDIGITS | LINECALLFEATURE_HOLD |
                              LINECALLFEATURE_SETUPTRANSFER;
    if (!AnyCallHeld())
        return base | LINECALLFEATURE_BLINDTRANSFER;
    uint32_t features = base | LINECALLFEATURE_COMPLETETRANSF | LINECALLFEATURE_DIAL;
    if (!(g_line.EnqCallMode != 0 && KeyCarriesTwoCalls(cref)))
        features |= LINECALLFEATURE_BLINDTRANSFER;
    return features;
}

void FillCallStatus(LINECALLSTATUS& status, int cref) {
    const uint32_t stored = StateOf(cref);
    uint32_t reported = stored;
    if (stored == CALLSTATE_REOFFER)
        reported = LINECALLSTATE_OFFERING;
    else if (stored == LINECALLSTATE_PROCEEDING)
        reported = LINECALLSTATE_RINGBACK;
    else if (stored == LINECALLSTATE_ONHOLD && g_running.runningOp == REQ_SETUPTRANSFER &&
             g_running.runningCref == cref)
        reported = LINECALLSTATE_ONHOLDPENDTRANSFER;
    status.dwCallState = reported;

    uint32_t features = 0;
    switch (stored) {
        case LINECALLSTATE_IDLE:
        case LINECALLSTATE_UNKNOWN:
            features = EveryCallIdle() ? LINECALLFEATURE_DIAL : 0;
            break;
        case LINECALLSTATE_OFFERING:
        case CALLSTATE_REOFFER:
            features = AnyCallIn(LINECALLSTATE_PROCEEDING) ? 0 : LINECALLFEATURE_ANSWER;
            break;
        case LINECALLSTATE_DIALTONE:
            status.dwCallStateMode = LINEDIALTONEMODE_UNAVAIL;
            features = LINECALLFEATURE_DIAL | LINECALLFEATURE_DROP;
            break;
        case LINECALLSTATE_DIALING:
            features = LINECALLFEATURE_DIAL | LINECALLFEATURE_DROP;
            break;
        case LINECALLSTATE_RINGBACK:
        case LINECALLSTATE_PROCEEDING:
            features = LINECALLFEATURE_DROP | (AnyCallHeld() ? LINECALLFEATURE_COMPLETETRANSF : 0);
            break;
        case LINECALLSTATE_BUSY:
            status.dwCallStateMode = LINEBUSYMODE_UNAVAIL;
            break;
        case LINECALLSTATE_CONNECTED:
            features = ConnectedFeatures(cref);
            break;
        case LINECALLSTATE_ONHOLD:
        case LINECALLSTATE_ONHOLDPENDTRANSFER:
            if (AnyCallIn(LINECALLSTATE_PROCEEDING))
                features = LINECALLFEATURE_COMPLETETRANSF;
            else if (AnyCallIn(LINECALLSTATE_CONNECTED))
                features = LINECALLFEATURE_UNHOLD | LINECALLFEATURE_COMPLETETRANSF;
            else
                features = LINECALLFEATURE_UNHOLD;
            break;
        case LINECALLSTATE_CONFERENCED:
            features = LINECALLFEATURE_DROP | LINECALLFEATURE_REMOVEFROMCONF;
            break;
        case LINECALLSTATE_DISCONNECTED:
            features = LINECALLFEATURE_DROP;
            break;
        default:
            break;
    }
    status.dwCallFeatures = features;
}

// The forwarding entry after the fixed part of the address status, when
// the line is forwarded and the whole of it fits.
void FillForward(std::span<uint8_t> raw, LINEADDRESSSTATUS& status) {
    const uint8_t fwd = g_dl.FwdStatus;
    if (fwd == kNotForwarded)
        return;
    const std::u16string dest = AnsiToWide(TextOf(g_dl.FwdDest));
    const auto destSize = static_cast<uint32_t>((dest.size() + 1) * sizeof(char16_t));
    const uint32_t destOffset = LINEADDRESSSTATUS_FIXED_SIZE + LINEFORWARD_SIZE;
    status.dwNeededSize = destOffset + destSize;
    TspTrace(TRACE_REGISTRY, "size LF %lx LA %lx RCA %x cbRedirectAddr %x", LINEFORWARD_SIZE,
             LINEADDRESSSTATUS_FIXED_SIZE, status.dwNeededSize, destSize);
    if (status.dwNeededSize > raw.size())
        return;
    status.dwUsedSize = status.dwNeededSize;
    status.dwForwardNumEntries = 1;
    status.dwForwardSize = LINEFORWARD_SIZE + destSize;
    status.dwForwardOffset = LINEADDRESSSTATUS_FIXED_SIZE;
    LINEFORWARD entry{};
    entry.dwForwardMode = fwd < kForwardModeOfStatus.size() ? kForwardModeOfStatus[fwd] : 0;
    entry.dwDestAddressSize = destSize;
    entry.dwDestAddressOffset = destOffset;
    PutFixed(raw.subspan(LINEADDRESSSTATUS_FIXED_SIZE), entry, LINEFORWARD_SIZE);
    VarPart v = StartVarPart(raw, destOffset);
    DWORD size = 0;
    DWORD offset = 0;
    AppendWide(v, size, offset, dest);
    TspTrace(TRACE_REGISTRY, "Fwd status %d dwForwardSize %lx", fwd, status.dwForwardSize);
}

bool IsDeviceClassLine(LPCWSTR cls) {
    constexpr std::u16string_view wanted = u"tapi/line";
    for (size_t i = 0; i <= wanted.size(); ++i) {
        const auto c = static_cast<char16_t>(cls[i]);
        if (i == wanted.size())
            return c == 0;
        if (c != wanted[i])
            return false;
    }
    return false;
}

// The caller's address as ANSI, at most 79 characters (the 80 bytes the
// line's address has): anything longer cannot be it anyway.
std::string NarrowAddress(LPCWSTR address, DWORD sizeBytes) {
    std::string narrow;
    const size_t chars = sizeBytes / sizeof(WCHAR);
    for (size_t i = 0; i < chars && narrow.size() < 79; ++i) {
        const auto c = static_cast<char16_t>(address[i]);
        if (c == 0)
            break;
        narrow.push_back(c < 0x100 ? static_cast<char>(c) : '?');
    }
    return narrow;
}

}  // namespace

std::u16string LineNameWide() {
    std::u16string name;
    for (const WCHAR c : g_line.LineName) {
        if (c == 0)
            break;
        name.push_back(static_cast<char16_t>(c));
    }
    return name;
}

LONG NegotiateVersion(DWORD dwDeviceID, DWORD deviceId, DWORD low, DWORD high, LPDWORD lpdwVersion,
                      uint32_t badDevice, uint32_t incompatible, uint32_t badPointer) {
    if (dwDeviceID != NEGOTIATE_ANY_DEVICE && dwDeviceID != deviceId)
        return static_cast<LONG>(badDevice);
    if (low > TSPI_VERSION || high < TSPI_VERSION)
        return static_cast<LONG>(incompatible);
    if (lpdwVersion == nullptr)
        return static_cast<LONG>(badPointer);
    *lpdwVersion = TSPI_VERSION;
    return 0;
}

}  // namespace zq

using namespace zq;

extern "C" {

LONG WINAPI TSPI_lineGetDevCaps(DWORD dwDeviceID, DWORD dwTSPIVersion, DWORD dwExtVersion,
                                LPLINEDEVCAPS lpLineDevCaps) {
    WAITLINEMUTEX();
    TspTrace(TRACE_TSPI, "Entering TSPI_lineGetDevCaps(%lx,%lx,%lx)", dwDeviceID, dwTSPIVersion,
             dwExtVersion);
    if (dwDeviceID != g_line.dwDeviceID)
        return REL_LINE_MUTEX(Err(LINEERR_BADDEVICEID));
    if (lpLineDevCaps == nullptr)
        return REL_LINE_MUTEX(Err(LINEERR_INVALPOINTER));
    const std::span<uint8_t> raw = CallerBytes(lpLineDevCaps);
    if (raw.size() < LINEDEVCAPS_FIXED_SIZE)
        return REL_LINE_MUTEX(Err(LINEERR_STRUCTURETOOSMALL));

    LINEDEVCAPS caps{};
    caps.dwTotalSize = static_cast<DWORD>(raw.size());
    VarPart v = StartVarPart(raw, LINEDEVCAPS_FIXED_SIZE);
    const std::u16string name = LineNameWide();
    const uint32_t cbInfo = AppendWide(v, caps.dwProviderInfoSize, caps.dwProviderInfoOffset, kProviderInfo);
    const uint32_t cbName = AppendWide(v, caps.dwLineNameSize, caps.dwLineNameOffset, name);
    AppendWide(v, caps.dwSwitchInfoSize, caps.dwSwitchInfoOffset, kSwitchInfo);
    TspTrace(TRACE_TSPI, "cbinfo 0x%x cbname 0x%x gszProviderInfo '%S' linename '%S' ", cbInfo, cbName,
             kProviderInfo, std::u16string_view(name));
    caps.dwNeededSize = v.needed;
    caps.dwUsedSize = v.used;
    caps.dwPermanentLineID = g_provider.permanentProviderId << 16;
    caps.dwStringFormat = STRINGFORMAT_ASCII;
    caps.dwNumAddresses = 1;
    caps.dwBearerModes = LINEBEARERMODE_VOICE;
    caps.dwMediaModes = LINEMEDIAMODE_INTERACTIVEVOICE;
    caps.dwGenerateDigitModes = LINEDIGITMODE_PULSE | LINEDIGITMODE_DTMF;
    caps.dwMaxNumActiveCalls = 1;
    caps.dwAnswerMode = LINEANSWERMODE_HOLD;
    caps.dwLineStates = kLineStates;
    caps.MinDialParams = {0, 50, 50, 1000};
    caps.MaxDialParams = {255000, 255, 255, 255000};
    caps.DefaultDialParams = {2000, 95, 95, 60000};
    PutFixed(raw, caps, LINEDEVCAPS_FIXED_SIZE);
    return REL_LINE_MUTEX(0);
}

LONG WINAPI TSPI_lineGetAddressCaps(DWORD dwDeviceID, DWORD dwAddressID, DWORD dwTSPIVersion,
                                    DWORD dwExtVersion, LPLINEADDRESSCAPS lpAddressCaps) {
    WAITLINEMUTEX();
    TspTrace(TRACE_TSPI, "Entering TSPI_lineGetAddressCaps(%lx,%lx,%lx,%lx)", dwDeviceID, dwAddressID,
             dwTSPIVersion, dwExtVersion);
    if (dwDeviceID != g_line.dwDeviceID)
        return REL_LINE_MUTEX(Err(LINEERR_BADDEVICEID));
    if (dwAddressID != 0)
        return REL_LINE_MUTEX(Err(LINEERR_INVALADDRESSID));
    if (lpAddressCaps == nullptr)
        return REL_LINE_MUTEX(Err(LINEERR_INVALPOINTER));
    const std::span<uint8_t> raw = CallerBytes(lpAddressCaps);
    if (raw.size() < LINEADDRESSCAPS_FIXED_SIZE)
        return REL_LINE_MUTEX(Err(LINEERR_STRUCTURETOOSMALL));

    LINEADDRESSCAPS caps{};
    caps.dwTotalSize = static_cast<DWORD>(raw.size());
    const std::string_view address = TextOf(g_line.Address);
    TspTrace(TRACE_TSPI, "TSPI_lineGetAddressCaps lineaddr '%s'", address);
    VarPart v = StartVarPart(raw, LINEADDRESSCAPS_FIXED_SIZE);
    Append(v, caps.dwAddressSize, caps.dwAddressOffset, address);
    caps.dwNeededSize = v.needed;
    caps.dwUsedSize = v.used;
    caps.dwLineDeviceID = g_line.dwDeviceID;
    caps.dwAddressSharing = LINEADDRESSSHARING_PRIVATE;
    caps.dwAddressStates = kAddressStates;
    caps.dwCallInfoStates = kCallInfoStates;
    caps.dwCallerIDFlags = kPartyBoth;
    caps.dwCalledIDFlags = kPartyBoth;
    caps.dwConnectedIDFlags = kPartyBoth;
    caps.dwRedirectionIDFlags = kPartyBoth;
    caps.dwRedirectingIDFlags = kPartyBoth;
    caps.dwCallStates = kCallStates;
    caps.dwDialToneModes = LINEDIALTONEMODE_UNAVAIL;
    caps.dwBusyModes = LINEBUSYMODE_UNAVAIL;
    caps.dwSpecialInfo = LINESPECIALINFO_UNAVAIL;
    caps.dwDisconnectModes = LINEDISCONNECTMODE_UNKNOWN;
    caps.dwMaxNumActiveCalls = 1;
    caps.dwMaxNumOnHoldCalls = 20;
    caps.dwMaxNumOnHoldPendingCalls = 1;
    caps.dwMaxNumConference = 3;
    caps.dwAddrCapFlags = kAddrCapFlags;
    caps.dwCallFeatures = kCallFeatures;
    caps.dwRemoveFromConfCaps = LINEREMOVEFROMCONF_LAST;
    caps.dwRemoveFromConfState = LINECALLSTATE_IDLE;
    caps.dwTransferModes = LINETRANSFERMODE_TRANSFER | LINETRANSFERMODE_CONFERENCE;
    caps.dwForwardModes = kForwardModes;
    caps.dwMaxForwardEntries = 1;
    caps.dwAddressFeatures = kAddressFeatures;
    PutFixed(raw, caps, LINEADDRESSCAPS_FIXED_SIZE);
    return REL_LINE_MUTEX(0);
}

LONG WINAPI TSPI_lineGetAddressStatus(HDRVLINE hdLine, DWORD dwAddressID,
                                      LPLINEADDRESSSTATUS lpAddressStatus) {
    WAITLINEMUTEX();
    TspTrace(TRACE_TSPI, "Entering TSPI_lineGetAddressStatus(%lx,%lx)", hdLine, dwAddressID);
    if (!IsLineHandle(hdLine))
        return REL_LINE_MUTEX(Err(LINEERR_INVALLINEHANDLE));
    if (dwAddressID != 0)
        return REL_LINE_MUTEX(Err(LINEERR_INVALADDRESSID));
    if (lpAddressStatus == nullptr)
        return REL_LINE_MUTEX(Err(LINEERR_INVALPOINTER));
    const std::span<uint8_t> raw = CallerBytes(lpAddressStatus);
    if (raw.size() < LINEADDRESSSTATUS_FIXED_SIZE)
        return REL_LINE_MUTEX(Err(LINEERR_STRUCTURETOOSMALL));

    LINEADDRESSSTATUS status{};
    status.dwTotalSize = static_cast<DWORD>(raw.size());
    status.dwNeededSize = LINEADDRESSSTATUS_FIXED_SIZE;
    status.dwUsedSize = LINEADDRESSSTATUS_FIXED_SIZE;
    const CallCountFields n = CountCalls();
    status.dwNumInUse = 1;
    status.dwNumActiveCalls = n.active;
    status.dwNumOnHoldCalls = n.onHold;
    status.dwNumOnHoldPendCalls = n.onHoldPend;
    status.dwNumRingsNoAnswer = 4;
    status.dwAddressFeatures =
        LineFeatures(LINEADDRFEATURE_FORWARD | LINEADDRFEATURE_MAKECALL | LINEADDRFEATURE_PICKUP,
                     LINEADDRFEATURE_MAKECALL);
    FillForward(raw, status);
    PutFixed(raw, status, LINEADDRESSSTATUS_FIXED_SIZE);
    return REL_LINE_MUTEX(0);
}

LONG WINAPI TSPI_lineGetLineDevStatus(HDRVLINE hdLine, LPLINEDEVSTATUS lpLineDevStatus) {
    WAITLINEMUTEX();
    TspTrace(TRACE_TSPI, "Entering TSPI_lineGetLineDevStatus(%lx)", hdLine);
    if (!IsLineHandle(hdLine))
        return REL_LINE_MUTEX(Err(LINEERR_INVALLINEHANDLE));
    if (lpLineDevStatus == nullptr)
        return REL_LINE_MUTEX(Err(LINEERR_INVALPOINTER));
    const std::span<uint8_t> raw = CallerBytes(lpLineDevStatus);
    if (raw.size() < LINEDEVSTATUS_FIXED_SIZE)
        return REL_LINE_MUTEX(Err(LINEERR_STRUCTURETOOSMALL));

    LINEDEVSTATUS status{};
    status.dwTotalSize = static_cast<DWORD>(raw.size());
    status.dwNeededSize = LINEDEVSTATUS_FIXED_SIZE;
    status.dwUsedSize = LINEDEVSTATUS_FIXED_SIZE;
    status.dwRoamMode = LINEROAMMODE_UNAVAIL;
    const CallCountFields n = CountCalls();
    status.dwNumActiveCalls = n.active;
    status.dwNumOnHoldCalls = n.onHold;
    status.dwNumOnHoldPendCalls = n.onHoldPend;
    status.dwLineFeatures = LineFeatures(LINEFEATURE_FORWARD | LINEFEATURE_MAKECALL, LINEFEATURE_MAKECALL);
    status.dwDevStatusFlags =
        LineInService() ? LINEDEVSTATUSFLAGS_CONNECTED | LINEDEVSTATUSFLAGS_INSERVICE : 0;
    status.dwNumCallCompletions = g_line.pendingReqId != 0 ? 1 : 0;
    PutFixed(raw, status, LINEDEVSTATUS_FIXED_SIZE);
    return REL_LINE_MUTEX(0);
}

LONG WINAPI TSPI_lineGetCallStatus(HDRVCALL hdCall, LPLINECALLSTATUS lpCallStatus) {
    WAITLINEMUTEX();
    const int32_t cref = CrefOfHandle(hdCall);
    TspTrace(TRACE_TSPI, "Entering TSPI_lineGetCallStatus cref:%d", cref);
    if (!ValidCref(cref) && cref != CONFREF)
        return REL_LINE_MUTEX(Err(LINEERR_INVALCALLHANDLE));
    if (lpCallStatus == nullptr)
        return REL_LINE_MUTEX(Err(LINEERR_INVALPOINTER));
    const std::span<uint8_t> raw = CallerBytes(lpCallStatus);
    if (raw.size() < LINECALLSTATUS_FIXED_SIZE)
        return REL_LINE_MUTEX(Err(LINEERR_STRUCTURETOOSMALL));

    LINECALLSTATUS status{};
    status.dwTotalSize = static_cast<DWORD>(raw.size());
    status.dwNeededSize = LINECALLSTATUS_FIXED_SIZE;
    status.dwUsedSize = LINECALLSTATUS_FIXED_SIZE;
    if (cref == CONFREF) {
        status.dwCallState = g_line.ConfState;
        status.dwCallFeatures = LINECALLFEATURE_DROP;
    } else {
        FillCallStatus(status, cref);
    }
    PutFixed(raw, status, LINECALLSTATUS_FIXED_SIZE);
    return REL_LINE_MUTEX(0);
}

LONG WINAPI TSPI_lineGetID(HDRVLINE hdLine, DWORD dwAddressID, HDRVCALL hdCall, DWORD dwSelect,
                           LPVARSTRING lpDeviceID, LPCWSTR lpszDeviceClass, HANDLE hTargetProcess) {
    WAITLINEMUTEX();
    TspTrace(TRACE_TSPI, "Entering TSPI_lineGetID(%lx,%lx,%lx,%lx,%lx)", hdLine, dwAddressID, hdCall,
             dwSelect, hTargetProcess);
    if (!IsLineHandle(hdLine))
        return REL_LINE_MUTEX(Err(LINEERR_INVALLINEHANDLE));
    if (lpszDeviceClass == nullptr || !IsDeviceClassLine(lpszDeviceClass))
        return REL_LINE_MUTEX(Err(LINEERR_NODEVICE));
    if (lpDeviceID == nullptr)
        return REL_LINE_MUTEX(Err(LINEERR_INVALPOINTER));
    const std::span<uint8_t> raw = CallerBytes(lpDeviceID);
    if (raw.size() < VARSTRING_FIXED_SIZE)
        return REL_LINE_MUTEX(Err(LINEERR_STRUCTURETOOSMALL));

    constexpr uint32_t idSize = sizeof(DWORD);
    VARSTRING id{};
    id.dwTotalSize = static_cast<DWORD>(raw.size());
    id.dwNeededSize = VARSTRING_FIXED_SIZE + idSize;
    id.dwUsedSize = VARSTRING_FIXED_SIZE;
    if (raw.size() >= id.dwNeededSize) {
        id.dwUsedSize = id.dwNeededSize;
        id.dwStringFormat = STRINGFORMAT_BINARY;
        id.dwStringSize = idSize;
        id.dwStringOffset = VARSTRING_FIXED_SIZE;
        const DWORD device = g_line.dwDeviceID;
        std::memcpy(raw.subspan(VARSTRING_FIXED_SIZE, idSize).data(), &device, idSize);
    }
    PutFixed(raw, id, VARSTRING_FIXED_SIZE);
    return REL_LINE_MUTEX(0);
}

LONG WINAPI TSPI_lineGetNumAddressIDs(HDRVLINE hdLine, LPDWORD lpdwNumAddressIDs) {
    WAITLINEMUTEX();
    TspTrace(TRACE_TSPI, "Entering TSPI_lineGetNumAddressIDs(%lx)", hdLine);
    if (!IsLineHandle(hdLine))
        return REL_LINE_MUTEX(Err(LINEERR_INVALLINEHANDLE));
    if (lpdwNumAddressIDs == nullptr)
        return REL_LINE_MUTEX(Err(LINEERR_INVALPOINTER));
    *lpdwNumAddressIDs = 1;
    return REL_LINE_MUTEX(0);
}

LONG WINAPI TSPI_lineGetAddressID(HDRVLINE hdLine, LPDWORD lpdwAddressID, DWORD dwAddressMode,
                                  LPCWSTR lpsAddress, DWORD dwSize) {
    WAITLINEMUTEX();
    if (!IsLineHandle(hdLine))
        return REL_LINE_MUTEX(Err(LINEERR_INVALLINEHANDLE));
    if (lpdwAddressID == nullptr || lpsAddress == nullptr)
        return REL_LINE_MUTEX(Err(LINEERR_INVALPOINTER));
    const std::string address = NarrowAddress(lpsAddress, dwSize);
    const std::string_view lineAddress = TextOf(g_line.Address);
    TspTrace(TRACE_TSPI, "Entering TSPI_lineGetAddressID lpsAddress '%S'",
             std::u16string_view(AnsiToWide(address)));
    TspTrace(TRACE_TSPI, "Entering TSPI_lineGetAddressID lineaddr '%s'", lineAddress);
    TspTrace(TRACE_TSPI, "Entering TSPI_lineGetAddressID Address  '%s'", address);
    (void)dwAddressMode;
    if (address != lineAddress)
        return REL_LINE_MUTEX(Err(LINEERR_INVALADDRESS));
    *lpdwAddressID = 0;
    return REL_LINE_MUTEX(0);
}

LONG WINAPI TSPI_lineGetCallAddressID(HDRVCALL hdCall, LPDWORD lpdwAddressID) {
    WAITLINEMUTEX();
    const int32_t cref = CrefOfHandle(hdCall);
    TspTrace(TRACE_TSPI, "Entering TSPI_lineGetCallAddressID cref:%d", cref);
    if (!ValidCref(cref))
        return REL_LINE_MUTEX(Err(LINEERR_INVALCALLHANDLE));
    if (lpdwAddressID == nullptr)
        return REL_LINE_MUTEX(Err(LINEERR_INVALPOINTER));
    *lpdwAddressID = 0;
    return REL_LINE_MUTEX(0);
}

LONG WINAPI TSPI_lineSetAppSpecific(HDRVCALL hdCall, DWORD dwAppSpecific) {
    WAITLINEMUTEX();
    const int32_t cref = CrefOfHandle(hdCall);
    TspTrace(TRACE_TSPI, "Entering TSPI_lineSetAppSpecific cref:%d %lx", cref, dwAppSpecific);
    if (!ValidCref(cref))
        return REL_LINE_MUTEX(Err(LINEERR_INVALCALLHANDLE));
    g_line.dwAppSpecific = dwAppSpecific;
    DoLineEvent(LINE_CALLINFO, LINECALLINFOSTATE_APPSPECIFIC, 0, cref);
    return REL_LINE_MUTEX(0);
}

LONG WINAPI TSPI_lineSetMediaMode(HDRVCALL hdCall, DWORD dwMediaMode) {
    WAITLINEMUTEX();
    const int32_t cref = CrefOfHandle(hdCall);
    TspTrace(TRACE_TSPI, "Entering TSPI_lineSetMediaMode cref:%d %lx", cref, dwMediaMode);
    if (!ValidCref(cref))
        return REL_LINE_MUTEX(Err(LINEERR_INVALCALLHANDLE));
    if (dwMediaMode != LINEMEDIAMODE_INTERACTIVEVOICE)
        return REL_LINE_MUTEX(Err(LINEERR_INVALMEDIAMODE));
    g_line.dwMediaMode = dwMediaMode;
    return REL_LINE_MUTEX(0);
}

LONG WINAPI TSPI_lineSetDefaultMediaDetection(HDRVLINE hdLine, DWORD dwMediaModes) {
    WAITLINEMUTEX();
    TspTrace(TRACE_TSPI, "Entering TSPI_lineSetDefaultMediaDetection(%lx,%lx)", hdLine, dwMediaModes);
    if (!IsLineHandle(hdLine))
        return REL_LINE_MUTEX(Err(LINEERR_INVALLINEHANDLE));
    if (dwMediaModes != 0 && dwMediaModes != LINEMEDIAMODE_INTERACTIVEVOICE)
        return REL_LINE_MUTEX(Err(LINEERR_INVALMEDIAMODE));
    g_status.defaultMediaModes = dwMediaModes;
    return REL_LINE_MUTEX(0);
}

LONG WINAPI TSPI_lineConditionalMediaDetection(HDRVLINE hdLine, DWORD dwMediaModes,
                                               LPLINECALLPARAMS const lpCallParams) {
    WAITLINEMUTEX();
    TspTrace(TRACE_TSPI, "Entering TSPI_lineConditionalMediaDetection(%lx,%lx,%lx)", hdLine, dwMediaModes,
             lpCallParams);
    if (!IsLineHandle(hdLine))
        return REL_LINE_MUTEX(Err(LINEERR_INVALLINEHANDLE));
    return REL_LINE_MUTEX(dwMediaModes == LINEMEDIAMODE_INTERACTIVEVOICE ? 0 : Err(LINEERR_INVALMEDIAMODE));
}

LONG WINAPI TSPI_lineSetStatusMessages(HDRVLINE hdLine, DWORD dwLineStates, DWORD dwAddressStates) {
    WAITLINEMUTEX();
    TspTrace(TRACE_TSPI, "Entering TSPI_lineSetStatusMessages(%lx,%lx,%lx)", hdLine, dwLineStates,
             dwAddressStates);
    if (!IsLineHandle(hdLine))
        return REL_LINE_MUTEX(Err(LINEERR_INVALLINEHANDLE));
    g_status.lineStates = dwLineStates;
    g_status.addressStates = dwAddressStates;
    return REL_LINE_MUTEX(0);
}

LONG WINAPI TSPI_lineNegotiateTSPIVersion(DWORD dwDeviceID, DWORD dwLowVersion, DWORD dwHighVersion,
                                          LPDWORD lpdwTSPIVersion) {
    TspTrace(TRACE_TSPI, "Entering TSPI_lineNegotiateTSPIVersion(%lx,%lx,%lx)", dwDeviceID, dwLowVersion,
             dwHighVersion);
    return NegotiateVersion(dwDeviceID, g_line.dwDeviceID, dwLowVersion, dwHighVersion, lpdwTSPIVersion,
                            LINEERR_BADDEVICEID, LINEERR_INCOMPATIBLEAPIVERSION, LINEERR_INVALPOINTER);
}

LONG WINAPI TSPI_lineNegotiateExtVersion(DWORD dwDeviceID, DWORD dwTSPIVersion, DWORD dwLowVersion,
                                         DWORD dwHighVersion, LPDWORD lpdwExtVersion) {
    WAITLINEMUTEX();
    TspTrace(TRACE_TSPI, "Entering TSPI_lineNegotiateExtVersion(%lx,%lx,%lx,%lx)", dwDeviceID, dwTSPIVersion,
             dwLowVersion, dwHighVersion);
    if (dwDeviceID != NEGOTIATE_ANY_DEVICE && dwDeviceID != g_line.dwDeviceID)
        return REL_LINE_MUTEX(Err(LINEERR_BADDEVICEID));
    if (lpdwExtVersion == nullptr)
        return REL_LINE_MUTEX(Err(LINEERR_INVALPOINTER));
    *lpdwExtVersion = 0;
    return REL_LINE_MUTEX(0);
}

}  // extern "C"
