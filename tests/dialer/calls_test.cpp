// The call window against a scripted TAPI: the enabled controls, numbers on
// their way to the line (letters, canonical forms, the emergency warning,
// dial modifiers), the call list as calls come, change and end, and where
// each completion goes.
#include "core/calls.h"

#include <gtest/gtest.h>

#include <numeric>

#include "core/logview.h"
#include "core/settings.h"
#include "fake_tapi.h"
#include "zq/memplat.h"

namespace zq::dialer::test {
namespace {

LONG E(DWORD code) {
    return static_cast<LONG>(code);
}

std::vector<int> Ids(int from, int to, std::vector<int> more = {}) {
    std::vector<int> ids(static_cast<size_t>(to - from + 1));
    std::iota(ids.begin(), ids.end(), from);
    ids.insert(ids.end(), more.begin(), more.end());
    std::sort(ids.begin(), ids.end());
    return ids;
}

void StartUp(DWORD country = 33) {
    InstallFakeTapi();
    Fake().devices = {{"Velmora"}};
    Fake().countryCode = country;
    Fake().cityCode = "206";
    ASSERT_TRUE(StartDialer(nullptr));
}

// An incoming call from name, answered when connected is set.
void Incoming(HCALL call, const std::string& name, bool connected) {
    Fake().calls[call].callerName = name;
    CallState(call, LINECALLSTATE_OFFERING);
    if (connected)
        CallState(call, LINECALLSTATE_CONNECTED);
}

TEST(EnabledControls, FollowTheAddressAndCallFeatures) {
    const DWORD allCall = LINECALLFEATURE_UNHOLD | LINECALLFEATURE_COMPLETETRANSF |
                          LINECALLFEATURE_COMPLETECALL | LINECALLFEATURE_PARK | LINECALLFEATURE_HOLD |
                          LINECALLFEATURE_GENERATEDIGITS | LINECALLFEATURE_DROP | LINECALLFEATURE_ANSWER;
    const DWORD makeCall = LINEADDRFEATURE_MAKECALL;
    const std::pair<ButtonInputs, std::vector<int>> cases[] = {
        {{0, false, 0, 5}, {}},
        {{makeCall, false, 0, 0}, Ids(201, 223)},  // keypad, combo and speed dial; Dial needs a number
        {{makeCall, false, 0, 3}, Ids(201, 223, {ID_DIAL})},
        {{LINEADDRFEATURE_UNPARK | LINEADDRFEATURE_PICKUPGROUP, false, 0, 1}, {ID_UNPARK, ID_PICKUP}},
        {{LINEADDRFEATURE_UNPARK | LINEADDRFEATURE_PICKUP, false, 0, 0}, {}},
        {{0, true, LINECALLFEATURE_REDIRECT, 0}, {}},
        {{0, true, LINECALLFEATURE_REDIRECT, 2}, {ID_REDIRECT}},
        {{0, true, allCall, 0}, {2018, 2019, 2020, 2021, 2022, 2023, 2025, 2026, 2027, 2028}},
        {{0, false, allCall, 0}, {}},  // no selected row
    };
    for (const auto& [in, on] : cases)
        EXPECT_EQ(EnabledControls(in), on) << in.addressFeatures << " " << in.callFeatures;
}

TEST(Numbers, LettersCanonicalFormsAndTheEmergencyNumber) {
    EXPECT_EQ(LettersToDigits("0800 FLOWERS"), "0800 3569377");
    EXPECT_EQ(LettersToDigits("abc def ghi jkl mno pqrs tuv wxyz"), "222 333 444 555 666 7777 888 9999");
    const std::pair<std::string, std::string> canonical[] = {{"0800 3569377", "+1 (800) 3569377"},
                                                             {"1 212 555 1234", "+1 (212) 555 1234"},
                                                             {"123 456 789", ""},
                                                             {"  555 1234", "+1 (206) 555 1234"},
                                                             {"155 1234", ""},
                                                             {"1 555 1234", "+1 (206) 555 1234"},
                                                             {"212 555 1234", "+1 (212) 555 1234"},
                                                             {"212 155 1234", ""},
                                                             {"555 1234$9876", "+1 (206) 555 1234$9876"},
                                                             {"+33 1 23 45 67 89", ""},
                                                             {std::string(71, '5'), ""}};
    for (const auto& [number, expected] : canonical)
        EXPECT_EQ(MakeCanonical(number, "206"), expected) << number;
    EXPECT_EQ(MakeCanonical("555 1234", ""), "");  // no area code known
    for (const auto& [number, expected] :
         {std::pair("911", true), {"9-1-1 4", true}, {"1911", false}, {"91", false}})
        EXPECT_EQ(IsEmergencyNumber(number), expected) << number;
}

TEST(Numbers, ModifiersKeypadRowsAndForwardLists) {
    using Parts = std::optional<std::pair<std::string, std::string>>;
    const std::tuple<const char*, DWORD, Parts> splits[] = {
        {"555W1234", LINEERR_DIALDIALTONE, {{"555;", "1234"}}},
        {"12$34", LINEERR_DIALBILLING, {{"12;", "34"}}},
        {"1?2", LINEERR_DIALPROMPT, {{"1;", "2"}}},
        {"1@2@3", LINEERR_DIALQUIET, {{"1;", "2@3"}}},
        {"5551234", LINEERR_DIALDIALTONE, std::nullopt},
        {"555W1", LINEERR_INVALADDRESS, std::nullopt}};
    for (const auto& [number, result, parts] : splits) {
        const auto split = SplitAtModifier(number, E(result));
        EXPECT_EQ(split ? Parts({split->send, split->rest}) : std::nullopt, parts) << number;
    }
    const KeypadResult replaced = KeypadInsert("0612", 4, 2, KeypadChar(206));
    EXPECT_EQ(replaced.text + "/" + std::to_string(replaced.caret), "065/3");
    EXPECT_EQ(KeypadInsert("12", 9, 9, KeypadChar(213)).text, "12#");
    EXPECT_EQ(KeypadInsert(std::string(63, '1'), 63, 63, '2').text, std::string(63, '1'));

    auto width = [](std::string_view t) { return static_cast<int>(t.size()) * 6; };
    EXPECT_EQ(RowText("", "", StateLabel(LINECALLSTATE_DIALING), width, 120), " Unknown\t- Proceeding -");
    EXPECT_EQ(RowText(std::string(30, 'n'), "", "x", width, 120), " " + std::string(16, 'n') + "...\tx");

    const std::tuple<const char*, DWORD, DWORD, std::string> forwards[] = {
        {"Unconditional", 1, LINEFORWARDMODE_UNCOND, "2000"},
        {"On Busy", 1, LINEFORWARDMODE_BUSY, "2000"},
        {"Do Not Disturb", 1, LINEFORWARDMODE_UNCOND, ""},
        {"No Forwarding", 0, LINEFORWARDMODE_UNCOND, ""}};
    for (const auto& [type, entries, mode, dest] : forwards) {
        const std::vector<uint8_t> list = BuildForwardList(type, "2000");
        LINEFORWARDLIST fl{};
        ASSERT_GE(list.size(), sizeof fl);
        std::memcpy(&fl, list.data(), sizeof fl);
        const LINEFORWARD& e = fl.ForwardList[0];
        const char* text = reinterpret_cast<const char*>(&list[e.dwDestAddressOffset]);
        EXPECT_EQ(fl.dwTotalSize, list.size()) << type;
        EXPECT_EQ(
            std::tuple(fl.dwNumEntries, e.dwForwardMode, e.dwDestAddressSize == 0 ? "" : std::string(text)),
            std::tuple(entries, mode, dest));
        EXPECT_EQ(ForwardButtonEnabled(type, ""), dest.empty()) << type;
    }
    EXPECT_TRUE(BuildForwardList("Sideways", "2000").empty());
}

TEST(PlaceCall, NameAndMessageStayWithinTheDeclaredSize) {
    StartUp();
    ASSERT_TRUE(StartDial("555", std::string(60, 'n'), std::string(60, 'm')));
    const std::vector<uint8_t>& b = Fake().lastParams;  // dwTotalSize bytes
    ASSERT_EQ(b.size(), kCallParamsSize);
    LINECALLPARAMS p{};
    std::memcpy(&p, b.data(), sizeof p);
    EXPECT_EQ(p.dwMediaMode, LINEMEDIAMODE_INTERACTIVEVOICE);
    EXPECT_EQ(p.dwAddressMode, LINEADDRESSMODE_ADDRESSID);
    EXPECT_EQ(p.dwCalledPartyOffset, sizeof(LINECALLPARAMS));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[p.dwCalledPartyOffset])), std::string(39, 'n'));
    EXPECT_EQ(p.dwUserUserInfoOffset + p.dwUserUserInfoSize, kCallParamsSize);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[p.dwUserUserInfoOffset])), std::string(39, 'm'));
}

