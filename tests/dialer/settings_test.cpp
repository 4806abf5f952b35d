// The dialer's store on the in-memory registry: pairs and numbers as the
// windows read them, the first run, speed-dial entries and captions, the
// redial list and the Dialing Options decisions.
#include <gtest/gtest.h>

#include <climits>
#include <optional>
#include <string>
#include <vector>

#include "core/options.h"
#include "core/redial.h"
#include "core/settings.h"
#include "core/speeddial.h"
#include "zq/memplat.h"

namespace zq::dialer {
namespace {

constexpr auto kUser = plat::RegRoot::CurrentUser;

std::optional<std::string> Stored(const char* key, const std::string& name) {
    return memplat::reg_get_string(kUser, key, name);
}

class Store : public ::testing::Test {
protected:
    void SetUp() override { memplat::reset(); }
};

using SettingsTest = Store;
using SpeedDialTest = Store;
using RedialTest = Store;
using OptionsTest = Store;

TEST_F(SettingsTest, MainWindowPositionReadClampsAndWriteKeepsOldValueForZeroOrLess) {
    struct Case {
        std::optional<std::string> stored;
        WindowPosition expected;
    };
    const Case cases[] = {{std::nullopt, {100, 100}}, {"", {100, 100}},     {"-5, 40", {0, 40}},
                          {"120", {120, 100}},        {"abc, 30", {0, 30}}, {"99999999999, 5", {INT_MAX, 5}}};
    for (const Case& c : cases) {
        memplat::reset();
        if (c.stored)
            memplat::reg_put_string(kUser, kPreferenceKey, kMainWindowValue, *c.stored);
        const WindowPosition p = LoadMainWindowPosition();
        EXPECT_EQ(p.left, c.expected.left) << c.stored.value_or("<missing>");
        EXPECT_EQ(p.top, c.expected.top) << c.stored.value_or("<missing>");
    }
    const struct {
        int left, top;
        const char* kept;
    } writes[] = {{300, 200, "300, 200"}, {0, 50, "300, 200"}, {40, -3, "300, 200"}};
    for (const auto& w : writes) {
        SaveMainWindowPosition(w.left, w.top);
        EXPECT_EQ(Stored(kPreferenceKey, kMainWindowValue), w.kept) << w.left << ", " << w.top;
    }
}

TEST_F(SettingsTest, ValuesReadAsNumbersOrCutTextWithDefaults) {
    const struct {
        std::optional<std::string> stored;
        int expected;
    } cases[] = {{std::nullopt, 1}, {"0", 0}, {"12abc", 12}, {"", 0}, {"abc", 0}, {"-7", -7}};
    for (const auto& c : cases) {
        memplat::reset();
        if (c.stored)
            memplat::reg_put_string(kUser, kCallLoggingKey, "Log Incoming Calls", *c.stored);
        EXPECT_EQ(ReadIntSetting(kCallLoggingKey, "Log Incoming Calls", 1), c.expected)
            << c.stored.value_or("<missing>");
    }
    memplat::reg_put_dword(kUser, kCallLoggingKey, "Log Outgoing Calls", 5);
    EXPECT_EQ(ReadIntSetting(kCallLoggingKey, "Log Outgoing Calls", 1), 5);
    WriteSetting(kPreferenceKey, "Prefix", "abcdef");
    EXPECT_EQ(ReadSetting(kPreferenceKey, "Prefix", "", 5), "abcd");
    EXPECT_EQ(ReadSetting(kPreferenceKey, "Missing", "default", 4), "def");
    const std::string longText(1000, '7');
    WriteSetting(kPreferenceKey, "Preferred Line", longText);
    EXPECT_EQ(ReadSetting(kPreferenceKey, "Preferred Line", "Local Phone", 2000), longText);
    EXPECT_TRUE(SettingExists(kUser, kPreferenceKey, "Preferred Line"));
    EXPECT_FALSE(SettingExists(plat::RegRoot::LocalMachine, kPreferenceKey, "Preferred Line"));
}

TEST_F(SettingsTest, FirstRunCreatesKeysOnceAndKeepsThemAfterwards) {
    ASSERT_TRUE(CreateFirstRunKeys());
    EXPECT_EQ(Stored(kPreferenceKey, kMainWindowValue), "100, 100");
    EXPECT_TRUE(memplat::reg_key_exists(kUser, kSpeedDialKey));
    EXPECT_TRUE(memplat::reg_key_exists(kUser, kCallLoggingKey));
    EXPECT_EQ(Stored(kLastDialedKey, "Last Dialed 1"), "");
    EXPECT_EQ(Stored(kLastDialedKey, "Last Dialed 20"), "");
    WriteSetting(kLastDialedKey, "Last Dialed 1", "123");
    EXPECT_FALSE(CreateFirstRunKeys());
    EXPECT_EQ(Stored(kLastDialedKey, "Last Dialed 1"), "123");
}

TEST_F(SpeedDialTest, CaptionsDoubleAmpersandsWithinTheirBuffer) {
    const struct {
        const char* name;
        size_t size;
        const char* caption;
    } cases[] = {{"R&D", kCaptionSize, "R&&D"}, {"&&", kCaptionSize, "&&&&"},
                 {"a&b&c", 7, "a&&b&c"},        {"abc&", 4, "abc"},
                 {"", kCaptionSize, ""},        {"&", 1, ""}};
    for (const auto& c : cases)
        EXPECT_EQ(DoubleAmpersands(c.name, c.size), c.caption) << c.name << " in " << c.size;
    EXPECT_EQ(UndoubleAmpersands("R&&D"), "R&D");
    EXPECT_EQ(UndoubleAmpersands("&&&&"), "&&");
}

TEST_F(SpeedDialTest, StoreKeepsNamesAsTypedAndClickDialsOnlyAProgrammedNumber) {
    WriteSpeedDial(0, "R&D", "4711");
    WriteSpeedDial(9, "", "555");
    EXPECT_EQ(Stored(kSpeedDialKey, "Name1"), "R&D");
    EXPECT_EQ(Stored(kSpeedDialKey, "Name10"), "555");
    EXPECT_EQ(SpeedDialCaptions()[0], "R&&D");
    const int writes = memplat::reg_write_count();
    WriteSpeedDial(10, "x", "1");
    WriteSpeedDial(-1, "x", "1");
    EXPECT_EQ(memplat::reg_write_count(), writes);
    const struct {
        int index;
        bool right, program;
    } cases[] = {{0, false, false}, {0, true, true}, {1, false, true}, {10, false, true}};
    for (const auto& c : cases)
        EXPECT_EQ(ClickSpeedDial(c.index, c.right).program, c.program) << c.index << c.right;
}

TEST_F(SpeedDialTest, ProgramWindowEnablesSaveAndDialAndCutsToItsLimits) {
    WriteSpeedDial(3, "Old", "123");
    ProgramSpeedDial w = OpenProgramSpeedDial(3);
    EXPECT_EQ(w.entry.number, "123");
    EXPECT_FALSE(w.saveAndDialEnabled);
    ProgramSetNumber(w, std::string(90, '9'));
    EXPECT_TRUE(w.saveAndDialEnabled);
    w.entry.name = "R&D " + std::string(50, 'x');
    std::string dial;
    EXPECT_EQ(ProgramSaveAndDial(w, &dial), "R&&D " + std::string(36, 'x'));
    EXPECT_EQ(dial, std::string(80, '9'));
    EXPECT_EQ(ReadSpeedDial(3).name, "R&D " + std::string(36, 'x'));
}

TEST_F(SpeedDialTest, EditWindowSelectsFirstEmptyAndSavesAllTen) {
    for (int i = 0; i < kSpeedDialEntries; ++i)
        WriteSpeedDial(i, "n" + std::to_string(i), "1" + std::to_string(i));
    EXPECT_EQ(OpenEditSpeedDial().selected, 0);
    WriteSpeedDial(4, "", "");
    EditSpeedDial w = OpenEditSpeedDial();
    EXPECT_EQ(w.selected, 4);
    EditSetName(w, "R&D" + std::string(50, 'y'));
    EditSetNumber(w, "77");
    EXPECT_EQ(EditCaption(w, 4), "R&&D" + std::string(36, 'y'));
    EXPECT_EQ(EditSelect(w, 7).number, "17");
    const auto captions = EditSave(w);
    EXPECT_EQ(captions[4], "R&&D" + std::string(36, 'y'));
    EXPECT_EQ(ReadSpeedDial(4).name, "R&D" + std::string(36, 'y'));
    EXPECT_EQ(ReadSpeedDial(4).number, "77");
    EXPECT_EQ(captions[9], "n9");
}

TEST_F(RedialTest, DialledNumbersGoToTheTopOfAtMostTwenty) {
    RedialList full;
    for (int i = 0; i < 20; ++i)
        full.entries.push_back("n" + std::to_string(i));
    const struct {
        const char* number;
        const char* first;
        const char* last;
    } cases[] = {{"new", "new", "n18"}, {"n7", "n7", "n19"}, {"n0", "n0", "n19"}, {"", "n0", "n19"}};
    for (const auto& c : cases) {
        RedialList list = full;
        RedialPutOnTop(list, c.number);
        ASSERT_EQ(list.entries.size(), 20u) << c.number;
        EXPECT_EQ(list.entries.front(), c.first) << c.number;
        EXPECT_EQ(list.entries.back(), c.last) << c.number;
    }
    RedialList list{{"a", "b"}};
    EXPECT_FALSE(RedialSelectionEnded(list, 1, "zzz"));
    EXPECT_TRUE(RedialSelectionEnded(list, -1, "555"));
    EXPECT_EQ(list.entries, (std::vector<std::string>{"555", "a", "b"}));
}

TEST_F(RedialTest, SaveWritesListOrderThenEmptiesAndLoadSkipsEmpties) {
    WriteSetting(kLastDialedKey, "Last Dialed 3", "old");
    SaveRedialList(RedialList{{"a", "b"}});
    EXPECT_EQ(Stored(kLastDialedKey, "Last Dialed 1"), "a");
    EXPECT_EQ(Stored(kLastDialedKey, "Last Dialed 3"), "");
    EXPECT_EQ(Stored(kLastDialedKey, "Last Dialed 20"), "");
    WriteSetting(kLastDialedKey, "Last Dialed 2", "");
    WriteSetting(kLastDialedKey, "Last Dialed 20", "z");
    EXPECT_EQ(LoadRedialList().entries, (std::vector<std::string>{"a", "z"}));
}

DialingOptionsData TwoLines() {
    DialingOptionsData d;
    d.lines = {{0, "Phone A", true, {"100", "101"}}, {2, "Phone B", true, {"Address 0"}}};
    d.currentLine = 2;
    d.locationsRead = true;
    d.locations = {{1, "Home"}, {5, "Office"}};
    d.currentLocationId = 5;
    d.translationAvailable = true;
    return d;
}

TEST_F(OptionsTest, ListsDecideEnablingAndOkDecidesWritesAndRestart) {
    struct Case {
        const char* what;
        void (*change)(DialingOptionsData&);
        int chooseLine;       // -1: keep the current one
        const char* enabled;  // address combo, location combo, OK
        const char* written;  // "Preferred Line/Preferred Address", "" when nothing
        const char* effects;  // r = restart, l = set location
    };
    const Case cases[] = {
        {"same line", [](DialingOptionsData&) {}, -1, "111", "Phone B/Address 0", "l"},
        {"other line", [](DialingOptionsData&) {}, 0, "111", "Phone A/100", "rl"},
        {"current address", [](DialingOptionsData& d) { d.currentLine = 0, d.currentAddress = 1; }, -1, "111",
         "Phone A/101", "l"},
        {"address beyond", [](DialingOptionsData& d) { d.currentLine = 0, d.currentAddress = 9; }, -1, "111",
         "Phone A/100", "l"},
        {"no translation", [](DialingOptionsData& d) { d.translationAvailable = false; }, -1, "111",
         "Phone B/Address 0", ""},
        {"no lines", [](DialingOptionsData& d) { d.lines.clear(); }, -1, "000", "", ""},
        {"addresses unread", [](DialingOptionsData& d) { d.lines[0].addressesRead = false; }, 0, "100", "",
         ""},
        {"no addresses", [](DialingOptionsData& d) { d.lines[1].addresses.clear(); }, -1, "100", "", ""},
        {"locations unread", [](DialingOptionsData& d) { d.locationsRead = false; }, -1, "110", "", ""},
    };
    for (const Case& c : cases) {
        memplat::reset();
        DialingOptionsData d = TwoLines();
        c.change(d);
        DialingOptions w = OpenDialingOptions(d);
        if (c.chooseLine >= 0)
            ChooseLine(w, c.chooseLine);
        const DialingOptionsEnabling e = Enabling(w);
        const auto bit = [](bool on) { return on ? '1' : '0'; };
        const std::string enabled = {bit(e.addressCombo), bit(e.locationCombo), bit(e.ok)};
        EXPECT_EQ(enabled, c.enabled) << c.what;
        const DialingOptionsResult r = DialingOptionsOk(w);
        EXPECT_EQ(r.accepted, e.ok) << c.what;
        const auto line = Stored(kPreferenceKey, kPreferredLineValue);
        const auto address = Stored(kPreferenceKey, kPreferredAddressValue);
        EXPECT_EQ(line || address ? line.value_or("?") + "/" + address.value_or("?") : "", c.written)
            << c.what;
        EXPECT_EQ(std::string(r.restart ? "r" : "") + (r.setLocation ? "l" : ""), c.effects) << c.what;
        EXPECT_EQ(r.locationId, r.accepted ? 5u : 0u) << c.what;
    }
}

}  // namespace
}  // namespace zq::dialer
