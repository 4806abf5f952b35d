// The set configuration download against the simulated PBX, in virtual
// time: what is asked in which order for each protocol version, lists in
// several answers, identifiers out of range, sets the provider cannot
// drive, later association messages, add-on modules, label clean-up, and
// what is kept in the registry and in zq62cfg.ini across restarts.
#include <functional>
#include <map>
#include <sstream>

#include "callmodel/tables.h"
#include "core/config.h"
#include "core/line_record.h"
#include "link/setconfig.h"
#include "link/supervision.h"
#include "superv_support.h"

namespace zq::test {
namespace {

using Values = std::vector<std::pair<std::string, std::string>>;

// The requests the provider sent as "code" or "code:payload".
std::vector<std::string> Requests(const SimWire& wire) {
    std::vector<std::string> out;
    for (const auto& m : wire.TqlaRequests()) {
        if (m.size() < 6)
            continue;
        std::string r = std::to_string(m[4]);
        if (m.size() > 6)
            r += ":" + std::to_string(m[6]);
        out.push_back(r);
    }
    return out;
}

// The entries of one section of zq62cfg.ini, in file order.
Values IniSection(std::string_view section) {
    Values entries;
    std::istringstream in(memplat::profile_text("zq62cfg.ini").value_or(""));
    std::string line;
    bool inside = false;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!line.empty() && line[0] == '[') {
            inside = line == "[" + std::string(section) + "]";
            continue;
        }
        const size_t eq = line.find('=');
        if (inside && eq != std::string::npos)
            entries.emplace_back(line.substr(0, eq), line.substr(eq + 1));
    }
    return entries;
}

Values Sorted(Values v) {
    std::sort(v.begin(), v.end());
    return v;
}

std::vector<uint32_t> Keys(const auto& list) {
    return std::vector<uint32_t>(list.keys.begin(), list.keys.begin() + list.count);
}

std::string DefaultSetWith(std::string_view more) {
    return std::string(sim::default_set_text()) + std::string(more);
}

class SetConfigTest : public ProviderTest {
protected:
    void SetUp() override {
        ProviderTest::SetUp();
        FreshProcess();
    }

    // Opens the line and runs the download; false when it did not complete.
    bool Download(SimWire& wire, int limit = 200) {
        if (!attached)
            Init();
        if (OpenLine() != 0)
            return false;
        return DownloadCompletes(wire, limit);
    }

    // Closes the line, and with newProcess also unloads the provider and
    // forgets everything but the registry and the files.
    void Restart(bool newProcess) {
        ASSERT_EQ(CloseLine(), 0);
        if (newProcess) {
            TearDown();
            FreshProcess();
        }
        memplat::port_take_writes("COM1");
        g_tapi = TapiRecorder{};
    }
};

const Values kDefaultSetDes{{"T01", "M2001"}, {"T02", "M2001"},         {"T03", "M2001"},
                            {"T04", "M2001"}, {"T20", "SUSuperv 2002"}, {"T21", "EXBoss"}};

