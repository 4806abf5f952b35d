// A Windows program bound to tapi32.dll as the dialer binds it
// (LoadLibraryA("TAPI32.DLL") and GetProcAddress), run under Wine by
// tests/wine/tapiapp.sh. It proves that the project's tapi32.dll was loaded
// (zqtapiIdentify, which Wine's builtin lacks), then does one of:
//
//   tapiapp [--number 2010] [--port COM1] [--seconds 20]
//       On a thread of its own with a message loop and
//       LINEINITIALIZEEXOPTION_USEHIDDENWINDOW: opens line 0, calls the
//       number once the line is in service, drops the call when it is
//       CONNECTED, deallocates it at IDLE and, once the drop has its reply,
//       closes the line and shuts down, from inside the callback. Each
//       callback is printed with the thread it ran on.
//   tapiapp --recipient [--port COM1] [--seconds 20]
//       The same, as the registered MAKECALL recipient: the number comes
//       from another program's tapiRequestMakeCallA.
//       With --event, either runs with LINEINITIALIZEEXOPTION_USEEVENT
//       instead: the thread waits for the event and takes the messages with
//       lineGetMessage.
//   tapiapp --request NUMBER
//       That other program.
//   tapiapp --location
//       The dialer's first run: lineTranslateDialog with no application and
//       no owner, on a location store that does not exist yet; a second
//       thread fills the dialog in and presses OK; the location is read
//       back. The store is removed before and after.
//
// Before loading the library the calling modes write, in their own
// registry view, what an installation would: the provider's port and
// speed, and the provider list naming zq_6232.tsp, which tapi32.dll then
// finds beside itself. Exit code 0 only when every step succeeded and every
// callback ran on its thread.
#include <windows.h>
// windows.h first: the TAPI headers use its types.
#include <tapi.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "tapi32_resource.h"
#include "zq/tapi_words.h"

namespace {

namespace words = zq::words;

constexpr DWORD kApiVersion = 0x00020000;
constexpr DWORD kLowApiVersion = 0x00010004;
constexpr DWORD_PTR kLineInstance = 7;
constexpr DWORD kLineStates =
    LINEDEVSTATE_CONNECTED | LINEDEVSTATE_DISCONNECTED | LINEDEVSTATE_INSERVICE | LINEDEVSTATE_OUTOFSERVICE;
// The provider refuses calls while it reads the set's configuration for
// the first time after the line came into service, and says nothing when
// it is done: a refused call is tried again for a while.
constexpr DWORD kRetryEveryMs = 500;
constexpr int kMaxTries = 20;
constexpr UINT kTickMs = 100;

enum class Mode { Call, Recipient, Request, Location };

struct Options {
    Mode mode = Mode::Call;
    const char* number = "2010";
    const char* port = "COM1";
    unsigned seconds = 20;
    bool event = false;  // LINEINITIALIZEEXOPTION_USEEVENT
};

// The functions, typed from the SDK's declarations, bound by name.
struct Tapi {
    decltype(&lineInitializeExA) initializeEx = nullptr;
    decltype(&lineNegotiateAPIVersion) negotiateApiVersion = nullptr;
    decltype(&lineOpenA) open = nullptr;
    decltype(&lineSetStatusMessages) setStatusMessages = nullptr;
    decltype(&lineMakeCallA) makeCall = nullptr;
    decltype(&lineDrop) drop = nullptr;
    decltype(&lineDeallocateCall) deallocateCall = nullptr;
    decltype(&lineClose) close = nullptr;
    decltype(&lineShutdown) shutdown = nullptr;
    decltype(&lineGetMessage) getMessage = nullptr;
    decltype(&lineRegisterRequestRecipient) registerRequestRecipient = nullptr;
    decltype(&lineGetRequestA) getRequest = nullptr;
    decltype(&tapiRequestMakeCallA) requestMakeCall = nullptr;
    decltype(&lineTranslateDialogA) translateDialog = nullptr;
    decltype(&lineGetTranslateCapsA) getTranslateCaps = nullptr;
};

using IdentifyFunction = LPCSTR(WINAPI*)();

// What the TAPI thread and its callback share; both run on that thread.
struct Run {
    Options options;
    Tapi tapi;
    DWORD tapiThread = 0;
    DWORD start = 0;
    HLINEAPP app = 0;
    HLINE line = 0;
    HCALL call = 0;
    std::string number;  // to call, once known
    LONG makeCallRequest = 0;
    LONG dropRequest = 0;
    int tries = 0;
    DWORD retryAt = 0;  // 0: no retry pending
    bool inService = false;
    bool connected = false;
    bool idle = false;
    bool finished = false;  // shut down
    bool failed = false;
    bool foreignThread = false;
};

Run g_run;

void Say(const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::printf("[%5lu ms] %s\n", static_cast<unsigned long>(GetTickCount() - g_run.start), text);
    std::fflush(stdout);
}

void Fail(const char* what) {
    Say("failed: %s", what);
    g_run.failed = true;
}

// A synchronous result: printed, and a failure noted.
bool Check(const char* what, LONG result) {
    Say("%s: %s", what, words::Result(result).c_str());
    if (result != 0)
        g_run.failed = true;
    return result == 0;
}

bool WriteString(HKEY key, const char* name, const char* value) {
    return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                          static_cast<DWORD>(std::strlen(value) + 1)) == ERROR_SUCCESS;
}

