// The phone device's synchronous answers. The set is driven through the
// line; the phone only shows its name and lamps, the rest answers empty or
// is refused as unavailable.
#include <array>
#include <cstddef>
#include <cstring>
#include <span>
#include <string>

#include "callmodel/tables.h"
#include "core/lifecycle.h"
#include "core/line_record.h"
#include "core/trace.h"
#include "tapi/dispatch.h"
#include "tapi/phone_requests.h"
#include "tapi/queries.h"
#include "tapi/varpart.h"

namespace zq {

static_assert(offsetof(PHONECAPS, dwPhoneNameOffset) + sizeof(DWORD) <= PHONECAPS_FIXED_SIZE);
static_assert(offsetof(PHONESTATUS, dwPhoneFeatures) + sizeof(DWORD) == PHONESTATUS_FIXED_SIZE);
static_assert(offsetof(PHONEBUTTONINFO, dwButtonState) + sizeof(DWORD) == PHONEBUTTONINFO_FIXED_SIZE);

namespace {

// A structure the phone has nothing to tell in: its fixed part zeroed,
// nothing more needed.
LONG EmptyAnswer(void* structure, uint32_t fixed) {
    if (structure == nullptr)
        return Err(PHONEERR_INVALPOINTER);
    const std::span<uint8_t> raw = CallerBytes(structure);
    if (raw.size() < fixed)
        return Err(PHONEERR_STRUCTURETOOSMALL);
    const std::span<uint8_t> head = raw.first(fixed);
    std::memset(head.data(), 0, head.size());
    const std::array<DWORD, 3> sizes = {static_cast<DWORD>(raw.size()), fixed, fixed};
    std::memcpy(head.data(), sizes.data(), sizeof sizes);
    return 0;
}

// What the set cannot do for the phone: refused, nothing written.
LONG Unavailable(HDRVPHONE hdPhone) {
    return IsPhoneHandle(hdPhone) ? Err(PHONEERR_OPERATIONUNAVAIL) : Err(PHONEERR_INVALPHONEHANDLE);
}

// A value the phone does not know reads 0.
LONG ZeroValue(HDRVPHONE hdPhone, LPDWORD value) {
    if (!IsPhoneHandle(hdPhone))
        return Err(PHONEERR_INVALPHONEHANDLE);
    if (value == nullptr)
        return Err(PHONEERR_INVALPOINTER);
    *value = 0;
    return 0;
}

}  // namespace
}  // namespace zq

using namespace zq;

