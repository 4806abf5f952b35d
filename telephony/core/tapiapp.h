// The telephony application library's core, as the shells and the tests
// see it: the provider's TSPI functions as a table, how applications are
// woken, how messages are taken for a callback, and the assisted-telephony
// transport between processes. The application functions themselves are
// the extern "C" line* and tapi* functions of zq/tapi.h.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "zq/tapi.h"

namespace zq::tapiapp {

// The TSPI line functions TAPI's SDK declares but our headers may not.
using TspiLineCompleteCall = LONG(WINAPI*)(DRV_REQUESTID, HDRVCALL, LPDWORD, DWORD, DWORD);
using TspiLineDevSpecific = LONG(WINAPI*)(DRV_REQUESTID, HDRVLINE, DWORD, HDRVCALL, LPVOID, DWORD);
using TspiLinePark = LONG(WINAPI*)(DRV_REQUESTID, HDRVCALL, DWORD, LPCWSTR, LPVARSTRING);
using TspiLineRedirect = LONG(WINAPI*)(DRV_REQUESTID, HDRVCALL, LPCWSTR, DWORD);
using TspiLineUnpark = LONG(WINAPI*)(DRV_REQUESTID, HDRVLINE, DWORD, HTAPICALL, LPHDRVCALL, LPCWSTR);

// Every TSPI function the core calls; a null entry answers
// LINEERR_OPERATIONUNAVAIL. attach and detach, when set, stand for the
// module's load and unload (a provider linked into a test program).
struct ProviderApi {
    decltype(&TSPI_providerEnumDevices) providerEnumDevices = nullptr;
    decltype(&TSPI_providerInit) providerInit = nullptr;
    decltype(&TSPI_providerShutdown) providerShutdown = nullptr;
    decltype(&TSPI_lineNegotiateTSPIVersion) lineNegotiateTSPIVersion = nullptr;
    decltype(&TSPI_lineOpen) lineOpen = nullptr;
    decltype(&TSPI_lineClose) lineClose = nullptr;
    decltype(&TSPI_lineSetStatusMessages) lineSetStatusMessages = nullptr;
    decltype(&TSPI_lineGetDevCaps) lineGetDevCaps = nullptr;
    decltype(&TSPI_lineGetAddressCaps) lineGetAddressCaps = nullptr;
    decltype(&TSPI_lineGetAddressStatus) lineGetAddressStatus = nullptr;
    decltype(&TSPI_lineGetCallStatus) lineGetCallStatus = nullptr;
    decltype(&TSPI_lineGetCallInfo) lineGetCallInfo = nullptr;
    decltype(&TSPI_lineGetCallAddressID) lineGetCallAddressID = nullptr;
    decltype(&TSPI_lineGetID) lineGetID = nullptr;
    decltype(&TSPI_lineMakeCall) lineMakeCall = nullptr;
    decltype(&TSPI_lineDial) lineDial = nullptr;
    decltype(&TSPI_lineDrop) lineDrop = nullptr;
    decltype(&TSPI_lineAnswer) lineAnswer = nullptr;
    decltype(&TSPI_lineHold) lineHold = nullptr;
    decltype(&TSPI_lineUnhold) lineUnhold = nullptr;
    TspiLineRedirect lineRedirect = nullptr;
    TspiLineCompleteCall lineCompleteCall = nullptr;
    TspiLinePark linePark = nullptr;
    decltype(&TSPI_linePickup) linePickup = nullptr;
    TspiLineUnpark lineUnpark = nullptr;
    decltype(&TSPI_lineForward) lineForward = nullptr;
    decltype(&TSPI_lineSetupTransfer) lineSetupTransfer = nullptr;
    decltype(&TSPI_lineCompleteTransfer) lineCompleteTransfer = nullptr;
    decltype(&TSPI_lineBlindTransfer) lineBlindTransfer = nullptr;
    decltype(&TSPI_lineGenerateDigits) lineGenerateDigits = nullptr;
    TspiLineDevSpecific lineDevSpecific = nullptr;
    decltype(&TSPI_lineCloseCall) lineCloseCall = nullptr;
    decltype(&TSPI_providerUIIdentify) providerUIIdentify = nullptr;
    decltype(&TSPI_providerGenericDialogData) providerGenericDialogData = nullptr;
    void (*attach)() = nullptr;
    void (*detach)() = nullptr;
};

// From now on the first lineInitializeExA binds this table instead of
// loading a module (tests link the provider in). Takes effect at the next
// load; nullptr goes back to loading.
void UseProvider(const ProviderApi* api);

// How an application's message queue wakes it. set: the queue went from
// empty to non-empty; reset: it is empty again. Both run with the core's
// state lock held and must not block. create gives the waker's value
// (an eventfd, a window) and what lineInitializeExA returns as the event
// handle; false fails the initialisation with LINEERR_NOMEM.
struct Waker {
    bool (*create)(intptr_t* value, HANDLE* event) = nullptr;
    void (*set)(intptr_t value) = nullptr;
    void (*reset)(intptr_t value) = nullptr;
    void (*destroy)(intptr_t value) = nullptr;
};

// The wakers of LINEINITIALIZEEXOPTION_USEEVENT and _USEHIDDENWINDOW; a
// null pointer refuses that option with LINEERR_INVALPARAM (USEEVENT then
// works without waker: lineGetMessage waits by itself).
void SetWakers(const Waker* event, const Waker* hiddenWindow);

// The waker value of an initialised application; false for a stale handle.
bool AppWakerValue(HLINEAPP app, intptr_t* value);

// The next message of an application with its reply fix-ups done, for a
// shell that calls the application's callback; false when none is queued
// or the handle is stale.
bool TakeMessage(HLINEAPP app, LINEMESSAGE* message);

// The callback an application gave lineInitializeExA (hidden-window mode).
LINECALLBACK AppCallback(HLINEAPP app);

// Whether hLineApp is an initialised application.
bool IsInitialisedApp(HLINEAPP app);

// How a provider file named in the registry ("zq_6232.tsp") becomes the
// path to load; unset, the name is loaded as it is.
using ProviderPathMapper = std::string (*)(std::string_view file);
void SetProviderPathMapper(ProviderPathMapper mapper);

// Assisted telephony between processes. listen: this process has become
// the recipient of MAKECALL requests (false when another process is);
// unlisten: it no longer is; send: a request to the recipient of another
// process, TAPIERR_NOREQUESTRECIPIENT when there is none. None of them is
// called with a core lock held.
struct RequestTransport {
    bool (*listen)() = nullptr;
    void (*unlisten)() = nullptr;
    LONG (*send)(const LINEREQMAKECALL& request) = nullptr;
};
void SetRequestTransport(const RequestTransport& transport);

// A MAKECALL request that came from another process: queued for this
// process's recipient, which gets LINE_REQUEST. TAPIERR_ values.
LONG DeliverMakeCallRequest(const LINEREQMAKECALL& request);

}  // namespace zq::tapiapp