bool WriteDword(HKEY key, const char* name, DWORD value) {
    return RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value) ==
           ERROR_SUCCESS;
}

bool WriteSettings(const Options& o) {
    HKEY key = nullptr;
    bool ok = RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Velmora\\TSpi_6200\\Provider", 0, nullptr, 0,
                              KEY_SET_VALUE, nullptr, &key, nullptr) == ERROR_SUCCESS;
    ok = ok && WriteString(key, "Port", o.port) && WriteString(key, "Speed", "9600");
    if (key != nullptr)
        RegCloseKey(key);
    key = nullptr;
    ok = ok && RegCreateKeyExA(HKEY_LOCAL_MACHINE,
                               "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Telephony\\Providers", 0,
                               nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) == ERROR_SUCCESS;
    ok = ok && WriteDword(key, "NumProviders", 1) && WriteString(key, "ProviderFileName0", "zq_6232.tsp") &&
         WriteDword(key, "ProviderID0", 1);
    if (key != nullptr)
        RegCloseKey(key);
    Say("setup: provider on %s, provider list zq_6232.tsp: %s", o.port, ok ? "written" : "failed");
    return ok;
}

template <typename F>
bool Bind(HMODULE module, const char* name, F& slot) {
    slot = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    if (slot == nullptr)
        Say("GetProcAddress(%s): missing", name);
    return slot != nullptr;
}

bool BindTapi(HMODULE m, Tapi& t) {
    // Not &&: every missing function is reported.
    return Bind(m, "lineInitializeExA", t.initializeEx) &
           Bind(m, "lineNegotiateAPIVersion", t.negotiateApiVersion) & Bind(m, "lineOpenA", t.open) &
           Bind(m, "lineSetStatusMessages", t.setStatusMessages) & Bind(m, "lineMakeCallA", t.makeCall) &
           Bind(m, "lineDrop", t.drop) & Bind(m, "lineDeallocateCall", t.deallocateCall) &
           Bind(m, "lineClose", t.close) & Bind(m, "lineShutdown", t.shutdown) &
           Bind(m, "lineGetMessage", t.getMessage) &
           Bind(m, "lineRegisterRequestRecipient", t.registerRequestRecipient) &
           Bind(m, "lineGetRequestA", t.getRequest) & Bind(m, "tapiRequestMakeCallA", t.requestMakeCall) &
           // The dialer binds the plain name.
           Bind(m, "lineTranslateDialog", t.translateDialog) &
           Bind(m, "lineGetTranslateCapsA", t.getTranslateCaps);
}

