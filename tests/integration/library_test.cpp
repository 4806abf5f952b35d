// The shipped libzq_6232.so, loaded as the telephony service loads a
// provider and driven only through its exports, on the POSIX backend: the
// prefix is a temporary folder and COM1 a pseudo-terminal.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "provider_library.h"
#include "zq/tapi.h"

namespace {

using zq::test::ProviderLibrary;

namespace fs = std::filesystem;

std::vector<std::pair<DRV_REQUESTID, LONG>> g_completions;
void CALLBACK OnCompletion(DRV_REQUESTID id, LONG result) {
    g_completions.emplace_back(id, result);
}
void CALLBACK OnLineEvent(HTAPILINE, HTAPICALL, DWORD, DWORD_PTR, DWORD_PTR, DWORD_PTR) {}

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
    for (const char* name :
         {"TSPI_providerInstall", "TSPI_providerRemove", "TSPI_providerConfig", "TSPI_providerEnumDevices",
          "TSPI_providerInit", "TSPI_providerShutdown", "TSPI_providerFreeDialogInstance", "TSPI_lineOpen",
          "TSPI_lineClose", "TSPI_phoneOpen", "TSPI_phoneClose"})
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

}  // namespace
