// Applications and their lines: initialisation and shutdown, the message
// queue as the application takes it, version negotiation, line opens and
// closes, and the status-message masks.
#include <algorithm>
#include <chrono>
#include <cstddef>

#include "closing.h"
#include "convert.h"
#include "locations.h"
#include "requests.h"
#include "state.h"

namespace zq::tapiapp {

namespace {

constexpr DWORD kAllLineStates = 0x01FFFFFF;     // OTHER .. REMOVED
constexpr DWORD kAllAddressStates = 0x000001FF;  // OTHER .. CAPSCHANGE
constexpr DWORD kPrivileges = LINECALLPRIVILEGE_NONE | LINECALLPRIVILEGE_MONITOR | LINECALLPRIVILEGE_OWNER;
// lineInitializeExA reads the options and writes the event handle only.
constexpr DWORD kInitParamsMinSize = offsetof(LINEINITIALIZEEXPARAMS, Handles);

const Waker* g_eventWaker = nullptr;
const Waker* g_windowWaker = nullptr;

bool AnyApp() {
    return std::any_of(g_core.apps.begin(), g_core.apps.end(), [](const AppSlot& a) { return a.used; });
}

// The fix-ups of a LINE_REPLY, just before the application sees it: the
// new call's handle, the park address, the completion identifier.
void ApplyFixups(RequestSlot& q) {
    if (q.result != 0)
        return;
    switch (q.fixup) {
        case Fixup::NewCall:
            if (q.target != nullptr)
                *q.target = FindCallHandle(q.newHandle) != nullptr ? q.newHandle : 0;
            break;
        case Fixup::Park:
            if (q.parkTarget != nullptr)
                WideToAnsiStruct(StructKind::VarString, q.wide,
                                 std::span(reinterpret_cast<uint8_t*>(q.parkTarget), q.wide.size()));
            break;
        case Fixup::CompletionId:
            if (q.completionTarget != nullptr)
                *q.completionTarget = q.completionId;
            break;
        case Fixup::None:
            break;
    }
}

// Whether a queued message still names a handle the application holds: one
// for a line closed or a call deallocated since it was queued is dropped.
// LINE_CLOSE names its revoked line on purpose.
bool StillAddressed(const LINEMESSAGE& m) {
    if (m.dwMessageID == LINE_CLOSE || m.dwMessageID == LINE_REQUEST || m.hDevice == 0)
        return true;
    if (HandleIndex(HandleKind::Line, m.hDevice) != kNone)
        return FindOpen(m.hDevice) != nullptr;
    if (HandleIndex(HandleKind::Call, m.hDevice) != kNone)
        return FindCallHandle(m.hDevice) != nullptr;
    return true;
}

// The next message of an application (g_lock held). A reply whose
// request's provider call has not returned yet waits for it; a reply of a
// request that failed synchronously is dropped.
bool TakeLocked(size_t app, LINEMESSAGE* message) {
    AppSlot& a = g_core.apps[app];
    while (!a.queue.empty()) {
        QueuedMessage& front = a.queue.front();
        bool deliver = true;
        if (front.request != kNone) {
            RequestSlot& q = g_core.requests[front.request];
            deliver = q.used && q.id == front.message.dwParam1;
            if (deliver && !q.returned)
                return false;
            if (deliver) {
                ApplyFixups(q);
                FreeRequest(front.request);
            }
        }
        deliver = deliver && (front.request != kNone || StillAddressed(front.message));
        const LINEMESSAGE taken = front.message;
        a.queue.pop_front();
        if (a.queue.empty() && a.waker != nullptr && a.waker->reset != nullptr)
            a.waker->reset(a.wakerValue);
        if (deliver) {
            *message = taken;
            return true;
        }
    }
    return false;
}

// The application's options as lineInitializeExA was given them.
LONG ReadOptions(const LINEINITIALIZEEXPARAMS* params, LINECALLBACK callback, DWORD* options,
                 const Waker** waker) {
    DWORD option = LINEINITIALIZEEXOPTION_USEHIDDENWINDOW;
    if (params != nullptr) {
        if (params->dwTotalSize < kInitParamsMinSize)
            return LINEERR_STRUCTURETOOSMALL;
        option = params->dwOptions & ~static_cast<DWORD>(LINEINITIALIZEEXOPTION_CALLHUBTRACKING);
    }
    switch (option) {
        case LINEINITIALIZEEXOPTION_USEEVENT:
            *waker = g_eventWaker;
            break;
        case LINEINITIALIZEEXOPTION_USEHIDDENWINDOW:
            if (g_windowWaker == nullptr)
                return LINEERR_INVALPARAM;
            if (callback == nullptr)
                return LINEERR_INVALPOINTER;
            *waker = g_windowWaker;
            break;
        default:
            return LINEERR_INVALPARAM;
    }
    *options = option;
    return 0;
}

void WriteInitParams(LINEINITIALIZEEXPARAMS* params, HANDLE event) {
    if (params == nullptr)
        return;
    const DWORD total = params->dwTotalSize;
    params->dwNeededSize = sizeof(LINEINITIALIZEEXPARAMS);
    params->dwUsedSize = std::min<DWORD>(total, sizeof(LINEINITIALIZEEXPARAMS));
    if (total >= offsetof(LINEINITIALIZEEXPARAMS, Handles) + sizeof(HANDLE))
        params->Handles.hEvent = event;
}

// A new application slot (g_lock held); kNone when the table is full.
size_t AddApp(LPCSTR name, DWORD options, LINECALLBACK callback, const Waker* waker, intptr_t value) {
    for (size_t i = 0; i < kMaxApps; ++i) {
        AppSlot& a = g_core.apps[i];
        if (a.used)
            continue;
        const uint16_t generation = NextGeneration(a.generation);
        a = AppSlot{};
        a.used = true;
        a.generation = generation;
        a.name = name != nullptr ? name : "";
        a.options = options;
        a.callback = callback;
        a.waker = waker;
        a.wakerValue = value;
        a.serial = ++g_core.serial;
        return i;
    }
    return kNone;
}

void FreeApp(size_t app) {
    AppSlot& a = g_core.apps[app];
    for (size_t r = 0; r < kMaxRequests; ++r)
        if (g_core.requests[r].used && g_core.requests[r].app == app)
            FreeRequest(r);
    if (a.waker != nullptr && a.waker->destroy != nullptr)
        a.waker->destroy(a.wakerValue);
    ReleaseSlot(a);
    // Threads waiting in lineGetMessage see the handle gone.
    g_messageCv.notify_all();
}

// The last application gone, the provider is shut down and unloaded.
void UnloadIfUnused() {
    std::unique_lock life(g_life);
    {
        std::lock_guard lock(g_lock);
        if (AnyApp() || !g_core.provider.loaded)
            return;
    }
    UnloadProvider();
}

}  // namespace

// --------------------------------------------------------------- revocation

bool DeviceMasks(size_t device, StatusMasks* masks) {
    DeviceSlot& d = g_core.devices[device];
    DWORD line = 0, address = 0;
    for (const OpenSlot& open : g_core.opens) {
        if (open.used && open.live && open.device == device) {
            line |= open.lineStates;
            address |= open.addressStates;
        }
    }
    masks->hdLine = d.hdLine;
    masks->lineStates = line;
    masks->addressStates = address;
    return line != d.lineStates || address != d.addressStates;
}

void RevokeOpen(size_t open, Closing* closing) {
    OpenSlot& o = g_core.opens[open];
    const size_t device = o.device;
    for (size_t h = 0; h < kMaxCallHandles; ++h) {
        HDRVCALL hdCall = nullptr;
        if (g_core.handles[h].used && g_core.handles[h].open == open && FreeCallHandle(h, &hdCall))
            closing->calls.push_back(hdCall);
    }
    ReleaseSlot(o);
    DeviceSlot& d = g_core.devices[device];
    if (!d.open)
        return;
    const bool others = std::any_of(g_core.opens.begin(), g_core.opens.end(), [&](const OpenSlot& other) {
        return other.used && other.device == device;
    });
    if (others) {
        StatusMasks masks;
        if (DeviceMasks(device, &masks)) {
            d.lineStates = masks.lineStates;
            d.addressStates = masks.addressStates;
            closing->masks.push_back(masks);
        }
        return;
    }
    // The device's calls that no handle holds any more go with the line.
    for (CallSlot& call : g_core.calls) {
        if (call.used && call.device == device) {
            if (call.known)
                closing->calls.push_back(call.hdCall);
            ReleaseSlot(call);
        }
    }
    closing->lines.push_back(d.hdLine);
    d.open = false;
    d.hdLine = nullptr;
    d.lineStates = 0;
    d.addressStates = 0;
    d.generation = NextGeneration(d.generation);
}

void FinishClosing(const ProviderCall& provider, const Closing& closing) {
    const ProviderApi& api = provider.api();
    if (api.lineCloseCall != nullptr)
        for (HDRVCALL call : closing.calls)
            api.lineCloseCall(call);
    if (api.lineSetStatusMessages != nullptr)
        for (const StatusMasks& m : closing.masks)
            api.lineSetStatusMessages(m.hdLine, m.lineStates, m.addressStates);
    if (api.lineClose != nullptr)
        for (HDRVLINE line : closing.lines)
            api.lineClose(line);
}

// ------------------------------------------------------------ shell hooks

void SetWakers(const Waker* event, const Waker* hiddenWindow) {
    std::lock_guard lock(g_lock);
    g_eventWaker = event;
    g_windowWaker = hiddenWindow;
}

bool AppWakerValue(HLINEAPP app, intptr_t* value) {
    std::lock_guard lock(g_lock);
    const AppSlot* a = FindApp(app);
    if (a == nullptr)
        return false;
    *value = a->wakerValue;
    return true;
}

bool TakeMessage(HLINEAPP app, LINEMESSAGE* message) {
    std::lock_guard lock(g_lock);
    size_t index = kNone;
    return FindApp(app, &index) != nullptr && TakeLocked(index, message);
}

LINECALLBACK AppCallback(HLINEAPP app) {
    std::lock_guard lock(g_lock);
    const AppSlot* a = FindApp(app);
    return a != nullptr ? a->callback : nullptr;
}

bool IsInitialisedApp(HLINEAPP app) {
    std::lock_guard lock(g_lock);
    return FindApp(app) != nullptr;
}

}  // namespace zq::tapiapp

