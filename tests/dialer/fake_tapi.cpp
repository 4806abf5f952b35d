#include "fake_tapi.h"

#include <algorithm>
#include <cstring>

#include "core/calls.h"
#include "core/tapi_api.h"
#include "zq/memplat.h"

namespace zq::dialer::test {
namespace {

FakeTapi g_fake;
Screen g_screen;

LONG E(DWORD code) {
    return static_cast<LONG>(code);
}

LONG Next(const std::string& fn, LONG dflt) {
    auto& answers = g_fake.script[fn];
    if (answers.empty())
        return dflt;
    const LONG r = answers.front();
    answers.pop_front();
    return r;
}

void Log(const std::string& fn, const std::string& arg = "") {
    g_fake.log.push_back(arg.empty() ? fn : fn + " " + arg);
}

// An asynchronous request: its ID, or the scripted answer. A new call's
// handle is written when the request completes.
LONG Async(const std::string& fn, const std::string& arg, HCALL* handle = nullptr) {
    Log(fn, arg);
    const LONG r = Next(fn, g_fake.nextRequest++);
    g_fake.requests[fn] = r;
    if (r > 0 && handle != nullptr)
        g_fake.handles[r] = {handle, g_fake.nextCall++};
    return r;
}

// Fills a variable-size structure: the fixed part T, then what is added,
// within the caller's dwTotalSize.
template <class T>
struct VarWriter {
    uint8_t* base;
    DWORD total = 0;
    T head{};
    std::vector<uint8_t> tail;