void MakeCall() {
    ++g_run.tries;
    g_run.retryAt = 0;
    g_run.call = 0;
    const char* number = g_run.number.c_str();
    const LONG id = g_run.tapi.makeCall(g_run.line, &g_run.call, number, 0, nullptr);
    if (id > 0) {
        g_run.makeCallRequest = id;
        Say("lineMakeCallA %s: request %ld", number, static_cast<long>(id));
    } else {
        Say("lineMakeCallA %s: %s", number, words::Result(id).c_str());
        if (id == static_cast<LONG>(LINEERR_OPERATIONFAILED) && g_run.tries < kMaxTries)
            g_run.retryAt = GetTickCount() + kRetryEveryMs;
        else
            Fail("make call refused");
    }
}

// The call goes once the line is in service and the number known.
void MaybeCall() {
    if (g_run.inService && !g_run.number.empty() && g_run.tries == 0)
        MakeCall();
}

// Another program's request, taken as the dialer takes it.
void OnRequest(DWORD_PTR mode) {
    if (g_run.options.mode != Mode::Recipient || mode != LINEREQUESTMODE_MAKECALL || !g_run.number.empty())
        return;
    LINEREQMAKECALL request{};
    const LONG r = g_run.tapi.getRequest(g_run.app, LINEREQUESTMODE_MAKECALL, &request);
    Say("lineGetRequestA: %s, call \"%s\" to \"%s\" for \"%s\"", words::Result(r).c_str(),
        request.szDestAddress, request.szCalledParty, request.szAppName);
    if (r != 0 || request.szDestAddress[0] == '\0') {
        Fail("request");
        return;
    }
    g_run.number = request.szDestAddress;
    MaybeCall();
}

// Once the call is idle and the drop has its reply: the line goes, then
// the application, from inside the callback.
void FinishWhenDone() {
    if (!g_run.idle || g_run.dropRequest != 0)
        return;
    Check("lineClose", g_run.tapi.close(g_run.line));
    g_run.line = 0;
    Check("lineShutdown", g_run.tapi.shutdown(g_run.app));
    g_run.app = 0;
    g_run.finished = true;
    PostQuitMessage(0);
}

void OnReply(DWORD_PTR request, LONG result) {
    const auto id = static_cast<LONG>(request);
    if (id == g_run.makeCallRequest) {
        g_run.makeCallRequest = 0;
        if (result == 0) {
            Say("make call: ok, hCall 0x%lx", static_cast<unsigned long>(g_run.call));
        } else if (result == static_cast<LONG>(LINEERR_OPERATIONFAILED) && g_run.tries < kMaxTries) {
            g_run.retryAt = GetTickCount() + kRetryEveryMs;
        } else {
            Fail("make call");
        }
    } else if (id == g_run.dropRequest) {
        g_run.dropRequest = 0;
        if (result != 0)
            Fail("drop");
        FinishWhenDone();
    }
}

void OnCallState(DWORD hCall, DWORD state) {
    if (hCall != g_run.call) {
        Fail("a state for another call handle");
        return;
    }
    if (state == LINECALLSTATE_CONNECTED && !g_run.connected) {
        g_run.connected = true;
        const LONG id = g_run.tapi.drop(g_run.call, nullptr, 0);
        Say("lineDrop: %s", id > 0 ? ("request " + std::to_string(id)).c_str() : words::Result(id).c_str());
        if (id > 0)
            g_run.dropRequest = id;
        else
            Fail("drop refused");
    } else if (state == LINECALLSTATE_IDLE) {
        g_run.idle = true;
        Check("lineDeallocateCall", g_run.tapi.deallocateCall(g_run.call));
        g_run.call = 0;
        FinishWhenDone();
    }
}

