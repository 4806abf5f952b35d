#include "core/telephony.h"

#include <new>
#include <span>

#include "core/calls.h"
#include "core/settings.h"
#include "core/tapi_api.h"
#include "core/view.h"
#include "zq/platform.h"
#include "zq/utf16.h"

namespace zq::dialer {
namespace {

TelephonyState g_tel;

// A provider that asks for more at every call is refused after this many.
constexpr int kMaxFetchRounds = 4;
constexpr char kLocalPhone[] = "Local Phone";
constexpr char kFirstRunSample[] = "+1 (212) 555-1234";
// Line states asked for besides those the line already reports: the
// counters changed, and the line entered or left service (the buttons).
constexpr DWORD kLineStates = LINEDEVSTATE_DEVSPECIFIC | LINEDEVSTATE_INSERVICE | LINEDEVSTATE_OUTOFSERVICE;

LONG E(DWORD code) {
    return static_cast<LONG>(code);
}

void PutWord(std::span<uint8_t> bytes, size_t at, DWORD value) {
    if (at + sizeof value <= bytes.size())
        std::memcpy(bytes.data() + at, &value, sizeof value);
}

bool EqualNoCase(std::string_view a, std::string_view b) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) { return lower(x) == lower(y); });
}

// A NUL-terminated text in a fixed char array of a request record.
template <size_t N>
std::string Field(const char (&text)[N]) {
    return std::string(text, static_cast<size_t>(std::find(text, text + N, '\0') - text));
}

void CloseLine(LineEntry& e) {
    if (e.line != 0)
        Tapi().lineClose(e.line);
    e.line = 0;
}

// ---- messages

struct CodeMessage {
    DWORD code;
    int id;
};

constexpr CodeMessage kCodeMessages[] = {
    {static_cast<DWORD>(kNoLineDevice), IDS_NO_VOICE_LINE},
    {static_cast<DWORD>(kLineClosed), IDS_LINE_CLOSED},
    {LINEERR_ALLOCATED, IDS_LINE_BUSY},
    {LINEERR_INUSE, IDS_LINE_BUSY},
    {LINEERR_RESOURCEUNAVAIL, IDS_LINE_BUSY},
    {LINEERR_INCOMPATIBLEAPIVERSION, IDS_INCOMPATIBLE},
    {LINEERR_INIFILECORRUPT, IDS_INI_CORRUPT},
    {LINEERR_INVALADDRESS, IDS_INVALID_ADDRESS},
    {LINEERR_INVALCALLSTATE, IDS_INVALID_CALL_STATE},
    {LINEERR_INVALMEDIAMODE, IDS_MODEM_INSTALLED},
    {LINEERR_NODRIVER, IDS_NO_DRIVER},
    {LINEERR_NOMEM, IDS_NO_MEMORY},
    {LINEERR_OPERATIONFAILED, IDS_OPERATION_FAILED},
    {LINEERR_ADDRESSBLOCKED, IDS_ADDRESS_BLOCKED},
    {LINEERR_BILLINGREJECTED, IDS_BILLING_REJECTED},
    {LINEERR_NOMULTIPLEINSTANCE, IDS_MULTIPLE_INSTANCE},
    {static_cast<DWORD>(ERR_NO_PREFERRED_LINE), IDS_NO_PREFERRED_LINE},
};

