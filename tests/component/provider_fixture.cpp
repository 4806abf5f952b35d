#include "provider_fixture.h"

#include <sstream>

#include "callmodel/calls.h"
#include "core/lifecycle.h"
#include "core/trace.h"
#include "link/serial_link.h"
#include "link/setconfig.h"
#include "zq/tapi_words.h"

namespace zq::test {

TapiRecorder g_tapi;

void CALLBACK RecordLineEvent(HTAPILINE htLine, HTAPICALL htCall, DWORD dwMsg, DWORD_PTR p1, DWORD_PTR p2,
                              DWORD_PTR p3) {
    g_tapi.lineEvents.push_back({dwMsg, p1, p2, p3, htLine != nullptr, reinterpret_cast<uintptr_t>(htCall)});
    if (dwMsg == LINE_NEWCALL && p2 != 0)
        *reinterpret_cast<HTAPICALL*>(p2) = reinterpret_cast<HTAPICALL>(kCallHandleBase + p1);
}

std::vector<std::string> EventWords() {
    std::vector<std::string> words;
    for (const LineEventRecord& e : g_tapi.lineEvents) {
        const int call = e.htCall != 0 ? static_cast<int>(e.htCall - kCallHandleBase) : -1;
        words.push_back(words::LineEvent(call, e.msg, e.param1, e.param2));
    }
    for (const auto& [p1, p2] : g_tapi.phoneStates)
        words.push_back(words::PhoneState(p1, p2));
    return words;
}

void CALLBACK RecordCompletion(DRV_REQUESTID id, LONG result) {
    g_tapi.completions.push_back({id, result});
}

void CALLBACK RecordPhoneEvent(HTAPIPHONE, DWORD dwMsg, DWORD_PTR p1, DWORD_PTR p2, DWORD_PTR) {
    g_tapi.phoneEvents.push_back(dwMsg);
    if (dwMsg == PHONE_STATE)
        g_tapi.phoneStates.emplace_back(static_cast<uint32_t>(p1), static_cast<uint32_t>(p2));
}

void PutProviderValue(std::string_view subkey, std::string_view name, std::string_view value) {
    memplat::reg_put_string(plat::RegRoot::LocalMachine,
                            std::string(kProviderKey) + "\\" + std::string(subkey), name, value);
}

std::optional<std::string> ProviderValue(std::string_view subkey, std::string_view name) {
    return memplat::reg_get_string(plat::RegRoot::LocalMachine,
                                   std::string(kProviderKey) + "\\" + std::string(subkey), name);
}

std::vector<std::string> TraceMessages() {
    std::vector<std::string> out;
    for (const char* path : {kTrace0, kTrace1}) {
        const std::optional<std::string> text = memplat::file_text(path);
        if (!text)
            continue;
        std::istringstream in(*text);
        std::string line;
        while (std::getline(in, line)) {
            const size_t space = line.find(' ');
            out.push_back(space == std::string::npos ? line : line.substr(space + 1));
        }
    }
    return out;
}

int TraceCount(std::string_view message) {
    int n = 0;
    for (const std::string& m : TraceMessages())
        n += m == message ? 1 : 0;
    return n;
}

bool TraceHas(std::string_view message) {
    return TraceCount(message) > 0;
}

void FreshProcess() {
    g_line = LineRecord{};
    g_set = SetTables{};
    g_lineSettings = LineSettings{};
    g_dl = DownloadState{};
    g_calls = CallMarkers{};
    g_display = DisplayState{};
}

void ProviderTest::SetUp() {
    FreshProcess();
    memplat::reset();
    memplat::port_add("COM1");
    g_tapi = TapiRecorder{};
    PutProviderValue("Provider", "Port", "COM1");
    PutProviderValue("Provider", "Speed", "9600");
    PutProviderValue("Debug_Mode", "DebugOutput", "127");
}

void ProviderTest::Attach() {
    TraceResetForTest(0);
    ProviderAttach(this);
    attached = true;
}

void ProviderTest::TearDown() {
    if (g_provider.serialThread != nullptr)
        TSPI_lineClose(LineHandle());
    if (attached) {
        TSPI_providerShutdown(0x20000, 1);
        ProviderDetach();
        attached = false;
    }
    g_provider.openCount = 0;
    g_provider.reinitRequired = false;
    TraceResetForTest(0);
}

void ProviderTest::Init() {
    if (!attached)
        Attach();
    DWORD lines = 0, phones = 0, options = 0;
    ASSERT_EQ(
        TSPI_providerEnumDevices(1, &lines, &phones, reinterpret_cast<HPROVIDER>(0x55), nullptr, nullptr), 0);
    ASSERT_EQ(TSPI_providerInit(0x20000, 1, 0, 0, 1, 1, RecordCompletion, &options), 0);
}

LONG ProviderTest::OpenPhone() {
    return TSPI_phoneOpen(0, reinterpret_cast<HTAPIPHONE>(0x77), &openedPhone, 0x20000, RecordPhoneEvent);
}

LONG ProviderTest::OpenLine() {
    return TSPI_lineOpen(0, reinterpret_cast<HTAPILINE>(0x1234), &hdLine, 0x20000, RecordLineEvent);
}

LONG ProviderTest::CloseLine() {
    return TSPI_lineClose(LineHandle());
}

}  // namespace zq::test