TEST(DialWithPrompts, SendsUpToTheModifierThenTheRestOnContinue) {
    const std::tuple<PromptAnswer, bool, std::string> cases[] = {
        {PromptAnswer::Continue, true, "lineDialA 1280 1234"},
        {PromptAnswer::Continue, false, "lineDialA 1280 1234"},  // answered before the completion
        {PromptAnswer::HangUp, true, "lineDrop 1280"}};
    for (const auto& [answer, completedFirst, then] : cases) {
        StartUp();
        Fake().script["lineMakeCallA"] = {E(LINEERR_DIALDIALTONE)};
        ASSERT_TRUE(StartDial("555W1234", "", ""));
        EXPECT_TRUE(Logged("lineMakeCallA 555W1234"));
        EXPECT_TRUE(Logged("lineMakeCallA 555;"));
        EXPECT_TRUE(
            Event("prompt Listen for a second dial tone. Click \"Continue\" when it is heard to continue "
                  "dialing."));
        if (completedFirst)
            Reply(LastRequest("lineMakeCallA"));
        DialingPromptAnswer(answer);
        if (!completedFirst)
            Reply(LastRequest("lineMakeCallA"));
        EXPECT_TRUE(Logged(then));
    }
}

TEST(TranslateNumber, NorthAmericanNumbersGoOutInCanonicalForm) {
    const std::pair<const char*, const char*> cases[] = {{"0800 FLOWERS", "+1 (800) 3569377"},
                                                         {"1 212 555 1234", "+1 (212) 555 1234"},
                                                         {"123 456 789", "123 456 789"}};
    for (const auto& [typed, translated] : cases) {
        StartUp(1);
        ASSERT_TRUE(StartDial(typed, "", ""));
        EXPECT_TRUE(Logged(std::string("lineTranslateAddress ") + translated)) << typed;
        EXPECT_EQ(Scr().rows.back(), std::string(" ") + typed + "\t- Proceeding -");
    }
}