TEST_F(SetConfigTest, TheDefaultSetIsInstalledAndStoredValueByValue) {
    SimWire wire(sim::default_set());
    ASSERT_TRUE(Download(wire));
    EXPECT_EQ(Requests(wire), (std::vector<std::string>{"2", "6", "8:0", "30", "32:0", "10", "12:0", "14",
                                                        "16:0", "18", "20:0"}));

    EXPECT_EQ(ProviderValues("Set_Des"), kDefaultSetDes);
    EXPECT_EQ(Sorted(ProviderValues("SoftKey_Des")), Sorted({{"SecondCall", "Enq"},
                                                             {"EndSecondCall", "EndEnq"},
                                                             {"Swap", "Swap"},
                                                             {"Conference", "Conf"},
                                                             {"FreqVocale", "DTMF"},
                                                             {"CancelFreqVocale", "NoDTMF"},
                                                             {"Transfer", "Transf"}}));
    EXPECT_EQ(Sorted(ProviderValues("String_Des")),
              Sorted({{"HangUp", "Hang up"}, {"CancelSecondCall", "Cancel call"}, {"Dial", "Dial"}}));
    EXPECT_EQ(Sorted(ProviderValues("Service_Code")), Sorted({{"ForwardingImm", "*21"},
                                                              {"ForwardingBusy", "*22"},
                                                              {"ForwardingNoRep", "*23"},
                                                              {"ForwadingBusyNoRep", "*24"},
                                                              {"CancelForwarding", "#21"},
                                                              {"DTMF", "*77"},
                                                              {"CallPickUp", "*8"}}));
    EXPECT_EQ(Sorted(ProviderValues("SetConfig")), Sorted({{"SetMCDU", "2001"}, {"Language", "1: English"}}));
    EXPECT_EQ(ProviderValue("Dynamic_Set_Conf", "LastAction"), "success");
    EXPECT_EQ(IniSection("SetConfig"), (Values{{"SetMCDU", "2001"}}));
    EXPECT_EQ(IniSection("Set_Des"), kDefaultSetDes);

    // The tables the call model reads.
    EXPECT_EQ(Keys(g_line.lists.MultiLineKeys), (std::vector<uint32_t>{1, 2, 3, 4}));
    EXPECT_EQ(Keys(g_line.lists.SupervKeys), std::vector<uint32_t>{20});
    EXPECT_EQ(Keys(g_line.lists.PatronKeys), std::vector<uint32_t>{21});
    EXPECT_EQ(g_line.lists.SecretaireKeys.count, 0);
    EXPECT_EQ(g_line.TouchTable[3].Kind, KEY_MULTILIGNE);
    EXPECT_EQ(TextOf(g_line.TouchTable[3].Label), "2001");
    EXPECT_EQ(g_line.TouchTable[20].Kind, KEY_SUPERV);
    EXPECT_EQ(TextOf(g_line.TouchTable[20].Label), "Superv 2002");
    EXPECT_EQ(g_line.TouchTable[21].Kind, KEY_PATRON);
    EXPECT_EQ(g_line.TouchTable[5].Kind, 0u);
    EXPECT_EQ(g_line.TouchTable[1].IconState, IDLE_ICON);
    EXPECT_EQ(g_line.TouchTable[1].CrefSlot, (std::array<int32_t, 2>{-1, -1}));
    EXPECT_EQ(TextOf(g_set.SoftKeyLabel[5]), "NoDTMF");
    EXPECT_EQ(TextOf(g_set.LcdString[1]), "Cancel call");
    EXPECT_EQ(TextOf(g_set.ServiceCode[4]), "#21");
    EXPECT_EQ(TextOf(g_lineSettings.Mcdu), "2001");
    EXPECT_EQ(g_line.EnqCallMode, 1);
    EXPECT_EQ(g_lineSettings.TqlaVersion, 3);
    EXPECT_TRUE(g_dl.ReadyForCalls);
    EXPECT_FALSE(g_lineSettings.WaitDynamicConfig);
    EXPECT_FALSE(g_lineSettings.StaticConfig);
    EXPECT_EQ(CountLineEvents(LINE_LINEDEVSTATE, LINEDEVSTATE_CONNECTED | LINEDEVSTATE_INSERVICE), 1);
    EXPECT_TRUE(TraceHas(" Set Configuration processed - OK ******************"));
}

TEST_F(SetConfigTest, EachProtocolVersionAsksForItsOwnLists) {
    struct Case {
        int version;
        std::vector<std::string> requests;
        bool specials;
        bool diallingSettings;
    };
    const std::vector<std::string> common{"2", "6", "8:0", "10", "12:0", "14", "16:0", "18", "20:0"};
    const Case cases[] = {
        {1, common, false, true},
        {2, common, false, false},
        {3, {"2", "6", "8:0", "30", "32:0", "10", "12:0", "14", "16:0", "18", "20:0"}, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.version);
        TearDown();
        SetUp();
        SimWire wire(SetFrom(DefaultSetWith("tqla " + std::to_string(c.version) + "\n")));
        ASSERT_TRUE(Download(wire));
        EXPECT_EQ(Requests(wire), c.requests);
        EXPECT_EQ(g_lineSettings.TqlaVersion, c.version);
        EXPECT_EQ(g_line.lists.SupervKeys.count, c.specials ? 1 : 0);
        EXPECT_EQ(g_line.lists.PatronKeys.count, c.specials ? 1 : 0);
        EXPECT_EQ(ProviderValue("Set_Des", "T20").has_value(), c.specials);
        EXPECT_EQ(g_line.TouchTable[20].Kind, c.specials ? KEY_SUPERV : 0u);
        // Version 1 brings no enquiry mode: it and the dialling settings
        // come from the registry, written with their defaults.
        EXPECT_EQ(ProviderValue("Prefix", "ExtPrefix"),
                  c.diallingSettings ? std::optional<std::string>("0") : std::nullopt);
        EXPECT_EQ(ProviderValue("Prefix", "ExtPrefixDisp"),
                  c.diallingSettings ? std::optional<std::string>("0") : std::nullopt);
        EXPECT_EQ(ProviderValue("SetConfig", "EnquiryCallMode"),
                  c.diallingSettings ? std::optional<std::string>("0") : std::nullopt);
        EXPECT_EQ(ProviderValue("SetConfig", "MaxDigitLocal"),
                  c.diallingSettings ? std::optional<std::string>("8") : std::nullopt);
        EXPECT_EQ(g_line.EnqCallMode, c.diallingSettings ? 0 : 1);
        EXPECT_EQ(ProviderValue("Dynamic_Set_Conf", "LastAction"), "success");
    }
}

