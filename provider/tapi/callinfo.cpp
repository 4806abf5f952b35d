#include "tapi/callinfo.h"

#include <array>
#include <cstddef>
#include <cstring>
#include <span>

#include "callmodel/tables.h"
#include "core/config.h"
#include "core/lifecycle.h"
#include "core/line_record.h"
#include "core/trace.h"

namespace zq {

// Every field written lies in the fixed part TAPI 2.0 gives the caller.
static_assert(sizeof(LINECALLINFO) >= LINECALLINFO_FIXED_SIZE);
static_assert(offsetof(LINECALLINFO, dwRedirectingIDNameOffset) + sizeof(DWORD) <= LINECALLINFO_FIXED_SIZE);

namespace {

// Every call state but ACCEPTED, SPECIALINFO and UNKNOWN.
constexpr uint32_t kCallStates = 0x7F7B;
constexpr uint32_t kPartyBoth = LINECALLPARTYID_ADDRESS | LINECALLPARTYID_NAME;

// Code page 1252 from 0x80 to 0x9F; the bytes above are Latin-1.
constexpr std::array<char16_t, 32> kCp1252High = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

std::string_view Text(const std::array<CallString, MAX_CALLS>& table, int cref) {
    return TextOf(table[static_cast<size_t>(cref)]);
}

std::string_view Either(std::string_view first, std::string_view second) {
    return first.empty() ? second : first;
}

// ADDRESS and NAME by presence: 12, 8, 4 or 0.
uint32_t PresentFlags(std::string_view address, std::string_view name) {
    return (address.empty() ? 0 : LINECALLPARTYID_ADDRESS) | (name.empty() ? 0 : LINECALLPARTYID_NAME);
}

// The same, PARTIAL (16) when neither is known.
uint32_t PartyFlags(std::string_view address, std::string_view name) {
    const uint32_t flags = PresentFlags(address, name);
    return flags != 0 ? flags : LINECALLPARTYID_PARTIAL;
}

// A party whose number and name are each written when present.
struct PartyFields {
    DWORD& size;
    DWORD& offset;
    DWORD& nameSize;
    DWORD& nameOffset;
};

void AppendParty(VarPart& v, const PartyFields& f, std::string_view address, std::string_view name,
                 const char* addressTrace = nullptr, const char* nameTrace = nullptr) {
    if (!address.empty()) {
        const uint32_t lg = Append(v, f.size, f.offset, address);
        if (addressTrace != nullptr)
            TspTrace(TRACE_CALL, addressTrace, address, lg);
    }
    if (!name.empty()) {
        const uint32_t lg = Append(v, f.nameSize, f.nameOffset, name);
        if (nameTrace != nullptr)
            TspTrace(TRACE_CALL, nameTrace, name, lg);
    }
}

bool IsForwarded(uint32_t reason) {
    return reason == LINECALLREASON_FWDBUSY || reason == LINECALLREASON_FWDNOANSWER ||
           reason == LINECALLREASON_FWDUNCOND;
}

// The reasons TAPI hears of; any other is unavailable.
uint32_t ReportedReason(uint32_t reason) {
    return reason == LINECALLREASON_DIRECT || reason == LINECALLREASON_PICKUP || IsForwarded(reason)
               ? reason
               : LINECALLREASON_UNAVAIL;
}

PartyFields Caller(LINECALLINFO& i) {
    return {i.dwCallerIDSize, i.dwCallerIDOffset, i.dwCallerIDNameSize, i.dwCallerIDNameOffset};
}
PartyFields Called(LINECALLINFO& i) {
    return {i.dwCalledIDSize, i.dwCalledIDOffset, i.dwCalledIDNameSize, i.dwCalledIDNameOffset};
}
PartyFields Connected(LINECALLINFO& i) {
    return {i.dwConnectedIDSize, i.dwConnectedIDOffset, i.dwConnectedIDNameSize, i.dwConnectedIDNameOffset};
}
PartyFields Redirecting(LINECALLINFO& i) {
    return {i.dwRedirectingIDSize, i.dwRedirectingIDOffset, i.dwRedirectingIDNameSize,
            i.dwRedirectingIDNameOffset};
}
PartyFields Redirection(LINECALLINFO& i) {
    return {i.dwRedirectionIDSize, i.dwRedirectionIDOffset, i.dwRedirectionIDNameSize,
            i.dwRedirectionIDNameOffset};
}

bool IsConnected(int cref) {
    return g_line.calls.lineCallState[static_cast<size_t>(cref)] == LINECALLSTATE_CONNECTED;
}

// The connected party, only while the call is connected.
void AppendConnected(VarPart& v, LINECALLINFO& info, int cref, const char* addressTrace,
                     const char* nameTrace) {
    if (!IsConnected(cref))
        return;
    const std::string_view address = Text(g_line.strings.ConnectedAddr, cref);
    const std::string_view name = Text(g_line.strings.ConnectedName, cref);
    info.dwConnectedIDFlags = PartyFlags(address, name);
    AppendParty(v, Connected(info), address, name, addressTrace, nameTrace);
}

// From TQLA version 2 the PBX's call events name the parties; the display's
// reading stands in for the ones they did not give.
void FillFromEvents(VarPart& v, LINECALLINFO& info, int cref) {
    const CallStrings& s = g_line.strings;
    const size_t i = static_cast<size_t>(cref);
    const std::string_view destAddress = Text(s.DestAddress, cref);
    const std::string_view destName = Text(s.DestName, cref);
    TspTrace(TRACE_CALL, "callState %lx DestAddress:'%s' - DestName:'%s'", g_line.calls.lineCallState[i],
             destAddress, destName);

    if (g_line.calls.Inbound[i] == 0) {
        const std::string_view address = Either(Text(s.CalledAdd, cref), destAddress);
        const std::string_view name = Either(Text(s.CalledName, cref), destName);
        uint32_t lg = Append(v, info.dwCalledIDSize, info.dwCalledIDOffset, address);
        TspTrace(TRACE_CALL, "v2 CalledAdd:'%s' lg %d", address, lg);
        lg = Append(v, info.dwCalledIDNameSize, info.dwCalledIDNameOffset, name);
        TspTrace(TRACE_CALL, "v2 CalledName:'%s' lg %d ", name, lg);
        info.dwCalledIDFlags = PresentFlags(address, name);
        AppendConnected(v, info, cref, "v2 ConnectedAddress:'%s' lg %d", "v2 ConnectedName:'%s' lg %d");
        // Flags only for a call that was redirected: an ADDRESS flag over
        // no number would send the application looking for one.
        const std::string_view redirAddress = Text(s.RedirectionAddress, cref);
        const std::string_view redirName = Text(s.RedirectionName, cref);
        if (!redirAddress.empty() || !redirName.empty()) {
            info.dwRedirectionIDFlags = redirName.empty() ? LINECALLPARTYID_ADDRESS : kPartyBoth;
            AppendParty(v, Redirection(info), redirAddress, redirName, "RedirectionAddress:'%s' lg %d",
                        "RedirectionName:'%s' lg %d");
        }
        info.dwOrigin = LINECALLORIGIN_OUTBOUND;
        info.dwReason = LINECALLREASON_UNAVAIL;
        TspTrace(TRACE_CALL, " dwCalledIDFlags %lx dwConnectedIDFlags %lx", info.dwCalledIDFlags,
                 info.dwConnectedIDFlags);
        return;
    }

    const std::string_view callerAddress = Either(Text(s.CallerAdd, cref), destAddress);
    const std::string_view callerName = Either(Text(s.CallerName, cref), destName);
    uint32_t lg = Append(v, info.dwCallerIDSize, info.dwCallerIDOffset, callerAddress);
    TspTrace(TRACE_CALL, "v2 CallerAdd:'%s' lg %d", callerAddress, lg);
    TspTrace(TRACE_CALL, "CallerAdd:  Used %lx Needed %lx Total %lx", v.used, v.needed, v.bytes.size());
    TspTrace(TRACE_CALL, "v2 CallerAdd:Wide '%S' lg %d", std::u16string_view(AnsiToWide(callerAddress)), lg);
    lg = Append(v, info.dwCallerIDNameSize, info.dwCallerIDNameOffset, callerName);
    TspTrace(TRACE_CALL, "v2 CallerName:'%s' lg %d ", callerName, lg);
    info.dwCallerIDFlags = PresentFlags(callerAddress, callerName);

    const std::string_view calledAddress = Text(s.CalledAdd, cref);
    const std::string_view calledName = Text(s.CalledName, cref);
    info.dwCalledIDFlags = PresentFlags(calledAddress, calledName);
    AppendParty(v, Called(info), calledAddress, calledName, "v2 CalledAdd:'%s' lg %d",
                "v2 CalledName:'%s' lg %d ");
    AppendConnected(v, info, cref, "v2 ConnectedAddress:'%s' lg %d", "v2 ConnectedName:'%s' lg %d");

    info.dwOrigin = s.Origin[i];
    info.dwReason = ReportedReason(s.Reason[i]);
    if (IsForwarded(info.dwReason)) {
        const std::string_view redirName = Text(s.RedirectingName, cref);
        info.dwRedirectingIDFlags = redirName.empty() ? LINECALLPARTYID_ADDRESS : kPartyBoth;
        AppendParty(v, Redirecting(info), Text(s.RedirectingAddress, cref), redirName,
                    "RedirectingAddress:'%s' lg %d", "RedirectingName:'%s' lg %d");
    }
    TspTrace(TRACE_CALL, "CallerIDFlags %lx CalledIDFlags %lx Origin %lx Reason %lx", info.dwCallerIDFlags,
             info.dwCalledIDFlags, info.dwOrigin, info.dwReason);
}

// TQLA version 1 sends no call events: the parties are those the display
// showed, and an incoming call was called on its key's directory number.
void FillFromDisplay(VarPart& v, LINECALLINFO& info, int cref) {
    const CallStrings& s = g_line.strings;
    const size_t i = static_cast<size_t>(cref);
    const std::string_view destAddress = Text(s.DestAddress, cref);
    const std::string_view destName = Text(s.DestName, cref);
    TspTrace(TRACE_CALL, "callState %ld DestAddress:'%s' - DestName:'%s'", g_line.calls.lineCallState[i],
             destAddress, destName);

    if (g_line.calls.Inbound[i] == 0) {
        info.dwCalledIDFlags = PartyFlags(destAddress, destName);
        AppendParty(v, Called(info), destAddress, destName);
        info.dwOrigin = LINECALLORIGIN_OUTBOUND;
    } else {
        info.dwCallerIDFlags = PartyFlags(destAddress, destName);
        AppendParty(v, Caller(info), destAddress, destName);
        const uint32_t key = g_line.calls.Touch[i];
        if (!g_lineSettings.StaticConfig && ValidKey(key)) {
            const std::string_view mcdu = TextOf(g_line.TouchTable[key].Label);
            const uint32_t lg = Append(v, info.dwCalledIDSize, info.dwCalledIDOffset, mcdu);
            TspTrace(TRACE_CALL, "In Called '%s' cbCalledMCDU %d", mcdu, lg);
            info.dwCalledIDFlags =
                info.dwCalledIDSize != 0 ? LINECALLPARTYID_ADDRESS : LINECALLPARTYID_PARTIAL;
        }
        info.dwOrigin = s.Origin[i];
    }
    info.dwReason = LINECALLREASON_UNAVAIL;
    AppendConnected(v, info, cref, "copie connected addr '%s'", "copie connected name '%s'");
}

}  // namespace

int32_t CrefOfHandle(HDRVCALL hdCall) {
    return static_cast<int32_t>(reinterpret_cast<uintptr_t>(hdCall) & 0xFFFF);
}

std::u16string AnsiToWide(std::string_view ansi) {
    std::u16string wide;
    wide.reserve(ansi.size());
    for (const char c : ansi) {
        const auto b = static_cast<uint8_t>(c);
        wide.push_back(b >= 0x80 && b < 0xA0 ? kCp1252High[b - 0x80u] : static_cast<char16_t>(b));
    }
    return wide;
}

size_t WideToAnsi(LPCWSTR text, std::span<char> out) {
    if (out.empty())
        return 0;
    out[0] = '\0';
    if (text == nullptr)
        return 0;
    size_t n = 0;
    for (; static_cast<char16_t>(text[n]) != 0; ++n) {
        if (n + 1 >= out.size()) {
            out[n] = '\0';
            return out.size();
        }
        const auto c = static_cast<char16_t>(text[n]);
        char narrow = '?';
        if (c < 0x80 || (c >= 0xA0 && c < 0x100)) {
            narrow = static_cast<char>(c);
        } else {
            for (size_t i = 0; i < kCp1252High.size(); ++i)
                if (kCp1252High[i] == c)
                    narrow = static_cast<char>(0x80 + i);
        }
        out[n] = narrow;
        out[n + 1] = '\0';
    }
    return n;
}

}  // namespace zq

