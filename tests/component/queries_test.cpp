// What TAPI reads of the line and phone without a request: every structure
// at the edges of its size, and the values of a line in service with calls.
#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "callmodel/calls.h"
#include "callmodel/tables.h"
#include "core/config.h"
#include "core/lifecycle.h"
#include "core/line_record.h"
#include "link/fifo.h"
#include "link/frames.h"
#include "link/setconfig.h"
#include "link/supervision.h"
#include "superv_support.h"
#include "tapi/callinfo.h"
#include "tapi/events.h"
#include "tapi/keys.h"
#include "tapi/phone_requests.h"
#include "tapi/queries.h"
#include "zq/sim_calls.h"

namespace zq::test {
namespace {

constexpr size_t kGuard = 32;

// A caller's structure of `total` bytes filled with `fill`, then a guard.
struct Buffer {
    Buffer(uint32_t size, uint8_t pattern) : words((size + kGuard + 3) / 4 + 1), total(size), fill(pattern) {
        std::memset(words.data(), fill, words.size() * 4);
        std::memcpy(words.data(), &size, sizeof size);
    }
    void* get() { return words.data(); }
    const uint8_t* bytes() const { return reinterpret_cast<const uint8_t*>(words.data()); }
    DWORD Word(size_t offset) const {
        DWORD w = 0;
        std::memcpy(&w, bytes() + offset, sizeof w);
        return w;
    }
    bool UntouchedFrom(size_t from) const {
        for (size_t i = from; i < std::max<size_t>(total, 4) + kGuard; ++i)
            if (bytes()[i] != fill)
                return false;
        return true;
    }
    std::u16string String(DWORD size, DWORD offset) const {
        std::u16string text(size / 2, u'\0');
        if (size >= 2 && offset + size <= total)
            std::memcpy(text.data(), bytes() + offset, size);
        if (!text.empty())
            text.pop_back();
        return text;
    }
    std::vector<uint32_t> words;
    uint32_t total;
    uint8_t fill;
};

LONG E(uint32_t code) {
    return static_cast<LONG>(code);
}

HDRVCALL Call(uintptr_t cref) {
    return reinterpret_cast<HDRVCALL>(cref);
}

LPCWSTR W(const char16_t* text) {
    return reinterpret_cast<LPCWSTR>(text);
}

// The caller's structure, as whatever pointer type a function takes.
struct Ptr {
    void* p;
    template <typename T>
    operator T*() const {
        return static_cast<T*>(p);
    }
};

// The content of the caller's structure decides the result.
constexpr uint32_t kAnyResult = 1;

struct Sweep {
    const char* name;
    uint32_t fixed;
    uint32_t tooSmall;  // the result below the fixed size
    std::function<LONG(void*)> call;
    // From the fixed size on: the answer written into the structure, or the
    // structure left alone (refused, or only read) and `result` returned.
    bool answers = true;
    uint32_t result = 0;
};

// Forwarding is refused while a call is up: the list is read on an idle line.
LONG OnIdleLine(const std::function<LONG()>& call) {
    const uint32_t state = g_line.calls.lineCallState[0];
    g_line.calls.lineCallState[0] = 0;
    const LONG result = call();
    g_line.calls.lineCallState[0] = state;
    return result;
}

const std::vector<Sweep>& Sweeps() {
    static const std::vector<Sweep> sweeps{
        {"lineGetDevCaps", LINEDEVCAPS_FIXED_SIZE, LINEERR_STRUCTURETOOSMALL,
         [](void* p) { return TSPI_lineGetDevCaps(0, 0x20000, 0, static_cast<LPLINEDEVCAPS>(p)); }},
        {"lineGetAddressCaps", LINEADDRESSCAPS_FIXED_SIZE, LINEERR_STRUCTURETOOSMALL,
         [](void* p) {
             return TSPI_lineGetAddressCaps(0, 0, 0x20000, 0, static_cast<LPLINEADDRESSCAPS>(p));
         }},
        {"lineGetAddressStatus", LINEADDRESSSTATUS_FIXED_SIZE, LINEERR_STRUCTURETOOSMALL,
         [](void* p) {
             return TSPI_lineGetAddressStatus(LineHandle(), 0, static_cast<LPLINEADDRESSSTATUS>(p));
         }},
        {"lineGetLineDevStatus", LINEDEVSTATUS_FIXED_SIZE, LINEERR_STRUCTURETOOSMALL,
         [](void* p) { return TSPI_lineGetLineDevStatus(LineHandle(), static_cast<LPLINEDEVSTATUS>(p)); }},
        {"lineGetCallStatus", LINECALLSTATUS_FIXED_SIZE, LINEERR_STRUCTURETOOSMALL,
         [](void* p) { return TSPI_lineGetCallStatus(Call(0), static_cast<LPLINECALLSTATUS>(p)); }},
        {"lineGetCallInfo", LINECALLINFO_FIXED_SIZE, LINEERR_STRUCTURETOOSMALL,
         [](void* p) { return TSPI_lineGetCallInfo(Call(0), static_cast<LPLINECALLINFO>(p)); }},
        {"lineGetID", VARSTRING_FIXED_SIZE, LINEERR_STRUCTURETOOSMALL,
         [](void* p) {
             return TSPI_lineGetID(LineHandle(), 0, nullptr, LINECALLSELECT_LINE, static_cast<LPVARSTRING>(p),
                                   reinterpret_cast<LPCWSTR>(u"tapi/line"), nullptr);
         }},
        {"phoneGetDevCaps", PHONECAPS_FIXED_SIZE, PHONEERR_STRUCTURETOOSMALL,
         [](void* p) { return TSPI_phoneGetDevCaps(0, 0x20000, 0, static_cast<LPPHONECAPS>(p)); }},
        {"phoneGetStatus", PHONESTATUS_FIXED_SIZE, PHONEERR_STRUCTURETOOSMALL,
         [](void* p) { return TSPI_phoneGetStatus(PhoneHandle(), static_cast<LPPHONESTATUS>(p)); }},
        {"phoneGetButtonInfo", PHONEBUTTONINFO_FIXED_SIZE, PHONEERR_STRUCTURETOOSMALL,
         [](void* p) {
             return TSPI_phoneGetButtonInfo(PhoneHandle(), 3, static_cast<LPPHONEBUTTONINFO>(p));
         }},
        {"phoneGetDisplay", VARSTRING_FIXED_SIZE, PHONEERR_STRUCTURETOOSMALL,
         [](void* p) { return TSPI_phoneGetDisplay(PhoneHandle(), Ptr{p}); }},
        {"phoneGetID", VARSTRING_FIXED_SIZE, PHONEERR_OPERATIONUNAVAIL,
         [](void* p) { return TSPI_phoneGetID(PhoneHandle(), Ptr{p}, W(u"tapi/phone"), nullptr); }, false,
         PHONEERR_OPERATIONUNAVAIL},
        // Mode 0 or 0xFFFFFFFF: no button of the set's.
        {"phoneSetButtonInfo", PHONEBUTTONINFO_FIXED_SIZE, PHONEERR_STRUCTURETOOSMALL,
         [](void* p) { return TSPI_phoneSetButtonInfo(7, PhoneHandle(), 3, Ptr{p}); }, false,
         PHONEERR_OPERATIONUNAVAIL},
        {"lineConditionalMediaDetection", LINECALLPARAMS_FIXED_SIZE, 0,
         [](void* p) {
             return TSPI_lineConditionalMediaDetection(LineHandle(), LINEMEDIAMODE_INTERACTIVEVOICE, Ptr{p});
         },
         false, 0},
        // Bearer mode 0 or 0xFFFFFFFF: never voice.
        {"lineMakeCall", LINECALLPARAMS_FIXED_SIZE, LINEERR_STRUCTURETOOSMALL,
         [](void* p) {
             HDRVCALL call = nullptr;
             return TSPI_lineMakeCall(7, LineHandle(), nullptr, &call, W(u"1234"), 0, Ptr{p});
         },
         false, LINEERR_INVALBEARERMODE},
        {"lineSetupTransfer", LINECALLPARAMS_FIXED_SIZE, LINEERR_STRUCTURETOOSMALL,
         [](void* p) {
             HDRVCALL consult = nullptr;
             return TSPI_lineSetupTransfer(7, Call(5), nullptr, &consult, Ptr{p});
         },
         false, LINEERR_INVALCALLSTATE},
        // An empty list cancels forwarding; 0xFFFFFFFF entries do not fit.
        {"lineForward", offsetof(LINEFORWARDLIST, ForwardList), LINEERR_INVALPARAM,
         [](void* p) {
             HDRVCALL consult = nullptr;
             return OnIdleLine([&] {
                 return TSPI_lineForward(7, LineHandle(), 1, 0, Ptr{p}, 0, nullptr, &consult, nullptr);
             });
         },
         false, kAnyResult},
        {"lineSetupConference", LINECALLPARAMS_FIXED_SIZE, LINEERR_OPERATIONUNAVAIL,
         [](void* p) {
             HDRVCALL conf = nullptr, consult = nullptr;
             return TSPI_lineSetupConference(7, Call(0), LineHandle(), nullptr, &conf, nullptr, &consult, 3,
                                             Ptr{p});
         },
         false, LINEERR_OPERATIONUNAVAIL},
        {"linePrepareAddToConference", LINECALLPARAMS_FIXED_SIZE, LINEERR_OPERATIONUNAVAIL,
         [](void* p) {
             HDRVCALL consult = nullptr;
             return TSPI_linePrepareAddToConference(7, Call(CONFREF), nullptr, &consult, Ptr{p});
         },
         false, LINEERR_OPERATIONUNAVAIL},
    };
    return sweeps;
}

void PutLineName(std::u16string_view name) {
    g_line.LineName.fill(0);
    for (size_t i = 0; i < name.size() && i + 1 < g_line.LineName.size(); ++i)
        g_line.LineName[i] = static_cast<WCHAR>(name[i]);
}

class QueriesTest : public ProviderTest {
protected:
    void SetUp() override {
        ProviderTest::SetUp();
        Init();
        PutLineName(u"Desk 2001");
        CopyText(g_line.Address, "2001");
        g_dl.FwdStatus = 0;
        CopyText(g_dl.FwdDest, "3000");
        g_line.calls.lineCallState[0] = LINECALLSTATE_CONNECTED;
        g_line.calls.Inbound[0] = 1;
        CopyText(g_line.strings.CallerAdd[0], "2005");
    }
};

// Below the fixed part nothing is written; from it on, the sizes tell the
// whole, nothing lands past dwTotalSize and no field keeps the caller's
// bytes.
TEST_F(QueriesTest, EveryStructureKeepsWithinItsTotalSize) {
    // The display is read through a request, which needs the worker.
    ASSERT_EQ(OpenPhone(), 0);
    for (const Sweep& s : Sweeps()) {
        for (const uint8_t fill : {uint8_t{0x00}, uint8_t{0xFF}}) {
            for (const uint32_t total : {0u, s.fixed - 1, s.fixed, s.fixed + 300}) {
                SCOPED_TRACE(std::string(s.name) + " total " + std::to_string(total) + " fill " +
                             std::to_string(fill));
                Buffer b(total, fill);
                const LONG result = s.call(b.get());
                EXPECT_EQ(g_line.pendingReqId, 0u);
                if (total < s.fixed || !s.answers) {
                    const uint32_t expected = total < s.fixed ? s.tooSmall : s.result;
                    if (expected != kAnyResult) {
                        EXPECT_EQ(result, E(expected));
                    }
                    EXPECT_EQ(b.Word(0), total);
                    EXPECT_TRUE(b.UntouchedFrom(4));
                    continue;
                }
                ASSERT_EQ(result, 0);
                EXPECT_EQ(b.Word(0), total);
                const DWORD needed = b.Word(4);
                const DWORD used = b.Word(8);
                EXPECT_GE(used, s.fixed);
                EXPECT_LE(used, total);
                EXPECT_GE(needed, used);
                if (total > s.fixed) {
                    EXPECT_EQ(used, needed);
                }
                EXPECT_TRUE(b.UntouchedFrom(total));
                for (size_t at = 0; fill == 0xFF && at < s.fixed; at += 4)
                    EXPECT_NE(b.Word(at), 0xFFFFFFFFu) << "field at " << at;
            }
        }
    }
}

using Bytes = std::vector<uint8_t>;

// The set key message of one class and value.
Bytes KeyFrame(uint8_t msgClass, uint8_t value) {
    const std::array<uint8_t, 2> body{msgClass, value};
    const Frame f = BuildFrame(FT_KEY, body);
    return {f.bytes.begin(), f.bytes.begin() + f.size};
}

// The one frame queued, empty when none or more.
Bytes QueuedFrame() {
    std::array<uint8_t, MAX_FRAME> head{};
    const uint32_t n = FifoCount() == 1 ? FifoPeek(head) : 0;
    return {head.begin(), head.begin() + n};
}

LONG SetButton(DRV_REQUESTID id, DWORD mode, DWORD button) {
    Buffer info(PHONEBUTTONINFO_FIXED_SIZE, 0);
    std::memcpy(static_cast<uint8_t*>(info.get()) + offsetof(PHONEBUTTONINFO, dwButtonMode), &mode,
                sizeof mode);
    return TSPI_phoneSetButtonInfo(id, PhoneHandle(), button, static_cast<LPPHONEBUTTONINFO>(info.get()));
}

LONG SetHook(DRV_REQUESTID id, DWORD devs, DWORD mode) {
    return TSPI_phoneSetHookSwitch(id, PhoneHandle(), devs, mode);
}

// Buttons and the hookswitch press the set's keys, each request completed
// once; a button the set has no key for, or one pressed while another
// request is outstanding, sends nothing and is never completed.
TEST_F(QueriesTest, PhoneButtonsPressTheSetKeys) {
    ASSERT_EQ(OpenPhone(), 0);
    constexpr DRV_REQUESTID kId = 41;
    constexpr DRV_REQUESTID kOther = 99;
    constexpr DWORD handset = PHONEHOOKSWITCHDEV_HANDSET;
    struct Case {
        const char* name;
        std::function<LONG()> request;
        uint32_t refused;  // 0: accepted, and this frame sent
        Bytes frame;
        bool outstanding = false;
    };
    const std::vector<Case> cases{
        {"keypad 5", [] { return SetButton(kId, PHONEBUTTONMODE_KEYPAD, 5); }, 0, KeyFrame(KEYMSG_DIGIT, 5)},
        {"keypad 0", [] { return SetButton(kId, PHONEBUTTONMODE_KEYPAD, 0); }, 0, KeyFrame(KEYMSG_DIGIT, 0)},
        {"keypad #", [] { return SetButton(kId, PHONEBUTTONMODE_KEYPAD, 11); }, 0,
         KeyFrame(KEYMSG_DIGIT, 0x0B)},
        {"keypad 12",
         [] { return SetButton(kId, PHONEBUTTONMODE_KEYPAD, 12); },
         PHONEERR_INVALBUTTONLAMPID,
         {}},
        {"feature", [] { return SetButton(kId, PHONEBUTTONMODE_FEATURE, 0x1E); }, 0,
         KeyFrame(KEYMSG_FUNCTION, 0x1E)},
        {"display", [] { return SetButton(kId, PHONEBUTTONMODE_DISPLAY, 3); }, 0,
         KeyFrame(KEYMSG_FUNCTION, 3)},
        {"feature 0",
         [] { return SetButton(kId, PHONEBUTTONMODE_FEATURE, 0); },
         PHONEERR_INVALBUTTONLAMPID,
         {}},
        {"feature 0x11E",
         [] { return SetButton(kId, PHONEBUTTONMODE_FEATURE, 0x11E); },
         PHONEERR_INVALBUTTONLAMPID,
         {}},
        {"call button",
         [] { return SetButton(kId, PHONEBUTTONMODE_CALL, 1); },
         PHONEERR_OPERATIONUNAVAIL,
         {}},
        {"on hook", [&] { return SetHook(kId, handset, PHONEHOOKSWITCHMODE_ONHOOK); }, 0,
         KeyFrame(KEYMSG_FUNCTION, 0x29)},
        {"off hook", [&] { return SetHook(kId, handset, PHONEHOOKSWITCHMODE_MICSPEAKER); }, 0,
         KeyFrame(KEYMSG_FUNCTION, 0x30)},
        {"two hook modes",
         [&] { return SetHook(kId, handset, PHONEHOOKSWITCHMODE_ONHOOK | PHONEHOOKSWITCHMODE_MIC); },
         PHONEERR_INVALHOOKSWITCHMODE,
         {}},
        {"no device",
         [&] { return SetHook(kId, 0, PHONEHOOKSWITCHMODE_ONHOOK); },
         PHONEERR_INVALHOOKSWITCHDEV,
         {}},
        {"outstanding",
         [] { return SetButton(kId, PHONEBUTTONMODE_KEYPAD, 5); },
         PHONEERR_RESOURCEUNAVAIL,
         {},
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FifoClear();
        g_tapi.completions.clear();
        if (c.outstanding) {
            ASSERT_EQ(TakeRequest(kOther, 0, -1), 0);
        }
        const LONG result = c.request();
        if (c.refused != 0) {
            EXPECT_EQ(result, E(c.refused));
            EXPECT_EQ(FifoCount(), 0);
            EXPECT_TRUE(g_tapi.completions.empty());
        } else {
            EXPECT_EQ(result, static_cast<LONG>(kId));
            EXPECT_EQ(QueuedFrame(), c.frame);
            ASSERT_EQ(g_tapi.completions.size(), 1u);
            EXPECT_EQ(g_tapi.completions[0].id, kId);
            EXPECT_EQ(g_tapi.completions[0].result, 0);
        }
        EXPECT_EQ(g_line.pendingReqId, c.outstanding ? kOther : 0u);
        g_line.pendingReqId = 0;
    }
}

// The display is two lines of 40 ANSI characters; the structure gets them
// only when they fit, and nothing when the request was not carried out.
TEST_F(QueriesTest, PhoneDisplayReadsBothLines) {
    ASSERT_EQ(OpenPhone(), 0);
    const std::string top = "Appel de 2005                           ";
    const std::string bottom = "Transf  Renvoi                          ";
    std::memcpy(g_display.DisplayLine[0].data(), top.data(), DISPLAY_WIDTH);
    std::memcpy(g_display.DisplayLine[1].data(), bottom.data(), DISPLAY_WIDTH);
    struct Case {
        const char* name;
        uint32_t total;
        bool outstanding;
        bool stopped;
        uint32_t refused;
        DWORD used;
    };
    const std::array<Case, 4> cases{{
        {"fits", 104, false, false, 0, 104},
        {"one byte short", 103, false, false, 0, 24},
        {"another request outstanding", 200, true, false, PHONEERR_RESOURCEUNAVAIL, 0},
        {"set never configured", 200, false, true, PHONEERR_OPERATIONFAILED, 0},
    }};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.outstanding) {
            ASSERT_EQ(TakeRequest(99, 0, -1), 0);
        }
        g_superv.stoppedNoConfig = c.stopped;
        Buffer b(c.total, 0xFF);
        const LONG result = TSPI_phoneGetDisplay(PhoneHandle(), static_cast<LPVARSTRING>(b.get()));
        g_superv.stoppedNoConfig = false;
        g_line.pendingReqId = 0;
        EXPECT_EQ(g_line.phoneDisplay, nullptr);
        if (c.refused != 0) {
            EXPECT_EQ(result, E(c.refused));
            EXPECT_TRUE(b.UntouchedFrom(4));
            continue;
        }
        ASSERT_EQ(result, 0);
        EXPECT_EQ(b.Word(4), 104u);
        EXPECT_EQ(b.Word(8), c.used);
        EXPECT_EQ(b.Word(12), static_cast<DWORD>(STRINGFORMAT_ASCII));
        EXPECT_EQ(b.Word(16), c.used == 104 ? 80u : 0u);
        EXPECT_EQ(b.Word(20), c.used == 104 ? 24u : 0u);
        EXPECT_TRUE(b.UntouchedFrom(c.used));
        if (c.used == 104) {
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(b.bytes()) + 24, 80), top + bottom);
        }
    }
}