TEST_F(SetConfigTest, ListsInSeveralAnswersAreAskedForFromTheCountReceived) {
    SimWire wire(
        SetFrom(DefaultSetWith("key 5 2005\nkey 6 2006\nkey 7 2007\nper-answer key 5\nper-answer special 1\n"
                               "per-answer string 1\nper-answer softkey 3\nper-answer code 4\n")));
    ASSERT_TRUE(Download(wire));
    EXPECT_EQ(Requests(wire),
              (std::vector<std::string>{"2", "6", "8:0", "8:5", "30", "32:0", "32:1", "10", "12:0", "12:1",
                                        "12:2", "14", "16:0", "16:3", "16:6", "18", "20:0", "20:4"}));
    EXPECT_TRUE(TraceHas(" nb_of_info_rcvd:5 - nb_touch_include:5 "));
    EXPECT_TRUE(TraceHas(" nb_of_info_rcvd:7 - nb_touch_include:2 "));
    EXPECT_EQ(Keys(g_line.lists.MultiLineKeys), (std::vector<uint32_t>{1, 2, 3, 4, 5, 6, 7}));
    EXPECT_EQ(TextOf(g_line.TouchTable[7].Label), "2007");
    EXPECT_EQ(Keys(g_line.lists.PatronKeys), std::vector<uint32_t>{21});
    const std::array<const char*, 7> codes{"*21", "*22", "*23", "*24", "#21", "*77", "*8"};
    for (size_t i = 0; i < codes.size(); ++i)
        EXPECT_EQ(TextOf(g_set.ServiceCode[i]), codes[i]) << i;
    EXPECT_EQ(TextOf(g_set.SoftKeyLabel[6]), "Transf");
    EXPECT_EQ(TextOf(g_set.LcdString[2]), "Dial");
    EXPECT_EQ(ProviderValue("Set_Des", "T07"), "M2007");
}

TEST_F(SetConfigTest, IdentifiersOutOfRangeAreSkippedButCounted) {
    sim::SetDescription set = SetFrom(
        "tqla 3\nkey 1 2001\nkey 89 Far\nkey 0 Zero\nkey 2 2001\nspecial 90 7 Nowhere\n"
        "special 22 7 Odd\nstring 0 Hang up\nstring 3 Extra\nstring 2 Dial\n"
        "softkey 7 Extra\nsoftkey 3 Conf\ncode 7 *99\ncode 6 *8\n");
    set.specials[1].kind = 12;  // a kind the provider does not know
    SimWire wire(set);
    ASSERT_TRUE(Download(wire));
    for (const char* traced :
         {"TouchId:89 hors borne - non prise en compte", "TouchId:0 hors borne - non prise en compte",
          " nb_of_info_rcvd:4 - nb_touch_include:2 ", "TouchId:90 hors borne - non prise en compte",
          "tou spe 22 genr_tou 12 inconnu", "Reception d'une string d'ID > MAX_TA_STRING",
          "Reception d'une SK d'ID > MAX_TA_SK", "Reception d'un code d'ID (7) > MAX_TA_CODE (6)"})
        EXPECT_TRUE(TraceHas(traced)) << traced;
    EXPECT_EQ(Keys(g_line.lists.MultiLineKeys), (std::vector<uint32_t>{1, 2}));
    EXPECT_EQ(g_line.lists.SupervKeys.count, 0);
    EXPECT_EQ(ProviderValues("Set_Des"), (Values{{"T01", "M2001"}, {"T02", "M2001"}}));
    EXPECT_EQ(TextOf(g_set.LcdString[2]), "Dial");
    EXPECT_EQ(TextOf(g_set.LcdString[1]), "");
    EXPECT_EQ(TextOf(g_set.SoftKeyLabel[3]), "Conf");
    EXPECT_EQ(TextOf(g_set.ServiceCode[6]), "*8");
    EXPECT_EQ(ProviderValue("Service_Code", "CallPickUp"), "*8");
}