using namespace zq::tapiapp;

extern "C" {

LONG WINAPI lineInitializeExA(LPHLINEAPP lphLineApp, HINSTANCE, LINECALLBACK lpfnCallback,
                              LPCSTR lpszFriendlyAppName, LPDWORD lpdwNumDevs, LPDWORD lpdwAPIVersion,
                              LPLINEINITIALIZEEXPARAMS lpLineInitializeExParams) {
    if (lphLineApp == nullptr || lpdwNumDevs == nullptr || lpdwAPIVersion == nullptr)
        return LINEERR_INVALPOINTER;
    DWORD options = 0;
    const Waker* waker = nullptr;
    {
        std::lock_guard lock(g_lock);
        if (const LONG e = ReadOptions(lpLineInitializeExParams, lpfnCallback, &options, &waker); e != 0)
            return e;
    }
    // The location functions accept this library's applications.
    SetAppCheck(IsInitialisedApp);
    std::unique_lock life(g_life);
    bool load = false;
    {
        std::lock_guard lock(g_lock);
        // After REINIT, everyone must let go before the provider is loaded
        // afresh.
        if (g_core.provider.reinitPending && AnyApp())
            return LINEERR_REINIT;
        load = !g_core.provider.loaded || g_core.provider.reinitPending;
    }
    if (load) {
        UnloadProvider();
        if (const LONG e = LoadProvider(); e != 0)
            return e;
    }
    intptr_t value = 0;
    HANDLE event = nullptr;
    if (waker != nullptr && waker->create != nullptr && !waker->create(&value, &event)) {
        if (load)
            UnloadProvider();
        return LINEERR_NOMEM;
    }
    std::lock_guard lock(g_lock);
    const size_t app = AddApp(lpszFriendlyAppName, options, lpfnCallback, waker, value);
    if (app == kNone) {
        if (waker != nullptr && waker->destroy != nullptr)
            waker->destroy(value);
        return LINEERR_NOMEM;
    }
    *lphLineApp = AppHandle(app);
    *lpdwNumDevs = g_core.provider.numLines;
    *lpdwAPIVersion = kApiHighVersion;
    WriteInitParams(lpLineInitializeExParams, event);
    return 0;
}

LONG WINAPI lineShutdown(HLINEAPP hLineApp) {
    bool unlisten = false;
    {
        std::lock_guard openClose(g_openClose);
        ProviderCall provider;
        Closing closing;
        {
            std::lock_guard lock(g_lock);
            size_t app = kNone;
            if (FindApp(hLineApp, &app) == nullptr)
                return LINEERR_INVALAPPHANDLE;
            for (size_t o = 0; o < kMaxOpens; ++o)
                if (g_core.opens[o].used && g_core.opens[o].app == app)
                    RevokeOpen(o, &closing);
            unlisten = ForgetRecipient(app);
            FreeApp(app);
        }
        FinishClosing(provider, closing);
    }
    if (unlisten)
        StopListening();
    UnloadIfUnused();
    return 0;
}

LONG WINAPI lineGetMessage(HLINEAPP hLineApp, LPLINEMESSAGE lpMessage, DWORD dwTimeout) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(dwTimeout);
    std::unique_lock lock(g_lock);
    for (;;) {
        size_t app = kNone;
        const AppSlot* a = FindApp(hLineApp, &app);
        if (a == nullptr || a->options != LINEINITIALIZEEXOPTION_USEEVENT)
            return LINEERR_INVALAPPHANDLE;
        if (lpMessage == nullptr)
            return LINEERR_INVALPOINTER;
        if (TakeLocked(app, lpMessage))
            return 0;
        if (dwTimeout == 0)
            return LINEERR_OPERATIONFAILED;
        if (dwTimeout == zq::plat::kInfinite)
            g_messageCv.wait(lock);
        else if (g_messageCv.wait_until(lock, deadline) == std::cv_status::timeout)
            dwTimeout = 0;  // one last look
    }
}