// The string table, in ErrorId order.
constexpr const char* kMessages[] = {
    "Velmora Dialer was unable to find a voice line. Please use the Telephony Control Panel to add or "
    "configure "
    "a voice line device driver.",
    "Velmora Dialer is unable to continue because the service provider closed the line. Please restart the "
    "Application.",
    "The selected line device is temporarily unable to handle requests from Velmora Dialer because of how it "
    "is "
    "being used by other applications.  Please try again after the other applications complete.",
    "The Telephony Service Provider for the selected line device is incompatible with TAPI.DLL. Use the "
    "Telephony Control Panel to install an updated version.",
    "Your Telephony configuration file may be corrupted.  Please use the Telephony Control Panel to try to "
    "repair it.",
    "The specified phone number either contains invalid characters, or is incorrectly formatted. Please "
    "check "
    "the \"Dial A Call\" section of the help file for more details.",
    "The service provider is unable to respond to your request at this time. Please try your call again.",
    "Velmora Dialer cannot run with a modem already installed. Please, uninstall the modem.",
    "The Telephony Service Provider for the selected line device indicates that one of its components may be "
    "missing. Please use the Telephony Control Panel to set up the driver properly.",
    "There was not enough memory to continue. Please close one or more applications to make more memory "
    "available.",
    "Windows Telephony was unable to complete an operation requested by Velmora Dialer.",
    "The specified phone number cannot be dialed on the selected line device because it is blocked at the "
    "telephone switch.",
    "The billing information specified as part of the phone number has been rejected.",
    "You have two copies of the same telephony driver installed. Please use the Telephony Control Panel to "
    "remove one of the copies.",
    "Velmora Dialer cannot open the line associated to the installed Service Provider - Be sure that another "
    "application or Service Provider does not use the same COM port, otherwise install again the Velmora "
    "7905 "
    "product.",
    "An internal error occurred in Velmora Dialer. Please quit and restart the Application",
};
static_assert(std::size(kMessages) == IDS_INTERNAL_ERROR);

// ---- start-up pieces

// Negotiates, opens and configures device j and reads its capabilities;
// false (and the line closed) when any step fails.
bool OpenLineDevice(int j) {
    TelephonyState& t = g_tel;
    LineEntry& e = t.lines[static_cast<size_t>(j)];
    const DWORD device = static_cast<DWORD>(j);
    DWORD version = 0;
    LINEEXTENSIONID ext{};
    if (Tapi().lineNegotiateAPIVersion(t.app, device, kApiVersion, kApiVersion, &version, &ext) != 0 ||
        version != kApiVersion)
        return false;
    e.apiVersion = version;
    HLINE line = 0;
    if (Tapi().lineOpenA(t.app, device, &line, version, 0, 0, LINECALLPRIVILEGE_OWNER,
                         LINEMEDIAMODE_INTERACTIVEVOICE, nullptr) != 0)
        return false;
    e.line = line;
    DWORD lineStates = 0, addressStates = 0;
    if (Tapi().lineGetStatusMessages(line, &lineStates, &addressStates) != 0 ||
        Tapi().lineSetStatusMessages(
            line, lineStates | kLineStates,
            addressStates | LINEADDRESSSTATE_DEVSPECIFIC | LINEADDRESSSTATE_FORWARD) != 0) {
        CloseLine(e);
        return false;
    }
    TapiBuffer caps;
    if (FetchTapiStruct(caps, kDevCapsFirst, [&](void* p) {
            return Tapi().lineGetDevCapsA(t.app, device, version, 0, static_cast<LINEDEVCAPS*>(p));
        }) != 0) {
        CloseLine(e);
        return false;
    }
    const auto dc = HeaderOf<LINEDEVCAPS>(caps);
    e.numAddresses = dc.dwNumAddresses;
    e.voice = (dc.dwMediaModes & LINEMEDIAMODE_INTERACTIVEVOICE) != 0;
    std::string name = TextAt(caps, dc.dwLineNameSize, dc.dwLineNameOffset, 127);
    if (name.empty())
        name = "Line " + std::to_string(j);
    e.name.set(name);
    return true;
}

// Keeps the line of the remembered name (the first opened line's name when
// none is remembered) that carries voice; the others are closed.
void ChooseLine() {
    TelephonyState& t = g_tel;
    std::string preferred = ReadSetting(kPreferenceKey, "Preferred Line", kLocalPhone, 128);
    for (int j = 0; j < t.lineCount; ++j) {
        LineEntry& e = t.lines[static_cast<size_t>(j)];
        if (e.line == 0)
            continue;
        if (preferred != kLocalPhone && !EqualNoCase(preferred, e.name.view())) {
            CloseLine(e);
            continue;
        }
        if (preferred == kLocalPhone) {
            preferred = e.name.str();
            WriteSetting(kPreferenceKey, "Preferred Line", preferred);
        }
        if (!e.voice) {
            CloseLine(e);
            continue;
        }
        // A later line of the same name replaces an earlier one, which is
        // closed: its calls would otherwise mix with the current line's.
        if (LineEntry* previous = CurrentLine())
            CloseLine(*previous);
        t.currentLine = j;
    }
}

