#include "core/lifecycle.h"

#include <array>
#include <cstring>

#include "core/config.h"
#include "core/line_record.h"
#include "core/trace.h"
#include "link/fifo.h"
#include "link/serial_link.h"
#include "link/setconfig.h"
#include "link/supervision.h"
#include "tapi/events.h"

namespace zq {

ProviderState g_provider;
LineRecord g_line;
SetTables g_set;
LineSettings g_lineSettings;

namespace {

bool IsLineRecord(const void* handle) {
    return handle == static_cast<const void*>(&g_line);
}

// The worker record of the calling thread; null on any other thread.
thread_local WorkerControl* t_worker = nullptr;
// How many times this thread holds the line mutex by WAITLINEMUTEX: a wait
// that timed out took nothing, and its release gives nothing back.
thread_local int t_lineMutexDepth = 0;

// The provider forgets a worker: it no longer answers for the shared state.
void ForgetWorker() {
    if (g_provider.worker != nullptr)
        g_provider.worker->stop = true;
    g_provider.worker.reset();
    plat::thread_close(g_provider.serialThread);
    g_provider.serialThread = nullptr;
    g_provider.serialThreadId = 0;
    ++g_provider.generation;
}

// A worker that ended by itself (its port could not be used) is forgotten,
// so that the next open starts a new one: TAPI does not close a line whose
// open failed.
void ForgetEndedWorker() {
    if (g_provider.serialThread != nullptr &&
        plat::thread_wait(g_provider.serialThread, 0) == plat::Wait::Object0)
        ForgetWorker();
}

// Every open after the first since load starts from a clean line record.
// While the other device keeps the worker running the record stays as it
// is: clearing it would pull the tables from under the worker. The other
// device's TAPI handle and event procedure survive the clearing: it is
// still open and its events must still reach TAPI.
void ReinitForReopen() {
    ForgetEndedWorker();
    if (++g_provider.openCount <= 1 || g_provider.serialThread != nullptr)
        return;
    const LineRecord kept = g_line;
    InitLineRecord(g_provider.permanentProviderId, g_provider.hProvider, g_line.dwDeviceID,
                   g_line.dwPhoneDeviceID, g_line.lpfnCompletionProc);
    g_line.htLine = kept.htLine;
    g_line.lpfnEventProc = kept.lpfnEventProc;
    g_line.htPhone = kept.htPhone;
    g_line.lpfnPhoneEventProc = kept.lpfnPhoneEventProc;
    g_line.phoneOpen = kept.phoneOpen;
}

// The common course of the line and phone opens. `store` writes the
// device's TAPI handle and event procedure: before the worker is created,
// or under the line mutex when a worker already reads them.
struct DeviceOpen {
    LONG reinit;
    LONG allocated;
    const char* failTrace;
};

template <typename Store>
LONG OpenDevice(const DeviceOpen& d, Store store) {
    ReinitForReopen();
    if (g_provider.reinitRequired)
        return d.reinit;
    if (g_provider.serialThread != nullptr) {
        WAITLINEMUTEX();
        store();
    } else {
        store();
        StartSerialThread();
    }
    if (PortIsOpen())
        return REL_LINE_MUTEX(0);
    TspTrace(TRACE_ERROR, d.failTrace);
    return REL_LINE_MUTEX(d.allocated);
}

// The end of a worker, with the line mutex held: the current worker closes
// the shared port; a forgotten one closes only what it noted as its own.
void EndWorker(WorkerControl& control) {
    if (WorkerReplaced()) {
        TspTrace(TRACE_ERROR, " Serial Thread replaced - closes its own hcd %lx", control.port);
        if (control.port != nullptr) {
            plat::serial_set_rts(control.port, false);
            plat::serial_close(control.port);
        }
        if (control.timerId != 0)
            plat::timer_kill(control.timerId);
        control.port = nullptr;
        control.timerId = 0;
        return;
    }
    TspTrace(TRACE_ERROR, " Serial Thread after main loop hcd %lx", g_port.hcd);
    FifoClear();
    SerialCloseComms();
    control.port = nullptr;
    control.timerId = 0;
    TspTrace(TRACE_ERROR, "Final return Serial Thread hcd %lx", g_port.hcd);
}

}  // namespace

WorkerControl::~WorkerControl() {
    if (ready != nullptr)
        plat::event_close(ready);
}

void ProviderAttach(void* instance) {
    g_provider.moduleInstance = instance;
    TraceAttach();
}

void ProviderDetach() {
    g_provider.moduleInstance = nullptr;
    TraceDetach();
}

LONG WAITLINEMUTEX() {
    if (g_provider.lineMutex.load() == nullptr) {
        // Created free and then waited for like any other time, so that
        // the caller owns it even when another thread (the worker's first
        // tick) or another process made it at the same moment.
        TspTrace(TRACE_ERROR, "MutexLine creation");
        plat::Mutex* created = nullptr;
        const uint32_t err = plat::mutex_create("SP62LineMutex", false, &created);
        if (err != plat::kErrSuccess || created == nullptr) {
            TspTrace(TRACE_ERROR, "MutexLine not created error %d", err);
            return static_cast<LONG>(LINEERR_NODRIVER);
        }
        plat::Mutex* none = nullptr;
        if (!g_provider.lineMutex.compare_exchange_strong(none, created))
            plat::mutex_close(created);
    }
    const plat::Wait w = plat::mutex_wait(g_provider.lineMutex.load(), LINE_MUTEX_WAIT_MS);
    if (w == plat::Wait::Object0 || w == plat::Wait::Abandoned)
        ++t_lineMutexDepth;
    if (w == plat::Wait::Abandoned)
        TspTrace(TRACE_ERROR, "WAITLINEMUTEX PRB WAIT_ABANDONED");
    if (w == plat::Wait::Timeout)
        TspTrace(TRACE_ERROR, "WAITLINEMUTEX PRB WAIT_TIMEOUT");
    return static_cast<LONG>(w);
}

LONG REL_LINE_MUTEX(LONG result) {
    if (t_lineMutexDepth == 0)
        return result;
    --t_lineMutexDepth;
    const uint32_t err = plat::mutex_release(g_provider.lineMutex.load());
    if (err != plat::kErrSuccess)
        TspTrace(TRACE_ERROR, "REL_LINE_MUTEX PRB %lx", err);
    return result;
}

bool WorkerReplaced() {
    return t_worker != nullptr && t_worker->generation != g_provider.generation.load();
}

void NoteWorkerResources() {
    if (t_worker == nullptr || WorkerReplaced())
        return;
    t_worker->port = g_port.hcd;
    t_worker->timerId = g_port.timerId;
}

LONG StartSerialThread() {
    ForgetEndedWorker();
    if (g_provider.serialThread != nullptr) {
        WAITLINEMUTEX();
        return 1;
    }
    auto control = std::make_shared<WorkerControl>();
    // Each worker has its own ready event, so that a worker that starts
    // late can never signal a newer one's.
    uint32_t err = plat::event_create("", &control->ready);
    if (err != plat::kErrSuccess) {
        TspTrace(TRACE_ERROR, "EvtSerialReady not created error %d", err);
        WAITLINEMUTEX();
        return static_cast<LONG>(LINEERR_NODRIVER);
    }
    control->generation = ++g_provider.generation;
    g_provider.worker = control;
    auto* given = new std::shared_ptr<WorkerControl>(control);
    err = plat::thread_create(SerialThreadProc, given, &g_provider.serialThread, &g_provider.serialThreadId);
    if (err != plat::kErrSuccess) {
        delete given;
        g_provider.serialThread = nullptr;
        ForgetWorker();
        const std::array<TraceArg, 1> args{TraceArg(err)};
        ErrorBox(FormatTrace("Error in creating Serial thread: %d", args));
        TspTrace(TRACE_ERROR, "Thread serial didn't start error %d", err);
        WAITLINEMUTEX();
        return static_cast<LONG>(LINEERR_NODRIVER);
    }
    const plat::Wait w = plat::event_wait(control->ready, READY_WAIT_MS);
    if (w != plat::Wait::Object0) {
        TspTrace(TRACE_ERROR, "Wait Thread serial Ready KO %ld ", static_cast<uint32_t>(w));
        WAITLINEMUTEX();
        return static_cast<LONG>(LINEERR_NODRIVER);
    }
    TspTrace(TRACE_ERROR, "Wait Thread serial Ready OK");
    WAITLINEMUTEX();
    return 0;
}

LONG StopSerialThread() {
    if (g_provider.serialThread == nullptr)
        return 0;
    TspTrace(TRACE_TSPI, "StopSerialThread Request");
    REL_LINE_MUTEX(0);
    if (g_provider.worker != nullptr)
        g_provider.worker->stop = true;
    const plat::Wait w = plat::thread_wait(g_provider.serialThread, STOP_WAIT_MS);
    if (w == plat::Wait::Abandoned)
        TspTrace(TRACE_ERROR, "StopSerialThread Prb WAIT_ABANDONED SerialThread");
    if (w == plat::Wait::Timeout)
        TspTrace(TRACE_ERROR, "StopSerialThread Prb WAIT_TIMEOUT SerialThread");
    // A worker still running (its box is open) is forgotten here: from now
    // on it touches nothing shared and closes its own port when it ends.
    ForgetWorker();
    WAITLINEMUTEX();
    return 0;
}

uint32_t SerialThreadProc(void* arg) {
    std::shared_ptr<WorkerControl> control;
    if (arg != nullptr) {
        auto* given = static_cast<std::shared_ptr<WorkerControl>*>(arg);
        control = std::move(*given);
        delete given;
    }
    if (control == nullptr)
        return 0;
    t_worker = control.get();
    // The start runs under the line mutex: a forgotten worker may still be
    // finishing a tick when this one starts.
    WAITLINEMUTEX();
    if (WorkerReplaced())
        return static_cast<uint32_t>(REL_LINE_MUTEX(0));
    ResetLinkState();
    const std::string_view port = TextOf(g_line.PortName);
    if (port.size() != 4 || port[3] < '1' || port[3] > '4')
        return static_cast<uint32_t>(REL_LINE_MUTEX(0));

    plat::SerialPort* hcd = SerialOpenComms(port, TextOf(g_line.Speed));
    TspTrace(TRACE_TSPI, "Tentative d'ouverture du port - hcd:%x", hcd);
    if (hcd == nullptr) {
        const uint32_t err = g_port.openError;
        g_port.openFailed = true;
        g_line.lineDevState = 0;
        TspTrace(TRACE_ERROR, "LastError %ld", err);
        plat::event_set(control->ready);
        std::string_view box = "Serial Port Problem - Check it and try again \n\nAccess Failed";
        LONG result = static_cast<LONG>(LINEERR_OPERATIONFAILED);
        if (err == plat::kErrAccessDenied) {
            box = "Serial Port conflict - Check it and try again\n\nAccess denied";
            result = static_cast<LONG>(LINEERR_ALLOCATED);
        } else if (err == plat::kErrIrqBusy) {
            box = "Serial Port conflict - Check it and try again\n\nIrq Busy";
            result = static_cast<LONG>(LINEERR_ALLOCATED);
        }
        SendCompletion(result);
        REL_LINE_MUTEX(0);
        ErrorBox(box);
        return 0;
    }
    NoteWorkerResources();
    plat::event_set(control->ready);
    REL_LINE_MUTEX(0);

    while (!control->stop) {
        if (!plat::message_dispatch_next())
            break;
    }
    WAITLINEMUTEX();
    EndWorker(*control);
    REL_LINE_MUTEX(0);
    t_worker = nullptr;
    return 0;
}

void InitLineRecord(uint32_t permanentProviderId, HPROVIDER hProvider, uint32_t lineDeviceId,
                    uint32_t phoneDeviceId, ASYNC_COMPLETION completionProc) {
    g_line = LineRecord{};
    g_line.lpfnCompletionProc = completionProc;
    g_line.dwDeviceID = lineDeviceId;
    g_line.hProvider = hProvider;
    g_line.dwPhoneDeviceID = phoneDeviceId;
    g_line.lineDevState = 1;
    g_line.dial = DialSettings{2000, 95, 95, 60000};
    g_line.cref = -1;
    g_line.consultcref = -1;
    ResetEventState();
    InitForwarding();

    LoadIniStrings(permanentProviderId);
    if (TextOf(g_line.PortName).size() != 4) {
        TspTrace(TRACE_ERROR, "Pb - pas de port spécifié dans le telephon.ini -> providerconfig");
        TSPI_providerConfig(static_cast<HWND>(plat::active_window()), permanentProviderId);
        LoadIniStrings(permanentProviderId);
        if (TextOf(g_line.PortName).size() != 4) {
            TspTrace(TRACE_ERROR, "pas de choix à provider config -> on stoppe le SP");
            TSPI_providerShutdown(0, permanentProviderId);
        }
    }
}

}  // namespace zq