// The kinds of bad argument a function is refused for, each tried with
// several values.
enum class Bad { Handle, Call, CallRecord, Device, Arg };

std::vector<uintptr_t> BadValues(Bad kind) {
    switch (kind) {
        case Bad::Handle:
            return {0, 0x1234, reinterpret_cast<uintptr_t>(&g_line) + sizeof(DWORD)};
        case Bad::Call:  // CONFREF is a call for these
            return {MAX_CALLS, CONFREF - 1, CONFREF + 1, 0xFFFF, UINTPTR_MAX};
        case Bad::CallRecord:
            return {MAX_CALLS, CONFREF, CONFREF + 1, 0xFFFF, UINTPTR_MAX};
        case Bad::Device:
            return {1, 0x7FFFFFFF};
        case Bad::Arg:
            return {0};
    }
    return {};
}

HDRVLINE Line(uintptr_t v) {
    return reinterpret_cast<HDRVLINE>(v);
}
HDRVPHONE Phone(uintptr_t v) {
    return reinterpret_cast<HDRVPHONE>(v);
}
DWORD Dev(uintptr_t v) {
    return static_cast<DWORD>(v);
}

// Functions refused with one code for one kind of bad argument.
struct Refusals {
    Bad kind;
    uint32_t expected;
    std::vector<std::function<LONG(uintptr_t)>> calls;  // given the bad value
};

