// The provider on the in-memory backend: a clean provider per test, TAPI's
// callbacks recorded, the trace read back as lines.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/line_record.h"
#include "zq/memplat.h"
#include "zq/tapi.h"

namespace zq::test {

inline constexpr char kProviderKey[] = "SOFTWARE\\Velmora\\TSpi_6200";
inline constexpr char kTrace0[] = "C:\\WINDOWS\\spitrace\\tsptrac0.tr";
inline constexpr char kTrace1[] = "C:\\WINDOWS\\spitrace\\tsptrac1.tr";

struct LineEventRecord {
    uint32_t msg;
    uintptr_t param1;
    uintptr_t param2;
    uintptr_t param3;
    bool hasLine;
    uintptr_t htCall = 0;
};

// TAPI's handle for a new call: this base plus the provider's handle, so
// that an event's call reads back as the provider numbers it.
inline constexpr uintptr_t kCallHandleBase = 0x1000;

struct Completion {
    uint32_t id;
    int32_t result;
};

// Records what the provider reports to TAPI.
struct TapiRecorder {
    std::vector<LineEventRecord> lineEvents;
    std::vector<Completion> completions;
    std::vector<uint32_t> phoneEvents;
    std::vector<std::pair<uint32_t, uint32_t>> phoneStates;  // PHONE_STATE's two parameters
};

// The line and phone events in words, in the order they came (phone
// events after the line events).
std::vector<std::string> EventWords();

extern TapiRecorder g_tapi;

void CALLBACK RecordLineEvent(HTAPILINE htLine, HTAPICALL htCall, DWORD dwMsg, DWORD_PTR p1, DWORD_PTR p2,
                              DWORD_PTR p3);
void CALLBACK RecordCompletion(DRV_REQUESTID id, LONG result);
void CALLBACK RecordPhoneEvent(HTAPIPHONE htPhone, DWORD dwMsg, DWORD_PTR p1, DWORD_PTR p2, DWORD_PTR p3);

void PutProviderValue(std::string_view subkey, std::string_view name, std::string_view value);
std::optional<std::string> ProviderValue(std::string_view subkey, std::string_view name);

// The trace messages written so far, without the clock field, from both
// files (file 0 first).
std::vector<std::string> TraceMessages();
bool TraceHas(std::string_view message);
int TraceCount(std::string_view message);

// The provider's module state as a new process has it; the registry and the
// files are left alone (a restart of the telephony service keeps them).
void FreshProcess();

class ProviderTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Library load with the registry as the test has set it.
    void Attach();
    // Enumeration and initialisation as TAPI does it.
    void Init();
    LONG OpenLine();
    LONG CloseLine();
    LONG OpenPhone();

    HDRVLINE hdLine = nullptr;
    HDRVPHONE openedPhone = nullptr;
    bool attached = false;
};

}  // namespace zq::test