// Keys beyond a list's capacity are left out altogether: no list entry, no
// kind, nothing stored.
TEST_F(SetConfigTest, MoreKeysThanAListHoldsKeepTheFirstOnes) {
    struct Case {
        const char* name;
        std::string extra;
        std::function<std::vector<uint32_t>()> list;
        std::vector<uint32_t> kept;
        std::vector<uint32_t> dropped;
        size_t stored;
    };
    std::string multi = "tqla 2\n", boss = "tqla 3\nkey 1 2001\n";
    for (int k = 1; k <= 12; ++k) {
        multi += "key " + std::to_string(k) + " 20" + std::to_string(10 + k) + "\n";
        boss += "special " + std::to_string(20 + k) + " 8 Boss" + std::to_string(k) + "\n";
    }
    const Case cases[] = {
        {"multiline",
         multi,
         [] { return Keys(g_line.lists.MultiLineKeys); },
         {1, 2, 3, 4, 5, 6, 7, 8, 9, 10},
         {11, 12},
         10},
        {"boss",
         boss,
         [] { return Keys(g_line.lists.PatronKeys); },
         {21, 22, 23, 24, 25, 26, 27, 28, 29, 30},
         {31, 32},
         11},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        SimWire wire(SetFrom(c.extra + "string 0 Hang up\nsoftkey 0 Enq\ncode 0 *21\n"));
        ASSERT_TRUE(Download(wire));
        EXPECT_EQ(c.list(), c.kept);
        EXPECT_EQ(ProviderValues("Set_Des").size(), c.stored);
        for (const uint32_t key : c.dropped)
            EXPECT_EQ(g_line.TouchTable[key].Kind, 0u) << key;
    }
}

