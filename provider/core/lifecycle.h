// Library entry, provider start and stop, the worker thread and the line
// mutex.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "zq/platform.h"
#include "zq/tapi.h"

namespace zq {

// One worker's stop request. Each worker has its own: a worker that did not
// stop in time (a box was open) still stops when it can, and a worker
// started after it is not stopped with it.
struct WorkerControl {
    std::atomic<bool> stop{false};
    uint32_t generation = 0;
};

struct ProviderState {
    void* moduleInstance = nullptr;
    std::atomic<plat::Mutex*> lineMutex{nullptr};
    plat::Event* readyEvent = nullptr;
    plat::Thread* serialThread = nullptr;
    uint32_t serialThreadId = 0;
    std::shared_ptr<WorkerControl> worker;
    std::atomic<uint32_t> generation{0};
    int32_t openCount = 0;
    bool reinitRequired = false;
    uint32_t permanentProviderId = 0;
    HPROVIDER hProvider = nullptr;
};

extern ProviderState g_provider;

inline constexpr uint32_t LINE_MUTEX_WAIT_MS = 20000;
inline constexpr uint32_t READY_WAIT_MS = 20000;
inline constexpr uint32_t STOP_WAIT_MS = 30000;

void ProviderAttach(void* instance);
void ProviderDetach();

// 0 when the caller now owns the line mutex; a wait result or
// LINEERR_NODRIVER otherwise. Callers go on whatever it says.
LONG WAITLINEMUTEX();
// Releases the line mutex and hands back its argument.
LONG REL_LINE_MUTEX(LONG result);

LONG StartSerialThread();
LONG StopSerialThread();
uint32_t SerialThreadProc(void* arg);

void InitLineRecord(uint32_t permanentProviderId, HPROVIDER hProvider, uint32_t lineDeviceId,
                    uint32_t phoneDeviceId, ASYNC_COMPLETION completionProc);

}  // namespace zq
