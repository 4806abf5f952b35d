// The shipped libzq_6232.so, loaded as the telephony service loads a
// provider and driven only through its exports, on the POSIX backend: the
// prefix is a temporary folder and COM1 a pseudo-terminal.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <string>
#include <thread>

#include "provider_library.h"
#include "zq/tapi.h"

namespace {

using zq::test::ProviderLibrary;

namespace fs = std::filesystem;

std::vector<std::pair<DRV_REQUESTID, LONG>> g_completions;
std::atomic<int> g_lineCloses{0};
void CALLBACK OnCompletion(DRV_REQUESTID id, LONG result) {
    g_completions.emplace_back(id, result);
}
void CALLBACK OnLineEvent(HTAPILINE, HTAPICALL, DWORD msg, DWORD_PTR, DWORD_PTR, DWORD_PTR) {
    if (msg == LINE_CLOSE)
        ++g_lineCloses;
}

std::string ReadAll(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class LibraryTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/zqlib-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        prefix = tmpl;
        setenv("ZQ_PREFIX", prefix.c_str(), 1);
        master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(master, 0);
        ASSERT_EQ(grantpt(master), 0);
        ASSERT_EQ(unlockpt(master), 0);
        fs::create_directories(prefix / "dosdevices");
        fs::create_symlink(ptsname(master), prefix / "dosdevices" / "com1");
        // Settings as an administrator would leave them, in the hive format.
        fs::create_directories(prefix / "registry");
        std::ofstream hive(prefix / "registry" / "hklm.reg");
        hive << "ZQREG 1\n[SOFTWARE\\\\Velmora\\\\TSpi_6200\\\\Provider]\n\"Port\"=sz:\"COM1\"\n"
                "\"Speed\"=sz:\"9600\"\n[SOFTWARE\\\\Velmora\\\\TSpi_6200\\\\Debug_Mode]\n\"DebugOutput\"=sz:"
                "\"3\"\n";
    }
    void TearDown() override {
        x.Unload();
        if (master >= 0)
            close(master);
        std::error_code ec;
        fs::remove_all(prefix, ec);
    }
    void Init() {
        DWORD options = 0;
        ASSERT_EQ(x.init(0x20000, 4, 0, 0, 1, 1, OnCompletion, &options), 0);
    }
    LONG OpenLine(HDRVLINE* hdLine) {
        return x.lineOpen(0, reinterpret_cast<HTAPILINE>(1), hdLine, 0x20000, OnLineEvent);
    }
    // Both trace files: the trace goes on in the second after 2000 lines.
    std::string Trace() const {
        const fs::path dir = prefix / "windows" / "spitrace";
        return ReadAll(dir / "tsptrac0.tr") + ReadAll(dir / "tsptrac1.tr");
    }
    void Load() {
        std::string error;
        ASSERT_TRUE(x.Load(ZQ_LIBRARY_PATH, &error)) << error;
    }

    fs::path prefix;
    int master = -1;
    ProviderLibrary x;
};