LONG WINAPI lineNegotiateAPIVersion(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPILowVersion,
                                    DWORD dwAPIHighVersion, LPDWORD lpdwAPIVersion,
                                    LPLINEEXTENSIONID lpExtensionID) {
    std::lock_guard lock(g_lock);
    if (FindApp(hLineApp) == nullptr)
        return LINEERR_INVALAPPHANDLE;
    if (dwDeviceID >= g_core.provider.numLines)
        return LINEERR_BADDEVICEID;
    if (lpdwAPIVersion == nullptr || lpExtensionID == nullptr)
        return LINEERR_INVALPOINTER;
    const DWORD device = g_core.devices[dwDeviceID].tspiVersion;
    const DWORD version = std::min({dwAPIHighVersion, kApiHighVersion, device});
    if (version < dwAPILowVersion || version < kApiLowVersion)
        return LINEERR_INCOMPATIBLEAPIVERSION;
    *lpdwAPIVersion = version;
    *lpExtensionID = LINEEXTENSIONID{};
    return 0;
}

LONG WINAPI lineOpenA(HLINEAPP hLineApp, DWORD dwDeviceID, LPHLINE lphLine, DWORD dwAPIVersion, DWORD,
                      DWORD_PTR dwCallbackInstance, DWORD dwPrivileges, DWORD dwMediaModes,
                      LPLINECALLPARAMS const) {
    std::lock_guard openClose(g_openClose);
    ProviderCall provider;
    size_t open = kNone;
    size_t device = dwDeviceID;
    HTAPILINE htLine = nullptr;
    bool first = false;
    {
        std::lock_guard lock(g_lock);
        size_t app = kNone;
        if (FindApp(hLineApp, &app) == nullptr)
            return LINEERR_INVALAPPHANDLE;
        if (dwDeviceID >= g_core.provider.numLines)
            return LINEERR_BADDEVICEID;
        if (lphLine == nullptr)
            return LINEERR_INVALPOINTER;
        if (dwAPIVersion < kApiLowVersion || dwAPIVersion > kApiHighVersion)
            return LINEERR_INCOMPATIBLEAPIVERSION;
        if ((dwPrivileges & ~kPrivileges) != 0 || dwPrivileges == 0 ||
            ((dwPrivileges & LINECALLPRIVILEGE_NONE) != 0 && dwPrivileges != LINECALLPRIVILEGE_NONE))
            return LINEERR_INVALPRIVSELECT;
        if ((dwPrivileges & LINECALLPRIVILEGE_OWNER) != 0 && dwMediaModes == 0)
            return LINEERR_INVALMEDIAMODE;
        for (size_t o = 0; o < kMaxOpens && open == kNone; ++o)
            if (!g_core.opens[o].used)
                open = o;
        if (open == kNone)
            return LINEERR_NOMEM;
        OpenSlot& slot = g_core.opens[open];
        const uint16_t generation = NextGeneration(slot.generation);
        slot = OpenSlot{};
        slot.used = true;
        slot.generation = generation;
        slot.app = app;
        slot.device = device;
        slot.instance = dwCallbackInstance;
        slot.privileges = dwPrivileges;
        slot.mediaModes = dwMediaModes;
        slot.apiVersion = dwAPIVersion;
        slot.serial = ++g_core.serial;
        // Live at once: the provider may report calls it already has
        // while it opens the line.
        slot.live = true;
        DeviceSlot& d = g_core.devices[device];
        first = !d.open;
        if (first) {
            d.open = true;
            d.generation = NextGeneration(d.generation);
            d.lineStates = 0;
            d.addressStates = 0;
        }
        htLine = TapiLine(device);
    }
    if (first) {
        HDRVLINE owed = nullptr;
        {
            std::lock_guard lock(g_lock);
            std::swap(owed, g_core.devices[device].closeOwed);
        }
        if (owed != nullptr && provider.api().lineClose != nullptr)
            provider.api().lineClose(owed);
        HDRVLINE hdLine = nullptr;
        const LONG result = provider.api().lineOpen(dwDeviceID, htLine, &hdLine,
                                                    g_core.devices[device].tspiVersion, LineEventProc);
        std::lock_guard lock(g_lock);
        if (result != 0) {
            Closing ignored;  // the provider has nothing open to close
            RevokeOpen(open, &ignored);
            g_core.devices[device].open = false;
            return result;
        }
        g_core.devices[device].hdLine = hdLine;
    }
    std::lock_guard lock(g_lock);
    if (FindOpen(OpenHandle(open)) == nullptr)
        return LINEERR_OPERATIONFAILED;  // the provider closed the line meanwhile
    *lphLine = OpenHandle(open);
    return 0;
}