TEST(TranslateNumber, TheEmergencyNumberAsksFirst) {
    for (const int answer : {kIdCancel, kIdOk}) {
        StartUp(1);
        Scr().answers = {answer};
        EXPECT_EQ(StartDial("9-1-1", "", ""), answer == kIdOk);
        ASSERT_EQ(Scr().boxes.size(), 1u);
        EXPECT_EQ(Scr().boxes[0].text, kEmergencyText);
        EXPECT_EQ(Scr().boxes[0].flags, kMbOkCancel | kMbDefButton2 | kMbIconHand);
        EXPECT_EQ(Logged("lineMakeCallA 9-1-1"), answer == kIdOk);
        EXPECT_EQ(Scr().rows.size(), answer == kIdOk ? 1u : 0u);
        EXPECT_EQ(Calls().callInProgress, answer == kIdOk);
        EXPECT_EQ(Fake().openLines.size(), answer == kIdOk ? 2u : 1u);  // the call's own line
    }
}

TEST(CallList, ANinthCallIsNotShown) {
    StartUp();
    for (HCALL call = 0x900; call < 0x909; ++call)
        Incoming(call, "Caller " + std::to_string(call - 0x900), false);
    ASSERT_EQ(Scr().rows.size(), 8u);
    EXPECT_EQ(Scr().rows[7], " Caller 7\t- Offering -");
    EXPECT_EQ(Scr().selected, 7);  // the newest offered call
    EXPECT_FALSE(StartDial("555", "", ""));
    EXPECT_EQ(Scr().boxes.back().text, kTooManyCallsText);
}

TEST(CallList, DroppingAProceedingCallLetsANewOneStart) {
    for (const bool completed : {true, false}) {
        SCOPED_TRACE(completed ? "dropped once placed" : "dropped before the request completed");
        StartUp();
        ASSERT_TRUE(StartDial("555", "", ""));
        const LONG request = LastRequest("lineMakeCallA");
        const HCALL call = Fake().nextCall - 1;
        const HLINE own = Fake().openLines.back();
        if (completed) {
            Reply(request);
            CallState(call, LINECALLSTATE_DIALING, 0, RequestInstance());
        }
        OnDrop();
        EXPECT_FALSE(Calls().callInProgress);
        EXPECT_EQ(Logged("lineDrop 1280"), completed);
        if (!completed) {
            Reply(request);  // the call exists now: the drop is carried out
            EXPECT_TRUE(Logged("lineDrop 1280"));
        }
        ASSERT_TRUE(StartDial("666", "", ""));
        EXPECT_TRUE(Logged("lineMakeCallA 666"));
        EXPECT_FALSE(Logged("lineClose " + std::to_string(own)));
        CallState(call, LINECALLSTATE_IDLE, 0, RequestInstance());
        EXPECT_TRUE(Logged("lineClose " + std::to_string(own)));
        EXPECT_EQ(Scr().rows, std::vector<std::string>{" 666\t- Proceeding -"});
    }
}

TEST(CallList, AHeldCallOfferedAgainIsReoffering) {
    StartUp();
    Incoming(0x900, "Ann", true);
    CallState(0x900, LINECALLSTATE_ONHOLD);
    EXPECT_EQ(Scr().rows[0], " Ann\t- OnHold -");
    CallState(0x900, LINECALLSTATE_OFFERING);
    EXPECT_EQ(Scr().rows[0], " Ann\t- Offering -");
    lineCallbackFunc(0x900, LINE_CALLINFO, 0, LINECALLINFOSTATE_CALLERID, 0, 0);
    EXPECT_EQ(Scr().rows[0], " Ann\t- Reoffering -");
}

