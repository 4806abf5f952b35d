// What the set shows and the PBX reports, fed as the adapter frames them:
// display texts, lamps and icons, digits and glyphs from the trace headers,
// and the PBX's call events as TQLA messages, with what reaches the tables,
// the phone device, TAPI and the system directory.
#include <string>
#include <vector>

#include "callmodel/calls.h"
#include "callmodel/setmsg.h"
#include "core/config.h"
#include "core/line_record.h"
#include "link/frames.h"
#include "link/receive.h"
#include "provider_fixture.h"

namespace zq::test {
namespace {

using Bytes = std::vector<uint8_t>;

struct PhoneState {
    uint32_t state;
    uint32_t param;
    bool operator==(const PhoneState&) const = default;
};

std::vector<PhoneState> g_phone;

void CALLBACK RecordPhoneState(HTAPIPHONE, DWORD msg, DWORD_PTR p1, DWORD_PTR p2, DWORD_PTR) {
    if (msg == PHONE_STATE)
        g_phone.push_back({static_cast<uint32_t>(p1), static_cast<uint32_t>(p2)});
}

// Fixed bytes followed by a text.
Bytes B(Bytes head, std::string_view text = {}) {
    head.insert(head.end(), text.begin(), text.end());
    return head;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

std::string Pad(std::string s) {
    s.resize(DISPLAY_WIDTH, ' ');
    return s;
}

int TraceContaining(std::string_view part) {
    int n = 0;
    for (const std::string& m : TraceMessages())
        n += m.find(part) != std::string::npos ? 1 : 0;
    return n;
}

constexpr uint32_t kLine = 3;  // a multiline key
constexpr uint8_t kIci = 23, kOci = 24, kCci = 25, kTransfered = 28;

class SetMsgTest : public ProviderTest {
protected:
    void SetUp() override {
        ProviderTest::SetUp();
        g_phone.clear();
        g_line.LampMode = {};
        g_glyphs = GlyphTables{};
    }

    void Open() {
        Init();
        ASSERT_EQ(OpenLine(), 0);
        HDRVPHONE hdPhone = nullptr;
        ASSERT_EQ(TSPI_phoneOpen(g_line.dwPhoneDeviceID, reinterpret_cast<HTAPIPHONE>(0x77), &hdPhone,
                                 0x20000, RecordPhoneState),
                  0);
        g_rx.ready = true;
        g_lineSettings.TqlaVersion = 2;
        g_set.AomTable[0] = {true, 2, false, 40};
        g_set.AomTable[1] = {true, 5, false, 86};
        g_line.TouchTable[kLine].Kind = KEY_MULTILIGNE;
        g_line.TouchTable[4].Kind = KEY_MULTILIGNE;
        CopyText(g_lineSettings.ExtPrefix, "0");
        CopyText(g_lineSettings.OperatorPrefix, "00");
    }

    static void Input(uint8_t type, const Bytes& body) {
        const Frame f = BuildFrame(type, body);
        ASSERT_NE(f.size, 0u);
        ProcessInput(f.span());
    }
    static void FromPbx(const Bytes& body) { Input(FT_SYS_TRACE, body); }
    static void FromSet(const Bytes& body) { Input(FT_VTA_TRACE, body); }
    // A TQLA message whose length field may claim fewer bytes than it
    // carries (0: all of them).
    static void Tqla(uint8_t code, const Bytes& payload, size_t claimed = 0) {
        const size_t n = claimed != 0 ? claimed : payload.size() + 6;
        Bytes m{static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n), 0x02, 0x00, code, 0x01};
        m.insert(m.end(), payload.begin(), payload.end());
        Input(FT_TQLA, m);
    }

    // Call 0, connected and inbound, alone on the line key.
    static void ConnectedCall() {
        AllCallReset();
        ClearCallStrings(0);
        g_line.TouchTable[kLine].CrefSlot = {0, -1};
        g_line.calls.Touch[0] = kLine;
        g_line.calls.lineCallState[0] = LINECALLSTATE_CONNECTED;
        g_line.calls.Inbound[0] = 1;
        g_tapi.lineEvents.clear();
    }
};

TEST_F(SetMsgTest, DisplayTextsKeepTheImageWithinFortyColumns) {
    struct Case {
        const char* name;
        std::vector<Bytes> bodies;
        int line;
        std::string text;
        int length;
    };
    const Case cases[] = {
        {"operation 0 clears the line", {B({0x27, 0, 0}, "OLDXX"), B({0x27, 0, 5}, "ABC")}, 0, "     ABC", 8},
        {"operation 1 keeps the rest",
         {B({0x27, 0, 0}, "HELLO WORLD"), B({0x27, 1, 6}, "THERE")},
         0,
         "HELLO THERE",
         11},
        {"operation 2 appends", {B({0x27, 0, 0}, "Dial"), B({0x27, 0x82, 0}, " 2005")}, 0, "Dial 2005", 9},
        {"text past column 40", {B({0x27, 0, 35}, "ABCDEFGHIJ")}, 0, std::string(35, ' ') + "ABCDE", 40},
        {"append past column 40",
         {B({0x27, 0, 0}, std::string(38, 'x')), B({0x27, 2, 0}, "12345"), B({0x27, 2, 0}, "6")},
         0,
         std::string(38, 'x') + "12",
         40},
        {"column past the end", {B({0x27, 0, 200}, "AB")}, 0, "", 40},
        {"body under 3 bytes", {B({0x27, 0, 0}, "KEEP"), B({0x27, 0})}, 0, "KEEP", 4},
        {"operation 3", {B({0x27, 0, 0}, "KEEP"), B({0x27, 3, 0}, "NEW")}, 0, "KEEP", 4},
        {"line 1", {B({0x28, 0, 2}, "Swap")}, 1, "  Swap", 6},
        {"clear keeps the lengths", {B({0x27, 0, 0}, "KEEP"), B({0x26})}, 0, "", 4},
        {"type bit 7 ignored", {B({0xA7, 0, 0}, "HI")}, 0, "HI", 2},
    };
    Open();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        g_display = DisplayState{};
        for (const Bytes& body : c.bodies)
            FromPbx(body);
        const auto& line = g_display.DisplayLine[static_cast<size_t>(c.line)];
        EXPECT_EQ(std::string(line.begin(), line.begin() + DISPLAY_WIDTH), Pad(c.text));
        EXPECT_EQ(line[DISPLAY_WIDTH], 0);
        EXPECT_EQ(g_display.DisplayLen[static_cast<size_t>(c.line)], c.length);
    }
}

TEST_F(SetMsgTest, LampsAndIconsReachThePhoneDeviceByLampNumber) {
    constexpr uint32_t L = PHONESTATE_LAMP;
    struct In {
        uint8_t type;
        Bytes body;
    };
    struct Case {
        const char* name;
        std::vector<In> inputs;
        std::vector<PhoneState> events;
        std::vector<std::pair<int, uint32_t>> modes;  // lamp, LampMode
        std::pair<uint32_t, uint32_t> icon;           // key, IconValue
        const char* trace;
    };
    const uint8_t P = FT_SYS_TRACE, M = FT_SYS_OPT_TRACE;
    const Case cases[] = {
        {"own lamp", {{P, {0x21, 1, 5}}}, {{L, 5}}, {{5, PHONELAMPMODE_STEADY}}, {}, nullptr},
        {"lamp 19", {{P, {0x21, 3, 19}}}, {{L, 19}}, {{19, PHONELAMPMODE_FLASH}}, {}, nullptr},
        {"lamp 20 is none", {{P, {0x21, 1, 20}}}, {}, {}, {}, nullptr},
        {"unknown mode", {{P, {0x21, 2, 4}}}, {{L, 4}}, {{4, 0}}, {}, nullptr},
        {"short lamp body", {{P, {0x21, 1}}}, {}, {}, {}, nullptr},
        {"mode 7 puts out what was lit",
         {{P, {0x21, 1, 5}}, {P, {0x21, 4, 19}}, {P, {0x21, 7, 0}}},
         {{L, 5}, {L, 19}, {L, 0}, {L, 5}, {L, 19}},
         {{5, PHONELAMPMODE_OFF}, {19, PHONELAMPMODE_OFF}, {0, 0}},
         {},
         nullptr},
        {"key icon", {{P, {0x47, 12, 0x20, 0x20}}}, {{L, 32}}, {}, {12, 0x2020}, nullptr},
        {"icon 88", {{P, {0x47, 88, 0x01, 0x00}}}, {{L, 108}}, {}, {88, 1}, nullptr},
        {"icons 0 and 89", {{P, {0x47, 0, 0x20, 0x20}}, {P, {0x47, 89, 0x20, 0x20}}}, {}, {}, {}, nullptr},
        {"short icon body", {{P, {0x47, 12, 0x20}}}, {}, {}, {12, 0}, nullptr},
        {"module icon", {{M, {2, 0x47, 3, 0x20, 0x20}}}, {{L, 63}}, {}, {43, 0x2020}, nullptr},
        {"module icon past key 88", {{M, {5, 0x47, 5, 0x20, 0x20}}}, {}, {}, {}, nullptr},
        {"subdevice prefix in a super message",
         {{P, {0x0B, 6, 0x02, 0x02, 0x47, 3, 0x20, 0x20}}},
         {{L, 63}},
         {},
         {43, 0x2020},
         nullptr},
        {"subdevice of no module", {{P, {0x02, 0x04, 0x47, 3, 0x20, 0x20}}}, {}, {}, {}, nullptr},
        {"super message item past the end",
         {{P, {0x0B, 3, 0x21, 1, 5, 9, 0x21, 1}}},
         {{L, 5}},
         {},
         {},
         "End Bad ZQ length in Super Message idx 5 data[idx] 9"},
        {"icons reset", {{P, {0x47, 12, 0x20, 0x20}}, {P, {0x46}}}, {{L, 32}, {L, 32}}, {}, {12, 2}, nullptr},
        {"hook, speaker, ring",
         {{P, {0x29, 1}}, {P, {0x29, 0}}, {P, {0x3B}}, {P, {0x3E}}},
         {{PHONESTATE_HANDSETHOOKSWITCH, 0}, {PHONESTATE_SPEAKERVOLUME, 0}, {PHONESTATE_RINGMODE, 0}},
         {},
         {},
         nullptr},
        {"type bit 7 ignored", {{P, {0xA1, 1, 6}}}, {{L, 6}}, {{6, PHONELAMPMODE_STEADY}}, {}, nullptr},
    };
    Open();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        g_phone.clear();
        g_line.LampMode = {};
        for (TouchEntry& key : g_line.TouchTable)
            key.IconValue = 0;
        const int badBefore = TraceContaining("Bad ZQ length");
        for (const In& in : c.inputs)
            Input(in.type, in.body);
        EXPECT_EQ(g_phone, c.events);
        for (const auto& [lamp, mode] : c.modes)
            EXPECT_EQ(g_line.LampMode[static_cast<size_t>(lamp)], mode) << "lamp " << lamp;
        if (c.icon.first != 0) {
            EXPECT_EQ(g_line.TouchTable[c.icon.first].IconValue, c.icon.second);
        }
        if (c.trace != nullptr) {
            EXPECT_TRUE(TraceHas(c.trace));
            EXPECT_TRUE(TraceHas("Bad ZQ length in Super Message idx 5 data[idx] 9"));
        } else {
            EXPECT_EQ(TraceContaining("Bad ZQ length"), badBefore);
        }
    }
}