// Every exported line and phone function refuses bad handles, devices and
// pointers with its documented code, and no request is taken or completed.
TEST_F(QueriesTest, RefusesBadDevicesHandlesAndPointers) {
    Buffer b(512, 0);
    const Ptr s{b.get()};
    DWORD dw = 0;
    HDRVCALL hd = nullptr;
    HICON icon = nullptr;
    constexpr DWORD iv = LINEMEDIAMODE_INTERACTIVEVOICE;
    constexpr DWORD ver = 0x20000;
    constexpr DWORD sel = LINECALLSELECT_LINE;
    constexpr DWORD dial = LINEADDRESSMODE_DIALABLEADDR;
    constexpr DWORD transfer = LINETRANSFERMODE_TRANSFER;
    constexpr DWORD handset = PHONEHOOKSWITCHDEV_HANDSET;
    const std::vector<Refusals> groups{
        {Bad::Handle,
         LINEERR_INVALLINEHANDLE,
         {[&](auto v) { return TSPI_lineClose(Line(v)); },
          [&](auto v) { return TSPI_lineGetAddressStatus(Line(v), 0, s); },
          [&](auto v) { return TSPI_lineGetLineDevStatus(Line(v), s); },
          [&](auto v) { return TSPI_lineGetID(Line(v), 0, nullptr, sel, s, W(u"tapi/line"), nullptr); },
          [&](auto v) { return TSPI_lineGetNumAddressIDs(Line(v), &dw); },
          [&](auto v) { return TSPI_lineGetAddressID(Line(v), &dw, dial, W(u"2001"), 10); },
          [&](auto v) { return TSPI_lineSetDefaultMediaDetection(Line(v), iv); },
          [&](auto v) { return TSPI_lineConditionalMediaDetection(Line(v), iv, nullptr); },
          [&](auto v) { return TSPI_lineSetStatusMessages(Line(v), 0, 0); },
          [&](auto v) { return TSPI_lineMakeCall(7, Line(v), nullptr, &hd, W(u"1234"), 0, nullptr); },
          [&](auto v) { return TSPI_lineForward(7, Line(v), 1, 0, nullptr, 0, nullptr, &hd, nullptr); },
          [&](auto v) { return TSPI_linePickup(7, Line(v), 0, nullptr, &hd, W(u"1234"), nullptr); }}},
        {Bad::CallRecord,
         LINEERR_INVALCALLHANDLE,
         {[&](auto v) { return TSPI_lineAnswer(7, Call(v), nullptr, 0); },
          [&](auto v) { return TSPI_lineHold(7, Call(v)); },
          [&](auto v) { return TSPI_lineUnhold(7, Call(v)); },
          [&](auto v) { return TSPI_lineGetCallAddressID(Call(v), &dw); },
          [&](auto v) { return TSPI_lineSetAppSpecific(Call(v), 1); },
          [&](auto v) { return TSPI_lineSetMediaMode(Call(v), iv); },
          [&](auto v) { return TSPI_lineDial(7, Call(v), W(u"1234"), 0); },
          [&](auto v) { return TSPI_lineGenerateDigits(Call(v), 0, LINEDIGITMODE_DTMF, W(u"12"), 0); },
          [&](auto v) { return TSPI_lineGenerateTone(Call(v), 0, LINETONEMODE_BEEP, 100, 0, nullptr); },
          [&](auto v) { return TSPI_lineBlindTransfer(7, Call(v), W(u"1234"), 0); },
          [&](auto v) { return TSPI_lineSetupTransfer(7, Call(v), nullptr, &hd, nullptr); },
          [&](auto v) { return TSPI_lineCompleteTransfer(7, Call(v), Call(1), nullptr, &hd, transfer); },
          [&](auto v) { return TSPI_lineCompleteTransfer(7, Call(0), Call(v), nullptr, &hd, transfer); },
          [&](auto v) { return TSPI_lineRemoveFromConference(7, Call(v)); }}},
        // CONFREF is a call for these.
        {Bad::Call,
         LINEERR_INVALCALLHANDLE,
         {[&](auto v) { return TSPI_lineDrop(7, Call(v), nullptr, 0); },
          [&](auto v) { return TSPI_lineGetCallStatus(Call(v), s); },
          [&](auto v) { return TSPI_lineGetCallInfo(Call(v), s); },
          [&](auto v) { return TSPI_lineCloseCall(Call(v)); }}},
        // The conference stubs refuse whatever they are given.
        {Bad::Call,
         LINEERR_OPERATIONUNAVAIL,
         {[&](auto v) {
              return TSPI_lineSetupConference(7, Call(v), LineHandle(), nullptr, &hd, nullptr, &hd, 3,
                                              nullptr);
          },
          [&](auto v) { return TSPI_lineAddToConference(7, Call(v), Call(0)); },
          [&](auto v) { return TSPI_linePrepareAddToConference(7, Call(v), nullptr, &hd, nullptr); }}},
        {Bad::Device,
         LINEERR_BADDEVICEID,
         {[&](auto v) { return TSPI_lineGetDevCaps(Dev(v), ver, 0, s); },
          [&](auto v) { return TSPI_lineGetAddressCaps(Dev(v), 0, ver, 0, s); },
          [&](auto v) { return TSPI_lineNegotiateTSPIVersion(Dev(v), 0x10000, 0x30000, &dw); },
          [&](auto v) { return TSPI_lineNegotiateExtVersion(Dev(v), ver, 0, 0, &dw); },
          [&](auto v) { return TSPI_lineOpen(Dev(v), nullptr, nullptr, ver, RecordLineEvent); }}},
        {Bad::Device,
         PHONEERR_BADDEVICEID,
         {[&](auto v) { return TSPI_phoneGetDevCaps(Dev(v), ver, 0, s); },
          [&](auto v) { return TSPI_phoneNegotiateTSPIVersion(Dev(v), 0x10000, 0x30000, &dw); },
          [&](auto v) { return TSPI_phoneNegotiateExtVersion(Dev(v), ver, 0, 0, &dw); },
          [&](auto v) { return TSPI_phoneOpen(Dev(v), nullptr, nullptr, ver, RecordPhoneEvent); },
          [&](auto v) { return TSPI_phoneGetExtensionID(Dev(v), ver, s); },
          [&](auto v) { return TSPI_phoneGetIcon(Dev(v), nullptr, &icon); }}},
        {Bad::Handle,
         PHONEERR_INVALPHONEHANDLE,
         {[&](auto v) { return TSPI_phoneClose(Phone(v)); },
          [&](auto v) { return TSPI_phoneGetButtonInfo(Phone(v), 3, s); },
          [&](auto v) { return TSPI_phoneGetStatus(Phone(v), s); },
          [&](auto v) { return TSPI_phoneGetHookSwitch(Phone(v), &dw); },
          [&](auto v) { return TSPI_phoneGetRing(Phone(v), &dw, &dw); },
          [&](auto v) { return TSPI_phoneGetGain(Phone(v), handset, &dw); },
          [&](auto v) { return TSPI_phoneGetVolume(Phone(v), handset, &dw); },
          [&](auto v) { return TSPI_phoneGetLamp(Phone(v), 0, &dw); },
          [&](auto v) { return TSPI_phoneSetStatusMessages(Phone(v), 0, 0, 0); },
          [&](auto v) { return TSPI_phoneSelectExtVersion(Phone(v), 0); },
          [&](auto v) { return TSPI_phoneGetDisplay(Phone(v), s); },
          [&](auto v) { return TSPI_phoneSetButtonInfo(7, Phone(v), 3, s); },
          [&](auto v) { return TSPI_phoneSetHookSwitch(7, Phone(v), handset, PHONEHOOKSWITCHMODE_ONHOOK); },
          [&](auto v) { return TSPI_phoneDevSpecific(7, Phone(v), s, 4); },
          [&](auto v) { return TSPI_phoneGetData(Phone(v), 0, s, 4); },
          [&](auto v) { return TSPI_phoneGetID(Phone(v), s, W(u"tapi/phone"), nullptr); },
          [&](auto v) { return TSPI_phoneSetData(7, Phone(v), 0, s, 4); },
          [&](auto v) { return TSPI_phoneSetDisplay(7, Phone(v), 0, 0, W(u"x"), 2); },
          [&](auto v) { return TSPI_phoneSetGain(7, Phone(v), handset, 0); },
          [&](auto v) { return TSPI_phoneSetLamp(7, Phone(v), 0, PHONELAMPMODE_STEADY); },
          [&](auto v) { return TSPI_phoneSetRing(7, Phone(v), 0, 0); },
          [&](auto v) { return TSPI_phoneSetVolume(7, Phone(v), handset, 0); }}},
        // Null pointers, handles and devices good.
        {Bad::Arg,
         LINEERR_INVALPOINTER,
         {[&](auto) { return TSPI_lineGetDevCaps(0, ver, 0, nullptr); },
          [&](auto) { return TSPI_lineGetAddressCaps(0, 0, ver, 0, nullptr); },
          [&](auto) { return TSPI_lineGetAddressStatus(LineHandle(), 0, nullptr); },
          [&](auto) { return TSPI_lineGetLineDevStatus(LineHandle(), nullptr); },
          [&](auto) { return TSPI_lineGetCallStatus(Call(0), nullptr); },
          [&](auto) { return TSPI_lineGetCallInfo(Call(0), nullptr); },
          [&](auto) {
              return TSPI_lineGetID(LineHandle(), 0, nullptr, sel, nullptr, W(u"tapi/line"), nullptr);
          },
          [&](auto) { return TSPI_lineGetNumAddressIDs(LineHandle(), nullptr); },
          [&](auto) { return TSPI_lineGetAddressID(LineHandle(), nullptr, dial, W(u"2001"), 10); },
          [&](auto) { return TSPI_lineGetAddressID(LineHandle(), &dw, dial, nullptr, 10); },
          [&](auto) { return TSPI_lineGetCallAddressID(Call(0), nullptr); },
          [&](auto) { return TSPI_lineNegotiateTSPIVersion(0, 0x10000, 0x30000, nullptr); },
          [&](auto) { return TSPI_lineNegotiateExtVersion(0, ver, 0, 0, nullptr); },
          [&](auto) { return TSPI_lineMakeCall(7, LineHandle(), nullptr, nullptr, W(u"1234"), 0, nullptr); },
          [&](auto) { return TSPI_linePickup(7, LineHandle(), 0, nullptr, nullptr, W(u"1234"), nullptr); },
          [&](auto) { return TSPI_lineSetupTransfer(7, Call(0), nullptr, nullptr, nullptr); }}},
        {Bad::Arg,
         PHONEERR_INVALPOINTER,
         {[&](auto) { return TSPI_phoneGetDevCaps(0, ver, 0, nullptr); },
          [&](auto) { return TSPI_phoneGetButtonInfo(PhoneHandle(), 3, nullptr); },
          [&](auto) { return TSPI_phoneGetStatus(PhoneHandle(), nullptr); },
          [&](auto) { return TSPI_phoneGetHookSwitch(PhoneHandle(), nullptr); },
          [&](auto) { return TSPI_phoneGetRing(PhoneHandle(), nullptr, &dw); },
          [&](auto) { return TSPI_phoneGetRing(PhoneHandle(), &dw, nullptr); },
          [&](auto) { return TSPI_phoneGetGain(PhoneHandle(), handset, nullptr); },
          [&](auto) { return TSPI_phoneGetVolume(PhoneHandle(), handset, nullptr); },
          [&](auto) { return TSPI_phoneGetLamp(PhoneHandle(), 0, nullptr); },
          [&](auto) { return TSPI_phoneNegotiateTSPIVersion(0, 0x10000, 0x30000, nullptr); },
          [&](auto) { return TSPI_phoneNegotiateExtVersion(0, ver, 0, 0, nullptr); },
          [&](auto) { return TSPI_phoneGetExtensionID(0, ver, nullptr); },
          [&](auto) { return TSPI_phoneGetIcon(0, nullptr, nullptr); },
          [&](auto) { return TSPI_phoneGetDisplay(PhoneHandle(), nullptr); },
          [&](auto) { return TSPI_phoneSetButtonInfo(7, PhoneHandle(), 3, nullptr); }}},
        // The stubs read nothing.
        {Bad::Arg,
         PHONEERR_OPERATIONUNAVAIL,
         {[&](auto) { return TSPI_phoneGetID(PhoneHandle(), nullptr, nullptr, nullptr); },
          [&](auto) { return TSPI_phoneGetData(PhoneHandle(), 0, nullptr, 4); },
          [&](auto) { return TSPI_phoneSetData(7, PhoneHandle(), 0, nullptr, 4); },
          [&](auto) { return TSPI_phoneSetDisplay(7, PhoneHandle(), 0, 0, nullptr, 4); },
          [&](auto) { return TSPI_phoneDevSpecific(7, PhoneHandle(), nullptr, 4); }}},
        {Bad::Arg, LINEERR_INVALADDRESSID, {[&](auto) { return TSPI_lineGetAddressCaps(0, 1, ver, 0, s); }}},
        {Bad::Arg, LINEERR_NODEVICE, {[&](auto) {
             return TSPI_lineGetID(LineHandle(), 0, nullptr, sel, s, W(u"wave/in"), nullptr);
         }}},
        {Bad::Arg, LINEERR_INVALMEDIAMODE, {[&](auto) {
             return TSPI_lineSetMediaMode(Call(0), LINEMEDIAMODE_DATAMODEM);
         }}},
        {Bad::Arg, LINEERR_INCOMPATIBLEAPIVERSION, {[&](auto) {
             return TSPI_lineNegotiateTSPIVersion(0, 0x20001, 0x30000, &dw);
         }}},
        {Bad::Arg, LINEERR_INVALADDRESS, {[&](auto) {
             return TSPI_lineBlindTransfer(7, Call(0), nullptr, 0);
         }}},
        {Bad::Arg, PHONEERR_INVALBUTTONLAMPID, {[&](auto) {
             return TSPI_phoneGetLamp(PhoneHandle(), LAMP_ICON_BASE + MAX_TOUCH + 1, &dw);
         }}},
    };
    for (size_t g = 0; g < groups.size(); ++g) {
        for (size_t i = 0; i < groups[g].calls.size(); ++i) {
            for (const uintptr_t v : BadValues(groups[g].kind)) {
                EXPECT_EQ(groups[g].calls[i](v), E(groups[g].expected))
                    << "group " << g << " function " << i << " with " << v;
            }
        }
    }
    EXPECT_TRUE(g_tapi.completions.empty());
    EXPECT_EQ(g_line.pendingReqId, 0u);
    EXPECT_EQ(g_provider.serialThread, nullptr);
}

