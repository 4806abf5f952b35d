#include "callmodel/analysis.h"

#include <algorithm>
#include <array>
#include <string>
#include <string_view>

#include "callmodel/calls.h"
#include "callmodel/display.h"
#include "core/config.h"
#include "core/line_record.h"
#include "core/trace.h"
#include "link/supervision.h"
#include "tapi/events.h"
#include "tapi/keys.h"

namespace zq {
namespace {

// Soft keys and display strings as the configuration download numbers them.
constexpr int LCD_HANGUP = 0;
constexpr int LCD_CANCELSECONDCALL = 1;
constexpr int LCD_DIAL = 2;

// Where the two party names of a conference stand on line 0.
constexpr std::array<int, 2> kConfNameColumn = {0, 14};
constexpr int CONF_NAME_LEN = 12;

constexpr uint32_t kHeldAndConnected = LINECALLSTATE_ONHOLD | LINECALLSTATE_CONNECTED;

uint32_t& StateOf(int cref) {
    return g_line.calls.lineCallState[static_cast<size_t>(cref)];
}

bool InUse(int cref) {
    return ValidCref(cref) && g_line.calls.Touch[static_cast<size_t>(cref)] != 0;
}

bool TqlaV1() {
    return g_lineSettings.TqlaVersion == 1;
}

// The active key, 0 when there is none.
uint32_t ActiveKey() {
    const int key = g_calls.ActivCallTouch;
    return key > 0 && ValidKey(static_cast<uint32_t>(key)) ? static_cast<uint32_t>(key) : 0;
}

bool SoftKeyOn(std::string_view line, int id) {
    return TextOnLine(line, TextOf(g_set.SoftKeyLabel[static_cast<size_t>(id)]));
}

std::string_view LcdString(int id) {
    return TextOf(g_set.LcdString[static_cast<size_t>(id)]);
}

bool BothSlotsUsed(uint32_t key) {
    return SlotCall(key, 0) != -1 && SlotCall(key, 1) != -1;
}

bool BothConferenced(uint32_t key) {
    return BothSlotsUsed(key) && StateOf(SlotCall(key, 0)) == LINECALLSTATE_CONFERENCED &&
           StateOf(SlotCall(key, 1)) == LINECALLSTATE_CONFERENCED;
}

// The call of `key` that is not `cref`, -1.
int OtherCall(uint32_t key, int cref) {
    for (int slot = 0; slot < 2; ++slot)
        if (const int other = SlotCall(key, slot); other != -1 && other != cref)
            return other;
    return -1;
}

int FirstInState(uint32_t state) {
    for (int cref = 0; cref < MAX_CALLS; ++cref)
        if (InUse(cref) && StateOf(cref) == state)
            return cref;
    return -1;
}

int CountInState(uint32_t state) {
    int n = 0;
    for (int cref = 0; cref < MAX_CALLS; ++cref)
        n += InUse(cref) && StateOf(cref) == state ? 1 : 0;
    return n;
}

void SendEvent(int cref, uint32_t state) {
    DoLineEvent(LINE_CALLSTATE, state, 0, cref);
}

void TraceCall(std::string_view format, uint32_t key, int cref) {
    TspTrace(TRACE_CALL, format, key, cref);
}

// A call of the double call is over: DISCONNECTED and IDLE, record freed.
void EndCall(uint32_t key, int cref, bool toTapiInAnyCase) {
    const auto tell = [&](uint32_t state) {
        if (toTapiInAnyCase)
            SendState(cref, state);
        else
            ReportState(cref, state);
    };
    tell(LINECALLSTATE_DISCONNECTED);
    TraceCall("Icone:%d  - Etat:DISCONNECTED - Ref:%d", key, cref);
    tell(LINECALLSTATE_IDLE);
    TraceCall("Icone:%d  - Etat:IDLE - Ref:%d", key, cref);
    FreeCall(cref);
}

// The enquiry call the set opens beside the held call: the consultation
// call of a setup transfer running for it, which TAPI knows already, or a
// new call. -1 when no record is free.
int OpenEnquiryCall(uint32_t key, int held) {
    if (g_running.runningOp == REQ_SETUPTRANSFER && g_running.runningCref == held &&
        ValidCref(g_running.runningConsultCref)) {
        const int cref = g_running.runningConsultCref;
        const auto i = static_cast<size_t>(cref);
        StateOf(cref) = LINECALLSTATE_DIALTONE;
        g_line.calls.Touch[i] = key;
        g_line.calls.Inbound[i] = 0;
        g_line.calls.byMakeCall[i] = 1;
        TspTrace(TRACE_CALL, "sendCompletion SetupTransfer ");
        CompleteRunning(0);
        return cref;
    }
    const int cref = NewCallRecord(LINECALLSTATE_DIALTONE, key);
    if (cref != -1)
        AnnounceCall(cref, false, true);
    return cref;
}

void EnquiryCallOpened(uint32_t key, int cref) {
    PutInSlot(key, FreeSlot(key), cref);
    g_calls.DbCall = true;
    g_calls.DropActiveReq = false;
}

// ---- line 1 shows "SecondCall": back to one call

void DoubleCallEnds(uint32_t a) {
    uint32_t states = KeyStates(a);
    if (states == (LINECALLSTATE_ONHOLD | LINECALLSTATE_DIALTONE) ||
        states == (LINECALLSTATE_ONHOLD | LINECALLSTATE_DIALING) ||
        states == (LINECALLSTATE_ONHOLD | LINECALLSTATE_PROCEEDING)) {
        // The enquiry was abandoned before it was answered.
        const int held = SearchState(a, LINECALLSTATE_ONHOLD);
        const int other = OtherCall(a, held);
        if (held != -1 && other != -1) {
            SendState(held, LINECALLSTATE_CONNECTED);
            TraceCall("Icone:%d  - Etat:CONNECTED - Ref:%d cas 7", a, held);
            EndCall(a, other, true);
            g_calls.DbCall = false;
            g_calls.DropActiveReq = false;
        }
    }
    states = KeyStates(a);
    if (states == kHeldAndConnected) {
        const int held = SearchState(a, LINECALLSTATE_ONHOLD);
        const int connected = SearchState(a, LINECALLSTATE_CONNECTED);
        if (held != -1 && connected != -1) {
            if (!g_calls.DropActiveReq) {
                EndCall(a, held, false);
            } else {
                // The user ended the active call: the held one comes back.
                ReportState(connected, LINECALLSTATE_DISCONNECTED);
                TraceCall("Icone:%d  - Etat:DISCONNECTED - Ref:%d", a, connected);
                ReportState(held, LINECALLSTATE_CONNECTED);
                TraceCall("Icone:%d  - Etat:CONNECTED - Ref:%d cas 8", a, held);
                ReportState(connected, LINECALLSTATE_IDLE);
                TraceCall("Icone:%d  - Etat:IDLE - Ref:%d", a, connected);
                FreeCall(connected);
                g_calls.DropActiveReq = false;
            }
            g_calls.DbCall = false;
        }
    }
    states = KeyStates(a);
    if (states == (LINECALLSTATE_ONHOLD | LINECALLSTATE_DISCONNECTED)) {
        const int held = SearchState(a, LINECALLSTATE_ONHOLD);
        const int ended = SearchState(a, LINECALLSTATE_DISCONNECTED);
        if (held != -1 && ended != -1) {
            ReportState(held, LINECALLSTATE_CONNECTED);
            TraceCall("Icone:%d  - Etat:CONNECTED - Ref:%d cas 9", a, held);
            ReportState(ended, LINECALLSTATE_IDLE);
            TraceCall("Icone:%d  - Etat:IDLE - Ref:%d", a, ended);
            FreeCall(ended);
            g_calls.DbCall = false;
            g_calls.DropActiveReq = false;
        }
    }
    if (BothConferenced(a) && !g_calls.ConfEndReq) {
        TspTrace(TRACE_CALL, "* La conf a ete cassee par un interlocuteur *");
        g_calls.ConfBroken = true;
    }
}

// One call on the key and the set offers a second: the call went through.
void SingleCallShown(uint32_t a) {
    if (const int p = SearchState(a, LINECALLSTATE_PROCEEDING); p != -1) {
        TspTrace(TRACE_CALL, "Apparition de 2App - 1 appel procedding");
        SendState(p, LINECALLSTATE_CONNECTED);
        TraceCall("Icone:%d  - Etat:CONNECTED - Ref:%d cas 6", a, p);
        if (p == g_calls.PickupCref)
            g_calls.PickupCref = -1;
        if (TqlaV1())
            EnquiryConnectedName(p);
    }
    if (const int d = SearchState(a, LINECALLSTATE_DIALTONE); d != -1) {
        TspTrace(TRACE_CALL, "Apparition de 2App - 1 appel DIALTONE -> Interception");
        for (const uint32_t state : {LINECALLSTATE_DIALING, LINECALLSTATE_PROCEEDING, LINECALLSTATE_RINGBACK,
                                     LINECALLSTATE_CONNECTED})
            SendState(d, state);
        TraceCall("Icone:%d  - Etat:CONNECTED - Ref:%d cas 6.1", a, d);
        if (TqlaV1())
            EnquiryConnectedName(d);
    }
}

void SecondCallShown(uint32_t a) {
    if (a == 0)
        return;
    if (BothSlotsUsed(a))
        DoubleCallEnds(a);
    else
        SingleCallShown(a);
}

// ---- line 1 without "SecondCall"

void BlindTransferGoesOn() {
    if (g_running.runningOp != REQ_BLINDTRANSFER)
        return;
    const int position = SoftKeyPosition(SK_TRANSFER);
    if (position == 0)
        return;
    TspTrace(TRACE_CALL, "BlindTransfer Running TRANSF softkey detected=> pushed");
    PressSoftKey(position);
    CompleteRunning(0);
}

bool ConferencePrompt(uint32_t a, std::string_view line) {
    if (a == 0 || !SoftKeyOn(line, SK_CONFERENCE) || FreeSlot(a) == -1)
        return false;
    const int p = SearchState(a, LINECALLSTATE_PROCEEDING);
    if (p == -1)
        return false;
    TspTrace(TRACE_CALL, "Apparition de Conf - 1 appel proceeding");
    SendState(p, LINECALLSTATE_CONNECTED);
    TraceCall("Icone:%d  - Etat:CONNECTED - Ref:%d cas 10", a, p);
    if (TqlaV1())
        EnquiryConnectedName(p);
    return true;
}

// In PBX enquiry mode the set opens the enquiry call on the same key.
void EndSecondCallShown(uint32_t a) {
    TspTrace(TRACE_CALL, "Detection de Fin2App");
    if (a == 0 || FreeSlot(a) == -1)
        return;
    TspTrace(TRACE_CALL, "Fin2App 1 appel en cours EnqCallMode %d", g_line.EnqCallMode);
    const int c = SearchState(a, LINECALLSTATE_CONNECTED);
    if (c == -1 || g_line.EnqCallMode != 1)
        return;
    SendState(c, LINECALLSTATE_ONHOLD);
    TspTrace(TRACE_CALL, "DoLineEvent\t(LINE_CALLSTATE, \tLINECALLSTATE_HOLD, 0, cref:%04x)", c);
    const int d = OpenEnquiryCall(a, c);
    if (d == -1)
        return;
    SendState(d, LINECALLSTATE_DIALTONE);
    TspTrace(TRACE_CALL, "DoLineEvent\t(LINE_CALLSTATE, \tLINECALLSTATE_DIALTONE, 0, cref:%04x)", d);
    EnquiryCallOpened(a, d);
}

bool SwapShown(uint32_t a) {
    TspTrace(TRACE_CALL, "VaVien detected");
    if (a == 0 || !BothSlotsUsed(a))
        return false;
    TspTrace(TRACE_CALL, "VaVien avec 2 appels en cours sur Icone:%d ", a);
    const uint32_t states = KeyStates(a);
    if (states != (LINECALLSTATE_ONHOLD | LINECALLSTATE_PROCEEDING) &&
        states != (LINECALLSTATE_ONHOLDPENDTRANSFER | LINECALLSTATE_PROCEEDING))
        return false;
    TspTrace(TRACE_CALL, "VaVien avec 1 appel ONHOLD et 1 appel PROCEEDING ");
    const int p = SearchState(a, LINECALLSTATE_PROCEEDING);
    if (p == -1)
        return false;
    SendState(p, LINECALLSTATE_CONNECTED);
    TraceCall("Icone:%d - Etat: CONNECTED - Ref:%d", a, p);
    g_calls.DbCall = true;
    g_calls.DropActiveReq = false;
    if (TqlaV1())
        EnquiryConnectedName(p);
    return true;
}

void ConferenceOnOneKey(uint32_t a, std::string_view line) {
    if (a == 0 || !SoftKeyOn(line, SK_TRANSFER) || !g_calls.DbCall || !g_calls.ConferenceReq ||
        KeyStates(a) != kHeldAndConnected)
        return;
    const int held = SearchState(a, LINECALLSTATE_ONHOLD);
    const int connected = SearchState(a, LINECALLSTATE_CONNECTED);
    if (held == -1 || connected == -1)
        return;
    TspTrace(TRACE_CALL, "Passage en conference - double appel sur une ligne");
    JoinConference(a, held, a, connected, true);
}

void SoftKeyLine(uint32_t a, std::string_view line) {
    if (SoftKeyOn(line, SK_SECONDCALL)) {
        SecondCallShown(a);
        return;
    }
    BlindTransferGoesOn();
    if (ConferencePrompt(a, line))
        return;
    if (SoftKeyOn(line, SK_ENDSECONDCALL))
        EndSecondCallShown(a);
    TspTrace(TRACE_CALL, "Avant test VaVien ");
    if (SoftKeyOn(line, SK_SWAP) && SwapShown(a))
        return;
    ConferenceOnOneKey(a, line);
}

// ---- line 0

bool HangUpShown(uint32_t a, std::string_view line) {
    if (a == 0 || !TextOnLine(line, LcdString(LCD_HANGUP)))
        return false;
    int c = SearchState(a, LINECALLSTATE_PROCEEDING);
    if (c == -1)
        c = SearchState(a, LINECALLSTATE_DIALTONE);
    if (c != -1) {
        // The call stays, ended, until its key goes dark.
        const auto i = static_cast<size_t>(c);
        StateOf(c) = LINECALLSTATE_DISCONNECTED;
        TspTrace(TRACE_ERROR, "byMakeCall:%d,inbound:%d,outbound:%d", g_line.calls.byMakeCall[i],
                 g_line.calls.Inbound[i], g_line.calls.Outbound[i]);
        SendState(c, LINECALLSTATE_DISCONNECTED);
        TraceCall("Icone:%d  - Etat:DISCONNECTED - Ref:%d", a, c);
    } else if (c = SearchState(a, LINECALLSTATE_CONNECTED); c != -1) {
        SendState(c, LINECALLSTATE_DISCONNECTED);
        TraceCall("Icone:%d  - Etat:DISCONNECTED - Ref:%d", a, c);
        DoPhoneEvent(PHONESTATE_DISCONNECTED, 0);
    }
    return true;
}

bool CancelSecondCallShown(uint32_t a, std::string_view line) {
    if (!TextOnLine(line, LcdString(LCD_CANCELSECONDCALL)))
        return false;
    TspTrace(TRACE_CALL, "Annulez le 2eAppel ActivCallTouch %d", g_calls.ActivCallTouch);
    if (const int c = SearchState(a, LINECALLSTATE_CONNECTED); c != -1) {
        ReportState(c, LINECALLSTATE_DISCONNECTED);
        TraceCall("Icone:%d - Etat:DISCONNECTED - Ref:%d", a, c);
    }
    return true;
}

// The set took a second line on the key of the connected call.
void DialShown(uint32_t a, std::string_view line) {
    if (a == 0 || !TextOnLine(line, LcdString(LCD_DIAL)) || FreeSlot(a) == -1)
        return;
    const int c = SearchState(a, LINECALLSTATE_CONNECTED);
    if (c == -1)
        return;
    ReportState(c, LINECALLSTATE_ONHOLD);
    TraceCall("ST_Dial trouve Icone:%d  - Etat:ONHOLD - Ref:%d", a, c);
    const int d = OpenEnquiryCall(a, c);
    if (d == -1)
        return;
    TraceCall("Icone:%d  - Etat:DIALTONE - Ref:%04x", a, d);
    SendState(d, LINECALLSTATE_DIALTONE);
    EnquiryCallOpened(a, d);
}

bool ConferenceNamesShown(std::string_view line) {
    if (!SoftKeyOn(line, SK_CONFERENCE))
        return false;
    for (size_t n = 0; n < g_calls.ConfNames.size(); ++n) {
        auto& name = g_calls.ConfNames[n];
        for (int i = 0; i < CONF_NAME_LEN; ++i)
            name[static_cast<size_t>(i)] = static_cast<char>(RawAt(kConfNameColumn[n] + i));
        name[CONF_NAME_LEN] = '\0';
    }
    TspTrace(TRACE_CALL, "Passage en conference detecte par display 0");
    return true;
}

// A memorised name on line 0 as the set sent it. A blank name would be
// found on any line.
bool ConfNameShown(size_t n) {
    const std::string_view name = TextOf(g_calls.ConfNames[n]);
    if (name.find_first_not_of(' ') == std::string_view::npos)
        return false;
    std::string raw;
    for (int col = 0; col < DISPLAY_WIDTH; ++col)
        raw += static_cast<char>(RawAt(col));
    return raw.find(name) != std::string::npos;
}

// One party left the conference: the other stays with the user.
void PartyLeft(uint32_t a, int stays, int leaves, std::string_view trace) {
    if (InUse(stays)) {
        ReportState(stays, LINECALLSTATE_CONNECTED);
        TraceCall(trace, a, stays);
    }
    if (InUse(leaves))
        EndCall(a, leaves, false);
}

bool BrokenConference(uint32_t a, bool fresh) {
    if (!g_calls.ConfBroken || !fresh || !BothConferenced(a))
        return false;
    TspTrace(TRACE_CALL, "* On detecte qui a casse la conf *");
    g_calls.ConferenceReq = false;
    SendState(CONFREF, LINECALLSTATE_IDLE);
    const int first = g_calls.ConfRef1, second = g_calls.ConfRef2;
    if (ConfNameShown(0)) {
        TspTrace(TRACE_CALL, "Detection du premier");
        PartyLeft(a, first, second, "Icone:%d  - Etat:CONNECTED - Ref:%d cas 11");
    } else if (ConfNameShown(1)) {
        TspTrace(TRACE_CALL, "Detection du second");
        PartyLeft(a, second, first, "Icone:%d  - Etat:CONNECTED - Ref:%d cas 12");
    } else {
        TspTrace(TRACE_CALL, "Pb de detection de string");
        return true;
    }
    ResetConfDetection();
    g_calls.DbCall = false;
    g_calls.ConfBroken = false;
    return true;
}

bool ConferenceEndRequested(uint32_t a, bool fresh) {
    if (!g_calls.ConfEndReq || !fresh || !BothConferenced(a))
        return false;
    TspTrace(TRACE_CALL, "Fin de conference");
    g_calls.ConferenceReq = false;
    g_calls.ConfDetected = false;
    SendState(CONFREF, LINECALLSTATE_IDLE);
    // The last party to join leaves.
    const int stays = g_calls.ConfRef1, leaves = g_calls.ConfRef2;
    if (InUse(leaves)) {
        ReportState(leaves, LINECALLSTATE_DISCONNECTED);
        TraceCall("Icone:%d  - Etat:DISCONNECTED - Ref:%d", a, leaves);
    }
    if (InUse(stays)) {
        ReportState(stays, LINECALLSTATE_CONNECTED);
        TraceCall("Icone:%d  - Etat:CONNECTED - Ref:%d cas 13", a, stays);
    }
    if (InUse(leaves)) {
        ReportState(leaves, LINECALLSTATE_IDLE);
        TraceCall("Icone:%d  - Etat:IDLE - Ref:%d", a, leaves);
        FreeCall(leaves);
    }
    g_calls.DbCall = false;
    g_calls.ConfEndReq = false;
    return true;
}

bool ConnectedNameShown(uint32_t a, bool fresh) {
    if (!TqlaV1() || !fresh)
        return false;
    const int c = SearchState(a, LINECALLSTATE_CONNECTED);
    if (c == -1 || g_line.strings.NameEnquiry[static_cast<size_t>(c)] != 1)
        return false;
    TspTrace(TRACE_CALL, "Remontee du nom et adresse en etat connected cref %d", c);
    g_line.strings.NameEnquiry[static_cast<size_t>(c)] = 0;
    RequestDispName(c);
    return true;
}

bool CalledFromHere(int cref) {
    const auto i = static_cast<size_t>(cref);
    return g_line.calls.Outbound[i] != 0 || g_line.calls.byMakeCall[i] != 0;
}

// The number being dialled, read from line 0: after the "Dial" prompt, or
// digits in every second column from the start.
void Dialling(std::string_view line, bool fresh) {
    if (g_calls.PickupCref != -1)
        return;
    const std::string_view prompt = LcdString(LCD_DIAL);
    const int dial = TextColumn(line, prompt);
    int first = 0;
    int count = 0;
    if (dial >= 0) {
        int col = dial + static_cast<int>(prompt.size());
        while (RawAt(col) == ' ')
            ++col;
        first = col;
        while (IsDigit(RawAt(col)))
            ++col;
        count = col - first;
    } else {
        int col = 0;
        while (IsDigit(RawAt(col)))
            col += 2;
        count = col;
    }
    for (int n = 0; n < count; ++n) {
        const int d = FirstInState(LINECALLSTATE_DIALTONE);
        if (d == -1)
            break;
        if (!g_calls.DbCall)
            SendEvent(d, LINECALLSTATE_DIALING);
        SendState(d, LINECALLSTATE_PROCEEDING);
        TraceCall(dial >= 0 ? "Icone:%d - Etat:PROCEEDING - Ref:%d cas 1"
                            : "Icone:%d - Etat:PROCEEDING - Ref:%d cas 2",
                  g_line.calls.Touch[static_cast<size_t>(d)], d);
        SendEvent(d, LINECALLSTATE_RINGBACK);
    }
    TrimRight(g_calls.TmpAddress);

    const int proceeding = CountInState(LINECALLSTATE_PROCEEDING);
    if (proceeding == 0 || !TqlaV1())
        return;
    if (count > 0) {
        // Never past column 40 nor the buffer.
        const int end = std::min(first + count + 1, DISPLAY_WIDTH);
        CopyText(g_calls.TmpAddress,
                 line.substr(static_cast<size_t>(first), static_cast<size_t>(end - first)));
        TspTrace(TRACE_CALL, "TmpAddress:'%s'", g_calls.TmpAddress);
    } else if (TextOf(g_calls.TmpAddress).size() >= 2) {
        // The digits are gone from the display: the number is complete.
        if (proceeding == 1) {
            const int p = FirstInState(LINECALLSTATE_PROCEEDING);
            const auto i = static_cast<size_t>(p);
            if (g_line.calls.Outbound[i] != 0) {
                TspTrace(TRACE_CALL, "Envoi du numero sur appel proceeding");
                CopyText(g_line.strings.DestAddress[i], TextOf(g_calls.TmpAddress));
                TspTrace(TRACE_CALL, "DoLineEvent\t(LINE_CALLINFO,LINECALLINFOSTATE_CALLEDID, 0, cref:%lx)",
                         p);
                DoLineEvent(LINE_CALLINFO, LINECALLINFOSTATE_CALLEDID, 0, p);
            }
            if (CalledFromHere(p)) {
                TspTrace(TRACE_CALL, "Demande CalledName sur appel proceeding");
                g_line.strings.NameEnquiry[i] = 1;
            }
        }
        g_calls.TmpAddress.fill(0);
    }
    if (fresh && proceeding == 1) {
        const int p = FirstInState(LINECALLSTATE_PROCEEDING);
        const auto i = static_cast<size_t>(p);
        if (CalledFromHere(p) && g_line.strings.NameEnquiry[i] == 1) {
            TspTrace(TRACE_CALL, "Remontee nom en RA");
            g_line.strings.NameEnquiry[i] = 0;
            RequestDispName(p);
        }
    }
}

void PromptLine(uint32_t a, std::string_view line, bool fresh) {
    if (HangUpShown(a, line) || CancelSecondCallShown(a, line))
        return;
    DialShown(a, line);
    if (ConferenceNamesShown(line) || BrokenConference(a, fresh) || ConferenceEndRequested(a, fresh) ||
        ConnectedNameShown(a, fresh))
        return;
    Dialling(line, fresh);
}

}  // namespace

void DisplayChanged(int line, int start, int end, bool complete) {
    const bool written = start != end;
    AnalyseDisplay(line, line == 0 && complete && written);
    if (complete)
        DoPhoneEvent(PHONESTATE_DISPLAY, 0);
    if (line == 0 && written)
        GetCallInformation(g_superv.IncomingCref);
}

void AnalyseDisplay(int line, bool fresh) {
    if (line != 0 && line != 1)
        return;
    const std::string text = DisplayText(line);
    TspTrace(TRACE_DISPLAY, "ActivTou %d DbCall %d Display %d ->'%s'", g_calls.ActivCallTouch,
             g_calls.DbCall ? 1 : 0, line, text);
    const uint32_t a = ActiveKey();
    if (line == 1)
        SoftKeyLine(a, text);
    else
        PromptLine(a, text, fresh);
}

void ConferenceSoftKey() {
    const uint32_t a = ActiveKey();
    const int held = SearchState(a, LINECALLSTATE_ONHOLD);
    const int connected = SearchState(a, LINECALLSTATE_CONNECTED);
    if (held != -1 && connected != -1) {
        TspTrace(TRACE_CALL, "Passage en conférence par appui sur soft key");
        JoinConference(a, held, a, connected);
        return;
    }
    if (g_calls.ConfDetected) {
        TspTrace(TRACE_CALL, "* !Conf enfoncée *");
        g_calls.ConfEndReq = true;
    }
}

}  // namespace zq