TEST_F(SetMsgTest, DigitKeysBuildTheDialledNumberUpToFortyCharacters) {
    struct Case {
        const char* name;
        std::vector<Bytes> bodies;
        std::string number;
        const char* trace;
    };
    std::vector<Bytes> many(45, Bytes{0x03, 7});
    const Case cases[] = {
        {"digits, star and hash",
         {{0x03, 1}, {0x03, 2}, {0x03, 3}, {0x03, 10}, {0x03, 11}, {0x83, 0}},
         "123*#0",
         "DigitKeyPushed 0 DialedNumber 123*#0"},
        {"value 12 adds nothing", {{0x03, 12}}, "", "DigitKeyPushed 12 DialedNumber "},
        {"forty at most", many, std::string(40, '7'), nullptr},
        {"short body", {{0x03}}, "", "VTA: Msg 3 trop court (1 octets) - ignore"},
    };
    Open();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        g_calls.DialedNumber.fill(0);
        for (const Bytes& body : c.bodies)
            FromSet(body);
        EXPECT_EQ(TextOf(g_calls.DialedNumber), c.number);
        if (c.trace != nullptr) {
            EXPECT_TRUE(TraceHas(c.trace));
        }
    }
}

TEST_F(SetMsgTest, GlyphRecordsAreLearntAndWrittenToTheSystemDirectory) {
    const Bytes a{0x18, 0x24, 0x42, 0x7E, 0x42, 0x42, 0x42, 0x00};
    const Bytes b{0x7C, 0x42, 0x7C, 0x42, 0x42, 0x7C, 0x00, 0x00};
    const auto entry = [](const Bytes& bitmap, uint8_t code) {
        return std::string(bitmap.begin(), bitmap.end()) + ' ' + static_cast<char>(code);
    };
    const char* const opt = "C:\\WINDOWS\\system32\\zq_opt.fdb";
    const char* const array = "C:\\WINDOWS\\system32\\zq_array.fdb";
    Open();

    // One good record, one with code 100, one cut short.
    FromPbx(Cat({{0x36, 5}, a, {100}, b, {7, 1, 2, 3}}));
    EXPECT_TRUE(TraceHas("VTA: Glyph code 100 hors borne - ignore"));
    EXPECT_TRUE(TraceHas("VTA: Glyph incomplet (4 octets) - ignore"));
    std::string table(1000, '\0'), codes(100, '\0');
    table.replace(0, 10, entry(a, 5));
    codes[5] = ' ';
    EXPECT_EQ(memplat::file_text(opt), table);
    EXPECT_EQ(memplat::file_text(array), codes);

    // The known bitmap under another code keeps its entry; a new one takes
    // the next free entry.
    FromPbx(Cat({{0x36, 7}, a, {9}, b}));
    table.replace(0, 20, entry(a, 7) + entry(b, 9));
    codes[7] = ' ';
    codes[9] = ' ';
    EXPECT_EQ(memplat::file_text(opt), table);
    EXPECT_EQ(memplat::file_text(array), codes);
}

