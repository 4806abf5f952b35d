// TAPI's side of the provider in the component tests: the TSPI request
// functions called by words ("make 2005", "drop 0", "transfer 0 1") with
// TAPI's request IDs and call handles, and what TAPI gets back for each
// request (its return value, its completion) in order with the line events.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "zq/tapi.h"

namespace zq::test {

// TAPI's handles of the calls it creates itself: a fresh one each time,
// kCallHandleBase + n * kFreshHandle + the provider's call number, so that
// the events read back with that number.
inline constexpr uintptr_t kFreshHandle = 0x100;

struct TapiRequest {
    uint32_t id;
    std::string statement;
    LONG returned;
    uintptr_t htCall = 0;  // the call a make call, setup transfer or pickup created
};

struct TapiDriver {
    HDRVLINE hdLine = nullptr;
    uint32_t lastId = 0;
    uintptr_t lastHandle = 0;
    std::vector<TapiRequest> requests;
    // The calls TAPI created itself by the number the events print, and
    // the hdCall the provider wrote.
    std::map<int, HDRVCALL> created;
    // Words that go among the event words: each after that many line
    // events.
    std::vector<std::pair<size_t, std::string>> notes;
};

extern TapiDriver g_driver;

// TAPI's completion procedure (given to TSPI_providerInit): recorded in
// g_tapi.completions and among the events as "reply 3 ok".
void CALLBACK DriverCompletion(DRV_REQUESTID id, LONG result);

// Forgets every request; TAPI's requests go to this line from now on.
void DriverStart(HDRVLINE hdLine);

// One TAPI request in words; a failure for a statement TAPI could not
// make (unknown word, a call TAPI does not know) or a handle the provider
// wrote that is not the one its events name the call by. A request the
// provider refuses is no failure: it shows as "refused 2 RESOURCEUNAVAIL"
// among the events, a synchronous result as "digits ok".
::testing::AssertionResult DriverRun(std::string_view statement);

// The line events, the driver's words among them, then the phone events.
std::vector<std::string> DriverWords();

// Every accepted request (return value its ID) completed exactly once with
// 0 or a LINEERR_ value; no refused request completed; no completion for
// an ID never issued.
::testing::AssertionResult RequestsAnswered();

// Every call TAPI heard of has IDLE as its last state.
::testing::AssertionResult CallsEndedIdle();

}  // namespace zq::test