TEST_F(SetConfigTest, SetsThatCannotBeDrivenStopTheChain) {
    struct Case {
        const char* name;
        const char* set;
        std::vector<std::string> requests;
        const char* traced;
    };
    const Case cases[] = {
        {"no multiline key",
         "tqla 3\nstring 0 Hang up\n",
         {"2", "6", "4"},
         "Recup conf Dynamique - Poste non Multiligne"},
        {"not a QR7 set",
         "tqla 2\ndevtype 5\nkey 1 2001\n",
         {"2"},
         "Recup conf Dynamique - Poste non QR7 (ZQ 3861)"},
        {"no string", "tqla 3\nkey 1 2001\nsoftkey 0 Enq\n", {"2", "6", "8:0", "30", "10"}, nullptr},
        {"no soft key",
         "tqla 2\nkey 1 2001\nstring 0 Hang up\ncode 0 *21\n",
         {"2", "6", "8:0", "10", "12:0", "14"},
         nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        SimWire wire(SetFrom(c.set));
        Init();
        ASSERT_EQ(OpenLine(), 0);
        ASSERT_TRUE(wire.Ticks(100));
        EXPECT_EQ(Requests(wire), c.requests);
        if (c.traced != nullptr) {
            EXPECT_TRUE(TraceHas(c.traced));
        }
        EXPECT_FALSE(g_dl.ConfigComplete);
        // The association alone puts the line in service.
        EXPECT_EQ(CountLineEvents(LINE_LINEDEVSTATE, LINEDEVSTATE_CONNECTED | LINEDEVSTATE_INSERVICE), 1);
        EXPECT_EQ(ProviderValue("Dynamic_Set_Conf", "LastAction"), std::nullopt);
    }
}

TEST_F(SetConfigTest, ALaterAssociationMessageRefreshesForwardingAndModulesOnly) {
    SimWire wire(sim::default_set());
    ASSERT_TRUE(Download(wire));
    const size_t requests = Requests(wire).size();
    const auto forwardingEvents = [] { return CountLineEvents(LINE_ADDRESSSTATE); };
    const auto send = [&](int status, const char* dest) {
        sim::sim_set(wire.sim).forward_status = static_cast<uint8_t>(status);
        sim::sim_set(wire.sim).forward_destination = sim::make_label(dest);
        sim::sim_send_device_assoc_ack(wire.sim);
        return wire.Ticks(5);
    };

    ASSERT_TRUE(send(0, "123"));
    EXPECT_EQ(forwardingEvents(), 1);
    ASSERT_FALSE(g_tapi.lineEvents.empty());
    EXPECT_EQ(g_tapi.lineEvents.back().param1, 0u);
    EXPECT_EQ(g_tapi.lineEvents.back().param2, static_cast<uintptr_t>(LINEADDRESSSTATE_FORWARD));
    EXPECT_EQ(g_dl.FwdStatus, 0);
    EXPECT_EQ(TextOf(g_dl.FwdDest), "123");
    EXPECT_TRUE(TraceHas("Dest Fwd length 3 typ 0 Destaddr '123'"));

    ASSERT_TRUE(send(0, "123"));
    EXPECT_EQ(forwardingEvents(), 1) << "no change, no event";
    ASSERT_TRUE(send(4, ""));
    EXPECT_EQ(forwardingEvents(), 2);
    EXPECT_EQ(TextOf(g_dl.FwdDest), "");

    // Nothing of the download is asked again, and the line was reported in
    // service once.
    EXPECT_EQ(Requests(wire).size(), requests);
    EXPECT_EQ(CountLineEvents(LINE_LINEDEVSTATE), 1);
    EXPECT_EQ(ProviderValue("SetConfig", "SetMCDU"), "2001");

    // While a forwarding key sequence runs, the PBX's acknowledgement of a
    // new forwarding is answered with the release key.
    // (The key message 03 26 20 29 may leave inside a super frame.)
    const std::vector<uint8_t> releaseKey{0x03, 0x26, 0x20, 0x29};
    g_superv.FwdGuard = FWD_GUARD_TICKS;
    ASSERT_TRUE(send(1, "4567"));
    EXPECT_TRUE(TraceHas("modif renv acquitee par Pbx: envoi RAC "));
    EXPECT_EQ(wire.WritesHolding(releaseKey), 1);
    EXPECT_EQ(g_superv.FwdGuard, 0);
    g_superv.FwdGuard = FWD_GUARD_TICKS;
    ASSERT_TRUE(send(4, ""));
    EXPECT_EQ(wire.WritesHolding(releaseKey), 1) << "cancelled forwarding: no release key";
    EXPECT_EQ(g_superv.FwdGuard, 0);
}

TEST_F(SetConfigTest, AddOnModulesAreOrderedByAscendingKeyOffsetTheLaterFirstOnATie) {
    struct Module {
        uint8_t address, offset;
    };
    struct Case {
        std::vector<Module> modules;
        std::array<int, 3> order;
    };
    const Case cases[] = {
        {{}, {0, 1, 2}},
        {{{1, 40}}, {0, 1, 2}},
        {{{1, 20}, {2, 40}}, {0, 1, 2}},
        {{{1, 40}, {2, 20}}, {1, 0, 2}},
        {{{1, 30}, {2, 30}}, {1, 0, 2}},
        {{{1, 10}, {2, 20}, {3, 30}}, {0, 1, 2}},
        {{{1, 30}, {2, 20}, {3, 10}}, {2, 1, 0}},
        {{{1, 10}, {2, 30}, {3, 20}}, {0, 2, 1}},
        {{{1, 20}, {2, 10}, {3, 15}}, {1, 2, 0}},
        {{{1, 20}, {2, 20}, {3, 20}}, {2, 1, 0}},
        {{{1, 10}, {2, 10}, {3, 5}}, {2, 1, 0}},
        {{{1, 10}, {2, 40}, {3, 40}}, {0, 2, 1}},
        // A fourth module does not fit the table.
        {{{1, 40}, {2, 30}, {3, 20}, {4, 10}}, {2, 1, 0}},
    };
    SimWire wire(sim::default_set());
    ASSERT_TRUE(Download(wire));
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.order) + " from " + std::to_string(c.modules.size()) +
                     " modules");
        sim::SetDescription& set = sim::sim_set(wire.sim);
        set.module_count = static_cast<uint8_t>(c.modules.size());
        for (size_t i = 0; i < c.modules.size(); ++i)
            set.modules[i] = sim::SetModule{c.modules[i].address, i == 0, c.modules[i].offset};
        sim::sim_send_device_assoc_ack(wire.sim);
        ASSERT_TRUE(wire.Ticks(5));
        EXPECT_EQ(g_dl.AomOrder, c.order);
        for (size_t i = 0; i < MAX_AOM; ++i) {
            const AomEntry& a = g_set.AomTable[i];
            if (i < c.modules.size()) {
                EXPECT_TRUE(a.present);
                EXPECT_EQ(a.address, c.modules[i].address);
                EXPECT_EQ(a.offset, c.modules[i].offset);
                EXPECT_EQ(a.aom20, i == 0);
            } else {
                EXPECT_FALSE(a.present);
                EXPECT_EQ(a.address, 255);
                EXPECT_EQ(a.offset, 255);
            }
        }
    }
    EXPECT_TRUE(TraceHas("aom adr 1 aom20 1 offset 40"));
    EXPECT_TRUE(TraceHas("aom adr 4 aom20 0 offset 10"));
}