TEST_F(LibraryTest, ExportsEveryProviderEntryPoint) {
    Load();
    for (const char* name : {"TSPI_providerInstall",
                             "TSPI_providerRemove",
                             "TSPI_providerConfig",
                             "TSPI_providerEnumDevices",
                             "TSPI_providerInit",
                             "TSPI_providerShutdown",
                             "TSPI_providerFreeDialogInstance",
                             "TSPI_lineOpen",
                             "TSPI_lineClose",
                             "TSPI_phoneOpen",
                             "TSPI_phoneClose",
                             "TSPI_lineGetCallInfo",
                             "TSPI_lineGetDevCaps",
                             "TSPI_lineGetAddressCaps",
                             "TSPI_lineGetAddressStatus",
                             "TSPI_lineGetLineDevStatus",
                             "TSPI_lineGetCallStatus",
                             "TSPI_lineGetID",
                             "TSPI_lineGetNumAddressIDs",
                             "TSPI_lineGetAddressID",
                             "TSPI_lineGetCallAddressID",
                             "TSPI_lineSetAppSpecific",
                             "TSPI_lineSetMediaMode",
                             "TSPI_lineSetDefaultMediaDetection",
                             "TSPI_lineConditionalMediaDetection",
                             "TSPI_lineSetStatusMessages",
                             "TSPI_lineNegotiateTSPIVersion",
                             "TSPI_lineNegotiateExtVersion",
                             "TSPI_lineAnswer",
                             "TSPI_lineDrop",
                             "TSPI_lineHold",
                             "TSPI_lineUnhold",
                             "TSPI_phoneGetDevCaps",
                             "TSPI_phoneGetLamp",
                             "TSPI_phoneGetButtonInfo",
                             "TSPI_phoneGetStatus",
                             "TSPI_phoneGetHookSwitch",
                             "TSPI_phoneGetRing",
                             "TSPI_phoneGetGain",
                             "TSPI_phoneGetVolume",
                             "TSPI_phoneSetStatusMessages",
                             "TSPI_phoneSelectExtVersion",
                             "TSPI_phoneNegotiateTSPIVersion",
                             "TSPI_phoneNegotiateExtVersion",
                             "TSPI_lineMakeCall",
                             "TSPI_lineDial",
                             "TSPI_lineGenerateDigits",
                             "TSPI_lineGenerateTone",
                             "TSPI_lineCloseCall",
                             "TSPI_lineBlindTransfer",
                             "TSPI_lineSetupTransfer",
                             "TSPI_lineCompleteTransfer",
                             "TSPI_lineSetupConference",
                             "TSPI_lineAddToConference",
                             "TSPI_linePrepareAddToConference",
                             "TSPI_lineRemoveFromConference",
                             "TSPI_lineForward",
                             "TSPI_linePickup",
                             "TSPI_phoneGetDisplay",
                             "TSPI_phoneSetButtonInfo",
                             "TSPI_phoneSetHookSwitch",
                             "TSPI_phoneDevSpecific",
                             "TSPI_phoneGetData",
                             "TSPI_phoneGetExtensionID",
                             "TSPI_phoneGetIcon",
                             "TSPI_phoneGetID",
                             "TSPI_phoneSetData",
                             "TSPI_phoneSetDisplay",
                             "TSPI_phoneSetGain",
                             "TSPI_phoneSetLamp",
                             "TSPI_phoneSetRing",
                             "TSPI_phoneSetVolume",
                             "TSPI_providerUIIdentify",
                             "TSPI_providerGenericDialogData",
                             "TUISPI_lineConfigDialog",
                             "TUISPI_phoneConfigDialog",
                             "TUISPI_providerConfig",
                             "TUISPI_providerInstall",
                             "TUISPI_providerRemove",
                             "TUISPI_providerGenericDialog",
                             "TUISPI_providerGenericDialogData"})
        EXPECT_NE(dlsym(x.handle, name), nullptr) << name;
    // Nothing of the provider's own code is visible.
    EXPECT_EQ(dlsym(x.handle, "_ZN2zq13WAITLINEMUTEXEv"), nullptr);
}

