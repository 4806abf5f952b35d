// The synchronous questions to the provider: capabilities, status, call
// information and device identifiers, with what only the library knows
// added to the provider's answer.
#include <algorithm>
#include <cctype>
#include <cstddef>
#include <string_view>

#include "state.h"
#include "wide.h"

namespace zq::tapiapp {

namespace {

constexpr std::string_view kTapiLineClass = "tapi/line";

bool SameClass(LPCSTR name, std::string_view expected) {
    const std::string_view text(name);
    return text.size() == expected.size() &&
           std::equal(text.begin(), text.end(), expected.begin(),
                      [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) == b; });
}

// What a query on a line or call needs from the tables (g_lock held).
struct Subject {
    size_t device = kNone;
    size_t open = kNone;
    HDRVLINE hdLine = nullptr;
    HDRVCALL hdCall = nullptr;
    size_t handle = kNone;
    size_t call = kNone;
};

LONG LineSubject(HLINE hLine, Subject* s) {
    const OpenSlot* open = FindOpen(hLine, &s->open);
    if (open == nullptr)
        return LINEERR_INVALLINEHANDLE;
    s->device = open->device;
    s->hdLine = g_core.devices[open->device].hdLine;
    return 0;
}

LONG CallSubject(HCALL hCall, Subject* s) {
    const CallHandleSlot* handle = FindCallHandle(hCall, &s->handle);
    if (handle == nullptr)
        return LINEERR_INVALCALLHANDLE;
    const CallSlot& call = g_core.calls[handle->call];
    s->call = handle->call;
    s->open = handle->open;
    s->device = call.device;
    s->hdCall = call.hdCall;
    s->hdLine = g_core.devices[call.device].hdLine;
    return 0;
}

LONG DeviceSubject(HLINEAPP hLineApp, DWORD device, DWORD apiVersion) {
    if (FindApp(hLineApp) == nullptr)
        return LINEERR_INVALAPPHANDLE;
    if (device >= g_core.provider.numLines)
        return LINEERR_BADDEVICEID;
    if (apiVersion < kApiLowVersion || apiVersion > kApiHighVersion)
        return LINEERR_INCOMPATIBLEAPIVERSION;
    return 0;
}

// Appends the application's name to the wide call information when the
// provider left it out, where it fits; the needed size counts it anyway.
void AddAppName(std::vector<uint8_t>& wide, const std::string& name) {
    if (name.empty() || ReadDword(wide.data(), offsetof(LINECALLINFO, dwAppNameSize)) != 0)
        return;
    const std::u16string text = Utf8ToWide(name);
    const DWORD bytes = static_cast<DWORD>((text.size() + 1) * sizeof(char16_t));
    const DWORD total = static_cast<DWORD>(wide.size());
    const DWORD needed = ReadDword(wide.data(), offsetof(LINECALLINFO, dwNeededSize));
    const DWORD used = ReadDword(wide.data(), offsetof(LINECALLINFO, dwUsedSize));
    WriteDword(wide.data(), offsetof(LINECALLINFO, dwNeededSize), std::max(needed, used) + bytes);
    const DWORD at = (used + 1) & ~1u;
    if (used > total || at > total || total - at < bytes)
        return;
    std::memcpy(wide.data() + at, text.c_str(), bytes);
    WriteDword(wide.data(), offsetof(LINECALLINFO, dwAppNameSize), bytes);
    WriteDword(wide.data(), offsetof(LINECALLINFO, dwAppNameOffset), at);
    WriteDword(wide.data(), offsetof(LINECALLINFO, dwUsedSize), at + bytes);
}

// A VARSTRING holding a device identifier.
LONG WriteDeviceId(LPVARSTRING out, DWORD device) {
    const DWORD total = ReadDword(out, 0);
    if (total < sizeof(VARSTRING))
        return LINEERR_STRUCTURETOOSMALL;
    const DWORD needed = sizeof(VARSTRING) + sizeof(DWORD);
    std::vector<uint8_t> bytes(sizeof(VARSTRING));
    WriteDword(bytes.data(), offsetof(VARSTRING, dwTotalSize), total);
    WriteDword(bytes.data(), offsetof(VARSTRING, dwNeededSize), needed);
    WriteDword(bytes.data(), offsetof(VARSTRING, dwStringFormat), STRINGFORMAT_BINARY);
    if (total >= needed) {
        WriteDword(bytes.data(), offsetof(VARSTRING, dwUsedSize), needed);
        WriteDword(bytes.data(), offsetof(VARSTRING, dwStringSize), sizeof(DWORD));
        WriteDword(bytes.data(), offsetof(VARSTRING, dwStringOffset), sizeof(VARSTRING));
        WriteDword(out, sizeof(VARSTRING), device);
    } else {
        WriteDword(bytes.data(), offsetof(VARSTRING, dwUsedSize), sizeof(VARSTRING));
    }
    std::memcpy(out, bytes.data(), bytes.size());
    return 0;
}

}  // namespace

}  // namespace zq::tapiapp

