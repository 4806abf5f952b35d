// What TAPI reads of the line and phone without a request: every structure
// at the edges of its size, and the values of a line in service with calls.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "callmodel/tables.h"
#include "core/config.h"
#include "core/line_record.h"
#include "link/setconfig.h"
#include "superv_support.h"
#include "tapi/callinfo.h"
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

struct Sweep {
    const char* name;
    uint32_t fixed;
    uint32_t tooSmall;
    std::function<LONG(void*)> call;
};

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
    for (const Sweep& s : Sweeps()) {
        for (const uint8_t fill : {uint8_t{0x00}, uint8_t{0xFF}}) {
            for (const uint32_t total : {0u, s.fixed - 1, s.fixed, s.fixed + 300}) {
                SCOPED_TRACE(std::string(s.name) + " total " + std::to_string(total) + " fill " +
                             std::to_string(fill));
                Buffer b(total, fill);
                const LONG result = s.call(b.get());
                if (total < s.fixed) {
                    EXPECT_EQ(result, E(s.tooSmall));
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

TEST_F(QueriesTest, RefusesBadDevicesHandlesAndPointers) {
    Buffer b(512, 0);
    const std::array<std::pair<LONG, LONG>, 14> cases{{
        {TSPI_lineGetDevCaps(1, 0x20000, 0, static_cast<LPLINEDEVCAPS>(b.get())), E(LINEERR_BADDEVICEID)},
        {TSPI_lineGetDevCaps(0, 0x20000, 0, nullptr), E(LINEERR_INVALPOINTER)},
        {TSPI_lineGetAddressCaps(0, 1, 0x20000, 0, static_cast<LPLINEADDRESSCAPS>(b.get())),
         E(LINEERR_INVALADDRESSID)},
        {TSPI_lineGetAddressStatus(nullptr, 0, static_cast<LPLINEADDRESSSTATUS>(b.get())),
         E(LINEERR_INVALLINEHANDLE)},
        {TSPI_lineGetLineDevStatus(LineHandle(), nullptr), E(LINEERR_INVALPOINTER)},
        {TSPI_lineGetCallStatus(Call(20), static_cast<LPLINECALLSTATUS>(b.get())),
         E(LINEERR_INVALCALLHANDLE)},
        {TSPI_lineGetID(LineHandle(), 0, nullptr, LINECALLSELECT_LINE, static_cast<LPVARSTRING>(b.get()),
                        reinterpret_cast<LPCWSTR>(u"wave/in"), nullptr),
         E(LINEERR_NODEVICE)},
        {TSPI_lineSetMediaMode(Call(0), LINEMEDIAMODE_DATAMODEM), E(LINEERR_INVALMEDIAMODE)},
        {TSPI_lineSetAppSpecific(Call(CONFREF), 1), E(LINEERR_INVALCALLHANDLE)},
        {TSPI_lineNegotiateTSPIVersion(5, 0x10000, 0x30000, b.words.data()), E(LINEERR_BADDEVICEID)},
        {TSPI_lineNegotiateTSPIVersion(0, 0x20001, 0x30000, b.words.data()),
         E(LINEERR_INCOMPATIBLEAPIVERSION)},
        {TSPI_phoneGetDevCaps(1, 0x20000, 0, static_cast<LPPHONECAPS>(b.get())), E(PHONEERR_BADDEVICEID)},
        {TSPI_phoneGetLamp(PhoneHandle(), LAMP_ICON_BASE + MAX_TOUCH + 1, b.words.data()),
         E(PHONEERR_INVALBUTTONLAMPID)},
        {TSPI_phoneGetLamp(nullptr, 0, b.words.data()), E(PHONEERR_INVALPHONEHANDLE)},
    }};
    for (size_t i = 0; i < cases.size(); ++i)
        EXPECT_EQ(cases[i].first, cases[i].second) << "case " << i;
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
