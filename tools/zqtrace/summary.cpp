#include "summary.h"

#include <algorithm>
#include <array>

#include "zq/tapi.h"
#include "zq/tapi_words.h"

namespace zq::trace {

namespace {

enum class Rule {
    // The link.
    PortOpening,
    PortFailed,
    PortOpened,
    PortReopened,
    AdapterVersion,
    LinkLost,
    HardwareBox,
    AdapterRestarted,
    PortBlocked,
    LineOpened,
    LineClosed,
    Shutdown,
    Nack,
    BadChecksum,
    Flush,
    Resync,
    Abort,
    // The configuration download.
    AssocAck,
    PbxAnswer,
    Mcdu,
    DownloadDone,
    NoAssocAck,
    NoConfig,
    NotQr7,
    NotMultiline,
    NoTraceMode,
    DownloadNote,
    // What TAPI is told.
    LineEvent,
    EventSent,
    EventNotSent,
    NewCall,
    NewConference,
    SetupRunning,
    // TAPI's requests.
    AppCall,
    TwoRequests,
    NoWorker,
    NoWorkerTransfer,
    Negative,
    Completion,
    SetupAsked,
    SetupAccepted,
    CompleteTransferAsked,
    TransferAccepted,
    ConferenceAccepted,
    // The parties: what TAPI got with the call information, what the PBX
    // told for a key.
    InfoAsked,
    InfoAskedConference,
    CallerNumber,
    CallerName,
    CalledNumber,
    CalledName,
    ConnectedNumber,
    ConnectedName,
    PbxCaller,
    PbxCalled,
    PbxDialled,
    PbxConnected,
    OperatorPrefix,
    KeyThenCref,
    CrefThenKey,
};

struct RuleText {
    std::string_view format;
    Rule rule;
    std::string_view words = {};
};

// The provider's trace texts this summary reads, exactly as it writes them.
constexpr std::array kRules{
    RuleText{"SerialOpenComms (%s,%s)", Rule::PortOpening},
    RuleText{"***Comm port failed to open", Rule::PortFailed},
    RuleText{"* After_L2_timeout = %d *", Rule::PortOpened},
    RuleText{"After_L2_timeout = %d", Rule::PortReopened},
    RuleText{"* Subdevice Vex/pc %d.%.02d *", Rule::AdapterVersion},
    RuleText{"Perte de connexion - Tentative de redemarrage", Rule::LinkLost},
    RuleText{"V24 trouble hinst %lx", Rule::HardwareBox},
    RuleText{"Çontact rompu avec le subdevice -> Redemarrage", Rule::AdapterRestarted},
    RuleText{"Serial Port blocked - new opening of %s", Rule::PortBlocked},
    RuleText{"TSPI_lineOpen(%lx,%lx,%lx,%lx,%lx)", Rule::LineOpened},
    RuleText{"Entering TSPI_lineClose(%lx)", Rule::LineClosed},
    RuleText{"Entering TSPI_providerShutdown(%lx %lx)", Rule::Shutdown},
    RuleText{"RX: Wrong length (NACK)", Rule::Nack},
    RuleText{"RX: Wrong CheckSum (NACK)\n", Rule::Nack},
    RuleText{"RX: Physical loss of synchro (NACK)\n", Rule::Nack},
    RuleText{"Process input - CS: Wrong CS Nack cs: %d, msglen: %d", Rule::BadChecksum},
    RuleText{"Inactivity - flush rx queue", Rule::Flush},
    RuleText{"Deux msgs type 60.8x détectés - dernier msg incomplet - Tempo atteinte !!!", Rule::Resync},
    RuleText{"Deux msgs type 60.8x détectés dans la trame !!!", Rule::Resync},
    RuleText{"RX: ABORT - ResetCommPort(3)", Rule::Abort},

    RuleText{"TAPI_TQLA MSG: DEVICE_ASSOC_ACK (TAPI_TQLA_Ver %d)", Rule::AssocAck},
    RuleText{"TAPI_TQLA MSG: %s", Rule::PbxAnswer},
    RuleText{"Language: %d - mcdu:%s lg_mcdu %d", Rule::Mcdu},
    RuleText{" Set Configuration processed - OK ******************", Rule::DownloadDone},
    RuleText{"Config dynamic not received: WaitConfigCount %ld LIMIT %d Cas 1", Rule::NoAssocAck},
    RuleText{"Config dynamic not received: WaitConfigCount %ld LIMIT %d Cas 2", Rule::NoConfig},
    RuleText{"MessageBox Poste non QR7", Rule::NotQr7},
    RuleText{"MessageBox Poste MONO", Rule::NotMultiline},
    RuleText{"TIMEOUT Bad VEX/PC No Trace mode: WaitTrace %d limit %d", Rule::NoTraceMode},
    RuleText{"Recup conf Dynamique - Poste non QR7 (ZQ 3861)", Rule::DownloadNote,
             "the set is not a QR7 set"},
    RuleText{"Recup conf Dynamique - Poste non Multiligne", Rule::DownloadNote,
             "the set has no multiline key"},
    RuleText{"NEW MCDU '%s' old '%s' ", Rule::DownloadNote, "the set's number changed"},
    RuleText{"Sk sauvegardé ini - diff", Rule::DownloadNote, "soft keys saved"},
    RuleText{"String sauvegardé ini - diff", Rule::DownloadNote, "display strings saved"},
    RuleText{" Sauvegarde codes dans fic ini", Rule::DownloadNote, "service codes saved"},
    RuleText{"TAPI_TQLA answer %d seq %d repeated - ignored", Rule::DownloadNote, "an answer came twice"},

    RuleText{"LinEv cref=%d, ev:%0lx,val%0lx,mod=%0lx", Rule::LineEvent},
    RuleText{"LineEvent send", Rule::EventSent},
    RuleText{"LinEv cref=%d impossible - non transmis", Rule::EventNotSent},
    RuleText{"LinEv cref=%d closed by TAPI - non transmis", Rule::EventNotSent},
    RuleText{"DoLineEventNewCall send cref:%d", Rule::NewCall},
    RuleText{"DoLineEventNewConf send", Rule::NewConference},
    RuleText{"SetupTransfer Running ReqId %ld cref %04x consultcref %04x", Rule::SetupRunning},

    RuleText{"appCall cref %lx msg %d reqId %lx", Rule::AppCall},
    RuleText{"can't do two async requests at the same time!", Rule::TwoRequests},
    RuleText{"appCall - Companion app has not yet been registered - Start it", Rule::NoWorker},
    RuleText{"appCallTransfer - Companion app has not yet been registered - Start it",
             Rule::NoWorkerTransfer},
    RuleText{"send message to companion thread result negative: %lx - msg:%x", Rule::Negative},
    RuleText{"SendCompletion:%lx, res:%lx", Rule::Completion},
    RuleText{"Entering TSPI_lineSetupTransfer(%lx,%lx,%lx)", Rule::SetupAsked},
    RuleText{"Setup Transfer call cref %04x consultcref %04x", Rule::SetupAccepted},
    RuleText{"CompleteTransfer ref:%04x  consultref:%04x Mode %lx", Rule::CompleteTransferAsked},
    RuleText{"Transfer call", Rule::TransferAccepted},
    RuleText{"Conference", Rule::ConferenceAccepted},

    RuleText{"Entering TSPI_lineGetCallInfo cref:%d hdCall:%ld", Rule::InfoAsked},
    RuleText{"Entering TSPI_lineGetCallInfo cref:CONFREF ", Rule::InfoAskedConference},
    RuleText{"v2 CallerAdd:'%s' lg %d", Rule::CallerNumber},
    RuleText{"v2 CallerName:'%s' lg %d ", Rule::CallerName},
    RuleText{"v2 CalledAdd:'%s' lg %d", Rule::CalledNumber},
    RuleText{"v2 CalledName:'%s' lg %d ", Rule::CalledName},
    RuleText{"v2 ConnectedAddress:'%s' lg %d", Rule::ConnectedNumber},
    RuleText{"v2 ConnectedName:'%s' lg %d", Rule::ConnectedName},
    RuleText{"copie connected addr '%s'", Rule::ConnectedNumber},
    RuleText{"copie connected name '%s'", Rule::ConnectedName},
    RuleText{"ICI tou:%d CallerAdd '%s' Org %d lg %d CallerName '%s' lg %d", Rule::PbxCaller},
    RuleText{"ICI tou:%d CalledAdd '%s' Org %d lg %d CalledName '%s' lg %d", Rule::PbxCalled},
    RuleText{"OCI tou:%d Reason %d CalledAdd '%s' Org %d withoutpfx %d lg %d CalledName '%s' lg %d",
             Rule::PbxDialled},
    RuleText{"CCI tou:%d Reason %d ConnectedAdd '%s' Org %d lg %d ConnectedName '%s' lg %d",
             Rule::PbxConnected},
    RuleText{"%s EXT jonct entrant: rajout prefix operateur '%s'", Rule::OperatorPrefix},
    RuleText{"ICI tou:%d cref %04x Reason 0x%x TAPI_Reason 0x%lx ", Rule::KeyThenCref},
    RuleText{"NewCall tou:%d RINGBACK cref:%04x", Rule::KeyThenCref},
    RuleText{"OCI cref %04x proceeding trouve sur tou %d", Rule::CrefThenKey},
    RuleText{"OCI cref %04x Dialtone => Proceeding sur tou %d", Rule::CrefThenKey},
    RuleText{"CCI cref %04x connected trouve sur tou %d", Rule::CrefThenKey},
    RuleText{"CCI cref %04x Proceeding => Conv sur tou %d", Rule::CrefThenKey},
    RuleText{"CCI cref %04x Onhold => Conv sur tou %d", Rule::CrefThenKey},
    RuleText{"CCI cref %04x Disconnected => Conv sur tou %d", Rule::CrefThenKey},
    RuleText{"Evt_Transfered_Call cref %04x Connected trouve sur tou %d", Rule::CrefThenKey},
    RuleText{"Evt_Transfered_Call cref %04x Offering trouve sur tou %d", Rule::CrefThenKey},
};

// The provider's own call state for a call offered again; TAPI hears it as
// OFFERING.
constexpr uint32_t kCallStateReoffer = 0x10000;
constexpr uint32_t kSetupTransferCode = 19;
constexpr int32_t kConfRef = 30;

struct CodeName {
    uint32_t code;
    const char* name;
};

constexpr std::array kRequestNames{
    CodeName{1, "make call"},
    CodeName{2, "dial"},
    CodeName{3, "drop"},
    CodeName{5, "answer"},
    CodeName{6, "transfer"},
    CodeName{7, "blind transfer"},
    CodeName{8, "hold"},
    CodeName{9, "unhold"},
    CodeName{10, "generate digits"},
    CodeName{11, "conference"},
    CodeName{12, "forward"},
    CodeName{13, "cancel forwarding"},
    CodeName{15, "forward on busy"},
    CodeName{16, "forward on no answer"},
    CodeName{17, "forward on busy or no answer"},
    CodeName{18, "pickup"},
    CodeName{19, "setup transfer"},
    CodeName{20, "phone display"},
    CodeName{21, "phone button"},
};

const FormatIndex& RuleIndex() {
    static const FormatIndex index = [] {
        std::vector<std::string_view> formats;
        for (const RuleText& r : kRules)
            formats.push_back(r.format);
        return FormatIndex(formats);
    }();
    return index;
}

uint32_t Number(std::span<const Capture> a, size_t i) {
    return i < a.size() ? CaptureNumber(a[i]).value_or(0) : 0;
}

std::string Text(std::span<const Capture> a, size_t i) {
    return i < a.size() ? std::string(a[i].text) : std::string();
}

void Set(Party& party, const std::string& number, const std::string& name) {
    if (!number.empty())
        party.number = number;
    if (!name.empty())
        party.name = name;
}

}  // namespace

std::string RequestName(uint32_t code) {
    for (const CodeName& c : kRequestNames)
        if (c.code == code)
            return c.name;
    return "request " + std::to_string(code);
}

std::span<const std::string_view> SummaryFormats() {
    static const std::vector<std::string_view> formats = [] {
        std::vector<std::string_view> f;
        for (const RuleText& r : kRules)
            f.push_back(r.format);
        return f;
    }();
    return formats;
}

Summariser::Summariser() = default;

void Summariser::Add(const Line& line, const Stamp& stamp, const Classified& classified) {
    if (run_ != stamp.run) {
        if (run_)
            EndRun();
        run_ = stamp.run;
        if (level1_.size() <= stamp.run)
            level1_.resize(stamp.run + 1, false);
    }
    if (std::find(classified.levels.values.begin(),
                  classified.levels.values.begin() + classified.levels.count,
                  1u) != classified.levels.values.begin() + classified.levels.count)
        level1_[stamp.run] = true;
    const FormatIndex::Found found = RuleIndex().Find(line.message);
    if (found.entries.empty())
        return;
    Apply(found.entries.front(), found.captures,
          At{stamp.run, line.clock, stamp.wall, line.file, line.number});
}

Call& Summariser::OpenCall(int32_t cref, const At& at) {
    Call call;
    call.cref = cref;
    call.start = at;
    call.last = at;
    call.direction = cref == kConfRef ? "conference" : "";
    s_.calls.push_back(call);
    state_.openCalls[cref] = s_.calls.size() - 1;
    return s_.calls.back();
}

Call* Summariser::CallOf(int32_t cref) {
    if (const auto it = state_.openCalls.find(cref); it != state_.openCalls.end())
        return &s_.calls[it->second];
    // Information asked for after the end: the call that ended last.
    for (auto it = s_.calls.rbegin(); it != s_.calls.rend() && it->start.run == *run_; ++it)
        if (it->cref == cref)
            return &*it;
    return nullptr;
}

Download& Summariser::CurrentDownload(const At& at) {
    if (!state_.download) {
        s_.downloads.push_back(Download{at, std::nullopt, {}, std::nullopt, {}, {}, {}});
        state_.download = s_.downloads.size() - 1;
    }
    return s_.downloads[*state_.download];
}

void Summariser::Bind(uint32_t key, int32_t cref, const At& at) {
    const auto it = state_.keyParties.find(key);
    if (it == state_.keyParties.end())
        return;
    Call* call = CallOf(cref);
    if (call == nullptr)
        call = &OpenCall(cref, at);
    Set(call->caller, it->second.caller.number, it->second.caller.name);
    Set(call->called, it->second.called.number, it->second.called.name);
    Set(call->connected, it->second.connected.number, it->second.connected.name);
    state_.keyParties.erase(it);
}

void Summariser::LineEvent(const RunState::PendingEvent& e, const At& at) {
    uint32_t p1 = e.p1;
    if (e.msg == LINE_CALLSTATE && p1 == kCallStateReoffer)
        p1 = LINECALLSTATE_OFFERING;
    // The held call of a running setup transfer is reported so.
    if (e.msg == LINE_CALLSTATE && p1 == LINECALLSTATE_ONHOLD && state_.runningSetup &&
        state_.runningSetup->second == e.cref)
        p1 = LINECALLSTATE_ONHOLDPENDTRANSFER;
    const std::string words = words::LineEvent(e.cref, e.msg, p1, e.p2);
    s_.tapiEvents.push_back(words);
    if (e.cref == -1) {
        s_.link.push_back({at, "TAPI told: " + words});
        return;
    }
    const auto open = state_.openCalls.find(e.cref);
    Call& call = open != state_.openCalls.end() ? s_.calls[open->second] : OpenCall(e.cref, at);
    call.events.push_back(words);
    call.last = at;
    if (e.msg != LINE_CALLSTATE)
        return;
    if (call.direction.empty()) {
        if (p1 == LINECALLSTATE_OFFERING)
            call.direction = "incoming";
        else if ((p1 & (LINECALLSTATE_DIALTONE | LINECALLSTATE_DIALING | LINECALLSTATE_PROCEEDING |
                        LINECALLSTATE_RINGBACK)) != 0)
            call.direction = "outgoing";
    }
    if (p1 == LINECALLSTATE_IDLE) {
        call.ended = true;
        state_.openCalls.erase(e.cref);
    }
}

void Summariser::Apply(size_t index, std::span<const Capture> a, const At& at) {
    const RuleText& r = kRules[index];
    RunState& st = state_;
    const auto link = [&](std::string what) {
        if (s_.link.empty() || s_.link.back().what != what || s_.link.back().at.clock != at.clock)
            s_.link.push_back({at, std::move(what)});
    };
    const auto failDownload = [&](std::string result) {
        Download& d = CurrentDownload(at);
        d.result = std::move(result);
        d.end = at;
    };
    const auto newRequest = [&](uint32_t id, uint32_t code, int32_t cref) -> Request& {
        Request q;
        q.id = id;
        q.code = code;
        q.name = RequestName(code);
        q.cref = cref;
        q.at = at;
        s_.requests.push_back(q);
        return s_.requests.back();
    };
    const auto refuse = [&](std::optional<size_t> i, int32_t result) {
        if (i && s_.requests[*i].outcome == Request::Outcome::Outstanding) {
            s_.requests[*i].outcome = Request::Outcome::Refused;
            s_.requests[*i].result = result;
            s_.requests[*i].done = at;
        }
    };
    switch (r.rule) {
        case Rule::PortOpening:
            link("opening " + Text(a, 0) + " at " + Text(a, 1) + " baud");
            break;
        case Rule::PortFailed:
            link("the port failed to open");
            break;
        case Rule::PortOpened:
            // A worker's first opening starts the set configuration download.
            st.download.reset();
            CurrentDownload(at);
            link("port open");
            break;
        case Rule::PortReopened:
            link("port opened again");
            break;
        case Rule::AdapterVersion:
            link("adapter ready, version " + Text(a, 0) + "." + Text(a, 1));
            break;
        case Rule::LinkLost:
            ++s_.counts.losses;
            st.runningSetup.reset();
            link("link lost: the calls are reset and the port opened again");
            break;
        case Rule::HardwareBox:
            link("hardware problem box shown; TAPI is told the line closed");
            if (st.download && s_.downloads[*st.download].result.empty())
                failDownload("failed :V24 Trouble");
            break;
        case Rule::AdapterRestarted:
            link("adapter restarted after a long silence: its calls are reset");
            break;
        case Rule::PortBlocked:
            link("port blocked: opening " + Text(a, 0) + " again");
            break;
        case Rule::LineOpened:
            link("TAPI opened the line");
            break;
        case Rule::LineClosed:
            link("TAPI closed the line");
            break;
        case Rule::Shutdown:
            link("TAPI shut the provider down");
            break;
        case Rule::Nack:
            ++s_.counts.nacks;
            break;
        case Rule::BadChecksum:
            ++s_.counts.badChecksums;
            break;
        case Rule::Flush:
            ++s_.counts.flushes;
            break;
        case Rule::Resync:
            ++s_.counts.resyncs;
            break;
        case Rule::Abort:
            ++s_.counts.aborts;
            break;

        case Rule::AssocAck:
            if (!st.download)
                break;  // a later association: forwarding changed
            CurrentDownload(at).tqlaVersion = Number(a, 0);
            CurrentDownload(at).answers.push_back("DEVICE_ASSOC_ACK");
            break;
        case Rule::PbxAnswer:
            // Answers by name ("KEY_ACK"); the same text with a hex dump is
            // the message itself, a call event is no answer.
            if (st.download && Text(a, 0).ends_with("_ACK") && Text(a, 0).find('.') == std::string::npos)
                CurrentDownload(at).answers.push_back(Text(a, 0));
            break;
        case Rule::Mcdu:
            if (st.download)
                CurrentDownload(at).mcdu = Text(a, 1);
            break;
        case Rule::DownloadDone:
            CurrentDownload(at).result = "success";
            CurrentDownload(at).end = at;
            st.download.reset();
            break;
        case Rule::NoAssocAck:
            failDownload("failed :Config dynamic :Device association ack not received");
            break;
        case Rule::NoConfig:
            failDownload("failed :Config dynamic not received");
            break;
        case Rule::NotQr7:
            failDownload("failed :Not a QR7(3861) set");
            break;
        case Rule::NotMultiline:
            failDownload("failed :Not a multiline set");
            break;
        case Rule::NoTraceMode:
            failDownload("failed :Bad VEX/PC trace mode");
            break;
        case Rule::DownloadNote:
            // The service codes are saved just after the end.
            if (!st.download && !s_.downloads.empty() && s_.downloads.back().start.run == at.run)
                s_.downloads.back().notes.emplace_back(r.words);
            else
                CurrentDownload(at).notes.emplace_back(r.words);
            break;

        case Rule::LineEvent:
            st.event = RunState::PendingEvent{static_cast<int32_t>(Number(a, 0)), Number(a, 1), Number(a, 2),
                                              Number(a, 3)};
            break;
        case Rule::EventSent:
            if (st.event)
                LineEvent(*st.event, at);
            st.event.reset();
            break;
        case Rule::EventNotSent:
            st.event.reset();
            break;
        case Rule::NewCall:
        case Rule::NewConference: {
            const int32_t cref = r.rule == Rule::NewCall ? static_cast<int32_t>(Number(a, 0)) : kConfRef;
            st.openCalls.erase(cref);
            const std::string words = "new call " + std::to_string(cref);
            s_.tapiEvents.push_back(words);
            OpenCall(cref, at).events.push_back(words);
            break;
        }
        case Rule::SetupRunning:
            st.runningSetup = std::make_pair(Number(a, 0), static_cast<int32_t>(Number(a, 1)));
            break;

        case Rule::AppCall: {
            Request& q = newRequest(Number(a, 2), Number(a, 1), static_cast<int32_t>(Number(a, 0)));
            if (q.id == 0)
                q.outcome = Request::Outcome::NoReply;
            st.lastAppCall = s_.requests.size() - 1;
            st.lastAsk = RunState::Ask::AppCall;
            break;
        }
        case Rule::TwoRequests:
            // Refused before anything was stored; a transfer's request was
            // not yet listed.
            if (st.lastAsk == RunState::Ask::AppCall)
                refuse(st.lastAppCall, static_cast<int32_t>(LINEERR_RESOURCEUNAVAIL));
            st.lastAsk = RunState::Ask::None;
            break;
        case Rule::NoWorker:
            refuse(st.lastAppCall, static_cast<int32_t>(LINEERR_OPERATIONFAILED));
            break;
        case Rule::NoWorkerTransfer:
            st.lastAsk = RunState::Ask::None;
            break;
        case Rule::Negative:
            for (auto i = s_.requests.size(); i-- > 0;) {
                if (s_.requests[i].code == Number(a, 1) &&
                    s_.requests[i].outcome == Request::Outcome::Outstanding) {
                    refuse(i, static_cast<int32_t>(Number(a, 0)));
                    break;
                }
            }
            break;
        case Rule::Completion: {
            const uint32_t id = Number(a, 0);
            auto it = std::find_if(s_.requests.rbegin(), s_.requests.rend(), [&](const Request& q) {
                return q.at.run == at.run && q.outcome == Request::Outcome::Outstanding && q.id == id;
            });
            // A transfer or conference is known by its ID only now.
            if (it == s_.requests.rend())
                it = std::find_if(s_.requests.rbegin(), s_.requests.rend(), [&](const Request& q) {
                    return q.at.run == at.run && q.outcome == Request::Outcome::Outstanding && q.id == 0;
                });
            Request& q = it != s_.requests.rend() ? *it : newRequest(id, 0, -1);
            if (q.code == 0)
                q.name = "request known by its completion";
            q.id = id;
            q.outcome = Request::Outcome::Completed;
            q.result = static_cast<int32_t>(Number(a, 1));
            q.done = at;
            if (st.runningSetup && st.runningSetup->first == id)
                st.runningSetup.reset();
            break;
        }
        case Rule::SetupAsked:
            st.setupAsked = std::make_pair(Number(a, 0), static_cast<int32_t>(Number(a, 1) & 0xFFFF));
            st.lastAsk = RunState::Ask::SetupTransfer;
            break;
        case Rule::SetupAccepted:
            if (st.setupAsked)
                newRequest(st.setupAsked->first, kSetupTransferCode, static_cast<int32_t>(Number(a, 0)));
            st.setupAsked.reset();
            break;
        case Rule::CompleteTransferAsked:
            st.transferCref = static_cast<int32_t>(Number(a, 0));
            st.lastAsk = RunState::Ask::CompleteTransfer;
            break;
        case Rule::TransferAccepted:
        case Rule::ConferenceAccepted:
            // Its ID comes with its completion.
            newRequest(0, r.rule == Rule::TransferAccepted ? 6 : 11, st.transferCref);
            break;

        case Rule::InfoAsked:
            st.infoCref = static_cast<int32_t>(Number(a, 0));
            break;
        case Rule::InfoAskedConference:
            st.infoCref = kConfRef;
            break;
        case Rule::CallerNumber:
        case Rule::CallerName:
        case Rule::CalledNumber:
        case Rule::CalledName:
        case Rule::ConnectedNumber:
        case Rule::ConnectedName: {
            Call* call = CallOf(st.infoCref);
            const std::string value = Text(a, 0);
            if (call == nullptr || value.empty())
                break;
            Party& party = r.rule == Rule::CallerNumber || r.rule == Rule::CallerName   ? call->caller
                           : r.rule == Rule::CalledNumber || r.rule == Rule::CalledName ? call->called
                                                                                        : call->connected;
            const bool number = r.rule == Rule::CallerNumber || r.rule == Rule::CalledNumber ||
                                r.rule == Rule::ConnectedNumber;
            (number ? party.number : party.name) = value;
            break;
        }
        case Rule::PbxCaller:
        case Rule::PbxCalled:
            st.lastEventKey = Number(a, 0);
            Set(r.rule == Rule::PbxCaller ? st.keyParties[st.lastEventKey].caller
                                          : st.keyParties[st.lastEventKey].called,
                Text(a, 1), Text(a, 4));
            break;
        case Rule::PbxDialled:
            st.lastEventKey = Number(a, 0);
            Set(st.keyParties[st.lastEventKey].called, Text(a, 2), Text(a, 6));
            break;
        case Rule::PbxConnected:
            st.lastEventKey = Number(a, 0);
            Set(st.keyParties[st.lastEventKey].connected, Text(a, 2), Text(a, 5));
            break;
        case Rule::OperatorPrefix: {
            // TAPI gets an external caller with the outside-line prefix.
            const auto it = st.keyParties.find(st.lastEventKey);
            if (it == st.keyParties.end())
                break;
            Party& party = Text(a, 0) == "CCI" ? it->second.connected : it->second.caller;
            if (!party.number.empty())
                party.number = Text(a, 1) + party.number;
            break;
        }
        case Rule::KeyThenCref:
            Bind(Number(a, 0), static_cast<int32_t>(Number(a, 1)), at);
            break;
        case Rule::CrefThenKey:
            Bind(Number(a, 1), static_cast<int32_t>(Number(a, 0)), at);
            break;
    }
}

void Summariser::EndRun() {
    state_ = RunState{};
}

Summary Summariser::Finish(const std::vector<Run>& runs) {
    EndRun();
    s_.runs = runs;
    level1_.resize(runs.size(), false);
    for (size_t r = 0; r < runs.size(); ++r) {
        const bool traced = runs[r].mask ? (*runs[r].mask & 1) != 0 : level1_[r];
        if (!traced)
            s_.runsWithoutCompletions.push_back(r);
    }
    for (Request& q : s_.requests) {
        const bool traced = std::find(s_.runsWithoutCompletions.begin(), s_.runsWithoutCompletions.end(),
                                      q.at.run) == s_.runsWithoutCompletions.end();
        q.neverCompleted = q.outcome == Request::Outcome::Outstanding && traced;
    }
    return std::move(s_);
}

}  // namespace zq::trace