TEST(NormaliseLabelTest, BlanksAreTrimmedControlBytesMarkedAndTheSetsCharactersTranslated) {
    struct Case {
        std::string in, out;
    };
    const Case cases[] = {
        {"  Conf  ", "Conf"},
        {"\x85", "\xE0"},
        {"Annuler\x85", "Annuler\xE0"},
        {"Di\x01"
         "al",
         "Di#al"},
        {"\x1F\x7F", "#\x7F"},
        {" \t x", "# x"},
        {"   ", ""},
        {"", ""},
        {"A\x80\x9B\xB9\xFD", "A\xC7\xF1"},  // B9 and FD read as blanks, cut at the end
        {"\xE0\xEA\xF8", "\xDF\xB5R"},
    };
    for (const Case& c : cases) {
        const std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(c.in.data()), c.in.size());
        EXPECT_EQ(NormaliseLabel(bytes), c.out) << testing::PrintToString(c.in);
    }
}

TEST_F(SetConfigTest, LabelsAndStringsAreNormalisedAndCutToTheirTables) {
    SimWire wire(SetFrom(
        DefaultSetWith("softkey 3 \"  Conf  \"\nsoftkey 6 Transfer\nsoftkey 1 \"\\x85t\\x01\"\n"
                       "string 1 \"Annuler\\x85\"\nstring 2 \"1234567890123456789012345678901234\"\n")));
    ASSERT_TRUE(Download(wire));
    EXPECT_EQ(TextOf(g_set.SoftKeyLabel[3]), "Conf");
    EXPECT_EQ(TextOf(g_set.SoftKeyLabel[6]), "Transf");
    EXPECT_EQ(TextOf(g_set.SoftKeyLabel[1]), "\xE0t#");
    EXPECT_EQ(TextOf(g_set.LcdString[1]), "Annuler\xE0");
    EXPECT_EQ(TextOf(g_set.LcdString[2]), "1234567890123456789012345678901");
    EXPECT_EQ(ProviderValue("SoftKey_Des", "Conference"), "Conf");
    EXPECT_EQ(ProviderValue("SoftKey_Des", "Transfer"), "Transf");
    EXPECT_EQ(ProviderValue("String_Des", "CancelSecondCall"), "Annuler\xE0");
    EXPECT_EQ(ProviderValue("String_Des", "Dial"), "1234567890123456789012345678901");
}

TEST_F(SetConfigTest, ThePbxLanguageIsStoredByItsName) {
    struct Case {
        int code;
        const char* stored;
    };
    for (const Case c : {Case{1, "0: French"}, Case{2, "1: English"}, Case{4, "2: German"},
                         Case{5, "3: Spanish"}, Case{6, "4: Italian"}, Case{3, "Not listed"}}) {
        SCOPED_TRACE(c.code);
        TearDown();
        SetUp();
        SimWire wire(SetFrom(DefaultSetWith("language " + std::to_string(c.code) + "\n")));
        ASSERT_TRUE(Download(wire));
        EXPECT_EQ(ProviderValue("SetConfig", "Language"), c.stored);
        EXPECT_TRUE(TraceHas("Langue PABX différente"));
    }
}

