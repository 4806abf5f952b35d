// Names and numbers read from the set's display, soft keys located on it,
// and the double calls, conferences and dialling that it reveals. The
// display image, the key table and the calls are set up directly; what
// TAPI is told is recorded per call as "cref:event".
#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "callmodel/analysis.h"
#include "callmodel/calls.h"
#include "callmodel/display.h"
#include "core/config.h"
#include "link/supervision.h"
#include "provider_fixture.h"
#include "tapi/events.h"

namespace zq::test {
namespace {

constexpr uint32_t kLineKey = 3;
constexpr uint32_t HELD = LINECALLSTATE_ONHOLD, CONN = LINECALLSTATE_CONNECTED,
                   PROC = LINECALLSTATE_PROCEEDING, TONE = LINECALLSTATE_DIALTONE;

HTAPICALL Handle(uintptr_t cref) {
    return reinterpret_cast<HTAPICALL>(0x1000 + cref);
}

constexpr std::pair<uint32_t, const char*> kStateNames[] = {{LINECALLSTATE_IDLE, "IDLE"},
                                                            {LINECALLSTATE_OFFERING, "OFFERING"},
                                                            {LINECALLSTATE_DIALTONE, "DIALTONE"},
                                                            {LINECALLSTATE_DIALING, "DIALING"},
                                                            {LINECALLSTATE_RINGBACK, "RINGBACK"},
                                                            {LINECALLSTATE_CONNECTED, "CONNECTED"},
                                                            {LINECALLSTATE_PROCEEDING, "PROCEEDING"},
                                                            {LINECALLSTATE_ONHOLD, "ONHOLD"},
                                                            {LINECALLSTATE_CONFERENCED, "CONFERENCED"},
                                                            {LINECALLSTATE_ONHOLDPENDCONF, "ONHOLDPENDCONF"},
                                                            {LINECALLSTATE_DISCONNECTED, "DISCONNECTED"}};

// What TAPI was told, space-separated.
std::string g_events;

void CALLBACK RecordByCall(HTAPILINE, HTAPICALL htCall, DWORD msg, DWORD_PTR p1, DWORD_PTR p2, DWORD_PTR) {
    std::string what;
    if (msg == LINE_NEWCALL) {
        *reinterpret_cast<HTAPICALL*>(p2) = Handle(p1);
        what = std::to_string(p1) + ":NEWCALL";
    } else {
        what = std::to_string(reinterpret_cast<uintptr_t>(htCall) - 0x1000) + ":";
        if (msg == LINE_CALLINFO) {
            what += "INFO" + std::to_string(p1 >> 12);  // CALLERID 8, CALLEDID 16, CONNECTEDID 32
        } else {
            const auto* name = std::find_if(std::begin(kStateNames), std::end(kStateNames),
                                            [&](const auto& s) { return s.first == p1; });
            what += name != std::end(kStateNames) ? name->second : "?";
        }
    }
    g_events += (g_events.empty() ? "" : " ") + what;
}

class DisplayTest : public ProviderTest {
protected:
    void SetUp() override {
        ProviderTest::SetUp();
        Attach();
        Reset();
    }

    // Two idle line keys, the set's labels, no call.
    static void Reset() {
        FreshProcess();
        g_superv.IncomingCref = -1;
        ResetEventState();
        g_events.clear();
        g_line.lpfnEventProc = RecordByCall;
        g_line.htLine = reinterpret_cast<HTAPILINE>(0x1234);
        g_line.htConfCall = Handle(CONFREF);
        for (const uint32_t key : {kLineKey, 5u}) {
            g_line.TouchTable[key].Kind = KEY_MULTILIGNE;
            AppendKey(g_line.lists.MultiLineKeys, key);
        }
        g_set.WaitInfo.fill(-1);
        g_lineSettings.TqlaVersion = 1;
        g_lineSettings.MaxDigitLocalCall = 8;
        const char* labels[SOFTKEY_COUNT] = {"Enq", "EndEnq", "Swap", "Conf", "DTMF", "NoDTMF", "Trf"};
        for (int i = 0; i < SOFTKEY_COUNT; ++i)
            CopyText(g_set.SoftKeyLabel[static_cast<size_t>(i)], labels[i]);
        CopyText(g_set.LcdString[1], "Annul");
        CopyText(g_set.LcdString[2], "Num");
    }

