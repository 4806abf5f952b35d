#include "callmodel/display.h"

#include <algorithm>
#include <string>
#include <string_view>

#include "callmodel/calls.h"
#include "core/config.h"
#include "core/line_record.h"
#include "core/trace.h"
#include "link/supervision.h"
#include "tapi/events.h"

namespace zq {
namespace {

bool IsSeparator(uint8_t c) {
    return c == ' ' || c == '/';
}

// A field ends at the first space followed by another space, at a column
// never written, or at column 40.
int FieldEnd(int from) {
    for (int col = from; col < DISPLAY_WIDTH; ++col) {
        if (RawAt(col) == 0 || (RawAt(col) == ' ' && RawAt(col + 1) == ' '))
            return col;
    }
    return DISPLAY_WIDTH;
}

// Columns [from, to) of line 0, translated.
std::string Columns(const std::string& line, int from, int to) {
    from = std::clamp(from, 0, static_cast<int>(line.size()));
    to = std::clamp(to, from, static_cast<int>(line.size()));
    return line.substr(static_cast<size_t>(from), static_cast<size_t>(to - from));
}

CallString& Str(std::array<CallString, MAX_CALLS>& table, int cref) {
    return table[static_cast<size_t>(cref)];
}

void SetString(std::array<CallString, MAX_CALLS>& table, int cref, std::string_view text) {
    CopyText(Str(table, cref), text);
}

bool Empty(std::array<CallString, MAX_CALLS>& table, int cref) {
    return Str(table, cref)[0] == '\0';
}

void SendCallInfo(int cref, uint32_t what) {
    DoLineEvent(LINE_CALLINFO, what, 0, cref);
}

// The caller's identity; from TQLA version 2 the PBX's call events bring
// it, and the display only stands in while they have not.
void SendCallerInfo(int cref) {
    if (g_lineSettings.TqlaVersion != 1 && !Empty(g_line.strings.CallerAdd, cref))
        return;
    SendCallInfo(cref, g_lineSettings.StaticConfig ? LINECALLINFOSTATE_CALLERID
                                                   : LINECALLINFOSTATE_CALLERID | LINECALLINFOSTATE_CALLEDID);
}

// A field that begins with a digit is a number, anything else a name; the
// other string of the pair is emptied.
void StoreParty(int cref, std::string_view text, bool number) {
    CallStrings& s = g_line.strings;
    if (number) {
        SetString(s.DestAddress, cref, text);
        SetString(s.DestName, cref, "");
        TspTrace(TRACE_CALL, "GetCallInformation - Récupération du numéro du correspondant:%s", text);
    } else {
        SetString(s.DestName, cref, text);
        SetString(s.DestAddress, cref, "");
        TspTrace(TRACE_CALL, "GetCallInformation - Récupération du nom du correspondant:%s", text);
    }
}

// The number of a ringing call and, with TQLA version 1, where it comes
// from: the outside-line prefix shown, or its length.
std::string_view CallerNumber(int cref, std::string_view text) {
    uint32_t& origin = g_line.strings.Origin[static_cast<size_t>(cref)];
    if (g_lineSettings.TqlaVersion != 1)
        return text;
    if (g_lineSettings.ExtPrefixDisp) {
        // An empty prefix would make every caller external.
        const std::string_view prefix = TextOf(g_lineSettings.ExtPrefix);
        if (!prefix.empty() && text.starts_with(prefix)) {
            origin = LINECALLORIGIN_EXTERNAL;
            TspTrace(TRACE_CALL, "GetCallInfo prefix trouve len %d origin EXTERNAL", prefix.size());
            return text.substr(prefix.size());
        }
        origin = LINECALLORIGIN_INTERNAL;
        TspTrace(TRACE_CALL, "no prefix =>origin INTERNAL");
        return text;
    }
    if (static_cast<int>(text.size()) > g_lineSettings.MaxDigitLocalCall) {
        origin = LINECALLORIGIN_EXTERNAL;
        TspTrace(TRACE_CALL, "origin EXTERNAL");
    } else {
        origin = LINECALLORIGIN_INTERNAL;
        TspTrace(TRACE_CALL, "origin INTERNAL");
    }
    return text;
}

// "k:" at the start of line 0: the caller of a call ringing on key k.
int RingingKeyShown() {
    return IsDigit(RawAt(0)) && RawAt(1) == ':' ? RawAt(0) - '0' : -1;
}

bool RingsOn(int cref, int key) {
    return ValidCref(cref) && key > 0 &&
           g_line.calls.Touch[static_cast<size_t>(cref)] == static_cast<uint32_t>(key);
}

bool IncomingCaller(int cref, const std::string& line) {
    if (!ValidCref(cref) || cref != g_superv.IncomingCref || !RingsOn(cref, RingingKeyShown()))
        return false;
    g_line.strings.Origin[static_cast<size_t>(cref)] = LINECALLORIGIN_UNKNOWN;
    const std::string text = Columns(line, 2, FieldEnd(2));
    TspTrace(TRACE_CALL, "GetCallInformation - Récupération: -%s-", text);
    if (!text.empty() && IsDigit(RawAt(2)))
        StoreParty(cref, CallerNumber(cref, text), true);
    else
        StoreParty(cref, text, false);
    g_superv.IncomingCref = -1;
    g_superv.OfferWaitCount = 0;
    TspTrace(TRACE_CALL, "- Etat:OFFERING - Ref:%d", cref);
    SendState(cref, LINECALLSTATE_OFFERING);
    SendCallerInfo(cref);
    return true;
}

bool WaitingCaller(const std::string& line) {
    const int key = RingingKeyShown();
    if (key < 0)
        return false;
    const int count = std::clamp(g_line.lists.MultiLineKeys.count, 0, MAX_MULTILINE);
    for (int i = 0; i < count; ++i) {
        int32_t& waiting = g_set.WaitInfo[static_cast<size_t>(i)];
        if (!RingsOn(waiting, key))
            continue;
        const int cref = waiting;
        // Here the field keeps the space that ends it.
        int end = FieldEnd(2);
        if (RawAt(end) == ' ')
            ++end;
        const std::string text = Columns(line, 2, end);
        StoreParty(cref, text, !text.empty() && IsDigit(RawAt(2)));
        TspTrace(TRACE_CALL, "DoLineEvent\t(LINE_CALLINFO,LINECALLINFOSTATE_CALLERID, 0, WaitInfo[i]:%lx)",
                 cref);
        SendCallerInfo(cref);
        waiting = -1;
        return true;
    }
    return false;
}

bool ConnectedCaller(const std::string& line) {
    const int cref = g_calls.ConnectedCref;
    if (!ValidCref(cref))
        return false;
    const std::string text = Columns(line, 0, FieldEnd(0));
    StoreParty(cref, text, !text.empty() && IsDigit(RawAt(0)));
    TspTrace(TRACE_CALL, "DoLineEventLINE_CALLINFO,LINECALLINFOSTATE_CALLERID,UnknownConnectedCall:%lx)",
             cref);
    SendCallerInfo(cref);
    g_calls.ConnectedCref = -1;
    return true;
}

}  // namespace

void GetCallInformation(int cref) {
    const std::string line = DisplayText(0);
    if (IncomingCaller(cref, line) || WaitingCaller(line))
        return;
    ConnectedCaller(line);
}

void RequestDispName(int cref) {
    if (!ValidCref(cref))
        return;
    const auto i = static_cast<size_t>(cref);
    const std::string line = DisplayText(0);
    TspTrace(TRACE_CALL, "RequestDispName disp 0 ->'%s'", line);
    const bool forwarded = RawAt(0) == '=' && RawAt(1) == '>';
    const int start = forwarded ? 2 : 0;
    if (forwarded)
        TspTrace(TRACE_CALL, "RequestDispName Renvoi");

    // A name runs up to a separator followed by another separator (no
    // number) or by a digit (the number starts there).
    const bool namePresent = !IsDigit(RawAt(start));
    bool addressPresent = !namePresent;
    int posName = start;
    int posAddress = namePresent ? 0 : start;
    std::string name;
    if (namePresent) {
        for (; posName < DISPLAY_WIDTH; ++posName) {
            const uint8_t c = RawAt(posName);
            if (c == 0)
                break;
            if (IsSeparator(c)) {
                const uint8_t next = RawAt(posName + 1);
                if (next == 0 || IsSeparator(next))
                    break;
                if (IsDigit(next)) {
                    addressPresent = true;
                    posAddress = posName + 1;
                    break;
                }
            }
            name += line[static_cast<size_t>(posName)];
        }
    }
    TspTrace(TRACE_CALL, "NamePresent %d AddressPresent %d TmpName '%s' len %d PosName %d PosAddress %d",
             namePresent ? 1 : 0, addressPresent ? 1 : 0, name, name.size(), posName, posAddress);
    if (posName == start && !forwarded)
        return;

    std::string number;
    if (addressPresent) {
        int end = posAddress;
        while (end < DISPLAY_WIDTH && RawAt(end) != 0 && !IsSeparator(RawAt(end)))
            ++end;
        number = Columns(line, posAddress, end);
        TspTrace(TRACE_CALL, "RequestDispName TmpAddress '%s' len %d PosName %d PosAddress %d", number,
                 number.size(), posName, posAddress);
    }

    CallStrings& s = g_line.strings;
    switch (g_line.calls.lineCallState[i]) {
        case LINECALLSTATE_PROCEEDING: {
            // What the PBX told of the called party stands.
            if (!Empty(s.CalledName, cref) && !Empty(s.CalledAdd, cref))
                return;
            if (!name.empty())
                SetString(s.DestName, cref, name);
            if (forwarded && !number.empty())
                SetString(s.DestAddress, cref, number);
            if ((!name.empty() && Empty(s.CalledName, cref)) ||
                (forwarded && !number.empty() && Empty(s.CalledAdd, cref))) {
                TspTrace(TRACE_CALL, "DoLineEvent\t(LINE_CALLINFO,LINECALLINFOSTATE_CALLEDID, 0, cref:%lx)",
                         cref);
                SendCallInfo(cref, LINECALLINFOSTATE_CALLEDID);
            }
            return;
        }
        case LINECALLSTATE_CONNECTED:
            SetString(s.ConnectedName, cref, name);
            SetString(s.ConnectedAddr, cref, number);
            if (g_line.calls.Inbound[i] != 0 && !number.empty() && Empty(s.CallerAdd, cref) &&
                Empty(s.DestAddress, cref)) {
                SetString(s.DestAddress, cref, number);
                TspTrace(TRACE_CALL, "DoLineEvent\t(LINE_CALLINFO,LINECALLINFOSTATE_CALLERID, 0, cref:%lx)",
                         cref);
                SendCallInfo(cref, LINECALLINFOSTATE_CALLERID);
            }
            if (!name.empty() || !number.empty()) {
                TspTrace(TRACE_CALL,
                         "DoLineEvent\t(LINE_CALLINFO,LINECALLINFOSTATE_CONNECTEDID, 0, cref:%lx)", cref);
                SendCallInfo(cref, LINECALLINFOSTATE_CONNECTEDID);
            }
            return;
        default:
            return;
    }
}

void EnquiryConnectedName(int cref) {
    if (!ValidCref(cref))
        return;
    const auto i = static_cast<size_t>(cref);
    TspTrace(TRACE_CALL, "Enquiry connected call name");
    g_line.strings.NameEnquiry[i] = 1;

    const std::string line = DisplayText(0);
    int end = 0;
    while (end < DISPLAY_WIDTH && RawAt(end) != 0 &&
           !(IsSeparator(RawAt(end)) && IsSeparator(RawAt(end + 1))))
        ++end;
    const std::string candidate = Columns(line, 0, end);
    TspTrace(TRACE_CALL, "Extract connected 1 TmpDestName %s len %d ", candidate, candidate.size());
    if (candidate.empty())
        return;

    // The number may be shown cut by a digit or two; an address too short
    // to leave anything is not looked for (it would match everywhere).
    const std::string_view address = TextOf(g_line.strings.DestAddress[i]);
    std::string name = candidate;
    for (size_t cut = 0; cut < 3 && cut < address.size(); ++cut) {
        const std::string_view partial = address.substr(0, address.size() - cut);
        TspTrace(TRACE_CALL, "i:%d - PartialAddress:%s", cut, partial);
        const size_t at = candidate.find(partial);
        if (at == std::string::npos)
            continue;
        TspTrace(TRACE_CALL, "numpos");
        if (at == 0 && g_line.calls.byMakeCall[i] != 0) {
            TspTrace(TRACE_CALL, "le display ne contient que le numéro de l'appelé");
            return;
        }
        TspTrace(TRACE_CALL, "On récupère le nom");
        // The character before the number (its separator) ends the name.
        name = candidate.substr(0, at == 0 ? 0 : at - 1);
        break;
    }
    SetString(g_line.strings.DestName, cref, name);
    TspTrace(TRACE_CALL, "DoLineEvent\t(LINE_CALLINFO,LINECALLINFOSTATE_CALLEDID, 0, cref:%lx)", cref);
    SendCallInfo(cref, LINECALLINFOSTATE_CALLEDID);
}

int SoftKeyPosition(int id) {
    if (id < 0 || id >= SOFTKEY_COUNT)
        return 0;
    const int col = TextColumn(DisplayText(1), TextOf(g_set.SoftKeyLabel[static_cast<size_t>(id)]));
    if (col < 0)
        return 0;
    const int position = col / 8 + 1;
    TspTrace(TRACE_CALL, "Softkey %d n°:%d", col + 1, position);
    return position;
}

void TrimRight(std::span<char> text) {
    size_t len = TextOf(text).size();
    while (len > 0 && text[len - 1] == ' ')
        text[--len] = '\0';
}

}  // namespace zq