using namespace zq;

extern "C" {

LONG WINAPI TSPI_lineGetCallInfo(HDRVCALL hdCall, LPLINECALLINFO lpCallInfo) {
    WAITLINEMUTEX();
    const int32_t cref = CrefOfHandle(hdCall);
    if (cref == CONFREF)
        TspTrace(TRACE_TSPI, "Entering TSPI_lineGetCallInfo cref:CONFREF ");
    else
        TspTrace(TRACE_TSPI, "Entering TSPI_lineGetCallInfo cref:%d hdCall:%ld", cref, hdCall);
    if (!ValidCref(cref) && cref != CONFREF)
        return REL_LINE_MUTEX(static_cast<LONG>(LINEERR_INVALCALLHANDLE));
    if (lpCallInfo == nullptr)
        return REL_LINE_MUTEX(static_cast<LONG>(LINEERR_INVALPOINTER));

    const std::span<uint8_t> raw = CallerBytes(lpCallInfo);
    const auto total = static_cast<DWORD>(raw.size());
    if (total < LINECALLINFO_FIXED_SIZE)
        return REL_LINE_MUTEX(static_cast<LONG>(LINEERR_STRUCTURETOOSMALL));

    LINECALLINFO info{};
    info.dwTotalSize = total;
    info.dwLineDeviceID = g_line.dwDeviceID;
    info.dwBearerMode = LINEBEARERMODE_VOICE;
    info.dwMediaMode = g_line.dwMediaMode;
    info.dwAppSpecific = g_line.dwAppSpecific;
    info.dwCallParamFlags = LINECALLPARAMFLAGS_IDLE | LINECALLPARAMFLAGS_BLOCKID;
    info.dwCallStates = kCallStates;
    info.DialParams = {g_line.dial.DialPause, g_line.dial.DialSpeed, g_line.dial.DigitDuration,
                       g_line.dial.WaitForDialtone};

    VarPart v = StartVarPart(raw, LINECALLINFO_FIXED_SIZE);
    if (cref == CONFREF) {
        info.dwOrigin = LINECALLORIGIN_CONFERENCE;
        info.dwReason = LINECALLREASON_UNAVAIL;
    } else if (g_lineSettings.TqlaVersion == 1) {
        FillFromDisplay(v, info, cref);
    } else {
        FillFromEvents(v, info, cref);
    }
    info.dwNeededSize = v.needed;
    info.dwUsedSize = v.used;
    PutFixed(raw, info, LINECALLINFO_FIXED_SIZE);
    return REL_LINE_MUTEX(0);
}

}  // extern "C"