std::string Describe(DWORD hDevice, DWORD msg, DWORD_PTR p1, DWORD_PTR p2, DWORD_PTR p3) {
    char text[160];
    switch (msg) {
        case LINE_REPLY:
            std::snprintf(text, sizeof text, "LINE_REPLY request %lu %s", static_cast<unsigned long>(p1),
                          words::Result(static_cast<LONG>(p2)).c_str());
            break;
        case LINE_CALLSTATE:
            std::snprintf(text, sizeof text, "LINE_CALLSTATE hCall 0x%lx %s privilege 0x%lx",
                          static_cast<unsigned long>(hDevice),
                          words::CallState(static_cast<uint32_t>(p1)).c_str(),
                          static_cast<unsigned long>(p3));
            break;
        case LINE_CALLINFO:
            std::snprintf(text, sizeof text, "LINE_CALLINFO hCall 0x%lx %s",
                          static_cast<unsigned long>(hDevice),
                          words::Bits(words::kCallInfoStates, static_cast<uint32_t>(p1)).c_str());
            break;
        case LINE_REQUEST:
            std::snprintf(text, sizeof text, "LINE_REQUEST mode %s",
                          p1 == LINEREQUESTMODE_MAKECALL ? "MAKECALL" : std::to_string(p1).c_str());
            break;
        case LINE_LINEDEVSTATE:
            std::snprintf(text, sizeof text, "LINE_LINEDEVSTATE hLine 0x%lx %s",
                          static_cast<unsigned long>(hDevice),
                          words::Bits(words::kDevStates, static_cast<uint32_t>(p1)).c_str());
            break;
        default:
            std::snprintf(text, sizeof text, "message %lu dev 0x%lx p 0x%llx 0x%llx 0x%llx",
                          static_cast<unsigned long>(msg), static_cast<unsigned long>(hDevice),
                          static_cast<unsigned long long>(p1), static_cast<unsigned long long>(p2),
                          static_cast<unsigned long long>(p3));
            break;
    }
    return text;
}

void CALLBACK Callback(DWORD hDevice, DWORD msg, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR p2,
                       DWORD_PTR p3) {
    const DWORD thread = GetCurrentThreadId();
    const bool ours = thread == g_run.tapiThread;
    if (!ours)
        g_run.foreignThread = true;
    char where[64];
    std::snprintf(where, sizeof where, ours ? "on the tapi thread" : "on thread %lu, NOT the tapi thread",
                  static_cast<unsigned long>(thread));
    Say("callback %s inst %lu %s", Describe(hDevice, msg, p1, p2, p3).c_str(),
        static_cast<unsigned long>(instance), where);
    if (g_run.finished)
        return;
    switch (msg) {
        case LINE_REPLY:
            OnReply(p1, static_cast<LONG>(p2));
            break;
        case LINE_CALLSTATE:
            OnCallState(hDevice, static_cast<DWORD>(p1));
            break;
        case LINE_LINEDEVSTATE:
            if ((p1 & LINEDEVSTATE_INSERVICE) != 0 && !g_run.inService) {
                g_run.inService = true;
                MaybeCall();
            }
            break;
        case LINE_REQUEST:
            OnRequest(p1);
            break;
        default:
            break;
    }
}

// Initialises, opens and asks for the line's states; *event gets the
// handle of LINEINITIALIZEEXOPTION_USEEVENT.
bool Start(HANDLE* event) {
    LINEINITIALIZEEXPARAMS params{};
    params.dwTotalSize = sizeof params;
    params.dwOptions =
        g_run.options.event ? LINEINITIALIZEEXOPTION_USEEVENT : LINEINITIALIZEEXOPTION_USEHIDDENWINDOW;
    DWORD devices = 0, version = kApiVersion;
    LONG r = g_run.tapi.initializeEx(&g_run.app, GetModuleHandleA(nullptr), Callback, "tapiapp", &devices,
                                     &version, &params);
    Say("lineInitializeExA: %s, hLineApp 0x%lx, %lu devices", words::Result(r).c_str(),
        static_cast<unsigned long>(g_run.app), static_cast<unsigned long>(devices));
    if (r != 0 || devices == 0) {
        g_run.failed = true;
        return false;
    }
    *event = params.Handles.hEvent;
    LINEEXTENSIONID extension{};
    r = g_run.tapi.negotiateApiVersion(g_run.app, 0, kLowApiVersion, kApiVersion, &version, &extension);
    Say("lineNegotiateAPIVersion: %s, version 0x%lx", words::Result(r).c_str(),
        static_cast<unsigned long>(version));
    if (r != 0) {
        g_run.failed = true;
        return false;
    }
    r = g_run.tapi.open(g_run.app, 0, &g_run.line, version, 0, kLineInstance, LINECALLPRIVILEGE_OWNER,
                        LINEMEDIAMODE_INTERACTIVEVOICE, nullptr);
    Say("lineOpenA: %s, hLine 0x%lx", words::Result(r).c_str(), static_cast<unsigned long>(g_run.line));
    if (r != 0) {
        g_run.failed = true;
        return false;
    }
    if (!Check("lineSetStatusMessages", g_run.tapi.setStatusMessages(g_run.line, kLineStates, 0)))
        return false;
    return g_run.options.mode != Mode::Recipient ||
           Check("lineRegisterRequestRecipient",
                 g_run.tapi.registerRequestRecipient(g_run.app, 1, LINEREQUESTMODE_MAKECALL, TRUE));
}