TEST_F(SetConfigTest, ARestartWithTheSameSetRewritesNothing) {
    for (const bool newProcess : {false, true}) {
        SCOPED_TRACE(newProcess ? "new process" : "line reopened");
        TearDown();
        SetUp();
        {
            SimWire wire(sim::default_set());
            ASSERT_TRUE(Download(wire));
        }
        Restart(newProcess);
        const int writes = memplat::reg_write_count();
        const std::string ini = memplat::profile_text("zq62cfg.ini").value_or("");
        SimWire wire(sim::default_set());
        if (!attached)
            Init();
        const size_t mark = TraceMessages().size();
        ASSERT_EQ(OpenLine(), 0);
        // The stored configuration is in use: calls are possible as soon as
        // the PBX confirms the same set.
        ASSERT_GE(wire.TicksUntil([] { return g_dl.AssocAck; }, 50), 0);
        EXPECT_TRUE(g_dl.ReadyForCalls);
        ASSERT_TRUE(DownloadCompletes(wire));
        EXPECT_EQ(memplat::reg_write_count(), writes);
        EXPECT_EQ(memplat::profile_text("zq62cfg.ini"), ini);
        EXPECT_EQ(ProviderValues("Set_Des"), kDefaultSetDes);
        EXPECT_TRUE(TraceHasAfter(mark, "Sk non sauvegardé ini - idem"));
        EXPECT_TRUE(TraceHasAfter(mark, "String non sauvegardé ini - idem"));
        EXPECT_TRUE(TraceHasAfter(mark, "lecture mcdu -2001-"));
        EXPECT_FALSE(TraceHasAfter(mark, "Langue PABX différente"));
        EXPECT_FALSE(TraceHasAfter(mark, " Sauvegarde codes dans fic ini"));
        EXPECT_EQ(Keys(g_line.lists.SupervKeys), std::vector<uint32_t>{20});
        EXPECT_EQ(ProviderValue("Dynamic_Set_Conf", "LastAction"), "success");
    }
}

