// The provider's half of the setup dialogs: the records it answers, the
// settings it stores, and the restart a port change asks for.
#include <algorithm>
#include <array>
#include <optional>
#include <span>

#include "core/config.h"
#include "core/lifecycle.h"
#include "link/receive.h"
#include "provider_fixture.h"
#include "setup/records.h"
#include "superv_support.h"

namespace zq::test {
namespace {

using namespace setup;

constexpr size_t kGuard = 8;
constexpr uint8_t kFill = 0xA5;
constexpr char kRestartBox[] = "Serial Port configuration modified.\n\nClose and restart the application.";

class SetupTest : public ProviderTest {
protected:
    void SetUp() override {
        ProviderTest::SetUp();
        Init();
    }

    // Hands the record to the provider in a buffer followed by a guard.
    static std::vector<uint8_t> Exchange(std::span<const uint8_t> sent, uint32_t type = OBJECT_LINE) {
        const size_t size = sent.size();
        std::vector<uint8_t> record(sent.begin(), sent.end());
        record.resize(size + kGuard, kFill);
        EXPECT_EQ(TSPI_providerGenericDialogData(0, type, record.data(), static_cast<DWORD>(size)), 0);
        for (size_t i = size; i < record.size(); ++i)
            EXPECT_EQ(record[i], kFill) << "written past the record";
        record.resize(size);
        return record;
    }

