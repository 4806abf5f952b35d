// Assisted telephony between two processes through libzqtapi.so: a
// recipient registered here, tapiRequestMakeCallA in a child process, the
// request taken after the library's event descriptor became readable.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "zq/tapi.h"
#include "zq/zqtapi.h"

namespace {

TEST(RequestSocket, MakeCallFromAnotherProcess) {
    char prefix[] = "/tmp/zqtapi-socket-XXXXXX";
    ASSERT_NE(mkdtemp(prefix), nullptr);
    setenv("ZQ_PREFIX", prefix, 1);
    setenv("ZQTAPI_PROVIDER", ZQ_PROVIDER_PATH, 1);
    const std::string socketPath = std::string(prefix) + "/run/tapi-requests";

    // The sender forks before this process starts any thread.
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        char c = 0;
        const bool started = read(go[0], &c, 1) == 1;
        _exit(started && tapiRequestMakeCallA("0612345678", "Mail", "Bob", "lunch") == 0 ? 0 : 1);
    }

    HLINEAPP app = 0;
    DWORD devices = 0, version = 0x00020000;
    LINEINITIALIZEEXPARAMS params{};
    params.dwTotalSize = sizeof params;
    params.dwOptions = LINEINITIALIZEEXOPTION_USEEVENT;
    ASSERT_EQ(lineInitializeExA(&app, nullptr, nullptr, "socket test", &devices, &version, &params), 0);
    const int fd = zqtapiEventFd(app);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(reinterpret_cast<intptr_t>(params.Handles.hEvent), fd);
    ASSERT_EQ(lineRegisterRequestRecipient(app, 3, LINEREQUESTMODE_MAKECALL, 1), 0);
    struct stat st {};
    ASSERT_EQ(stat(socketPath.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    ASSERT_EQ(write(go[1], "g", 1), 1);
    pollfd readable{fd, POLLIN, 0};
    ASSERT_EQ(poll(&readable, 1, 10000), 1);
    LINEMESSAGE message{};
    ASSERT_EQ(lineGetMessage(app, &message, 0), 0);
    EXPECT_EQ(message.dwMessageID, static_cast<DWORD>(LINE_REQUEST));
    EXPECT_EQ(message.dwCallbackInstance, 3u);
    EXPECT_EQ(poll(&readable, 1, 0), 0);  // nothing more queued
    LINEREQMAKECALL request{};
    ASSERT_EQ(lineGetRequestA(app, LINEREQUESTMODE_MAKECALL, &request), 0);
    EXPECT_STREQ(request.szDestAddress, "0612345678");
    EXPECT_STREQ(request.szAppName, "Mail");
    EXPECT_STREQ(request.szCalledParty, "Bob");
    EXPECT_STREQ(request.szComment, "lunch");
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    ASSERT_EQ(lineRegisterRequestRecipient(app, 3, LINEREQUESTMODE_MAKECALL, 0), 0);
    EXPECT_NE(stat(socketPath.c_str(), &st), 0);
    EXPECT_EQ(tapiRequestMakeCallA("0612345678", "", "", ""), TAPIERR_NOREQUESTRECIPIENT);
    EXPECT_EQ(lineShutdown(app), 0);
    EXPECT_EQ(zqtapiEventFd(app), -1);
    std::filesystem::remove_all(prefix);
}

// A recipient that ends without lineShutdown ends normally.
TEST(RequestSocket, ARecipientExitingWithoutShutdownEndsNormally) {
    char prefix[] = "/tmp/zqtapi-socket-XXXXXX";
    ASSERT_NE(mkdtemp(prefix), nullptr);
    setenv("ZQ_PREFIX", prefix, 1);
    setenv("ZQTAPI_PROVIDER", ZQ_PROVIDER_PATH, 1);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        HLINEAPP app = 0;
        DWORD devices = 0, version = 0x00020000;
        LINEINITIALIZEEXPARAMS params{};
        params.dwTotalSize = sizeof params;
        params.dwOptions = LINEINITIALIZEEXOPTION_USEEVENT;
        const bool registered =
            lineInitializeExA(&app, nullptr, nullptr, "exit test", &devices, &version, &params) == 0 &&
            lineRegisterRequestRecipient(app, 0, LINEREQUESTMODE_MAKECALL, 1) == 0;
        std::exit(registered ? 0 : 2);
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    std::filesystem::remove_all(prefix);
}

// The shipped provider registered through the library: its installation
// (the setup dialog, cancelled at the end of the input) says yes, it is
// listed once, the next application loads it from the list, and once
// removed it is gone.
TEST(ProviderList, InstalledListedLoadedAndRemoved) {
    char prefix[] = "/tmp/zqtapi-providers-XXXXXX";
    ASSERT_NE(mkdtemp(prefix), nullptr);
    setenv("ZQ_PREFIX", prefix, 1);
    unsetenv("ZQTAPI_PROVIDER");
    ASSERT_NE(std::freopen("/dev/null", "r", stdin), nullptr);
    const DWORD version = 0x00020000;
    LINEINITIALIZEEXPARAMS params{};
    params.dwTotalSize = sizeof params;
    params.dwOptions = LINEINITIALIZEEXOPTION_USEEVENT;
    HLINEAPP app = 0;
    DWORD devices = 0, apiVersion = version;
    EXPECT_EQ(lineInitializeExA(&app, nullptr, nullptr, "list test", &devices, &apiVersion, &params),
              static_cast<LONG>(LINEERR_NODRIVER));

    DWORD id = 0;
    ASSERT_EQ(lineAddProviderA(ZQ_PROVIDER_PATH, nullptr, &id), 0);
    EXPECT_EQ(id, 1u);
    EXPECT_EQ(lineAddProviderA(ZQ_PROVIDER_PATH, nullptr, &id),
              static_cast<LONG>(LINEERR_NOMULTIPLEINSTANCE));
    std::vector<uint8_t> buffer(512);
    auto* list = reinterpret_cast<LPLINEPROVIDERLIST>(buffer.data());
    list->dwTotalSize = static_cast<DWORD>(buffer.size());
    ASSERT_EQ(lineGetProviderListA(version, list), 0);
    ASSERT_EQ(list->dwNumProviders, 1u);
    LINEPROVIDERENTRY entry{};
    std::memcpy(&entry, buffer.data() + list->dwProviderListOffset, sizeof entry);
    EXPECT_EQ(entry.dwPermanentProviderID, 1u);
    EXPECT_STREQ(reinterpret_cast<const char*>(buffer.data() + entry.dwProviderFilenameOffset),
                 ZQ_PROVIDER_PATH);

    ASSERT_EQ(lineInitializeExA(&app, nullptr, nullptr, "list test", &devices, &apiVersion, &params), 0);
    EXPECT_EQ(devices, 1u);
    EXPECT_EQ(lineShutdown(app), 0);

    ASSERT_EQ(lineRemoveProvider(id, nullptr), 0);
    EXPECT_EQ(lineRemoveProvider(id, nullptr), static_cast<LONG>(LINEERR_INVALPARAM));
    ASSERT_EQ(lineGetProviderListA(version, list), 0);
    EXPECT_EQ(list->dwNumProviders, 0u);
    EXPECT_EQ(lineInitializeExA(&app, nullptr, nullptr, "list test", &devices, &apiVersion, &params),
              static_cast<LONG>(LINEERR_NODRIVER));
    // The next provider gets a new identifier.
    ASSERT_EQ(lineAddProviderA(ZQ_PROVIDER_PATH, nullptr, &id), 0);
    EXPECT_EQ(id, 2u);
    std::filesystem::remove_all(prefix);
}

}  // namespace
