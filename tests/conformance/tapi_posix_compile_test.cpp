// zq/tapi_posix.h on its own, with every warning as an error, and the layout
// facts the provider and the dialer rely on. The cross builds compare the
// whole header with the SDK's.
#include "zq/tapi_posix.h"

#include <type_traits>

static_assert(sizeof(DWORD) == 4 && std::is_unsigned_v<DWORD>);
static_assert(sizeof(LONG) == 4 && std::is_signed_v<LONG>);
static_assert(sizeof(WCHAR) == 2, "TAPI strings are UTF-16");
static_assert(sizeof(DWORD_PTR) == sizeof(void*));
static_assert(sizeof(HDRVLINE) == sizeof(void*) && sizeof(HLINE) == 4);

// The TAPI 2.0 fixed parts used as sizes end exactly on a field boundary of
// the SDK's (TAPI 3.x) layouts; they hold on every system.
static_assert(offsetof(LINEDEVCAPS, PermanentLineGuid) == 252);
static_assert(sizeof(LINEADDRESSCAPS) == 228);
static_assert(offsetof(LINECALLINFO, dwCallerIDAddressType) == 324);
static_assert(offsetof(LINECALLPARAMS, dwAddressType) == 176);
static_assert(sizeof(LINEADDRESSSTATUS) == 64);
static_assert(sizeof(LINEDEVSTATUS) == 88);
static_assert(sizeof(LINECALLSTATUS) == 56);
static_assert(sizeof(LINETRANSLATECAPS) == 44);
static_assert(sizeof(LINETRANSLATEOUTPUT) == 40);
static_assert(sizeof(LINEREQMAKECALL) == 240);
static_assert(sizeof(VARSTRING) == 24);

// Byte-packed as on Windows: no padding before a pointer-sized member.
static_assert(alignof(LINEDEVCAPS) == 1 && alignof(GUID) == 4);
static_assert(offsetof(LINEINITIALIZEEXPARAMS, Handles) == 16);
static_assert(offsetof(LINEMESSAGE, dwCallbackInstance) == 8);

// The sizes of Windows x64, on every 64-bit system.
static_assert(sizeof(void*) != 8 || sizeof(LINEINITIALIZEEXPARAMS) == 28);
static_assert(sizeof(void*) != 8 || sizeof(LINEMESSAGE) == 40);
static_assert(sizeof(void*) != 8 || sizeof(LINEREQMEDIACALL) == 344);
static_assert(sizeof(void*) != 8 || sizeof(LINEDEVCAPS) == 292);
static_assert(sizeof(void*) != 8 || sizeof(LINECALLINFO) == 344);