TEST_F(LibraryTest, OpensTheLineOnAPseudoTerminalAndWritesItsTrace) {
    Load();
    DWORD lines = 0, phones = 0, options = 0;
    ASSERT_EQ(x.enumDevices(4, &lines, &phones, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(lines, 1u);
    ASSERT_EQ(x.init(0x20000, 4, 0, 0, 1, 1, OnCompletion, &options), 0);
    HDRVLINE hdLine = nullptr;
    ASSERT_EQ(x.lineOpen(0, reinterpret_cast<HTAPILINE>(1), &hdLine, 0x20000, OnLineEvent), 0);
    ASSERT_NE(hdLine, nullptr);
    EXPECT_EQ(x.lineClose(hdLine), 0);
    EXPECT_EQ(x.shutdown(0x20000, 4), 0);

    const std::string trace = ReadAll(prefix / "windows" / "spitrace" / "tsptrac0.tr");
    EXPECT_NE(trace.find("TSP VELMORA 6200 DebugFile - date: "), std::string::npos);
    EXPECT_NE(trace.find("* OutputTraceMode:3 *"), std::string::npos);
    EXPECT_NE(trace.find("SerialOpenComms (COM1,9600)"), std::string::npos);
    EXPECT_NE(trace.find("Wait Thread serial Ready OK"), std::string::npos);
    EXPECT_NE(trace.find("Final return Serial Thread"), std::string::npos);
}

TEST_F(LibraryTest, AMissingPortFailsTheOpenWithABox) {
    fs::remove(prefix / "dosdevices" / "com1");
    Load();
    DWORD options = 0;
    ASSERT_EQ(x.init(0x20000, 4, 0, 0, 1, 1, OnCompletion, &options), 0);
    HDRVLINE hdLine = nullptr;
    EXPECT_EQ(x.lineOpen(0, reinterpret_cast<HTAPILINE>(1), &hdLine, 0x20000, OnLineEvent),
              static_cast<LONG>(LINEERR_ALLOCATED));
    // The worker shows the box after the open has returned; shutting down
    // waits for it.
    x.shutdown(0x20000, 4);
    const std::string boxes = ReadAll(prefix / "windows" / "messages.log");
    EXPECT_NE(boxes.find("Serial Port Problem - Check it and try again"), std::string::npos);
}

// TAPI does not close a line whose open failed; the shutdown that follows
// gives the line mutex back, so the next start is not held up by it.
TEST_F(LibraryTest, AShutdownAfterAFailedOpenLeavesTheLineMutexFree) {
    fs::remove(prefix / "dosdevices" / "com1");
    Load();
    Init();
    HDRVLINE hdLine = nullptr;
    ASSERT_EQ(OpenLine(&hdLine), static_cast<LONG>(LINEERR_ALLOCATED));
    ASSERT_EQ(x.shutdown(0x20000, 4), 0);

    fs::create_symlink(ptsname(master), prefix / "dosdevices" / "com1");
    Init();
    const auto start = std::chrono::steady_clock::now();
    LONG opened = std::async(std::launch::async, [&] { return OpenLine(&hdLine); }).get();
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(opened, 0);
    EXPECT_LT(took, std::chrono::seconds(5));
    EXPECT_EQ(std::async(std::launch::async, [&] { return x.lineClose(hdLine); }).get(), 0);
    x.shutdown(0x20000, 4);
    EXPECT_EQ(Trace().find("WAITLINEMUTEX PRB"), std::string::npos);
}

// The line is closed while the worker shows the hardware box: the close
// gives up waiting, and the worker keeps the port until the user answers.
// A reopen meanwhile cannot have the port; once the box is closed the old
// worker closes its port and tells nobody anything, and the line opens.
TEST_F(LibraryTest, AReopenGetsThePortOnceTheOldWorkersBoxIsClosed) {
    // The first box stays up until the test releases it; later ones close
    // at once.
    const fs::path script = prefix / "box.sh";
    std::ofstream(script) << "#!/bin/sh\ncd '" << prefix.string()
                          << "'\n[ -e box-up ] && exit 0\ntouch box-up\n"
                             "while [ ! -e box-release ]; do sleep 0.05; done\n";
    fs::permissions(script, fs::perms::owner_all);
    setenv("ZQ_MESSAGE_BOX", script.c_str(), 1);
    g_lineCloses = 0;
    Load();
    Init();
    HDRVLINE hdLine = nullptr;
    ASSERT_EQ(OpenLine(&hdLine), 0);
    // Nothing answers on the terminal: the link is lost after 6.1 s.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!fs::exists(prefix / "box-up") && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(fs::exists(prefix / "box-up"));

    EXPECT_EQ(x.lineClose(hdLine), 0);
    EXPECT_NE(Trace().find("StopSerialThread Prb WAIT_TIMEOUT SerialThread"), std::string::npos);
    EXPECT_EQ(OpenLine(&hdLine), static_cast<LONG>(LINEERR_ALLOCATED));

    std::ofstream(prefix / "box-release").put('\n');
    const auto ended = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (Trace().find(" Serial Thread replaced - closes its own hcd") == std::string::npos &&
           std::chrono::steady_clock::now() < ended)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(OpenLine(&hdLine), 0);
    EXPECT_EQ(x.lineClose(hdLine), 0);
    x.shutdown(0x20000, 4);
    unsetenv("ZQ_MESSAGE_BOX");
    EXPECT_EQ(g_lineCloses.load(), 0);
    EXPECT_EQ(ReadAll(prefix / "registry" / "hklm.reg").find("failed :V24 Trouble"), std::string::npos);
}

}  // namespace