// A line in service on the set, a call connected on key 1, one held.
TEST_F(QueriesTest, ReportsALineInServiceWithCalls) {
    SimWire wire(sim::calls_set());
    ASSERT_EQ(OpenLine(), 0);
    ASSERT_GE(wire.TicksUntil([] { return g_line.lineDevState == 2 && g_dl.ConfigComplete; }, 600), 0);
    PutLineName(u"Desk 2001");
    CopyText(g_line.Address, "2001");
    g_dl.FwdStatus = 0;
    CopyText(g_dl.FwdDest, "3000");
    g_line.calls.lineCallState[0] = LINECALLSTATE_CONNECTED;
    g_line.calls.lineCallState[1] = LINECALLSTATE_ONHOLD;
    g_line.calls.lineCallState[2] = CALLSTATE_REOFFER;
    g_line.TouchTable[5].IconValue = 0x42;

    Buffer caps(1024, 0);
    ASSERT_EQ(TSPI_lineGetDevCaps(0, 0x20000, 0, static_cast<LPLINEDEVCAPS>(caps.get())), 0);
    const auto* dc = static_cast<const LINEDEVCAPS*>(caps.get());
    EXPECT_EQ(dc->dwPermanentLineID, 1u << 16);
    EXPECT_EQ(dc->dwLineStates, 0x40ECDu);
    EXPECT_EQ(dc->DefaultDialParams.dwWaitForDialtone, 60000u);
    EXPECT_EQ(caps.String(dc->dwLineNameSize, dc->dwLineNameOffset), u"Desk 2001");
    EXPECT_EQ(caps.String(dc->dwSwitchInfoSize, dc->dwSwitchInfoOffset), u"Velmora 6200");

    Buffer acaps(1024, 0);
    ASSERT_EQ(TSPI_lineGetAddressCaps(0, 0, 0x20000, 0, static_cast<LPLINEADDRESSCAPS>(acaps.get())), 0);
    const auto* ac = static_cast<const LINEADDRESSCAPS*>(acaps.get());
    EXPECT_EQ(ac->dwCallFeatures, 0xA040AECu);
    EXPECT_EQ(ac->dwForwardModes, 0x1111u);
    EXPECT_EQ(acaps.String(ac->dwAddressSize, ac->dwAddressOffset), u"2001");

    Buffer as(256, 0);
    ASSERT_EQ(TSPI_lineGetAddressStatus(LineHandle(), 0, static_cast<LPLINEADDRESSSTATUS>(as.get())), 0);
    const auto* st = static_cast<const LINEADDRESSSTATUS*>(as.get());
    EXPECT_EQ(st->dwNumActiveCalls, 2u);
    EXPECT_EQ(st->dwNumOnHoldCalls, 1u);
    EXPECT_EQ(st->dwAddressFeatures, static_cast<DWORD>(LINEADDRFEATURE_MAKECALL));
    EXPECT_EQ(st->dwForwardNumEntries, 1u);
    EXPECT_EQ(as.Word(st->dwForwardOffset), static_cast<DWORD>(LINEFORWARDMODE_UNCOND));
    EXPECT_EQ(as.String(as.Word(st->dwForwardOffset + 16), as.Word(st->dwForwardOffset + 20)), u"3000");

    Buffer ds(128, 0);
    ASSERT_EQ(TSPI_lineGetLineDevStatus(LineHandle(), static_cast<LPLINEDEVSTATUS>(ds.get())), 0);
    const auto* dv = static_cast<const LINEDEVSTATUS*>(ds.get());
    EXPECT_EQ(dv->dwDevStatusFlags, 5u);
    EXPECT_EQ(dv->dwLineFeatures, static_cast<DWORD>(LINEFEATURE_MAKECALL));

    struct StatusCase {
        uint32_t cref;
        DWORD state;
        DWORD features;
    };
    const std::array<StatusCase, 3> statuses{{
        {0, LINECALLSTATE_CONNECTED,
         LINECALLFEATURE_COMPLETETRANSF | LINECALLFEATURE_DIAL | LINECALLFEATURE_DROP |
             LINECALLFEATURE_GENERATEDIGITS | LINECALLFEATURE_HOLD | LINECALLFEATURE_SETUPTRANSFER |
             LINECALLFEATURE_BLINDTRANSFER},
        {1, LINECALLSTATE_ONHOLD, LINECALLFEATURE_UNHOLD | LINECALLFEATURE_COMPLETETRANSF},
        {2, LINECALLSTATE_OFFERING, LINECALLFEATURE_ANSWER},
    }};
    for (const StatusCase& c : statuses) {
        Buffer cs(64, 0);
        ASSERT_EQ(TSPI_lineGetCallStatus(Call(c.cref), static_cast<LPLINECALLSTATUS>(cs.get())), 0);
        const auto* s = static_cast<const LINECALLSTATUS*>(cs.get());
        EXPECT_EQ(s->dwCallState, c.state) << c.cref;
        EXPECT_EQ(s->dwCallFeatures, c.features) << c.cref;
    }
    g_line.calls.lineCallState[2] = LINECALLSTATE_PROCEEDING;
    Buffer cs(64, 0);
    ASSERT_EQ(TSPI_lineGetCallStatus(Call(2), static_cast<LPLINECALLSTATUS>(cs.get())), 0);
    EXPECT_EQ(static_cast<const LINECALLSTATUS*>(cs.get())->dwCallState,
              static_cast<DWORD>(LINECALLSTATE_RINGBACK));
    EXPECT_EQ(static_cast<const LINECALLSTATUS*>(cs.get())->dwCallFeatures,
              static_cast<DWORD>(LINECALLFEATURE_DROP | LINECALLFEATURE_COMPLETETRANSF));

    Buffer id(64, 0);
    ASSERT_EQ(
        TSPI_lineGetID(LineHandle(), 0, nullptr, LINECALLSELECT_LINE, static_cast<LPVARSTRING>(id.get()),
                       reinterpret_cast<LPCWSTR>(u"tapi/line"), nullptr),
        0);
    EXPECT_EQ(id.Word(8), 28u);
    EXPECT_EQ(id.Word(24), g_line.dwDeviceID);

    DWORD value = 0xFFFF;
    EXPECT_EQ(TSPI_phoneGetLamp(PhoneHandle(), LAMP_ICON_BASE + 5, &value), 0);
    EXPECT_EQ(value, 0x42u);
    EXPECT_EQ(TSPI_lineNegotiateTSPIVersion(0xFFFFFFFF, 0x10004, 0x30000, &value), 0);
    EXPECT_EQ(value, TSPI_VERSION);
    EXPECT_EQ(TSPI_lineGetAddressID(LineHandle(), &value, LINEADDRESSMODE_DIALABLEADDR,
                                    reinterpret_cast<LPCWSTR>(u"2001"), 10),
              0);
    EXPECT_EQ(TSPI_lineGetAddressID(LineHandle(), &value, LINEADDRESSMODE_DIALABLEADDR,
                                    reinterpret_cast<LPCWSTR>(u"2001"), 6),
              E(LINEERR_INVALADDRESS));

    // The app-specific value is the line's, reported for the call and read back.
    g_tapi = TapiRecorder{};
    ASSERT_EQ(TSPI_lineSetAppSpecific(Call(0), 0xBEEF), 0);
    ASSERT_FALSE(g_tapi.lineEvents.empty());
    EXPECT_EQ(g_tapi.lineEvents.back().msg, static_cast<uint32_t>(LINE_CALLINFO));
    EXPECT_EQ(g_tapi.lineEvents.back().param1, static_cast<uintptr_t>(LINECALLINFOSTATE_APPSPECIFIC));
    Buffer info(512, 0);
    ASSERT_EQ(TSPI_lineGetCallInfo(Call(1), static_cast<LPLINECALLINFO>(info.get())), 0);
    EXPECT_EQ(static_cast<const LINECALLINFO*>(info.get())->dwAppSpecific, 0xBEEFu);
}

}  // namespace
}  // namespace zq::test
