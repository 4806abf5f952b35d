// The provider's user-interface half, as lineConfigDialogA, lineAddProvider
// and lineRemoveProvider run it. It is loaded from a private copy of the
// file the provider names, so that the two halves share no globals, as when
// they run in two processes. Every record the dialogs exchange reaches the
// provider's instance as a copy, and the answer is copied back.
#include <cstring>
#include <string>
#include <vector>

#include "state.h"
#include "wide.h"

namespace zq::tapiapp {
namespace {

// A record larger than this is no setup record.
constexpr DWORD kMaxDialogRecord = 64 * 1024;
// MAX_PATH: the longest file name TSPI_providerUIIdentify writes.
constexpr size_t kMaxPath = 260;

using TuispiLineConfigDialog = LONG(WINAPI*)(TUISPIDLLCALLBACK, DWORD, HWND, LPCWSTR);

// The provider instance the records of this thread's user-interface call go
// to; null: the loaded provider's. The dialogs call back on the thread that
// called them.
thread_local DialogDataFn t_dialogData = nullptr;

LONG CALLBACK ExchangeDialogData(DWORD_PTR objectId, DWORD objectType, LPVOID params, DWORD size) {
    if (size > kMaxDialogRecord || (params == nullptr && size != 0))
        return LINEERR_INVALPARAM;
    // Also around a provider being installed: when it is the loaded one, its
    // calls stay one at a time.
    ProviderCall provider;
    DialogDataFn exchange = t_dialogData;
    if (exchange == nullptr) {
        if (!provider.loaded())
            return LINEERR_OPERATIONFAILED;
        exchange = provider.api().providerGenericDialogData;
    }
    if (exchange == nullptr)
        return LINEERR_OPERATIONUNAVAIL;
    std::vector<uint8_t> record(size);
    if (size != 0)
        std::memcpy(record.data(), params, size);
    const LONG result = exchange(objectId, objectType, size != 0 ? record.data() : nullptr, size);
    if (size != 0)
        std::memcpy(params, record.data(), size);
    return result;
}

// The loaded provider's user-interface files, for one of its devices.
LONG LoadedProviderUserInterface(DWORD device, std::vector<std::string>* files) {
    ProviderCall provider;
    {
        std::lock_guard lock(g_lock);
        if (!provider.loaded())
            return LINEERR_UNINITIALIZED;
        if (device >= g_core.provider.numLines)
            return LINEERR_BADDEVICEID;
    }
    return UserInterfaceFiles(provider.api().providerUIIdentify, g_core.provider.path, files);
}

struct ConfigDialogArgs {
    DWORD device;
    HWND owner;
    LPCWSTR deviceClass;
};

LONG CallConfigDialog(plat::ModuleProc entry, TUISPIDLLCALLBACK callback, const void* context) {
    const auto* args = static_cast<const ConfigDialogArgs*>(context);
    return reinterpret_cast<TuispiLineConfigDialog>(entry)(callback, args->device, args->owner,
                                                           args->deviceClass);
}

}  // namespace

LONG UserInterfaceFiles(UiIdentifyFn identify, const std::string& providerPath,
                        std::vector<std::string>* files) {
    if (identify == nullptr)
        return LINEERR_OPERATIONUNAVAIL;
    // The provider writes at most kMaxPath characters; the rest stays zero.
    std::vector<char16_t> name(2 * kMaxPath + 1, u'\0');
    if (const LONG e = identify(reinterpret_cast<LPWSTR>(name.data())); e != 0)
        return e;
    name.back() = u'\0';
    const std::string file = WideToUtf8(name.data());
    if (file.empty())
        return LINEERR_OPERATIONUNAVAIL;
    *files = ProviderFileCandidates(file, providerPath);
    return 0;
}

LONG RunUserInterface(const std::vector<std::string>& files, const char* entry, DialogDataFn dialogData,
                      UiCall call, const void* context, bool* called) {
    *called = false;
    plat::Module* ui = nullptr;
    for (const std::string& file : files)
        if (plat::module_load_copy(file, &ui) == plat::kErrSuccess)
            break;
    if (ui == nullptr)
        return LINEERR_OPERATIONFAILED;
    const plat::ModuleProc function = plat::module_symbol(ui, entry);
    LONG result = LINEERR_OPERATIONUNAVAIL;
    if (function != nullptr) {
        const DialogDataFn previous = t_dialogData;
        t_dialogData = dialogData;
        *called = true;
        result = call(function, ExchangeDialogData, context);
        t_dialogData = previous;
    }
    plat::module_free(ui);
    return result;
}

extern "C" LONG WINAPI lineConfigDialogA(DWORD dwDeviceID, HWND hwndOwner, LPCSTR lpszDeviceClass) {
    std::vector<std::string> files;
    if (const LONG e = LoadedProviderUserInterface(dwDeviceID, &files); e != 0)
        return e;
    const WideArg deviceClass(lpszDeviceClass);
    const ConfigDialogArgs args{dwDeviceID, hwndOwner, deviceClass.get()};
    bool called = false;
    return RunUserInterface(files, "TUISPI_lineConfigDialog", nullptr, CallConfigDialog, &args, &called);
}

}  // namespace zq::tapiapp
