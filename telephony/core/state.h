// The core's state: fixed tables of applications, devices, line opens,
// calls, call handles and requests, all under one leaf lock, and the
// provider binding. Internal to telephony/core.
#pragma once

#include <array>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "tapiapp.h"
#include "zq/platform.h"
#include "zq/tapi.h"

namespace zq::tapiapp {

inline constexpr size_t kMaxApps = 32;
inline constexpr size_t kMaxDevices = 16;
inline constexpr size_t kMaxOpens = 64;
inline constexpr size_t kMaxCalls = 64;
inline constexpr size_t kMaxCallHandles = 256;
inline constexpr size_t kMaxRequests = 128;
// Messages an application has not taken; further ones are dropped.
inline constexpr size_t kMaxQueued = 4096;
inline constexpr size_t kMaxAssistedRequests = 16;

inline constexpr DWORD kApiLowVersion = 0x00010004;
inline constexpr DWORD kApiHighVersion = 0x00020000;
inline constexpr DWORD kTspiVersion = 0x00020000;
inline constexpr size_t kNone = SIZE_MAX;

// A handle: kind (4 bits), generation (12 bits), table index + 1 (16 bits),
// so a stale handle or one of another kind is never taken for a live one.
enum class HandleKind : uint32_t { App = 1, Line = 2, Call = 3, TapiLine = 4, TapiCall = 5 };

uint32_t MakeHandle(HandleKind kind, size_t index, uint16_t generation);
// The table index a handle names when it is of this kind; kNone otherwise
// (the generation is checked by the caller against the slot).
size_t HandleIndex(HandleKind kind, uint32_t handle);
uint16_t HandleGeneration(uint32_t handle);
uint16_t NextGeneration(uint16_t generation);

// Frees a table slot; its generation stays, so its old handles stay stale.
template <typename Slot>
void ReleaseSlot(Slot& slot) {
    const uint16_t generation = slot.generation;
    slot = Slot{};
    slot.generation = generation;
}

struct QueuedMessage {
    LINEMESSAGE message{};
    // A LINE_REPLY names its request, whose fix-ups run when it is taken.
    size_t request = kNone;
};

struct AppSlot {
    bool used = false;
    uint16_t generation = 0;
    std::string name;
    DWORD options = 0;
    LINECALLBACK callback = nullptr;
    const Waker* waker = nullptr;
    intptr_t wakerValue = 0;
    std::deque<QueuedMessage> queue;
    size_t dropped = 0;
    bool makeCallRecipient = false;
    bool mediaCallRecipient = false;
    DWORD registrationInstance = 0;
    uint64_t serial = 0;  // initialisation order
};

struct DeviceSlot {
    uint16_t generation = 0;  // of the shared TSPI open
    HDRVLINE hdLine = nullptr;
    bool open = false;
    // A line the provider closed by itself (LINE_CLOSE) until TAPI answers
    // with TSPI_lineClose, at the next open or the provider's shutdown: the
    // event comes on the provider's worker, which that close stops.
    HDRVLINE closeOwed = nullptr;
    DWORD tspiVersion = kTspiVersion;
    // The union of the opens' masks the provider was last given.
    DWORD lineStates = 0;
    DWORD addressStates = 0;
};

struct OpenSlot {
    bool used = false;
    bool live = false;  // the device is open for it; it hears events
    uint16_t generation = 0;
    size_t app = kNone;
    size_t device = kNone;
    DWORD_PTR instance = 0;
    DWORD privileges = 0;
    DWORD mediaModes = 0;
    DWORD apiVersion = 0;
    DWORD lineStates = 0;
    DWORD addressStates = 0;
    uint64_t serial = 0;  // open order: the oldest owner gets new calls
};

struct CallSlot {
    bool used = false;
    uint16_t generation = 0;
    size_t device = kNone;
    HDRVCALL hdCall = nullptr;
    // The provider knows the call (it created it or accepted the request
    // that did); only then does TSPI_lineCloseCall follow its last handle.
    bool known = false;
    DWORD addressId = 0;
    DWORD state = 0;
    std::string appName;
};

struct CallHandleSlot {
    bool used = false;
    uint16_t generation = 0;
    size_t call = kNone;
    size_t open = kNone;
    DWORD privilege = 0;
    bool stateSent = false;
};

enum class Fixup : uint8_t { None, NewCall, Park, CompletionId };

struct RequestSlot {
    bool used = false;
    uint16_t generation = 0;
    DRV_REQUESTID id = 0;
    size_t app = kNone;
    DWORD_PTR instance = 0;
    Fixup fixup = Fixup::None;
    // The call a request creates: its handle and where the application
    // wants it written when the request succeeds.
    HCALL newHandle = 0;
    size_t newCall = kNone;
    LPHCALL target = nullptr;
    // lineParkA's non-directed address (wide until the reply) and
    // lineCompleteCall's completion identifier.
    std::vector<uint8_t> wide;
    LPVARSTRING parkTarget = nullptr;
    DWORD completionId = 0;
    LPDWORD completionTarget = nullptr;
    bool returned = false;   // the provider's function has returned
    bool completed = false;  // the completion procedure has run
    LONG result = 0;
};

struct ProviderSlot {
    bool loaded = false;
    ProviderApi api;
    plat::Module* module = nullptr;
    std::string path;  // the file it was loaded from, empty when linked in
    DWORD permanentId = 1;
    DWORD numLines = 0;
    bool nonReentrant = false;
    bool reinitPending = false;
};

struct CoreState {
    std::array<AppSlot, kMaxApps> apps;
    std::array<DeviceSlot, kMaxDevices> devices;
    std::array<OpenSlot, kMaxOpens> opens;
    std::array<CallSlot, kMaxCalls> calls;
    std::array<CallHandleSlot, kMaxCallHandles> handles;
    std::array<RequestSlot, kMaxRequests> requests;
    std::deque<LINEREQMAKECALL> assisted;
    ProviderSlot provider;
    DRV_REQUESTID lastRequestId = 0;
    DWORD lastEndToEndId = 0;
    uint64_t serial = 0;
};

// The state lock: a leaf, never held across a provider call, an
// application callback or anything that blocks.
extern std::mutex g_lock;
extern std::condition_variable g_messageCv;
extern CoreState g_core;
// Exclusive while the provider is loaded or unloaded, shared around every
// provider call from an application thread.
extern std::shared_mutex g_life;
// Line opens and closes, and the status masks the provider is given.
extern std::mutex g_openClose;

// ---- lookups and slot management (g_lock held)
AppSlot* FindApp(HLINEAPP handle, size_t* index = nullptr);
OpenSlot* FindOpen(HLINE handle, size_t* index = nullptr);
CallHandleSlot* FindCallHandle(HCALL handle, size_t* index = nullptr);
HLINEAPP AppHandle(size_t index);
HLINE OpenHandle(size_t index);
HCALL CallHandle(size_t index);
HTAPILINE TapiLine(size_t device);
HTAPICALL TapiCall(size_t call);
size_t DeviceOf(HTAPILINE htLine);
size_t CallOf(HTAPICALL htCall);

size_t NewCall(size_t device);
size_t NewCallHandle(size_t call, size_t open, DWORD privilege);
// Frees a handle; true when it was its call's last (the call is freed too
// and *closeCall gets the provider's handle when the provider knows it).
bool FreeCallHandle(size_t handle, HDRVCALL* closeCall);
size_t NewRequest(size_t app, DWORD_PTR instance);
void FreeRequest(size_t request);
// Frees what a failed request reserved.
void DropReservation(RequestSlot& request);

// Appends a message to an application's queue and wakes it.
void Post(size_t app, DWORD device, DWORD message, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR p2,
          DWORD_PTR p3, size_t request = kNone);

// The provider's event and completion procedures.
void CALLBACK LineEventProc(HTAPILINE htLine, HTAPICALL htCall, DWORD msg, DWORD_PTR p1, DWORD_PTR p2,
                            DWORD_PTR p3);
void CALLBACK CompletionProc(DRV_REQUESTID id, LONG result);

// ---- the provider
// Loads and initialises it (g_life held exclusively, g_lock not held).
LONG LoadProvider();
void UnloadProvider();

// A provider file of the registry's list ("zq_6232.tsp") as the path to
// load: the shell's mapping, or the name as it is.
std::string MapProviderFile(std::string_view file);

// Where a file a provider names by itself (its user-interface half) may be,
// best first: beside the provider's own file `providerPath` (empty: linked
// in), then where provider files are looked for.
std::vector<std::string> ProviderFileCandidates(std::string_view file, const std::string& providerPath);

// The registry's list of providers, in its order (provider_list.cpp).
struct ListedProvider {
    DWORD id = 0;
    std::string file;
};
std::vector<ListedProvider> ReadProviderList();

// ---- the provider's user-interface half (config_dialog.cpp)
using DialogDataFn = decltype(&TSPI_providerGenericDialogData);
using UiIdentifyFn = decltype(&TSPI_providerUIIdentify);

// Where the user-interface file a provider names may be, best first.
LONG UserInterfaceFiles(UiIdentifyFn identify, const std::string& providerPath,
                        std::vector<std::string>* files);

// Loads a private copy of the first of `files` that loads, so that the two
// halves share no globals, and calls its function `entry` through `call`,
// given the callback that carries each record the dialogs exchange, as a
// copy, to `dialogData` (null: the loaded provider's). *called tells
// whether `entry` ran. LINEERR_OPERATIONFAILED when no file loads,
// LINEERR_OPERATIONUNAVAIL when it lacks `entry`. No lock is held: the
// dialogs are modal and may run for long.
using UiCall = LONG (*)(plat::ModuleProc entry, TUISPIDLLCALLBACK callback, const void* context);
LONG RunUserInterface(const std::vector<std::string>& files, const char* entry, DialogDataFn dialogData,
                      UiCall call, const void* context, bool* called);

// Held around a provider call from an application thread: keeps the
// provider loaded and, when it is not reentrant, serialises its calls.
class ProviderCall {
public:
    ProviderCall();
    ~ProviderCall();
    ProviderCall(const ProviderCall&) = delete;
    ProviderCall& operator=(const ProviderCall&) = delete;
    // The functions, as bound when the provider was loaded.
    const ProviderApi& api() const { return g_core.provider.api; }
    bool loaded() const { return g_core.provider.loaded; }

private:
    std::shared_lock<std::shared_mutex> life_;
    std::unique_lock<std::mutex> serial_;
};

// Whether this thread runs inside the provider's event procedure.
bool InProviderEvent();

}  // namespace zq::tapiapp
