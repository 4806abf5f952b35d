// What TAPI reads of a call: the parties, flags, origin and reason of calls
// set up in the tables, and the caller's structure at the edges of its size.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "callmodel/calls.h"
#include "core/config.h"
#include "core/line_record.h"
#include "provider_fixture.h"
#include "tapi/callinfo.h"

namespace zq::test {
namespace {

constexpr uint8_t kPattern = 0xA5;
constexpr size_t kGuard = 64;

// A caller's LINECALLINFO of `total` bytes, pre-filled with a pattern and
// followed by a guard.
struct CallInfoBuffer {
    explicit CallInfoBuffer(uint32_t size) : words((size + kGuard + 3) / 4), total(size) {
        std::memset(words.data(), kPattern, words.size() * 4);
        std::memcpy(words.data(), &size, sizeof size);
    }
    LPLINECALLINFO get() { return reinterpret_cast<LPLINECALLINFO>(words.data()); }
    const uint8_t* bytes() const { return reinterpret_cast<const uint8_t*>(words.data()); }
    LINECALLINFO Fixed() const {
        LINECALLINFO info{};
        std::memcpy(&info, bytes(), LINECALLINFO_FIXED_SIZE);
        return info;
    }
    bool GuardIntact(size_t from) const {
        for (size_t i = from; i < total + kGuard; ++i) {
            if (bytes()[i] != kPattern)
                return false;
        }
        return true;
    }
    // The string a size and offset name, without its NUL; nullopt when the
    // size is 0. A string outside the used part or without its NUL fails.
    std::optional<std::u16string> String(DWORD size, DWORD offset) const {
        if (size == 0)
            return std::nullopt;
        const LINECALLINFO info = Fixed();
        if (offset < LINECALLINFO_FIXED_SIZE || offset + size > info.dwUsedSize || size % 2 != 0) {
            ADD_FAILURE() << "string of " << size << " bytes at " << offset << " outside the used part";
            return u"<bad>";
        }
        std::u16string text(size / 2, u'\0');
        std::memcpy(text.data(), bytes() + offset, size);
        EXPECT_EQ(text.back(), u'\0');
        text.pop_back();
        return text;
    }