LONG ChooseAddress() {
    TelephonyState& t = g_tel;
    const std::string preferred = ReadSetting(kPreferenceKey, "Preferred Address", "xxx-xxxx", 128);
    t.currentAddress = 0;
    const DWORD count = std::min(CurrentLine()->numAddresses, kMaxAddresses);
    for (DWORD a = 0; a < count; ++a) {
        std::string name;
        if (const LONG r = ReadAddressName(t.currentLine, a, name); r != 0)
            return r;
        if (name == preferred) {
            t.currentAddress = a;
            break;
        }
    }
    return 0;
}

// ---- callback pieces

void ReadForwardState() {
    LineEntry* e = CurrentLine();
    if (e == nullptr || e->line == 0)
        return;
    TapiBuffer status;
    if (ReadAddressStatus(*e, status) != 0)
        return;
    const auto st = HeaderOf<LINEADDRESSSTATUS>(status);
    // Only the TAPI 2.0 part of the first entry is read.
    LINEFORWARD first{};
    if (st.dwForwardNumEntries >= 1 &&
        ReadAt(status, st.dwForwardOffset, &first, offsetof(LINEFORWARD, dwCallerAddressType))) {
        e->forwardMode = first.dwForwardMode;
        e->forwardDest.set(TextAt(status, first.dwDestAddressSize, first.dwDestAddressOffset, 79));
    } else {
        e->forwardMode = 0;
        e->forwardDest.set("");
    }
    ShowForwardState();
}

bool AddressMatches(const LineEntry& e, DWORD address, const LINEREQMEDIACALL& req) {
    constexpr uint32_t kVarStringSize = 64;
    TapiBuffer id;
    id.bytes.assign(kVarStringSize, 0);
    PutWord(id.bytes, 0, kVarStringSize);
    const std::string deviceClass = Field(req.szDeviceClass);
    if (Tapi().lineGetIDA(e.line, address, 0, LINECALLSELECT_ADDRESS,
                          reinterpret_cast<VARSTRING*>(id.bytes.data()), deviceClass.c_str()) != 0)
        return false;
    const auto vs = HeaderOf<VARSTRING>(id);
    std::array<uint8_t, sizeof req.ucDeviceID> got{};
    if (req.dwSize > got.size() || vs.dwStringSize != req.dwSize ||
        !ReadAt(id, vs.dwStringOffset, got.data(), req.dwSize))
        return false;
    return std::memcmp(got.data(), req.ucDeviceID, req.dwSize) == 0;
}

bool AddressIsSecure(int lineIndex, DWORD address) {
    TapiBuffer caps;
    if (FetchTapiStruct(caps, kAddressCapsFirst, [&](void* p) {
            return Tapi().lineGetAddressCapsA(g_tel.app, static_cast<DWORD>(lineIndex), address, kApiVersion,
                                              0, static_cast<LINEADDRESSCAPS*>(p));
        }) != 0)
        return false;
    return (HeaderOf<LINEADDRESSCAPS>(caps).dwAddrCapFlags & LINEADDRCAPFLAGS_SECURE) != 0;
}

