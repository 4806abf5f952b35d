// The provider's user-interface entry points. TAPI calls them in the
// process that shows the dialogs, with a callback that carries each record
// to the running provider; every one runs the same setup sequence.
#include <array>
#include <string>

#include "core/lifecycle.h"
#include "core/trace.h"
#include "setup/model.h"
#include "zq/tapi.h"

using namespace zq;

namespace {

LONG NothingToDo() {
    return 0;
}

}  // namespace

extern "C" {

LONG WINAPI TUISPI_lineConfigDialog(TUISPIDLLCALLBACK lpfnUIDLLCallback, DWORD dwDeviceID, HWND hwndOwner,
                                    LPCWSTR /*lpszDeviceClass*/) {
    return setup::RunSetup(setup::PlatformView(hwndOwner), lpfnUIDLLCallback, dwDeviceID, setup::OBJECT_LINE,
                           dwDeviceID, "");
}

LONG WINAPI TUISPI_phoneConfigDialog(TUISPIDLLCALLBACK lpfnUIDLLCallback, DWORD dwDeviceID, HWND hwndOwner,
                                     LPCWSTR /*lpszDeviceClass*/) {
    return setup::RunSetup(setup::PlatformView(hwndOwner), lpfnUIDLLCallback, dwDeviceID, setup::OBJECT_PHONE,
                           dwDeviceID, "");
}

LONG WINAPI TUISPI_providerConfig(TUISPIDLLCALLBACK lpfnUIDLLCallback, HWND hwndOwner,
                                  DWORD dwPermanentProviderID) {
    const std::array<TraceArg, 1> args{TraceArg(g_provider.moduleInstance)};
    const std::string trace = FormatTrace("TUISPI_providerConfig hInst %lx", args);
    return setup::RunSetup(setup::PlatformView(hwndOwner), lpfnUIDLLCallback, dwPermanentProviderID,
                           setup::OBJECT_PROVIDER, 0, trace);
}

LONG WINAPI TUISPI_providerInstall(TUISPIDLLCALLBACK lpfnUIDLLCallback, HWND hwndOwner,
                                   DWORD dwPermanentProviderID) {
    // Installing goes on whether or not the settings could be shown.
    TUISPI_providerConfig(lpfnUIDLLCallback, hwndOwner, dwPermanentProviderID);
    return 0;
}

LONG WINAPI TUISPI_providerRemove(TUISPIDLLCALLBACK /*lpfnUIDLLCallback*/, HWND /*hwndOwner*/,
                                  DWORD /*dwPermanentProviderID*/) {
    return NothingToDo();
}

LONG WINAPI TUISPI_providerGenericDialogData(HTAPIDIALOGINSTANCE /*htDlgInst*/, LPVOID /*lpParams*/,
                                             DWORD /*dwSize*/) {
    return NothingToDo();
}

// The provider opens no dialog instance of its own: the event only tells
// TAPI the (empty) dialog is ready. Elsewhere the handle is opaque and
// nobody waits on it.
LONG WINAPI TUISPI_providerGenericDialog(TUISPIDLLCALLBACK /*lpfnUIDLLCallback*/,
                                         HTAPIDIALOGINSTANCE /*htDlgInst*/, LPVOID /*lpParams*/,
                                         DWORD /*dwSize*/, HANDLE hEvent) {
#if defined(_WIN32)
    if (hEvent != nullptr)
        SetEvent(hEvent);
#else
    (void)hEvent;
#endif
    return 0;
}

}  // extern "C"