TEST_F(SetMsgTest, PbxEventsDropAFieldPastTheEndAndCutTheirStrings) {
    using Field = std::array<CallString, MAX_CALLS> CallStrings::*;
    struct Case {
        const char* name;
        uint8_t code;
        Bytes payload;
        size_t claimed;     // TQLA length field; 0 when it counts every byte
        uint32_t callInfo;  // LINE_CALLINFO flags; 0 when the event is dropped
        Field field;
        std::string value;
    };
    const std::string digits78(78, '5');
    const Case cases[] = {
        {"incoming, trunk caller", kIci,
         Cat({{kLine, 0, 4, 0x82}, B({}, "1234"), {3}, B({}, "Bob"), {0, 0, 0}}), 0,
         LINECALLINFOSTATE_ORIGIN | LINECALLINFOSTATE_CALLERID | LINECALLINFOSTATE_REASON,
         &CallStrings::CallerAdd, "001234"},
        {"incoming, prefix then cut to 79", kIci, Cat({{kLine, 0, 78, 0x82}, B({}, digits78), {0, 0, 0, 0}}),
         0, LINECALLINFOSTATE_ORIGIN | LINECALLINFOSTATE_CALLERID | LINECALLINFOSTATE_REASON,
         &CallStrings::CallerAdd, "00" + digits78.substr(0, 77)},
        {"incoming, caller address past the end", kIci, Cat({{kLine, 0, 10, 0x82}, B({}, "123")}), 0, 0,
         &CallStrings::CallerAdd, ""},
        {"incoming, called name length missing", kIci,
         Cat({{kLine, 0, 4, 0x82}, B({}, "1234"), {3}, B({}, "Bob"), {0, 0}}), 0, 0, &CallStrings::CallerAdd,
         ""},
        {"outgoing, called address past the end", kOci, Cat({{kLine, 0, 5, 0x02}, B({}, "12")}), 0, 0,
         &CallStrings::CalledAdd, ""},
        {"connected", kCci, Cat({{kLine, 0, 3, 0x01}, B({}, "201"), {3}, B({}, "Ann")}), 0,
         LINECALLINFOSTATE_ORIGIN | LINECALLINFOSTATE_CONNECTEDID, &CallStrings::ConnectedAddr, "201"},
        {"connected, name cut to 79", kCci, Cat({{kLine, 0, 0, 0, 100}, B({}, std::string(100, 'n'))}), 0,
         LINECALLINFOSTATE_CONNECTEDID, &CallStrings::ConnectedName, std::string(79, 'n')},
        {"connected, length field ends inside the name", kCci,
         Cat({{kLine, 0, 3, 0x01}, B({}, "201"), {3}, B({}, "Ann")}), 6 + 9, 0, &CallStrings::ConnectedAddr,
         ""},
        {"transferred, no key", kTransfered, {}, 0, 0, &CallStrings::CallerAdd, ""},
    };
    Open();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ConnectedCall();
        const int dropsBefore = TraceContaining("champ hors message");
        Tqla(c.code, c.payload, c.claimed);
        EXPECT_EQ(TextOf((g_line.strings.*c.field)[0]), c.value);
        if (c.callInfo == 0) {
            EXPECT_EQ(TraceContaining("champ hors message"), dropsBefore + 1);
            EXPECT_TRUE(g_tapi.lineEvents.empty());
        } else {
            ASSERT_EQ(g_tapi.lineEvents.size(), 1u);
            EXPECT_EQ(g_tapi.lineEvents[0].msg, static_cast<uint32_t>(LINE_CALLINFO));
            EXPECT_EQ(g_tapi.lineEvents[0].param1, c.callInfo);
        }
    }
}