    static AdvancedConfig AdvancedGet() {
        AdvancedConfig got;
        EXPECT_TRUE(DecodeAdvanced(Exchange(EncodeAdvanced(UI_SPI_EI_CFGDLG_ADV_GET, {})), &got));
        return got;
    }
};

TEST_F(SetupTest, NamesItsOwnFileAsTheUserInterface) {
    std::vector<WCHAR> name(260, static_cast<WCHAR>(0xFFFF));
    EXPECT_EQ(TSPI_providerUIIdentify(name.data()), 0);
    const std::u16string expect = u"zq_6232.tsp";
    for (size_t i = 0; i <= expect.size(); ++i)
        EXPECT_EQ(static_cast<char16_t>(name[i]), i < expect.size() ? expect[i] : u'\0');
    EXPECT_EQ(name[expect.size() + 1], static_cast<WCHAR>(0xFFFF));
    EXPECT_EQ(TSPI_providerUIIdentify(nullptr), static_cast<LONG>(LINEERR_INVALPOINTER));
    EXPECT_EQ(TraceCount("TSPI_providerUIIdentify"), 2);
}

TEST_F(SetupTest, AnswersOnlyRecordsOfTheirCommandsSizeForKnownObjects) {
    g_rx.versionMajor = 3;
    g_rx.versionMinor = 7;
    g_lineSettings.TqlaVersion = 2;
    g_line.dwDeviceID = 7;
    g_line.dwPhoneDeviceID = 8;
    struct Case {
        uint32_t type;
        uint8_t command;
        size_t size;
        bool answered;
    };
    const Case cases[] = {
        {OBJECT_LINE, CMD_BASIC_GET, BASIC_RECORD_SIZE, true},
        {OBJECT_PHONE, CMD_BASIC_GET, BASIC_RECORD_SIZE, true},
        {OBJECT_PROVIDER, CMD_BASIC_GET, BASIC_RECORD_SIZE, true},
        {OBJECT_DIALOG_INSTANCE, UI_SPI_EI_CFGDLG_ADV_GET, ADVANCED_RECORD_SIZE, true},
        {OBJECT_LINE, CMD_BASIC_GET, BASIC_RECORD_SIZE - 1, false},
        {OBJECT_LINE, CMD_BASIC_GET, BASIC_RECORD_SIZE + 1, false},
        {OBJECT_LINE, CMD_BASIC_GET, ADVANCED_RECORD_SIZE, false},
        {OBJECT_LINE, UI_SPI_EI_CFGDLG_ADV_GET, ADVANCED_RECORD_SIZE - 1, false},
        {OBJECT_LINE, UI_SPI_EI_CFGDLG_ADV_GET, BASIC_RECORD_SIZE, false},
        {OBJECT_LINE, CMD_PORT_SET, ADVANCED_RECORD_SIZE, false},
        {OBJECT_LINE, UI_SPI_EI_CFGDLG_ADV_SET, BASIC_RECORD_SIZE, false},
        {OBJECT_LINE, 5, ADVANCED_RECORD_SIZE, false},
        {OBJECT_LINE, CMD_BASIC_GET, 3, false},
        {0, CMD_BASIC_GET, BASIC_RECORD_SIZE, false},
        {5, UI_SPI_EI_CFGDLG_ADV_GET, ADVANCED_RECORD_SIZE, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "type " << c.type << " command " << int{c.command} << " size " << c.size);
        std::vector<uint8_t> record(c.size, kFill);
        record[0] = c.command;
        const int writes = memplat::reg_write_count();
        const std::vector<uint8_t> answer = Exchange(record, c.type);
        EXPECT_EQ(answer != record, c.answered);
        const std::string ignored = "GenericDialogData type " + std::to_string(c.type) + " cmd " +
                                    std::to_string(c.size < 4 ? -1 : c.command) + " size " +
                                    std::to_string(c.size) + " ignored";
        EXPECT_EQ(TraceHas(ignored), !c.answered);
        if (!c.answered) {
            EXPECT_EQ(memplat::reg_write_count(), writes);
        }
    }
    BasicConfig basic;
    ASSERT_TRUE(DecodeBasic(Exchange(EncodeBasic(CMD_BASIC_GET, {})), &basic));
    EXPECT_EQ(basic.port, "COM1");
    EXPECT_EQ(basic.lineName, u"VELMORA_ZQ_6200");
    EXPECT_EQ(basic.versionText, "3.1.6");
    EXPECT_EQ(std::vector<uint32_t>({basic.lineDeviceId, basic.phoneDeviceId, basic.adapterMajor,
                                     basic.adapterMinor, basic.tqlaVersion, basic.providerByte}),
              std::vector<uint32_t>({7, 8, 3, 7, 2, 2}));
    EXPECT_EQ(TSPI_providerGenericDialogData(0, OBJECT_LINE, nullptr, BASIC_RECORD_SIZE), 0);
    EXPECT_TRUE(TraceHas("GenericDialogData type 1 cmd -1 size 176 ignored"));
}

TEST_F(SetupTest, TracesATextOnlyWhenItsLengthByteMatches) {
    const std::string text = "TUI DLL:5 TUISPI_providerConfig hInst %lx";
    struct Case {
        int lengthDelta;
        int sizeDelta;
        bool traced;
    };
    for (const Case c :
         {Case{0, 0, true}, Case{1, 0, false}, Case{-1, 0, false}, Case{0, 1, false}, Case{1, 1, false}}) {
        SCOPED_TRACE(testing::Message() << c.lengthDelta << " " << c.sizeDelta);
        const int before = TraceCount(text);
        std::vector<uint8_t> record = EncodeTraceText(text);
        record[1] = static_cast<uint8_t>(record[1] + c.lengthDelta);
        record.resize(record.size() + static_cast<size_t>(c.sizeDelta), 'x');
        Exchange(record, OBJECT_PROVIDER);
        EXPECT_EQ(TraceCount(text) - before, c.traced ? 1 : 0);
    }
}

// The four advanced values as stored, in this order; nullptr: missing.
constexpr std::array<std::pair<const char*, const char*>, 4> kAdvancedValues = {{
    {"Prefix", "ExtPrefix"},
    {"Prefix", "ExtPrefixDisp"},
    {"SetConfig", "MaxDigitLocal"},
    {"SetConfig", "EnquiryCallMode"},
}};
using Stored = std::array<const char*, 4>;

void PutStored(const Stored& values) {
    for (size_t i = 0; i < values.size(); ++i)
        if (values[i] != nullptr)
            PutProviderValue(kAdvancedValues[i].first, kAdvancedValues[i].second, values[i]);
}

void ExpectStored(const Stored& values) {
    for (size_t i = 0; i < values.size(); ++i)
        EXPECT_EQ(ProviderValue(kAdvancedValues[i].first, kAdvancedValues[i].second),
                  values[i] != nullptr ? std::optional<std::string>(values[i]) : std::nullopt)
            << kAdvancedValues[i].second;
}

// Checks the values, or the running provider's when `got` is null.
void ExpectAdvanced(const AdvancedConfig* got, const AdvancedConfig& expect) {
    const AdvancedConfig running{g_lineSettings.MaxDigitLocalCall, g_line.EnqCallMode == 1,
                                 g_lineSettings.ExtPrefixDisp, std::string(TextOf(g_lineSettings.ExtPrefix))};
    const AdvancedConfig& v = got != nullptr ? *got : running;
    EXPECT_EQ(v.prefix, expect.prefix);
    EXPECT_EQ(v.prefixDisplayed, expect.prefixDisplayed);
    EXPECT_EQ(v.maxDigitLocal, expect.maxDigitLocal);
    EXPECT_EQ(v.pbxMode, expect.pbxMode);
}

TEST_F(SetupTest, AdvancedValuesAreReadNormalisedAndWrittenBack) {
    struct Case {
        Stored before;
        AdvancedConfig expect;  // in the reply and in the running provider
        Stored after;
    };
    const Case cases[] = {
        {{}, {8, false, false, "0"}, {"0", "0", "8", "0"}},
        {{"9", "yes", "12", "0"}, {12, false, true, "9"}, {"9", "1", "12", "0"}},
        {{nullptr, nullptr, "25", "1"}, {8, true, false, "0"}, {"0", "0", "8", "1"}},
        // Too long for the reader: the default meanwhile, the stored value kept.
        {{"01234", nullptr, "00012", nullptr}, {8, false, false, "0"}, {"01234", "0", "00012", "0"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << (&c - cases));
        memplat::reset();
        PutStored(c.before);
        const AdvancedConfig got = AdvancedGet();
        ExpectAdvanced(&got, c.expect);
        ExpectAdvanced(nullptr, c.expect);
        ExpectStored(c.after);
    }
    // The last case's traces.
    EXPECT_TRUE(TraceHas("UI_SPI_EI_CFGDLG_ADV_GET ExtPrefix '0'"));
    EXPECT_TRUE(TraceHas("UI_SPI_EI_CFGDLG_ADV_GET ExtPrefixDisp '0'"));
    EXPECT_TRUE(TraceHas("UI_SPI_EI_CFGDLG_ADV_GET MaxDigitLocalCall '8'"));
    EXPECT_TRUE(TraceHas("UI_SPI_EI_CFGDLG_ADV_GET EnqCallMode '0'"));
}

TEST_F(SetupTest, AdvancedValuesSentAreUsedAtOnceAndStoredOnlyWhenChanged) {
    struct Case {
        AdvancedConfig sent;
        AdvancedConfig running;  // afterwards
        Stored after;            // every value was "x" before
    };
    const Case cases[] = {
        {{8, false, false, "9"}, {8, false, false, "9"}, {"9", "x", "x", "x"}},
        // Longer than the provider reads back, or out of range: refused.
        {{25, false, false, "01234"}, {8, false, false, "0"}, {"x", "x", "x", "x"}},
        // A prefix field without its NUL is read to the field's end.
        {{19, false, false, std::string(ADV_PREFIX_SIZE, '7')},
         {19, false, false, "0"},
         {"x", "x", "19", "x"}},
        {{5, true, true, "0000"}, {5, true, true, "0000"}, {"0000", "1", "05", "1"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << (&c - cases));
        memplat::reset();
        AdvancedGet();
        PutStored({"x", "x", "x", "x"});
        auto record = EncodeAdvanced(UI_SPI_EI_CFGDLG_ADV_SET, c.sent);
        if (c.sent.prefix.size() >= ADV_PREFIX_SIZE)
            std::fill(record.begin() + ADV_PREFIX, record.end(), '7');
        Exchange(record);
        ExpectAdvanced(nullptr, c.running);
        ExpectStored(c.after);
    }
    // What the last case stored reads back as it was sent.
    const AdvancedConfig readBack = AdvancedGet();
    ExpectAdvanced(&readBack, cases[3].running);
    EXPECT_TRUE(TraceHas("Rcv UI_SPI_EI_CFGDLG_ADV_SET"));
    EXPECT_TRUE(TraceHas("UI_SPI_EI_CFGDLG_ADV_SET ExtPrefix '0000'"));
    EXPECT_TRUE(TraceHas("UI_SPI_EI_CFGDLG_ADV_SET ExtPrefixDisp '1'"));
    EXPECT_TRUE(TraceHas("UI_SPI_EI_CFGDLG_ADV_SET MaxDigitLocalCall '5'"));
    EXPECT_TRUE(TraceHas("UI_SPI_EI_CFGDLG_ADV_SET EnqCallMode '1'"));
}

TEST_F(SetupTest, APortChangeWhileTheLineIsOpenAsksForARestart) {
    ASSERT_EQ(OpenLine(), 0);
    BasicConfig port;
    port.port = "COM2";
    Exchange(EncodeBasic(CMD_PORT_SET, port));
    EXPECT_EQ(ProviderValue("Provider", "Port"), "COM2");
    EXPECT_TRUE(TraceHas(" Rcv Port 'COM2'"));
    ASSERT_EQ(CountLineEvents(LINE_LINEDEVSTATE, LINEDEVSTATE_REINIT), 1);
    EXPECT_FALSE(g_tapi.lineEvents.back().hasLine);
    ASSERT_EQ(CountBoxes(kRestartBox), 1);
    EXPECT_EQ(memplat::boxes().back().caption, "Velmora 6200 SP Error");
    // The running worker keeps its port; the provider's dialog shows the new one.
    BasicConfig shown;
    ASSERT_TRUE(DecodeBasic(Exchange(EncodeBasic(CMD_BASIC_GET, {}), OBJECT_PROVIDER), &shown));
    EXPECT_EQ(shown.port, "COM2");
    EXPECT_EQ(TextOf(g_line.PortName), "COM1");
    EXPECT_TRUE(memplat::port_is_open("COM1"));

    ASSERT_EQ(CloseLine(), 0);
    EXPECT_EQ(OpenLine(), static_cast<LONG>(LINEERR_REINIT));
    EXPECT_EQ(OpenPhone(), static_cast<LONG>(PHONEERR_REINIT));
}

TEST_F(SetupTest, APortChangeWithNothingOpenIsTakenByTheNextOpen) {
    memplat::port_add("COM2");
    BasicConfig port;
    port.port = "COM2";
    Exchange(EncodeBasic(CMD_PORT_SET, port));
    EXPECT_TRUE(g_tapi.lineEvents.empty());
    EXPECT_TRUE(memplat::boxes().empty());
    ASSERT_EQ(OpenLine(), 0);
    EXPECT_TRUE(memplat::port_is_open("COM2"));
    EXPECT_FALSE(memplat::port_is_open("COM1"));
}

}  // namespace
}  // namespace zq::test