// The retry due and the deadline; false once it has passed.
bool Tick(DWORD deadline) {
    const DWORD now = GetTickCount();
    if (static_cast<LONG>(now - deadline) >= 0) {
        Fail(!g_run.inService       ? "the line did not come into service"
             : g_run.number.empty() ? "no request came"
             : !g_run.connected     ? "the call was not connected"
             : !g_run.idle          ? "the call did not go idle"
                                    : "the drop had no reply");
        return false;
    }
    if (g_run.retryAt != 0 && static_cast<LONG>(now - g_run.retryAt) >= 0)
        MakeCall();
    return true;
}

// The dialer's arrangement: initialised on this thread, whose message loop
// runs the callback. With --event, this thread waits for the event and
// takes the messages with lineGetMessage instead.
DWORD WINAPI TapiThread(LPVOID) {
    g_run.tapiThread = GetCurrentThreadId();
    const DWORD deadline = GetTickCount() + g_run.options.seconds * 1000;
    HANDLE event = nullptr;
    const bool started = Start(&event);
    if (started && g_run.options.event) {
        while (!g_run.finished && Tick(deadline)) {
            WaitForSingleObject(event, kTickMs);
            LINEMESSAGE m{};
            while (!g_run.finished && g_run.tapi.getMessage(g_run.app, &m, 0) == 0)
                Callback(m.hDevice, m.dwMessageID, m.dwCallbackInstance, m.dwParam1, m.dwParam2, m.dwParam3);
        }
    } else if (started) {
        SetTimer(nullptr, 0, kTickMs, nullptr);
        MSG msg;
        while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
            if (msg.message == WM_TIMER && msg.hwnd == nullptr) {
                if (!Tick(deadline))
                    break;
                continue;
            }
            DispatchMessageA(&msg);
        }
    }
    if (g_run.app != 0) {
        if (g_run.line != 0)
            Check("lineClose", g_run.tapi.close(g_run.line));
        Check("lineShutdown", g_run.tapi.shutdown(g_run.app));
    }
    return 0;
}

// ------------------------------------------------------ assisted telephony

int SendRequest() {
    const LONG r = g_run.tapi.requestMakeCall(g_run.options.number, "tapiapp", "Blanc Marc", nullptr);
    Say("tapiRequestMakeCallA %s: %ld", g_run.options.number, static_cast<long>(r));
    return r == 0 ? 0 : 1;
}

// ------------------------------------------------------------- locations

constexpr char kLocationsKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Telephony\\Locations";
constexpr char kCardsKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Telephony\\Cards";
constexpr char kDialogCaption[] = "Dialing Location";
constexpr DWORD kDialogWaitMs = 10000;
constexpr DWORD kCapsSize = 4096;

struct Place {
    std::string name;
    std::string areaCode;
    std::string outsideAccess;
};

bool Same(const Place& a, const Place& b) {
    return a.name == b.name && a.areaCode == b.areaCode && a.outsideAccess == b.outsideAccess;
}

const Place kTyped{"Office 2", "030", "9"};

void RemoveLocationStore() {
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, kLocationsKey);
    RegDeleteTreeA(HKEY_CURRENT_USER, kCardsKey);
}

std::string ItemText(HWND dialog, int item) {
    char text[128] = "";
    GetDlgItemTextA(dialog, item, text, sizeof text);
    return text;
}