TEST_F(SetMsgTest, PbxEventsForAKeyOutside1To88FindNoCall) {
    struct Case {
        uint8_t code;
        Bytes payload;
        const char* trace;
    };
    const Case cases[] = {
        {kIci, {0, 0, 0, 0, 0, 0, 0, 0}, "ICI Pas d'appel arrivee en cours sur touche 0"},
        {kIci, {89, 0, 0, 0, 0, 0, 0, 0}, "ICI Pas d'appel arrivee en cours sur touche 89"},
        {kOci, Cat({{89, 0, 4, 0x01}, B({}, "2005"), {0}}), "OCI Pas d'appel depart en cours sur touche 89"},
        {kOci, Cat({{0, 0, 4, 0x01}, B({}, "2005"), {0}}), "OCI Pas d'appel depart en cours sur touche 0"},
        {kCci, {255, 0, 0, 0, 0}, "CCI Pas d'appel en conversation sur touche 255"},
        {kTransfered, {0}, "Evt_Transfered_Call non exploite tou 0"},
        {kTransfered, {89}, "Evt_Transfered_Call non exploite tou 89"},
    };
    Open();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.trace);
        ConnectedCall();
        Tqla(c.code, c.payload);
        EXPECT_TRUE(TraceHas(c.trace));
        EXPECT_TRUE(g_tapi.lineEvents.empty());
        EXPECT_EQ(g_line.calls.Touch[1], 0u) << "no call made";
    }

    // The same outgoing event on an idle line key makes the call at once.
    ConnectedCall();
    Tqla(kOci, Cat({{4, 0, 4, 0x01}, B({}, "2005"), {0}}));
    std::vector<std::pair<uint32_t, uintptr_t>> events;
    for (const LineEventRecord& e : g_tapi.lineEvents)
        events.emplace_back(e.msg, e.param1);
    const std::vector<std::pair<uint32_t, uintptr_t>> expected{{LINE_NEWCALL, 1},
                                                               {LINE_CALLSTATE, LINECALLSTATE_DIALTONE},
                                                               {LINE_CALLSTATE, LINECALLSTATE_DIALING},
                                                               {LINE_CALLSTATE, LINECALLSTATE_PROCEEDING},
                                                               {LINE_CALLSTATE, LINECALLSTATE_RINGBACK},
                                                               {LINE_CALLINFO, LINECALLINFOSTATE_CALLEDID}};
    EXPECT_EQ(events, expected);
    EXPECT_EQ(g_line.calls.lineCallState[1], static_cast<uint32_t>(LINECALLSTATE_PROCEEDING));
    EXPECT_EQ(TextOf(g_line.strings.CalledAdd[1]), "2005");
}

