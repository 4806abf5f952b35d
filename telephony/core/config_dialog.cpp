// lineConfigDialogA: the provider's own setup dialog. Its user-interface
// half is loaded from a private copy of the file the provider names, so
// that the two halves share no globals, as when they run in two processes.
// Every record the dialog exchanges reaches the provider's instance as a
// copy, and the answer is copied back.
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

LONG CALLBACK ExchangeDialogData(DWORD_PTR objectId, DWORD objectType, LPVOID params, DWORD size) {
    if (size > kMaxDialogRecord || (params == nullptr && size != 0))
        return LINEERR_INVALPARAM;
    ProviderCall provider;
    if (!provider.loaded())
        return LINEERR_OPERATIONFAILED;
    const auto exchange = provider.api().providerGenericDialogData;
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

// Where the user-interface file the provider names may be, best first.
LONG UserInterfaceFiles(DWORD device, std::vector<std::string>* files) {
    ProviderCall provider;
    {
        std::lock_guard lock(g_lock);
        if (!provider.loaded())
            return LINEERR_UNINITIALIZED;
        if (device >= g_core.provider.numLines)
            return LINEERR_BADDEVICEID;
    }
    const auto identify = provider.api().providerUIIdentify;
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
    *files = ProviderFileCandidates(file);
    return 0;
}

}  // namespace

extern "C" LONG WINAPI lineConfigDialogA(DWORD dwDeviceID, HWND hwndOwner, LPCSTR lpszDeviceClass) {
    std::vector<std::string> files;
    if (const LONG e = UserInterfaceFiles(dwDeviceID, &files); e != 0)
        return e;
    plat::Module* ui = nullptr;
    for (const std::string& file : files)
        if (plat::module_load_copy(file, &ui) == plat::kErrSuccess)
            break;
    if (ui == nullptr)
        return LINEERR_OPERATIONFAILED;
    const auto dialog =
        reinterpret_cast<TuispiLineConfigDialog>(plat::module_symbol(ui, "TUISPI_lineConfigDialog"));
    const WideArg deviceClass(lpszDeviceClass);
    // No lock is held: the dialog is modal and may run for long.
    const LONG result = dialog != nullptr
                            ? dialog(ExchangeDialogData, dwDeviceID, hwndOwner, deviceClass.get())
                            : LINEERR_OPERATIONUNAVAIL;
    plat::module_free(ui);
    return result;
}

}  // namespace zq::tapiapp