    std::vector<uint32_t> words;
    uint32_t total;
};

// The strings of a call, by name; unnamed ones stay empty.
struct CallSetup {
    bool inbound = true;
    uint32_t state = LINECALLSTATE_OFFERING;
    std::vector<std::pair<std::array<CallString, MAX_CALLS> CallStrings::*, const char*>> strings;
    uint32_t origin = LINECALLORIGIN_UNAVAIL;
    uint32_t reason = LINECALLREASON_UNAVAIL;
};

// What TAPI should read: a string absent is nullptr.
struct Party {
    const char16_t* address;
    const char16_t* name;
    uint32_t flags;
};

struct InfoCase {
    const char* name;
    uint8_t tqla;
    bool staticConfig;
    CallSetup call;
    Party caller, called, connected, redirecting, redirection;
    uint32_t origin, reason;
};

// Test names in place of the bytes of the case.
void PrintTo(const InfoCase& c, std::ostream* os) {
    *os << c.name;
}

constexpr Party kNone{nullptr, nullptr, 0};
constexpr int kCref = 3;
constexpr uint32_t kKey = 2;

using S = CallStrings;

const std::vector<InfoCase> kCases = {
    {"InboundEventsConnected",
     3,
     false,
     {true,
      LINECALLSTATE_CONNECTED,
      {{&S::CallerAdd, "0612345678"},
       {&S::CallerName, "Dupont Jean"},
       {&S::DestName, "Display Name"},
       {&S::CalledAdd, "2001"},
       {&S::ConnectedAddr, "0612345678"},
       {&S::ConnectedName, "Dupont Jean"}},
      LINECALLORIGIN_EXTERNAL,
      LINECALLREASON_DIRECT},
     {u"0612345678", u"Dupont Jean", 12},
     {u"2001", nullptr, 8},
     {u"0612345678", u"Dupont Jean", 12},
     kNone,
     kNone,
     LINECALLORIGIN_EXTERNAL,
     LINECALLREASON_DIRECT},
    // No number anywhere: the caller's number is written empty; the
    // connected party is not told before the call is connected.
    {"InboundDisplayNameOnlyRinging",
     3,
     false,
     {true,
      LINECALLSTATE_OFFERING,
      {{&S::DestName, "Lef\xE8vre \x80"}, {&S::ConnectedAddr, "2005"}},
      LINECALLORIGIN_INTERNAL,
      LINECALLREASON_TRANSFER},
     {u"", u"Lef\u00E8vre \u20AC", 4},
     kNone,
     kNone,
     kNone,
     kNone,
     LINECALLORIGIN_INTERNAL,
     LINECALLREASON_UNAVAIL},
    {"InboundForwarded",
     2,
     false,
     {true,
      LINECALLSTATE_OFFERING,
      {{&S::CallerAdd, "2010"},
       {&S::CallerName, "Blanc Marc"},
       {&S::RedirectingAddress, "2004"},
       {&S::RedirectingName, "Petit Luc"}},
      LINECALLORIGIN_INTERNAL,
      LINECALLREASON_FWDUNCOND},
     {u"2010", u"Blanc Marc", 12},
     kNone,
     kNone,
     {u"2004", u"Petit Luc", 12},
     kNone,
     LINECALLORIGIN_INTERNAL,
     LINECALLREASON_FWDUNCOND},
    // The dialled number stands in for the PBX's called number.
    {"OutboundConnected",
     3,
     false,
     {false,
      LINECALLSTATE_CONNECTED,
      {{&S::DestAddress, "2005"},
       {&S::CalledName, "Martin Paul"},
       {&S::ConnectedAddr, "2005"},
       {&S::ConnectedName, "Martin Paul"}},
      LINECALLORIGIN_OUTBOUND,
      LINECALLREASON_DIRECT},
     kNone,
     {u"2005", u"Martin Paul", 12},
     {u"2005", u"Martin Paul", 12},
     kNone,
     kNone,
     LINECALLORIGIN_OUTBOUND,
     LINECALLREASON_UNAVAIL},
    {"OutboundRedirectedConnectedNoParty",
     3,
     false,
     {false,
      LINECALLSTATE_CONNECTED,
      {{&S::CalledAdd, "2004"}, {&S::RedirectionAddress, "2005"}},
      LINECALLORIGIN_OUTBOUND,
      LINECALLREASON_UNAVAIL},
     kNone,
     {u"2004", u"", 8},
     {nullptr, nullptr, 16},
     kNone,
     {u"2005", nullptr, 8},
     LINECALLORIGIN_OUTBOUND,
     LINECALLREASON_UNAVAIL},
    // Version 1: the display's party, called on the key's directory number.
    {"Version1Inbound",
     1,
     false,
     {true,
      LINECALLSTATE_CONNECTED,
      {{&S::DestAddress, "2005"}, {&S::CallerName, "Ignored"}, {&S::ConnectedName, "Martin Paul"}},
      LINECALLORIGIN_INTERNAL,
      LINECALLREASON_DIRECT},
     {u"2005", nullptr, 8},
     {u"2001", nullptr, 8},
     {nullptr, u"Martin Paul", 4},
     kNone,
     kNone,
     LINECALLORIGIN_INTERNAL,
     LINECALLREASON_UNAVAIL},
    {"Version1InboundStaticConfig",
     1,
     true,
     {true, LINECALLSTATE_OFFERING, {}, LINECALLORIGIN_EXTERNAL, LINECALLREASON_UNAVAIL},
     {nullptr, nullptr, 16},
     kNone,
     kNone,
     kNone,
     kNone,
     LINECALLORIGIN_EXTERNAL,
     LINECALLREASON_UNAVAIL},
    {"Version1Outbound",
     1,
     false,
     {false, LINECALLSTATE_RINGBACK, {{&S::DestName, "Martin Paul"}}, LINECALLORIGIN_UNAVAIL, 0},
     kNone,
     {nullptr, u"Martin Paul", 4},
     kNone,
     kNone,
     kNone,
     LINECALLORIGIN_OUTBOUND,
     LINECALLREASON_UNAVAIL},
};

HDRVCALL Handle(uintptr_t cref) {
    return reinterpret_cast<HDRVCALL>(cref);
}

class CallInfoTest : public ProviderTest {
protected:
    void SetUp() override {
        ProviderTest::SetUp();
        Init();
        g_lineSettings.TqlaVersion = 3;
        g_line.dial = DialSettings{1000, 80, 90, 30000};
        CopyText(g_line.TouchTable[kKey].Label, "2001");
    }

