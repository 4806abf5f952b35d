// The whole start against the simulated adapter and PBX: the opening
// sequence, the configuration download and the line in service.
#include "core/config.h"
#include "link/receive.h"
#include "link/setconfig.h"
#include "provider_fixture.h"
#include "superv_support.h"

namespace zq::test {
namespace {

using StartTest = ProviderTest;

TEST_F(StartTest, TheDefaultSetIsDownloadedAndTheLineGoesInService) {
    Init();
    SimWire wire(sim::default_set());
    ASSERT_EQ(OpenLine(), 0);
    const int ticks = wire.TicksUntil([] { return g_dl.ConfigComplete; }, 200);
    ASSERT_GE(ticks, 0) << "download not complete";
    EXPECT_TRUE(g_rx.traceModeSeen);
    EXPECT_EQ(g_line.lineDevState, 2);
    bool inService = false;
    for (const auto& e : g_tapi.lineEvents)
        inService = inService || (e.msg == LINE_LINEDEVSTATE &&
                                  e.param1 == (LINEDEVSTATE_CONNECTED | LINEDEVSTATE_INSERVICE));
    EXPECT_TRUE(inService);
    EXPECT_EQ(ProviderValue("Dynamic_Set_Conf", "LastAction"), "success");
    EXPECT_GT(g_line.lists.MultiLineKeys.count, 0);
    RecordProperty("ticks", ticks);
}

}  // namespace
}  // namespace zq::test