// The address of the request's device class and ID: on the current line
// if it has one, else the first in device order.
void PlaceMediaCall(const LINEREQMEDIACALL& req) {
    TelephonyState& t = g_tel;
    int line = -1;
    DWORD address = 0;
    auto search = [&](int j) {
        const LineEntry& e = t.lines[static_cast<size_t>(j)];
        for (DWORD a = 0; e.line != 0 && line < 0 && a < std::min(e.numAddresses, kMaxAddresses); ++a) {
            if (AddressMatches(e, a, req)) {
                line = j;
                address = a;
            }
        }
    };
    if (t.currentLine >= 0)
        search(t.currentLine);
    for (int j = 0; line < 0 && j < t.lineCount; ++j)
        search(j);
    if (line < 0) {
        View().postTapiReply(req.hWnd, req.wRequestID, TAPIERR_DEVICEIDUNAVAIL);
        return;
    }
    AssistedRequest assisted;
    assisted.window = req.hWnd;
    assisted.requestId = req.wRequestID;
    assisted.secure = req.dwSecure != 0 && AddressIsSecure(line, address);
    PlaceCall(Field(req.szDestAddress), Field(req.szCalledParty), "", line, address, -1, &assisted);
}

DialerView WithDefaults(DialerView v) {
    auto fill = [](auto& hook, auto fallback) {
        if (!hook)
            hook = fallback;
    };
    fill(v.messageBox, [](std::string_view, std::string_view, uint32_t) { return 0; });
    fill(v.beep, [](uint32_t) {});
    fill(v.addRow, [](std::string_view) {});
    fill(v.setRowText, [](int, std::string_view) {});
    fill(v.removeRow, [](int) {});
    fill(v.selectRow, [](int) {});
    fill(v.textWidth, [](std::string_view) { return 0; });
    fill(v.enableControl, [](int, bool) {});
    fill(v.setControlText, [](int, std::string_view) {});
    fill(v.controlText, [](int) { return std::string(); });
    fill(v.showRedialList, [](const RedialList&) {});
    fill(v.hourglass, [](bool) {});
    fill(v.postIdleWork, [] {});
    fill(v.pumpOneMessage, [] {});
    fill(v.postTapiReply, [](HWND, WPARAM, LPARAM) {});
    fill(v.restoreMainWindow, [] {});
    fill(v.releaseWindows, [] {});
    fill(v.debugOutput, [](std::string_view) {});
    fill(v.showLineInUse, [](std::string_view, std::string_view) {});
    fill(v.showDialingPrompt, [](std::string_view) {});
    fill(v.closeDialingPrompt, [] {});
    fill(v.showTransferChoice, [](const TransferChoice&) {});
    fill(v.closeTransferChoice, [] {});
    fill(v.showConference, [](std::string_view, std::string_view) {});
    fill(v.closeConference, [] {});
    fill(v.showDtmf, [] {});
    fill(v.dtmfAppend, [](char) {});
    fill(v.closeDtmf, [] {});
    fill(v.now, [] { return std::time(nullptr); });
    fill(v.toAnsi, [](std::u16string_view text) { return Utf16ToUtf8(text); });
    return v;
}

DialerView g_view = WithDefaults({});

}  // namespace

const DialerView& View() {
    return g_view;
}

void SetView(const DialerView& view) {
    g_view = WithDefaults(view);
}

TelephonyState& Telephony() {
    return g_tel;
}

void ResetTelephony() {
    g_tel = TelephonyState{};
}

LineEntry* CurrentLine() {
    return LineAt(g_tel.currentLine);
}

LineEntry* LineAt(int index) {
    if (index < 0 || index >= g_tel.lineCount)
        return nullptr;
    return &g_tel.lines[static_cast<size_t>(index)];
}

// ---- variable-size structures

LONG FetchTapiStruct(TapiBuffer& buf, uint32_t firstSize, const std::function<LONG(void*)>& fetch) {
    uint32_t size = std::max<uint32_t>(firstSize, 3 * sizeof(DWORD));
    try {
        for (int round = 0; round < kMaxFetchRounds; ++round) {
            buf.bytes.assign(size, 0);
            PutWord(buf.bytes, 0, size);
            if (const LONG r = fetch(buf.bytes.data()); r != 0)
                return r;
            const DWORD needed = HeaderOf<VARSTRING>(buf).dwNeededSize;
            if (needed <= size)
                return 0;
            if (needed > kMaxTapiStructSize)
                break;
            size = needed;
        }
    } catch (const std::bad_alloc&) {
    }
    buf.bytes.clear();
    return E(LINEERR_NOMEM);
}