using namespace zq::tapiapp;

extern "C" {

LONG WINAPI lineGetDevCapsA(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPIVersion, DWORD dwExtVersion,
                            LPLINEDEVCAPS lpLineDevCaps) {
    ProviderCall provider;
    {
        std::lock_guard lock(g_lock);
        if (const LONG e = DeviceSubject(hLineApp, dwDeviceID, dwAPIVersion); e != 0)
            return e;
    }
    const auto get = provider.api().lineGetDevCaps;
    if (get == nullptr)
        return LINEERR_OPERATIONUNAVAIL;
    const DWORD tspi = g_core.devices[dwDeviceID].tspiVersion;
    return QueryConverted(StructKind::DevCaps, lpLineDevCaps, [&](std::vector<uint8_t>& wide) {
        return get(dwDeviceID, tspi, dwExtVersion, reinterpret_cast<LPLINEDEVCAPS>(wide.data()));
    });
}

LONG WINAPI lineGetAddressCapsA(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAddressID, DWORD dwAPIVersion,
                                DWORD dwExtVersion, LPLINEADDRESSCAPS lpAddressCaps) {
    ProviderCall provider;
    {
        std::lock_guard lock(g_lock);
        if (const LONG e = DeviceSubject(hLineApp, dwDeviceID, dwAPIVersion); e != 0)
            return e;
    }
    const auto get = provider.api().lineGetAddressCaps;
    if (get == nullptr)
        return LINEERR_OPERATIONUNAVAIL;
    const DWORD tspi = g_core.devices[dwDeviceID].tspiVersion;
    return QueryConverted(StructKind::AddressCaps, lpAddressCaps, [&](std::vector<uint8_t>& wide) {
        return get(dwDeviceID, dwAddressID, tspi, dwExtVersion,
                   reinterpret_cast<LPLINEADDRESSCAPS>(wide.data()));
    });
}

LONG WINAPI lineGetAddressStatusA(HLINE hLine, DWORD dwAddressID, LPLINEADDRESSSTATUS lpAddressStatus) {
    ProviderCall provider;
    Subject s;
    {
        std::lock_guard lock(g_lock);
        if (const LONG e = LineSubject(hLine, &s); e != 0)
            return e;
    }
    const auto get = provider.api().lineGetAddressStatus;
    if (get == nullptr)
        return LINEERR_OPERATIONUNAVAIL;
    return QueryConverted(StructKind::AddressStatus, lpAddressStatus, [&](std::vector<uint8_t>& wide) {
        return get(s.hdLine, dwAddressID, reinterpret_cast<LPLINEADDRESSSTATUS>(wide.data()));
    });
}

LONG WINAPI lineGetCallStatus(HCALL hCall, LPLINECALLSTATUS lpCallStatus) {
    ProviderCall provider;
    Subject s;
    {
        std::lock_guard lock(g_lock);
        if (const LONG e = CallSubject(hCall, &s); e != 0)
            return e;
    }
    const auto get = provider.api().lineGetCallStatus;
    if (get == nullptr)
        return LINEERR_OPERATIONUNAVAIL;
    if (lpCallStatus == nullptr)
        return LINEERR_INVALPOINTER;
    if (ReadDword(lpCallStatus, 0) < sizeof(LINECALLSTATUS))
        return LINEERR_STRUCTURETOOSMALL;
    if (const LONG e = get(s.hdCall, lpCallStatus); e != 0)
        return e;
    std::lock_guard lock(g_lock);
    const CallHandleSlot* handle = FindCallHandle(hCall);
    lpCallStatus->dwCallPrivilege = handle != nullptr ? handle->privilege : 0;
    return 0;
}

LONG WINAPI lineGetCallInfoA(HCALL hCall, LPLINECALLINFO lpCallInfo) {
    ProviderCall provider;
    Subject s;
    std::string appName;
    {
        std::lock_guard lock(g_lock);
        if (const LONG e = CallSubject(hCall, &s); e != 0)
            return e;
        appName = g_core.calls[s.call].appName;
    }
    const auto get = provider.api().lineGetCallInfo;
    if (get == nullptr)
        return LINEERR_OPERATIONUNAVAIL;
    const LONG result = QueryConverted(StructKind::CallInfo, lpCallInfo, [&](std::vector<uint8_t>& wide) {
        const LONG e = get(s.hdCall, reinterpret_cast<LPLINECALLINFO>(wide.data()));
        if (e == 0)
            AddAppName(wide, appName);
        return e;
    });
    if (result != 0)
        return result;
    std::lock_guard lock(g_lock);
    DWORD owners = 0, monitors = 0;
    for (const CallHandleSlot& h : g_core.handles) {
        if (h.used && h.call == s.call) {
            owners += h.privilege == LINECALLPRIVILEGE_OWNER ? 1 : 0;
            monitors += h.privilege == LINECALLPRIVILEGE_MONITOR ? 1 : 0;
        }
    }
    lpCallInfo->hLine = FindOpen(OpenHandle(s.open)) != nullptr ? OpenHandle(s.open) : 0;
    lpCallInfo->dwNumOwners = owners;
    lpCallInfo->dwNumMonitors = monitors;
    return 0;
}

LONG WINAPI lineGetIDA(HLINE hLine, DWORD dwAddressID, HCALL hCall, DWORD dwSelect, LPVARSTRING lpDeviceID,
                       LPCSTR lpszDeviceClass) {
    ProviderCall provider;
    Subject s;
    {
        std::lock_guard lock(g_lock);
        LONG e = 0;
        switch (dwSelect) {
            case LINECALLSELECT_LINE:
            case LINECALLSELECT_ADDRESS:
                e = LineSubject(hLine, &s);
                break;
            case LINECALLSELECT_CALL:
                e = CallSubject(hCall, &s);
                break;
            default:
                e = LINEERR_INVALCALLSELECT;
                break;
        }
        if (e != 0)
            return e;
    }
    if (lpDeviceID == nullptr || lpszDeviceClass == nullptr)
        return LINEERR_INVALPOINTER;
    if (SameClass(lpszDeviceClass, kTapiLineClass))
        return WriteDeviceId(lpDeviceID, static_cast<DWORD>(s.device));
    const auto get = provider.api().lineGetID;
    if (get == nullptr)
        return LINEERR_OPERATIONUNAVAIL;
    const WideArg deviceClass(lpszDeviceClass);
    const HDRVCALL hdCall = dwSelect == LINECALLSELECT_CALL ? s.hdCall : nullptr;
    return QueryConverted(StructKind::VarString, lpDeviceID, [&](std::vector<uint8_t>& wide) {
        return get(s.hdLine, dwAddressID, hdCall, dwSelect, reinterpret_cast<LPVARSTRING>(wide.data()),
                   deviceClass.get(), nullptr);
    });
}

}  // extern "C"