    static void PutCall(const CallSetup& c) {
        const auto i = static_cast<size_t>(kCref);
        g_line.calls.Inbound[i] = c.inbound ? 1 : 0;
        g_line.calls.Outbound[i] = c.inbound ? 0 : 1;
        g_line.calls.lineCallState[i] = c.state;
        g_line.calls.Touch[i] = kKey;
        for (const auto& [table, text] : c.strings)
            CopyText((g_line.strings.*table)[i], text);
        g_line.strings.Origin[i] = c.origin;
        g_line.strings.Reason[i] = c.reason;
    }
};

class CallInfoPartiesTest : public CallInfoTest, public ::testing::WithParamInterface<InfoCase> {};

void ExpectParty(const CallInfoBuffer& b, const char* what, DWORD flags, DWORD size, DWORD offset,
                 DWORD nameSize, DWORD nameOffset, const Party& want) {
    SCOPED_TRACE(what);
    EXPECT_EQ(flags, want.flags);
    const auto asOptional = [](const char16_t* s) {
        return s == nullptr ? std::nullopt : std::optional<std::u16string>(s);
    };
    EXPECT_EQ(b.String(size, offset), asOptional(want.address));
    EXPECT_EQ(b.String(nameSize, nameOffset), asOptional(want.name));
}

TEST_P(CallInfoPartiesTest, PartiesFlagsOriginAndReason) {
    const InfoCase& c = GetParam();
    g_lineSettings.TqlaVersion = c.tqla;
    g_lineSettings.StaticConfig = c.staticConfig;
    PutCall(c.call);

    CallInfoBuffer b(1024);
    ASSERT_EQ(TSPI_lineGetCallInfo(Handle(kCref), b.get()), 0);
    const LINECALLINFO i = b.Fixed();
    EXPECT_EQ(i.dwTotalSize, 1024u);
    EXPECT_EQ(i.dwNeededSize, i.dwUsedSize);
    EXPECT_TRUE(b.GuardIntact(i.dwUsedSize));
    ExpectParty(b, "caller", i.dwCallerIDFlags, i.dwCallerIDSize, i.dwCallerIDOffset, i.dwCallerIDNameSize,
                i.dwCallerIDNameOffset, c.caller);
    ExpectParty(b, "called", i.dwCalledIDFlags, i.dwCalledIDSize, i.dwCalledIDOffset, i.dwCalledIDNameSize,
                i.dwCalledIDNameOffset, c.called);
    ExpectParty(b, "connected", i.dwConnectedIDFlags, i.dwConnectedIDSize, i.dwConnectedIDOffset,
                i.dwConnectedIDNameSize, i.dwConnectedIDNameOffset, c.connected);
    ExpectParty(b, "redirecting", i.dwRedirectingIDFlags, i.dwRedirectingIDSize, i.dwRedirectingIDOffset,
                i.dwRedirectingIDNameSize, i.dwRedirectingIDNameOffset, c.redirecting);
    ExpectParty(b, "redirection", i.dwRedirectionIDFlags, i.dwRedirectionIDSize, i.dwRedirectionIDOffset,
                i.dwRedirectionIDNameSize, i.dwRedirectionIDNameOffset, c.redirection);
    EXPECT_EQ(i.dwOrigin, c.origin);
    EXPECT_EQ(i.dwReason, c.reason);

    // The line's values, the same for every call; what is not filled is 0.
    EXPECT_EQ(i.dwBearerMode, LINEBEARERMODE_VOICE);
    EXPECT_EQ(i.dwMediaMode, LINEMEDIAMODE_INTERACTIVEVOICE);
    EXPECT_EQ(i.dwCallParamFlags, 6u);
    EXPECT_EQ(i.dwCallStates, 0x7F7Bu);
    EXPECT_EQ(i.DialParams.dwDialPause, 1000u);
    EXPECT_EQ(i.DialParams.dwWaitForDialtone, 30000u);
    EXPECT_EQ(i.dwCallID, 0u);
    EXPECT_EQ(i.dwDisplaySize, 0u);
}

INSTANTIATE_TEST_SUITE_P(Calls, CallInfoPartiesTest, ::testing::ValuesIn(kCases),
                         [](const auto& test) { return std::string(test.param.name); });

TEST_F(CallInfoTest, TheConferenceHasNoParties) {
    CallInfoBuffer b(512);
    ASSERT_EQ(TSPI_lineGetCallInfo(Handle(CONFREF), b.get()), 0);
    const LINECALLINFO i = b.Fixed();
    EXPECT_EQ(i.dwOrigin, static_cast<DWORD>(LINECALLORIGIN_CONFERENCE));
    EXPECT_EQ(i.dwReason, static_cast<DWORD>(LINECALLREASON_UNAVAIL));
    EXPECT_EQ(i.dwNeededSize, LINECALLINFO_FIXED_SIZE);
    EXPECT_EQ(i.dwUsedSize, LINECALLINFO_FIXED_SIZE);
    EXPECT_TRUE(b.GuardIntact(LINECALLINFO_FIXED_SIZE));
    EXPECT_TRUE(TraceHas("Entering TSPI_lineGetCallInfo cref:CONFREF "));
}

// The caller's structure at the edges of its size: nothing is written past
// dwTotalSize, and the needed size always tells the whole.
TEST_F(CallInfoTest, KeepsWithinTheCallersStructure) {
    g_line.calls.Inbound[0] = 1;
    g_line.calls.lineCallState[0] = LINECALLSTATE_OFFERING;
    CopyText(g_line.strings.CallerAdd[0], "2005");          // 10 bytes
    CopyText(g_line.strings.CallerName[0], "Martin Paul");  // 24 bytes
    const uint32_t needed = LINECALLINFO_FIXED_SIZE + 10 + 24;

    struct SizeCase {
        uint32_t total;
        LONG result;
        uint32_t used;
        bool number, name;
    };
    const std::array<SizeCase, 5> cases{{
        {LINECALLINFO_FIXED_SIZE - 1, static_cast<LONG>(LINEERR_STRUCTURETOOSMALL), 0, false, false},
        {LINECALLINFO_FIXED_SIZE, 0, LINECALLINFO_FIXED_SIZE, false, false},
        {LINECALLINFO_FIXED_SIZE + 10, 0, LINECALLINFO_FIXED_SIZE + 10, true, false},
        {needed - 1, 0, LINECALLINFO_FIXED_SIZE + 10, true, false},
        {needed, 0, needed, true, true},
    }};
    for (const SizeCase& c : cases) {
        SCOPED_TRACE(c.total);
        CallInfoBuffer b(c.total);
        ASSERT_EQ(TSPI_lineGetCallInfo(Handle(0), b.get()), c.result);
        if (c.result != 0) {
            EXPECT_TRUE(b.GuardIntact(4));
            continue;
        }
        const LINECALLINFO i = b.Fixed();
        EXPECT_EQ(i.dwNeededSize, needed);
        EXPECT_EQ(i.dwUsedSize, c.used);
        EXPECT_EQ(i.dwCallerIDSize != 0, c.number);
        EXPECT_EQ(i.dwCallerIDNameSize != 0, c.name);
        EXPECT_EQ(i.dwCallerIDFlags, static_cast<DWORD>(LINECALLPARTYID_ADDRESS | LINECALLPARTYID_NAME));
        EXPECT_TRUE(b.GuardIntact(c.used));
    }
}

TEST_F(CallInfoTest, RefusesHandlesOtherThanCallsAndTheConference) {
    for (const uintptr_t handle : {uintptr_t{20}, uintptr_t{29}, uintptr_t{31}, uintptr_t{0xFFFF}}) {
        SCOPED_TRACE(handle);
        CallInfoBuffer b(512);
        EXPECT_EQ(TSPI_lineGetCallInfo(Handle(handle), b.get()), static_cast<LONG>(LINEERR_INVALCALLHANDLE));
        EXPECT_TRUE(b.GuardIntact(4));
    }
}

}  // namespace
}  // namespace zq::test
