// zqphone: a console telephone over the TAPI line API (libzqtapi.so here).
// It lists the lines, watches one and works its calls from the keyboard,
// and dials numbers and tel: links, handing them to a running watch through
// assisted telephony when there is one. Messages come by USEEVENT and
// lineGetMessage; the waiting itself is the system's part (zqphone.h).
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "dial_string.h"
#include "zq/platform.h"
#include "zq/tapi.h"
#include "zq/tapi_words.h"
#include "zqphone.h"

namespace zq::phone {

namespace {

using Clock = std::chrono::steady_clock;

constexpr DWORD kApiVersion = 0x00020000;
constexpr const char* kAppName = "zqphone";
// A variable structure is asked for again at most with this size.
constexpr DWORD kMaxStructure = 64 * 1024;
constexpr size_t kMaxCalls = 16;
// How long dial waits for the line to come into service (the provider
// downloads the set's configuration first), and for IDLE after a drop.
constexpr auto kServiceWait = std::chrono::seconds(30);
constexpr auto kDropWait = std::chrono::seconds(5);
constexpr int kReinitRetries = 20;
constexpr int kReinitRetryMs = 500;
// The provider refuses make calls while it reads the set's configuration
// for the very first time, and tells nobody when it is done: a make call
// that fails so soon after the line came into service is tried again.
constexpr auto kFirstDownload = std::chrono::seconds(10);
constexpr auto kRetryEvery = std::chrono::milliseconds(1000);
constexpr int kMaxTries = 10;

enum ExitStatus { kExitOk = 0, kExitFailed = 1, kExitUsage = 2 };

// ------------------------------------------------------------------ output

// Text from the line (names, numbers) or another process, with every
// control character replaced, so it cannot drive the terminal.
std::string Printable(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = '?';
    return out;
}

// One line of output, after the time of day.
void Say(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Say(const char* format, ...) {
    std::array<char, 1024> text{};
    va_list args;
    va_start(args, format);
    std::vsnprintf(text.data(), text.size(), format, args);
    va_end(args);
    std::printf("%s %s\n", ClockText().c_str(), text.data());
    std::fflush(stdout);
}

std::string Hex(uint32_t value) {
    std::array<char, 16> text{};
    std::snprintf(text.data(), text.size(), "0x%x", static_cast<unsigned>(value));
    return text.data();
}

// ------------------------------------------------ variable-size structures

// A structure the library fills (LINEDEVCAPS, LINECALLINFO ...), in a buffer
// asked for once more with the size it says it needs.
struct VarStruct {
    std::vector<uint8_t> bytes;

    DWORD Field(size_t offset) const {
        DWORD value = 0;
        if (offset + sizeof value <= bytes.size())
            std::memcpy(&value, bytes.data() + offset, sizeof value);
        return value;
    }
    template <typename T>
    T Fixed() const {
        T fixed{};
        std::memcpy(&fixed, bytes.data(), std::min(sizeof fixed, bytes.size()));
        return fixed;
    }
    // The string at (size, offset), empty when it lies outside what the
    // library says it used; up to its first NUL.
    std::string Text(DWORD size, DWORD offset) const {
        const size_t used = std::min<size_t>(Field(8), bytes.size());
        if (size == 0 || offset > used || size > used - offset)
            return "";
        std::string_view text(reinterpret_cast<const char*>(bytes.data()) + offset, size);
        return Printable(text.substr(0, text.find('\0')));
    }
};

template <typename T, typename Fill>
LONG Query(VarStruct& out, Fill fill) {
    DWORD total = std::max<DWORD>(sizeof(T), 1024);
    for (int attempt = 0; attempt < 2; ++attempt) {
        out.bytes.assign(total, 0);
        std::memcpy(out.bytes.data(), &total, sizeof total);
        if (const LONG result = fill(reinterpret_cast<T*>(out.bytes.data())); result != 0)
            return result;
        const DWORD needed = out.Field(4);
        if (needed <= total || needed > kMaxStructure)
            return 0;
        total = needed;
    }
    return 0;
}

// ------------------------------------------------------------------- state

struct Call {
    HCALL handle = 0;  // written by the library at a make call's LINE_REPLY
    int id = 0;        // as printed ("call 2"); 0: the entry is free
    DWORD state = 0;
    bool ours = false;  // made by this process's dial
    // A make call of ours: the number, and when it is tried again.
    std::string dest;
    int tries = 0;
    std::optional<Clock::time_point> retryAt;
};

struct Request {
    LONG id = 0;
    std::string what;
    int call = -1;   // the entry it is about; a make call's stays reserved
    int callId = 0;  // as printed: the entry may be free by the reply
    bool makeCall = false;
};

enum class Mode { Watch, Dial };

struct Phone {
    Mode mode = Mode::Watch;
    HLINEAPP app = 0;
    HANDLE event = nullptr;
    DWORD device = 0;
    DWORD version = kApiVersion;
    HLINE line = 0;
    bool inService = false;
    Clock::time_point inServiceSince{};
    bool reinit = false;
    bool lineClosed = false;  // by the library: the provider lost it
    bool quit = false;
    std::array<Call, kMaxCalls> calls{};
    int nextId = 1;
    std::vector<Request> requests;
    std::vector<std::string> waitingNumbers;  // until the line is in service
    // dial: the call made and how it went
    bool made = false;
    bool failed = false;
    bool dropWanted = false;
};

int FindCall(const Phone& p, HCALL handle) {
    for (size_t i = 0; i < p.calls.size(); ++i)
        if (p.calls[i].id != 0 && p.calls[i].handle == handle && handle != 0)
            return static_cast<int>(i);
    return -1;
}

int NewCall(Phone& p, HCALL handle) {
    for (size_t i = 0; i < p.calls.size(); ++i) {
        if (p.calls[i].id == 0) {
            p.calls[i] = Call{};
            p.calls[i].handle = handle;
            p.calls[i].id = p.nextId++;
            return static_cast<int>(i);
        }
    }
    return -1;
}

int CallFor(Phone& p, HCALL handle) {
    const int i = FindCall(p, handle);
    return i >= 0 ? i : NewCall(p, handle);
}

// ------------------------------------------------------------ the library

LONG Initialize(Phone& p, DWORD* devices) {
    for (int attempt = 0;; ++attempt) {
        LINEINITIALIZEEXPARAMS params{};
        params.dwTotalSize = sizeof params;
        params.dwOptions = LINEINITIALIZEEXOPTION_USEEVENT;
        DWORD version = kApiVersion;
        const LONG result = lineInitializeExA(&p.app, nullptr, nullptr, kAppName, devices, &version, &params);
        if (result == 0) {
            p.event = params.Handles.hEvent;
            return 0;
        }
        // Another application still holds the provider that is being
        // reconfigured; it lets go soon.
        if (result != static_cast<LONG>(LINEERR_REINIT) || attempt + 1 >= kReinitRetries)
            return result;
        std::this_thread::sleep_for(std::chrono::milliseconds(kReinitRetryMs));
    }
}

std::string LineName(const VarStruct& caps) {
    const auto fixed = caps.Fixed<LINEDEVCAPS>();
    return caps.Text(fixed.dwLineNameSize, fixed.dwLineNameOffset);
}

LONG DevCaps(const Phone& p, DWORD device, DWORD version, VarStruct& caps) {
    return Query<LINEDEVCAPS>(caps,
                              [&](LINEDEVCAPS* c) { return lineGetDevCapsA(p.app, device, version, 0, c); });
}

LONG AddressCaps(const Phone& p, DWORD device, DWORD version, DWORD address, VarStruct& caps) {
    return Query<LINEADDRESSCAPS>(
        caps, [&](LINEADDRESSCAPS* c) { return lineGetAddressCapsA(p.app, device, address, version, 0, c); });
}

LONG Negotiate(const Phone& p, DWORD device, DWORD* version) {
    LINEEXTENSIONID extension{};
    return lineNegotiateAPIVersion(p.app, device, kApiVersion, kApiVersion, version, &extension);
}

// The device --line names (its name, or its number), else the first that
// carries voice.
std::optional<DWORD> ChooseLine(const Phone& p, DWORD devices, const std::string& wanted) {
    std::optional<DWORD> first;
    for (DWORD device = 0; device < devices; ++device) {
        DWORD version = 0;
        VarStruct caps;
        if (Negotiate(p, device, &version) != 0 || DevCaps(p, device, version, caps) != 0)
            continue;
        if (!wanted.empty()) {
            if (LineName(caps) == wanted || wanted == std::to_string(device))
                return device;
            continue;
        }
        if ((caps.Fixed<LINEDEVCAPS>().dwMediaModes & LINEMEDIAMODE_INTERACTIVEVOICE) != 0 && !first)
            first = device;
    }
    return first;
}

// lineInitializeExA's failure, with what to do when no provider was found.
void InitializeFailed(LONG result) {
    std::fprintf(stderr, "zqphone: lineInitializeExA: %s\n",
                 result == static_cast<LONG>(LINEERR_NODRIVER) ? "NODRIVER" : words::Result(result).c_str());
    if (result == static_cast<LONG>(LINEERR_NODRIVER))
        std::fprintf(
            stderr,
            "zqphone: the provider is not there: put libzq_6232.so beside libzqtapi.so, or name it in "
            "ZQTAPI_PROVIDER\n");
}

// The reason a call failed, in words: a line error, or the negative
// result of assisted telephony.
std::string TapiResult(LONG result) {
    switch (result) {
        case TAPIERR_NOREQUESTRECIPIENT:
            return "no request recipient";
        case TAPIERR_REQUESTQUEUEFULL:
            return "request queue full";
        case TAPIERR_INVALDESTADDRESS:
            return "invalid destination address";
        default:
            return words::Result(result);
    }
}

// ----------------------------------------------------------- the parties

// "Name number", or whichever of the two is known.
std::string Party(const VarStruct& info, DWORD nameSize, DWORD nameOffset, DWORD size, DWORD offset) {
    const std::string name = info.Text(nameSize, nameOffset);
    const std::string number = info.Text(size, offset);
    return name.empty() || number.empty() ? name + number : name + " " + number;
}

// ", caller Dupont Jean 0612345678, called 2001, connected ...": the parties
// lineGetCallInfoA knows.
std::string Parties(HCALL call) {
    VarStruct info;
    if (Query<LINECALLINFO>(info, [call](LINECALLINFO* c) { return lineGetCallInfoA(call, c); }) != 0)
        return "";
    const auto f = info.Fixed<LINECALLINFO>();
    const std::array<std::pair<const char*, std::string>, 3> parties{{
        {"caller",
         Party(info, f.dwCallerIDNameSize, f.dwCallerIDNameOffset, f.dwCallerIDSize, f.dwCallerIDOffset)},
        {"called",
         Party(info, f.dwCalledIDNameSize, f.dwCalledIDNameOffset, f.dwCalledIDSize, f.dwCalledIDOffset)},
        {"connected", Party(info, f.dwConnectedIDNameSize, f.dwConnectedIDNameOffset, f.dwConnectedIDSize,
                            f.dwConnectedIDOffset)},
    }};
    std::string text;
    for (const auto& [role, party] : parties)
        if (!party.empty())
            text += std::string(", ") + role + " " + party;
    return text;
}

// ---------------------------------------------------------------- requests

// A failed make call is tried again while the provider may still be
// reading the set's configuration.
bool RetryLater(Phone& p, int call, LONG result) {
    Call& c = p.calls[call];
    const Clock::time_point now = Clock::now();
    // The refusal of a busy line (a call being set up) is final.
    const bool alone = std::none_of(p.calls.begin(), p.calls.end(),
                                    [&c](const Call& other) { return other.id != 0 && &other != &c; });
    if (result != static_cast<LONG>(LINEERR_OPERATIONFAILED) || !alone || !p.inService ||
        now - p.inServiceSince > kFirstDownload || c.tries >= kMaxTries || p.dropWanted)
        return false;
    c.retryAt = now + kRetryEvery;
    Say("call %d: the line may still be reading the set's configuration; trying again", c.id);
    return true;
}

// A make call that failed leaves no call; dial has nothing more to do.
void MakeCallFailed(Phone& p, int call) {
    if (p.calls[call].ours)
        p.failed = true;
    p.calls[call] = Call{};
}

// An asynchronous request just made (`call`: the entry it is about, -1 for
// none): its LINE_REPLY will say how it went, unless it was refused.
void Submitted(Phone& p, LONG id, std::string what, int call, bool makeCall = false) {
    if (id > 0) {
        p.requests.push_back({id, std::move(what), call, call >= 0 ? p.calls[call].id : 0, makeCall});
        return;
    }
    const std::string who = call >= 0 ? "call " + std::to_string(p.calls[call].id) + " " : "";
    Say("%s%s: %s", who.c_str(), what.c_str(), words::Result(id).c_str());
    if (id != 0 && makeCall && !RetryLater(p, call, id))
        MakeCallFailed(p, call);
}

// lineMakeCallA into the entry reserved for the call.
void PlaceCall(Phone& p, int call) {
    Call& c = p.calls[call];
    c.retryAt.reset();
    ++c.tries;
    const LONG id = lineMakeCallA(p.line, &c.handle, c.dest.c_str(), 0, nullptr);
    Submitted(p, id, "make call " + c.dest, call, true);
}

// What is dialled for a number: a canonical one ("+33 (1) 23 45 67 89")
// translated from the current location, since the set cannot dial a '+';
// nullopt when it cannot be.
std::optional<std::string> Dialable(const Phone& p, const std::string& number) {
    if (number.empty() || number.front() != '+')
        return number;
    VarStruct out;
    const LONG result = Query<LINETRANSLATEOUTPUT>(out, [&](LINETRANSLATEOUTPUT* o) {
        return lineTranslateAddressA(p.app, p.device, p.version, number.c_str(), 0, 0, o);
    });
    const auto fixed = out.Fixed<LINETRANSLATEOUTPUT>();
    const std::string dialable =
        result == 0 ? out.Text(fixed.dwDialableStringSize, fixed.dwDialableStringOffset) : "";
    if (dialable.empty() || dialable.size() >= TAPIMAXDESTADDRESSSIZE) {
        Say("make call %s: %s; a number with + is written +COUNTRY (AREA) NUMBER", number.c_str(),
            result != 0 ? words::Result(result).c_str() : "no dialable number");
        return std::nullopt;
    }
    Say("%s is dialled as %s", number.c_str(), dialable.c_str());
    return dialable;
}

void MakeCall(Phone& p, const std::string& number) {
    if (!p.inService) {
        Say("line not in service yet: %s is called once it is", number.c_str());
        p.waitingNumbers.push_back(number);
        return;
    }
    const std::optional<std::string> dialable = Dialable(p, number);
    if (!dialable) {
        if (p.mode == Mode::Dial)
            p.failed = true;
        return;
    }
    const int call = NewCall(p, 0);
    if (call < 0) {
        Say("make call %s: too many calls", number.c_str());
        p.failed = p.failed || p.mode == Mode::Dial;
        return;
    }
    p.calls[call].ours = p.mode == Mode::Dial;
    p.calls[call].dest = *dialable;
    PlaceCall(p, call);
}

void RetryDueCalls(Phone& p) {
    const Clock::time_point now = Clock::now();
    for (size_t i = 0; i < p.calls.size(); ++i)
        if (p.calls[i].id != 0 && p.calls[i].retryAt && *p.calls[i].retryAt <= now)
            PlaceCall(p, static_cast<int>(i));
}

// Milliseconds until the next make call is tried again, -1 for none.
int NextRetryMs(const Phone& p) {
    int wait = -1;
    const Clock::time_point now = Clock::now();
    for (const Call& c : p.calls) {
        if (c.id == 0 || !c.retryAt)
            continue;
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(*c.retryAt - now).count();
        const int due = static_cast<int>(std::clamp<long long>(ms, 0, 60000));
        wait = wait < 0 ? due : std::min(wait, due);
    }
    return wait;
}

void MakeWaitingCalls(Phone& p) {
    std::vector<std::string> numbers;
    numbers.swap(p.waitingNumbers);
    for (const std::string& number : numbers)
        MakeCall(p, number);
}

// A number from another process's request: only a dial string is dialled.
void TakeRequests(Phone& p) {
    for (;;) {
        LINEREQMAKECALL request{};
        if (lineGetRequestA(p.app, LINEREQUESTMODE_MAKECALL, &request) != 0)
            return;
        const auto field = [](const char* text, size_t size) {
            return Printable(std::string_view(text, strnlen(text, size)));
        };
        const std::string dest = field(request.szDestAddress, sizeof request.szDestAddress);
        const std::string party = field(request.szCalledParty, sizeof request.szCalledParty);
        const std::string app = field(request.szAppName, sizeof request.szAppName);
        Say("request: call %s%s%s from %s", dest.c_str(), party.empty() ? "" : " to ", party.c_str(),
            app.empty() ? "an application" : app.c_str());
        if (const std::optional<std::string> number = DialString(dest))
            MakeCall(p, *number);
        else
            Say("request: %s is no number", dest.c_str());
    }
}

// -------------------------------------------------------------- messages

const char* PrivilegeWord(DWORD_PTR privilege) {
    switch (privilege) {
        case LINECALLPRIVILEGE_OWNER:
            return "owner";
        case LINECALLPRIVILEGE_MONITOR:
            return "monitor";
        default:
            return "no privilege";
    }
}

void OnReply(Phone& p, LONG id, LONG result) {
    const auto it =
        std::find_if(p.requests.begin(), p.requests.end(), [id](const Request& r) { return r.id == id; });
    if (it == p.requests.end()) {
        Say("reply to request %d: %s", static_cast<int>(id), words::Result(result).c_str());
        return;
    }
    const Request request = *it;
    p.requests.erase(it);
    const std::string who = request.callId != 0 ? "call " + std::to_string(request.callId) + " " : "";
    Say("%s%s: %s", who.c_str(), request.what.c_str(), words::Result(result).c_str());
    if (!request.makeCall)
        return;
    Call* call = &p.calls[request.call];
    if (result != 0) {
        if (!RetryLater(p, request.call, result))
            MakeCallFailed(p, request.call);
        return;
    }
    if (call->ours)
        p.made = true;
    // Its events may have come under the handle already.
    for (Call& other : p.calls) {
        if (&other != call && other.id != 0 && other.handle == call->handle) {
            call->state = other.state;
            other = Call{};
        }
    }
    if (p.dropWanted && call->ours)
        Submitted(p, lineDrop(call->handle, nullptr, 0), "drop", request.call);
}

void OnCallState(Phone& p, const LINEMESSAGE& m) {
    const auto handle = static_cast<HCALL>(m.hDevice);
    // A call first heard of as IDLE (a make call the provider ended before
    // refusing it) gets no entry.
    const int i = m.dwParam1 == LINECALLSTATE_IDLE ? FindCall(p, handle) : CallFor(p, handle);
    if (i < 0 && m.dwParam1 == LINECALLSTATE_IDLE) {
        Say("call ? IDLE (a call zqphone was not given)");
        lineDeallocateCall(handle);
        return;
    }
    const int number = i >= 0 ? p.calls[i].id : 0;
    const std::string words = words::LineEvent(number, m.dwMessageID, m.dwParam1, m.dwParam2);
    Say("%s%s", words.c_str(), Parties(handle).c_str());
    if (i < 0)
        return;
    Call& call = p.calls[i];
    call.state = static_cast<DWORD>(m.dwParam1);
    if (call.state == LINECALLSTATE_DISCONNECTED && call.ours && !p.dropWanted)
        // The far end hung up on the call dial made: the set is released.
        Submitted(p, lineDrop(handle, nullptr, 0), "drop", i);
    if (call.state == LINECALLSTATE_IDLE) {
        lineDeallocateCall(handle);
        if (call.ours)
            p.quit = true;
        call = Call{};
    }
}

void OnMessage(Phone& p, const LINEMESSAGE& m) {
    switch (m.dwMessageID) {
        case LINE_REPLY:
            OnReply(p, static_cast<LONG>(m.dwParam1), static_cast<LONG>(m.dwParam2));
            return;
        case LINE_CALLSTATE:
            OnCallState(p, m);
            return;
        case LINE_CALLINFO: {
            const auto handle = static_cast<HCALL>(m.hDevice);
            const int i = CallFor(p, handle);
            const std::string words =
                words::LineEvent(i >= 0 ? p.calls[i].id : 0, m.dwMessageID, m.dwParam1, m.dwParam2);
            Say("%s%s", words.c_str(), Parties(handle).c_str());
            return;
        }
        case LINE_APPNEWCALL: {
            const int i = CallFor(p, static_cast<HCALL>(m.dwParam2));
            Say("call %d new on address %u, %s", i >= 0 ? p.calls[i].id : 0,
                static_cast<unsigned>(m.dwParam1), PrivilegeWord(m.dwParam3));
            return;
        }
        case LINE_LINEDEVSTATE: {
            const auto states = static_cast<DWORD>(m.dwParam1);
            Say("%s", words::LineEvent(-1, m.dwMessageID, m.dwParam1, m.dwParam2).c_str());
            if ((states & LINEDEVSTATE_REINIT) != 0)
                p.reinit = true;
            if ((states & (LINEDEVSTATE_OUTOFSERVICE | LINEDEVSTATE_DISCONNECTED)) != 0)
                p.inService = false;
            if ((states & LINEDEVSTATE_INSERVICE) != 0) {
                p.inService = true;
                p.inServiceSince = Clock::now();
                MakeWaitingCalls(p);
            }
            return;
        }
        case LINE_REQUEST:
            TakeRequests(p);
            return;
        case LINE_CLOSE:
            Say("line closed");
            p.line = 0;
            p.lineClosed = true;
            p.quit = true;
            return;
        case LINE_CREATE:
            Say("line %u added", static_cast<unsigned>(m.dwParam1));
            return;
        case LINE_REMOVE:
            Say("line %u removed", static_cast<unsigned>(m.dwParam1));
            return;
        case LINE_DEVSPECIFIC:
            Say("line device-specific %s %s", Hex(static_cast<uint32_t>(m.dwParam1)).c_str(),
                Hex(static_cast<uint32_t>(m.dwParam2)).c_str());
            return;
        default:
            Say("%s", words::LineEvent(-1, m.dwMessageID, m.dwParam1, m.dwParam2).c_str());
            return;
    }
}

void TakeMessages(Phone& p) {
    LINEMESSAGE m{};
    while (!p.reinit && lineGetMessage(p.app, &m, 0) == 0)
        OnMessage(p, m);
}

// ------------------------------------------------------------------- keys

constexpr const char* kKeys =
    "keys (each followed by Enter): a answer, d drop, h hold, u unhold (optionally with the call's number),\n"
    "c NUMBER call, q quit";

// The call a key is for: the one named, else the newest in one of `states`.
int KeyCall(const Phone& p, std::string_view arg, DWORD states) {
    if (!arg.empty()) {
        for (size_t i = 0; i < p.calls.size(); ++i)
            if (p.calls[i].id != 0 && std::to_string(p.calls[i].id) == arg)
                return static_cast<int>(i);
        return -1;
    }
    int best = -1;
    for (size_t i = 0; i < p.calls.size(); ++i)
        if (p.calls[i].id != 0 && p.calls[i].handle != 0 && (p.calls[i].state & states) != 0 &&
            (best < 0 || p.calls[i].id > p.calls[best].id))
            best = static_cast<int>(i);
    return best;
}

void OnKey(Phone& p, std::string_view line) {
    while (!line.empty() && line.front() == ' ')
        line.remove_prefix(1);
    if (line.empty())
        return;
    const char key = line.front();
    std::string_view arg = line.substr(1);
    while (!arg.empty() && arg.front() == ' ')
        arg.remove_prefix(1);
    while (!arg.empty() && arg.back() == ' ')
        arg.remove_suffix(1);

    constexpr DWORD kLive = ~(LINECALLSTATE_IDLE | LINECALLSTATE_ONHOLD);
    struct KeyAction {
        char key;
        const char* what;
        DWORD states;  // the calls it applies to when none is named
        LONG (*request)(HCALL);
    };
    static constexpr std::array<KeyAction, 4> kActions{{
        {'a', "answer", LINECALLSTATE_OFFERING | LINECALLSTATE_ACCEPTED,
         [](HCALL c) { return lineAnswer(c, nullptr, 0); }},
        {'d', "drop", kLive | LINECALLSTATE_ONHOLD, [](HCALL c) { return lineDrop(c, nullptr, 0); }},
        {'h', "hold", LINECALLSTATE_CONNECTED, [](HCALL c) { return lineHold(c); }},
        {'u', "unhold", LINECALLSTATE_ONHOLD, [](HCALL c) { return lineUnhold(c); }},
    }};
    if (key == 'c') {
        if (const std::optional<std::string> number = DialString(arg))
            MakeCall(p, *number);
        else
            Say("c: '%s' is no number", Printable(arg).c_str());
        return;
    }
    if (key == 'q' && arg.empty()) {
        p.quit = true;
        return;
    }
    for (const KeyAction& action : kActions) {
        if (action.key != key)
            continue;
        // A drop prefers the call in progress to an offered or held one.
        int call = key == 'd' ? KeyCall(p, arg, kLive & ~LINECALLSTATE_OFFERING) : -1;
        if (call < 0)
            call = KeyCall(p, arg, action.states);
        if (call < 0) {
            Say("%s: no such call", action.what);
            return;
        }
        Submitted(p, action.request(p.calls[call].handle), action.what, call);
        return;
    }
    std::fprintf(stderr, "%s\n", kKeys);
}

// ----------------------------------------------------------- the commands

struct Options {
    std::string command;
    std::string line;    // --line
    std::string number;  // dial
    std::string name;    // dial --name
    std::string port;    // --port
};

// What a prefix needs before the line can be used, written where it is
// missing (the Windows control panel's part): the telephony library's list
// of providers, naming ours, and the provider's port. A prefix never set up
// has no port ("NONE"); it gets COM1, the port whose dosdevices link the
// simulator and the README's set-up make. --port sets it in any case.
bool SetUpPrefix(const std::string& port) {
    const auto open = [](std::string_view path) {
        plat::RegKey* key = nullptr;
        return plat::reg_create_key(plat::reg_root(plat::RegRoot::LocalMachine), path, &key) == 0 ? key
                                                                                                  : nullptr;
    };
    const auto has = [](plat::RegKey* key, std::string_view name, std::string_view unset) {
        std::array<uint8_t, 64> value{};
        uint32_t type = 0, size = 0;
        const uint32_t error = plat::reg_query_value(key, name, &type, value, &size);
        if (error != 0)
            return error == plat::kErrMoreData;
        return type != plat::kRegSz || std::string_view(reinterpret_cast<const char*>(value.data())) != unset;
    };
    bool ok = true;
    const char* chosen = std::getenv("ZQTAPI_PROVIDER");
    if (chosen == nullptr || *chosen == '\0') {
        plat::RegKey* list = open("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Telephony\\Providers");
        ok = list != nullptr;
        if (ok && !has(list, "NumProviders", "")) {
            ok = plat::reg_set_dword(list, "NumProviders", 1) == 0 &&
                 plat::reg_set_dword(list, "NextProviderID", 2) == 0 &&
                 plat::reg_set_string(list, "ProviderFileName0", "zq_6232.tsp") == 0 &&
                 plat::reg_set_dword(list, "ProviderID0", 1) == 0;
        }
        if (list != nullptr)
            plat::reg_close_key(list);
    }
    plat::RegKey* provider = open("SOFTWARE\\Velmora\\TSpi_6200\\Provider");
    if (provider == nullptr)
        return false;
    if (!port.empty() || !has(provider, "Port", "NONE")) {
        if (port.empty())
            std::fprintf(stderr, "zqphone: the provider had no port; it uses COM1 from now on\n");
        ok = plat::reg_set_string(provider, "Port", port.empty() ? "COM1" : port) == 0 && ok;
    }
    if (!has(provider, "Speed", ""))
        ok = plat::reg_set_string(provider, "Speed", "9600") == 0 && ok;
    plat::reg_close_key(provider);
    return ok;
}

int Lines(const Options&) {
    Phone p;
    DWORD devices = 0;
    if (const LONG result = Initialize(p, &devices); result != 0) {
        InitializeFailed(result);
        return kExitFailed;
    }
    std::printf("%u line(s)\n", static_cast<unsigned>(devices));
    for (DWORD device = 0; device < devices; ++device) {
        DWORD version = 0;
        VarStruct caps;
        LONG result = Negotiate(p, device, &version);
        if (result == 0)
            result = DevCaps(p, device, version, caps);
        if (result != 0) {
            std::printf("line %u: %s\n", static_cast<unsigned>(device), words::Result(result).c_str());
            continue;
        }
        const auto fixed = caps.Fixed<LINEDEVCAPS>();
        std::printf("line %u: %s, %u address(es)%s\n", static_cast<unsigned>(device), LineName(caps).c_str(),
                    static_cast<unsigned>(fixed.dwNumAddresses),
                    (fixed.dwMediaModes & LINEMEDIAMODE_INTERACTIVEVOICE) != 0 ? ", voice" : "");
        for (DWORD address = 0; address < fixed.dwNumAddresses && address < 64; ++address) {
            VarStruct addressCaps;
            if (const LONG r = AddressCaps(p, device, version, address, addressCaps); r != 0) {
                std::printf("  address %u: %s\n", static_cast<unsigned>(address), words::Result(r).c_str());
                continue;
            }
            const auto a = addressCaps.Fixed<LINEADDRESSCAPS>();
            const std::string text = addressCaps.Text(a.dwAddressSize, a.dwAddressOffset);
            std::printf("  address %u: %s\n", static_cast<unsigned>(address),
                        text.empty() ? "(not known yet)" : text.c_str());
        }
    }
    lineShutdown(p.app);
    return kExitOk;
}

// lineInitializeExA, the line opened as owner of voice calls, and its
// status messages; the line's state read once.
int Open(Phone& p, const Options& o) {
    DWORD devices = 0;
    if (const LONG result = Initialize(p, &devices); result != 0) {
        InitializeFailed(result);
        return kExitFailed;
    }
    const std::optional<DWORD> device = ChooseLine(p, devices, o.line);
    if (!device) {
        std::fprintf(stderr, "zqphone: %s\n",
                     o.line.empty() ? "no voice line (zqphone lines)" : ("no line " + o.line).c_str());
        return kExitFailed;
    }
    p.device = *device;
    VarStruct caps;
    LONG result = Negotiate(p, p.device, &p.version);
    if (result == 0)
        result = DevCaps(p, p.device, p.version, caps);
    if (result == 0)
        result = lineOpenA(p.app, p.device, &p.line, p.version, 0, 0, LINECALLPRIVILEGE_OWNER,
                           LINEMEDIAMODE_INTERACTIVEVOICE, nullptr);
    if (result != 0) {
        std::fprintf(stderr, "zqphone: cannot open line %u: %s\n", static_cast<unsigned>(p.device),
                     words::Result(result).c_str());
        return kExitFailed;
    }
    VarStruct addressCaps;
    const DWORD addressStates = AddressCaps(p, p.device, p.version, 0, addressCaps) == 0
                                    ? addressCaps.Fixed<LINEADDRESSCAPS>().dwAddressStates
                                    : 0;
    // Only what the device can report, or the library refuses the mask.
    const DWORD lineStates = caps.Fixed<LINEDEVCAPS>().dwLineStates;
    if (result = lineSetStatusMessages(p.line, lineStates, addressStates); result != 0)
        Say("line status messages: %s", words::Result(result).c_str());
    VarStruct status;
    if (Query<LINEADDRESSSTATUS>(
            status, [&p](LINEADDRESSSTATUS* s) { return lineGetAddressStatusA(p.line, 0, s); }) == 0)
        p.inService = (status.Fixed<LINEADDRESSSTATUS>().dwAddressFeatures & LINEADDRFEATURE_MAKECALL) != 0;
    p.inServiceSince = Clock::now();
    Say("line %u %s opened%s", static_cast<unsigned>(p.device), LineName(caps).c_str(),
        p.inService ? ", in service" : "");
    return kExitOk;
}

void Close(Phone& p) {
    if (p.line != 0)
        lineClose(p.line);
    lineShutdown(p.app);
    p = Phone{};
}

enum class WatchEnd { Quit, Reinit, Failed };

WatchEnd WatchOnce(const Options& o) {
    Phone p;
    if (Open(p, o) != kExitOk) {
        Close(p);
        return WatchEnd::Failed;
    }
    if (const LONG result = lineRegisterRequestRecipient(p.app, 0, LINEREQUESTMODE_MAKECALL, 1); result != 0)
        Say("not taking dial requests: %s", words::Result(result).c_str());
    std::fprintf(stderr, "%s\n", kKeys);
    TakeMessages(p);
    while (!p.quit && !p.reinit) {
        const Woke woke = SystemWait(p.app, p.event, true, NextRetryMs(p));
        if (woke.interrupts > 0)
            break;
        RetryDueCalls(p);
        for (std::optional<std::string> line; !p.quit && (line = InputLine());)
            OnKey(p, *line);
        TakeMessages(p);
    }
    const WatchEnd end = p.reinit ? WatchEnd::Reinit : p.lineClosed ? WatchEnd::Failed : WatchEnd::Quit;
    Close(p);
    return end;
}

int Watch(const Options& o) {
    for (;;) {
        switch (WatchOnce(o)) {
            case WatchEnd::Quit:
                return kExitOk;
            case WatchEnd::Failed:
                return kExitFailed;
            case WatchEnd::Reinit:
                Say("the provider was set up again: opening the line anew");
                break;
        }
    }
}

int Dial(const Options& o) {
    const std::optional<std::string> number = DialString(o.number);
    if (!number) {
        std::fprintf(stderr, "zqphone: '%s' is no telephone number\n", Printable(o.number).c_str());
        return kExitUsage;
    }
    // A watch that runs has the line: the call is made there.
    const LONG handed = tapiRequestMakeCallA(number->c_str(), kAppName, o.name.c_str(), "");
    if (handed == 0) {
        Say("%s handed to the running call-request recipient", number->c_str());
        return kExitOk;
    }
    if (handed != TAPIERR_NOREQUESTRECIPIENT) {
        std::fprintf(stderr, "zqphone: tapiRequestMakeCallA: %s\n", TapiResult(handed).c_str());
        return kExitFailed;
    }
    if (!SetUpPrefix(o.port))
        std::fprintf(stderr, "zqphone: cannot write the prefix's telephony settings\n");

    Phone p;
    p.mode = Mode::Dial;
    if (Open(p, o) != kExitOk) {
        Close(p);
        return kExitFailed;
    }
    MakeCall(p, *number);
    const Clock::time_point serviceDeadline = Clock::now() + kServiceWait;
    Clock::time_point dropDeadline{};
    TakeMessages(p);
    while (!p.quit && !p.failed && !p.reinit) {
        constexpr int kTickMs = 250;
        const Woke woke = SystemWait(p.app, p.event, false, kTickMs);
        RetryDueCalls(p);
        TakeMessages(p);
        if (!p.made && !p.inService && Clock::now() >= serviceDeadline) {
            Say("the line did not come into service in %d s", static_cast<int>(kServiceWait.count()));
            p.failed = true;
        }
        // The call did not end: a failure, not a hang-up.
        if (p.dropWanted && Clock::now() >= dropDeadline) {
            Say("the call was not dropped in %d s", static_cast<int>(kDropWait.count()));
            p.failed = true;
            break;
        }
        if (woke.interrupts == 0)
            continue;
        // A make call waiting to be tried again is given up.
        for (Call& c : p.calls)
            if (c.ours && c.retryAt)
                c = Call{};
        const bool calling =
            std::any_of(p.calls.begin(), p.calls.end(), [](const Call& c) { return c.ours && c.id != 0; });
        if (p.dropWanted || !calling) {
            // A second Ctrl-C, or one before the call was asked for.
            break;
        }
        // A make call not replied to yet is dropped at its reply.
        p.dropWanted = true;
        dropDeadline = Clock::now() + kDropWait;
        for (size_t i = 0; i < p.calls.size(); ++i)
            if (p.calls[i].ours && p.calls[i].handle != 0)
                Submitted(p, lineDrop(p.calls[i].handle, nullptr, 0), "drop", static_cast<int>(i));
    }
    const bool ok = p.made && !p.failed && !p.reinit;
    Close(p);
    return ok ? kExitOk : kExitFailed;
}

// The provider's setup dialog for the line: the telephony library runs the
// provider's user-interface half in this process, which asks here, in the
// terminal, and hands what was chosen to the provider.
int Setup(const Options& o) {
    Phone p;
    DWORD devices = 0;
    if (const LONG result = Initialize(p, &devices); result != 0) {
        InitializeFailed(result);
        return kExitFailed;
    }
    const std::optional<DWORD> device = ChooseLine(p, devices, o.line);
    if (!device) {
        std::fprintf(stderr, "zqphone: %s\n",
                     o.line.empty() ? "no voice line (zqphone lines)" : ("no line " + o.line).c_str());
        lineShutdown(p.app);
        return kExitFailed;
    }
    // TAPI tells OK and Cancel alike: what is stored is what the dialog said.
    const LONG result = lineConfigDialogA(*device, nullptr, "tapi/line");
    if (result == 0)
        std::printf("setup of line %u closed\n", static_cast<unsigned>(*device));
    else
        std::fprintf(stderr, "zqphone: setup of line %u: %s\n", static_cast<unsigned>(*device),
                     words::Result(result).c_str());
    lineShutdown(p.app);
    return result == 0 ? kExitOk : kExitFailed;
}

// --------------------------------------------------------------------- help

constexpr const char* kUsage =
    "usage: zqphone [--port COMn] lines\n"
    "       zqphone [--port COMn] watch [--line NAME]\n"
    "       zqphone [--port COMn] dial NUMBER|tel:URI [--name NAME] [--line NAME]\n"
    "       zqphone [--port COMn] setup [--line NAME]\n"
    "       zqphone --help\n";

constexpr const char* kHelp =
    "NAME\n"
    "    zqphone - a console telephone on the desk set's line\n"
    "\n"
    "SYNOPSIS\n"
    "    zqphone lines\n"
    "    zqphone watch [--line NAME]\n"
    "    zqphone dial NUMBER|tel:URI [--name NAME] [--line NAME]\n"
    "    zqphone setup [--line NAME]\n"
    "    zqphone --help\n"
    "    Every command also takes --port COMn, before or after it.\n"
    "\n"
    "DESCRIPTION\n"
    "    zqphone works the line of the telephony provider through the TAPI line\n"
    "    API of libzqtapi.so, which loads the provider in zqphone's own process.\n"
    "    The provider opens the serial port of the prefix (dosdevices/comN), so\n"
    "    one process at a time can hold the line: a watch, or a dial on its own.\n"
    "    Events are printed one a line, in words, after the time of day:\n"
    "        10:42:07.315 call 1 OFFERING, caller Dupont Jean 0612345678, called 2001\n"
    "\n"
    "COMMANDS\n"
    "    lines   The line devices, their names and their addresses (the set's\n"
    "            directory number, once the provider has read it from the PBX).\n"
    "    watch   Opens the line (the first voice line, or the one --line names by\n"
    "            its name or device number) as owner of voice calls, registers as\n"
    "            the recipient of other programs' call requests, and prints every\n"
    "            event of the line and its calls with the parties (caller, called,\n"
    "            connected). Keys on standard input work the calls; a request from\n"
    "            zqphone dial, or any program's tapiRequestMakeCall, is called.\n"
    "    dial    Calls NUMBER, or the number of a tel: link (\"tel:+33-1-23-45-67\",\n"
    "            parameters dropped, %XX decoded, the separators - . ( ) and blanks\n"
    "            removed). When a watch runs, the number is handed to it and dial\n"
    "            ends at once. Otherwise dial opens the line itself, waits until it\n"
    "            is in service, makes the call and prints its states until it is\n"
    "            IDLE; Ctrl-C drops it (a second Ctrl-C leaves at once). A number\n"
    "            with + is translated from the current location\n"
    "            (lineTranslateAddress): write it +COUNTRY (AREA) NUMBER.\n"
    "    setup   The provider's setup dialog of the line (lineConfigDialog), in\n"
    "            the terminal: the COM port, chosen by its number in the list,\n"
    "            and after a (Advanced) the outside-call prefix, whether it is\n"
    "            shown on incoming calls, the longest internal number and the\n"
    "            multiline mode. One answer a line; Enter is OK, c Cancel, h\n"
    "            where the help page is; the end of the input cancels. What OK\n"
    "            changes is written to the provider's settings in the prefix; a\n"
    "            watch running meanwhile has its own provider, which takes them\n"
    "            when the watch is started again.\n"
    "\n"
    "OPTIONS\n"
    "    --line NAME   the line by its name or device number (zqphone lines)\n"
    "    --name NAME   dial: the called party's name, for the watch\n"
    "    --port COMn   the provider's port, set first. On a prefix where it was\n"
    "                  never set zqphone sets COM1, and it lists the provider\n"
    "                  (zq_6232.tsp) for the telephony library where no list is.\n"
    "\n"
    "KEYS\n"
    "    In watch, one a line on standard input:\n"
    "    a [N]      answer the offered call (or call N)\n"
    "    d [N]      drop the call in progress (or call N)\n"
    "    h [N]      hold the connected call\n"
    "    u [N]      take the held call back\n"
    "    c NUMBER   call NUMBER (a tel: link too)\n"
    "    q          quit (so do Ctrl-C and SIGTERM; the end of the input does not)\n"
    "    A call made before the line is in service is made once it is. While\n"
    "    the provider downloads the set's configuration for the first time it\n"
    "    refuses calls; for 10 s after the line came into service a refused\n"
    "    call is tried again each second.\n"
    "\n"
    "ENVIRONMENT\n"
    "    ZQ_PREFIX        The prefix: registry, Windows directory, dosdevices.\n"
    "                     Default $XDG_DATA_HOME/zq6232, else ~/.local/share/zq6232.\n"
    "    ZQTAPI_PROVIDER  The provider library to load instead of the first of the\n"
    "                     registry's list (zq_6232.tsp: libzq_6232.so beside\n"
    "                     libzqtapi.so).\n"
    "\n"
    "FILES\n"
    "    $ZQ_PREFIX/dosdevices/com1   link to the adapter's serial device\n"
    "    $ZQ_PREFIX/registry/hklm.reg the provider list and the provider's\n"
    "                                 settings (Port, Speed)\n"
    "    $ZQ_PREFIX/run/tapi-requests where a watch takes call requests\n"
    "    $ZQ_PREFIX/windows/spitrace/ the provider's trace\n"
    "    zqphone.desktop              the tel: link handler (Exec=zqphone dial %u)\n"
    "\n"
    "EXIT STATUS\n"
    "    0  done: the watch ended, the lines were listed, the call was made (or\n"
    "       handed to a watch) and is over, the setup dialog ended\n"
    "    1  the line could not be used, or the call could not be made\n"
    "    2  wrong usage, or a number that is none\n"
    "\n"
    "EXAMPLES\n"
    "    ln -sfn /dev/ttyUSB0 ~/.local/share/zq6232/dosdevices/com1\n"
    "    zqphone lines\n"
    "    zqphone watch\n"
    "    zqphone dial 2005\n"
    "    zqphone dial 'tel:+33-6-12-34-56-78' --name 'Dupont Jean'\n"
    "    zqphone setup\n"
    "    xdg-mime default zqphone.desktop x-scheme-handler/tel\n";

std::optional<Options> ParseOptions(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string_view a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--line" && hasValue) {
            o.line = argv[++i];
        } else if (a == "--name" && hasValue) {
            o.name = argv[++i];
        } else if (a == "--port" && hasValue) {
            o.port = argv[++i];
            if (o.port.size() != 4 || o.port.compare(0, 3, "COM") != 0 || o.port[3] < '1' || o.port[3] > '9')
                return std::nullopt;
        } else if (a == "--help" || a == "-h") {
            o.command = "help";
            return o;
        } else if (o.command.empty() && (a == "lines" || a == "watch" || a == "dial" || a == "setup")) {
            o.command = a;
        } else if (o.command == "dial" && o.number.empty() && !a.empty() && a.front() != '-') {
            o.number = a;
        } else {
            return std::nullopt;
        }
    }
    if (o.command.empty() || (o.command == "dial") != !o.number.empty())
        return std::nullopt;
    // The called party's name travels in a request of fixed size.
    if (o.name.size() >= TAPIMAXCALLEDPARTYSIZE)
        return std::nullopt;
    return o;
}

}  // namespace

int Main(int argc, char** argv) {
    const std::optional<Options> o = ParseOptions(argc, argv);
    if (!o) {
        std::fputs(kUsage, stderr);
        return kExitUsage;
    }
    if (o->command == "help") {
        std::fputs(kHelp, stdout);
        return kExitOk;
    }
    // The setup dialog reads standard input itself, and Ctrl-C ends it
    // as any program: the waiting's own handling stays out of its way.
    if (o->command != "setup" && !SystemStart()) {
        std::perror("zqphone");
        return kExitFailed;
    }
    // A dial handed to a watch leaves the provider's settings alone.
    if (o->command != "dial" && !SetUpPrefix(o->port))
        std::fprintf(stderr, "zqphone: cannot write the prefix's telephony settings\n");
    if (o->command == "setup")
        return Setup(*o);
    if (o->command == "lines")
        return Lines(*o);
    if (o->command == "watch")
        return Watch(*o);
    return Dial(*o);
}

}  // namespace zq::phone

int main(int argc, char** argv) {
    return zq::phone::Main(argc, argv);
}
