// Library entry, provider start and stop, the worker thread and the line
// mutex.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "zq/platform.h"
#include "zq/tapi.h"

namespace zq {

// One worker's own record. Each worker has its own stop request: a worker
// that did not stop in time (a box was open) still stops when it can, and a
// worker started after it is not stopped with it. A worker the provider has
// forgotten (stopped, or replaced by a newer one) touches no shared state
// any more; it closes the port and timer it noted here and ends.
struct WorkerControl {
    std::atomic<bool> stop{false};
    uint32_t generation = 0;
    plat::Event* ready = nullptr;
    // Noted whenever the worker gives the line mutex away.
    plat::SerialPort* port = nullptr;
    uint32_t timerId = 0;

    WorkerControl() = default;
    WorkerControl(const WorkerControl&) = delete;
    WorkerControl& operator=(const WorkerControl&) = delete;
    ~WorkerControl();
};

struct ProviderState {
    void* moduleInstance = nullptr;
    std::atomic<plat::Mutex*> lineMutex{nullptr};
    plat::Thread* serialThread = nullptr;
    uint32_t serialThreadId = 0;
    std::shared_ptr<WorkerControl> worker;
    // Changes when a worker starts and when one is forgotten: a worker
    // whose generation is not the current one has been replaced.
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

// Returns holding the line mutex (as far as WAITLINEMUTEX could take it),
// whether it started a worker, found one running or failed.
LONG StartSerialThread();
LONG StopSerialThread();
uint32_t SerialThreadProc(void* arg);

// On the worker thread, with the line mutex held: true once the provider
// has forgotten this worker. Always false on any other thread (the tests
// run the tick on their own thread).
bool WorkerReplaced();
// Notes the port and timer of the running worker in its own record; done
// whenever the worker gives the line mutex away.
void NoteWorkerResources();

void InitLineRecord(uint32_t permanentProviderId, HPROVIDER hProvider, uint32_t lineDeviceId,
                    uint32_t phoneDeviceId, ASYNC_COMPLETION completionProc);

}  // namespace zq
