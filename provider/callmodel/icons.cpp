#include "callmodel/icons.h"

#include "callmodel/calls.h"
#include "core/line_record.h"
#include "core/trace.h"
#include "link/supervision.h"
#include "tapi/events.h"

namespace zq {
namespace {

// "No change": a row that stops leaves the key's icon state as it was.
constexpr uint32_t kUnchanged = 0;

uint32_t& StateOf(int cref) {
    return g_line.calls.lineCallState[static_cast<size_t>(cref)];
}

TouchEntry& Key(uint32_t key) {
    return g_line.TouchTable[key];
}

bool IsBossOrSecretary(uint32_t key) {
    const uint32_t kind = Key(key).Kind;
    return kind == KEY_PATRON || kind == KEY_SECRETAIRE;
}

bool IsOffered(int cref) {
    return StateOf(cref) == LINECALLSTATE_OFFERING || StateOf(cref) == CALLSTATE_REOFFER;
}

// The one call of a key that may carry one only: slot 0, else slot 1; -1 if
// none; -2 when both slots hold calls.
int SingleCall(uint32_t key) {
    const int first = SlotCall(key, 0), second = SlotCall(key, 1);
    if (first != -1 && second != -1)
        return -2;
    return first != -1 ? first : second;
}

void SetInbound(int cref) {
    g_line.calls.Inbound[static_cast<size_t>(cref)] = 1;
}

void ClearTapiFlags(int cref) {
    g_line.calls.byMakeCall[static_cast<size_t>(cref)] = 0;
    g_line.calls.Inbound[static_cast<size_t>(cref)] = 0;
}

// A call the set shows again after it was held: TAPI sees it offered.
void Reoffer(uint32_t key, int cref) {
    ReportState(cref, CALLSTATE_REOFFER);
    TspTrace(TRACE_CALL, "Icone:%d - Etat:REOFFERING - Ref:%d", key, cref);
}

// ---- key idle

// A1 to A4: an active lamp on an empty key is a call moved there, picked
// up there, or a new outgoing call. False when none applies.
bool SeizedKey(uint32_t key) {
    int cref = -1;
    const auto claim = [&](int c) {
        cref = c;
        const auto i = static_cast<size_t>(c);
        g_line.calls.byMakeCall[i] = 0;
        g_line.calls.Inbound[i] = 1;
        g_line.calls.Outbound[i] = 0;
        PutInSlot(key, 0, c);
    };
    if (ValidCref(g_calls.PickupCref)) {
        claim(g_calls.PickupCref);
        TspTrace(TRACE_CALL, "InPickUpFunction Icone:%d - Etat:PROCEEDING - Ref:%d", key, cref);
        SendState(cref, LINECALLSTATE_PROCEEDING);
    } else if (ValidCref(g_calls.SupervPickupCref)) {
        claim(g_calls.SupervPickupCref);
        TspTrace(TRACE_CALL, "InPickUpSupervFunction Icone:%d - Etat:CONNECTED - Ref:%d", key, cref);
        SendState(cref, LINECALLSTATE_CONNECTED);
        g_calls.SupervPickupCref = -1;
    } else if (ValidCref(g_calls.SwapKeyCref)) {
        cref = g_calls.SwapKeyCref;
        PutInSlot(key, 0, cref);
        TspTrace(TRACE_CALL, "SwapKeyTransfering cref %04x new Icone:%d", cref, key);
        g_calls.SwapKeyCref = -1;
    } else if (g_superv.FwdGuard == 0) {
        // A new outgoing call, unless it is the consultation call of a
        // running setup transfer, which TAPI already knows.
        if (g_running.runningOp == REQ_SETUPTRANSFER && g_line.EnqCallMode == 0 &&
            ValidCref(g_running.runningConsultCref)) {
            cref = g_running.runningConsultCref;
            const auto i = static_cast<size_t>(cref);
            StateOf(cref) = LINECALLSTATE_DIALTONE;
            g_line.calls.Inbound[i] = 0;
            g_line.calls.byMakeCall[i] = 1;
            TspTrace(TRACE_CALL, "sendCompletion SetupTransfer ");
            CompleteRunning(0);
        } else {
            cref = NewCallRecord(LINECALLSTATE_DIALTONE, key);
            if (cref == -1)
                return false;
            AnnounceCall(cref, false, true);
        }
        PutInSlot(key, 0, cref);
        TspTrace(TRACE_CALL, "Icone:%d - Etat:DIALTONE - Ref:%d", key, cref);
        SendState(cref, LINECALLSTATE_DIALTONE);
    } else {
        return false;
    }
    Key(key).CrefSlot[1] = -1;
    g_calls.ActivCallTouch = static_cast<int>(key);
    return true;
}

// A ringing lamp on an empty key: a new incoming call, or a call moving
// here from another key.
uint32_t RingingKey(uint32_t key) {
    if (ValidCref(g_calls.SwapKeyCref)) {
        const int cref = g_calls.SwapKeyCref;
        PutInSlot(key, 0, cref);
        Key(key).CrefSlot[1] = -1;
        TspTrace(TRACE_CALL, "SwapKeyTransfering cref %04x new Icone:%d state INCOMING", cref, key);
        g_calls.SwapKeyCref = -1;
        return INCOM_ICON;
    }
    const int cref = NewCallRecord(LINECALLSTATE_OFFERING, key);
    if (cref == -1)
        return kUnchanged;
    AnnounceCall(cref, true, false);
    PutInSlot(key, 0, cref);
    Key(key).CrefSlot[1] = -1;
    // OFFERING follows with the caller's identity, or after the wait.
    g_superv.IncomingCref = cref;
    g_superv.OfferWaitCount = 0;
    return INCOM_ICON;
}

uint32_t IdleKey(uint32_t key, uint32_t event) {
    const int first = SlotCall(key, 0), second = SlotCall(key, 1);
    const bool hasCall = first != -1 || second != -1;
    switch (event) {
        case ACTIV_ICON:
            if (hasCall) {
                g_calls.ActivCallTouch = static_cast<int>(key);
                TspTrace(TRACE_CALL, "ACT_ACTIV_ICON ref %04x %04x deja cree", Key(key).CrefSlot[0],
                         Key(key).CrefSlot[1]);
                return ACTIV_ICON;
            }
            return SeizedKey(key) ? ACTIV_ICON : IDLE_ICON;
        case INCOM_ICON:
            if (hasCall) {
                TspTrace(TRACE_CALL, "CROISEMENT arrivee/depart iconid:%d cref1 %d cref2 %d", key,
                         Key(key).CrefSlot[0], Key(key).CrefSlot[1]);
                ClearCall(first);
                ClearCall(second);
            }
            return RingingKey(key);
        case RESERVED_ICON: {
            if (hasCall) {
                g_calls.ActivCallTouch = static_cast<int>(key);
                return ACTIV_ICON;
            }
            if (Key(key).Kind != KEY_MULTILIGNE)
                return IDLE_ICON;
            // A call about to be put on this key: known first as ended.
            const int cref = NewCallRecord(LINECALLSTATE_DISCONNECTED, key);
            if (cref == -1)
                return kUnchanged;
            PutInSlot(key, 0, cref);
            Key(key).CrefSlot[1] = -1;
            AnnounceCall(cref, true, false);
            TspTrace(TRACE_CALL, "Icone:%d - Etat:RESERVED DISCONNECTED - Ref:%d", key, cref);
            SendState(cref, LINECALLSTATE_DISCONNECTED, 0);
            g_calls.ActivCallTouch = static_cast<int>(key);
            return ACTIV_ICON;
        }
        default:
            return IDLE_ICON;
    }
}

// ---- conference by icons

// A held or re-offered call on `key` becomes active while another key
// holds the connected call: the set has made a conference of them.
void ConferenceByIcons(uint32_t key, int cref) {
    const auto active = static_cast<uint32_t>(g_calls.ActivCallTouch);
    Key(key).IconState = ACTIV_ICON;
    JoinConference(key, cref, active, SearchState(active, LINECALLSTATE_CONNECTED));
    g_calls.ActivCallTouch = static_cast<int>(key);
}

// ---- key active

// The active key rings again: a held call is re-offered, and the call
// that went with it (abandoned enquiry, ended call) is released.
uint32_t ActiveKeyRings(uint32_t key) {
    const uint32_t states = KeyStates(static_cast<uint32_t>(g_calls.ActivCallTouch));
    const auto reofferHeld = [&] {
        const int held = SearchState(key, LINECALLSTATE_ONHOLD);
        if (held == -1) {
            TspTrace(TRACE_CALL, "Pb d'état ...");
            return false;
        }
        Reoffer(key, held);
        g_calls.ActivCallTouch = static_cast<int>(key);
        return true;
    };
    const auto heldAnd = [&](uint32_t second) { return states == (LINECALLSTATE_ONHOLD | second); };

    if (states == LINECALLSTATE_ONHOLD)
        return reofferHeld() ? INCOM_ICON : kUnchanged;
    // A key rings only without a voice call on it: a connected enquiry that
    // the user hung up is over as well.
    if (heldAnd(LINECALLSTATE_PROCEEDING) || heldAnd(LINECALLSTATE_DIALTONE) ||
        heldAnd(LINECALLSTATE_CONNECTED)) {
        const int ended = SearchState(key, states & ~LINECALLSTATE_ONHOLD);
        if (ended == -1 || SearchState(key, LINECALLSTATE_ONHOLD) == -1) {
            TspTrace(TRACE_CALL, "Pb d'état ...");
            return kUnchanged;
        }
        TspTrace(TRACE_CALL, "Icone:%d - Etat:DISCONNECTED - Ref:%d", key, ended);
        ReportState(ended, LINECALLSTATE_DISCONNECTED);
        TspTrace(TRACE_CALL, "Icone:%d - Etat:IDLE - Ref:%d", key, ended);
        ReportState(ended, LINECALLSTATE_IDLE);
        FreeCall(ended);
        reofferHeld();
        g_calls.DbCall = false;
        return INCOM_ICON;
    }
    if (heldAnd(LINECALLSTATE_DISCONNECTED)) {
        const int ended = SearchState(key, LINECALLSTATE_DISCONNECTED);
        if (ended == -1 || SearchState(key, LINECALLSTATE_ONHOLD) == -1) {
            TspTrace(TRACE_CALL, "Pb d'état ...");
            return kUnchanged;
        }
        ReportState(ended, LINECALLSTATE_IDLE);
        TspTrace(TRACE_CALL, "Icone:%d - Etat:IDLE - Ref:%d", key, ended);
        FreeCall(ended);
        reofferHeld();
        g_calls.DbCall = false;
        return INCOM_ICON;
    }
    if (states == LINECALLSTATE_DISCONNECTED) {
        const int cref = SearchState(key, LINECALLSTATE_DISCONNECTED);
        if (cref == -1) {
            TspTrace(TRACE_CALL, "Pb d'état ...");
            return kUnchanged;
        }
        SetInbound(cref);
        TspTrace(TRACE_CALL, "Icone:%d - Etat:OFFERING - Ref:%d", key, cref);
        SendState(cref, LINECALLSTATE_OFFERING);
        g_calls.DbCall = false;
        return INCOM_ICON;
    }
    return ACTIV_ICON;
}

uint32_t ActiveKeyHeld(uint32_t key) {
    const int cref = SingleCall(key);
    if (cref == -2) {
        TspTrace(TRACE_CALL, "Impossible 2 appels sur la même Touche en garde ??");
        return kUnchanged;
    }
    if (cref == -1 || StateOf(cref) != LINECALLSTATE_CONNECTED) {
        TspTrace(TRACE_CALL, "Impossible de mettre un appel non connected onhold");
        return kUnchanged;
    }
    ReportState(cref, LINECALLSTATE_ONHOLD);
    TspTrace(TRACE_CALL, "Icone:%d  - Etat:ONHOLD - Ref:%d", key, cref);
    g_calls.ActivCallTouch = 0;
    return HOLD_ICON;
}

// ---- key ringing or held, made active

void Connect(uint32_t key, int cref, const char* trace) {
    StateOf(cref) = LINECALLSTATE_CONNECTED;
    TspTrace(TRACE_CALL, trace, key, cref);
    TspTrace(TRACE_CALL, "Inbound:%x", g_line.calls.Inbound[static_cast<size_t>(cref)]);
    // A call whose beginning TAPI never saw is presented as incoming.
    if (!Announced(cref))
        SetInbound(cref);
    SendState(cref, LINECALLSTATE_CONNECTED);
    g_calls.ActivCallTouch = static_cast<int>(key);
}

bool OtherKeyActive(uint32_t key) {
    return g_calls.ActivCallTouch != 0 && static_cast<uint32_t>(g_calls.ActivCallTouch) != key;
}

uint32_t RingingKeyAnswered(uint32_t key) {
    int cref = SearchState(key, LINECALLSTATE_OFFERING);
    if (cref != -1) {
        g_line.strings.NameEnquiry[static_cast<size_t>(cref)] = 1;
        Connect(key, cref, "Icone:%d - Etat:CONNECTED - Ref:%d cas 5");
        // Its caller may still come from the display.
        if (cref == g_superv.IncomingCref) {
            g_calls.ConnectedCref = cref;
            g_superv.IncomingCref = -1;
            g_superv.OfferWaitCount = 0;
        } else {
            for (int32_t& waiting : g_set.WaitInfo) {
                if (waiting == cref) {
                    g_calls.ConnectedCref = cref;
                    waiting = -1;
                    break;
                }
            }
        }
        return ACTIV_ICON;
    }
    cref = SearchState(key, CALLSTATE_REOFFER);
    if (cref == -1) {
        TspTrace(TRACE_CALL, "Impossible: l'appel n'a pas été enregistré");
        return kUnchanged;
    }
    TspTrace(TRACE_CALL, "ActivCallTouch:%d - iconid:%d", g_calls.ActivCallTouch, key);
    if (OtherKeyActive(key)) {
        TspTrace(TRACE_CALL, "Passage en conférence");
        ConferenceByIcons(key, cref);
    } else {
        Connect(key, cref, "Icone:%d - Etat:CONNECTED - Ref:%d cas 4");
    }
    return ACTIV_ICON;
}

uint32_t HeldKeyRetrieved(uint32_t key) {
    const int cref = SingleCall(key);
    if (cref == -2) {
        TspTrace(TRACE_CALL, "Impossible 2 appels sur la même Touche ??");
        return kUnchanged;
    }
    if (cref == -1 || StateOf(cref) != LINECALLSTATE_ONHOLD) {
        TspTrace(TRACE_CALL, "Impossible de mettre un appel non connected onhold");
        return kUnchanged;
    }
    TspTrace(TRACE_CALL, "ActivCallTouch:%d - iconid:%d", g_calls.ActivCallTouch, key);
    if (OtherKeyActive(key)) {
        TspTrace(TRACE_CALL, "Passage en conférence detecte par icone. ConferenceReq %d",
                 g_calls.ConferenceReq ? 1 : 0);
        ConferenceByIcons(key, cref);
        return ACTIV_ICON;
    }
    ReportState(cref, LINECALLSTATE_CONNECTED);
    TspTrace(TRACE_CALL, "Icone:%d  - Etat:CONNECTED - Ref:%d cas 3", key, cref);
    g_calls.ActivCallTouch = static_cast<int>(key);
    return ACTIV_ICON;
}

uint32_t HeldKeyRings(uint32_t key) {
    const int cref = SearchState(key, LINECALLSTATE_ONHOLD);
    if (cref == -1) {
        TspTrace(TRACE_CALL, "Pb d'état ...");
        return kUnchanged;
    }
    Reoffer(key, cref);
    return INCOM_ICON;
}

// ---- release

void TraceOff(uint32_t key, int cref, uint32_t state) {
    TspTrace(TRACE_CALL,
             state == LINECALLSTATE_IDLE ? "Icone:%d éteint - Etat:IDLE - Ref:%d"
                                         : "Icone:%d éteint - Etat:DISCONNECTED - Ref:%d",
             key, cref);
}

// The other leg of a conference is left alone with the user.
enum class Release { Next, Done };

Release EndOfConference(uint32_t key, int slot, int cref) {
    const auto active = static_cast<uint32_t>(g_calls.ActivCallTouch);
    if (key != active) {
        TspTrace(TRACE_CALL, "* Fin de la conférence icon %d idle conferenced activtou %d*", key, active);
        SendState(CONFREF, LINECALLSTATE_IDLE);
        ReportState(cref, LINECALLSTATE_DISCONNECTED);
        TraceOff(key, cref, LINECALLSTATE_DISCONNECTED);
        StateOf(cref) = LINECALLSTATE_IDLE;
        g_calls.ConfDetected = false;
        g_calls.ConferenceReq = false;
        if (Announced(cref)) {
            SendState(cref, LINECALLSTATE_IDLE);
            ClearTapiFlags(cref);
        }
        TraceOff(key, cref, LINECALLSTATE_IDLE);
        FreeCall(cref);
        const int other = SearchState(active, LINECALLSTATE_CONFERENCED);
        if (other != -1) {
            ReportState(other, LINECALLSTATE_CONNECTED);
            TspTrace(TRACE_CALL, "Icone:%d - Etat:CONNECTED - Ref:%d cas 1", active, other);
            if (g_lineSettings.TqlaVersion == 1)
                ClearCallStrings(other);
        }
        g_line.ConfState = LINECALLSTATE_IDLE;
        Key(key).IconState = IDLE_ICON;
        return Release::Next;
    }
    const int second = SlotCall(key, 1);
    if (slot == 0 && second != -1 && StateOf(second) == LINECALLSTATE_CONFERENCED) {
        TspTrace(TRACE_CALL, "* Fin de la conférence sur une touche. icon %d *", key);
        SendState(cref, LINECALLSTATE_DISCONNECTED);
        SendState(second, LINECALLSTATE_DISCONNECTED);
        SendState(cref, LINECALLSTATE_IDLE);
        SendState(second, LINECALLSTATE_IDLE);
        FreeCall(cref);
        FreeCall(second);
        g_calls.DbCall = false;
        g_calls.ActivCallTouch = 0;
        TspTrace(TRACE_CALL, "Icone:%d éteint - Etat:IDLE - Ref:%d", key, CONFREF);
        Key(key).IconState = IDLE_ICON;
        SendState(CONFREF, LINECALLSTATE_IDLE);
        ResetConfDetection();
        return Release::Done;
    }
    TspTrace(TRACE_CALL, "* Fin de la conférence icon %d (= activtou) idle conferenced *", key);
    SendState(CONFREF, LINECALLSTATE_DISCONNECTED);
    SendState(CONFREF, LINECALLSTATE_IDLE);
    ReportState(cref, LINECALLSTATE_DISCONNECTED);
    TraceOff(key, cref, LINECALLSTATE_DISCONNECTED);
    g_calls.ConfDetected = false;
    g_calls.ConferenceReq = false;
    Key(key).IconState = IDLE_ICON;
    for (int other = 0; other < MAX_CALLS; ++other) {
        if (other == cref || StateOf(other) != LINECALLSTATE_CONFERENCED ||
            g_line.calls.Touch[static_cast<size_t>(other)] == 0)
            continue;
        ReportState(other, LINECALLSTATE_CONNECTED);
        g_calls.ActivCallTouch = static_cast<int>(g_line.calls.Touch[static_cast<size_t>(other)]);
        TspTrace(TRACE_CALL, "Icone:%d - Etat:CONNECTED - Ref:%d cas 2", g_calls.ActivCallTouch, other);
        break;
    }
    TraceOff(key, cref, LINECALLSTATE_IDLE);
    ReportState(cref, LINECALLSTATE_IDLE);
    if (Announced(cref))
        ClearTapiFlags(cref);
    g_line.ConfState = LINECALLSTATE_IDLE;
    FreeCall(cref);
    return Release::Next;
}

// A call on a boss or secretary key that is moving to another key lives on
// there: only the old key lets go of it.
bool MovingOff(uint32_t key, int slot, int cref) {
    if (cref != g_calls.SwapKeyCref || !IsBossOrSecretary(key))
        return false;
    Key(key).IconState = IDLE_ICON;
    Key(key).CrefSlot[static_cast<size_t>(slot)] = -1;
    return true;
}

Release ReleaseCall(uint32_t key, int slot, int cref, uint32_t event) {
    const bool multiline = Key(key).Kind == KEY_MULTILIGNE;
    const bool reserved = event == RESERVED_ICON && multiline;
    const uint32_t state = StateOf(cref);
    switch (state) {
        case LINECALLSTATE_OFFERING:
        case CALLSTATE_REOFFER:
            if (MovingOff(key, slot, cref)) {
                TspTrace(TRACE_CALL, "Icone:%d éteint cref %04x transfert subi en sonnerie touche PAT/SEC",
                         key, cref);
                return Release::Done;
            }
            SendState(cref, LINECALLSTATE_DISCONNECTED);
            TraceOff(key, cref, LINECALLSTATE_DISCONNECTED);
            SendState(cref, LINECALLSTATE_IDLE);
            TraceOff(key, cref, LINECALLSTATE_IDLE);
            Key(key).IconState = IDLE_ICON;
            FreeCall(cref);
            return Release::Next;
        case LINECALLSTATE_DIALTONE:
        case LINECALLSTATE_BUSY:
        case LINECALLSTATE_CONNECTED:
        case LINECALLSTATE_PROCEEDING:
        case LINECALLSTATE_ONHOLD:
            if (multiline && (state == LINECALLSTATE_DIALTONE || state == LINECALLSTATE_PROCEEDING))
                g_calls.TmpAddress.fill(0);
            if (MovingOff(key, slot, cref)) {
                TspTrace(TRACE_CALL, "Icone:%d éteint - cref %04x transfert touche PAT/SEC", key, cref);
                if (static_cast<uint32_t>(g_calls.ActivCallTouch) == key)
                    g_calls.ActivCallTouch = 0;
                return Release::Done;
            }
            SendState(cref, LINECALLSTATE_DISCONNECTED);
            TraceOff(key, cref, LINECALLSTATE_DISCONNECTED);
            // A reserved lamp: the call stays, ended, until the key goes dark.
            if (reserved) {
                CompleteRunningDrop(cref);
                return Release::Done;
            }
            SendState(cref, LINECALLSTATE_IDLE);
            TraceOff(key, cref, LINECALLSTATE_IDLE);
            Key(key).IconState = IDLE_ICON;
            if (static_cast<uint32_t>(g_calls.ActivCallTouch) == key)
                g_calls.ActivCallTouch = 0;
            FreeCall(cref);
            return Release::Next;
        case LINECALLSTATE_DISCONNECTED:
            if (reserved) {
                CompleteRunningDrop(cref);
                return Release::Done;
            }
            SendState(cref, LINECALLSTATE_IDLE);
            TraceOff(key, cref, LINECALLSTATE_IDLE);
            Key(key).IconState = IDLE_ICON;
            g_calls.ActivCallTouch = 0;
            FreeCall(cref);
            return Release::Next;
        case LINECALLSTATE_CONFERENCED:
            return EndOfConference(key, slot, cref);
        default:
            return Release::Next;
    }
}

uint32_t KeyReleased(uint32_t key, uint32_t event) {
    if (SlotCall(key, 0) != -1 && SlotCall(key, 1) != -1)
        g_calls.DbCall = false;
    bool hadCall = false;
    for (int slot = 0; slot < 2; ++slot) {
        const int entry = Key(key).CrefSlot[static_cast<size_t>(slot)];
        const int cref = SlotCall(key, slot);
        // A call that moved to another key is not ended with this lamp.
        if (cref == -1) {
            if (entry != -1 && ValidCref(entry))
                Key(key).CrefSlot[static_cast<size_t>(slot)] = -1;
            continue;
        }
        hadCall = true;
        if (Key(key).Kind == KEY_MULTILIGNE)
            for (int32_t& waiting : g_set.WaitInfo)
                if (waiting == cref)
                    waiting = -1;
        if (ReleaseCall(key, slot, cref, event) == Release::Done)
            return Key(key).IconState;
    }
    // A lamp that goes out over no call leaves the key idle.
    return hadCall ? Key(key).IconState : IDLE_ICON;
}

uint32_t LineKeyEvent(uint32_t key, uint32_t event) {
    const uint32_t state = Key(key).IconState;
    TspTrace(TRACE_CALL, "Multi Icone %d Action: %s => %s", key, EventName(state), EventName(event));
    const bool release = event == IDLE_ICON || event == RESERVED_ICON;
    switch (state) {
        case ACTIV_ICON:
            if (release)
                return KeyReleased(key, event);
            if (event == INCOM_ICON)
                return ActiveKeyRings(key);
            if (event == HOLD_ICON)
                return ActiveKeyHeld(key);
            return ACTIV_ICON;
        case INCOM_ICON:
            if (release)
                return KeyReleased(key, event);
            if (event == ACTIV_ICON)
                return RingingKeyAnswered(key);
            return INCOM_ICON;
        case HOLD_ICON:
            if (release)
                return KeyReleased(key, event);
            if (event == ACTIV_ICON)
                return HeldKeyRetrieved(key);
            if (event == INCOM_ICON)
                return HeldKeyRings(key);
            return HOLD_ICON;
        default:
            return IdleKey(key, event);
    }
}

// ---- supervision keys

uint32_t SupervKeyEvent(uint32_t key, uint32_t event) {
    if (!g_lineSettings.SupervService)
        return kUnchanged;
    const uint32_t state = Key(key).IconState;
    TspTrace(TRACE_CALL, "Superv Icone %d Action: %s => %s", key, EventName(state), EventName(event));
    const int entry = Key(key).CrefSlot[0];
    const bool onKey = ValidCref(entry) && g_line.calls.Touch[static_cast<size_t>(entry)] == key;
    const auto newCall = [&]() -> uint32_t {
        const int cref = NewCallRecord(LINECALLSTATE_OFFERING, key);
        if (cref == -1)
            return kUnchanged;
        AnnounceCall(cref, true, false);
        PutInSlot(key, 0, cref);
        Key(key).CrefSlot[1] = -1;
        g_superv.IncomingCref = cref;
        g_superv.OfferWaitCount = 0;
        return INCOM_ICON;
    };
    if (state == IDLE_ICON)
        return event == INCOM_ICON ? newCall() : IDLE_ICON;
    if (event == INCOM_ICON)
        return entry == -1 || onKey ? kUnchanged : newCall();
    if (event != IDLE_ICON && event != RESERVED_ICON)
        return kUnchanged;
    if (entry == -1)
        return IDLE_ICON;
    // An entry naming a free record counts as a call picked up elsewhere.
    const bool offered = ValidCref(entry) && onKey && IsOffered(entry);
    if (!offered && onKey) {
        TspTrace(TRACE_ERROR, "Icone:%d éteint - Superv etat impossible %lx - Ref:%d", key, StateOf(entry),
                 entry);
        return kUnchanged;
    }
    if (!onKey) {
        if (ValidCref(entry) && IsOffered(entry) && g_line.calls.Touch[static_cast<size_t>(entry)] != 0)
            return kUnchanged;
        TspTrace(TRACE_CALL, "Icone:%d éteint - Superv Interceptee - Ref:%d", key, entry);
        Key(key).CrefSlot[0] = -1;
        return IDLE_ICON;
    }
    SendState(entry, LINECALLSTATE_DISCONNECTED);
    TraceOff(key, entry, LINECALLSTATE_DISCONNECTED);
    SendState(entry, LINECALLSTATE_IDLE);
    TraceOff(key, entry, LINECALLSTATE_IDLE);
    const bool pickingUp = entry == g_calls.SupervPickupCref;
    FreeCall(entry);
    if (pickingUp)
        TspTrace(TRACE_CALL, "Annulation PickUpSupervProceeding %04x ", entry);
    return IDLE_ICON;
}

}  // namespace

uint32_t ClassifyIcon(uint32_t key, uint16_t word) {
    if (!ValidKey(key))
        return 0;
    switch (word & 0xA8A8) {
        case 0x2020:
            return ACTIV_ICON;
        case 0x2800:
        case 0xA000:
        case 0xA020:
        case 0xA0A0:
            return INCOM_ICON;
        case 0x2828:
            return HOLD_ICON;
        case 0:
            if ((word & 0xFCFC) == 0) {
                TspTrace(TRACE_CALL, " VTA: ICON: %x, Value: %lx IDLE_ICON", key, word);
                return IDLE_ICON;
            }
            TspTrace(TRACE_CALL, " VTA: ICON: %x, Value: %lx RESERVED_ICON", key, word);
            return RESERVED_ICON;
        default:
            return 0;
    }
}

void IconChanged(uint32_t key, uint16_t word) {
    const uint32_t event = ClassifyIcon(key, word);
    if (event == 0)
        return;
    uint32_t next = kUnchanged;
    switch (Key(key).Kind) {
        case KEY_SUPERV:
            next = SupervKeyEvent(key, event);
            break;
        case KEY_PATRON:
        case KEY_SECRETAIRE:
        case KEY_SECR_DEBORD:
        case KEY_MULTILIGNE:
            next = LineKeyEvent(key, event);
            break;
        default:
            return;
    }
    if (next != kUnchanged)
        Key(key).IconState = next;
}

}  // namespace zq
