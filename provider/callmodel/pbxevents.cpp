#include "callmodel/pbxevents.h"

#include <string>
#include <string_view>

#include "callmodel/calls.h"
#include "core/config.h"
#include "core/line_record.h"
#include "core/trace.h"
#include "link/byte_reader.h"
#include "link/supervision.h"
#include "tapi/events.h"

namespace zq {
namespace {

// The PBX's call events are traced on their own level (the mask's bit 64).
constexpr uint32_t TRACE_PBX_EVENT = 64;

constexpr uint8_t ORG_INTERNAL = 1;
constexpr uint8_t ORG_EXTERNAL = 2;
constexpr uint8_t FLAG_NO_OPERATOR_PREFIX = 0x40;
constexpr uint8_t FLAG_WITHOUT_PREFIX = 0x80;

// A party as the events carry it: number, flags, name.
struct Party {
    uint8_t flags = 0;
    std::string_view address;
    std::string_view name;
    uint8_t org() const { return flags & 0x0F; }
    bool withoutPrefix() const { return (flags & FLAG_WITHOUT_PREFIX) != 0; }
    bool operatorPrefix() const { return (flags & FLAG_NO_OPERATOR_PREFIX) == 0; }
};

// Reads "length, flags, address, name length, name"; the reader marks a
// field that runs past the end.
Party ReadParty(ByteReader& r) {
    Party p;
    const uint8_t addressLength = r.U8();
    p.flags = r.U8();
    p.address = AsText(r.Take(addressLength));
    const uint8_t nameLength = r.U8();
    p.name = AsText(r.Take(nameLength));
    return p;
}

bool Complete(const ByteReader& r, const char* event) {
    if (r.Ok())
        return true;
    TspTrace(TRACE_ERROR, "%s: champ hors message (%d octets) - evenement ignore", event, r.bytes.size());
    return false;
}

uint32_t& StateOf(int cref) {
    return g_line.calls.lineCallState[static_cast<size_t>(cref)];
}

// Stores a text cut to its field; true when the field changed.
bool Store(CallString& field, std::string_view text) {
    CallString next{};
    CopyText(next, text);
    if (TextOf(next) == TextOf(field))
        return false;
    field = next;
    return true;
}

bool StartsWith(std::string_view text, std::string_view prefix) {
    return !prefix.empty() && text.substr(0, prefix.size()) == prefix;
}

// The LINECALLREASON_ value of an incoming-change reason code.
uint32_t ReasonValue(uint8_t code) {
    return code <= 10 ? uint32_t{1} << code : LINECALLREASON_UNAVAIL;
}

// Notes an origin when it changes.
void SetOrigin(int cref, uint32_t origin, uint32_t* noted) {
    uint32_t& current = g_line.strings.Origin[static_cast<size_t>(cref)];
    if (current == origin)
        return;
    current = origin;
    *noted |= LINECALLINFOSTATE_ORIGIN;
}

// A call record is left for a new call.
bool RecordFree() {
    for (uint32_t touch : g_line.calls.Touch)
        if (touch == 0)
            return true;
    return false;
}

void SendCallState(int cref, uint32_t state, const char* name) {
    DoLineEvent(LINE_CALLSTATE, state, 0, cref);
    TspTrace(TRACE_CALL, "DoLineEvent(LINE_CALLSTATE,  %s, 0, cref:%lx)", name, cref);
}

void TraceFlags(int cref) {
    const auto i = static_cast<size_t>(cref);
    TspTrace(TRACE_CALL, "Inbound:%x Outbound:%x byMakeCall:%x", g_line.calls.Inbound[i],
             g_line.calls.Outbound[i], g_line.calls.byMakeCall[i]);
}

// ---- progress step

void ActiveKey(uint32_t key) {
    g_line.TouchTable[key].IconState = ACTIV_ICON;
    g_calls.ActivCallTouch = static_cast<int>(key);
}

// The call is proceeding: the events it has not had yet, up to RINGBACK;
// its state stays PROCEEDING.
void NewStateProceeding(uint32_t key, int cref) {
    switch (StateOf(cref)) {
        case LINECALLSTATE_DIALTONE:
            DoLineEvent(LINE_CALLSTATE, LINECALLSTATE_DIALING, 0, cref);
            [[fallthrough]];
        case LINECALLSTATE_DIALING:
            SendState(cref, LINECALLSTATE_PROCEEDING);
            [[fallthrough]];
        case LINECALLSTATE_PROCEEDING:
            DoLineEvent(LINE_CALLSTATE, LINECALLSTATE_RINGBACK, 0, cref);
            break;
        default:
            break;
    }
    TspTrace(TRACE_CALL, "NewState tou:%d - Etat:PROCEEDING - Ref:%04x", key, cref);
    TraceFlags(cref);
    ActiveKey(key);
}

void NewStateConnected(uint32_t key, int cref) {
    TspTrace(TRACE_CALL, "NewState tou:%d - Etat:CONNECTED - Ref:%04x", key, cref);
    SendState(cref, LINECALLSTATE_CONNECTED);
    TraceFlags(cref);
    ActiveKey(key);
    if (g_calls.PickupCref == cref)
        g_calls.PickupCref = -1;
}

void NewStateOnHold(uint32_t key, int cref) {
    TspTrace(TRACE_CALL, "NewState tou:%d - Etat:ONHOLD - Ref:%04x", key, cref);
    SendState(cref, LINECALLSTATE_ONHOLD);
}

// ---- incoming change

// A calling or connected party's number as TAPI is given it: an external
// number that came from a trunk gets the operator prefix, one that carries
// the outside-line prefix loses it.
// `event` names the event in the traces; none are written without it.
std::string PartyNumber(const Party& party, std::string_view event) {
    if (party.org() != ORG_EXTERNAL)
        return std::string(party.address);
    const std::string_view ext = TextOf(g_lineSettings.ExtPrefix);
    const std::string_view op = TextOf(g_lineSettings.OperatorPrefix);
    std::string number;
    if (party.withoutPrefix()) {
        if (party.operatorPrefix() && !op.empty()) {
            if (!event.empty())
                TspTrace(TRACE_CALL, "%s EXT jonct entrant: rajout prefix operateur '%s'", event, op);
            number = op;
        }
        return number.append(party.address);
    }
    if (StartsWith(party.address, ext)) {
        if (!event.empty())
            TspTrace(TRACE_CALL, "%s EXTERNAL prefix '%s' trouve", event, ext);
        return std::string(party.address.substr(ext.size()));
    }
    return std::string(party.address);
}

// A call that rings on a supervision key, announced at once.
int NewSupervCall(uint32_t key) {
    TspTrace(TRACE_CALL, "ICI tou %d Superv new call", key);
    const int cref = NewCallRecord(LINECALLSTATE_OFFERING, key);
    if (cref == -1)
        return -1;
    AnnounceCall(cref, true, false);
    PutInSlot(key, 0, cref);
    g_line.TouchTable[key].CrefSlot[1] = -1;
    g_line.TouchTable[key].IconState = INCOM_ICON;
    SendState(cref, LINECALLSTATE_OFFERING);
    return cref;
}

// The supervision key's call for this event: the ringing one, or a new one
// when the call seen before was picked up or another call rings.
int SupervCall(uint32_t key, int cref, const Party& caller) {
    const auto i = static_cast<size_t>(cref);
    // Another caller only when the event names one, compared as it would
    // be stored (a prefixed number is the same caller); and only a call
    // still ringing here is released, the record of one that has moved may
    // already serve another call.
    CallString number{};
    CopyText(number, PartyNumber(caller, {}));
    const bool onKey = g_line.calls.Touch[i] == key;
    if (onKey && StateOf(cref) == LINECALLSTATE_OFFERING && !TextOf(g_line.strings.CalledAdd[i]).empty() &&
        !caller.address.empty() && TextOf(number) != TextOf(g_line.strings.CallerAdd[i])) {
        TspTrace(TRACE_CALL, "ICI tou %d Superv cref %04x deja en sonnerie => lib ", key, cref);
        SendState(cref, LINECALLSTATE_DISCONNECTED);
        TspTrace(TRACE_CALL, "Icone:%d Ref:%04x- Etat:DISCONNECTED -", key, cref);
        SendState(cref, LINECALLSTATE_IDLE);
        TspTrace(TRACE_CALL, "Icone:%d Ref:%04x- Etat:IDLE -", key, cref);
        g_line.TouchTable[key].IconState = IDLE_ICON;
        FreeCall(cref);
        g_line.TouchTable[key].CrefSlot[0] = -1;
        return NewSupervCall(key);
    }
    return onKey ? cref : NewSupervCall(key);
}

// The call an incoming change is about: any call of the key. A supervision
// key keeps naming a call that has moved to a line key, so its slot is
// taken as it stands.
int IncomingCall(uint32_t key) {
    if (!ValidKey(key))
        return -1;
    if (g_line.TouchTable[key].Kind == KEY_SUPERV) {
        for (int32_t cref : g_line.TouchTable[key].CrefSlot)
            if (ValidCref(cref))
                return cref;
        return -1;
    }
    const int first = SlotCall(key, 0);
    return first != -1 ? first : SlotCall(key, 1);
}

}  // namespace

void TqlaEventIncomingChange(uint8_t, std::span<const uint8_t> payload) {
    ByteReader r{payload};
    const uint8_t key = r.U8();
    const uint8_t reason = r.U8();
    const Party caller = ReadParty(r);
    const Party called = ReadParty(r);
    const std::string_view calledAddress = called.address;
    const std::string_view calledName = called.name;
    if (!Complete(r, "ICI"))
        return;
    const bool superv = ValidKey(key) && g_line.TouchTable[key].Kind == KEY_SUPERV;
    if (superv && !g_lineSettings.SupervService)
        return;
    TspTrace(TRACE_PBX_EVENT, "ICI tou:%d CallerAdd '%s' Org %d lg %d CallerName '%s' lg %d", key,
             caller.address, caller.org(), caller.address.size(), caller.name, caller.name.size());
    TspTrace(TRACE_PBX_EVENT, "ICI tou:%d CalledAdd '%s' Org %d lg %d CalledName '%s' lg %d", key,
             calledAddress, called.flags, calledAddress.size(), calledName, calledName.size());

    int cref = IncomingCall(key);
    if (cref != -1 && superv)
        cref = SupervCall(key, cref, caller);
    if (cref == -1) {
        TspTrace(TRACE_TSPI, "ICI Pas d'appel arrivee en cours sur touche %d", key);
        return;
    }
    const auto i = static_cast<size_t>(cref);
    if (StateOf(cref) == CALLSTATE_REOFFER && g_line.calls.Inbound[i] == 0) {
        TspTrace(TRACE_CALL, "ICI cref %04x REOFFERING appel sortant->pas de chg caller/called", cref);
        return;
    }

    CallStrings& s = g_line.strings;
    uint32_t noted = 0;
    if (!caller.address.empty()) {
        if (caller.org() == ORG_INTERNAL)
            SetOrigin(cref, LINECALLORIGIN_INTERNAL, &noted);
        else if (caller.org() == ORG_EXTERNAL)
            SetOrigin(cref, LINECALLORIGIN_EXTERNAL, &noted);
        if (Store(s.CallerAdd[i], PartyNumber(caller, "ICI")))
            noted |= LINECALLINFOSTATE_CALLERID;
    }
    if (!caller.name.empty() && Store(s.CallerName[i], caller.name))
        noted |= LINECALLINFOSTATE_CALLERID;
    if (!calledAddress.empty() && Store(s.CalledAdd[i], calledAddress))
        noted |= LINECALLINFOSTATE_CALLEDID;
    if (!calledName.empty() && Store(s.CalledName[i], calledName))
        noted |= LINECALLINFOSTATE_CALLEDID;
    if (calledAddress.empty() && superv && TextOf(s.CalledAdd[i]).empty() &&
        Store(s.CalledAdd[i], TextOf(g_line.TouchTable[key].Label)))
        noted |= LINECALLINFOSTATE_CALLEDID;

    s.Reason[i] = ReasonValue(reason);
    if (reason == 0 || reason == 4) {
        noted |= LINECALLINFOSTATE_REASON;
    } else if (reason >= 1 && reason <= 3) {
        // A forwarded call: the called party is the one that forwarded it.
        Store(s.RedirectingAddress[i], calledAddress);
        Store(s.RedirectingName[i], calledName);
        noted |= LINECALLINFOSTATE_REASON | LINECALLINFOSTATE_REDIRECTINGID;
    }
    TspTrace(TRACE_CALL, "ICI tou:%d cref %04x Reason 0x%x TAPI_Reason 0x%lx ", key, cref, reason,
             s.Reason[i]);

    if (cref == g_superv.IncomingCref) {
        g_superv.IncomingCref = -1;
        g_superv.OfferWaitCount = 0;
        TspTrace(TRACE_CALL, "ICI - Etat:OFFERING - Ref:%d", cref);
        SendState(cref, LINECALLSTATE_OFFERING);
    }
    if (noted != 0) {
        TspTrace(TRACE_CALL, "ICI DoLineEvent\t(LINE_CALLINFO,NewCallInfo %lx, 0, cref:%lx)", noted, cref);
        DoLineEvent(LINE_CALLINFO, noted, 0, cref);
    }
}

namespace {

// A call the PBX reports dialled from the set: announced and brought to
// PROCEEDING in one go, in the key's first free slot.
int NewOutgoingCall(uint32_t key) {
    const int slot = FreeSlot(key);
    const int cref = slot == -1 ? -1 : NewCallRecord(LINECALLSTATE_RINGBACK, key);
    if (cref == -1)
        return -1;
    AnnounceCall(cref, false, true);
    TspTrace(TRACE_CALL, "NewCall tou:%d RINGBACK cref:%04x", key, cref);
    SendCallState(cref, LINECALLSTATE_DIALTONE, "LINECALLSTATE_DIALTONE");
    SendCallState(cref, LINECALLSTATE_DIALING, "LINECALLSTATE_DIALING");
    SendCallState(cref, LINECALLSTATE_PROCEEDING, "LINECALLSTATE_PROCEEDING");
    SendCallState(cref, LINECALLSTATE_RINGBACK, "LINECALLSTATE_RINGBACK");
    StateOf(cref) = LINECALLSTATE_PROCEEDING;
    PutInSlot(key, slot, cref);
    if (SlotCall(key, 0) != -1 && SlotCall(key, 1) != -1) {
        g_calls.DbCall = true;
        g_calls.DropActiveReq = false;
    }
    return cref;
}

// The call an outgoing-call event is about, made when the set shows none.
int OutgoingCall(uint32_t key) {
    if (!ValidKey(key))
        return -1;
    if (SlotCall(key, 0) == -1 && SlotCall(key, 1) == -1) {
        const int cref = NewOutgoingCall(key);
        if (cref != -1) {
            g_superv.proceedingWatch = true;
            g_superv.proceedingCount = 0;
        }
        return cref;
    }
    if (const int cref = SearchState(key, LINECALLSTATE_PROCEEDING); cref != -1) {
        TspTrace(TRACE_CALL, "OCI cref %04x proceeding trouve sur tou %d", cref, key);
        return cref;
    }
    if (const int cref = SearchState(key, LINECALLSTATE_DIALTONE); cref != -1) {
        TspTrace(TRACE_CALL, "OCI cref %04x Dialtone => Proceeding sur tou %d", cref, key);
        NewStateProceeding(key, cref);
        return cref;
    }
    const int connected = SearchState(key, LINECALLSTATE_CONNECTED);
    if (connected == -1 || FreeSlot(key) == -1 || !RecordFree())
        return -1;
    TspTrace(TRACE_CALL, "OCI on connected call => new db appel");
    NewStateOnHold(key, connected);
    return NewOutgoingCall(key);
}

}  // namespace

void TqlaEventOutgoingCall(uint8_t, std::span<const uint8_t> payload) {
    ByteReader r{payload};
    const uint8_t key = r.U8();
    const uint8_t reason = r.U8();
    const Party called = ReadParty(r);
    if (!Complete(r, "OCI"))
        return;
    TspTrace(TRACE_PBX_EVENT,
             "OCI tou:%d Reason %d CalledAdd '%s' Org %d withoutpfx %d lg %d CalledName '%s' lg %d", key,
             reason, called.address, called.org(), called.withoutPrefix() ? 1 : 0, called.address.size(),
             called.name, called.name.size());
    const int cref = OutgoingCall(key);
    if (cref == -1) {
        TspTrace(TRACE_TSPI, "OCI Pas d'appel depart en cours sur touche %d", key);
        return;
    }
    const auto i = static_cast<size_t>(cref);
    CallStrings& s = g_line.strings;
    s.Origin[i] = LINECALLORIGIN_OUTBOUND;

    const std::string_view dialled = TextOf(g_calls.DialedNumber);
    if (TextOf(s.CalledAdd[i]).empty() && called.org() == ORG_EXTERNAL && !dialled.empty()) {
        Store(s.CalledAdd[i], dialled);
        TspTrace(TRACE_CALL, "OCI   DialedNumber '%s'", dialled);
        g_calls.DialedNumber.fill(0);
        TspTrace(TRACE_CALL, "OCI DoLineEvent (LINE_CALLINFO,NewCallInfo=%lx, 0, cref:%04x)",
                 LINECALLINFOSTATE_CALLEDID, cref);
        DoLineEvent(LINE_CALLINFO, LINECALLINFOSTATE_CALLEDID, 0, cref);
        return;
    }

    uint32_t noted = 0;
    if (!called.address.empty()) {
        std::string number;
        if (called.org() == ORG_EXTERNAL && called.withoutPrefix()) {
            TspTrace(TRACE_CALL, "OCI rajout prefixe ext");
            number = TextOf(g_lineSettings.ExtPrefix);
        }
        number.append(called.address);
        CallString cut{};
        CopyText(cut, number);
        if (TextOf(s.CalledAdd[i]).empty()) {
            Store(s.CalledAdd[i], TextOf(cut));
            Store(s.CalledName[i], called.name);
            noted |= LINECALLINFOSTATE_CALLEDID;
        } else if (TextOf(s.CalledAdd[i]) != TextOf(cut)) {
            // Redirected on the way.
            Store(s.RedirectionAddress[i], TextOf(cut));
            Store(s.RedirectionName[i], called.name);
            noted |= LINECALLINFOSTATE_REDIRECTIONID;
        } else if (!called.name.empty() && Store(s.CalledName[i], called.name)) {
            noted |= LINECALLINFOSTATE_CALLEDID;
        }
    }
    g_calls.DialedNumber.fill(0);
    if (noted != 0) {
        TspTrace(TRACE_CALL, "OCI DoLineEvent (LINE_CALLINFO,NewCallInfo=%lx, 0, cref:%04x)", noted, cref);
        DoLineEvent(LINE_CALLINFO, noted, 0, cref);
    }
}

void TqlaEventConnectedCall(uint8_t, std::span<const uint8_t> payload) {
    ByteReader r{payload};
    const uint8_t key = r.U8();
    const uint8_t reason = r.U8();
    const Party connected = ReadParty(r);
    if (!Complete(r, "CCI"))
        return;
    TspTrace(TRACE_PBX_EVENT, "CCI tou:%d Reason %d ConnectedAdd '%s' Org %d lg %d ConnectedName '%s' lg %d",
             key, reason, connected.address, connected.org(), connected.address.size(), connected.name,
             connected.name.size());

    int cref = ValidKey(key) ? SearchState(key, LINECALLSTATE_CONNECTED) : -1;
    if (cref != -1) {
        TspTrace(TRACE_CALL, "CCI cref %04x connected trouve sur tou %d", cref, key);
    } else if (ValidKey(key) && !(g_calls.DbCall && g_calls.DropActiveReq)) {
        struct Step {
            uint32_t state;
            const char* trace;
        };
        for (const Step& step :
             {Step{LINECALLSTATE_PROCEEDING, "CCI cref %04x Proceeding => Conv sur tou %d"},
              Step{LINECALLSTATE_ONHOLD, "CCI cref %04x Onhold => Conv sur tou %d"},
              Step{LINECALLSTATE_DISCONNECTED, "CCI cref %04x Disconnected => Conv sur tou %d"}}) {
            cref = SearchState(key, step.state);
            if (cref == -1)
                continue;
            TspTrace(TRACE_CALL, step.trace, cref, key);
            NewStateConnected(key, cref);
            break;
        }
    }
    if (cref == -1) {
        TspTrace(TRACE_TSPI, "CCI Pas d'appel en conversation sur touche %d", key);
        return;
    }

    const auto i = static_cast<size_t>(cref);
    CallStrings& s = g_line.strings;
    TspTrace(TRACE_CALL, "CCI Val precedentes ConnectedAdd '%s' ConnectedName '%s'", s.ConnectedAddr[i],
             s.ConnectedName[i]);
    uint32_t noted = 0;
    if (!connected.address.empty()) {
        const bool inbound = g_line.calls.Inbound[i] != 0;
        if (inbound && connected.org() == ORG_INTERNAL)
            SetOrigin(cref, LINECALLORIGIN_INTERNAL, &noted);
        else if (inbound && connected.org() == ORG_EXTERNAL)
            SetOrigin(cref, LINECALLORIGIN_EXTERNAL, &noted);
        std::string number;
        if (connected.org() == ORG_EXTERNAL && connected.withoutPrefix() && !inbound) {
            const std::string_view ext = TextOf(g_lineSettings.ExtPrefix);
            TspTrace(TRACE_CALL, "CCI EXT appel initial sortant: rajout prefix de prise ext '%s'", ext);
            number = ext;
        }
        number += PartyNumber(connected, "CCI");
        if (Store(s.ConnectedAddr[i], number))
            noted |= LINECALLINFOSTATE_CONNECTEDID;
    }
    if (!connected.name.empty() && Store(s.ConnectedName[i], connected.name))
        noted |= LINECALLINFOSTATE_CONNECTEDID;
    if (noted != 0) {
        TspTrace(TRACE_CALL, "CCI DoLineEvent (LINE_CALLINFO,NewCallInfo %lx, 0, cref:%04x)", noted, cref);
        DoLineEvent(LINE_CALLINFO, noted, 0, cref);
    }
}

void TqlaEventTransferedCall(uint8_t, std::span<const uint8_t> payload) {
    ByteReader r{payload};
    const uint8_t key = r.U8();
    if (!Complete(r, "Evt_Transfered_Call"))
        return;
    int cref = -1;
    if (ValidKey(key)) {
        cref = SearchState(key, LINECALLSTATE_CONNECTED);
        if (cref != -1) {
            TspTrace(TRACE_CALL, "Evt_Transfered_Call cref %04x Connected trouve sur tou %d", cref, key);
        } else {
            cref = SearchState(key, LINECALLSTATE_OFFERING);
            if (cref != -1)
                TspTrace(TRACE_CALL, "Evt_Transfered_Call cref %04x Offering trouve sur tou %d", cref, key);
        }
    }
    if (cref == -1) {
        TspTrace(TRACE_TSPI, "Evt_Transfered_Call non exploite tou %d", key);
        return;
    }
    const uint32_t kind = g_line.TouchTable[key].Kind;
    if (kind == KEY_PATRON || kind == KEY_SECRETAIRE) {
        // The call is about to move to another key: the icon machine keeps
        // it alive when this lamp goes out and places it on the next one lit.
        g_calls.SwapKeyCref = cref;
        TspTrace(TRACE_CALL, "Evt_Transfered_Call cref %04x tou %d PAT/SEC => transfert touche", cref, key);
    }
}

}  // namespace zq