    explicit VarWriter(void* p) : base(static_cast<uint8_t*>(p)) { std::memcpy(&total, p, sizeof total); }
    DWORD Reserve(size_t n) {
        const auto at = static_cast<DWORD>(sizeof(T) + tail.size());
        tail.resize(tail.size() + n);
        return at;
    }
    void Put(DWORD at, const void* data, size_t n) { std::memcpy(tail.data() + (at - sizeof(T)), data, n); }
    void Text(DWORD& size, DWORD& offset, const std::string& s) {
        if (s.empty())
            return;
        offset = Reserve(s.size() + 1);
        size = static_cast<DWORD>(s.size() + 1);
        Put(offset, s.c_str(), s.size() + 1);
    }
    LONG Finish() {
        if (total < sizeof(T))
            return E(LINEERR_STRUCTURETOOSMALL);
        const auto needed = static_cast<DWORD>(sizeof(T) + tail.size());
        std::memcpy(&head, &total, sizeof total);
        std::memcpy(reinterpret_cast<uint8_t*>(&head) + 4, &needed, sizeof needed);
        const DWORD used = needed <= total ? needed : static_cast<DWORD>(sizeof(T));
        std::memcpy(reinterpret_cast<uint8_t*>(&head) + 8, &used, sizeof used);
        std::memcpy(base, &head, sizeof(T));
        if (needed <= total && !tail.empty())
            std::memcpy(base + sizeof(T), tail.data(), tail.size());
        return 0;
    }
};

const FakeDevice* Device(DWORD id) {
    return id < g_fake.devices.size() ? &g_fake.devices[id] : nullptr;
}

LONG WINAPI Answer(HCALL call, LPCSTR, DWORD) {
    return Async("lineAnswer", std::to_string(call));
}
LONG WINAPI Close(HLINE line) {
    Log("lineClose", std::to_string(line));
    std::erase(g_fake.openLines, line);
    return 0;
}
LONG WINAPI CompleteCall(HCALL call, LPDWORD, DWORD mode, DWORD) {
    return Async("lineCompleteCall", std::to_string(call) + " " + std::to_string(mode));
}
LONG WINAPI CompleteTransfer(HCALL call, HCALL consult, LPHCALL conf, DWORD mode) {
    return Async("lineCompleteTransfer",
                 std::to_string(call) + " " + std::to_string(consult) + " " + std::to_string(mode), conf);
}
LONG WINAPI ConfigDialog(DWORD, HWND, LPCSTR) {
    return 0;
}
LONG WINAPI Deallocate(HCALL call) {
    Log("lineDeallocateCall", std::to_string(call));
    return 0;
}
LONG WINAPI DevSpecific(HLINE, DWORD, HCALL, LPVOID, DWORD size) {
    return Async("lineDevSpecific", std::to_string(size));
}
LONG WINAPI Dial(HCALL call, LPCSTR dest, DWORD) {
    return Async("lineDialA", std::to_string(call) + " " + dest);
}
LONG WINAPI Drop(HCALL call, LPCSTR, DWORD) {
    return Async("lineDrop", std::to_string(call));
}
LONG WINAPI Forward(HLINE, DWORD, DWORD, LPLINEFORWARDLIST const list, DWORD, LPHCALL,
                    LPLINECALLPARAMS const) {
    std::string arg = std::to_string(list->dwNumEntries);
    if (list->dwNumEntries > 0) {
        const LINEFORWARD& f = list->ForwardList[0];
        arg += " " + std::to_string(f.dwForwardMode);
        if (f.dwDestAddressSize != 0)
            arg += " " + std::string(reinterpret_cast<const char*>(list) + f.dwDestAddressOffset);
    }
    return Async("lineForwardA", arg);
}
LONG WINAPI GenerateDigits(HCALL, DWORD, LPCSTR digits, DWORD) {
    Log("lineGenerateDigitsA", digits);
    return Next("lineGenerateDigitsA", 0);
}
LONG WINAPI GetAddressCaps(HLINEAPP, DWORD dev, DWORD address, DWORD, DWORD, LPLINEADDRESSCAPS caps) {
    const FakeDevice* d = Device(dev);
    if (d == nullptr || address >= d->addresses.size())
        return E(LINEERR_INVALADDRESSID);
    VarWriter<LINEADDRESSCAPS> w(caps);
    w.head.dwAddrCapFlags = g_fake.secure ? LINEADDRCAPFLAGS_SECURE : 0;
    w.Text(w.head.dwAddressSize, w.head.dwAddressOffset, d->addresses[address]);
    return w.Finish();
}
LONG WINAPI GetAddressStatus(HLINE, DWORD, LPLINEADDRESSSTATUS status) {
    VarWriter<LINEADDRESSSTATUS> w(status);
    w.head.dwAddressFeatures = g_fake.addressFeatures;
    return w.Finish();
}
LONG WINAPI GetCallInfo(HCALL call, LPLINECALLINFO info) {
    const auto it = g_fake.calls.find(call);
    if (it == g_fake.calls.end())
        return E(LINEERR_INVALCALLHANDLE);
    const FakeCall& c = it->second;
    VarWriter<LINECALLINFO> w(info);
    LINECALLINFO& h = w.head;
    h.dwOrigin = c.origin;
    h.dwCallerIDFlags = LINECALLPARTYID_NAME | LINECALLPARTYID_ADDRESS;
    h.dwCalledIDFlags = LINECALLPARTYID_NAME | LINECALLPARTYID_ADDRESS;
    h.dwConnectedIDFlags = c.connectedNumber.empty() ? 0 : LINECALLPARTYID_ADDRESS;
    w.Text(h.dwCallerIDNameSize, h.dwCallerIDNameOffset, c.callerName);
    w.Text(h.dwCallerIDSize, h.dwCallerIDOffset, c.callerNumber);
    w.Text(h.dwCalledIDNameSize, h.dwCalledIDNameOffset, c.calledName);
    w.Text(h.dwCalledIDSize, h.dwCalledIDOffset, c.calledNumber);
    w.Text(h.dwConnectedIDSize, h.dwConnectedIDOffset, c.connectedNumber);
    if (!c.userUserInfo.empty()) {
        h.dwUserUserInfoSize = static_cast<DWORD>(c.userUserInfo.size() * 2);
        h.dwUserUserInfoOffset = w.Reserve(h.dwUserUserInfoSize);
        w.Put(h.dwUserUserInfoOffset, c.userUserInfo.data(), h.dwUserUserInfoSize);
    }
    return w.Finish();
}
LONG WINAPI GetCallStatus(HCALL call, LPLINECALLSTATUS status) {
    const auto it = g_fake.calls.find(call);
    if (it == g_fake.calls.end())
        return E(LINEERR_INVALCALLHANDLE);
    VarWriter<LINECALLSTATUS> w(status);
    w.head.dwCallFeatures = it->second.features;
    return w.Finish();
}
LONG WINAPI GetDevCaps(HLINEAPP, DWORD dev, DWORD, DWORD, LPLINEDEVCAPS caps) {
    const FakeDevice* d = Device(dev);
    if (d == nullptr)
        return E(LINEERR_BADDEVICEID);
    VarWriter<LINEDEVCAPS> w(caps);
    w.head.dwNumAddresses = static_cast<DWORD>(d->addresses.size());
    w.head.dwMediaModes = d->voice ? LINEMEDIAMODE_INTERACTIVEVOICE : LINEMEDIAMODE_DATAMODEM;
    w.Text(w.head.dwLineNameSize, w.head.dwLineNameOffset, d->name);
    const LONG r = w.Finish();
    if (d->nameOutOfBounds)
        caps->dwLineNameOffset = caps->dwUsedSize;
    return r;
}
LONG WINAPI GetID(HLINE, DWORD address, HCALL, DWORD, LPVARSTRING id, LPCSTR) {
    if (address >= g_fake.deviceIds.size())
        return E(LINEERR_INVALADDRESSID);
    VarWriter<VARSTRING> w(id);
    w.head.dwStringFormat = STRINGFORMAT_BINARY;
    const std::string& bytes = g_fake.deviceIds[address];
    w.head.dwStringSize = static_cast<DWORD>(bytes.size());
    w.head.dwStringOffset = w.Reserve(bytes.size());
    w.Put(w.head.dwStringOffset, bytes.data(), bytes.size());
    return w.Finish();
}
LONG WINAPI GetRequest(HLINEAPP, DWORD mode, LPVOID buffer) {
    Log("lineGetRequestA", std::to_string(mode));
    const LONG r = Next("lineGetRequestA", E(LINEERR_NOREQUEST));
    if (r == 0 && mode == LINEREQUESTMODE_MAKECALL)
        std::memcpy(buffer, &g_fake.makeCallRequest, sizeof g_fake.makeCallRequest);
    else if (r == 0)
        std::memcpy(buffer, &g_fake.mediaCallRequest, sizeof g_fake.mediaCallRequest);
    return r;
}
LONG WINAPI GetStatusMessages(HLINE, LPDWORD lineStates, LPDWORD addressStates) {
    *lineStates = LINEDEVSTATE_REINIT;
    *addressStates = 0;
    return 0;
}
LONG WINAPI GetTranslateCaps(HLINEAPP, DWORD, LPLINETRANSLATECAPS caps) {
    if (const LONG r = Next("lineGetTranslateCapsA", 0); r != 0)
        return r;
    VarWriter<LINETRANSLATECAPS> w(caps);
    const auto n = static_cast<DWORD>(g_fake.cards.size());
    const auto others = static_cast<DWORD>(g_fake.otherLocations.size());
    std::vector<LINELOCATIONENTRY> locations(others + 1);
    for (DWORD k = 0; k <= others; ++k) {
        LINELOCATIONENTRY& loc = locations[k];
        loc.dwPermanentLocationID = k < others ? 100 + k : 7;
        loc.dwCountryCode = g_fake.countryCode;
        w.Text(loc.dwLocationNameSize, loc.dwLocationNameOffset,
               k < others ? g_fake.otherLocations[k] : std::string("Office"));
        w.Text(loc.dwCityCodeSize, loc.dwCityCodeOffset, g_fake.cityCode);
    }
    w.head.dwNumCards = n;
    w.head.dwCardListSize = n * sizeof(LINECARDENTRY);
    w.head.dwCardListOffset = w.Reserve(n * sizeof(LINECARDENTRY));
    for (DWORD k = 0; k < n; ++k) {
        LINECARDENTRY card{};
        card.dwPermanentCardID = 40 + k;
        w.Text(card.dwCardNameSize, card.dwCardNameOffset, g_fake.cards[k]);
        w.Put(w.head.dwCardListOffset + k * static_cast<DWORD>(sizeof card), &card, sizeof card);
    }
    // The location list last: entries counted beyond it lie past the end.
    const auto listSize = static_cast<DWORD>(locations.size() * sizeof(LINELOCATIONENTRY));
    w.head.dwNumLocations = others + 1 + g_fake.missingLocations;
    w.head.dwCurrentLocationID = 7;
    w.head.dwLocationListSize = listSize;
    w.head.dwLocationListOffset = w.Reserve(listSize);
    w.Put(w.head.dwLocationListOffset, locations.data(), listSize);
    return w.Finish();
}
LONG WINAPI Hold(HCALL call) {
    return Async("lineHold", std::to_string(call));
}
LONG WINAPI Initialize(LPHLINEAPP app, HINSTANCE, LINECALLBACK, LPCSTR name, LPDWORD numDevs, LPDWORD,
                       LPLINEINITIALIZEEXPARAMS params) {
    Log("lineInitializeExA", name);
    if (params->dwTotalSize < sizeof *params || params->dwOptions != LINEINITIALIZEEXOPTION_USEHIDDENWINDOW)
        return E(LINEERR_INVALPARAM);
    if (const LONG r = Next("lineInitializeExA", 0); r != 0)
        return r;
    *app = 1;
    *numDevs = static_cast<DWORD>(g_fake.devices.size());
    return 0;
}
LONG WINAPI MakeCall(HLINE, LPHCALL call, LPCSTR dest, DWORD, LPLINECALLPARAMS const params) {
    DWORD total = 0;
    std::memcpy(&total, params, sizeof total);
    const auto* bytes = reinterpret_cast<const uint8_t*>(params);
    g_fake.lastParams.assign(bytes, bytes + total);
    return Async("lineMakeCallA", dest, call);
}
LONG WINAPI Negotiate(HLINEAPP, DWORD dev, DWORD, DWORD high, LPDWORD version, LPLINEEXTENSIONID) {
    if (Device(dev) == nullptr)
        return E(LINEERR_BADDEVICEID);
    *version = high;
    return 0;
}
LONG WINAPI Open(HLINEAPP, DWORD dev, LPHLINE line, DWORD, DWORD, DWORD_PTR instance, DWORD, DWORD,
                 LPLINECALLPARAMS const) {
    const FakeDevice* d = Device(dev);
    Log("lineOpenA", std::to_string(dev) + (instance != 0 ? " own" : ""));
    if (d == nullptr)
        return E(LINEERR_BADDEVICEID);
    if (const LONG r = Next("lineOpenA", d->openResult); r != 0)
        return r;
    *line = g_fake.nextLine++;
    g_fake.openLines.push_back(*line);
    return 0;
}
LONG WINAPI Park(HCALL call, DWORD, LPCSTR, LPVARSTRING) {
    return Async("lineParkA", std::to_string(call));
}
LONG WINAPI Pickup(HLINE, DWORD, LPHCALL call, LPCSTR dest, LPCSTR) {
    return Async("linePickupA", dest, call);
}
LONG WINAPI Redirect(HCALL call, LPCSTR dest, DWORD) {
    return Async("lineRedirectA", std::to_string(call) + " " + dest);
}
LONG WINAPI RegisterRecipient(HLINEAPP, DWORD, DWORD mode, DWORD enable) {
    Log("lineRegisterRequestRecipient", std::to_string(mode) + " " + std::to_string(enable));
    return Next("lineRegisterRequestRecipient", 0);
}
LONG WINAPI SetLocation(HLINEAPP, DWORD) {
    return 0;
}
LONG WINAPI SetStatusMessages(HLINE line, DWORD lineStates, DWORD addressStates) {
    g_fake.statusMessages[line] = {lineStates, addressStates};
    return 0;
}
LONG WINAPI SetTollList(HLINEAPP, DWORD, LPCSTR, DWORD) {
    return 0;
}
LONG WINAPI Shutdown(HLINEAPP) {
    Log("lineShutdown");
    g_fake.openLines.clear();
    return 0;
}
LONG WINAPI TranslateAddress(HLINEAPP, DWORD, DWORD, LPCSTR in, DWORD, DWORD, LPLINETRANSLATEOUTPUT out) {
    Log("lineTranslateAddress", in);
    if (const LONG r = Next("lineTranslateAddress", 0); r != 0)
        return r;
    const auto it = g_fake.dialable.find(in);
    const std::string dialable = it != g_fake.dialable.end() ? it->second : std::string(in);
    VarWriter<LINETRANSLATEOUTPUT> w(out);
    w.Text(w.head.dwDialableStringSize, w.head.dwDialableStringOffset, dialable);
    w.Text(w.head.dwDisplayableStringSize, w.head.dwDisplayableStringOffset, dialable);
    return w.Finish();
}
LONG WINAPI TranslateDialog(HLINEAPP, DWORD, DWORD, HWND, LPCSTR) {
    Log("lineTranslateDialog");
    return 0;
}
LONG WINAPI Unhold(HCALL call) {
    return Async("lineUnhold", std::to_string(call));
}
LONG WINAPI Unpark(HLINE, DWORD, LPHCALL call, LPCSTR dest) {
    return Async("lineUnparkA", dest, call);
}

}  // namespace

FakeTapi& Fake() {
    return g_fake;
}

Screen& Scr() {
    return g_screen;
}

void InstallFakeTapi() {
    memplat::reset();
    memplat::reg_put_dword(plat::RegRoot::LocalMachine, kLocationsKey, "NumEntries", 1);
    g_fake = FakeTapi{};
    g_screen = Screen{};
    TapiApi api;
    api.lineAnswer = Answer;
    api.lineClose = Close;
    api.lineCompleteCall = CompleteCall;
    api.lineCompleteTransfer = CompleteTransfer;
    api.lineConfigDialogA = ConfigDialog;
    api.lineDeallocateCall = Deallocate;
    api.lineDevSpecific = DevSpecific;
    api.lineDialA = Dial;
    api.lineDrop = Drop;
    api.lineForwardA = Forward;
    api.lineGenerateDigitsA = GenerateDigits;
    api.lineGetAddressCapsA = GetAddressCaps;
    api.lineGetAddressStatusA = GetAddressStatus;
    api.lineGetCallInfoA = GetCallInfo;
    api.lineGetCallStatus = GetCallStatus;
    api.lineGetDevCapsA = GetDevCaps;
    api.lineGetIDA = GetID;
    api.lineGetRequestA = GetRequest;
    api.lineGetStatusMessages = GetStatusMessages;
    api.lineGetTranslateCapsA = GetTranslateCaps;
    api.lineHold = Hold;
    api.lineInitializeExA = Initialize;
    api.lineMakeCallA = MakeCall;
    api.lineNegotiateAPIVersion = Negotiate;
    api.lineOpenA = Open;
    api.lineParkA = Park;
    api.linePickupA = Pickup;
    api.lineRedirectA = Redirect;
    api.lineRegisterRequestRecipient = RegisterRecipient;
    api.lineSetCurrentLocation = SetLocation;
    api.lineSetStatusMessages = SetStatusMessages;
    api.lineSetTollListA = SetTollList;
    api.lineShutdown = Shutdown;
    api.lineTranslateAddress = TranslateAddress;
    api.lineTranslateDialog = TranslateDialog;
    api.lineUnhold = Unhold;
    api.lineUnparkA = Unpark;
    SetTapi(api);

    Screen& s = g_screen;
    auto event = [&](std::string text) { s.events.push_back(std::move(text)); };
    DialerView v;
    v.messageBox = [&](std::string_view text, std::string_view caption, uint32_t flags) {
        s.boxes.push_back({std::string(text), std::string(caption), flags});
        if (s.answers.empty())
            return kIdOk;
        const int answer = s.answers.front();
        s.answers.pop_front();
        return answer;
    };
    v.addRow = [&](std::string_view text) { s.rows.emplace_back(text); };
    v.setRowText = [&](int row, std::string_view text) { s.rows.at(static_cast<size_t>(row)) = text; };
    v.removeRow = [&](int row) { s.rows.erase(s.rows.begin() + row); };
    v.selectRow = [&](int row) { s.selected = row; };
    v.textWidth = [](std::string_view text) { return static_cast<int>(text.size()) * 6; };
    v.partyColumnWidth = 120;
    v.enableControl = [&](int id, bool on) { s.enabled[id] = on; };
    v.setControlText = [&](int id, std::string_view text) { s.texts[id] = text; };
    v.controlText = [&](int id) { return s.texts[id]; };
    v.postIdleWork = [event] { event("idle"); };
    v.pumpOneMessage = [&] { memplat::advance(s.pumpAdvanceMs); };
    v.postTapiReply = [event](HWND, WPARAM id, LPARAM code) {
        event("reply " + std::to_string(id) + " " + std::to_string(code));
    };
    v.restoreMainWindow = [event] { event("restore"); };
    v.releaseWindows = [event] { event("release"); };
    v.debugOutput = [event](std::string_view text) { event("debug " + std::string(text)); };
    v.showLineInUse = [event](std::string_view, std::string_view) { event("line in use"); };
    v.showDialingPrompt = [event](std::string_view text) { event("prompt " + std::string(text)); };
    v.closeDialingPrompt = [event] { event("prompt closed"); };
    v.showConference = [event](std::string_view a, std::string_view b) {
        event("conference " + std::string(a) + " " + std::string(b));
    };
    v.dtmfAppend = [event](char c) { event(std::string("dtmf ") + c); };
    v.now = [&] { return s.now; };
    SetView(v);
    ClearCalls();
    Calls().redial = RedialList{};
    ResetTelephony();
}

bool Logged(const std::string& entry) {
    return std::find(g_fake.log.begin(), g_fake.log.end(), entry) != g_fake.log.end();
}

LONG LastRequest(const std::string& function) {
    return g_fake.requests[function];
}

void Reply(LONG requestId, LONG result) {
    if (const auto it = g_fake.handles.find(requestId); it != g_fake.handles.end()) {
        if (result >= 0)
            *it->second.first = it->second.second;
        g_fake.handles.erase(it);
    }
    lineCallbackFunc(0, LINE_REPLY, 0, static_cast<DWORD_PTR>(requestId),
                     static_cast<DWORD_PTR>(static_cast<DWORD>(result)), 0);
}

void CallState(HCALL call, DWORD state, DWORD detail, DWORD_PTR instance) {
    lineCallbackFunc(call, LINE_CALLSTATE, instance, state, detail, 0);
}

bool Event(const std::string& entry) {
    return std::find(g_screen.events.begin(), g_screen.events.end(), entry) != g_screen.events.end();
}

}  // namespace zq::dialer::test