TEST(CallList, CallInformationRefreshesTheParty) {
    InstallFakeTapi();
    Fake().devices = {{"Velmora"}};
    WriteSetting(kPreferenceKey, "Prefix", "00000");  // 4 characters are kept
    ASSERT_TRUE(StartDialer(nullptr));
    Fake().calls[0x900] = {0, "Ann", "0612", "", "", "", LINECALLORIGIN_EXTERNAL, std::u16string(100, u'm')};
    Incoming(0x900, "Ann", true);
    const CallSlot& s = Calls().slots[0];
    EXPECT_EQ(s.callbackNumber.view(), "00000612");
    EXPECT_EQ(s.message.view(), std::string(79, 'm'));
    EXPECT_EQ(Scr().texts[ID_MINI_MESSAGE], std::string(79, 'm'));
    // Transferred to another party: the part so far is logged, the party changes.
    Fake().calls[0x900].connectedNumber = "0699";
    lineCallbackFunc(0x900, LINE_CALLINFO, 0, LINECALLINFOSTATE_CONNECTEDID, 0, 0);
    EXPECT_TRUE(s.transferred);
    EXPECT_NE(memplat::file_text(LogFilePath()).value_or("").find("00000612"), std::string::npos);
    EXPECT_EQ(s.number.view(), "0699");
    EXPECT_EQ(s.callbackNumber.view(), "00000699");
}

TEST(CallList, TransferAndConference) {
    StartUp();
    Incoming(0x900, "Ann", true);
    CallState(0x900, LINECALLSTATE_ONHOLD);
    Incoming(0x901, "Bob", false);
    OnTransfer();  // two rows, none connected
    EXPECT_EQ(Scr().boxes.back().text, kInvalidStateText);
    CallState(0x901, LINECALLSTATE_CONNECTED);
    OnTransfer();
    EXPECT_TRUE(Logged("lineCompleteTransfer 2304 2305 1"));
    CallState(0x900, LINECALLSTATE_CONFERENCED);
    CallState(0x901, LINECALLSTATE_CONFERENCED);
    EXPECT_TRUE(Event("conference Ann Bob"));
    ConferenceDisconnect();
    EXPECT_TRUE(Logged("lineDrop 2305"));
}

TEST(OnReply, EachCompletionGoesToItsRequest) {
    auto dial = [] { StartDial("555", "", ""); };
    auto pickup = [] {
        Scr().texts[ID_NUMBER] = "12";
        OnPickup();
    };
    auto forward = [] {
        Scr().texts[ID_FORWARD_TYPE] = "Unconditional";
        Scr().texts[ID_FORWARD_DEST] = "2000";
        OnForward();
        EXPECT_TRUE(Logged("lineForwardA 1 1 2000"));
    };
    auto park = [] {
        Incoming(0x900, "Ann", true);
        OnPark();
    };
    auto nothing = [] {};
    auto connected = [] { CallState(Fake().nextCall - 1, LINECALLSTATE_CONNECTED); };
    auto forwardShown = [] { EXPECT_EQ(Scr().texts[ID_FORWARD_TYPE], "No Forwarding"); };
    const LONG failed = E(LINEERR_OPERATIONFAILED);
    struct Case {
        std::function<void()> setup;
        const char* function;
        LONG result;
        std::function<void()> after;
        size_t rows;
        std::string caption;  // of the box shown, empty for none
    };
    const Case cases[] = {// A failed make call ends quietly; a refused one is shown in the plain box.
                          {dial, "lineMakeCallA", failed, nothing, 0, ""},
                          {dial, "lineMakeCallA", E(LINEERR_INVALADDRESS), nothing, 0, kReplyCaption},
                          // A failed pickup is removed and shown; a pickup's row comes with its first state.
                          {pickup, "linePickupA", failed, nothing, 0, kReplyCaption},
                          {pickup, "linePickupA", 0, connected, 1, ""},
                          // A refused forward puts the controls back; a refused park is shown.
                          {forward, "lineForwardA", failed, forwardShown, 0, kReplyCaption},
                          {park, "lineParkA", E(LINEERR_INVALCALLSTATE), nothing, 1, kReplyCaption}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.function);
        StartUp();
        c.setup();
        Scr().boxes.clear();
        Reply(LastRequest(c.function), c.result);
        c.after();
        EXPECT_EQ(Scr().rows.size(), c.rows);
        EXPECT_EQ(Scr().boxes.empty() ? "" : Scr().boxes.back().caption, c.caption);
        EXPECT_FALSE(Calls().callInProgress);
        EXPECT_FALSE(Telephony().replyPending);
    }
}

}  // namespace
}  // namespace zq::dialer::test
