#include "tapi/phone_requests.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

#include "callmodel/calls.h"
#include "core/lifecycle.h"
#include "core/line_record.h"
#include "core/trace.h"
#include "tapi/dispatch.h"
#include "tapi/keys.h"
#include "tapi/queries.h"
#include "tapi/varpart.h"

namespace zq {

static_assert(PHONE_DISPLAY_SIZE == static_cast<uint32_t>(DISPLAY_LINES * DISPLAY_WIDTH));
static_assert(PHONE_DISPLAY_OFFSET == VARSTRING_FIXED_SIZE);

namespace {

// Keypad button n is the digit message of digit code n.
constexpr std::string_view kKeypad = "0123456789*#";
constexpr uint32_t kFunctionCodeLast = 0xFF;
constexpr uint32_t kHookSwitchDevs =
    PHONEHOOKSWITCHDEV_HANDSET | PHONEHOOKSWITCHDEV_SPEAKER | PHONEHOOKSWITCHDEV_HEADSET;

// The key message of a button; 0, or the PHONEERR_ that refuses a button
// the set has no message for, before anything is sent.
LONG ButtonItem(uint32_t mode, uint32_t id, KeyItem& item) {
    switch (mode) {
        case PHONEBUTTONMODE_KEYPAD:
            if (id >= kKeypad.size())
                return Err(PHONEERR_INVALBUTTONLAMPID);
            item = DialDigits(kKeypad.substr(id, 1));
            return 0;
        case PHONEBUTTONMODE_DISPLAY:
        case PHONEBUTTONMODE_FEATURE:
            if (id == 0 || id > kFunctionCodeLast)
                return Err(PHONEERR_INVALBUTTONLAMPID);
            item = FunctionPress(static_cast<uint8_t>(id));
            return 0;
        default:
            return Err(PHONEERR_OPERATIONUNAVAIL);
    }
}

// appCall answers in the line's codes; the phone's caller hears its own.
LONG PhoneResult(LONG result) {
    if (result >= 0)
        return result;
    return result == Err(LINEERR_RESOURCEUNAVAIL) ? Err(PHONEERR_RESOURCEUNAVAIL)
                                                  : Err(PHONEERR_OPERATIONFAILED);
}

// A button press as an asynchronous request: refused at once, or accepted
// and completed by the dispatcher with what the set was sent.
LONG PressButton(DRV_REQUESTID dwRequestID, uint32_t mode, uint32_t id) {
    KeyItem item;
    const LONG refused = ButtonItem(mode, id, item);
    if (refused != 0)
        return refused;
    g_line.buttonMode = mode;
    g_line.buttonId = id;
    return RequestReturn(PhoneResult(appCall(0, REQ_PHONE_BUTTON, dwRequestID)), dwRequestID);
}

bool ValidHookSwitchMode(uint32_t mode) {
    return mode == PHONEHOOKSWITCHMODE_ONHOOK || mode == PHONEHOOKSWITCHMODE_MIC ||
           mode == PHONEHOOKSWITCHMODE_SPEAKER || mode == PHONEHOOKSWITCHMODE_MICSPEAKER;
}

}  // namespace

void DoGetDisplay() {
    LPVARSTRING display = g_line.phoneDisplay;
    g_line.phoneDisplay = nullptr;
    if (display == nullptr)
        return;
    const std::span<uint8_t> raw = CallerBytes(display);
    if (raw.size() < VARSTRING_FIXED_SIZE)
        return;
    VARSTRING answer{};
    answer.dwTotalSize = static_cast<DWORD>(raw.size());
    answer.dwNeededSize = PHONE_DISPLAY_OFFSET + PHONE_DISPLAY_SIZE;
    answer.dwUsedSize = VARSTRING_FIXED_SIZE;
    answer.dwStringFormat = STRINGFORMAT_ASCII;
    if (raw.size() >= answer.dwNeededSize) {
        answer.dwUsedSize = answer.dwNeededSize;
        answer.dwStringSize = PHONE_DISPLAY_SIZE;
        answer.dwStringOffset = PHONE_DISPLAY_OFFSET;
        const std::span<uint8_t> text = raw.subspan(PHONE_DISPLAY_OFFSET, PHONE_DISPLAY_SIZE);
        std::fill(text.begin(), text.end(), static_cast<uint8_t>(' '));
        for (int line = 0; line < DISPLAY_LINES; ++line) {
            const std::string shown = DisplayText(line);
            const std::span<uint8_t> dest =
                text.subspan(static_cast<size_t>(line) * DISPLAY_WIDTH, DISPLAY_WIDTH);
            std::memcpy(dest.data(), shown.data(), std::min(shown.size(), dest.size()));
        }
    }
    PutFixed(raw, answer, VARSTRING_FIXED_SIZE);
}

LONG DoPressButton() {
    KeyItem item;
    const LONG refused = ButtonItem(g_line.buttonMode, g_line.buttonId, item);
    if (refused != 0)
        return refused;
    const std::array<KeyItem, 1> items{item};
    return SendKeySequence(items) ? 0 : Err(PHONEERR_OPERATIONFAILED);
}

}  // namespace zq

