// Loading, initialising, opening and closing the provider, the worker thread
// and the line mutex, as TAPI and the user see them.
#include <functional>
#include <thread>

#include "core/config.h"
#include "core/lifecycle.h"
#include "core/trace.h"
#include "link/serial_link.h"
#include "provider_fixture.h"

namespace zq::test {
namespace {

using LifecycleTest = ProviderTest;

TEST_F(LifecycleTest, EnumDevicesAlwaysReportsOneLineAndOnePhone) {
    Attach();
    struct Case {
        DWORD lines, phones;
    };
    for (const Case c : {Case{0, 0}, Case{5, 7}, Case{0xFFFFFFFF, 1}}) {
        DWORD lines = c.lines, phones = c.phones;
        EXPECT_EQ(TSPI_providerEnumDevices(9, &lines, &phones, nullptr, nullptr, nullptr), 0);
        EXPECT_EQ(lines, 1u);
        EXPECT_EQ(phones, 1u);
    }
    EXPECT_EQ(TSPI_providerEnumDevices(9, nullptr, nullptr, nullptr, nullptr, nullptr), 0);
    EXPECT_TRUE(TraceHas("TSPI_providerEnumDevices ppID 9,lines 5 phones 7)"));
}

TEST_F(LifecycleTest, InitDeclaresNonReentrantAndLoadsThePort) {
    PutProviderValue("Provider", "Speed", "19200");
    Attach();
    DWORD options = 0;
    ASSERT_EQ(TSPI_providerInit(0x20000, 3, 7, 8, 1, 1, RecordCompletion, &options), 0);
    EXPECT_EQ(options, static_cast<DWORD>(LINETSPIOPTION_NONREENTRANT));
    EXPECT_EQ(TextOf(g_line.PortName), "COM1");
    EXPECT_EQ(TextOf(g_line.Speed), "19200");
    EXPECT_EQ(g_line.dwDeviceID, 7u);
    EXPECT_EQ(g_line.dwPhoneDeviceID, 8u);
    EXPECT_EQ(g_line.lineDevState, 1);
    EXPECT_EQ(g_line.dial.DialPause, 2000u);
    EXPECT_EQ(g_line.dial.WaitForDialtone, 60000u);
    EXPECT_TRUE(TraceHas("TSPI_providerInit(20000,3,7,8,1,1," +
                         FormatTrace("%lx", std::array{TraceArg(RecordCompletion)}) + ")"));
    EXPECT_TRUE(TraceHas("LoadIniStrings port 'COM1' speed '19200'"));
    EXPECT_TRUE(TraceHas("LoadIniStrings linename 'VELMORA_ZQ_6200' lineaddr ''"));
}

TEST_F(LifecycleTest, OpenStartsTheWorkerOnTheConfiguredPortAndCloseStopsIt) {
    Init();
    ASSERT_EQ(OpenLine(), 0);
    EXPECT_EQ(hdLine, LineHandle());
    EXPECT_TRUE(memplat::port_is_open("COM1"));
    EXPECT_TRUE(memplat::port_rts("COM1"));
    EXPECT_EQ(memplat::port_settings("COM1").baud, 9600u);
    EXPECT_TRUE(memplat::timer_running());
    EXPECT_TRUE(memplat::run_ticks(3));
    EXPECT_TRUE(TraceHas("Wait Thread serial Ready OK"));
    EXPECT_TRUE(TraceHas("SerialOpenComms (COM1,9600)"));

    ASSERT_EQ(CloseLine(), 0);
    EXPECT_FALSE(memplat::port_is_open("COM1"));
    EXPECT_FALSE(memplat::timer_running());
    EXPECT_EQ(g_provider.serialThread, nullptr);
    EXPECT_TRUE(TraceHas("StopSerialThread Request"));
    EXPECT_TRUE(TraceHas("Final return Serial Thread hcd 0"));
    EXPECT_FALSE(TraceHas("REL_LINE_MUTEX PRB 120"));
}

TEST_F(LifecycleTest, BadDeviceIdentifiersAreRefusedWithoutTouchingState) {
    Init();
    HDRVPHONE hdPhone = nullptr;
    EXPECT_EQ(TSPI_lineOpen(5, nullptr, &hdLine, 0x20000, RecordLineEvent),
              static_cast<LONG>(LINEERR_BADDEVICEID));
    EXPECT_EQ(TSPI_phoneOpen(5, nullptr, &hdPhone, 0x20000, RecordPhoneEvent),
              static_cast<LONG>(PHONEERR_BADDEVICEID));
    EXPECT_EQ(g_provider.openCount, 0);
    EXPECT_EQ(g_provider.serialThread, nullptr);
    EXPECT_EQ(hdLine, nullptr);
    EXPECT_EQ(g_line.lpfnEventProc, nullptr);
    EXPECT_FALSE(memplat::port_is_open("COM1"));
}

TEST_F(LifecycleTest, ClosingAnUnknownHandleIsRefused) {
    Init();
    EXPECT_EQ(TSPI_lineClose(reinterpret_cast<HDRVLINE>(0x10)), static_cast<LONG>(LINEERR_INVALLINEHANDLE));
    EXPECT_EQ(TSPI_phoneClose(reinterpret_cast<HDRVPHONE>(0x10)),
              static_cast<LONG>(PHONEERR_INVALPHONEHANDLE));
}

TEST_F(LifecycleTest, ReopenStartsFromACleanRecordAndReloadsTheConfiguration) {
    Init();
    ASSERT_EQ(OpenLine(), 0);
    ASSERT_EQ(CloseLine(), 0);
    g_line.calls.Touch[4] = 12;
    g_line.calls.lineCallState[4] = 0x100;
    g_line.TouchTable[12].CrefSlot = {4, -1};
    PutProviderValue("Provider", "Speed", "19200");
    ASSERT_EQ(OpenLine(), 0);
    EXPECT_EQ(g_line.calls.Touch[4], 0u);
    EXPECT_EQ(g_line.calls.lineCallState[4], 0u);
    // Key slots hold no call until a download says otherwise.
    EXPECT_EQ(g_line.TouchTable[12].CrefSlot, (std::array<int32_t, 2>{-1, -1}));
    EXPECT_EQ(memplat::port_settings("COM1").baud, 19200u);
    EXPECT_EQ(g_line.lpfnCompletionProc, RecordCompletion);
}

TEST_F(LifecycleTest, OpeningThePhoneWhileTheLineIsOpenKeepsTheLineRunning) {
    Init();
    ASSERT_EQ(OpenLine(), 0);
    HDRVPHONE hdPhone = nullptr;
    EXPECT_EQ(TSPI_phoneOpen(0, reinterpret_cast<HTAPIPHONE>(0x77), &hdPhone, 0x20000, RecordPhoneEvent), 0);
    EXPECT_EQ(hdPhone, PhoneHandle());
    EXPECT_EQ(g_line.lpfnEventProc, RecordLineEvent);
    EXPECT_EQ(g_line.lpfnPhoneEventProc, RecordPhoneEvent);
    EXPECT_TRUE(memplat::port_is_open("COM1"));
    EXPECT_EQ(TSPI_phoneClose(hdPhone), 0);
    EXPECT_FALSE(g_line.phoneOpen);
    EXPECT_FALSE(memplat::port_is_open("COM1"));
}

// Closing one device stops the worker; opening it again starts from a clean
// record, but the device still open keeps hearing its events. The writes
// to a running worker's record are made under the line mutex, and only
// what was taken is released.
TEST_F(LifecycleTest, ReopeningOneDeviceKeepsTheOtherDevicesEvents) {
    const auto openPhone = [] {
        HDRVPHONE h = nullptr;
        return TSPI_phoneOpen(0, reinterpret_cast<HTAPIPHONE>(0x77), &h, 0x20000, RecordPhoneEvent);
    };
    struct Case {
        const char* name;
        std::function<LONG()> openKept, openCycled;
        std::function<LONG()> closeCycled;
    };
    const Case cases[] = {
        {"phone kept", openPhone, [&] { return OpenLine(); }, [&] { return CloseLine(); }},
        {"line kept", [&] { return OpenLine(); }, openPhone, [] { return TSPI_phoneClose(PhoneHandle()); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        Init();
        ASSERT_EQ(c.openKept(), 0);
        ASSERT_EQ(c.openCycled(), 0);
        ASSERT_EQ(c.closeCycled(), 0);
        ASSERT_EQ(c.openCycled(), 0);
        EXPECT_EQ(g_line.lpfnPhoneEventProc, RecordPhoneEvent);
        EXPECT_EQ(g_line.htPhone, reinterpret_cast<HTAPIPHONE>(0x77));
        EXPECT_TRUE(g_line.phoneOpen);
        EXPECT_EQ(g_line.lpfnEventProc, RecordLineEvent);
        EXPECT_EQ(g_line.htLine, reinterpret_cast<HTAPILINE>(0x1234));
        EXPECT_FALSE(TraceHas("REL_LINE_MUTEX PRB 120"));
        EXPECT_EQ(TSPI_phoneClose(PhoneHandle()), 0);
        EXPECT_EQ(CloseLine(), 0);
    }
}

TEST_F(LifecycleTest, AChangedPortAsksForReinitialisationUntilShutdown) {
    Init();
    g_provider.reinitRequired = true;
    HDRVPHONE hdPhone = nullptr;
    EXPECT_EQ(OpenLine(), static_cast<LONG>(LINEERR_REINIT));
    EXPECT_EQ(TSPI_phoneOpen(0, nullptr, &hdPhone, 0x20000, RecordPhoneEvent),
              static_cast<LONG>(PHONEERR_REINIT));
    EXPECT_EQ(g_provider.serialThread, nullptr);
    EXPECT_EQ(TSPI_providerShutdown(0x20000, 1), 0);
    EXPECT_FALSE(g_provider.reinitRequired);
    EXPECT_EQ(OpenLine(), 0);
}

// The worker cannot use the port: the open fails and the user is told why.
TEST_F(LifecycleTest, PortFailuresAreShownAndReported) {
    struct Case {
        uint32_t error;
        const char* box;
        LONG completion;
    };
    const Case cases[] = {
        {plat::kErrAccessDenied, "Serial Port conflict - Check it and try again\n\nAccess denied",
         static_cast<LONG>(LINEERR_ALLOCATED)},
        {plat::kErrIrqBusy, "Serial Port conflict - Check it and try again\n\nIrq Busy",
         static_cast<LONG>(LINEERR_ALLOCATED)},
        {plat::kErrGenFailure, "Serial Port Problem - Check it and try again \n\nAccess Failed",
         static_cast<LONG>(LINEERR_OPERATIONFAILED)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.box);
        TearDown();
        SetUp();
        memplat::port_set_open_error("COM1", c.error);
        Init();
        g_line.pendingReqId = 42;
        EXPECT_EQ(OpenLine(), static_cast<LONG>(LINEERR_ALLOCATED));
        CloseLine();  // waits for the worker, which shows its box after the open returned
        const auto boxes = memplat::boxes();
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].text, c.box);
        EXPECT_EQ(boxes[0].caption, "Velmora 6200 SP Error");
        EXPECT_EQ(boxes[0].flags, 0x10u | 0x1000u | 0x2000u | 0x20000u);
        ASSERT_EQ(g_tapi.completions.size(), 1u);
        EXPECT_EQ(g_tapi.completions[0].id, 42u);
        EXPECT_EQ(g_tapi.completions[0].result, c.completion);
        EXPECT_EQ(g_line.lineDevState, 0);
        EXPECT_TRUE(TraceHas("***Comm port failed to open"));
        EXPECT_TRUE(TraceHas("End TSPI_lineOpen Pb"));
        EXPECT_TRUE(TraceHas("LastError " + std::to_string(c.error)));
    }
}

// TAPI does not close a line whose open failed: the next open tries again.
TEST_F(LifecycleTest, AFailedOpenCanBeRetriedOnceThePortIsFree) {
    memplat::port_set_open_error("COM1", plat::kErrAccessDenied);
    Init();
    EXPECT_EQ(OpenLine(), static_cast<LONG>(LINEERR_ALLOCATED));
    memplat::port_set_open_error("COM1", 0);
    for (int i = 0; i < 1000 && !TraceHas("Serial Port conflict - Check it and try again\n\nAccess denied") &&
                    memplat::boxes().empty();
         ++i)
        std::this_thread::yield();
    // The worker of the failed open ends once its box is closed.
    while (plat::thread_wait(g_provider.serialThread, 10) != plat::Wait::Object0) {
    }
    EXPECT_EQ(OpenLine(), 0);
    EXPECT_TRUE(memplat::port_is_open("COM1"));
    EXPECT_EQ(CloseLine(), 0);
}

// A port name the worker cannot use: the provider initialises, the worker
// ends at once and the open gives up after its wait for the worker; a name
// that passes that check but is no COM port fails to open.
TEST_F(LifecycleTest, PortNamesOutsideCom1ToCom4FailTheOpen) {
    struct Case {
        const char* port;
        bool workerStarts;
    };
    for (const Case c : {Case{"COM5", false}, Case{"COM0", false}, Case{"NONE", false}, Case{"LPT1", true}}) {
        SCOPED_TRACE(c.port);
        TearDown();
        SetUp();
        PutProviderValue("Provider", "Port", c.port);
        Init();
        EXPECT_EQ(OpenLine(), static_cast<LONG>(LINEERR_ALLOCATED));
        EXPECT_TRUE(TraceHas("End TSPI_lineOpen Pb"));
        EXPECT_FALSE(memplat::port_is_open("COM1"));
        if (c.workerStarts) {
            // The worker shows its box after the open has returned.
            CloseLine();
            EXPECT_TRUE(TraceHas("Wait Thread serial Ready OK"));
            ASSERT_EQ(memplat::boxes().size(), 1u);
            EXPECT_EQ(memplat::boxes()[0].text,
                      "Serial Port Problem - Check it and try again \n\nAccess Failed");
        } else {
            EXPECT_TRUE(TraceHas("Wait Thread serial Ready KO 258 "));
            EXPECT_TRUE(memplat::boxes().empty());
        }
    }
}

TEST_F(LifecycleTest, APortNameThatIsNotFourCharactersShutsTheProviderDown) {
    PutProviderValue("Provider", "Port", "COM10");
    Init();
    EXPECT_TRUE(TraceHas("Pb - pas de port spécifié dans le telephon.ini -> providerconfig"));
    EXPECT_TRUE(TraceHas("Entering TSPI_providerConfig(0,1)"));
    EXPECT_TRUE(TraceHas("pas de choix à provider config -> on stoppe le SP"));
    EXPECT_TRUE(TraceHas("Entering TSPI_providerShutdown(0 1)"));
}

TEST_F(LifecycleTest, FreshMachineWritesDefaultPortAndSpeed) {
    memplat::reset();
    Init();
    EXPECT_EQ(ProviderValue("Provider", "Port"), "NONE");
    EXPECT_EQ(ProviderValue("Provider", "Speed"), "9600");
    EXPECT_EQ(ProviderValue("Debug_Mode", "DebugOutput"), "0");
}

TEST_F(LifecycleTest, LineMutexWaitResults) {
    Attach();
    EXPECT_EQ(WAITLINEMUTEX(), 0);
    EXPECT_TRUE(TraceHas("MutexLine creation"));
    EXPECT_EQ(REL_LINE_MUTEX(7), 7);

    // Held by another thread past the wait: the caller goes on without it.
    std::atomic<bool> held{false}, release{false};
    std::thread holder([&] {
        WAITLINEMUTEX();
        held = true;
        while (!release)
            std::this_thread::yield();
        REL_LINE_MUTEX(0);
    });
    while (!held)
        std::this_thread::yield();
    EXPECT_EQ(WAITLINEMUTEX(), 0x102);
    EXPECT_TRUE(TraceHas("WAITLINEMUTEX PRB WAIT_TIMEOUT"));
    // The wait took nothing, so its release gives nothing back.
    EXPECT_EQ(REL_LINE_MUTEX(0), 0);
    EXPECT_FALSE(TraceHas("REL_LINE_MUTEX PRB 120"));
    release = true;
    holder.join();

    // Its owner ended without giving it back: the next wait owns it.
    std::thread quitter([] { WAITLINEMUTEX(); });
    quitter.join();
    EXPECT_EQ(WAITLINEMUTEX(), 0x80);
    EXPECT_TRUE(TraceHas("WAITLINEMUTEX PRB WAIT_ABANDONED"));
    REL_LINE_MUTEX(0);
}

TEST_F(LifecycleTest, CloseWhileTheWorkerShowsABoxReturnsAfterItsWait) {
    std::atomic<bool> boxOpen{false}, release{false};
    memplat::set_box_handler([&](const memplat::Box&) {
        boxOpen = true;
        while (!release)
            std::this_thread::yield();
        return plat::kIdOk;
    });
    memplat::port_set_open_error("COM1", plat::kErrAccessDenied);
    Init();
    EXPECT_EQ(OpenLine(), static_cast<LONG>(LINEERR_ALLOCATED));
    while (!boxOpen)
        std::this_thread::yield();
    EXPECT_EQ(CloseLine(), 0);
    EXPECT_TRUE(TraceHas("StopSerialThread Prb WAIT_TIMEOUT SerialThread"));
    EXPECT_EQ(g_provider.serialThread, nullptr);
    release = true;
    // The line can be opened again once the port is free.
    memplat::port_set_open_error("COM1", 0);
    memplat::set_box_handler(nullptr);
    EXPECT_EQ(OpenLine(), 0);
}

}  // namespace
}  // namespace zq::test
