// The TAPI line functions the dialer uses, as a table. The Windows shell
// fills it with lazily bound entry points of TAPI32.DLL, the Linux build
// with libzqtapi.so, the tests with a scripted fake. Every entry is set: a
// function that cannot be bound answers LINEERR_OPERATIONUNAVAIL.
#pragma once

#include "zq/tapi.h"

namespace zq::dialer {

struct TapiApi {
    decltype(&::lineAnswer) lineAnswer = nullptr;
    decltype(&::lineClose) lineClose = nullptr;
    decltype(&::lineCompleteCall) lineCompleteCall = nullptr;
    decltype(&::lineCompleteTransfer) lineCompleteTransfer = nullptr;
    decltype(&::lineConfigDialogA) lineConfigDialogA = nullptr;
    decltype(&::lineDeallocateCall) lineDeallocateCall = nullptr;
    decltype(&::lineDevSpecific) lineDevSpecific = nullptr;
    decltype(&::lineDialA) lineDialA = nullptr;
    decltype(&::lineDrop) lineDrop = nullptr;
    decltype(&::lineForwardA) lineForwardA = nullptr;
    decltype(&::lineGenerateDigitsA) lineGenerateDigitsA = nullptr;
    decltype(&::lineGetAddressCapsA) lineGetAddressCapsA = nullptr;
    decltype(&::lineGetAddressStatusA) lineGetAddressStatusA = nullptr;
    decltype(&::lineGetCallInfoA) lineGetCallInfoA = nullptr;
    decltype(&::lineGetCallStatus) lineGetCallStatus = nullptr;
    decltype(&::lineGetDevCapsA) lineGetDevCapsA = nullptr;
    decltype(&::lineGetIDA) lineGetIDA = nullptr;
    decltype(&::lineGetRequestA) lineGetRequestA = nullptr;
    decltype(&::lineGetStatusMessages) lineGetStatusMessages = nullptr;
    decltype(&::lineGetTranslateCapsA) lineGetTranslateCapsA = nullptr;
    decltype(&::lineHold) lineHold = nullptr;
    decltype(&::lineInitializeExA) lineInitializeExA = nullptr;
    decltype(&::lineMakeCallA) lineMakeCallA = nullptr;
    decltype(&::lineNegotiateAPIVersion) lineNegotiateAPIVersion = nullptr;
    decltype(&::lineOpenA) lineOpenA = nullptr;
    decltype(&::lineParkA) lineParkA = nullptr;
    decltype(&::linePickupA) linePickupA = nullptr;
    decltype(&::lineRedirectA) lineRedirectA = nullptr;
    decltype(&::lineRegisterRequestRecipient) lineRegisterRequestRecipient = nullptr;
    decltype(&::lineSetCurrentLocation) lineSetCurrentLocation = nullptr;
    decltype(&::lineSetStatusMessages) lineSetStatusMessages = nullptr;
    decltype(&::lineSetTollListA) lineSetTollListA = nullptr;
    decltype(&::lineShutdown) lineShutdown = nullptr;
    // Exported as "lineTranslateAddress" and "lineTranslateDialog".
    decltype(&::lineTranslateAddressA) lineTranslateAddress = nullptr;
    decltype(&::lineTranslateDialogA) lineTranslateDialog = nullptr;
    decltype(&::lineUnhold) lineUnhold = nullptr;
    decltype(&::lineUnparkA) lineUnparkA = nullptr;
};

// The exported names, in the table's order, for the shells' binders.
inline constexpr const char* kTapiNames[] = {"lineAnswer",
                                             "lineClose",
                                             "lineCompleteCall",
                                             "lineCompleteTransfer",
                                             "lineConfigDialogA",
                                             "lineDeallocateCall",
                                             "lineDevSpecific",
                                             "lineDialA",
                                             "lineDrop",
                                             "lineForwardA",
                                             "lineGenerateDigitsA",
                                             "lineGetAddressCapsA",
                                             "lineGetAddressStatusA",
                                             "lineGetCallInfoA",
                                             "lineGetCallStatus",
                                             "lineGetDevCapsA",
                                             "lineGetIDA",
                                             "lineGetRequestA",
                                             "lineGetStatusMessages",
                                             "lineGetTranslateCapsA",
                                             "lineHold",
                                             "lineInitializeExA",
                                             "lineMakeCallA",
                                             "lineNegotiateAPIVersion",
                                             "lineOpenA",
                                             "lineParkA",
                                             "linePickupA",
                                             "lineRedirectA",
                                             "lineRegisterRequestRecipient",
                                             "lineSetCurrentLocation",
                                             "lineSetStatusMessages",
                                             "lineSetTollListA",
                                             "lineShutdown",
                                             "lineTranslateAddress",
                                             "lineTranslateDialog",
                                             "lineUnhold",
                                             "lineUnparkA"};

// The table the dialer calls through; set once at start, before any call.
const TapiApi& Tapi();
void SetTapi(const TapiApi& api);

}  // namespace zq::dialer