using namespace zq;

extern "C" {

LONG WINAPI TSPI_phoneGetDisplay(HDRVPHONE hdPhone, LPVARSTRING lpDisplay) {
    WAITLINEMUTEX();
    TspTrace(TRACE_TSPI, "Entering TSPI_phoneGetDisplay(%lx,%lx)", hdPhone, lpDisplay);
    if (!IsPhoneHandle(hdPhone))
        return REL_LINE_MUTEX(Err(PHONEERR_INVALPHONEHANDLE));
    if (lpDisplay == nullptr)
        return REL_LINE_MUTEX(Err(PHONEERR_INVALPOINTER));
    if (CallerBytes(lpDisplay).size() < VARSTRING_FIXED_SIZE)
        return REL_LINE_MUTEX(Err(PHONEERR_STRUCTURETOOSMALL));
    g_line.phoneDisplay = lpDisplay;
    LONG result = PhoneResult(appCall(0, REQ_PHONE_DISPLAY, 0));
    // Still set: the dispatcher did not carry the request out, and the
    // caller's structure is as it gave it.
    if (result >= 0 && g_line.phoneDisplay != nullptr)
        result = Err(PHONEERR_OPERATIONFAILED);
    g_line.phoneDisplay = nullptr;
    return REL_LINE_MUTEX(result < 0 ? result : 0);
}

LONG WINAPI TSPI_phoneSetButtonInfo(DRV_REQUESTID dwRequestID, HDRVPHONE hdPhone, DWORD dwButtonLampID,
                                    LPPHONEBUTTONINFO const lpButtonInfo) {
    WAITLINEMUTEX();
    TspTrace(TRACE_TSPI, "Entering TSPI_phoneSetButtonInfo(%lx,%lx,%lx,%lx)", dwRequestID, hdPhone,
             dwButtonLampID, lpButtonInfo);
    if (!IsPhoneHandle(hdPhone))
        return REL_LINE_MUTEX(Err(PHONEERR_INVALPHONEHANDLE));
    if (lpButtonInfo == nullptr)
        return REL_LINE_MUTEX(Err(PHONEERR_INVALPOINTER));
    const std::span<uint8_t> raw = CallerBytes(lpButtonInfo);
    if (raw.size() < PHONEBUTTONINFO_FIXED_SIZE)
        return REL_LINE_MUTEX(Err(PHONEERR_STRUCTURETOOSMALL));
    DWORD mode = 0;
    std::memcpy(&mode, raw.subspan(offsetof(PHONEBUTTONINFO, dwButtonMode), sizeof mode).data(), sizeof mode);
    return REL_LINE_MUTEX(PressButton(dwRequestID, mode, dwButtonLampID));
}

LONG WINAPI TSPI_phoneSetHookSwitch(DRV_REQUESTID dwRequestID, HDRVPHONE hdPhone, DWORD dwHookSwitchDevs,
                                    DWORD dwHookSwitchMode) {
    WAITLINEMUTEX();
    TspTrace(TRACE_TSPI, "Entering TSPI_phoneSetHookSwitch(%lx,%lx,%lx,%lx)", dwRequestID, hdPhone,
             dwHookSwitchDevs, dwHookSwitchMode);
    if (!IsPhoneHandle(hdPhone))
        return REL_LINE_MUTEX(Err(PHONEERR_INVALPHONEHANDLE));
    if (dwHookSwitchDevs == 0 || (dwHookSwitchDevs & ~kHookSwitchDevs) != 0)
        return REL_LINE_MUTEX(Err(PHONEERR_INVALHOOKSWITCHDEV));
    if (!ValidHookSwitchMode(dwHookSwitchMode))
        return REL_LINE_MUTEX(Err(PHONEERR_INVALHOOKSWITCHMODE));
    const uint8_t key = dwHookSwitchMode == PHONEHOOKSWITCHMODE_ONHOOK ? KEY_CODE_RELEASE : KEY_CODE_OFFHOOK;
    return REL_LINE_MUTEX(PressButton(dwRequestID, PHONEBUTTONMODE_FEATURE, key));
}

}  // extern "C"
