// The worker's 100 ms tick: reading, polling, recovery of a lost link, the
// waits for trace mode and configuration, and the supervision boxes.
#pragma once

#include <cstdint>
#include <string_view>

namespace zq {

inline constexpr int POLL_PERIOD_START = 30;
inline constexpr int POLL_PERIOD_CONFIGURED = 160;
inline constexpr int TRACE_WAIT_LIMIT = 250;

struct Supervision {
    int pollCounter = 0;
    int pollPeriod = POLL_PERIOD_START;
    int configWaitCount = 0;
    bool traceWaitArmed = false;
    int traceWaitCount = 0;
    int traceWaitLimit = TRACE_WAIT_LIMIT;
    bool stoppedConfigError = false;
    bool stoppedNoConfig = false;
    bool linkLossEpisode = false;
    bool blockedBoxShown = false;  // "Serial Port blocked", once per episode
    bool setDataPending = true;
    bool stringDefError = false;
    bool deferredMakeCall = false;
    int crefRequestMakeCall = -1;
    bool progressReport = false;
    int progressCref = -1;
    bool proceedingWatch = false;
    int proceedingCount = 0;
    bool softKeyRelease = false;
    int softKeyCount = 0;
    int IncomingCref = -1;
    int OfferWaitCount = 0;
    int FwdGuard = 0;
};

extern Supervision g_superv;

inline constexpr int CONFIG_WAIT_ASSOC_LIMIT = 90;
inline constexpr int CONFIG_WAIT_LIMIT = 140;
inline constexpr int LINK_LOSS_MARGIN = 30;
inline constexpr int INACTIVITY_LIMIT = 4;
inline constexpr int HOLDOFF_LIMIT = 50;
inline constexpr int PROCEEDING_LIMIT = 20;
inline constexpr int SOFTKEY_RELEASE_LIMIT = 40;
inline constexpr int OFFER_WAIT_LIMIT = 10;
inline constexpr int FWD_GUARD_TICKS = 15;

void ResetLinkState();
void SerialTimerProc();
// The provider's modal error box, titled "Velmora 6200 SP Error".
int ErrorBox(std::string_view text);
// The two supervision boxes; both give the line mutex back while shown.
// A worker forgotten while its box was up must end its tick at once
// (WorkerReplaced).
int DoV24Trouble();
int DoNoDynConf();
// Writes the result of the set configuration download ("LastAction").
void RecordLastAction(std::string_view text);

}  // namespace zq