LONG WINAPI lineClose(HLINE hLine) {
    std::lock_guard openClose(g_openClose);
    ProviderCall provider;
    Closing closing;
    {
        std::lock_guard lock(g_lock);
        size_t open = kNone;
        if (FindOpen(hLine, &open) == nullptr)
            return LINEERR_INVALLINEHANDLE;
        RevokeOpen(open, &closing);
    }
    FinishClosing(provider, closing);
    return 0;
}

LONG WINAPI lineGetStatusMessages(HLINE hLine, LPDWORD lpdwLineStates, LPDWORD lpdwAddressStates) {
    std::lock_guard lock(g_lock);
    const OpenSlot* open = FindOpen(hLine);
    if (open == nullptr)
        return LINEERR_INVALLINEHANDLE;
    if (lpdwLineStates == nullptr || lpdwAddressStates == nullptr)
        return LINEERR_INVALPOINTER;
    *lpdwLineStates = open->lineStates;
    *lpdwAddressStates = open->addressStates;
    return 0;
}

LONG WINAPI lineSetStatusMessages(HLINE hLine, DWORD dwLineStates, DWORD dwAddressStates) {
    std::lock_guard openClose(g_openClose);
    ProviderCall provider;
    size_t open = kNone;
    StatusMasks masks;
    bool changed = false;
    {
        std::lock_guard lock(g_lock);
        OpenSlot* o = FindOpen(hLine, &open);
        if (o == nullptr)
            return LINEERR_INVALLINEHANDLE;
        if ((dwLineStates & ~kAllLineStates) != 0)
            return LINEERR_INVALLINESTATE;
        if ((dwAddressStates & ~kAllAddressStates) != 0)
            return LINEERR_INVALADDRESSSTATE;
        const DWORD oldLine = o->lineStates, oldAddress = o->addressStates;
        o->lineStates = dwLineStates;
        o->addressStates = dwAddressStates;
        changed = DeviceMasks(o->device, &masks);
        o->lineStates = oldLine;
        o->addressStates = oldAddress;
    }
    if (changed && provider.api().lineSetStatusMessages != nullptr) {
        if (const LONG e =
                provider.api().lineSetStatusMessages(masks.hdLine, masks.lineStates, masks.addressStates);
            e != 0)
            return e;
    }
    std::lock_guard lock(g_lock);
    OpenSlot* o = FindOpen(hLine);
    if (o == nullptr)
        return LINEERR_INVALLINEHANDLE;
    o->lineStates = dwLineStates;
    o->addressStates = dwAddressStates;
    if (changed) {
        g_core.devices[o->device].lineStates = masks.lineStates;
        g_core.devices[o->device].addressStates = masks.addressStates;
    }
    return 0;
}

}  // extern "C"