bool ReadAt(const TapiBuffer& buf, uint64_t at, void* out, size_t size) {
    const uint64_t used = std::min<uint64_t>(buf.bytes.size(), HeaderOf<VARSTRING>(buf).dwUsedSize);
    if (at > used || size > used - at)
        return false;
    std::memcpy(out, buf.bytes.data() + at, size);
    return true;
}

std::string TextAt(const TapiBuffer& buf, DWORD size, DWORD offset, size_t max) {
    const uint64_t used = std::min<uint64_t>(buf.bytes.size(), HeaderOf<VARSTRING>(buf).dwUsedSize);
    if (size == 0 || offset > used || size > used - offset)
        return {};
    const auto first = buf.bytes.begin() + offset;
    const auto last = std::find(first, first + size, uint8_t{0});
    std::string text(first, last);
    text.resize(std::min(text.size(), max));
    return text;
}

LONG ReadTranslateCaps(DWORD apiVersion, TranslateCapsInfo& info) {
    info = TranslateCapsInfo{};
    TapiBuffer caps;
    if (const LONG r = FetchTapiStruct(caps, kTranslateCapsFirst,
                                       [&](void* p) {
                                           return Tapi().lineGetTranslateCapsA(
                                               g_tel.app, apiVersion, static_cast<LINETRANSLATECAPS*>(p));
                                       });
        r != 0)
        return r;
    const auto tc = HeaderOf<LINETRANSLATECAPS>(caps);
    info.currentLocationId = tc.dwCurrentLocationID;
    // Each entry is read within the used part, so a count that claims more
    // than the buffer holds ends at its end.
    for (DWORD i = 0; i < tc.dwNumLocations; ++i) {
        LINELOCATIONENTRY loc{};
        if (!ReadAt(caps, uint64_t{tc.dwLocationListOffset} + uint64_t{i} * sizeof loc, &loc, sizeof loc))
            break;
        info.locations.push_back({loc.dwPermanentLocationID, loc.dwCountryCode,
                                  TextAt(caps, loc.dwLocationNameSize, loc.dwLocationNameOffset, 127),
                                  TextAt(caps, loc.dwCityCodeSize, loc.dwCityCodeOffset, 3)});
    }
    for (DWORD i = 0; i < tc.dwNumCards; ++i) {
        LINECARDENTRY card{};
        if (!ReadAt(caps, uint64_t{tc.dwCardListOffset} + uint64_t{i} * sizeof card, &card, sizeof card))
            break;
        info.cards.emplace_back(card.dwPermanentCardID,
                                TextAt(caps, card.dwCardNameSize, card.dwCardNameOffset, 127));
    }
    return 0;
}

const LocationInfo* CurrentLocation(const TranslateCapsInfo& info) {
    const auto it = std::find_if(info.locations.begin(), info.locations.end(), [&](const LocationInfo& l) {
        return l.permanentId == info.currentLocationId;
    });
    return it != info.locations.end() ? &*it : nullptr;
}

LONG ReadAddressStatus(const LineEntry& line, TapiBuffer& status) {
    return FetchTapiStruct(status, kAddressStatusFirst, [&](void* p) {
        return Tapi().lineGetAddressStatusA(line.line, 0, static_cast<LINEADDRESSSTATUS*>(p));
    });
}

LONG ReadAddressName(int lineIndex, DWORD address, std::string& name) {
    TapiBuffer caps;
    if (const LONG r = FetchTapiStruct(caps, kAddressCapsFirst,
                                       [&](void* p) {
                                           return Tapi().lineGetAddressCapsA(
                                               g_tel.app, static_cast<DWORD>(lineIndex), address, kApiVersion,
                                               0, static_cast<LINEADDRESSCAPS*>(p));
                                       });
        r != 0)
        return r;
    const auto ac = HeaderOf<LINEADDRESSCAPS>(caps);
    name = TextAt(caps, ac.dwAddressSize, ac.dwAddressOffset, 127);
    if (name.empty())
        name = "Address " + std::to_string(address);
    return 0;
}

