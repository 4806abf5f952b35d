// The dialer's connection to telephony against a scripted TAPI: the line
// and address it works with, the LINEERR_REINIT retries, the texts of result
// codes, structures whose sizes cannot be trusted, the callback's dispatch
// and the requests of other programs.
#include "core/telephony.h"

#include <gtest/gtest.h>

#include <optional>

#include "core/calls.h"
#include "core/settings.h"
#include "fake_tapi.h"
#include "zq/memplat.h"

namespace zq::dialer::test {
namespace {

LONG E(DWORD code) {
    return static_cast<LONG>(code);
}

std::optional<std::string> Pref(std::string_view name) {
    return memplat::reg_get_string(plat::RegRoot::CurrentUser, kPreferenceKey, name);
}

size_t Boxes(std::string_view text) {
    return static_cast<size_t>(
        std::count_if(Scr().boxes.begin(), Scr().boxes.end(), [&](const Box& b) { return b.text == text; }));
}

void StartUp() {
    InstallFakeTapi();
    Fake().devices = {{"Velmora"}};
    ASSERT_TRUE(StartDialer(nullptr));
}

TEST(StartTelephony, ChoosesTheLineAndAddress) {
    struct Case {
        std::vector<FakeDevice> devices;
        const char* storedLine;  // "" for none
        const char* storedAddress;
        LONG result;
        int line;
        DWORD address;
        std::optional<std::string> preferredAfter;
        size_t open;
    };
    const std::vector<std::string> two = {"100", "200"};
    const Case cases[] = {
        // The first line is remembered; a device without voice too, and then there is no line.
        {{{"Velmora"}}, "", "", 0, 0, 0, "Velmora", 1},
        {{{"Modem", false}, {"Velmora"}}, "", "", ERR_NO_PREFERRED_LINE, -1, 0, "Modem", 0},
        // A stored name that matches nothing; names compare without case.
        {{{"Velmora"}}, "Other", "", ERR_NO_PREFERRED_LINE, -1, 0, "Other", 0},
        {{{"Modem"}, {"Velmora"}}, "VELMORA", "", 0, 1, 0, "VELMORA", 1},
        // A later line of the same name replaces the earlier; one that cannot be opened is skipped.
        {{{"Velmora"}, {"Velmora"}}, "", "", 0, 1, 0, "Velmora", 1},
        {{{"Busy", true, {"Main"}, E(LINEERR_ALLOCATED)}, {"Velmora"}}, "", "", 0, 1, 0, "Velmora", 1},
        // The preferred address, an unknown one (address 0), an empty one ("Address %d").
        {{{"Velmora", true, two}}, "", "200", 0, 0, 1, "Velmora", 1},
        {{{"Velmora", true, two}}, "", "300", 0, 0, 0, "Velmora", 1},
        {{{"Velmora", true, {"100", ""}}}, "", "Address 1", 0, 0, 1, "Velmora", 1},
        // A name outside the structure's used part; no devices at all.
        {{{"Velmora", true, {"Main"}, 0, true}}, "", "", 0, 0, 0, "Line 0", 1},
        {{}, "", "", kNoLineDevice, -1, 0, std::nullopt, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << &c - cases);
        InstallFakeTapi();
        Fake().devices = c.devices;
        if (*c.storedLine != '\0')
            WriteSetting(kPreferenceKey, "Preferred Line", c.storedLine);
        if (*c.storedAddress != '\0')
            WriteSetting(kPreferenceKey, "Preferred Address", c.storedAddress);
        EXPECT_EQ(StartTelephony(nullptr), c.result);
        EXPECT_EQ(Telephony().currentLine, c.line);
        EXPECT_EQ(Telephony().currentAddress, c.address);
        EXPECT_EQ(Pref("Preferred Line"), c.preferredAfter);
        EXPECT_EQ(Fake().openLines.size(), c.open);
    }
}

TEST(StartTelephony, AsksOnReinitAtOnceThenEveryFiveSeconds) {
    const LONG reinit = E(LINEERR_REINIT);
    struct Case {
        const char* what;
        std::deque<LONG> init;
        std::deque<int> answers;
        LONG result;
        size_t questions;
    };
    const Case cases[] = {
        // Each pumped message takes 2 s: asked at 2 s and at 8 s.
        {"retried until it works", {reinit, reinit, reinit, reinit}, {kIdRetry, kIdRetry}, 0, 2},
        {"Cancel gives up", {reinit}, {kIdCancel}, reinit, 1},
        {"other errors are not retried", {E(LINEERR_NODRIVER)}, {}, E(LINEERR_NODRIVER), 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        InstallFakeTapi();
        Fake().devices = {{"Velmora"}};
        Fake().script["lineInitializeExA"] = c.init;
        Scr().answers = c.answers;
        Scr().pumpAdvanceMs = 2000;
        EXPECT_EQ(StartTelephony(nullptr), c.result);
        EXPECT_EQ(Boxes(kReinitText), c.questions);
        EXPECT_EQ(Telephony().initialised, c.result == 0);
        for (const Box& b : Scr().boxes)
            EXPECT_EQ(b.caption + "/" + std::to_string(b.flags), std::string(kWarningCaption) + "/5");
    }
}

TEST(ErrorMessageId, GroupsTheCodesOfOneText) {
    const std::pair<LONG, int> cases[] = {
        {kNoLineDevice, IDS_NO_VOICE_LINE},          {kLineClosed, IDS_LINE_CLOSED},
        {E(LINEERR_ALLOCATED), IDS_LINE_BUSY},       {E(LINEERR_INUSE), IDS_LINE_BUSY},
        {E(LINEERR_RESOURCEUNAVAIL), IDS_LINE_BUSY}, {ERR_NO_PREFERRED_LINE, IDS_NO_PREFERRED_LINE},
        {E(LINEERR_REINIT), IDS_INTERNAL_ERROR},     {12345, IDS_INTERNAL_ERROR}};
    for (const auto& [code, id] : cases)
        EXPECT_EQ(ErrorMessageId(code), id) << std::hex << code;
    EXPECT_EQ(
        ErrorMessageText(IDS_INI_CORRUPT),
        "Your Telephony configuration file may be corrupted.  Please use the Telephony Control Panel to try "
        "to repair it.");
}

TEST(StartDialer, FirstRunAndFatalErrors) {
    // No location yet: the message and the location dialog come first.
    InstallFakeTapi();
    memplat::reset();
    Fake().devices = {{"Velmora"}};
    EXPECT_TRUE(StartDialer(nullptr));
    EXPECT_EQ(Boxes(kFirstRunText), 1u);
    EXPECT_TRUE(Logged("lineTranslateDialog"));
    // No device: the message in the fatal presentation, everything released.
    InstallFakeTapi();
    EXPECT_FALSE(StartDialer(nullptr));
    ASSERT_EQ(Scr().boxes.size(), 1u);
    EXPECT_EQ(Scr().boxes[0].text, ErrorMessageText(IDS_NO_VOICE_LINE));
    EXPECT_EQ(Scr().boxes[0].caption, kAppCaption);
    EXPECT_TRUE(Logged("lineShutdown"));
    EXPECT_TRUE(Event("release"));
}

TEST(LoadLocationAndCard, TakesThePreferredCard) {
    struct Case {
        std::vector<std::string> cards;
        const char* preferred;
        LONG result;  // of lineGetTranslateCapsA and of the load
        const char* location;
        const char* card;
        DWORD cardId;
    };
    const DWORD none = 0xFFFFFFFF;
    const Case cases[] = {
        // No calling card or no caps: numbers are dialled as typed.
        {{}, "", 0, "Unknown", "Unknown", none},
        {{"A"}, "", E(LINEERR_NODRIVER), "Unknown", "Unknown", none},
        // The preferred card without case, else the first.
        {{"None (Direct Dial)", "Office Card"}, "office card", 0, "Office", "Office Card", 41},
        {{"A", "B"}, "C", 0, "Office", "A", 40}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.card);
        InstallFakeTapi();
        Fake().devices = {{"Velmora"}};
        Fake().cards = c.cards;
        ASSERT_EQ(StartTelephony(nullptr), 0);
        WriteSetting(kPreferenceKey, "Preferred Calling Card", c.preferred);
        Fake().script["lineGetTranslateCapsA"] = {c.result};
        EXPECT_EQ(LoadLocationAndCard(), c.result);
        EXPECT_EQ(Telephony().locationName.view(), c.location);
        EXPECT_EQ(Telephony().cardName.view(), c.card);
        EXPECT_EQ(Telephony().cardId, c.cardId);
        EXPECT_EQ(Telephony().translationAvailable, c.cardId != none);
    }
    // The whole list, for Dialing Options, up to where the structure ends
    // whatever count it claims.
    Fake().otherLocations = {"Home", "Lab"};
    Fake().missingLocations = 0xFFFFFFF0;
    TranslateCapsInfo info;
    ASSERT_EQ(ReadTranslateCaps(kApiVersion, info), 0);
    std::vector<std::pair<DWORD, std::string>> listed;
    for (const LocationInfo& l : info.locations)
        listed.emplace_back(l.permanentId, l.name);
    EXPECT_EQ(listed,
              (std::vector<std::pair<DWORD, std::string>>{{100, "Home"}, {101, "Lab"}, {7, "Office"}}));
    ASSERT_NE(CurrentLocation(info), nullptr);
    EXPECT_EQ(CurrentLocation(info)->name, "Office");
}

TEST(FetchTapiStruct, GrowsOnlyWithinItsBound) {
    const DWORD more = 0;  // a provider that always wants one byte more
    const std::tuple<DWORD, LONG, std::vector<uint32_t>> cases[] = {
        {500, 0, {1000}},
        {3000, 0, {1000, 3000}},
        {0xC0000000, E(LINEERR_NOMEM), {1000}},  // gigabytes: refused without trying
        {more, E(LINEERR_NOMEM), {1000, 1001, 1002, 1003}}};
    for (const auto& [needed, result, expected] : cases) {
        std::vector<uint32_t> sizes;
        TapiBuffer buf;
        const LONG r = FetchTapiStruct(buf, 1000, [&, needed = needed](void* p) {
            VARSTRING vs{};
            std::memcpy(&vs, p, sizeof vs);
            sizes.push_back(vs.dwTotalSize);
            vs.dwNeededSize = needed == more ? vs.dwTotalSize + 1 : needed;
            std::memcpy(p, &vs, sizeof vs);
            return 0;
        });
        EXPECT_EQ(r, result);
        EXPECT_EQ(sizes, expected);
    }
}

TEST(TextAt, ReadsOnlyWithinTheUsedPart) {
    TapiBuffer buf;
    buf.bytes.assign(64, 'x');
    VARSTRING vs{};
    vs.dwTotalSize = 64;
    vs.dwUsedSize = 40;
    std::memcpy(buf.bytes.data(), &vs, sizeof vs);
    buf.bytes[30] = '\0';
    EXPECT_EQ(TextAt(buf, 8, 24, 80), "xxxxxx");       // up to its NUL
    EXPECT_EQ(TextAt(buf, 8, 32, 80), "xxxxxxxx");     // ends at the used size, no NUL
    EXPECT_EQ(TextAt(buf, 8, 32, 3), "xxx");           // cut
    EXPECT_EQ(TextAt(buf, 9, 32, 80), "");             // one byte past dwUsedSize
    EXPECT_EQ(TextAt(buf, 0x20, 0xFFFFFFF0, 80), "");  // offset + size wraps
    EXPECT_EQ(TextAt(buf, 0xFFFFFFFF, 24, 80), "");
}

TEST(LineCallback, DispatchesTheMessages) {
    // Line states: the line asks for them on top of those it reports
    // already; entering or leaving service brings the buttons up to date.
    struct Case {
        DWORD states;
        DWORD features;              // the address's when the message comes
        long queries;                // counter queries it starts
        std::optional<bool> keypad;  // nullopt: the buttons are left alone
    };
    const Case cases[] = {
        {LINEDEVSTATE_INSERVICE, LINEADDRFEATURE_MAKECALL, 0, true},
        {LINEDEVSTATE_CONNECTED | LINEDEVSTATE_INSERVICE, LINEADDRFEATURE_MAKECALL, 0, true},
        {LINEDEVSTATE_OUTOFSERVICE | LINEDEVSTATE_DISCONNECTED, 0, 0, false},
        {LINEDEVSTATE_DEVSPECIFIC, 0, 1, std::nullopt}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.states);
        StartUp();
        const HLINE line = CurrentLine()->line;
        EXPECT_EQ(Fake().statusMessages[line].first, LINEDEVSTATE_REINIT | LINEDEVSTATE_DEVSPECIFIC |
                                                         LINEDEVSTATE_INSERVICE | LINEDEVSTATE_OUTOFSERVICE);
        EXPECT_EQ(Fake().statusMessages[line].second,
                  LINEADDRESSSTATE_DEVSPECIFIC | LINEADDRESSSTATE_FORWARD);
        Fake().addressFeatures = c.features;
        Scr().enabled.clear();
        const auto before = std::count(Fake().log.begin(), Fake().log.end(), "lineDevSpecific 300");
        lineCallbackFunc(line, LINE_LINEDEVSTATE, 0, c.states, 0, 0);
        EXPECT_EQ(std::count(Fake().log.begin(), Fake().log.end(), "lineDevSpecific 300") - before,
                  c.queries);
        const auto keypad = Scr().enabled.find(ID_KEYPAD_FIRST);
        EXPECT_EQ(keypad == Scr().enabled.end() ? std::nullopt : std::optional<bool>(keypad->second),
                  c.keypad);
    }