// Plays the user: finds this process's dialog once it is shown (the modal
// loop shows it after WM_INITDIALOG has filled it in), says what it
// offers, types the new values and presses OK.
DWORD WINAPI Operator(LPVOID) {
    HWND dialog = nullptr;
    for (DWORD waited = 0; dialog == nullptr && waited < kDialogWaitMs; waited += 20) {
        Sleep(20);
        const HWND found = FindWindowA(nullptr, kDialogCaption);
        DWORD process = 0;
        if (found != nullptr && GetWindowThreadProcessId(found, &process) != 0 &&
            process == GetCurrentProcessId() && IsWindowVisible(found) != FALSE)
            dialog = found;
    }
    if (dialog == nullptr) {
        Say("operator: no \"%s\" window", kDialogCaption);
        return 1;
    }
    Say("dialog: name \"%s\", area code \"%s\", outside access \"%s\"",
        ItemText(dialog, IDC_LOCATION_NAME).c_str(), ItemText(dialog, IDC_AREA_CODE).c_str(),
        ItemText(dialog, IDC_OUTSIDE_ACCESS).c_str());
    SetDlgItemTextA(dialog, IDC_LOCATION_NAME, kTyped.name.c_str());
    SetDlgItemTextA(dialog, IDC_AREA_CODE, kTyped.areaCode.c_str());
    SetDlgItemTextA(dialog, IDC_OUTSIDE_ACCESS, kTyped.outsideAccess.c_str());
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDOK)));
    return 0;
}

// A (size, offset) text of the structure, checked against what was filled.
std::string Field(const std::vector<DWORD>& buffer, DWORD used, DWORD size, DWORD offset) {
    const size_t filled = std::min<size_t>(used, buffer.size() * sizeof(DWORD));
    if (size == 0 || offset > filled || size > filled - offset)
        return "?";
    const char* text = reinterpret_cast<const char*>(buffer.data()) + offset;
    return std::string(text, strnlen(text, size));
}

// The current location as lineGetTranslateCapsA reports it.
bool ReadLocation(Place* place) {
    std::vector<DWORD> buffer(kCapsSize / sizeof(DWORD));
    auto* caps = reinterpret_cast<LINETRANSLATECAPS*>(buffer.data());
    caps->dwTotalSize = kCapsSize;
    const LONG r = g_run.tapi.getTranslateCaps(0, kApiVersion, caps);
    if (r != 0 || caps->dwNeededSize > caps->dwTotalSize || caps->dwUsedSize > kCapsSize) {
        Say("lineGetTranslateCapsA: %s, needed %lu", words::Result(r).c_str(),
            static_cast<unsigned long>(caps->dwNeededSize));
        return false;
    }
    const size_t entry = sizeof(LINELOCATIONENTRY);
    for (size_t n = 0; n < caps->dwNumLocations; ++n) {
        const size_t at = caps->dwLocationListOffset + n * entry;
        if (at + entry > caps->dwUsedSize)
            return false;
        LINELOCATIONENTRY l{};
        std::memcpy(&l, reinterpret_cast<const char*>(buffer.data()) + at, entry);
        if (l.dwPermanentLocationID != caps->dwCurrentLocationID)
            continue;
        place->name = Field(buffer, caps->dwUsedSize, l.dwLocationNameSize, l.dwLocationNameOffset);
        place->areaCode = Field(buffer, caps->dwUsedSize, l.dwCityCodeSize, l.dwCityCodeOffset);
        place->outsideAccess =
            Field(buffer, caps->dwUsedSize, l.dwLocalAccessCodeSize, l.dwLocalAccessCodeOffset);
        return true;
    }
    return false;
}

// What the dialer's first-run check reads.
DWORD ReadNumEntries() {
    DWORD value = 0, size = sizeof value, type = 0;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kLocationsKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return 0;
    if (RegQueryValueExA(key, "NumEntries", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) !=
            ERROR_SUCCESS ||
        type != REG_DWORD)
        value = 0;
    RegCloseKey(key);
    return value;
}