// ---- operations

bool FirstRunCheck() {
    plat::RegKey* key = nullptr;
    bool found = false;
    if (plat::reg_open_key(plat::reg_root(plat::RegRoot::LocalMachine), kLocationsKey, &key) ==
        plat::kErrSuccess) {
        std::array<uint8_t, 16> data{};
        uint32_t type = 0, size = 0;
        const uint32_t err = plat::reg_query_value(key, "NumEntries", &type, data, &size);
        found = err == plat::kErrSuccess || err == plat::kErrMoreData;
        plat::reg_close_key(key);
    }
    if (found)
        return true;
    View().messageBox(kFirstRunText, kAppCaption, kMbTaskModal | kMbIconExclamation);
    Tapi().lineTranslateDialog(0, 0, kApiVersion, nullptr, kFirstRunSample);
    return false;
}

bool StartDialer(HINSTANCE instance) {
    ClearCalls();
    ResetTelephony();
    // The provider's line name is read as the provider expects; nothing
    // here depends on it.
    ReadSetting(kProviderLineKey, "LineName", "VELMORA_ZQ_5300_2.0_3", 256);
    FirstRunCheck();
    LONG r = StartTelephony(instance);
    if (r == 0)
        r = LoadLocationAndCard();
    if (r != 0) {
        FatalError(r);
        return false;
    }
    QueryDevSpecific();
    if (!RegisterAsRecipient(true))
        View().messageBox(kRegisterFailedText, kWarningCaption, kMbTaskModal | kMbIconExclamation);
    UpdateButtons();
    return true;
}

LONG StartTelephony(HINSTANCE instance) {
    TelephonyState& t = g_tel;
    t.instance = instance;
    HLINEAPP app = 0;
    DWORD numDevs = 0;
    bool asked = false;
    uint32_t lastAsk = 0;
    LONG r = 0;
    for (;;) {
        LINEINITIALIZEEXPARAMS params{};
        params.dwTotalSize = sizeof params;
        params.dwOptions = LINEINITIALIZEEXOPTION_USEHIDDENWINDOW;
        DWORD version = kApiVersion;
        r = Tapi().lineInitializeExA(&app, instance, lineCallbackFunc, kAppName, &numDevs, &version, &params);
        if (r != E(LINEERR_REINIT))
            break;
        View().pumpOneMessage();
        if (!asked || plat::time_ms() - lastAsk >= kReinitAskPeriodMs) {
            if (View().messageBox(kReinitText, kWarningCaption, kMbRetryCancel) != kIdRetry)
                return r;
            asked = true;
            lastAsk = plat::time_ms();
        }
    }
    if (r != 0)
        return r;
    t.app = app;
    t.numDevs = numDevs;
    t.initialised = true;
    if (numDevs == 0)
        return kNoLineDevice;

    t.prefix.set(ReadSetting(kPreferenceKey, "Prefix", "", 5));
    t.currentLine = -1;
    t.lineCount = static_cast<int>(std::min<DWORD>(numDevs, kMaxLineDevices));
    t.lines.fill(LineEntry{});
    for (int j = 0; j < t.lineCount; ++j)
        OpenLineDevice(j);
    ChooseLine();
    if (CurrentLine() == nullptr)
        return ERR_NO_PREFERRED_LINE;
    ShowForwardState();
    return ChooseAddress();
}

