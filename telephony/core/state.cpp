// The tables and their handles, the application queues, and what the
// provider reports: events and request completions, turned into the
// applications' messages.
#include "state.h"

#include <algorithm>

namespace zq::tapiapp {

std::mutex g_lock;
std::condition_variable g_messageCv;
CoreState g_core;
std::shared_mutex g_life;
std::mutex g_openClose;

namespace {

thread_local int t_inEvent = 0;

// Marks the provider's event procedure on this thread: provider calls made
// from inside it take neither the life nor the serialisation lock, which
// the thread may already hold or which an application thread waiting on
// the provider holds.
struct EventScope {
    EventScope() { ++t_inEvent; }
    ~EventScope() { --t_inEvent; }
    EventScope(const EventScope&) = delete;
    EventScope& operator=(const EventScope&) = delete;
};

template <typename Slot, size_t N>
Slot* FindSlot(std::array<Slot, N>& table, HandleKind kind, uint32_t handle, size_t* index) {
    const size_t i = HandleIndex(kind, handle);
    if (i >= N || !table[i].used || table[i].generation != HandleGeneration(handle))
        return nullptr;
    if (index != nullptr)
        *index = i;
    return &table[i];
}

// A free slot made fresh, with the next generation; kNone when full.
template <typename Slot, size_t N>
size_t TakeSlot(std::array<Slot, N>& table) {
    for (size_t i = 0; i < N; ++i) {
        if (!table[i].used) {
            const uint16_t generation = NextGeneration(table[i].generation);
            table[i] = Slot{};
            table[i].used = true;
            table[i].generation = generation;
            return i;
        }
    }
    return kNone;
}

void PostToCallHandles(size_t call, DWORD msg, DWORD_PTR p1, DWORD_PTR p2, DWORD_PTR p3) {
    for (size_t h = 0; h < kMaxCallHandles; ++h) {
        CallHandleSlot& handle = g_core.handles[h];
        if (!handle.used || handle.call != call)
            continue;
        const OpenSlot& open = g_core.opens[handle.open];
        DWORD_PTR third = p3;
        if (msg == LINE_CALLSTATE) {
            // The privilege goes with a handle's first state only.
            third = handle.stateSent ? 0 : handle.privilege;
            handle.stateSent = true;
        }
        Post(open.app, CallHandle(h), msg, open.instance, p1, p2, third);
    }
}

void PostToOpens(size_t device, DWORD msg, DWORD_PTR p1, DWORD_PTR p2, DWORD_PTR p3) {
    for (size_t o = 0; o < kMaxOpens; ++o) {
        const OpenSlot& open = g_core.opens[o];
        if (open.used && open.live && open.device == device)
            Post(open.app, OpenHandle(o), msg, open.instance, p1, p2, p3);
    }
}

// The opens hear only the states they asked for; REINIT goes to every
// application and cannot be masked.
void OnLineDevState(size_t device, DWORD_PTR states, DWORD_PTR p2, DWORD_PTR p3) {
    if ((states & LINEDEVSTATE_REINIT) != 0) {
        g_core.provider.reinitPending = true;
        for (size_t a = 0; a < kMaxApps; ++a)
            if (g_core.apps[a].used)
                Post(a, 0, LINE_LINEDEVSTATE, 0, LINEDEVSTATE_REINIT, 0, 0);
    }
    states &= ~static_cast<DWORD_PTR>(LINEDEVSTATE_REINIT);
    if (device == kNone || states == 0)
        return;
    for (size_t o = 0; o < kMaxOpens; ++o) {
        const OpenSlot& open = g_core.opens[o];
        const DWORD_PTR wanted = states & open.lineStates;
        if (open.used && open.live && open.device == device && wanted != 0)
            Post(open.app, OpenHandle(o), LINE_LINEDEVSTATE, open.instance, wanted, p2, p3);
    }
}

void OnAddressState(size_t device, DWORD_PTR address, DWORD_PTR states) {
    for (size_t o = 0; o < kMaxOpens; ++o) {
        const OpenSlot& open = g_core.opens[o];
        const DWORD_PTR wanted = states & open.addressStates;
        if (open.used && open.live && open.device == device && wanted != 0)
            Post(open.app, OpenHandle(o), LINE_ADDRESSSTATE, open.instance, address, wanted, 0);
    }
}

// The provider closed the line by itself: every open of it is told and
// revoked, and its calls are gone with it.
void OnLineClose(size_t device) {
    DeviceSlot& d = g_core.devices[device];
    if (d.open)
        d.closeOwed = d.hdLine;
    d.open = false;
    d.hdLine = nullptr;
    d.generation = NextGeneration(d.generation);
    for (size_t o = 0; o < kMaxOpens; ++o) {
        OpenSlot& open = g_core.opens[o];
        if (!open.used || open.device != device)
            continue;
        if (open.live)
            Post(open.app, OpenHandle(o), LINE_CLOSE, open.instance, 0, 0, 0);
        ReleaseSlot(open);
    }
    for (size_t h = 0; h < kMaxCallHandles; ++h)
        if (g_core.handles[h].used && g_core.calls[g_core.handles[h].call].device == device)
            ReleaseSlot(g_core.handles[h]);
    for (CallSlot& call : g_core.calls)
        if (call.used && call.device == device)
            ReleaseSlot(call);
}

// A call the provider created: its handle written back at once, then a
// handle for the oldest owner open and one for each monitor open.
void OnNewCall(HTAPILINE htLine, DWORD_PTR hdCall, DWORD_PTR slot) {
    size_t call = kNone;
    decltype(ProviderApi::lineGetCallAddressID) getAddress = nullptr;
    {
        std::lock_guard lock(g_lock);
        const size_t device = DeviceOf(htLine);
        if (device == kNone || slot == 0)
            return;
        call = NewCall(device);
        if (call == kNone)
            return;
        CallSlot& c = g_core.calls[call];
        c.hdCall = reinterpret_cast<HDRVCALL>(hdCall);
        c.known = true;
        *reinterpret_cast<HTAPICALL*>(slot) = TapiCall(call);
        getAddress = g_core.provider.api.lineGetCallAddressID;
    }
    DWORD address = 0;
    if (getAddress != nullptr && getAddress(reinterpret_cast<HDRVCALL>(hdCall), &address) != 0)
        address = 0;
    std::lock_guard lock(g_lock);
    CallSlot& c = g_core.calls[call];
    if (!c.used || c.hdCall != reinterpret_cast<HDRVCALL>(hdCall))
        return;
    c.addressId = address;
    size_t owner = kNone;
    for (size_t o = 0; o < kMaxOpens; ++o) {
        const OpenSlot& open = g_core.opens[o];
        if (open.used && open.live && open.device == c.device &&
            (open.privileges & LINECALLPRIVILEGE_OWNER) &&
            (owner == kNone || open.serial < g_core.opens[owner].serial))
            owner = o;
    }
    for (size_t o = 0; o < kMaxOpens; ++o) {
        const OpenSlot& open = g_core.opens[o];
        if (!open.used || !open.live || open.device != c.device)
            continue;
        const DWORD privilege = o == owner ? LINECALLPRIVILEGE_OWNER
                                : (open.privileges & LINECALLPRIVILEGE_MONITOR) != 0
                                    ? LINECALLPRIVILEGE_MONITOR
                                    : 0;
        if (privilege == 0)
            continue;
        const size_t h = NewCallHandle(call, o, privilege);
        if (h != kNone)
            Post(open.app, OpenHandle(o), LINE_APPNEWCALL, open.instance, address, CallHandle(h), privilege);
    }
}

DWORD AppMessageOf(DWORD msg) {
    switch (msg) {
        case LINE_CALLDEVSPECIFIC:
            return LINE_DEVSPECIFIC;
        case LINE_CALLDEVSPECIFICFEATURE:
            return LINE_DEVSPECIFICFEATURE;
        default:
            return msg;
    }
}

}  // namespace

// ------------------------------------------------------------------ handles

uint32_t MakeHandle(HandleKind kind, size_t index, uint16_t generation) {
    return (static_cast<uint32_t>(kind) << 28) | (static_cast<uint32_t>(generation & 0xFFF) << 16) |
           static_cast<uint32_t>(index + 1);
}

size_t HandleIndex(HandleKind kind, uint32_t handle) {
    if ((handle >> 28) != static_cast<uint32_t>(kind) || (handle & 0xFFFF) == 0)
        return kNone;
    return (handle & 0xFFFF) - 1;
}

uint16_t HandleGeneration(uint32_t handle) {
    return static_cast<uint16_t>((handle >> 16) & 0xFFF);
}

uint16_t NextGeneration(uint16_t generation) {
    return static_cast<uint16_t>(generation % 0xFFF + 1);
}

AppSlot* FindApp(HLINEAPP handle, size_t* index) {
    return FindSlot(g_core.apps, HandleKind::App, handle, index);
}

OpenSlot* FindOpen(HLINE handle, size_t* index) {
    OpenSlot* open = FindSlot(g_core.opens, HandleKind::Line, handle, index);
    return open != nullptr && open->live ? open : nullptr;
}

CallHandleSlot* FindCallHandle(HCALL handle, size_t* index) {
    return FindSlot(g_core.handles, HandleKind::Call, handle, index);
}

HLINEAPP AppHandle(size_t index) {
    return MakeHandle(HandleKind::App, index, g_core.apps[index].generation);
}

HLINE OpenHandle(size_t index) {
    return MakeHandle(HandleKind::Line, index, g_core.opens[index].generation);
}

HCALL CallHandle(size_t index) {
    return MakeHandle(HandleKind::Call, index, g_core.handles[index].generation);
}

HTAPILINE TapiLine(size_t device) {
    const uintptr_t value = MakeHandle(HandleKind::TapiLine, device, g_core.devices[device].generation);
    return reinterpret_cast<HTAPILINE>(value);
}

HTAPICALL TapiCall(size_t call) {
    const uintptr_t value = MakeHandle(HandleKind::TapiCall, call, g_core.calls[call].generation);
    return reinterpret_cast<HTAPICALL>(value);
}

size_t DeviceOf(HTAPILINE htLine) {
    const uintptr_t value = reinterpret_cast<uintptr_t>(htLine);
    if (value > UINT32_MAX)
        return kNone;
    const size_t device = HandleIndex(HandleKind::TapiLine, static_cast<uint32_t>(value));
    if (device >= kMaxDevices || !g_core.devices[device].open ||
        g_core.devices[device].generation != HandleGeneration(static_cast<uint32_t>(value)))
        return kNone;
    return device;
}

size_t CallOf(HTAPICALL htCall) {
    const uintptr_t value = reinterpret_cast<uintptr_t>(htCall);
    if (value > UINT32_MAX)
        return kNone;
    size_t call = kNone;
    return FindSlot(g_core.calls, HandleKind::TapiCall, static_cast<uint32_t>(value), &call) != nullptr
               ? call
               : kNone;
}

size_t NewCall(size_t device) {
    const size_t call = TakeSlot(g_core.calls);
    if (call != kNone)
        g_core.calls[call].device = device;
    return call;
}

size_t NewCallHandle(size_t call, size_t open, DWORD privilege) {
    const size_t h = TakeSlot(g_core.handles);
    if (h != kNone) {
        g_core.handles[h].call = call;
        g_core.handles[h].open = open;
        g_core.handles[h].privilege = privilege;
    }
    return h;
}

bool FreeCallHandle(size_t handle, HDRVCALL* closeCall) {
    const size_t call = g_core.handles[handle].call;
    ReleaseSlot(g_core.handles[handle]);
    for (const CallHandleSlot& h : g_core.handles)
        if (h.used && h.call == call)
            return false;
    CallSlot& c = g_core.calls[call];
    const bool known = c.known;
    if (closeCall != nullptr)
        *closeCall = c.hdCall;
    ReleaseSlot(c);
    return known;
}

size_t NewRequest(size_t app, DWORD_PTR instance) {
    const size_t r = TakeSlot(g_core.requests);
    if (r == kNone)
        return kNone;
    // Positive request identifiers, never one still pending.
    for (;;) {
        g_core.lastRequestId = g_core.lastRequestId >= 0x7FFFFFFF ? 1 : g_core.lastRequestId + 1;
        const bool taken =
            std::any_of(g_core.requests.begin(), g_core.requests.end(),
                        [](const RequestSlot& q) { return q.used && q.id == g_core.lastRequestId; });
        if (!taken)
            break;
    }
    RequestSlot& q = g_core.requests[r];
    q.id = g_core.lastRequestId;
    q.app = app;
    q.instance = instance;
    return r;
}

void FreeRequest(size_t request) {
    ReleaseSlot(g_core.requests[request]);
}

void DropReservation(RequestSlot& request) {
    if (request.newCall == kNone)
        return;
    size_t h = kNone;
    if (FindCallHandle(request.newHandle, &h) != nullptr && g_core.handles[h].call == request.newCall) {
        // The provider keeps nothing of a call whose request failed.
        g_core.calls[request.newCall].known = false;
        FreeCallHandle(h, nullptr);
    }
    request.newCall = kNone;
    request.newHandle = 0;
}

// ----------------------------------------------------------------- messages

void Post(size_t app, DWORD device, DWORD message, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR p2,
          DWORD_PTR p3, size_t request) {
    AppSlot& a = g_core.apps[app];
    if (!a.used)
        return;
    if (a.queue.size() >= kMaxQueued) {
        ++a.dropped;
        return;
    }
    const bool wasEmpty = a.queue.empty();
    QueuedMessage queued;
    queued.message = LINEMESSAGE{device, message, instance, p1, p2, p3};
    queued.request = request;
    a.queue.push_back(queued);
    if (wasEmpty && a.waker != nullptr && a.waker->set != nullptr)
        a.waker->set(a.wakerValue);
    g_messageCv.notify_all();
}

bool InProviderEvent() {
    return t_inEvent > 0;
}

void CALLBACK LineEventProc(HTAPILINE htLine, HTAPICALL htCall, DWORD msg, DWORD_PTR p1, DWORD_PTR p2,
                            DWORD_PTR p3) {
    EventScope scope;
    if (msg == static_cast<DWORD>(LINE_NEWCALL)) {
        OnNewCall(htLine, p1, p2);
        return;
    }
    std::lock_guard lock(g_lock);
    const size_t device = DeviceOf(htLine);
    switch (msg) {
        case LINE_LINEDEVSTATE:
            OnLineDevState(device, p1, p2, p3);
            return;
        case LINE_ADDRESSSTATE:
            if (device != kNone)
                OnAddressState(device, p1, p2);
            return;
        case LINE_CLOSE:
            if (device != kNone)
                OnLineClose(device);
            return;
        case LINE_DEVSPECIFIC:
        case LINE_DEVSPECIFICFEATURE:
            if (device != kNone)
                PostToOpens(device, msg, p1, p2, p3);
            return;
        default:
            break;
    }
    const size_t call = CallOf(htCall);
    if (call == kNone)
        return;
    switch (msg) {
        case LINE_CALLSTATE:
            g_core.calls[call].state = static_cast<DWORD>(p1);
            PostToCallHandles(call, LINE_CALLSTATE, p1, p2, 0);
            return;
        case LINE_GENERATE:
            // The provider's second parameter is the end-to-end identifier;
            // the application gets the tick count there.
            PostToCallHandles(call, LINE_GENERATE, p1, p3, 0);
            return;
        case LINE_CALLINFO:
        case LINE_GATHERDIGITS:
        case LINE_MONITORDIGITS:
        case LINE_MONITORMEDIA:
        case LINE_MONITORTONE:
        case static_cast<DWORD>(LINE_CALLDEVSPECIFIC):
        case static_cast<DWORD>(LINE_CALLDEVSPECIFICFEATURE):
            PostToCallHandles(call, AppMessageOf(msg), p1, p2, p3);
            return;
        default:
            return;
    }
}

void CALLBACK CompletionProc(DRV_REQUESTID id, LONG result) {
    std::lock_guard lock(g_lock);
    for (size_t r = 0; r < kMaxRequests; ++r) {
        RequestSlot& q = g_core.requests[r];
        // A request is completed once; a second completion is ignored.
        if (!q.used || q.id != id || q.completed)
            continue;
        q.completed = true;
        q.result = result;
        if (q.returned && result != 0)
            DropReservation(q);
        Post(q.app, 0, LINE_REPLY, q.instance, id, static_cast<DWORD>(result), 0, r);
        return;
    }
}

}  // namespace zq::tapiapp