int RunLocation() {
    RemoveLocationStore();
    Say("setup: location store removed");
    const HANDLE user = CreateThread(nullptr, 0, Operator, nullptr, 0, nullptr);
    if (user == nullptr)
        return 1;
    const LONG r = g_run.tapi.translateDialog(0, 0, kApiVersion, nullptr, nullptr);
    Say("lineTranslateDialog: %s", words::Result(r).c_str());
    DWORD played = 1;
    if (WaitForSingleObject(user, kDialogWaitMs) != WAIT_OBJECT_0 || GetExitCodeThread(user, &played) == 0)
        played = 1;
    CloseHandle(user);
    Place place;
    const bool read = ReadLocation(&place);
    const DWORD entries = ReadNumEntries();
    Say("location: name \"%s\", area code \"%s\", outside access \"%s\", NumEntries %lu", place.name.c_str(),
        place.areaCode.c_str(), place.outsideAccess.c_str(), static_cast<unsigned long>(entries));
    RemoveLocationStore();
    Say("cleanup: location store removed");
    const bool ok = r == 0 && played == 0 && read && Same(place, kTyped) && entries == 1;
    Say("result: %s", ok ? "ok" : "failed");
    return ok ? 0 : 1;
}

// ------------------------------------------------------------------ main

bool ParseOptions(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--recipient") {
            o.mode = Mode::Recipient;
            continue;
        }
        if (arg == "--location") {
            o.mode = Mode::Location;
            continue;
        }
        if (arg == "--event") {
            o.event = true;
            continue;
        }
        if (i + 1 >= argc)
            return false;
        if (arg == "--request") {
            o.mode = Mode::Request;
            o.number = argv[++i];
        } else if (arg == "--number") {
            o.number = argv[++i];
        } else if (arg == "--port") {
            o.port = argv[++i];
        } else if (arg == "--seconds") {
            char* end = nullptr;
            const unsigned long v = std::strtoul(argv[++i], &end, 10);
            if (end == argv[i] || *end != '\0' || v == 0 || v > 600)
                return false;
            o.seconds = static_cast<unsigned>(v);
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    g_run.start = GetTickCount();
    if (!ParseOptions(argc, argv, g_run.options)) {
        std::fprintf(stderr,
                     "usage: tapiapp [--number 2010 | --recipient] [--event] [--port COM1] [--seconds 20]\n"
                     "       tapiapp --request NUMBER\n"
                     "       tapiapp --location\n");
        return 2;
    }
    const Mode mode = g_run.options.mode;
    const bool calls = mode == Mode::Call || mode == Mode::Recipient;
    if (calls && !WriteSettings(g_run.options))
        return 1;
    const HMODULE module = LoadLibraryA("TAPI32.DLL");
    if (module == nullptr) {
        Say("LoadLibraryA(TAPI32.DLL): error %lu", GetLastError());
        return 1;
    }
    IdentifyFunction identify = nullptr;
    if (!Bind(module, "zqtapiIdentify", identify)) {
        Say("zqtapiIdentify: missing, this is not the project's tapi32.dll");
        return 1;
    }
    Say("zqtapiIdentify: %s", identify());
    if (!BindTapi(module, g_run.tapi))
        return 1;
    if (mode == Mode::Request)
        return SendRequest();
    if (mode == Mode::Location)
        return RunLocation();
    if (mode == Mode::Call)
        g_run.number = g_run.options.number;

    const HANDLE thread = CreateThread(nullptr, 0, TapiThread, nullptr, 0, nullptr);
    if (thread == nullptr)
        return 1;
    // The TAPI thread bounds itself; this is for a hang inside the library.
    if (WaitForSingleObject(thread, (g_run.options.seconds + 10) * 1000) != WAIT_OBJECT_0) {
        Say("result: failed (the tapi thread hangs)");
        return 1;
    }
    CloseHandle(thread);
    const bool ok = !g_run.failed && !g_run.foreignThread && g_run.connected && g_run.idle && g_run.finished;
    Say("result: %s", ok ? "ok" : "failed");
    return ok ? 0 : 1;
}