using namespace zq;

extern "C" {

LONG WINAPI TSPI_providerInstall(HWND hwndOwner, DWORD dwPermanentProviderID) {
    TspTrace(TRACE_TSPI, "Entering TSPI_providerInstall(%x,%lx)", hwndOwner, dwPermanentProviderID);
    return 0;
}

LONG WINAPI TSPI_providerRemove(HWND hwndOwner, DWORD dwPermanentProviderID) {
    TspTrace(TRACE_TSPI, "Entering TSPI_providerRemove(%x,%lx)", hwndOwner, dwPermanentProviderID);
    return 0;
}

LONG WINAPI TSPI_providerConfig(HWND hwndOwner, DWORD dwPermanentProviderID) {
    TspTrace(TRACE_TSPI, "Entering TSPI_providerConfig(%x,%lx)", hwndOwner, dwPermanentProviderID);
    return 0;
}

LONG WINAPI TSPI_providerEnumDevices(DWORD dwPermanentProviderID, LPDWORD lpdwNumLines, LPDWORD lpdwNumPhones,
                                     HPROVIDER hProvider, LINEEVENT /*lpfnLineCreateProc*/,
                                     PHONEEVENT /*lpfnPhoneCreateProc*/) {
    TspTrace(TRACE_TSPI, "TSPI_providerEnumDevices ppID %lx,lines %lx phones %lx)", dwPermanentProviderID,
             lpdwNumLines != nullptr ? *lpdwNumLines : 0u, lpdwNumPhones != nullptr ? *lpdwNumPhones : 0u);
    g_provider.permanentProviderId = dwPermanentProviderID;
    g_provider.hProvider = hProvider;
    if (lpdwNumLines != nullptr)
        *lpdwNumLines = 1;
    if (lpdwNumPhones != nullptr)
        *lpdwNumPhones = 1;
    return 0;
}

LONG WINAPI TSPI_providerInit(DWORD dwTSPIVersion, DWORD dwPermanentProviderID, DWORD dwLineDeviceIDBase,
                              DWORD dwPhoneDeviceIDBase, DWORD_PTR dwNumLines, DWORD_PTR dwNumPhones,
                              ASYNC_COMPLETION lpfnCompletionProc, LPDWORD lpdwTSPIOptions) {
    TspTrace(TRACE_TSPI, "TSPI_providerInit(%lx,%lx,%lx,%lx,%lx,%lx,%lx)", dwTSPIVersion,
             dwPermanentProviderID, dwLineDeviceIDBase, dwPhoneDeviceIDBase, dwNumLines, dwNumPhones,
             lpfnCompletionProc);
    if (lpdwTSPIOptions != nullptr)
        *lpdwTSPIOptions = LINETSPIOPTION_NONREENTRANT;
    g_provider.permanentProviderId = dwPermanentProviderID;
    InitLineRecord(dwPermanentProviderID, g_provider.hProvider, dwLineDeviceIDBase, dwPhoneDeviceIDBase,
                   lpfnCompletionProc);
    return 0;
}

LONG WINAPI TSPI_providerShutdown(DWORD dwTSPIVersion, DWORD dwPermanentProviderID) {
    TspTrace(TRACE_TSPI, "Entering TSPI_providerShutdown(%lx %lx)", dwTSPIVersion, dwPermanentProviderID);
    // Stopping the worker takes the line mutex back at its end: given back
    // here, before the handle is closed.
    if (g_provider.serialThread != nullptr) {
        WAITLINEMUTEX();
        StopSerialThread();
        REL_LINE_MUTEX(0);
    }
    g_provider.reinitRequired = false;
    if (plat::Mutex* m = g_provider.lineMutex.exchange(nullptr); m != nullptr)
        plat::mutex_close(m);
    return 0;
}

LONG WINAPI TSPI_providerFreeDialogInstance(HDRVDIALOGINSTANCE hdDlgInst) {
    TspTrace(TRACE_CALL, "TSPI_providerFreeDialogInstance %lx", hdDlgInst);
    return 0;
}

LONG WINAPI TSPI_lineOpen(DWORD dwDeviceID, HTAPILINE htLine, LPHDRVLINE lphdLine, DWORD dwTSPIVersion,
                          LINEEVENT lpfnEventProc) {
    TspTrace(TRACE_TSPI, "TSPI_lineOpen(%lx,%lx,%lx,%lx,%lx)", dwDeviceID, htLine, lphdLine, dwTSPIVersion,
             lpfnEventProc);
    if (dwDeviceID != g_line.dwDeviceID)
        return static_cast<LONG>(LINEERR_BADDEVICEID);
    return OpenDevice(
        {static_cast<LONG>(LINEERR_REINIT), static_cast<LONG>(LINEERR_ALLOCATED), "End TSPI_lineOpen Pb"},
        [&] {
            g_line.lpfnEventProc = lpfnEventProc;
            g_line.htLine = htLine;
            if (lphdLine != nullptr)
                *lphdLine = LineHandle();
        });
}

LONG WINAPI TSPI_lineClose(HDRVLINE hdLine) {
    WAITLINEMUTEX();
    TspTrace(TRACE_TSPI, "Entering TSPI_lineClose(%lx)", hdLine);
    if (!IsLineRecord(hdLine))
        return REL_LINE_MUTEX(static_cast<LONG>(LINEERR_INVALLINEHANDLE));
    // A closed line hears nothing more, even from a worker the phone
    // device starts again.
    g_line.lpfnEventProc = nullptr;
    g_line.htLine = nullptr;
    StopSerialThread();
    return REL_LINE_MUTEX(0);
}

LONG WINAPI TSPI_phoneOpen(DWORD dwDeviceID, HTAPIPHONE htPhone, LPHDRVPHONE lphdPhone, DWORD dwTSPIVersion,
                           PHONEEVENT lpfnEventProc) {
    TspTrace(TRACE_TSPI, "Entering TSPI_phoneOpen(%lx,%lx,%lx,%lx)", dwDeviceID, htPhone, lphdPhone,
             dwTSPIVersion);
    if (dwDeviceID != g_line.dwPhoneDeviceID)
        return static_cast<LONG>(PHONEERR_BADDEVICEID);
    return OpenDevice(
        {static_cast<LONG>(PHONEERR_REINIT), static_cast<LONG>(PHONEERR_ALLOCATED), "End TSPI_phoneOpen Pb"},
        [&] {
            g_line.lpfnPhoneEventProc = lpfnEventProc;
            g_line.htPhone = htPhone;
            g_line.phoneOpen = true;
            if (lphdPhone != nullptr)
                *lphdPhone = PhoneHandle();
        });
}

LONG WINAPI TSPI_phoneClose(HDRVPHONE hdPhone) {
    WAITLINEMUTEX();
    TspTrace(TRACE_TSPI, "Entering TSPI_phoneClose (%lx)", hdPhone);
    if (!IsLineRecord(hdPhone))
        return REL_LINE_MUTEX(static_cast<LONG>(PHONEERR_INVALPHONEHANDLE));
    g_line.phoneOpen = false;
    g_line.lpfnPhoneEventProc = nullptr;
    g_line.htPhone = nullptr;
    StopSerialThread();
    return REL_LINE_MUTEX(0);
}

}  // extern "C"
