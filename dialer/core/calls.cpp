#include "core/calls.h"

#include <algorithm>
#include <cstring>
#include <initializer_list>

#include "core/calllog.h"
#include "core/tapi_api.h"
#include "core/view.h"

namespace zq::dialer {
namespace {

CallWindow g_calls;
DialRequest g_request;

constexpr char kPromptBilling[] =
    "Listen for the calling card prompt tone. Click \"Continue\" when it is heard to continue dialing.";
constexpr char kPromptDialTone[] =
    "Listen for a second dial tone. Click \"Continue\" when it is heard to continue dialing.";
constexpr char kPromptQuiet[] =
    "Listen for the remote end to answer (ringing stops). Click \"Continue\" when it is heard to continue "
    "dialing.";
constexpr char kPromptPause[] = "Dialing is paused. Click \"Continue\" when ready to continue dialing.";

constexpr int kManaged[] = {
    ID_DIAL,   ID_NUMBER, 202,         203,          204,     205,     206,       207,
    208,       209,       210,         211,          212,     213,     214,       215,
    216,       217,       218,         219,          220,     221,     222,       223,
    ID_UNPARK, ID_PICKUP, ID_REDIRECT, ID_ANSWER,    ID_DROP, ID_HOLD, ID_UNHOLD, ID_TRANSFER,
    ID_CONF,   ID_PARK,   ID_RECALL,   ID_INTRUSION, ID_DTMF};

LONG E(DWORD code) {
    return static_cast<LONG>(code);
}

bool IsFree(const CallSlot& s) {
    return s.state == 0 || s.state == LINECALLSTATE_IDLE;
}

CallSlot& Slot(int i) {
    return g_calls.slots[static_cast<size_t>(i)];
}

int FindSlot(HCALL call) {
    for (int i = 0; call != 0 && i < MAX_CALL_SLOTS; ++i) {
        if (!IsFree(Slot(i)) && Slot(i).call == call)
            return i;
    }
    return -1;
}

int FirstFreeSlot() {
    for (int i = 0; i < MAX_CALL_SLOTS; ++i) {
        if (IsFree(Slot(i)))
            return i;
    }
    return -1;
}

int FirstSlotInState(DWORD state) {
    for (int i = 0; i < MAX_CALL_SLOTS; ++i) {
        if (!IsFree(Slot(i)) && Slot(i).state == state)
            return i;
    }
    return -1;
}

int RowOf(int slot) {
    for (int r = 0; r < g_calls.rows; ++r) {
        if (g_calls.order[static_cast<size_t>(r)] == slot)
            return r;
    }
    return -1;
}

int SlotOfRow(int row) {
    return row >= 0 && row < g_calls.rows ? g_calls.order[static_cast<size_t>(row)] : -1;
}

// The first (or, with last, the last) row whose call is in one of states.
int RowInState(std::initializer_list<DWORD> states, bool last = false) {
    int found = -1;
    for (int r = 0; r < g_calls.rows; ++r) {
        if (std::find(states.begin(), states.end(), Slot(SlotOfRow(r)).state) != states.end()) {
            found = r;
            if (!last)
                break;
        }
    }
    return found;
}

int SelectedSlot() {
    return SlotOfRow(g_calls.selected);
}

std::time_t Now() {
    return View().now();
}

std::string_view Party(const CallSlot& s) {
    return !s.name.empty()     ? s.name.view()
           : !s.number.empty() ? s.number.view()
                               : std::string_view("Unknown");
}

void ClearInProgress() {
    g_calls.callInProgress = false;
    g_calls.dialingSlot = -1;
}

void ResetRequest() {
    g_request = DialRequest{};
}

// dwAddressFeatures of the current line's address 0; nullopt while there
// is no line or its status cannot be read.
std::optional<DWORD> CurrentAddressFeatures() {
    const LineEntry* e = CurrentLine();
    TapiBuffer status;
    if (e == nullptr || e->line == 0 || ReadAddressStatus(*e, status) != 0)
        return std::nullopt;
    return HeaderOf<LINEADDRESSSTATUS>(status).dwAddressFeatures;
}

// ---- rows and states

void LeaveConference() {
    CallWindow& w = g_calls;
    w.confCount = 0;
    w.confSlots = {-1, -1};
    w.confConnectedSlot = -1;
    if (w.confWindow) {
        w.confWindow = false;
        View().closeConference();
    }
}

void CountConference(int i, bool fromConnected) {
    CallWindow& w = g_calls;
    if (w.confCount >= 2 || (w.confCount == 1 && w.confSlots[0] == i))
        return;
    w.confSlots[static_cast<size_t>(w.confCount++)] = i;
    if (fromConnected)
        w.confConnectedSlot = i;
    if (w.confCount < 2)
        return;
    const CallSlot& a = Slot(w.confSlots[0]);
    const CallSlot& b = Slot(w.confSlots[1]);
    if ((a.name.empty() && a.number.empty()) || (b.name.empty() && b.number.empty()))
        return;
    w.confWindow = true;
    View().showConference(Party(a), Party(b));
}

// The slot's new state, with what follows from it: start and end times,
// the most recently held call, the conference count.
void SetState(int i, DWORD state) {
    CallSlot& s = Slot(i);
    const DWORD old = s.state;
    if (state == old)
        return;
    s.prevState = old;
    s.state = state;
    if (state == LINECALLSTATE_CONNECTED &&
        (old == LINECALLSTATE_OFFERING || old == LINECALLSTATE_PROCEEDING))
        s.start = Now();
    if ((state == LINECALLSTATE_DISCONNECTED || state == LINECALLSTATE_IDLE) && s.start != 0)
        s.end = Now();
    if (state == LINECALLSTATE_ONHOLD)
        g_calls.lastHeldSlot = i;
    if (state == LINECALLSTATE_CONFERENCED && (old == LINECALLSTATE_ONHOLD || old == LINECALLSTATE_CONNECTED))
        CountConference(i, old == LINECALLSTATE_CONNECTED);
    if (old == LINECALLSTATE_CONFERENCED)
        LeaveConference();
}

// The slot's row with the label of labelState; added when it has none.
void ShowRow(int i, DWORD labelState) {
    const CallSlot& s = Slot(i);
    const std::string text = RowText(s.name.view(), s.number.view(), StateLabel(labelState), View().textWidth,
                                     View().partyColumnWidth);
    const int row = RowOf(i);
    if (row >= 0) {
        View().setRowText(row, text);
        return;
    }
    g_calls.order[static_cast<size_t>(g_calls.rows++)] = i;
    View().addRow(text);
}

void Relabel(int i, DWORD state) {
    SetState(i, state);
    ShowRow(i, state);
}

// A row to select: when it is not OFFERING and there are several, the
// first CONNECTED or PROCEEDING row instead, or none beside a conference.
void Select(int row) {
    const bool among = g_calls.rows > 1 && row >= 0 && row < g_calls.rows;
    if (among && Slot(SlotOfRow(row)).state != LINECALLSTATE_OFFERING) {
        const int active = RowInState({LINECALLSTATE_CONNECTED, LINECALLSTATE_PROCEEDING});
        if (active >= 0)
            row = active;
        else if (RowInState({LINECALLSTATE_CONFERENCED}) >= 0)
            row = -1;
    }
    if (row >= g_calls.rows)
        row = -1;
    g_calls.selected = row;
    View().selectRow(row);
}

void SelectAfterEnd() {
    int row = RowInState({LINECALLSTATE_CONNECTED});
    if (row < 0)
        row = RowInState({LINECALLSTATE_OFFERING, REOFFERING}, true);
    if (row < 0)
        row = RowInState({LINECALLSTATE_ONHOLD}, true);
    if (row >= 0)
        Select(row);
}

void ShowChoice();

// The slot freed without a log line: its row, the marks that name it,
// the choice window.
void ForgetSlot(int i) {
    CallWindow& w = g_calls;
    if (Slot(i).state == LINECALLSTATE_CONFERENCED)
        LeaveConference();
    if (const int row = RowOf(i); row >= 0) {
        View().removeRow(row);
        std::copy(w.order.begin() + row + 1, w.order.begin() + w.rows, w.order.begin() + row);
        --w.rows;
        if (w.selected == row)
            w.selected = -1;
        else if (w.selected > row)
            --w.selected;
    }
    if (w.dialingSlot == i)
        w.dialingSlot = -1;
    if (w.lastHeldSlot == i)
        w.lastHeldSlot = -1;
    if (g_request.slot == i)
        g_request.slot = -1;
    if (w.choiceOpen) {
        if (w.choiceActive == i) {
            w.choiceOpen = false;
            View().closeTransferChoice();
        } else if (std::erase(w.choiceHeld, i) > 0) {
            ShowChoice();
        }
    }
    Slot(i) = CallSlot{};
}

// Row removal: the call is logged, the slot freed, a row selected.
void RemoveSlot(int i) {
    CallSlot& s = Slot(i);
    if (s.start != 0)
        s.end = Now();
    LoggedCall call;
    call.incoming = s.incoming;
    call.transferred = s.transferred;
    call.name = s.name.str();
    call.number = s.number.str();
    call.callbackNumber = s.callbackNumber.str();
    call.calledNumber = s.calledNumber.str();
    call.start = s.start;
    call.end = s.end;
    ForgetSlot(i);
    WriteLogRecord(call);
    SelectAfterEnd();
    UpdateButtons();
}

void ShowMiniMessage() {
    const int slot = SelectedSlot();
    View().setControlText(ID_MINI_MESSAGE, slot >= 0 ? Slot(slot).message.view() : std::string_view());
}

// ---- call information

std::string UserUserText(const TapiBuffer& info, DWORD size, DWORD offset) {
    std::u16string text(std::min<DWORD>(size, 1024) / 2, u'\0');
    if (text.empty() || !ReadAt(info, offset, text.data(), text.size() * 2))
        return {};
    return View().toAnsi(text.substr(0, text.find(u'\0')));
}

void RefreshSlotParty(int i, DWORD infoStates, bool relabel) {
    CallSlot& s = Slot(i);
    TapiBuffer info;
    if (FetchTapiStruct(info, kCallInfoFirst, [&](void* p) {
            return Tapi().lineGetCallInfoA(s.call, static_cast<LINECALLINFO*>(p));
        }) != 0)
        return;
    const auto ci = HeaderOf<LINECALLINFO>(info);
    auto party = [&](DWORD flags, DWORD nameSize, DWORD nameOffset, DWORD numberSize, DWORD numberOffset) {
        if ((flags & LINECALLPARTYID_NAME) != 0)
            s.name.set(TextAt(info, nameSize, nameOffset, 39));
        if ((flags & LINECALLPARTYID_ADDRESS) != 0)
            s.number.set(TextAt(info, numberSize, numberOffset, 79));
    };
    if (s.incoming) {
        party(ci.dwCallerIDFlags, ci.dwCallerIDNameSize, ci.dwCallerIDNameOffset, ci.dwCallerIDSize,
              ci.dwCallerIDOffset);
        if ((ci.dwCalledIDFlags & (LINECALLPARTYID_ADDRESS | LINECALLPARTYID_UNKNOWN)) != 0)
            s.calledNumber.set(TextAt(info, ci.dwCalledIDSize, ci.dwCalledIDOffset, 79));
    } else {
        party(ci.dwCalledIDFlags, ci.dwCalledIDNameSize, ci.dwCalledIDNameOffset, ci.dwCalledIDSize,
              ci.dwCalledIDOffset);
    }
    if ((infoStates & LINECALLINFOSTATE_CONNECTEDID) != 0) {
        const std::string connected = (ci.dwConnectedIDFlags & LINECALLPARTYID_ADDRESS) != 0
                                          ? TextAt(info, ci.dwConnectedIDSize, ci.dwConnectedIDOffset, 79)
                                          : std::string();
        if (s.incoming && !connected.empty() && connected != s.number.view()) {
            // Transferred to another party: the part so far is the caller's.
            LoggedCall part;
            part.incoming = true;
            part.transferred = s.transferred;
            part.name = s.name.str();
            part.number = s.number.str();
            part.callbackNumber = s.callbackNumber.str();
            part.calledNumber = s.calledNumber.str();
            part.start = s.start;
            part.end = Now();
            WriteLogRecord(part);
            s.transferred = true;
            s.start = Now();
        }
        party(ci.dwConnectedIDFlags, ci.dwConnectedIDNameSize, ci.dwConnectedIDNameOffset,
              ci.dwConnectedIDSize, ci.dwConnectedIDOffset);
    }
    if (s.incoming && (ci.dwOrigin & LINECALLORIGIN_EXTERNAL) != 0)
        s.callbackNumber.set(std::string(Telephony().prefix.view()) + s.number.str());
    if (ci.dwUserUserInfoSize != 0)
        s.message.set(UserUserText(info, ci.dwUserUserInfoSize, ci.dwUserUserInfoOffset));
    if (relabel)
        ShowRow(i, s.state);
    ShowMiniMessage();
}

// ---- placing

LINECALLPARAMS* Params() {
    return reinterpret_cast<LINECALLPARAMS*>(g_request.params.data());
}

// The call parameters with the called party's name and the message after
// them, each cut to 39 characters, all within kCallParamsSize.
void BuildCallParams(std::string_view name, std::string_view message) {
    DialRequest& r = g_request;
    FixedText<kCalledPartyBytes> party;
    FixedText<kUserUserBytes> uui;
    party.set(name);
    uui.set(message);
    LINECALLPARAMS p{};
    p.dwTotalSize = kCallParamsSize;
    p.dwBearerMode = LINEBEARERMODE_VOICE;
    p.dwMediaMode = LINEMEDIAMODE_INTERACTIVEVOICE;
    p.dwCallParamFlags = r.secure ? LINECALLPARAMFLAGS_SECURE : 0;
    p.dwAddressMode = LINEADDRESSMODE_ADDRESSID;
    p.dwAddressID = r.address;
    r.params.fill(0);
    if (!party.empty()) {
        p.dwCalledPartySize = static_cast<DWORD>(party.view().size() + 1);
        p.dwCalledPartyOffset = sizeof(LINECALLPARAMS);
        std::memcpy(r.params.data() + sizeof(LINECALLPARAMS), party.c.data(), p.dwCalledPartySize);
    }
    if (!uui.empty()) {
        p.dwUserUserInfoSize = static_cast<DWORD>(uui.view().size() + 1);
        p.dwUserUserInfoOffset = sizeof(LINECALLPARAMS) + kCalledPartyBytes;
        std::memcpy(r.params.data() + p.dwUserUserInfoOffset, uui.c.data(), p.dwUserUserInfoSize);
    }
    std::memcpy(r.params.data(), &p, sizeof p);
}

// Every way a placing can fail ends here: the other program is answered
// or the user told, the per-call line closed (no call exists on it), the
// row removed and the attempt logged.
bool PlaceCallFailed(LONG result, bool show, LONG otherReply = TAPIERR_REQUESTFAILED) {
    DialRequest& r = g_request;
    if (r.forOtherProgram)
        View().postTapiReply(r.requester, r.requestId, otherReply);
    else if (show && result == E(LINEERR_CALLUNAVAIL))
        View().showLineInUse(kLineInUseText, kLineInUseText2);
    else if (show)
        ShowError(result);
    const int slot = r.slot;
    const HLINE line = r.line;
    if (r.promptOpen)
        View().closeDialingPrompt();
    ResetRequest();
    if (line != 0)
        Tapi().lineClose(line);
    if (slot >= 0) {
        Slot(slot).pendingRequest = 0;
        ClearInProgress();
        RemoveSlot(slot);
    }
    return false;
}

// Sends digits with lineMakeCallA (first) or lineDialA. A dial modifier the
// line cannot wait for sends the part before it and opens the prompt.
LONG SendDigits(std::string_view digits, bool first) {
    DialRequest& r = g_request;
    auto send = [&](const std::string& text) {
        return first ? Tapi().lineMakeCallA(r.line, &r.call, text.c_str(), 0, Params())
                     : Tapi().lineDialA(r.call, text.c_str(), 0);
    };
    const std::string text(digits);
    LONG result = send(text);
    const auto split = SplitAtModifier(text, result);
    if (!split)
        return result;
    result = send(split->send);
    if (result < 0)
        return result;
    r.promptOpen = true;
    r.promptRest = split->rest;
    View().showDialingPrompt(split->prompt);
    return result;
}

// The placed call now belongs to slot i (its line stays open until IDLE);
// DialRequest is free for the next call.
void HandOver(int i) {
    DialRequest& r = g_request;
    if (i < 0 || r.state == DialState::None)
        return;
    Slot(i).ownLine = r.line;
    Slot(i).call = r.call;
    Slot(i).linked = false;
    if (r.promptOpen)
        View().closeDialingPrompt();
    ResetRequest();
    if (g_calls.dialingSlot == i)
        g_calls.dialingSlot = -1;
}

// Drops the call being placed; before its handle is known (the make-call
// request not yet completed) the drop waits for the completion.
void DropRequestCall() {
    DialRequest& r = g_request;
    if (r.state != DialState::Placing)
        return;
    if (r.call == 0 || r.pendingRequest != 0) {
        r.state = DialState::DropAsked;
        return;
    }
    Tapi().lineDrop(r.call, nullptr, 0);
    r.state = DialState::DropIssued;
    HandOver(r.slot);
}

// The digits after the prompt's modifier; a failure ends the call.
void ContinueDialing() {
    DialRequest& r = g_request;
    const std::string rest = std::move(r.promptRest);
    r.promptRest.clear();
    if (rest.empty())
        return;
    const LONG result = SendDigits(rest, false);
    if (result >= 0)
        return;
    if (!r.forOtherProgram)
        ShowError(result);
    DropRequestCall();
}

// ---- asynchronous commands

void BeginRequest() {
    Telephony().replyPending = true;
    View().hourglass(true);
}

bool Started(LONG result) {
    if (result >= 0)
        return true;
    Telephony().replyPending = false;
    View().hourglass(false);
    ShowError(result);
    return false;
}

bool RefuseWhileProceeding() {
    if (!g_calls.callInProgress && g_request.state == DialState::None)
        return false;
    View().beep(kMbIconExclamation);
    View().messageBox(kProceedingCallText, kProceedingCallCaption, kMbOk);
    return true;
}

int TakeFreeSlot() {
    const int i = FirstFreeSlot();
    if (i < 0)
        ShowWarning(kTooManyCallsText);
    return i;
}

void CompleteTransfer(int held, int consult, bool conference) {
    BeginRequest();
    Started(Tapi().lineCompleteTransfer(
        Slot(held).call, Slot(consult).call, conference ? &g_calls.confCall : nullptr,
        conference ? LINETRANSFERMODE_CONFERENCE : LINETRANSFERMODE_TRANSFER));
}

void ShowChoice() {
    const CallWindow& w = g_calls;
    TransferChoice c;
    c.title = w.choiceConference ? "Conference" : "Transfer";
    c.label = c.title + ":";
    c.active = w.choiceActive >= 0 ? std::string(Party(Slot(w.choiceActive))) : std::string();
    for (size_t k = 0; k < w.choiceHeld.size(); ++k) {
        c.held.emplace_back(Party(Slot(w.choiceHeld[k])));
        if (w.choiceHeld[k] == w.lastHeldSlot)
            c.preselected = static_cast<int>(k);
    }
    c.button = w.choiceConference ? "Conf" : "Transfer";
    View().showTransferChoice(c);
}

void TransferOrConference(bool conference) {
    CallWindow& w = g_calls;
    if (SelectedSlot() < 0)
        return;
    std::vector<int> held;
    for (int r = 0; r < w.rows; ++r) {
        if (Slot(SlotOfRow(r)).state == LINECALLSTATE_ONHOLD)
            held.push_back(SlotOfRow(r));
    }
    if (w.rows > 2 && held.size() > 1) {
        w.choiceOpen = true;
        w.choiceConference = conference;
        w.choiceActive = SlotOfRow(RowInState({LINECALLSTATE_CONNECTED}));
        w.choiceHeld = held;
        ShowChoice();
        return;
    }
    int consult = SlotOfRow(RowInState({LINECALLSTATE_CONNECTED}));
    if (consult < 0 && !conference && w.callInProgress)
        consult = SlotOfRow(RowInState({LINECALLSTATE_PROCEEDING}));
    if (held.empty() || consult < 0) {
        if (w.rows == 2)
            View().messageBox(kInvalidStateText, kInvalidStateCaption, kMbOk);
        return;
    }
    CompleteTransfer(held.front(), consult, conference);
}

void CompleteCall(DWORD mode, LONG LineEntry::*request) {
    const int i = SelectedSlot();
    LineEntry* e = CurrentLine();
    if (i < 0 || e == nullptr || Slot(i).state != LINECALLSTATE_PROCEEDING)
        return;
    BeginRequest();
    const LONG r = Tapi().lineCompleteCall(Slot(i).call, &g_calls.completionId, mode, 0);
    if (Started(r))
        e->*request = r;
}

void PickupOrUnpark(bool pickup) {
    LineEntry* e = CurrentLine();
    if (e == nullptr || RefuseWhileProceeding())
        return;
    const int i = TakeFreeSlot();
    if (i < 0)
        return;
    Translation t;
    t.number.set(View().controlText(ID_NUMBER));
    if (TranslateNumber(t, Telephony().currentLine, false) != 0)
        return;
    CallSlot& s = Slot(i);
    s = CallSlot{};
    s.number.set(t.typed.view());
    s.ownCall = true;
    SetState(i, LINECALLSTATE_PROCEEDING);
    g_calls.callInProgress = true;
    // The row comes with the call's first state.
    BeginRequest();
    const std::string dialable = t.number.str();
    const LONG r = pickup ? Tapi().linePickupA(e->line, 0, &s.call, dialable.c_str(), "")
                          : Tapi().lineUnparkA(e->line, 0, &s.call, dialable.c_str());
    if (!Started(r)) {
        s = CallSlot{};
        g_calls.callInProgress = false;
        return;
    }
    s.pendingRequest = r;
    (pickup ? e->pickupRequest : e->unparkRequest) = r;
}

// ---- call states

void MediaCallState(HCALL call, DWORD state) {
    if (state != LINECALLSTATE_IDLE)
        return;
    DialRequest& r = g_request;
    Tapi().lineDeallocateCall(call);
    View().postTapiReply(r.requester, r.requestId, TAPIERR_DROPPED);
    const HLINE line = r.line;
    ResetRequest();
    Tapi().lineClose(line);
}

void OwnLineState(HCALL call, DWORD state, DWORD detail) {
    CallWindow& w = g_calls;
    DialRequest& r = g_request;
    const bool requestCall = r.state != DialState::None && call != 0 && r.call == call;
    if (requestCall) {
        r.callState = state;
        if (r.slot < 0) {
            MediaCallState(call, state);
            return;
        }
    }
    const int i = FindSlot(call);
    if (state == LINECALLSTATE_BUSY) {
        state = LINECALLSTATE_DISCONNECTED;
        detail = LINEDISCONNECTMODE_BUSY;
    } else if (state == LINECALLSTATE_SPECIALINFO) {
        state = LINECALLSTATE_DISCONNECTED;
        detail = LINEDISCONNECTMODE_UNREACHABLE;
    }
    switch (state) {
        case LINECALLSTATE_IDLE: {
            Tapi().lineDeallocateCall(call);
            // Only now is the call's own line closed: closing it earlier
            // would have lost the call's events.
            HLINE line = i >= 0 ? Slot(i).ownLine : 0;
            if (requestCall) {
                line = r.line;
                if (r.promptOpen)
                    View().closeDialingPrompt();
                ResetRequest();
            }
            if (line != 0)
                Tapi().lineClose(line);
            if (i >= 0) {
                if (i == w.dialingSlot)
                    ClearInProgress();
                RemoveSlot(i);
            }
            break;
        }
        case LINECALLSTATE_OFFERING:
            if (i >= 0)
                Relabel(i, LINECALLSTATE_OFFERING);
            break;
        case LINECALLSTATE_DIALING:
        case LINECALLSTATE_RINGBACK:
        case LINECALLSTATE_PROCEEDING:
            if (w.dialingSlot >= 0 && (i < 0 || i == w.dialingSlot)) {
                Slot(w.dialingSlot).call = call;
                SetState(w.dialingSlot, LINECALLSTATE_PROCEEDING);
                RefreshSlotParty(w.dialingSlot, 0, true);
            }
            break;
        case LINECALLSTATE_DISCONNECTED: {
            constexpr DWORD kShown = LINEDISCONNECTMODE_NORMAL | LINEDISCONNECTMODE_UNKNOWN |
                                     LINEDISCONNECTMODE_PICKUP | LINEDISCONNECTMODE_FORWARDED |
                                     LINEDISCONNECTMODE_UNAVAIL;
            if ((detail & kShown) == 0)
                break;
            int k = i;
            if (k >= 0) {
                if (Slot(k).state == LINECALLSTATE_PROCEEDING)
                    ClearInProgress();
            } else {
                k = FirstSlotInState(LINECALLSTATE_PROCEEDING);
                if (k >= 0)
                    Slot(k).call = call;
                ClearInProgress();
            }
            if (k >= 0)
                Relabel(k, LINECALLSTATE_DISCONNECTED);
            if (requestCall)
                HandOver(k);
            break;
        }
        case LINECALLSTATE_CONNECTED: {
            int k = i >= 0 ? i : FirstSlotInState(LINECALLSTATE_PROCEEDING);
            if (k < 0 && call != w.confCall) {
                k = FirstFreeSlot();
                if (k >= 0) {
                    Slot(k) = CallSlot{};
                    Slot(k).ownCall = true;
                }
            }
            if (k >= 0) {
                Slot(k).call = call;
                Relabel(k, LINECALLSTATE_CONNECTED);
                RefreshSlotParty(k, 0, true);
            }
            w.callInProgress = false;
            if (requestCall)
                HandOver(k);
            break;
        }
        case LINECALLSTATE_ONHOLD:
        case LINECALLSTATE_CONFERENCED:
            if (i >= 0)
                Relabel(i, state);
            break;
        default:
            break;
    }
}

void MainLineState(HCALL call, DWORD state) {
    CallWindow& w = g_calls;
    int i = FindSlot(call);
    switch (state) {
        case LINECALLSTATE_IDLE:
            Tapi().lineDeallocateCall(call);
            if (call == w.confCall)
                w.confCall = 0;
            if (i >= 0)
                RemoveSlot(i);
            return;
        case LINECALLSTATE_OFFERING:
        case LINECALLSTATE_ACCEPTED:
            if (i >= 0) {
                const DWORD now = Slot(i).state;
                SetState(i, now == LINECALLSTATE_ONHOLD || now == REOFFERING ? REOFFERING
                                                                             : LINECALLSTATE_OFFERING);
                ShowRow(i, LINECALLSTATE_OFFERING);
                break;
            }
            i = FirstFreeSlot();
            if (i < 0)
                return;  // a ninth call is not shown
            Slot(i) = CallSlot{};
            Slot(i).call = call;
            Slot(i).incoming = true;
            SetState(i, LINECALLSTATE_OFFERING);
            RefreshSlotParty(i, 0, false);
            ShowRow(i, LINECALLSTATE_OFFERING);
            if (RowInState({LINECALLSTATE_PROCEEDING}) < 0)
                Select(RowOf(i));
            break;
        case LINECALLSTATE_RINGBACK:
        case LINECALLSTATE_PROCEEDING:
            if (i >= 0)
                break;
            i = FirstFreeSlot();
            if (i < 0)
                return;
            Slot(i) = CallSlot{};
            Slot(i).call = call;
            SetState(i, LINECALLSTATE_PROCEEDING);
            w.callInProgress = true;
            RefreshSlotParty(i, 0, false);
            ShowRow(i, LINECALLSTATE_PROCEEDING);
            break;
        case LINECALLSTATE_CONNECTED:
            if (i < 0 && call != w.confCall) {
                i = FirstFreeSlot();
                if (i >= 0) {
                    Slot(i) = CallSlot{};
                    Slot(i).call = call;
                    Slot(i).ownCall = true;
                }
            }
            if (i >= 0) {
                Relabel(i, LINECALLSTATE_CONNECTED);
                RefreshSlotParty(i, 0, true);
            }
            w.callInProgress = false;
            break;
        case LINECALLSTATE_ONHOLD:
        case LINECALLSTATE_CONFERENCED:
            if (i >= 0)
                Relabel(i, state);
            break;
        case LINECALLSTATE_ONHOLDPENDCONF:
            w.confCall = call;
            [[fallthrough]];
        case LINECALLSTATE_DISCONNECTED:
            if (i >= 0) {
                if (Slot(i).state == LINECALLSTATE_PROCEEDING)
                    w.callInProgress = false;
                Relabel(i, LINECALLSTATE_DISCONNECTED);
            }
            break;
        default:
            break;
    }
    // A pickup's or unpark's call gets its row with its first state.
    if (i >= 0 && !IsFree(Slot(i)) && RowOf(i) < 0)
        ShowRow(i, Slot(i).state);
}

// ---- completions

void PickupReply(LONG id, LONG result) {
    g_calls.callInProgress = false;
    int i = -1;
    for (int k = 0; k < MAX_CALL_SLOTS; ++k) {
        if (!IsFree(Slot(k)) && Slot(k).pendingRequest == id)
            i = k;
    }
    if (i >= 0)
        Slot(i).pendingRequest = 0;
    if (result >= 0)
        return;
    if (i >= 0 && result == E(LINEERR_OPERATIONFAILED)) {
        RemoveSlot(i);
    } else if (i >= 0) {
        ForgetSlot(i);
        UpdateButtons();
    }
    ShowReplyError(result);
}

void ForwardReply(LONG id, LONG result) {
    g_calls.callInProgress = false;
    for (int k = 0; k < MAX_CALL_SLOTS; ++k) {
        if (!IsFree(Slot(k)) && Slot(k).pendingRequest == id)
            ForgetSlot(k);
    }
    if (result < 0) {
        ShowReplyError(result);
        ShowForwardState();
    }
}

void MakeCallReply(LONG result) {
    DialRequest& r = g_request;
    const int i = r.slot;
    r.pendingRequest = 0;
    if (i >= 0)
        Slot(i).pendingRequest = 0;
    if (result >= 0) {
        // The call exists from now on: a drop asked meanwhile is done.
        if (r.state == DialState::DropAsked) {
            r.state = DialState::Placing;
            DropRequestCall();
        } else if (r.continueAtReply) {
            r.continueAtReply = false;
            ContinueDialing();
        }
        return;
    }
    // No call exists: nothing will ever end the row, so it goes now.
    if (result != E(LINEERR_OPERATIONFAILED) && !r.forOtherProgram)
        ShowReplyError(result);
    PlaceCallFailed(result, false);
}

}  // namespace

CallWindow& Calls() {
    return g_calls;
}

DialRequest& Request() {
    return g_request;
}

void ClearCalls() {
    RedialList redial = std::move(g_calls.redial);
    g_calls = CallWindow{};
    g_calls.redial = std::move(redial);
    for (CallSlot& s : g_calls.slots)
        s.call = 0xFFFFFFFF;
    ResetRequest();
}

DWORD_PTR RequestInstance() {
    return reinterpret_cast<DWORD_PTR>(&g_request);
}

bool OwnCallActive() {
    if (g_request.state != DialState::None)
        return true;
    return std::any_of(g_calls.slots.begin(), g_calls.slots.end(),
                       [](const CallSlot& s) { return !IsFree(s) && s.ownLine != 0; });
}

// ---- pure parts

std::string_view StateLabel(DWORD state) {
    switch (state) {
        case LINECALLSTATE_OFFERING:
            return "- Offering -";
        case LINECALLSTATE_PROCEEDING:
        case LINECALLSTATE_DIALING:
        case LINECALLSTATE_RINGBACK:
            return "- Proceeding -";
        case LINECALLSTATE_CONNECTED:
            return "- Connected -";
        case LINECALLSTATE_CONFERENCED:
            return "- Conferenced -";
        case LINECALLSTATE_ONHOLD:
            return "- OnHold -";
        case LINECALLSTATE_DISCONNECTED:
            return "- Disconnected -";
        default:
            return "- Reoffering -";
    }
}

std::string RowText(std::string_view name, std::string_view number, std::string_view label,
                    const std::function<int(std::string_view)>& width, int columnWidth) {
    std::string party(!name.empty() ? name : !number.empty() ? number : std::string_view("Unknown"));
    if (columnWidth > 0 && width && width(" " + party) > columnWidth) {
        while (!party.empty() && width(" " + party + "...") > columnWidth)
            party.pop_back();
        party += "...";
    }
    return " " + party + "\t" + std::string(label);
}

std::span<const int> ManagedControls() {
    return kManaged;
}

std::vector<int> EnabledControls(const ButtonInputs& in) {
    std::vector<int> on;
    const DWORD af = in.addressFeatures;
    const DWORD cf = in.selected ? in.callFeatures : 0;
    const bool number = in.numberLength > 0;
    const bool makeCall = (af & LINEADDRFEATURE_MAKECALL) != 0;
    auto add = [&](bool when, std::initializer_list<int> ids) {
        if (when)
            on.insert(on.end(), ids);
    };
    add(number && makeCall, {ID_DIAL});
    add(makeCall, {ID_NUMBER});
    for (int id = ID_KEYPAD_FIRST; makeCall && id <= ID_SPEED_LAST; ++id)
        on.push_back(id);
    add(number && (af & LINEADDRFEATURE_UNPARK) != 0, {ID_UNPARK});
    add(number && (af & (LINEADDRFEATURE_PICKUP | LINEADDRFEATURE_PICKUPGROUP)) != 0, {ID_PICKUP});
    add(number && (cf & LINECALLFEATURE_REDIRECT) != 0, {ID_REDIRECT});
    add((cf & LINECALLFEATURE_UNHOLD) != 0, {ID_UNHOLD});
    add((cf & LINECALLFEATURE_COMPLETETRANSF) != 0, {ID_TRANSFER, ID_CONF});
    add((cf & LINECALLFEATURE_COMPLETECALL) != 0, {ID_RECALL, ID_INTRUSION});
    add((cf & LINECALLFEATURE_PARK) != 0, {ID_PARK});
    add((cf & LINECALLFEATURE_HOLD) != 0, {ID_HOLD});
    add((cf & LINECALLFEATURE_GENERATEDIGITS) != 0, {ID_DTMF});
    add((cf & LINECALLFEATURE_DROP) != 0, {ID_DROP});
    add((cf & LINECALLFEATURE_ANSWER) != 0, {ID_ANSWER});
    std::sort(on.begin(), on.end());
    return on;
}

std::string LettersToDigits(std::string_view number) {
    std::string out(number);
    for (auto it = out.rbegin(); it != out.rend(); ++it) {
        const char c = *it;
        const char lower = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
        if (lower == 'q')
            *it = '7';
        else if (lower == 'z')
            *it = '9';
        else if (lower >= 'a' && lower <= 'y')
            *it = static_cast<char>('2' + (lower - 'a' - (lower > 'q' ? 1 : 0)) / 3);
    }
    return out;
}

std::string MakeCanonical(std::string_view number, std::string_view areaCode) {
    if (number.size() > 70 || areaCode.empty())
        return {};
    const size_t first = number.find_first_not_of(' ');
    if (first == std::string_view::npos || number[first] == '+')
        return {};
    number = number.substr(first);
    std::vector<size_t> at;  // positions of the digits before a dial modifier
    for (size_t k = 0;
         k < number.size() && std::string_view("$?@W").find(number[k]) == std::string_view::npos; ++k) {
        if (number[k] >= '0' && number[k] <= '9')
            at.push_back(k);
    }
    auto low = [&](size_t d) { return number[at[d]] == '0' || number[at[d]] == '1'; };
    auto digits = [&](size_t from) {
        return std::string{number[at[from]], number[at[from + 1]], number[at[from + 2]]};
    };
    auto canonical = [&](std::string_view area, size_t rest) {
        return "+1 (" + std::string(area) + ") " + std::string(number.substr(at[rest]));
    };
    switch (at.size()) {
        case 7:
            return low(0) ? std::string() : canonical(areaCode, 0);
        case 8:
            return low(0) && !low(1) ? canonical(areaCode, 1) : std::string();
        case 10:
            return !low(0) && !low(3) ? canonical(digits(0), 3) : std::string();
        case 11:
            return low(0) && !low(1) && !low(4) ? canonical(digits(1), 4) : std::string();
        default:
            return {};
    }
}

bool IsEmergencyNumber(std::string_view dialable) {
    std::string digits;
    for (const char c : dialable) {
        if (c >= '0' && c <= '9' && digits.size() < 3)
            digits += c;
    }
    return digits == "911";
}

std::optional<PromptSplit> SplitAtModifier(std::string_view number, LONG result) {
    std::string_view modifiers;
    std::string_view prompt;
    switch (static_cast<DWORD>(result)) {
        case LINEERR_DIALBILLING:
            modifiers = "$";
            prompt = kPromptBilling;
            break;
        case LINEERR_DIALDIALTONE:
            modifiers = "Ww";
            prompt = kPromptDialTone;
            break;
        case LINEERR_DIALQUIET:
            modifiers = "@";
            prompt = kPromptQuiet;
            break;
        case LINEERR_DIALPROMPT:
            modifiers = "?";
            prompt = kPromptPause;
            break;
        default:
            return std::nullopt;
    }
    const size_t at = number.find_first_of(modifiers);
    if (at == std::string_view::npos)
        return std::nullopt;
    return PromptSplit{std::string(number.substr(0, at)) + ";", std::string(number.substr(at + 1)), prompt};
}

char KeypadChar(int id) {
    constexpr char kKeys[] = "1234567890*#";
    return id >= ID_KEYPAD_FIRST && id <= ID_KEYPAD_LAST ? kKeys[id - ID_KEYPAD_FIRST] : '\0';
}

KeypadResult KeypadInsert(std::string_view text, size_t selStart, size_t selEnd, char key) {
    const size_t from = std::min({selStart, selEnd, text.size()});
    const size_t to = std::min(std::max(selStart, selEnd), text.size());
    std::string out = std::string(text.substr(0, from)) + key + std::string(text.substr(to));
    if (out.size() > kMaxNumberChars)
        return {std::string(text), to};
    return {out, from + 1};
}

std::pair<std::string, std::string> MessageWaitingTexts(std::span<const uint8_t> buffer) {
    auto word = [&](size_t at) {
        int32_t v = 0;
        if (at + sizeof v <= buffer.size())
            std::memcpy(&v, buffer.data() + at, sizeof v);
        return v;
    };
    auto text = [&](const char* label, size_t kindAt) {
        const int32_t value = word(kindAt + 4);
        if (word(kindAt) == 2)
            return std::string(label) + std::to_string(value);
        return std::string(label) + (value != 0 ? "Yes" : "No");
    };
    return {text("Voice: ", 20), text("Text: ", 28)};
}

bool ForwardButtonEnabled(std::string_view type, std::string_view destination) {
    if (type == kForwardTypes[2] || type == kForwardTypes[3])
        return true;
    return (type == kForwardTypes[0] || type == kForwardTypes[1]) && !destination.empty();
}

std::vector<uint8_t> BuildForwardList(std::string_view type, std::string_view destination) {
    const auto known = std::find_if(std::begin(kForwardTypes), std::end(kForwardTypes),
                                    [&](const char* t) { return type == t; });
    if (known == std::end(kForwardTypes))
        return {};
    FixedText<80> dest;
    if (type == kForwardTypes[0] || type == kForwardTypes[1])
        dest.set(destination);
    const size_t destSize = dest.empty() ? 0 : dest.view().size() + 1;
    std::vector<uint8_t> list(sizeof(LINEFORWARDLIST) + destSize, 0);
    LINEFORWARDLIST fl{};
    fl.dwTotalSize = static_cast<DWORD>(list.size());
    fl.dwNumEntries = type == kForwardTypes[3] ? 0 : 1;
    fl.ForwardList[0].dwForwardMode =
        type == kForwardTypes[1] ? LINEFORWARDMODE_BUSY : LINEFORWARDMODE_UNCOND;
    if (destSize != 0) {
        fl.ForwardList[0].dwDestAddressSize = static_cast<DWORD>(destSize);
        fl.ForwardList[0].dwDestAddressOffset = sizeof(LINEFORWARDLIST);
        std::memcpy(list.data() + sizeof(LINEFORWARDLIST), dest.c.data(), destSize);
    }
    std::memcpy(list.data(), &fl, sizeof fl);
    return list;
}

// ---- operations

void UpdateButtons() {
    const std::optional<DWORD> features = CurrentAddressFeatures();
    if (!features)
        return;
    ButtonInputs in;
    in.addressFeatures = *features;
    if (const int i = SelectedSlot(); i >= 0) {
        TapiBuffer status;
        if (FetchTapiStruct(status, kCallStatusFirst, [&](void* p) {
                return Tapi().lineGetCallStatus(Slot(i).call, static_cast<LINECALLSTATUS*>(p));
            }) != 0)
            return;
        in.selected = true;
        in.callFeatures = HeaderOf<LINECALLSTATUS>(status).dwCallFeatures;
    }
    in.numberLength = View().controlText(ID_NUMBER).size();
    const std::vector<int> on = EnabledControls(in);
    for (const int id : kManaged)
        View().enableControl(id, std::binary_search(on.begin(), on.end(), id));
    ShowMiniMessage();
}

bool MakeCallAllowed() {
    const std::optional<DWORD> features = CurrentAddressFeatures();
    return features && (*features & LINEADDRFEATURE_MAKECALL) != 0;
}

bool StartDial(std::string_view number, std::string_view name, std::string_view message) {
    CallWindow& w = g_calls;
    if (number.empty() || RefuseWhileProceeding())
        return false;
    const int i = TakeFreeSlot();
    if (i < 0)
        return false;
    CallSlot& s = Slot(i);
    s = CallSlot{};
    s.number.set(number);
    s.callbackNumber.set(number);
    s.ownCall = true;
    SetState(i, LINECALLSTATE_PROCEEDING);
    w.callInProgress = true;
    w.dialingSlot = i;
    ShowRow(i, LINECALLSTATE_PROCEEDING);
    Select(RowOf(i));
    UpdateButtons();
    RedialPutOnTop(w.redial, s.number.view());
    View().showRedialList(w.redial);
    const TelephonyState& t = Telephony();
    return PlaceCall(s.number.str(), name, message, t.currentLine, t.currentAddress, i, nullptr);
}

bool PlaceCall(std::string_view number, std::string_view name, std::string_view message, int lineIndex,
               DWORD address, int slot, const AssistedRequest* assisted) {
    DialRequest& r = g_request;
    ResetRequest();
    r.number.number.set(number);
    r.lineIndex = lineIndex;
    r.address = address;
    r.slot = slot;
    if (assisted != nullptr) {
        r.forOtherProgram = true;
        r.requester = assisted->window;
        r.requestId = assisted->requestId;
        r.secure = assisted->secure;
    }
    const LineEntry* e = LineAt(lineIndex);
    HLINE line = 0;
    LONG result = e == nullptr
                      ? E(LINEERR_BADDEVICEID)
                      : Tapi().lineOpenA(Telephony().app, static_cast<DWORD>(lineIndex), &line, e->apiVersion,
                                         0, RequestInstance(), LINECALLPRIVILEGE_OWNER,
                                         LINEMEDIAMODE_INTERACTIVEVOICE, nullptr);
    if (result != 0)
        return PlaceCallFailed(result, true);
    r.line = line;
    r.state = DialState::Placing;
    r.callState = LINECALLSTATE_UNKNOWN;
    if (slot >= 0)
        Slot(slot).linked = true;
    BuildCallParams(name, message);
    if (r.translate) {
        result = TranslateNumber(r.number, lineIndex, r.forOtherProgram);
        if (result != 0)
            return PlaceCallFailed(result, false, TAPIERR_INVALDESTADDRESS);
    }
    result = DialWithPrompts();
    if (result < 0)
        return PlaceCallFailed(result, true);
    r.pendingRequest = result;
    if (slot >= 0)
        Slot(slot).pendingRequest = result;
    return true;
}

LONG TranslateNumber(Translation& t, int lineIndex, bool quiet) {
    const TelephonyState& tel = Telephony();
    const LineEntry* e = LineAt(lineIndex);
    const DWORD version = e != nullptr ? e->apiVersion : kApiVersion;
    t.typed.set(t.number.view());
    TranslateCapsInfo caps;
    const LocationInfo* location = ReadTranslateCaps(version, caps) == 0 ? CurrentLocation(caps) : nullptr;
    const bool northAmerica = location != nullptr && location->countryCode == 1;
    std::string number = t.number.str();
    if (northAmerica) {
        number = LettersToDigits(number);
        if (tel.translationAvailable) {
            if (const std::string canonical = MakeCanonical(number, tel.areaCode.view());
                !canonical.empty()) {
                number = canonical;
                t.canonical.set(canonical);
            }
        }
    }
    t.number.set(number);
    if (!tel.translationAvailable)
        return 0;
    TapiBuffer out;
    const LONG r = FetchTapiStruct(out, kTranslateOutputFirst, [&](void* p) {
        return Tapi().lineTranslateAddress(tel.app, static_cast<DWORD>(std::max(lineIndex, 0)), version,
                                           number.c_str(), tel.cardId, LINETRANSLATEOPTION_CARDOVERRIDE,
                                           static_cast<LINETRANSLATEOUTPUT*>(p));
    });
    if (r != 0) {
        t.number.set(t.typed.view());
        if (!quiet)
            ShowError(r);
        return r;
    }
    const auto to = HeaderOf<LINETRANSLATEOUTPUT>(out);
    t.number.set(TextAt(out, to.dwDialableStringSize, to.dwDialableStringOffset, 79));
    t.displayable.set(TextAt(out, to.dwDisplayableStringSize, to.dwDisplayableStringOffset, 79));
    t.results = to.dwTranslateResults;
    if (northAmerica && IsEmergencyNumber(t.number.view()) &&
        View().messageBox(kEmergencyText, kWarningCaption, kMbOkCancel | kMbDefButton2 | kMbIconHand) !=
            kIdOk) {
        t.number.set(t.typed.view());
        return kTranslateCancelled;
    }
    return 0;
}

LONG DialWithPrompts() {
    g_request.promptOpen = false;
    g_request.promptRest.clear();
    return SendDigits(g_request.number.number.view(), true);
}

void DialingPromptAnswer(PromptAnswer answer) {
    DialRequest& r = g_request;
    if (!r.promptOpen)
        return;
    r.promptOpen = false;
    if (answer != PromptAnswer::Continue)
        DropRequestCall();
    else if (r.state == DialState::Placing && r.pendingRequest != 0)
        r.continueAtReply = true;  // lineDialA needs the call's handle
    else if (r.state == DialState::Placing)
        ContinueDialing();
}

void RefreshCallParty(HCALL call, DWORD infoStates) {
    if (const int i = FindSlot(call); i >= 0)
        RefreshSlotParty(i, infoStates, true);
}

void OnCallState(HCALL call, DWORD_PTR instance, DWORD state, DWORD detail, DWORD /*privilege*/) {
    if (instance != 0)
        OwnLineState(call, state, detail);
    else
        MainLineState(call, state);
    UpdateButtons();
}

void OnReply(LONG requestId, LONG result) {
    TelephonyState& t = Telephony();
    t.replyPending = false;
    View().hourglass(false);
    for (int j = 0; requestId != 0 && j < t.lineCount; ++j) {
        LineEntry& e = t.lines[static_cast<size_t>(j)];
        if (requestId == e.devSpecificRequest) {
            e.devSpecificRequest = 0;
            if (result == 0)
                ShowMessageWaiting(e);
            return;
        }
        for (LONG* id : {&e.parkRequest, &e.intrudeRequest, &e.callbackRequest, &e.redirectRequest}) {
            if (*id == requestId) {
                *id = 0;
                if (result < 0)
                    ShowReplyError(result);
                return;
            }
        }
        for (LONG* id : {&e.pickupRequest, &e.unparkRequest}) {
            if (*id == requestId) {
                *id = 0;
                PickupReply(requestId, result);
                return;
            }
        }
        if (requestId == e.forwardRequest) {
            e.forwardRequest = 0;
            ForwardReply(requestId, result);
            return;
        }
    }
    if (requestId != 0 && g_request.state != DialState::None && requestId == g_request.pendingRequest) {
        MakeCallReply(result);
        return;
    }
    if (result < 0)
        ShowReplyError(result);
}

void OnDropRequest(HWND window, WPARAM requestId) {
    DialRequest& r = g_request;
    if (r.forOtherProgram && r.state == DialState::Placing && r.requester == window &&
        r.requestId == requestId) {
        if (r.call == 0 || r.pendingRequest != 0) {
            r.state = DialState::DropAsked;
            return;
        }
        if (Tapi().lineDrop(r.call, nullptr, 0) >= 0) {
            r.state = DialState::DropIssued;
            return;
        }
    }
    View().postTapiReply(window, requestId, TAPIERR_REQUESTFAILED);
}

void ForgetCalls() {
    for (int i = 0; i < MAX_CALL_SLOTS; ++i) {
        if (!IsFree(Slot(i)))
            RemoveSlot(i);
    }
    if (g_request.promptOpen)
        View().closeDialingPrompt();
    if (g_calls.dtmfCall != 0)
        View().closeDtmf();
    ResetRequest();
    LeaveConference();
    g_calls.callInProgress = false;
    g_calls.dialingSlot = -1;
    g_calls.confCall = 0;
    g_calls.dtmfCall = 0;
}

void ShowMessageWaiting(const LineEntry& line) {
    const auto [voice, text] = MessageWaitingTexts(line.devSpecific);
    View().setControlText(ID_VOICE_COUNT, voice);
    View().setControlText(ID_TEXT_COUNT, text);
}

void ShowForwardState() {
    const LineEntry* e = CurrentLine();
    if (e == nullptr)
        return;
    std::string_view type = kForwardTypes[3];
    if (e->forwardMode == LINEFORWARDMODE_UNCOND)
        type = kForwardTypes[0];
    else if (e->forwardMode == LINEFORWARDMODE_BUSY)
        type = kForwardTypes[1];
    else if (e->forwardMode == LINEFORWARDMODE_UNAVAIL)
        type = kForwardTypes[2];
    View().setControlText(ID_FORWARD_TYPE, type);
    View().setControlText(ID_FORWARD_DEST, e->forwardDest.view());
    View().enableControl(ID_FORWARD, ForwardButtonEnabled(type, e->forwardDest.view()));
}

// ---- the user's commands

void OnDialButton() {
    StartDial(View().controlText(ID_NUMBER), "", View().controlText(ID_MESSAGE));
}

void OnSelectRow(int row) {
    g_calls.selected = row >= 0 && row < g_calls.rows ? row : -1;
    UpdateButtons();
}

void OnAnswer() {
    if (const int i = SelectedSlot(); i >= 0) {
        BeginRequest();
        Started(Tapi().lineAnswer(Slot(i).call, nullptr, 0));
    }
}

void OnHold() {
    if (const int i = SelectedSlot(); i >= 0) {
        BeginRequest();
        Started(Tapi().lineHold(Slot(i).call));
    }
}

void OnUnhold() {
    if (const int i = SelectedSlot(); i >= 0) {
        BeginRequest();
        Started(Tapi().lineUnhold(Slot(i).call));
    }
}

void OnDrop() {
    const int i = SelectedSlot();
    if (i < 0)
        return;
    CallSlot& s = Slot(i);
    if (s.state != LINECALLSTATE_PROCEEDING) {
        BeginRequest();
        Started(Tapi().lineDrop(s.call, nullptr, 0));
        return;
    }
    // A call still being set up: no hourglass, and a new call may start.
    if (g_request.state != DialState::None && g_request.slot == i)
        DropRequestCall();
    else if (s.call != 0 && s.call != 0xFFFFFFFF)
        Tapi().lineDrop(s.call, nullptr, 0);
    ClearInProgress();
}

void OnIntrusion() {
    CompleteCall(LINECALLCOMPLMODE_INTRUDE, &LineEntry::intrudeRequest);
}

void OnRecall() {
    CompleteCall(LINECALLCOMPLMODE_CALLBACK, &LineEntry::callbackRequest);
}

void OnPark() {
    const int i = SelectedSlot();
    LineEntry* e = CurrentLine();
    if (i < 0 || e == nullptr || Slot(i).state != LINECALLSTATE_CONNECTED)
        return;
    VARSTRING vs{};
    vs.dwTotalSize = kParkAddressSize;
    vs.dwStringFormat = STRINGFORMAT_ASCII;
    vs.dwStringSize = kParkAddressSize - sizeof(VARSTRING);
    vs.dwStringOffset = sizeof(VARSTRING);
    e->parkAddress.fill(0);
    std::memcpy(e->parkAddress.data(), &vs, sizeof vs);
    BeginRequest();
    const LONG r = Tapi().lineParkA(Slot(i).call, LINEPARKMODE_NONDIRECTED, nullptr,
                                    reinterpret_cast<VARSTRING*>(e->parkAddress.data()));
    if (Started(r))
        e->parkRequest = r;
}

void OnTransfer() {
    TransferOrConference(false);
}

void OnConference() {
    TransferOrConference(true);
}

void TransferChoiceAnswer(int index) {
    CallWindow& w = g_calls;
    if (!w.choiceOpen)
        return;
    w.choiceOpen = false;
    const int held = index >= 0 && static_cast<size_t>(index) < w.choiceHeld.size()
                         ? w.choiceHeld[static_cast<size_t>(index)]
                         : -1;
    const int consult = SlotOfRow(RowInState({LINECALLSTATE_CONNECTED}));
    if (held < 0 || consult < 0 || Slot(held).state != LINECALLSTATE_ONHOLD) {
        View().messageBox(kInvalidStateText, kInvalidStateCaption, kMbOk);
        return;
    }
    CompleteTransfer(held, consult, w.choiceConference);
}

void TransferChoiceClosed() {
    g_calls.choiceOpen = false;
}

void ConferenceCancelAll() {
    if (g_calls.confCall == 0)
        return;
    BeginRequest();
    Started(Tapi().lineDrop(g_calls.confCall, nullptr, 0));
}

void ConferenceDisconnect() {
    const int i = g_calls.confConnectedSlot;
    if (i < 0)
        return;
    BeginRequest();
    Started(Tapi().lineDrop(Slot(i).call, nullptr, 0));
}

void OnUnpark() {
    PickupOrUnpark(false);
}

void OnPickup() {
    PickupOrUnpark(true);
}

void OnRedirect() {
    const int i = SelectedSlot();
    LineEntry* e = CurrentLine();
    if (i < 0 || e == nullptr)
        return;
    Translation t;
    t.number.set(View().controlText(ID_NUMBER));
    if (TranslateNumber(t, Telephony().currentLine, false) != 0)
        return;
    BeginRequest();
    const LONG r = Tapi().lineRedirectA(Slot(i).call, t.number.str().c_str(), 0);
    if (Started(r))
        e->redirectRequest = r;
}

void OnForward() {
    LineEntry* e = CurrentLine();
    if (e == nullptr || RefuseWhileProceeding())
        return;
    const int i = TakeFreeSlot();
    if (i < 0)
        return;
    const std::string type = View().controlText(ID_FORWARD_TYPE);
    std::string dest = View().controlText(ID_FORWARD_DEST);
    if (type != kForwardTypes[0] && type != kForwardTypes[1])
        dest.clear();
    if (!dest.empty()) {
        Translation t;
        t.number.set(dest);
        if (TranslateNumber(t, Telephony().currentLine, false) != 0)
            return;
        dest = t.number.str();
    }
    std::vector<uint8_t> list = BuildForwardList(type, dest);
    if (list.empty())
        return;
    CallSlot& s = Slot(i);
    s = CallSlot{};
    s.number.set(dest);
    SetState(i, LINECALLSTATE_PROCEEDING);
    g_calls.callInProgress = true;
    BeginRequest();
    const LONG r = Tapi().lineForwardA(e->line, 1, 0, reinterpret_cast<LINEFORWARDLIST*>(list.data()), 5,
                                       &g_calls.forwardConsult, nullptr);
    if (!Started(r)) {
        s = CallSlot{};
        g_calls.callInProgress = false;
        ShowForwardState();
        return;
    }
    s.pendingRequest = r;
    e->forwardRequest = r;
}

void OnForwardControlsChanged() {
    View().enableControl(ID_FORWARD, ForwardButtonEnabled(View().controlText(ID_FORWARD_TYPE),
                                                          View().controlText(ID_FORWARD_DEST)));
}

void OnDtmf() {
    if (const int i = SelectedSlot(); i >= 0) {
        g_calls.dtmfCall = Slot(i).call;
        View().showDtmf();
    }
}

void DtmfKey(char key) {
    if (std::string_view("0123456789*#").find(key) == std::string_view::npos || key == '\0')
        return;
    const char digits[2] = {key, '\0'};
    if (Tapi().lineGenerateDigitsA(g_calls.dtmfCall, LINEDIGITMODE_DTMF, digits, 0) != 0) {
        ShowWarning(kDtmfErrorText);
        return;
    }
    View().dtmfAppend(key);
    View().beep(0);
}

void DtmfQuit() {
    Tapi().lineGenerateDigitsA(g_calls.dtmfCall, LINEDIGITMODE_DTMF, "", 0);
    g_calls.dtmfCall = 0;
    View().closeDtmf();
}

}  // namespace zq::dialer