TEST_F(SetMsgTest, SupervisionKeyReleasesItsRingingCallOnlyForAnotherCaller) {
    constexpr uint32_t kSuperv = 9;
    struct Case {
        const char* name;
        Bytes caller;  // address length, flags, address
        std::vector<uint32_t> events;
    };
    const Case cases[] = {
        {"same trunk caller", Cat({{4, 0x82}, B({}, "1234")}), {LINE_CALLINFO}},
        {"no caller address", {0, 0}, {LINE_CALLINFO}},
        {"another caller",
         Cat({{4, 0x82}, B({}, "5678")}),
         {LINE_CALLSTATE, LINE_CALLSTATE, LINE_NEWCALL, LINE_CALLSTATE, LINE_CALLINFO}},
    };
    Open();
    g_lineSettings.SupervService = true;
    g_line.TouchTable[kSuperv].Kind = KEY_SUPERV;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        AllCallReset();
        ClearCallStrings(0);
        g_line.TouchTable[kSuperv].CrefSlot = {0, -1};
        g_line.calls.Touch[0] = kSuperv;
        g_line.calls.lineCallState[0] = LINECALLSTATE_OFFERING;
        g_line.calls.Inbound[0] = 1;
        g_line.strings.Origin[0] = LINECALLORIGIN_EXTERNAL;
        CopyText(g_line.strings.CallerAdd[0], "001234");
        CopyText(g_line.strings.CalledAdd[0], "2001");
        g_tapi.lineEvents.clear();
        Tqla(kIci, Cat({{kSuperv, 0}, c.caller, {0, 0, 0, 0}}));
        std::vector<uint32_t> events;
        for (const LineEventRecord& e : g_tapi.lineEvents)
            events.push_back(e.msg);
        EXPECT_EQ(events, c.events);
    }
}

}  // namespace
}  // namespace zq::test