// The INI copy of the key descriptions is repaired when it was lost or
// edited, even though the registry and the set did not change.
TEST_F(SetConfigTest, ADamagedIniCopyOfTheKeysIsWrittenAgain) {
    struct Case {
        const char* name;
        std::function<void()> damage;
    };
    const Case cases[] = {
        {"file lost", [] { plat::profile_delete_section("zq62cfg.ini", "Set_Des"); }},
        {"key edited", [] { plat::profile_write_string("zq62cfg.ini", "Set_Des", "T02", "M9999"); }},
        {"key added", [] { plat::profile_write_string("zq62cfg.ini", "Set_Des", "T30", "M3000"); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        {
            SimWire wire(sim::default_set());
            ASSERT_TRUE(Download(wire));
        }
        Restart(false);
        c.damage();
        SimWire wire(sim::default_set());
        ASSERT_TRUE(Download(wire));
        EXPECT_EQ(Sorted(IniSection("Set_Des")), kDefaultSetDes);
        EXPECT_EQ(ProviderValues("Set_Des"), kDefaultSetDes);
    }
}

TEST_F(SetConfigTest, ARestartWithAChangedSetRewritesOnlyWhatChanged) {
    for (const bool newProcess : {false, true}) {
        SCOPED_TRACE(newProcess ? "new process" : "line reopened");
        TearDown();
        SetUp();
        {
            SimWire wire(sim::default_set());
            ASSERT_TRUE(Download(wire));
        }
        Restart(newProcess);
        // A value of our own in each subkey shows whether it was deleted and
        // written again.
        for (const char* subkey : {"Set_Des", "SoftKey_Des", "String_Des", "Service_Code", "SetConfig"})
            PutProviderValue(subkey, "Marker", "x");
        std::string text(sim::default_set_text());
        for (const auto& [from, to] :
             {std::pair{"mcdu 2001", "mcdu 2002"}, std::pair{"key 2 2001", "key 2 2002"},
              std::pair{"softkey 3 Conf", "softkey 3 Confer"}, std::pair{"code 6 *8", "code 6 *88"}})
            text.replace(text.find(from), std::string_view(from).size(), to);
        SimWire wire(SetFrom(text));
        // A new directory number: calls wait for the whole download.
        if (!attached)
            Init();
        ASSERT_EQ(OpenLine(), 0);
        ASSERT_GE(wire.TicksUntil([] { return g_dl.AssocAck; }, 50), 0);
        EXPECT_FALSE(g_dl.ReadyForCalls);
        ASSERT_TRUE(DownloadCompletes(wire));
        EXPECT_TRUE(g_dl.ReadyForCalls);

        EXPECT_TRUE(TraceHas("NEW MCDU '2002' old '2001' "));
        EXPECT_EQ(ProviderValue("SetConfig", "SetMCDU"), "2002");
        EXPECT_EQ(ProviderValue("SetConfig", "Marker"), "x");
        EXPECT_EQ(IniSection("SetConfig"), (Values{{"SetMCDU", "2002"}}));

        const Values setDes{{"T01", "M2001"}, {"T02", "M2002"},         {"T03", "M2001"},
                            {"T04", "M2001"}, {"T20", "SUSuperv 2002"}, {"T21", "EXBoss"}};
        EXPECT_EQ(ProviderValues("Set_Des"), setDes);
        EXPECT_EQ(IniSection("Set_Des"), setDes);
        EXPECT_EQ(ProviderValue("SoftKey_Des", "Marker"), std::nullopt);
        EXPECT_EQ(ProviderValue("SoftKey_Des", "Conference"), "Confer");
        EXPECT_EQ(ProviderValue("SoftKey_Des", "SecondCall"), "Enq");
        EXPECT_EQ(ProviderValue("Service_Code", "Marker"), std::nullopt);
        EXPECT_EQ(ProviderValue("Service_Code", "CallPickUp"), "*88");
        EXPECT_EQ(ProviderValue("Service_Code", "DTMF"), "*77");
        EXPECT_EQ(ProviderValue("String_Des", "Marker"), "x") << "the strings did not change";
        EXPECT_TRUE(TraceHas("DIFF SkId:3 'Conf'->'Confer'"));
        EXPECT_TRUE(TraceHas("String non sauvegardé ini - idem"));
    }
}

TEST_F(SetConfigTest, KeysThatAreGoneAreForgotten) {
    struct Case {
        const char* name;
        const char* more;
    };
    // The first start stores the default set with its supervision and boss
    // keys; the second finds them gone.
    for (const Case c : {Case{"none announced", "tqla 3\n"}, Case{"version 2", "tqla 2\n"}}) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        {
            SimWire wire(sim::default_set());
            ASSERT_TRUE(Download(wire));
        }
        Restart(false);
        sim::SetDescription set = SetFrom(DefaultSetWith(c.more));
        set.special_count = 0;
        SimWire wire(set);
        ASSERT_TRUE(Download(wire));
        EXPECT_EQ(ProviderValues("Set_Des"),
                  (Values{{"T01", "M2001"}, {"T02", "M2001"}, {"T03", "M2001"}, {"T04", "M2001"}}));
        EXPECT_EQ(IniSection("Set_Des").size(), 4u);
        EXPECT_EQ(g_line.lists.SupervKeys.count, 0);
        EXPECT_EQ(g_line.lists.PatronKeys.count, 0);
        EXPECT_EQ(g_line.TouchTable[20].Kind, 0u);
        EXPECT_EQ(g_line.TouchTable[21].Kind, 0u);
        if (std::string(c.name) == "none announced") {
            EXPECT_EQ(Requests(wire), (std::vector<std::string>{"2", "6", "8:0", "30", "10", "12:0", "14",
                                                                "16:0", "18", "20:0"}));
        }
    }
}

TEST_F(SetConfigTest, AnAnswerTheAdapterRepeatsIsTakenOnce) {
    struct Case {
        const char* name;
        const char* more;
        const char* answer;  // the answer whose acknowledgement is lost
    };
    for (const Case c : {Case{"KEY_ACK", "", "TAPI_TQLA MSG: KEY_ACK"},
                         Case{"CODE_INFO_ACK", "per-answer code 1\n", "TAPI_TQLA MSG: CODE_INFO_ACK"}}) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        SimWire wire(SetFrom(DefaultSetWith(c.more)));
        sim::sim_adapter(wire.sim).capabilities = 0;  // the ACK goes alone
        // The provider's acknowledgement of that answer is lost: the adapter
        // writes the answer again after its wait.
        bool lost = false;
        wire.lose = [&](const std::vector<uint8_t>& bytes) {
            if (lost || bytes != std::vector<uint8_t>{0x02, 0x60, 0x00, 0x9E} || !TraceHas(c.answer))
                return false;
            lost = true;
            return true;
        };
        ASSERT_TRUE(Download(wire, 300));
        ASSERT_TRUE(lost);
        EXPECT_EQ(Keys(g_line.lists.MultiLineKeys), (std::vector<uint32_t>{1, 2, 3, 4}));
        const std::array<const char*, 7> codes{"*21", "*22", "*23", "*24", "#21", "*77", "*8"};
        for (size_t i = 0; i < codes.size(); ++i)
            EXPECT_EQ(TextOf(g_set.ServiceCode[i]), codes[i]) << i;
        const auto requests = Requests(wire);
        EXPECT_EQ(std::count(requests.begin(), requests.end(), "8:0"), 1);
        EXPECT_EQ(std::count(requests.begin(), requests.end(), "10"), 1);
        ASSERT_TRUE(wire.Ticks(20));
        EXPECT_EQ(Requests(wire), requests) << "nothing asked after the end";
    }
}

}  // namespace
}  // namespace zq::test