LONG LoadLocationAndCard() {
    TelephonyState& t = g_tel;
    const LineEntry* line = CurrentLine();
    TranslateCapsInfo info;
    const LONG r = ReadTranslateCaps(line != nullptr ? line->apiVersion : kApiVersion, info);
    t.translationAvailable = false;
    if (r != 0 || info.cards.empty()) {
        t.locationName.set("Unknown");
        t.areaCode.set("");
        t.cardName.set("Unknown");
        return r;
    }
    const LocationInfo* current = CurrentLocation(info);
    t.locationName.set(current != nullptr ? current->name : "Unknown");
    t.areaCode.set(current != nullptr ? current->cityCode : "");
    const std::string preferred =
        ReadSetting(kPreferenceKey, "Preferred Calling Card", "None (Direct Dial)", 128);
    auto card = std::find_if(info.cards.begin(), info.cards.end(),
                             [&](const auto& c) { return EqualNoCase(c.second, preferred); });
    if (card == info.cards.end())
        card = info.cards.begin();
    t.cardId = card->first;
    t.cardName.set(card->second);
    t.translationAvailable = true;
    return 0;
}

bool RegisterAsRecipient(bool enable) {
    TelephonyState& t = g_tel;
    const std::pair<DWORD, bool*> modes[] = {{LINEREQUESTMODE_MAKECALL, &t.makeCallRegistered},
                                             {LINEREQUESTMODE_MEDIACALL, &t.mediaCallRegistered}};
    for (const auto& [mode, state] : modes) {
        if (*state == enable)
            continue;
        if (Tapi().lineRegisterRequestRecipient(t.app, 0, mode, enable ? 1 : 0) != 0)
            return false;
        *state = enable;
    }
    return true;
}

void StopTelephony(bool deregister) {
    TelephonyState& t = g_tel;
    if (!t.initialised)
        return;
    if (deregister)
        RegisterAsRecipient(false);
    // Every open line, not only those before the first closed entry.
    for (int j = 0; j < t.lineCount; ++j)
        CloseLine(t.lines[static_cast<size_t>(j)]);
    t.lineCount = 0;
    t.currentLine = -1;
    Tapi().lineShutdown(t.app);
    t.app = 0;
    t.initialised = false;
    t.makeCallRegistered = false;
    t.mediaCallRegistered = false;
}

void QueryDevSpecific() {
    LineEntry* e = CurrentLine();
    if (e == nullptr || e->line == 0)
        return;
    e->devSpecific.fill(0);
    PutWord(e->devSpecific, 0, kDevSpecificSize);
    const LONG r = Tapi().lineDevSpecific(e->line, 0, 0, e->devSpecific.data(), kDevSpecificSize);
    if (r >= 0)
        e->devSpecificRequest = r;
}

void CALLBACK lineCallbackFunc(DWORD hDevice, DWORD dwMessage, DWORD_PTR dwInstance, DWORD_PTR dwParam1,
                               DWORD_PTR dwParam2, DWORD_PTR dwParam3) {
    TelephonyState& t = g_tel;
    const DWORD p1 = static_cast<DWORD>(dwParam1);
    switch (dwMessage) {
        case LINE_ADDRESSSTATE:
            if ((p1 & LINEADDRESSSTATE_FORWARD) != 0)
                ReadForwardState();
            break;
        case LINE_CALLINFO:
            RefreshCallParty(hDevice, p1);
            break;
        case LINE_CALLSTATE:
            OnCallState(hDevice, dwInstance, p1, static_cast<DWORD>(dwParam2), static_cast<DWORD>(dwParam3));
            break;
        case LINE_CLOSE:
            // One LINE_CLOSE per open line: the first one stops everything.
            if (t.initialised)
                FatalError(kLineClosed);
            break;
        case LINE_LINEDEVSTATE:
            if ((p1 & LINEDEVSTATE_DEVSPECIFIC) != 0)
                QueryDevSpecific();
            // The line comes into service some seconds after it is opened:
            // only then may calls be placed.
            if ((p1 & (LINEDEVSTATE_INSERVICE | LINEDEVSTATE_OUTOFSERVICE)) != 0)
                UpdateButtons();
            if ((p1 & LINEDEVSTATE_REINIT) != 0)
                t.reinitPending = true;
            break;
        case LINE_REPLY:
            OnReply(static_cast<LONG>(p1), static_cast<LONG>(static_cast<DWORD>(dwParam2)));
            break;
        case LINE_REQUEST:
            if (p1 == LINEREQUESTMODE_MAKECALL)
                t.makeCallPending = true;
            else if (p1 == LINEREQUESTMODE_MEDIACALL)
                t.mediaCallPending = true;
            else if (p1 == LINEREQUESTMODE_DROP)
                OnDropRequest(reinterpret_cast<HWND>(dwParam2), static_cast<WPARAM>(dwParam3));
            if (t.makeCallPending || t.mediaCallPending)
                View().postIdleWork();
            break;
        case LINE_APPNEWCALL:
            if (dwInstance == 0 && (dwParam3 & (LINECALLPRIVILEGE_MONITOR | LINECALLPRIVILEGE_OWNER)) != 0)
                View().restoreMainWindow();
            break;
        case LINE_CREATE:
        case LINE_DEVSPECIFIC:
        case LINE_DEVSPECIFICFEATURE:
        case LINE_GATHERDIGITS:
        case LINE_GENERATE:
        case LINE_MONITORDIGITS:
        case LINE_MONITORMEDIA:
        case LINE_MONITORTONE:
            break;
        default:
            View().debugOutput(kIgnoredMessageText);
            break;
    }
}