    StartUp();
    const HLINE line = CurrentLine()->line;
    lineCallbackFunc(0, LINE_APPNEWCALL, 0, 0, 0, LINECALLPRIVILEGE_OWNER);
    EXPECT_TRUE(Event("restore"));
    lineCallbackFunc(0, LINE_REMOVE, 0, 0, 0, 0);
    EXPECT_TRUE(Event("debug lineCallbackFunc message ignored\n"));
    lineCallbackFunc(line, LINE_LINEDEVSTATE, 0, LINEDEVSTATE_DEVSPECIFIC, 0, 0);
    EXPECT_EQ(std::count(Fake().log.begin(), Fake().log.end(), "lineDevSpecific 300"), 2);
    std::array<uint8_t, kDevSpecificSize>& counters = CurrentLine()->devSpecific;
    const int32_t words[] = {2, 3, 1, 0};  // voice: kind 2, 3; text: kind 1, 0
    std::memcpy(counters.data() + 20, words, sizeof words);
    Reply(LastRequest("lineDevSpecific"));
    EXPECT_EQ(Scr().texts[ID_VOICE_COUNT], "Voice: 3");
    EXPECT_EQ(Scr().texts[ID_TEXT_COUNT], "Text: No");
    // The provider closed the line: one message for all its opens.
    lineCallbackFunc(line, LINE_CLOSE, 0, 0, 0, 0);
    lineCallbackFunc(line, LINE_CLOSE, 0, 0, 0, 0);
    EXPECT_EQ(Boxes(ErrorMessageText(IDS_LINE_CLOSED)), 1u);
    EXPECT_TRUE(Logged("lineClose " + std::to_string(line)));
    EXPECT_EQ(std::count(Fake().log.begin(), Fake().log.end(), "lineShutdown"), 1);
    EXPECT_TRUE(Event("release"));
}

TEST(IdleWork, ReinitWaitsUntilTheOwnCallIsIdle) {
    StartUp();
    ASSERT_TRUE(StartDial("555", "", ""));
    const HLINE own = Fake().openLines.back();
    lineCallbackFunc(0, LINE_LINEDEVSTATE, 0, LINEDEVSTATE_REINIT, 0, 0);
    IdleWork();
    EXPECT_FALSE(Logged("lineShutdown"));
    Reply(LastRequest("lineMakeCallA"));
    const HCALL call = Fake().nextCall - 1;
    CallState(call, LINECALLSTATE_CONNECTED, 0, RequestInstance());
    IdleWork();
    EXPECT_FALSE(Logged("lineShutdown"));
    EXPECT_FALSE(Logged("lineClose " + std::to_string(own)));  // its events still come
    CallState(call, LINECALLSTATE_IDLE, 0, RequestInstance());
    EXPECT_TRUE(Logged("lineClose " + std::to_string(own)));
    IdleWork();
    EXPECT_TRUE(Logged("lineShutdown"));
    EXPECT_EQ(std::count(Fake().log.begin(), Fake().log.end(), "lineInitializeExA ZQDialer32"), 2);
    EXPECT_TRUE(Telephony().initialised);
    EXPECT_EQ(Fake().openLines.size(), 1u);
}

TEST(IdleWork, PlacesTheRequestsOfOtherPrograms) {
    StartUp();
    std::strcpy(Fake().makeCallRequest.szDestAddress, "0612");
    std::strcpy(Fake().makeCallRequest.szCalledParty, "Bob");
    Fake().script["lineGetRequestA"] = {0};
    lineCallbackFunc(0, LINE_REQUEST, 0, LINEREQUESTMODE_MAKECALL, 0, 0);
    EXPECT_TRUE(Event("idle"));
    IdleWork();
    EXPECT_TRUE(Logged("lineMakeCallA 0612"));
    EXPECT_EQ(Scr().rows, std::vector<std::string>{" 0612\t- Proceeding -"});
    EXPECT_STREQ(reinterpret_cast<const char*>(Fake().lastParams.data() + sizeof(LINECALLPARAMS)), "Bob");

    // Media calls: by device class and ID, answered with TAPI_REPLY.
    struct Case {
        const char* what;
        std::vector<std::string> ids;
        std::string wanted;
        bool placed;
        std::string reply;
    };
    const Case cases[] = {{"address 1 matches", {"AB", "CD"}, "CD", true, "reply 5 -1"},
                          {"no address matches", {"AB"}, "ABC", false, "reply 5 -9"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        StartUp();
        Fake().devices[0].addresses = {"Main", "Second"};
        Fake().deviceIds = c.ids;
        Telephony().lines[0].numAddresses = 2;
        LINEREQMEDIACALL& req = Fake().mediaCallRequest;
        req.wRequestID = 5;
        req.dwSize = static_cast<DWORD>(c.wanted.size());
        std::memcpy(req.ucDeviceID, c.wanted.data(), c.wanted.size());
        std::strcpy(req.szDestAddress, "0700");
        Fake().script["lineGetRequestA"] = {0};
        lineCallbackFunc(0, LINE_REQUEST, 0, LINEREQUESTMODE_MEDIACALL, 0, 0);
        IdleWork();
        EXPECT_EQ(Logged("lineMakeCallA 0700"), c.placed);
        EXPECT_TRUE(Scr().rows.empty());
        if (c.placed) {
            LINECALLPARAMS params{};
            std::memcpy(&params, Fake().lastParams.data(), sizeof params);
            EXPECT_EQ(params.dwAddressID, 1u);
            Reply(LastRequest("lineMakeCallA"));
            CallState(Fake().nextCall - 1, LINECALLSTATE_IDLE, 0, RequestInstance());
        }
        EXPECT_TRUE(Event(c.reply));
    }
}

}  // namespace
}  // namespace zq::dialer::test
