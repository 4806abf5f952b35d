// Settings in the registry and the INI file: what the provider reads, what
// it writes back, and what it does with values that do not fit.
#include <functional>

#include "core/config.h"
#include "core/lifecycle.h"
#include "core/trace.h"
#include "link/receive.h"
#include "link/setconfig.h"
#include "link/supervision.h"
#include "provider_fixture.h"

namespace zq::test {
namespace {

class ConfigTest : public ProviderTest {
protected:
    void SetUp() override {
        ProviderTest::SetUp();
        Attach();
    }
};

TEST_F(ConfigTest, ReadProviderValueKeepsTheDefaultWhenTheValueDoesNotFit) {
    struct Case {
        const char* stored;  // nullptr: missing
        size_t capacity;
        const char* expect;
        int length;
        const char* trace;  // the registry error traced, or nullptr
    };
    const Case cases[] = {
        {"COM2", 40, "COM2", 4, nullptr},
        {"0123456789", 11, "0123456789", 10, nullptr},  // exactly fits with its NUL
        {"0123456789A", 11, "dflt", PROVIDER_VALUE_TOO_LONG,
         "Value 'Provider''Port' longer than 10 - default 'dflt' used, stored value kept"},
        {nullptr, 40, "dflt", 4, "ERROR HKEY_LOCAL_MACHINE SOFTWARE Velmora Spi62 'Provider' 2"},
        {"", 40, "", 0, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stored ? c.stored : "(missing)");
        memplat::reset();
        if (c.stored)
            PutProviderValue("Provider", "Port", c.stored);
        std::vector<char> dest(c.capacity + 8, '#');
        const int n = ReadProviderValue("Provider", "Port", "dflt", std::span<char>(dest.data(), c.capacity));
        EXPECT_EQ(n, c.length);
        EXPECT_EQ(TextOf(dest), c.expect);
        for (size_t i = c.capacity; i < dest.size(); ++i)
            ASSERT_EQ(dest[i], '#') << "written past the end";
        if (c.trace) {
            EXPECT_TRUE(TraceHas(c.trace));
        }
    }
}

TEST_F(ConfigTest, AMissingSubkeyIsTracedWithItsName) {
    std::array<char, 8> dest{};
    EXPECT_EQ(ReadProviderValue("Nowhere", "X", "", dest), 0);
    EXPECT_TRUE(TraceHas("ERROR HKEY_LOCAL_MACHINE SOFTWARE Velmora Spi62 'Nowhere' 2"));
}

TEST_F(ConfigTest, ANumberStoredAsDwordReadsAsDecimalText) {
    memplat::reg_put_dword(plat::RegRoot::LocalMachine, std::string(kProviderKey) + "\\Debug_Mode",
                           "DebugOutput", 34);
    EXPECT_EQ(ReadDebugMode(), 34u);
}

TEST_F(ConfigTest, RegistryFailuresAreTracedAndTheDefaultKept) {
    memplat::reg_fail_all(plat::kErrAccessDenied);
    std::array<char, 8> dest{};
    EXPECT_EQ(ReadProviderValue("Provider", "Port", "NONE", dest), 4);
    EXPECT_EQ(WriteProviderValue("Provider", "Port", "COM1"), 0);
    EXPECT_EQ(DeleteProviderSubkey("Set_Des"), 0);
    memplat::reg_fail_all(0);
    EXPECT_EQ(TraceCount("ERROR HKEY_LOCAL_MACHINE SOFTWARE 5"), 3);
}

TEST_F(ConfigTest, DeletingAMissingSubkeyIsSilent) {
    EXPECT_EQ(DeleteProviderSubkey("Set_Des"), 0);
    EXPECT_FALSE(TraceHas("ERROR Deleting HKEY_LOCAL_MACHINE SOFTWARE Velmora Spi62 'Set_Des' 2"));
    PutProviderValue("Set_Des", "T01", "MA");
    EXPECT_EQ(DeleteProviderSubkey("Set_Des"), 1);
    EXPECT_FALSE(
        memplat::reg_key_exists(plat::RegRoot::LocalMachine, std::string(kProviderKey) + "\\Set_Des"));
}

// Longer than any buffer the provider reads a value into.
const std::string kLongText(300, '7');

TEST_F(ConfigTest, DebugOutputGivesTheTraceMask) {
    struct Case {
        std::optional<std::string> stored;
        uint32_t mask;
        std::string after;
    };
    const Case cases[] = {
        {"12", 12, "12"},
        {"0", 0, "0"},
        {"", 0, "0"},
        {std::nullopt, 0, "0"},
        {"-5", 0, "0"},
        {"abc", 0, "abc"},
        {"7x", 7, "7x"},
        {"99999999999", 0x7FFFFFFF, "99999999999"},
        // Too long to read: no tracing, and the value stays for its owner.
        {kLongText, 0, kLongText},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stored.value_or("(missing)"));
        memplat::reset();
        if (c.stored)
            PutProviderValue("Debug_Mode", "DebugOutput", *c.stored);
        EXPECT_EQ(ReadDebugMode(), c.mask);
        EXPECT_EQ(ProviderValue("Debug_Mode", "DebugOutput"), c.after);
    }
}

TEST_F(ConfigTest, OutsideAccessComesFromTheCurrentLocation) {
    const std::string loc = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Telephony\\Locations";
    std::array<char, 21> dest{};
    ReadOutsideAccess(dest);
    EXPECT_EQ(TextOf(dest), "0");
    EXPECT_TRUE(TraceHas("ERROR HKEY_LOCAL_MACHINE SOFTWARE Microsoft 2"));

    memplat::reg_put_dword(plat::RegRoot::LocalMachine, loc, "CurrentID", 2);
    memplat::reg_put_dword(plat::RegRoot::LocalMachine, loc + "\\Location1", "ID", 1);
    memplat::reg_put_string(plat::RegRoot::LocalMachine, loc + "\\Location1", "OutsideAccess", "9");
    memplat::reg_put_dword(plat::RegRoot::LocalMachine, loc + "\\Location2", "ID", 2);
    memplat::reg_put_string(plat::RegRoot::LocalMachine, loc + "\\Location2", "OutsideAccess", "00");
    ReadOutsideAccess(dest);
    EXPECT_EQ(TextOf(dest), "00");

    // Longer than the 20 bytes allowed: refused, the "0" stays.
    memplat::reg_put_string(plat::RegRoot::LocalMachine, loc + "\\Location2", "OutsideAccess",
                            "123456789012345678901234");
    ReadOutsideAccess(dest);
    EXPECT_EQ(TextOf(dest), "0");
}

TEST_F(ConfigTest, LastActionTellsWhetherADownloadWasMade) {
    struct Case {
        const char* stored;
        PrevDownload prev;
        bool waitDynamic, staticConfig, traceWait;
    };
    const Case cases[] = {
        {nullptr, PrevDownload::Never, true, false, true},
        {"never", PrevDownload::Never, true, false, true},
        {"success", PrevDownload::Success, false, true, false},
        {"failed :V24 Trouble", PrevDownload::Failed, false, true, false},
        // The longest result the provider records reads back too.
        {"failed :Config dynamic :Device association ack not received", PrevDownload::Failed, false, true,
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stored ? c.stored : "(missing)");
        memplat::reset();
        if (c.stored)
            PutProviderValue("Dynamic_Set_Conf", "LastAction", c.stored);
        g_lineSettings = LineSettings{};
        g_superv = Supervision{};
        g_superv.stringDefError = true;
        ReadLastAction();
        EXPECT_EQ(g_dl.prev, c.prev);
        EXPECT_EQ(g_lineSettings.WaitDynamicConfig, c.waitDynamic);
        EXPECT_EQ(g_lineSettings.StaticConfig, c.staticConfig);
        EXPECT_EQ(g_superv.traceWaitArmed, c.traceWait);
        EXPECT_FALSE(g_superv.stringDefError);
    }
}

TEST_F(ConfigTest, StoredKeysBecomeKeyKindsAndLists) {
    const std::pair<const char*, const char*> values[] = {
        {"T05", "MJohn"},
        {"T06", "M2001"},
        {"T89", "MTooFar"},
        {"X05", "MWrong"},
        {"T07", "SUBoss"},
        {"T08", "EXChief"},
        {"T09", "SEAnne"},
        {"T10", "RSOver"},
        {"T11", "ZZ"},
        {"T5x", "MBad"},
        {"T00", "MZero"},
        {"T012", "MOdd"},
        {"TooLongAName12345678901", "MName"},
        {"T12", "M0123456789012345678901234567890"},  // longer than the 20 bytes read
    };
    for (auto [name, value] : values)
        PutProviderValue("Set_Des", name, value);
    EXPECT_EQ(LoadKeyConfig(), 3);
    const KeyLists& l = g_line.lists;
    EXPECT_EQ(l.MultiLineKeys.count, 3);
    EXPECT_EQ(l.MultiLineKeys.keys[0], 5u);
    EXPECT_EQ(l.MultiLineKeys.keys[1], 6u);
    EXPECT_EQ(g_line.TouchTable[5].Kind, KEY_MULTILIGNE);
    EXPECT_EQ(TextOf(g_line.TouchTable[5].Label), "John");
    EXPECT_EQ(g_line.TouchTable[7].Kind, KEY_SUPERV);
    EXPECT_EQ(TextOf(g_line.TouchTable[7].Label), "Boss");
    EXPECT_EQ(g_line.TouchTable[8].Kind, KEY_PATRON);
    EXPECT_EQ(g_line.TouchTable[9].Kind, KEY_SECRETAIRE);
    EXPECT_EQ(g_line.TouchTable[10].Kind, KEY_SECR_DEBORD);
    EXPECT_EQ(g_line.TouchTable[11].Kind, 0u);
    EXPECT_EQ(g_line.TouchTable[12].Kind, KEY_MULTILIGNE);  // "T012": the number 12
    EXPECT_EQ(TextOf(g_line.TouchTable[12].Label), "Odd");
    EXPECT_EQ(l.SupervKeys.count, 1);
    EXPECT_EQ(l.PatronKeys.count, 1);
    EXPECT_EQ(l.SecretaireKeys.count, 1);
    EXPECT_EQ(l.SecrDebordKeys.count, 1);
    EXPECT_TRUE(TraceHas("Touche 05 Multiligne 'John'"));
    EXPECT_TRUE(TraceHas("line.Touche 10 Secr Debord'Over'"));
    EXPECT_TRUE(TraceHas("nbre de tou multi: 3 superv 1 pat 1 secret 1 secret debord 1"));
}

TEST_F(ConfigTest, KeysBeyondAListsCapacityAreIgnored) {
    for (int k = 1; k <= 12; ++k) {
        char name[8];
        std::snprintf(name, sizeof name, "T%02d", k);
        PutProviderValue("Set_Des", name, "M" + std::to_string(k));
    }
    EXPECT_EQ(LoadKeyConfig(), MAX_MULTILINE);
    EXPECT_EQ(g_line.lists.MultiLineKeys.keys[9], 10u);
    // The keys left out are not line keys either.
    EXPECT_EQ(g_line.TouchTable[11].Kind, 0u);
    EXPECT_EQ(TextOf(g_line.TouchTable[12].Label), "");
}

TEST_F(ConfigTest, LoadSetDataReadsTheStoredConfiguration) {
    PutProviderValue("SetConfig", "SetMCDU", "2001");
    PutProviderValue("SetConfig", "SupervService", "yes");
    for (size_t i = 0; i < SOFTKEY_COUNT; ++i)
        PutProviderValue("SoftKey_Des", kSoftKeyNames[i], "Lbl1234");
    const std::string full31(31, 'S');
    for (size_t i = 0; i < LCDSTRING_COUNT; ++i)
        PutProviderValue("String_Des", kLcdStringNames[i], full31);
    PutProviderValue("Service_Code", "DTMF", "*77#9");
    g_line.TouchTable[3].CrefSlot = {2, 5};
    g_line.TouchTable[3].IconState = ACTIV_ICON;

    EXPECT_EQ(LoadSetData(), 0);
    EXPECT_EQ(TextOf(g_lineSettings.Mcdu), "2001");
    EXPECT_TRUE(TraceHas("lecture mcdu -2001-"));
    EXPECT_EQ(memplat::profile_text("zq62cfg.ini").value_or("").find("SetMCDU=2001") != std::string::npos,
              true);
    EXPECT_TRUE(g_lineSettings.SupervService);
    EXPECT_EQ(ProviderValue("SetConfig", "SupervService"), "1");
    EXPECT_EQ(TextOf(g_set.SoftKeyLabel[2]), "Lbl123");
    EXPECT_EQ(TextOf(g_set.LcdString[1]), full31);
    EXPECT_EQ(TextOf(g_set.ServiceCode[5]), "*77#");
    EXPECT_EQ(TextOf(g_set.ServiceCode[0]), "");
    EXPECT_TRUE(TraceHas("Service Codes Empty Reading: ForwardingImm:--"));
    EXPECT_FALSE(g_superv.stringDefError);
    EXPECT_EQ(g_line.TouchTable[3].CrefSlot[0], -1);
    EXPECT_EQ(g_line.TouchTable[3].CrefSlot[1], -1);
    EXPECT_EQ(g_line.TouchTable[3].IconState, IDLE_ICON);
    EXPECT_EQ(g_set.WaitInfo[9], -1);
}

TEST_F(ConfigTest, MissingStringsMarkAStringDefinitionError) {
    for (size_t i = 0; i < SOFTKEY_COUNT; ++i)
        if (i != 2)
            PutProviderValue("SoftKey_Des", kSoftKeyNames[i], "X");
    for (size_t i = 0; i < LCDSTRING_COUNT; ++i)
        PutProviderValue("String_Des", kLcdStringNames[i], "Y");
    LoadSetData();
    EXPECT_TRUE(g_superv.stringDefError);
    EXPECT_TRUE(TraceHas("Soft Key Reading:StringInitError TRUE Swap:--"));
    EXPECT_FALSE(TraceHas("no mcdu stored ") == false);
}

TEST_F(ConfigTest, SupervisionServiceFlag) {
    struct Case {
        const char* stored;
        bool on;
        std::optional<std::string> after;
    };
    const Case cases[] = {
        {nullptr, true, std::nullopt}, {"0", false, "0"}, {"1", true, "1"}, {"yes", true, "1"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stored ? c.stored : "(missing)");
        memplat::reset();
        if (c.stored)
            PutProviderValue("SetConfig", "SupervService", c.stored);
        LoadSetData();
        EXPECT_EQ(g_lineSettings.SupervService, c.on);
        EXPECT_EQ(ProviderValue("SetConfig", "SupervService"), c.after);
    }
}

TEST_F(ConfigTest, LinkTestModeSettings) {
    struct Case {
        const char* suspend;
        const char* wait;
        const char* answer;
        int input, enquiry;
        bool nack;
    };
    const Case cases[] = {
        {nullptr, nullptr, nullptr, -1, 0, false},
        {"0", "3", "NACK", -1, 0, false},
        {"5", "2", "NACK", 5, 2, true},
        {"5", "2", "nack", 5, 2, false},
        {"4", nullptr, "ACK", 4, 0, false},
        {"4", "-3", nullptr, 4, 0, false},
        // Only a positive count switches test mode on.
        {"-1", "2", "NACK", -1, 0, false},
        {"-5", "2", "NACK", -1, 0, false},
        {"-2147483648", "2", "NACK", -1, 0, false},
        {"99999999999", "2", "NACK", -1, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.suspend ? c.suspend : "(missing)");
        memplat::reset();
        if (c.suspend)
            PutProviderValue("Subdevice_Test", "NbInputBeforeSuspend", c.suspend);
        if (c.wait)
            PutProviderValue("Subdevice_Test", "NbWaitAckBeforeResponse", c.wait);
        if (c.answer)
            PutProviderValue("Subdevice_Test", "WaitAckResponse", c.answer);
        LoadSetData();
        EXPECT_EQ(g_rx.inputCounter, c.input);
        EXPECT_EQ(g_rx.enquiryCounter, c.enquiry);
        EXPECT_EQ(g_rx.answerNack, c.nack);
    }
}

// A hand-set value longer than its reader's buffer: the default is used in
// memory and the stored value is never replaced by it.
TEST_F(ConfigTest, ValuesTooLongToReadAreKeptAsStored) {
    struct Case {
        const char* subkey;
        const char* name;
        std::function<void()> load;
        std::function<std::string()> inMemory;
        const char* expect;
    };
    const Case cases[] = {
        {"Provider", "Port", [] { LoadIniStrings(1); }, [] { return std::string(TextOf(g_line.PortName)); },
         "NONE"},
        {"Provider", "Speed", [] { LoadIniStrings(1); }, [] { return std::string(TextOf(g_line.Speed)); },
         "9600"},
        {"SetConfig", "SupervService", [] { LoadSetData(); },
         [] { return std::string(g_lineSettings.SupervService ? "on" : "off"); }, "on"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        memplat::reset();
        PutProviderValue(c.subkey, c.name, kLongText);
        c.load();
        EXPECT_EQ(c.inMemory(), c.expect);
        EXPECT_EQ(ProviderValue(c.subkey, c.name), kLongText);
    }
}

// "Set_Des" deleted by another process in the middle of its reading: every
// index then fails; the reading ends at the first such failure.
TEST_F(ConfigTest, AKeyDeletedWhileItIsReadEndsTheReading) {
    PutProviderValue("Set_Des", "T05", "MJohn");
    memplat::reg_fail_after(4, plat::kErrFileNotFound);  // the key opens, then it is gone
    EXPECT_TRUE(ReadProviderValues("Set_Des").empty());
    EXPECT_EQ(memplat::reg_failed_calls(), 1);
}

TEST_F(ConfigTest, OperatorPrefixDefaultsToZero) {
    Init();
    EXPECT_EQ(TextOf(g_lineSettings.OperatorPrefix), "0");
    EXPECT_TRUE(TraceHas("LoadIniStrings PublicOperator defaut '0'"));
    PutProviderValue("Prefix", "PublicOperator", "00");
    LoadIniStrings(1);
    EXPECT_EQ(TextOf(g_lineSettings.OperatorPrefix), "00");
    EXPECT_TRUE(TraceHas("LoadIniStrings PublicOperator trouve '00'"));
}

}  // namespace
}  // namespace zq::test