    static void Show(int line, std::string_view text) {
        auto& raw = g_display.DisplayLine[static_cast<size_t>(line)];
        for (size_t i = 0; i < DISPLAY_WIDTH; ++i)
            raw[i] = i < text.size() ? static_cast<uint8_t>(text[i]) : ' ';
        g_display.DisplayLen[static_cast<size_t>(line)] = static_cast<int>(std::min<size_t>(text.size(), 40));
    }

    // A call on the line key that TAPI knows of.
    static int AddCall(uint32_t state, bool byMakeCall = false) {
        const int cref = NewCallRecord(state, kLineKey);
        PutInSlot(kLineKey, FreeSlot(kLineKey), cref);
        ClearCallStrings(cref);
        g_line.htCall[static_cast<size_t>(cref)] = Handle(static_cast<uintptr_t>(cref));
        (byMakeCall ? g_line.calls.byMakeCall : g_line.calls.Outbound)[static_cast<size_t>(cref)] = 1;
        return cref;
    }

    // DestName|DestAddress|ConnectedName|ConnectedAddr
    static std::string Parties(int cref) {
        const CallStrings& s = g_line.strings;
        const auto text = [&](const std::array<CallString, MAX_CALLS>& table) {
            return std::string(TextOf(table[static_cast<size_t>(cref)]));
        };
        return text(s.DestName) + "|" + text(s.DestAddress) + "|" + text(s.ConnectedName) + "|" +
               text(s.ConnectedAddr);
    }
};

TEST_F(DisplayTest, CallerOfARingingOrWaitingCallIsReadFromLineZero) {
    constexpr uint32_t UNK = LINECALLORIGIN_UNKNOWN, INT = LINECALLORIGIN_INTERNAL,
                       EXT = LINECALLORIGIN_EXTERNAL, NONE = LINECALLORIGIN_UNAVAIL;
    struct Row {
        const char* line;
        uint8_t tqla;
        bool extPrefixDisp;
        const char* prefix;
        bool waiting;  // offered already, without its caller
        const char* parties;
        uint32_t origin;
        const char* events;
    };
    const Row rows[] = {
        {"3:Dupont Jean    Dir", 1, false, "0", false, "Dupont Jean|||", UNK, "0:OFFERING 0:INFO24"},
        {"3:0145678901", 1, false, "0", false, "|0145678901||", EXT, "0:OFFERING 0:INFO24"},
        {"3:2005", 1, false, "0", false, "|2005||", INT, "0:OFFERING 0:INFO24"},
        {"3:00145678901", 1, true, "0", false, "|0145678901||", EXT, "0:OFFERING 0:INFO24"},
        // An empty outside-line prefix makes nobody external.
        {"3:0145678901", 1, true, "", false, "|0145678901||", INT, "0:OFFERING 0:INFO24"},
        {"3:0145678901", 2, false, "0", false, "|0145678901||", UNK, "0:OFFERING 0:INFO24"},
        {"3:", 1, false, "0", false, "|||", UNK, "0:OFFERING 0:INFO24"},
        // Another key's caller, or no key prefix.
        {"5:Dupont", 1, false, "0", false, "|||", NONE, ""},
        {"Dupont", 1, false, "0", false, "|||", NONE, ""},
        // A call offered without its caller: the field keeps its end space.
        {"3:Martin  Dir", 1, false, "0", true, "Martin |||", NONE, "0:INFO24"},
        {"3:2005", 1, false, "0", true, "|2005 ||", NONE, "0:INFO24"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.line);
        Reset();
        g_lineSettings.TqlaVersion = row.tqla;
        g_lineSettings.ExtPrefixDisp = row.extPrefixDisp;
        CopyText(g_lineSettings.ExtPrefix, row.prefix);
        const int cref = AddCall(LINECALLSTATE_OFFERING);
        (row.waiting ? g_set.WaitInfo[1] : g_superv.IncomingCref) = cref;

        Show(0, row.line);
        DisplayChanged(0, 0, static_cast<int>(std::string_view(row.line).size()), true);

        EXPECT_EQ(Parties(cref), row.parties);
        EXPECT_EQ(g_line.strings.Origin[static_cast<size_t>(cref)], row.origin);
        EXPECT_EQ(g_events, row.events);
        const bool read = *row.events != '\0';
        EXPECT_EQ(g_superv.IncomingCref, read || row.waiting ? -1 : cref);
        EXPECT_EQ(g_set.WaitInfo[1], read || !row.waiting ? -1 : cref);
    }
}

TEST_F(DisplayTest, CalledAndConnectedPartiesAreReadFromLineZero) {
    enum Parser { Request, Enquiry };
    struct Row {
        Parser parser;
        uint32_t state;
        bool byMakeCall;
        const char* destAddress;
        const char* line;
        const char* parties;
        const char* events;
    };
    const Row rows[] = {
        {Request, PROC, false, "", "=>Martin Paul 3001  Renvoi", "Martin Paul|3001||", "0:INFO16"},
        {Request, CONN, false, "2005", "Martin/Paul 3001", "|2005|Martin/Paul|3001", "0:INFO32"},
        {Request, CONN, false, "", "3001 Martin", "|||", ""},  // a number first is no party
        {Enquiry, CONN, true, "3001", "Martin 3001  Dir", "Martin|3001||", "0:INFO16"},
        {Enquiry, CONN, false, "30012", "Martin 3001", "Martin|30012||", "0:INFO16"},
        {Enquiry, CONN, true, "3001", "3001", "|3001||", ""},  // only the number dialled
        // Without an address to cut, the whole field is the name.
        {Enquiry, CONN, true, "", "Martin", "Martin|||", "0:INFO16"},
        {Enquiry, CONN, true, "7", "Martin Paul", "Martin Paul|7||", "0:INFO16"},
        {Enquiry, CONN, true, "3001", "", "|3001||", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.line);
        Reset();
        const int cref = AddCall(row.state, row.byMakeCall);
        CopyText(g_line.strings.DestAddress[static_cast<size_t>(cref)], row.destAddress);
        Show(0, row.line);

        (row.parser == Request ? RequestDispName : EnquiryConnectedName)(cref);

        EXPECT_EQ(Parties(cref), row.parties);
        EXPECT_EQ(g_events, row.events);
    }
}

TEST_F(DisplayTest, SoftKeyPositionFindsALabelOnlyAsAWordOfItsOwn) {
    const char* full = "Enq     EndEnq  DTMF    NoDTMF  Trf";
    const char* outer = "        EndEnq          NoDTMF";
    const struct {
        const char* line;
        int id;
        int position;
    } rows[] = {
        {full, 0, 1}, {full, 1, 2},  {full, 4, 3},  {full, 5, 4},
        {full, 6, 5}, {outer, 0, 0}, {outer, 4, 0}, {"                Enq", 0, 3},
        {full, 2, 0},  // the label was never configured
        {"", 2, 0},   {full, 7, 0},  {full, -1, 0},
    };
    g_set.SoftKeyLabel[2].fill(0);
    for (const auto& row : rows) {
        Show(1, row.line);
        EXPECT_EQ(SoftKeyPosition(row.id), row.position) << row.line << " id " << row.id;
    }
}

TEST_F(DisplayTest, DoubleCallsHangUpAndDiallingAreReadFromTheDisplay) {
    struct Row {
        std::vector<uint32_t> calls;  // on the active key, slot 0 first
        int line;
        const char* text;
        const char* hangUp;
        uint8_t enqCallMode;
        bool dropActive;
        const char* events;
        bool dbCall;
    };
    const Row rows[] = {
        // "SecondCall" offered again: the held party left, or the user ended the active call.
        {{HELD, CONN}, 1, "Enq     Swap", "", 0, false, "0:DISCONNECTED 0:IDLE", false},
        {{HELD, CONN}, 1, "Enq     Swap", "", 0, true, "1:DISCONNECTED 0:CONNECTED 1:IDLE", false},
        {{HELD, CONN}, 1, "EndEnq  Swap", "", 0, false, "", true},
        // "EndSecondCall": in PBX mode the enquiry opens on the same key.
        {{CONN}, 1, "EndEnq", "", 1, false, "0:ONHOLD 1:NEWCALL 1:DIALTONE", true},
        {{CONN}, 1, "EndEnq", "", 0, false, "", false},
        {{PROC}, 1, "Enq     Conf", "", 0, false, "0:CONNECTED", false},
        {{HELD, PROC}, 1, "EndEnq  Swap", "", 0, false, "1:CONNECTED", true},
        {{PROC}, 0, "Raccrochez", "Raccrochez", 0, false, "0:DISCONNECTED", false},
        {{PROC}, 0, "Martin", "", 0, false, "", false},  // an empty hang-up string is on no line
        {{CONN}, 0, "Fini", "Fin", 0, false, "", false},
        {{CONN}, 0, "Num", "", 0, false, "0:ONHOLD 1:NEWCALL 1:DIALTONE", true},
        {{TONE}, 0, "Num 2005", "", 0, false, "0:DIALING 0:PROCEEDING 0:RINGBACK", false},
        {{TONE}, 0, "2 0 0 5", "", 0, false, "0:DIALING 0:PROCEEDING 0:RINGBACK", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        Reset();
        CopyText(g_set.LcdString[0], row.hangUp);
        g_line.EnqCallMode = row.enqCallMode;
        for (const uint32_t state : row.calls)
            AddCall(state);
        g_calls.ActivCallTouch = static_cast<int>(kLineKey);
        g_calls.DbCall = row.calls.size() == 2;
        g_calls.DropActiveReq = row.dropActive;

        Show(row.line, row.text);
        AnalyseDisplay(row.line, true);

        EXPECT_EQ(g_events, row.events);
        EXPECT_EQ(g_calls.DbCall, row.dbCall);
        EXPECT_FALSE(g_calls.DropActiveReq);
        // Every call the key still names is a live record of that key.
        for (const int cref : g_line.TouchTable[kLineKey].CrefSlot) {
            if (cref != -1) {
                EXPECT_EQ(g_line.calls.Touch[static_cast<size_t>(cref)], kLineKey);
            }
        }
    }
}

TEST_F(DisplayTest, DialledNumberBecomesTheCalledAddressOnceTheDigitsAreGone) {
    const int cref = AddCall(TONE);
    g_calls.ActivCallTouch = static_cast<int>(kLineKey);

    Show(0, "Num 2005");
    DisplayChanged(0, 0, 8, true);
    // Digits up to the last column: the number stops at column 40.
    const std::string digits = "2005" + std::string(32, '7');
    Show(0, "Num " + digits);
    DisplayChanged(0, 0, 40, true);
    EXPECT_EQ(std::string(TextOf(g_calls.TmpAddress)), digits);
    Show(0, "Martin");
    DisplayChanged(0, 0, 6, true);

    EXPECT_EQ(Parties(cref), "Martin|" + digits + "||");
    EXPECT_EQ(std::string(TextOf(g_calls.TmpAddress)), "");
    EXPECT_EQ(g_events, "0:DIALING 0:PROCEEDING 0:RINGBACK 0:INFO16 0:INFO16");
}

TEST_F(DisplayTest, ConferenceSoftKeyAnnouncesAConferenceCallOnlyWhenTapiDidNotAskForOne) {
    for (const bool asked : {false, true}) {
        SCOPED_TRACE(asked ? "TAPI asked" : "the user's own conference");
        Reset();
        const int held = AddCall(HELD);
        const int connected = AddCall(CONN);
        g_calls.ActivCallTouch = static_cast<int>(kLineKey);
        g_calls.DbCall = true;
        g_calls.ConferenceReq = asked;

        ConferenceSoftKey();

        EXPECT_EQ(g_events, std::string(asked ? "" : "30:NEWCALL ") +
                                "30:ONHOLDPENDCONF 0:CONFERENCED 1:CONFERENCED 30:CONNECTED");
        EXPECT_EQ(g_calls.ConfRef1, held);
        EXPECT_EQ(g_calls.ConfRef2, connected);
        EXPECT_FALSE(g_calls.ConferenceReq);

        // Pressed again, the conference is to end: the last party to join
        // leaves when the set shows the other one.
        ConferenceSoftKey();
        EXPECT_TRUE(g_calls.ConfEndReq);
        g_events.clear();
        Show(0, "Martin");
        AnalyseDisplay(0, true);
        EXPECT_EQ(g_events, "30:IDLE 1:DISCONNECTED 0:CONNECTED 1:IDLE");
        EXPECT_FALSE(g_calls.DbCall);
    }
}

}  // namespace
}  // namespace zq::test
