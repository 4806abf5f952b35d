// The setup dialogs as values (what the controls show, what OK changes),
// the sequence of records one TUISPI call sends, and the ports offered.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "setup/model.h"
#include "zq/memplat.h"

namespace zq::setup {
namespace {

const AdvancedConfig kStored{12, true, true, "9"};

TEST(SetupModelTest, MainDialogShowsTheReply) {
    struct Case {
        const char* port;
        std::vector<std::string> offered;
        const char* version;
        uint8_t major, minor, tqla, providerByte;
        int selected;
        const char* versionText;
        const char* adapterText;
        bool adapterEnabled, advancedEnabled;
        bool okChanges;  // OK with the list left alone changes the port
    };
    const std::vector<std::string> three{"COM1", "COM2", "COM3"};
    const Case cases[] = {
        {"COM2", three, "3.1.6", 1, 23, 2, 2, 1, "3.1.6", "01. 23", true, false, false},
        {"com3", three, "3.1.6", 0, 7, 0, 2, 2, "3.1.6", "00.  7", true, true, false},
        {"COM4", three, "", 0, 0, 1, 0, 0, "Unknown", "00.  0", false, true, true},
        {"", three, "x", 4, 0, 5, 1, 0, "x", "04.  0", true, true, true},
        {"COM1", {}, "x", 0, 0, 3, 2, -1, "x", "00.  0", false, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.port);
        BasicConfig reply;
        reply.port = c.port;
        reply.lineName = u"Velmora 6200";
        reply.versionText = c.version;
        reply.adapterMajor = c.major;
        reply.adapterMinor = c.minor;
        reply.tqlaVersion = c.tqla;
        reply.providerByte = c.providerByte;
        const MainDialog d = MakeMainDialog(reply, c.offered);
        EXPECT_EQ(d.selected, c.selected);
        EXPECT_EQ(d.versionText, c.versionText);
        EXPECT_EQ(d.adapterText, c.adapterText);
        EXPECT_EQ(d.adapterEnabled, c.adapterEnabled);
        EXPECT_EQ(d.advancedEnabled, c.advancedEnabled);
        EXPECT_EQ(d.lineName, u"Velmora 6200");
        bool changed = !c.okChanges;
        MainDialogPort(d, c.port, &changed);
        EXPECT_EQ(changed, c.okChanges);
    }
}

TEST(SetupModelTest, AdvancedOkTakesWhatFitsAndReportsChanges) {
    struct Case {
        const char* what;
        AdvancedDialog entered;
        AdvancedConfig expect;
        bool changed;
    };
    const std::string prefix4(4, '7'), prefix5(5, '7'), prefix25(25, '7'), prefix45(45, '7');
    const Case cases[] = {
        {"untouched", {"9", true, "12", true}, kStored, false},
        {"prefix", {"00", true, "12", true}, {12, true, true, "00"}, true},
        {"4-char prefix", {prefix4, true, "12", true}, {12, true, true, prefix4}, true},
        {"5-char prefix", {prefix5, true, "12", true}, kStored, false},
        {"25-char prefix", {prefix25, true, "12", true}, kStored, false},
        {"45-char prefix", {prefix45, true, "12", true}, kStored, false},
        {"flags", {"9", false, "12", false}, {12, false, false, "9"}, true},
        {"digits 19", {"9", true, "19", true}, {19, true, true, "9"}, true},
        {"digits 02", {"9", true, " 02 ", true}, {2, true, true, "9"}, true},
        {"digits 25", {"9", true, "25", true}, kStored, false},
        {"digits 1", {"9", true, "1", true}, kStored, false},
        {"digits 20", {"9", true, "20", true}, kStored, false},
        {"digits abc", {"9", true, "abc", true}, kStored, false},
        {"digits 8x", {"9", true, "8x", true}, kStored, false},
        {"digits -5", {"9", true, "-5", true}, kStored, false},
        {"digits empty", {"9", true, "", true}, kStored, false},
        {"digits 00012", {"9", true, "00012", true}, kStored, false},
        {"digits huge", {"9", true, "99999999999999999999", true}, kStored, false},
        {"defaults", AdvancedDefaults(), {8, false, false, "0"}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        bool changed = !c.changed;
        const AdvancedConfig v = AdvancedDialogValues(kStored, c.entered, &changed);
        EXPECT_EQ(changed, c.changed);
        EXPECT_EQ(v.maxDigitLocal, c.expect.maxDigitLocal);
        EXPECT_EQ(v.pbxMode, c.expect.pbxMode);
        EXPECT_EQ(v.prefixDisplayed, c.expect.prefixDisplayed);
        EXPECT_EQ(v.prefix, c.expect.prefix);
    }
    const AdvancedDialog shown = MakeAdvancedDialog({8, true, false, "0"});
    EXPECT_EQ(shown.digits, "08");
    EXPECT_TRUE(shown.pbxMode);
    bool changed = true;
    AdvancedDialogValues({8, false, false, "0"}, AdvancedDefaults(), &changed);
    EXPECT_FALSE(changed);
    EXPECT_EQ(HelpTarget(kHelpAdvanced, HELP_ADVANCED_CONTEXT), "zq_spi62.html#context-3");
    EXPECT_EQ(HelpTarget(kHelpMain, HELP_MAIN_CONTEXT), "zq_spi.html");
}

// ------------------------------------------------ one TUISPI call

struct Sent {
    int command;
    DWORD_PTR objectId;
    DWORD objectType;
    std::vector<uint8_t> record;
};
std::vector<Sent> g_sent;
BasicConfig g_reply;
int g_failCommand = -1;

LONG CALLBACK RecordExchange(DWORD_PTR objectId, DWORD objectType, LPVOID params, DWORD size) {
    const auto bytes = static_cast<uint8_t*>(params);
    std::vector<uint8_t> record(bytes, bytes + size);
    const int command = RecordCommand(record);
    g_sent.push_back({command, objectId, objectType, record});
    if (command == g_failCommand)
        return LINEERR_OPERATIONFAILED;
    if (command == CMD_BASIC_GET) {
        const auto reply = EncodeBasic(CMD_BASIC_GET, g_reply);
        std::memcpy(params, reply.data(), std::min<size_t>(size, reply.size()));
    } else if (command == UI_SPI_EI_CFGDLG_ADV_GET) {
        const auto reply = EncodeAdvanced(UI_SPI_EI_CFGDLG_ADV_GET, kStored);
        std::memcpy(params, reply.data(), std::min<size_t>(size, reply.size()));
    }
    return 0;
}

class SetupRunTest : public ::testing::Test {
protected:
    void SetUp() override {
        memplat::reset();
        for (const char* port : {"COM1", "COM2", "COM3"})
            memplat::port_add(port);
        memplat::set_time(1234);
        g_sent.clear();
        g_failCommand = -1;
        g_reply = BasicConfig{};
        g_reply.lineDeviceId = 5;
        g_reply.phoneDeviceId = 7;
        g_reply.port = "COM1";
    }
};

TEST_F(SetupRunTest, OneCallSendsTheRecordsItsDialogsNeed) {
    struct Case {
        const char* what;
        uint32_t objectType;
        uint32_t deviceId;
        int failCommand;     // the callback fails it; -1 none
        int choosePort;      // -1: the list is left alone
        bool pressAdvanced;  // then the advanced dialog:
        const char* digits;  //   nullptr: left alone
        bool defaults;       //   Defaults pressed
        int advancedResult;  //   how it ends
        int mainResult;
        LONG result;
        std::vector<int> commands;  // no dialog unless result is 0
    };
    const int OK = DIALOG_OK, CANCEL = DIALOG_CANCEL;
    const auto kBadLine = static_cast<LONG>(LINEERR_BADDEVICEID);
    const auto kBadPhone = static_cast<LONG>(PHONEERR_BADDEVICEID);
    const auto kFailed = static_cast<LONG>(LINEERR_OPERATIONFAILED);
    const Case cases[] = {
        {"new port", OBJECT_LINE, 5, -1, 2, false, nullptr, false, OK, OK, 0, {1, 2}},
        {"same port", OBJECT_LINE, 5, -1, 0, false, nullptr, false, OK, OK, 0, {1}},
        {"cancel", OBJECT_LINE, 5, -1, 2, false, nullptr, false, OK, CANCEL, 0, {1}},
        {"phone", OBJECT_PHONE, 7, -1, 1, false, nullptr, false, OK, OK, 0, {1, 2}},
        {"wrong line", OBJECT_LINE, 7, -1, 2, false, nullptr, false, OK, OK, kBadLine, {1}},
        {"wrong phone", OBJECT_PHONE, 5, -1, 2, false, nullptr, false, OK, OK, kBadPhone, {1}},
        {"provider gone", OBJECT_LINE, 0, 1, 2, false, nullptr, false, OK, OK, kFailed, {1}},
        {"advanced changed", OBJECT_LINE, 5, -1, -1, true, "15", false, OK, CANCEL, 0, {1, 3, 4}},
        {"advanced 25", OBJECT_LINE, 5, -1, -1, true, "25", false, OK, OK, 0, {1, 3}},
        {"defaults, cancel", OBJECT_LINE, 5, -1, -1, true, nullptr, true, CANCEL, OK, 0, {1, 3}},
        {"advanced unanswered", OBJECT_LINE, 5, 3, -1, true, "15", false, OK, OK, 0, {1, 3}},
        {"advanced and port", OBJECT_PROVIDER, 0, -1, 1, true, "15", false, OK, OK, 0, {0, 1, 3, 4, 2}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        g_failCommand = c.failCommand;
        bool mainShown = false, advancedShown = false;
        SetupView view;
        view.main = [&](MainDialog& d, const std::function<void()>& advanced) {
            mainShown = true;
            EXPECT_EQ(d.ports, (std::vector<std::string>{"COM1", "COM2", "COM3"}));
            if (c.choosePort >= 0)
                d.selected = c.choosePort;
            if (c.pressAdvanced)
                advanced();
            return c.mainResult;
        };
        view.advanced = [&](AdvancedDialog& d) {
            advancedShown = true;
            EXPECT_EQ(d.digits, "12");
            if (c.digits != nullptr)
                d.digits = c.digits;
            if (c.defaults)
                d = AdvancedDefaults();
            return c.advancedResult;
        };
        const std::string trace = c.objectType == OBJECT_PROVIDER ? "hello" : "";
        EXPECT_EQ(RunSetup(view, RecordExchange, 42, c.objectType, c.deviceId, trace), c.result);
        EXPECT_EQ(mainShown, c.result == 0);
        EXPECT_EQ(advancedShown, c.pressAdvanced && c.failCommand != 3);
        std::vector<int> commands;
        for (const Sent& s : g_sent) {
            commands.push_back(s.command);
            EXPECT_EQ(s.objectId, 42u);
            EXPECT_EQ(s.objectType, c.objectType);
            BasicConfig basic;
            AdvancedConfig adv;
            std::string text;
            if (s.command == CMD_PORT_SET) {
                ASSERT_TRUE(DecodeBasic(s.record, &basic));
                EXPECT_EQ(basic.port, c.choosePort == 1 ? "COM2" : "COM3");
            } else if (s.command == UI_SPI_EI_CFGDLG_ADV_SET) {
                ASSERT_TRUE(DecodeAdvanced(s.record, &adv));
                EXPECT_EQ(adv.maxDigitLocal, 15);
                EXPECT_EQ(adv.prefix, "9");
            } else if (s.command == CMD_TRACE_TEXT) {
                ASSERT_TRUE(DecodeTraceText(s.record, &text));
                EXPECT_EQ(text, "TUI DLL:1234 hello");
            }
        }
        EXPECT_EQ(commands, c.commands);
    }
}

// ------------------------------------------------------------ ports

TEST(SetupPortsTest, PortsInUseAreOfferedAndProbedPortsClosedAgain) {
    memplat::reset();
    for (const char* port : {"COM1", "COM2", "COM3", "COM4"})
        memplat::port_add(port);
    // COM2 held by another program, COM3's interrupt taken, COM4 broken.
    plat::SerialPort* held = nullptr;
    ASSERT_EQ(plat::serial_open("COM2", &held), plat::kErrSuccess);
    memplat::port_set_open_error("COM3", plat::kErrIrqBusy);
    memplat::port_set_open_error("COM4", plat::kErrGenFailure);
    EXPECT_EQ(OfferedPorts(), (std::vector<std::string>{"COM1", "COM2", "COM3"}));
    EXPECT_FALSE(memplat::port_is_open("COM1"));
    EXPECT_TRUE(memplat::port_is_open("COM2"));
    plat::serial_close(held);

    memplat::port_remove("COM1");
    memplat::port_set_open_error("COM4", plat::kErrAccessDenied);
    EXPECT_EQ(OfferedPorts(), (std::vector<std::string>{"COM2", "COM3", "COM4"}));
}

}  // namespace
}  // namespace zq::setup