extern "C" {

LONG WINAPI TSPI_phoneGetDevCaps(DWORD dwDeviceID, DWORD dwTSPIVersion, DWORD dwExtVersion,
                                 LPPHONECAPS lpPhoneCaps) {
    WAITLINEMUTEX();
    TspTrace(TRACE_TSPI, "Entering TSPI_phoneGetDevCaps(%lx,%lx,%lx)", dwDeviceID, dwTSPIVersion,
             dwExtVersion);
    if (dwDeviceID != g_line.dwPhoneDeviceID)
        return REL_LINE_MUTEX(Err(PHONEERR_BADDEVICEID));
    if (lpPhoneCaps == nullptr)
        return REL_LINE_MUTEX(Err(PHONEERR_INVALPOINTER));
    const std::span<uint8_t> raw = CallerBytes(lpPhoneCaps);
    if (raw.size() < PHONECAPS_FIXED_SIZE)
        return REL_LINE_MUTEX(Err(PHONEERR_STRUCTURETOOSMALL));

    PHONECAPS caps{};
    caps.dwTotalSize = static_cast<DWORD>(raw.size());
    VarPart v = StartVarPart(raw, PHONECAPS_FIXED_SIZE);
    AppendWide(v, caps.dwPhoneNameSize, caps.dwPhoneNameOffset, LineNameWide());
    caps.dwNeededSize = v.needed;
    caps.dwUsedSize = v.used;
    PutFixed(raw, caps, PHONECAPS_FIXED_SIZE);
    return REL_LINE_MUTEX(0);
}

LONG WINAPI TSPI_phoneGetLamp(HDRVPHONE hdPhone, DWORD dwButtonLampID, LPDWORD lpdwLampMode) {
    WAITLINEMUTEX();
    TspTrace(TRACE_TSPI, "Entering TSPI_phoneGetLamp(%lx,%lx,%lx)", hdPhone, dwButtonLampID, lpdwLampMode);
    if (!IsPhoneHandle(hdPhone))
        return REL_LINE_MUTEX(Err(PHONEERR_INVALPHONEHANDLE));
    if (lpdwLampMode == nullptr)
        return REL_LINE_MUTEX(Err(PHONEERR_INVALPOINTER));
    if (dwButtonLampID < LAMP_ICON_BASE) {
        *lpdwLampMode = g_line.LampMode[dwButtonLampID];
        return REL_LINE_MUTEX(0);
    }
    const uint32_t key = dwButtonLampID - LAMP_ICON_BASE;
    if (key >= g_line.TouchTable.size())
        return REL_LINE_MUTEX(Err(PHONEERR_INVALBUTTONLAMPID));
    *lpdwLampMode = g_line.TouchTable[key].IconValue;
    return REL_LINE_MUTEX(0);
}

LONG WINAPI TSPI_phoneGetButtonInfo(HDRVPHONE hdPhone, DWORD dwButtonLampID, LPPHONEBUTTONINFO lpButtonInfo) {
    WAITLINEMUTEX();
    TspTrace(TRACE_TSPI, "Entering TSPI_phoneGetButtonInfo(%lx,%lx,%lx)", hdPhone, dwButtonLampID,
             lpButtonInfo);
    if (!IsPhoneHandle(hdPhone))
        return REL_LINE_MUTEX(Err(PHONEERR_INVALPHONEHANDLE));
    return REL_LINE_MUTEX(EmptyAnswer(lpButtonInfo, PHONEBUTTONINFO_FIXED_SIZE));
}

LONG WINAPI TSPI_phoneGetStatus(HDRVPHONE hdPhone, LPPHONESTATUS lpPhoneStatus) {
    WAITLINEMUTEX();
    TspTrace(TRACE_TSPI, "Entering TSPI_phoneGetStatus(%lx,%lx)", hdPhone, lpPhoneStatus);
    if (!IsPhoneHandle(hdPhone))
        return REL_LINE_MUTEX(Err(PHONEERR_INVALPHONEHANDLE));
    return REL_LINE_MUTEX(EmptyAnswer(lpPhoneStatus, PHONESTATUS_FIXED_SIZE));
}

LONG WINAPI TSPI_phoneGetHookSwitch(HDRVPHONE hdPhone, LPDWORD lpdwHookSwitchDevs) {
    WAITLINEMUTEX();
    TspTrace(TRACE_TSPI, "Entering TSPI_phoneGetHookSwitch(%lx,%lx)", hdPhone, lpdwHookSwitchDevs);
    return REL_LINE_MUTEX(ZeroValue(hdPhone, lpdwHookSwitchDevs));
}

LONG WINAPI TSPI_phoneGetRing(HDRVPHONE hdPhone, LPDWORD lpdwRingMode, LPDWORD lpdwVolume) {
    WAITLINEMUTEX();
    TspTrace(TRACE_TSPI, "Entering TSPI_phoneGetRing(%lx,%lx,%lx)", hdPhone, lpdwRingMode, lpdwVolume);
    if (lpdwVolume == nullptr)
        return REL_LINE_MUTEX(IsPhoneHandle(hdPhone) ? Err(PHONEERR_INVALPOINTER)
                                                     : Err(PHONEERR_INVALPHONEHANDLE));
    const LONG result = ZeroValue(hdPhone, lpdwRingMode);
    if (result == 0)
        *lpdwVolume = 0;
    return REL_LINE_MUTEX(result);
}

LONG WINAPI TSPI_phoneGetGain(HDRVPHONE hdPhone, DWORD dwHookSwitchDev, LPDWORD lpdwGain) {
    WAITLINEMUTEX();
    TspTrace(TRACE_TSPI, "Entering TSPI_phoneGetGain(%lx,%lx,%lx)", hdPhone, dwHookSwitchDev, lpdwGain);
    return REL_LINE_MUTEX(ZeroValue(hdPhone, lpdwGain));
}

LONG WINAPI TSPI_phoneGetVolume(HDRVPHONE hdPhone, DWORD dwHookSwitchDev, LPDWORD lpdwVolume) {
    WAITLINEMUTEX();
    TspTrace(TRACE_TSPI, "Entering TSPI_phoneGetVolume(%lx,%lx,%lx)", hdPhone, dwHookSwitchDev, lpdwVolume);
    return REL_LINE_MUTEX(ZeroValue(hdPhone, lpdwVolume));
}

LONG WINAPI TSPI_phoneSetStatusMessages(HDRVPHONE hdPhone, DWORD dwPhoneStates, DWORD dwButtonModes,
                                        DWORD dwButtonStates) {
    WAITLINEMUTEX();
    TspTrace(TRACE_TSPI, "Entering TSPI_phoneSetStatusMessages(%lx,%lx,%lx,%lx)", hdPhone, dwPhoneStates,
             dwButtonModes, dwButtonStates);
    return REL_LINE_MUTEX(IsPhoneHandle(hdPhone) ? 0 : Err(PHONEERR_INVALPHONEHANDLE));
}

LONG WINAPI TSPI_phoneSelectExtVersion(HDRVPHONE hdPhone, DWORD dwExtVersion) {
    WAITLINEMUTEX();
    TspTrace(TRACE_TSPI, "Entering TSPI_phoneSelectExtVersion(%lx,%lx)", hdPhone, dwExtVersion);
    return REL_LINE_MUTEX(IsPhoneHandle(hdPhone) ? 0 : Err(PHONEERR_INVALPHONEHANDLE));
}

LONG WINAPI TSPI_phoneNegotiateTSPIVersion(DWORD dwDeviceID, DWORD dwLowVersion, DWORD dwHighVersion,
                                           LPDWORD lpdwTSPIVersion) {
    TspTrace(TRACE_TSPI, "Entering TSPI_phoneNegotiateTSPIVersion(%lx,%lx,%lx)", dwDeviceID, dwLowVersion,
             dwHighVersion);
    return NegotiateVersion(dwDeviceID, g_line.dwPhoneDeviceID, dwLowVersion, dwHighVersion, lpdwTSPIVersion,
                            PHONEERR_BADDEVICEID, PHONEERR_INCOMPATIBLEAPIVERSION, PHONEERR_INVALPOINTER);
}

LONG WINAPI TSPI_phoneNegotiateExtVersion(DWORD dwDeviceID, DWORD dwTSPIVersion, DWORD dwLowVersion,
                                          DWORD dwHighVersion, LPDWORD lpdwExtVersion) {
    WAITLINEMUTEX();
    TspTrace(TRACE_TSPI, "Entering TSPI_phoneNegotiateExtVersion(%lx,%lx,%lx,%lx)", dwDeviceID, dwTSPIVersion,
             dwLowVersion, dwHighVersion);
    if (dwDeviceID != NEGOTIATE_ANY_DEVICE && dwDeviceID != g_line.dwPhoneDeviceID)
        return REL_LINE_MUTEX(Err(PHONEERR_BADDEVICEID));
    if (lpdwExtVersion == nullptr)
        return REL_LINE_MUTEX(Err(PHONEERR_INVALPOINTER));
    *lpdwExtVersion = 0;
    return REL_LINE_MUTEX(0);
}

// The phone has no extensions and no icon of its own: TAPI reads all
// zeros and a null icon as "none" and uses its own.
LONG WINAPI TSPI_phoneGetExtensionID(DWORD dwDeviceID, DWORD dwTSPIVersion,
                                     LPPHONEEXTENSIONID lpExtensionID) {
    WAITLINEMUTEX();
    TspTrace(TRACE_TSPI, "Entering TSPI_phoneGetExtensionID(%lx,%lx,%lx)", dwDeviceID, dwTSPIVersion,
             lpExtensionID);
    if (dwDeviceID != g_line.dwPhoneDeviceID)
        return REL_LINE_MUTEX(Err(PHONEERR_BADDEVICEID));
    if (lpExtensionID == nullptr)
        return REL_LINE_MUTEX(Err(PHONEERR_INVALPOINTER));
    *lpExtensionID = PHONEEXTENSIONID{};
    return REL_LINE_MUTEX(0);
}

LONG WINAPI TSPI_phoneGetIcon(DWORD dwDeviceID, LPCWSTR lpszDeviceClass, LPHICON lphIcon) {
    WAITLINEMUTEX();
    TspTrace(TRACE_TSPI, "Entering TSPI_phoneGetIcon(%lx,%lx,%lx)", dwDeviceID, lpszDeviceClass, lphIcon);
    if (dwDeviceID != g_line.dwPhoneDeviceID)
        return REL_LINE_MUTEX(Err(PHONEERR_BADDEVICEID));
    if (lphIcon == nullptr)
        return REL_LINE_MUTEX(Err(PHONEERR_INVALPOINTER));
    *lphIcon = nullptr;
    return REL_LINE_MUTEX(0);
}

LONG WINAPI TSPI_phoneGetID(HDRVPHONE hdPhone, LPVARSTRING lpDeviceID, LPCWSTR lpszDeviceClass,
                            HANDLE hTargetProcess) {
    WAITLINEMUTEX();
    TspTrace(TRACE_TSPI, "Entering TSPI_phoneGetID(%lx,%lx,%lx,%lx)", hdPhone, lpDeviceID, lpszDeviceClass,
             hTargetProcess);
    return REL_LINE_MUTEX(Unavailable(hdPhone));
}

LONG WINAPI TSPI_phoneGetData(HDRVPHONE hdPhone, DWORD dwDataID, LPVOID lpData, DWORD dwSize) {
    WAITLINEMUTEX();
    TspTrace(TRACE_TSPI, "Entering TSPI_phoneGetData(%lx,%lx,%lx,%lx)", hdPhone, dwDataID, lpData, dwSize);
    return REL_LINE_MUTEX(Unavailable(hdPhone));
}

LONG WINAPI TSPI_phoneDevSpecific(DRV_REQUESTID dwRequestID, HDRVPHONE hdPhone, LPVOID lpParams,
                                  DWORD dwSize) {
    WAITLINEMUTEX();
    TspTrace(TRACE_TSPI, "Entering TSPI_phoneDevSpecific(%lx,%lx,%lx,%lx)", dwRequestID, hdPhone, lpParams,
             dwSize);
    return REL_LINE_MUTEX(Unavailable(hdPhone));
}

LONG WINAPI TSPI_phoneSetData(DRV_REQUESTID dwRequestID, HDRVPHONE hdPhone, DWORD dwDataID,
                              LPVOID const lpData, DWORD dwSize) {
    WAITLINEMUTEX();
    TspTrace(TRACE_TSPI, "Entering TSPI_phoneSetData(%lx,%lx,%lx,%lx,%lx)", dwRequestID, hdPhone, dwDataID,
             lpData, dwSize);
    return REL_LINE_MUTEX(Unavailable(hdPhone));
}

LONG WINAPI TSPI_phoneSetDisplay(DRV_REQUESTID dwRequestID, HDRVPHONE hdPhone, DWORD dwRow, DWORD dwColumn,
                                 LPCWSTR lpsDisplay, DWORD dwSize) {
    WAITLINEMUTEX();
    TspTrace(TRACE_TSPI, "Entering TSPI_phoneSetDisplay(%lx,%lx,%lx,%lx,%lx,%lx)", dwRequestID, hdPhone,
             dwRow, dwColumn, lpsDisplay, dwSize);
    return REL_LINE_MUTEX(Unavailable(hdPhone));
}

LONG WINAPI TSPI_phoneSetGain(DRV_REQUESTID dwRequestID, HDRVPHONE hdPhone, DWORD dwHookSwitchDev,
                              DWORD dwGain) {
    WAITLINEMUTEX();
    TspTrace(TRACE_TSPI, "Entering TSPI_phoneSetGain(%lx,%lx,%lx,%lx)", dwRequestID, hdPhone, dwHookSwitchDev,
             dwGain);
    return REL_LINE_MUTEX(Unavailable(hdPhone));
}

LONG WINAPI TSPI_phoneSetLamp(DRV_REQUESTID dwRequestID, HDRVPHONE hdPhone, DWORD dwButtonLampID,
                              DWORD dwLampMode) {
    WAITLINEMUTEX();
    TspTrace(TRACE_TSPI, "Entering TSPI_phoneSetLamp(%lx,%lx,%lx,%lx)", dwRequestID, hdPhone, dwButtonLampID,
             dwLampMode);
    return REL_LINE_MUTEX(Unavailable(hdPhone));
}

LONG WINAPI TSPI_phoneSetRing(DRV_REQUESTID dwRequestID, HDRVPHONE hdPhone, DWORD dwRingMode,
                              DWORD dwVolume) {
    WAITLINEMUTEX();
    TspTrace(TRACE_TSPI, "Entering TSPI_phoneSetRing(%lx,%lx,%lx,%lx)", dwRequestID, hdPhone, dwRingMode,
             dwVolume);
    return REL_LINE_MUTEX(Unavailable(hdPhone));
}

LONG WINAPI TSPI_phoneSetVolume(DRV_REQUESTID dwRequestID, HDRVPHONE hdPhone, DWORD dwHookSwitchDev,
                                DWORD dwVolume) {
    WAITLINEMUTEX();
    TspTrace(TRACE_TSPI, "Entering TSPI_phoneSetVolume(%lx,%lx,%lx,%lx)", dwRequestID, hdPhone,
             dwHookSwitchDev, dwVolume);
    return REL_LINE_MUTEX(Unavailable(hdPhone));
}

}  // extern "C"
