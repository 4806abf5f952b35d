#include "win32/tapi_binder.h"

#include <windows.h>

#include <array>
#include <cstddef>
#include <string_view>

namespace zq::dialer::win32 {
namespace {

constexpr size_t kFunctions = std::size(kTapiNames);

// The position of an exported name in kTapiNames; a name not listed does
// not compile.
consteval size_t NameIndex(std::string_view name) {
    for (size_t i = 0; i < kFunctions; ++i)
        if (name == kTapiNames[i])
            return i;
    throw "not a bound TAPI function";
}

struct Binding {
    bool loadTried = false;
    HMODULE module = nullptr;
    std::array<bool, kFunctions> lookedUp{};
    std::array<FARPROC, kFunctions> procs{};
};

// One user-interface thread calls TAPI: no lock.
Binding g_binding;

FARPROC Bound(size_t index) {
    Binding& b = g_binding;
    if (!b.loadTried) {
        b.loadTried = true;
        b.module = LoadLibraryA("TAPI32.DLL");
    }
    if (b.module == nullptr)
        return nullptr;
    if (!b.lookedUp[index]) {
        b.lookedUp[index] = true;
        b.procs[index] = GetProcAddress(b.module, kTapiNames[index]);
    }
    return b.procs[index];
}

// The stub of function I, with the exact signature of the table's entry.
template <size_t I, typename F>
struct Stub;

template <size_t I, typename... Args>
struct Stub<I, LONG(WINAPI*)(Args...)> {
    using Function = LONG(WINAPI*)(Args...);
    static LONG WINAPI Call(Args... args) {
        const auto function = reinterpret_cast<Function>(reinterpret_cast<void*>(Bound(I)));
        if (function == nullptr)
            return LINEERR_OPERATIONUNAVAIL;
        return function(args...);
    }
};

template <size_t I, typename F>
void Set(F& entry) {
    entry = &Stub<I, F>::Call;
}

}  // namespace

TapiApi LazyTapi32() {
    TapiApi api;
    Set<NameIndex("lineAnswer")>(api.lineAnswer);
    Set<NameIndex("lineClose")>(api.lineClose);
    Set<NameIndex("lineCompleteCall")>(api.lineCompleteCall);
    Set<NameIndex("lineCompleteTransfer")>(api.lineCompleteTransfer);
    Set<NameIndex("lineConfigDialogA")>(api.lineConfigDialogA);
    Set<NameIndex("lineDeallocateCall")>(api.lineDeallocateCall);
    Set<NameIndex("lineDevSpecific")>(api.lineDevSpecific);
    Set<NameIndex("lineDialA")>(api.lineDialA);
    Set<NameIndex("lineDrop")>(api.lineDrop);
    Set<NameIndex("lineForwardA")>(api.lineForwardA);
    Set<NameIndex("lineGenerateDigitsA")>(api.lineGenerateDigitsA);
    Set<NameIndex("lineGetAddressCapsA")>(api.lineGetAddressCapsA);
    Set<NameIndex("lineGetAddressStatusA")>(api.lineGetAddressStatusA);
    Set<NameIndex("lineGetCallInfoA")>(api.lineGetCallInfoA);
    Set<NameIndex("lineGetCallStatus")>(api.lineGetCallStatus);
    Set<NameIndex("lineGetDevCapsA")>(api.lineGetDevCapsA);
    Set<NameIndex("lineGetIDA")>(api.lineGetIDA);
    Set<NameIndex("lineGetRequestA")>(api.lineGetRequestA);
    Set<NameIndex("lineGetStatusMessages")>(api.lineGetStatusMessages);
    Set<NameIndex("lineGetTranslateCapsA")>(api.lineGetTranslateCapsA);
    Set<NameIndex("lineHold")>(api.lineHold);
    Set<NameIndex("lineInitializeExA")>(api.lineInitializeExA);
    Set<NameIndex("lineMakeCallA")>(api.lineMakeCallA);
    Set<NameIndex("lineNegotiateAPIVersion")>(api.lineNegotiateAPIVersion);
    Set<NameIndex("lineOpenA")>(api.lineOpenA);
    Set<NameIndex("lineParkA")>(api.lineParkA);
    Set<NameIndex("linePickupA")>(api.linePickupA);
    Set<NameIndex("lineRedirectA")>(api.lineRedirectA);
    Set<NameIndex("lineRegisterRequestRecipient")>(api.lineRegisterRequestRecipient);
    Set<NameIndex("lineSetCurrentLocation")>(api.lineSetCurrentLocation);
    Set<NameIndex("lineSetStatusMessages")>(api.lineSetStatusMessages);
    Set<NameIndex("lineSetTollListA")>(api.lineSetTollListA);
    Set<NameIndex("lineShutdown")>(api.lineShutdown);
    Set<NameIndex("lineTranslateAddress")>(api.lineTranslateAddress);
    Set<NameIndex("lineTranslateDialog")>(api.lineTranslateDialog);
    Set<NameIndex("lineUnhold")>(api.lineUnhold);
    Set<NameIndex("lineUnparkA")>(api.lineUnparkA);
    static_assert(kFunctions == 37, "every bound function has its line above");
    return api;
}

}  // namespace zq::dialer::win32