void IdleWork() {
    TelephonyState& t = g_tel;
    if (OwnCallActive())
        return;
    if (t.reinitPending) {
        t.reinitPending = false;
        StopTelephony(true);
        ForgetCalls();
        LONG r = StartTelephony(t.instance);
        if (r == 0)
            r = LoadLocationAndCard();
        if (r != 0) {
            FatalError(r);
            return;
        }
        QueryDevSpecific();
        if (!RegisterAsRecipient(true))
            View().messageBox(kRegisterFailedText, kWarningCaption, kMbTaskModal | kMbIconExclamation);
        UpdateButtons();
    }
    if (!t.initialised)
        return;
    // Any failure to fetch ends the request: retrying it at every idle
    // moment would never stop.
    if (t.makeCallPending) {
        LINEREQMAKECALL req{};
        if (Tapi().lineGetRequestA(t.app, LINEREQUESTMODE_MAKECALL, &req) == 0)
            StartDial(Field(req.szDestAddress), Field(req.szCalledParty), "");
        else
            t.makeCallPending = false;
    } else if (t.mediaCallPending) {
        LINEREQMEDIACALL req{};
        if (Tapi().lineGetRequestA(t.app, LINEREQUESTMODE_MEDIACALL, &req) == 0)
            PlaceMediaCall(req);
        else
            t.mediaCallPending = false;
    }
    if (t.makeCallPending || t.mediaCallPending)
        View().postIdleWork();
}

// ---- messages

int ErrorMessageId(LONG code) {
    for (const CodeMessage& m : kCodeMessages) {
        if (m.code == static_cast<DWORD>(code))
            return m.id;
    }
    return IDS_INTERNAL_ERROR;
}

std::string_view ErrorMessageText(int id) {
    if (id < IDS_NO_VOICE_LINE || id > IDS_INTERNAL_ERROR)
        id = IDS_INTERNAL_ERROR;
    return kMessages[id - 1];
}

void ShowError(LONG code) {
    ShowWarning(ErrorMessageText(ErrorMessageId(code)));
}

void ShowWarning(std::string_view text) {
    View().messageBox(text, kWarningCaption, kMbTaskModal | kMbIconExclamation);
}

void ShowReplyError(LONG code) {
    View().messageBox(ErrorMessageText(ErrorMessageId(code)), kReplyCaption, kMbOk);
}

void FatalError(LONG code) {
    View().messageBox(ErrorMessageText(ErrorMessageId(code)), kAppCaption, kMbIconExclamation);
    StopTelephony();
    View().releaseWindows();
}

std::string Utf16ToUtf8(std::u16string_view text) {
    return WideToUtf8(text.substr(0, text.find(u'\0')));
}

}  // namespace zq::dialer
