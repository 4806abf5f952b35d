// Assisted telephony: applications register as the recipient of MAKECALL
// requests, other programs send them with tapiRequestMakeCallA, in this
// process directly or from another one through the shell's transport.
#include <algorithm>
#include <cstring>
#include <string_view>

#include "requests.h"
#include "state.h"

namespace zq::tapiapp {

namespace {

constexpr DWORD kRequestModes = LINEREQUESTMODE_MAKECALL | LINEREQUESTMODE_MEDIACALL;

// Registration changes and the transport; taken before g_lock.
std::mutex g_recipients;
RequestTransport g_transport;
bool g_listening = false;

// The oldest MAKECALL recipient of this process (g_lock held).
size_t Recipient() {
    size_t found = kNone;
    for (size_t a = 0; a < kMaxApps; ++a) {
        const AppSlot& app = g_core.apps[a];
        if (app.used && app.makeCallRecipient && (found == kNone || app.serial < g_core.apps[found].serial))
            found = a;
    }
    return found;
}

// Copies text into a fixed field, cut to leave its NUL.
template <size_t N>
void Fill(char (&field)[N], LPCSTR text) {
    std::memset(field, 0, N);
    if (text != nullptr)
        std::memcpy(field, text, std::min(std::strlen(text), N - 1));
}

}  // namespace

void SetRequestTransport(const RequestTransport& transport) {
    std::lock_guard recipients(g_recipients);
    g_transport = transport;
}

bool ForgetRecipient(size_t app) {
    AppSlot& a = g_core.apps[app];
    const bool was = a.makeCallRecipient;
    a.makeCallRecipient = false;
    a.mediaCallRecipient = false;
    return was && Recipient() == kNone;
}

void StopListening() {
    std::lock_guard recipients(g_recipients);
    {
        std::lock_guard lock(g_lock);
        if (Recipient() != kNone)
            return;
    }
    if (g_listening && g_transport.unlisten != nullptr)
        g_transport.unlisten();
    g_listening = false;
}

LONG DeliverMakeCallRequest(const LINEREQMAKECALL& request) {
    std::lock_guard lock(g_lock);
    const size_t app = Recipient();
    if (app == kNone)
        return TAPIERR_NOREQUESTRECIPIENT;
    if (g_core.assisted.size() >= kMaxAssistedRequests)
        return TAPIERR_REQUESTQUEUEFULL;
    g_core.assisted.push_back(request);
    Post(app, 0, LINE_REQUEST, g_core.apps[app].registrationInstance, LINEREQUESTMODE_MAKECALL, 0, 0);
    return 0;
}

}  // namespace zq::tapiapp

using namespace zq::tapiapp;

extern "C" {

LONG WINAPI lineRegisterRequestRecipient(HLINEAPP hLineApp, DWORD dwRegistrationInstance, DWORD dwRequestMode,
                                         DWORD bEnable) {
    if (dwRequestMode == 0 || (dwRequestMode & ~kRequestModes) != 0)
        return LINEERR_INVALREQUESTMODE;
    bool stop = false;
    std::lock_guard recipients(g_recipients);
    {
        std::lock_guard lock(g_lock);
        AppSlot* app = FindApp(hLineApp);
        if (app == nullptr)
            return LINEERR_INVALAPPHANDLE;
        if ((dwRequestMode & LINEREQUESTMODE_MAKECALL) != 0)
            app->makeCallRecipient = bEnable != 0;
        if ((dwRequestMode & LINEREQUESTMODE_MEDIACALL) != 0)
            app->mediaCallRecipient = bEnable != 0;
        if (bEnable != 0)
            app->registrationInstance = dwRegistrationInstance;
        stop = Recipient() == kNone;
    }
    if (!stop && !g_listening && g_transport.listen != nullptr) {
        // Another process may be the recipient already: this one then
        // hears the requests of its own process only.
        g_listening = g_transport.listen();
    } else if (stop && g_listening) {
        if (g_transport.unlisten != nullptr)
            g_transport.unlisten();
        g_listening = false;
    }
    return 0;
}

LONG WINAPI lineGetRequestA(HLINEAPP hLineApp, DWORD dwRequestMode, LPVOID lpRequestBuffer) {
    std::lock_guard lock(g_lock);
    const AppSlot* app = FindApp(hLineApp);
    if (app == nullptr)
        return LINEERR_INVALAPPHANDLE;
    if (lpRequestBuffer == nullptr)
        return LINEERR_INVALPOINTER;
    switch (dwRequestMode) {
        case LINEREQUESTMODE_MAKECALL:
            if (!app->makeCallRecipient)
                return LINEERR_NOTREGISTERED;
            if (g_core.assisted.empty())
                return LINEERR_NOREQUEST;
            std::memcpy(lpRequestBuffer, &g_core.assisted.front(), sizeof(LINEREQMAKECALL));
            g_core.assisted.pop_front();
            return 0;
        case LINEREQUESTMODE_MEDIACALL:
            // Accepted, but nothing sends media calls.
            return app->mediaCallRecipient ? LINEERR_NOREQUEST : LINEERR_NOTREGISTERED;
        default:
            return LINEERR_INVALREQUESTMODE;
    }
}

LONG WINAPI tapiRequestMakeCallA(LPCSTR lpszDestAddress, LPCSTR lpszAppName, LPCSTR lpszCalledParty,
                                 LPCSTR lpszComment) {
    if (lpszDestAddress == nullptr || *lpszDestAddress == '\0' ||
        std::strlen(lpszDestAddress) >= TAPIMAXDESTADDRESSSIZE)
        return TAPIERR_INVALDESTADDRESS;
    LINEREQMAKECALL request;
    Fill(request.szDestAddress, lpszDestAddress);
    Fill(request.szAppName, lpszAppName);
    Fill(request.szCalledParty, lpszCalledParty);
    Fill(request.szComment, lpszComment);
    const LONG here = DeliverMakeCallRequest(request);
    if (here != TAPIERR_NOREQUESTRECIPIENT)
        return here;
    LONG (*send)(const LINEREQMAKECALL&) = nullptr;
    {
        std::lock_guard recipients(g_recipients);
        send = g_transport.send;
    }
    return send != nullptr ? send(request) : TAPIERR_NOREQUESTRECIPIENT;
}

}  // extern "C"
